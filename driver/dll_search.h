// How the Windows build finds the driver DLL: only beside the program and in
// the system folder, never in the current directory or a PATH folder, where
// anyone could plant one. Plain code over the system calls it is given, so
// that each branch can be checked on any platform.
#ifndef QUENDAL_DRIVER_DLL_SEARCH_H
#define QUENDAL_DRIVER_DLL_SEARCH_H

#include <cstdint>

// LOAD_LIBRARY_SEARCH_APPLICATION_DIR and LOAD_LIBRARY_SEARCH_SYSTEM32.
constexpr std::uint32_t kSearchApplicationDir = 0x00000200;
constexpr std::uint32_t kSearchSystem32 = 0x00000800;

struct DllSearchCalls {
  // Whether kernel32.dll exports AddDllDirectory: the documented sign that
  // LoadLibraryExA takes the search flags above.
  bool (*exports_add_dll_directory)();
  // LoadLibraryExA(file_name, NULL, flags); nullptr on failure.
  void* (*load_library_ex)(const char* file_name, std::uint32_t flags);
  // SetDllDirectoryA(path); false on failure.
  bool (*set_dll_directory)(const char* path);
  // LoadLibraryA(file_name); nullptr on failure.
  void* (*load_library)(const char* file_name);
};

// Loads `file_name` from the program's folder or System32 where the system
// has the search flags. Elsewhere it takes the current directory out of the
// search and loads with the default search, or loads nothing if it cannot.
// A handle, or nullptr.
void* LoadFromProgramAndSystemFolders(const char* file_name, const DllSearchCalls& calls);

#endif  // QUENDAL_DRIVER_DLL_SEARCH_H
