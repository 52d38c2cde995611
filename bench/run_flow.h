// The bench run: banner, driver binding, device set-up, the three phases and
// the closing prompt, once, in that order. The first failure ends the run
// through the failure halt.
#ifndef QUENDAL_BENCH_RUN_FLOW_H
#define QUENDAL_BENCH_RUN_FLOW_H

#include <string>

#include "bench/console.h"
#include "driver/library_loader.h"

// Prints the message, then "Hit any key ", and waits for a key that it leaves
// unread for whatever reads the console next. Returns the exit status, 0:
// a halt is not told apart from success. Nothing is closed or unloaded.
int HaltWithMessage(Console& console, const std::string& message);

// Runs the whole bench test and returns the exit status, 0.
int RunBench(Console& console, const LibraryLoader& loader);

#endif  // QUENDAL_BENCH_RUN_FLOW_H
