#include "driver/driver_binding.h"

#include <string>

namespace {

template <typename Function>
bool FindEntryPoint(const LibraryLoader& loader, void* library, const char* name,
                    Function* slot) {
  void* address = loader.find_entry_point(library, name);
  if (address == nullptr) return false;
  *slot = reinterpret_cast<Function>(address);
  return true;
}

StageResult EntryPointMissing(const char* name) {
  return StageFailed(std::string("Error : Can't find ") + name + "\n");
}

}  // namespace

StageResult BindDriver(const LibraryLoader& loader, DriverEntryPoints* entry_points) {
  void* library = loader.load_library(loader.driver_file_name);
  if (library == nullptr) {
    return StageFailed(std::string("Error : Can't load ") + loader.driver_file_name + "\n");
  }
  // The lookup order decides which name a library with several missing entry
  // points reports; it is not the order in which they are used.
  if (!FindEntryPoint(loader, library, "FT_Open", &entry_points->FT_Open)) {
    return EntryPointMissing("FT_Open");
  }
  if (!FindEntryPoint(loader, library, "FT_SetBitMode", &entry_points->FT_SetBitMode)) {
    return EntryPointMissing("FT_SetBitMode");
  }
  if (!FindEntryPoint(loader, library, "FT_Write", &entry_points->FT_Write)) {
    return EntryPointMissing("FT_Write");
  }
  if (!FindEntryPoint(loader, library, "FT_SetBaudRate", &entry_points->FT_SetBaudRate)) {
    return EntryPointMissing("FT_SetBaudRate");
  }
  if (!FindEntryPoint(loader, library, "FT_GetBitMode", &entry_points->FT_GetBitMode)) {
    return EntryPointMissing("FT_GetBitMode");
  }
  return StageSucceeded();
}
