// Loading the driver library and looking up its five entry points.
#ifndef QUENDAL_DRIVER_DRIVER_BINDING_H
#define QUENDAL_DRIVER_DRIVER_BINDING_H

#include "driver/driver_interface.h"
#include "driver/library_loader.h"
#include "driver/stage_result.h"

// The program's only way to the driver. Every slot is empty until BindDriver
// fills it; the record then stays as it is until the process ends.
struct DriverEntryPoints {
  FT_OpenFunction FT_Open = nullptr;
  FT_SetBitModeFunction FT_SetBitMode = nullptr;
  FT_WriteFunction FT_Write = nullptr;
  FT_SetBaudRateFunction FT_SetBaudRate = nullptr;
  FT_GetBitModeFunction FT_GetBitMode = nullptr;
};

// Loads the driver library and looks up FT_Open, FT_SetBitMode, FT_Write,
// FT_SetBaudRate and FT_GetBitMode in that order, filling each slot as it is
// found. Stops at the first failure, whose message names the library or the
// missing entry point. The library is never unloaded, also after a failure.
StageResult BindDriver(const LibraryLoader& loader, DriverEntryPoints* entry_points);

#endif  // QUENDAL_DRIVER_DRIVER_BINDING_H
