// The operating system's run-time library loading, behind a narrow interface
// so that the binding can be tested with a fake.
#ifndef QUENDAL_DRIVER_LIBRARY_LOADER_H
#define QUENDAL_DRIVER_LIBRARY_LOADER_H

struct LibraryLoader {
  // The driver library's file name on this platform; it also appears in the
  // load-failure message.
  const char* driver_file_name;
  // A handle to the loaded library, or nullptr when it cannot be loaded.
  void* (*load_library)(const char* file_name);
  // The address of the entry point exported under exactly `name` (letter
  // case included), or nullptr.
  void* (*find_entry_point)(void* library, const char* name);
};

// The real loader of this platform (dlopen/dlsym, LoadLibraryA/GetProcAddress).
const LibraryLoader& PlatformLibraryLoader();

#endif  // QUENDAL_DRIVER_LIBRARY_LOADER_H
