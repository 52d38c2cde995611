#include "driver/stage_result.h"

#include <cstdio>

StageResult DriverCallFailed(const char* format, DriverStatus status) {
  char text[128];
  std::snprintf(text, sizeof text, format, static_cast<int>(static_cast<std::int32_t>(status)));
  return StageFailed(text);
}
