#include "driver/stage_result.h"

#include <cstdint>
#include <cstdio>

namespace {

int SignedStatus(DriverStatus status) {
  return static_cast<int>(static_cast<std::int32_t>(status));
}

}  // namespace

// Each format is a literal at its snprintf, so that the compiler checks it.

StageResult OpenFailed(DriverStatus status) {
  char text[64];
  std::snprintf(text, sizeof text, "Error : Impossible to open device (%d returned)\n",
                SignedStatus(status));
  return StageFailed(text);
}

StageResult SetBaudRateFailed(DriverStatus status) {
  char text[64];
  std::snprintf(text, sizeof text, "Error : SetBaudRate error (%d returned)\n",
                SignedStatus(status));
  return StageFailed(text);
}

StageResult SetBitModeFailed(DriverStatus status) {
  char text[64];
  std::snprintf(text, sizeof text, "Error : SetBitMode error (%d returned)\n",
                SignedStatus(status));
  return StageFailed(text);
}

StageResult WriteFailed(DriverStatus status) {
  char text[64];
  std::snprintf(text, sizeof text, "Error : Write error (%d returned)\n", SignedStatus(status));
  return StageFailed(text);
}

StageResult GetBitModeFailed(DriverStatus status) {
  char text[64];
  std::snprintf(text, sizeof text, "Error : GetBitMode error (%d returned)\n",
                SignedStatus(status));
  return StageFailed(text);
}
