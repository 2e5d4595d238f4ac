// "vastrel check": what the next runs would do, told to a person.
// The report goes to standard output. It only looks: it starts no tool,
// changes and creates nothing, takes no lock and logs nothing.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace app {

// Prints the report to `out`; returns 0 when nothing stands in the way of
// a run, 1 when something does.
int run_check(FILE* out);

// Where the password of a URL's "user:password@" part (or of a bare
// "user:password@host") stands; false when it has none.
bool url_password(const char* url, size_t& start, size_t& length);

// The URL with any such password shown as "***".
std::string masked_url(const char* url);

// The usage, for the program run under its own name without "check".
void print_usage(FILE* out);

}  // namespace app
