#include "driver/dll_search.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The system as the calls see it, and what they were asked, in order.
struct FakeSystem {
  bool has_add_dll_directory = true;
  bool set_dll_directory_works = true;
  bool library_present = true;
  std::vector<std::string> calls;
};

FakeSystem g_system;
int g_library;  // Its address stands for the loaded library's handle.

bool FakeExportsAddDllDirectory() {
  g_system.calls.push_back("GetProcAddress(kernel32, AddDllDirectory)");
  return g_system.has_add_dll_directory;
}

void* FakeLoadLibraryEx(const char* file_name, std::uint32_t flags) {
  g_system.calls.push_back("LoadLibraryExA(" + std::string(file_name) + ", " +
                           std::to_string(flags) + ")");
  return g_system.library_present ? &g_library : nullptr;
}

bool FakeSetDllDirectory(const char* path) {
  g_system.calls.push_back("SetDllDirectoryA(\"" + std::string(path) + "\")");
  return g_system.set_dll_directory_works;
}

void* FakeLoadLibrary(const char* file_name) {
  g_system.calls.push_back("LoadLibraryA(" + std::string(file_name) + ")");
  return g_system.library_present ? &g_library : nullptr;
}

const DllSearchCalls kFakeCalls = {FakeExportsAddDllDirectory, FakeLoadLibraryEx,
                                   FakeSetDllDirectory, FakeLoadLibrary};

const std::string kLookup = "GetProcAddress(kernel32, AddDllDirectory)";
// LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32, as
// the Windows headers define them.
const std::string kSafeLoad = "LoadLibraryExA(Ftd2xx.dll, " + std::to_string(0x200 | 0x800) + ")";

struct SearchCase {
  const char* name;
  bool has_add_dll_directory;
  bool set_dll_directory_works;
  bool library_present;
  std::vector<std::string> calls;
  bool loaded;
};

TEST(DllSearchTest, EachSystemGetsItsSearchAndNoOther) {
  const SearchCase cases[] = {
      {"flags, found", true, true, true, {kLookup, kSafeLoad}, true},
      // Not found beside the program or in System32: never retried with a
      // search that includes the current directory or PATH.
      {"flags, not found", true, true, false, {kLookup, kSafeLoad}, false},
      {"no flags, found", false, true, true,
       {kLookup, "SetDllDirectoryA(\"\")", "LoadLibraryA(Ftd2xx.dll)"}, true},
      {"no flags, not found", false, true, false,
       {kLookup, "SetDllDirectoryA(\"\")", "LoadLibraryA(Ftd2xx.dll)"}, false},
      {"no flags, current directory stays in the search", false, false, true,
       {kLookup, "SetDllDirectoryA(\"\")"}, false},
  };
  for (const SearchCase& c : cases) {
    SCOPED_TRACE(c.name);
    g_system = FakeSystem{c.has_add_dll_directory, c.set_dll_directory_works, c.library_present,
                          {}};

    void* library = LoadFromProgramAndSystemFolders("Ftd2xx.dll", kFakeCalls);

    EXPECT_EQ(g_system.calls, c.calls);
    EXPECT_EQ(library, c.loaded ? &g_library : nullptr);
  }
}

}  // namespace
