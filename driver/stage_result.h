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

// A failed driver call's message: `format` holds one "%d", filled with the
// status in signed decimal, so that 0xFFFFFFFF shows as -1.
StageResult DriverCallFailed(const char* format, DriverStatus status);

#endif  // QUENDAL_DRIVER_STAGE_RESULT_H
