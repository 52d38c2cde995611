#include <windows.h>

#include "driver/library_loader.h"

namespace {

void* LoadLibraryWin32(const char* file_name) {
  // A bare file name is also looked for in the current directory, so a
  // planted Ftd2xx.dll in whatever folder the operator runs from would be
  // loaded. Taking the current directory out of the search leaves the
  // application's folder and the system folders, where the driver installs.
  // Should that fail, loading from a search that still holds the current
  // directory is the very risk, so nothing is loaded.
  if (!SetDllDirectoryA("")) return nullptr;
  return reinterpret_cast<void*>(LoadLibraryA(file_name));
}

void* FindEntryPointWin32(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

const LibraryLoader kWin32Loader = {"Ftd2xx.dll", LoadLibraryWin32, FindEntryPointWin32};

}  // namespace

const LibraryLoader& PlatformLibraryLoader() { return kWin32Loader; }
