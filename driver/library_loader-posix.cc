#include <dlfcn.h>

#include "driver/library_loader.h"

namespace {

void* LoadLibraryPosix(const char* file_name) {
  // RTLD_NOW: a library that cannot resolve its own symbols fails here, at
  // the load, rather than in the middle of a phase.
  return dlopen(file_name, RTLD_NOW | RTLD_LOCAL);
}

void* FindEntryPointPosix(void* library, const char* name) { return dlsym(library, name); }

const LibraryLoader kPosixLoader = {"libftd2xx.so", LoadLibraryPosix, FindEntryPointPosix};

}  // namespace

const LibraryLoader& PlatformLibraryLoader() { return kPosixLoader; }
