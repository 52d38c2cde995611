#include <windows.h>

#include "driver/dll_search.h"
#include "driver/library_loader.h"

namespace {

static_assert(kSearchApplicationDir == LOAD_LIBRARY_SEARCH_APPLICATION_DIR);
static_assert(kSearchSystem32 == LOAD_LIBRARY_SEARCH_SYSTEM32);

bool ExportsAddDllDirectory() {
  // kernel32.dll is in every process, so no load is needed to ask it.
  HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  return kernel32 != nullptr && GetProcAddress(kernel32, "AddDllDirectory") != nullptr;
}

void* LoadLibraryExWin32(const char* file_name, std::uint32_t flags) {
  return reinterpret_cast<void*>(LoadLibraryExA(file_name, nullptr, flags));
}

bool SetDllDirectoryWin32(const char* path) { return SetDllDirectoryA(path) != 0; }

void* LoadLibraryWin32(const char* file_name) {
  return reinterpret_cast<void*>(LoadLibraryA(file_name));
}

const DllSearchCalls kWin32Calls = {ExportsAddDllDirectory, LoadLibraryExWin32,
                                    SetDllDirectoryWin32, LoadLibraryWin32};

void* LoadDriverWin32(const char* file_name) {
  return LoadFromProgramAndSystemFolders(file_name, kWin32Calls);
}

void* FindEntryPointWin32(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

const LibraryLoader kWin32Loader = {"Ftd2xx.dll", LoadDriverWin32, FindEntryPointWin32};

}  // namespace

const LibraryLoader& PlatformLibraryLoader() { return kWin32Loader; }
