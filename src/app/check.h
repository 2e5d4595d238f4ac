// "vastrel check": what the next runs would do, told to a person.
// The report goes to standard output. It only looks: it starts no tool,
// changes and creates nothing, takes no lock and logs nothing. Every
// verdict in it is the one the runs act on.
#pragma once

#include <cstdio>

namespace app {

// Reads the settings file and prints the report to `out`; returns 0 when
// nothing stands in the way of a run, 1 when something does.
int run_check(FILE* out);

// Prints the usage to `out`, for the program run under its own name
// without "check". Changes nothing else, logs nothing.
void print_usage(FILE* out);

}  // namespace app
