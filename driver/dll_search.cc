#include "driver/dll_search.h"

void* LoadFromProgramAndSystemFolders(const char* file_name, const DllSearchCalls& calls) {
  if (calls.exports_add_dll_directory()) {
    // No fallback when this fails: the other search is the unsafe one.
    return calls.load_library_ex(file_name, kSearchApplicationDir | kSearchSystem32);
  }
  // Older systems: the best left is the default search without the current
  // directory, which still includes PATH. Should the current directory stay
  // in, loading from it is the very risk, so nothing is loaded.
  if (!calls.set_dll_directory("")) return nullptr;
  return calls.load_library(file_name);
}
