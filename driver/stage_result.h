// How a stage of the bench run reports back: success, or the exact text that
// the failure halt prints.
#ifndef QUENDAL_DRIVER_STAGE_RESULT_H
#define QUENDAL_DRIVER_STAGE_RESULT_H

#include <string>

#include "driver/driver_interface.h"

struct StageResult {
  bool ok = true;
  std::string failure_message;  // Empty on success; ends with a line end.
};

inline StageResult StageSucceeded() { return {}; }
inline StageResult StageFailed(std::string message) { return {false, std::move(message)}; }

// The message of each driver call that fails, with the status in signed
// decimal, so that 0xFFFFFFFF shows as -1.
StageResult OpenFailed(DriverStatus status);
StageResult SetBaudRateFailed(DriverStatus status);
StageResult SetBitModeFailed(DriverStatus status);
StageResult WriteFailed(DriverStatus status);
StageResult GetBitModeFailed(DriverStatus status);

#endif  // QUENDAL_DRIVER_STAGE_RESULT_H
