// quendal-bench: the bench test of the QUENDAL board. It takes nothing from
// its command line or its environment.
#include "bench/console.h"
#include "bench/run_flow.h"
#include "driver/library_loader.h"

int main() {
  // First, so that no file the driver library opens takes a closed standard
  // descriptor's number.
  Console& console = OpenPlatformConsole();
  return RunBench(console, PlatformLibraryLoader());
}
