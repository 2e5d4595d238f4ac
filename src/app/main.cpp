// main: the whole run is app::run, whose result is the exit status.
#include "app/app.h"

int main(int argc, char** argv) { return app::run(argc, argv); }
