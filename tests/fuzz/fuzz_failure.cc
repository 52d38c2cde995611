#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/fuzz_input.h"

void FuzzFailure(const char* file, int line, const char* check) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, check);
  std::abort();
}
