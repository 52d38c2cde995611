#include "driver/stage_result.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>

namespace {

int SignedStatus(DriverStatus status) {
  return static_cast<int>(static_cast<std::int32_t>(status));
}

// Each caller passes a literal format, which the attribute has the compiler
// check against its arguments.
__attribute__((format(printf, 1, 2))) StageResult FailedWith(const char* format, ...) {
  char text[64];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  return StageFailed(text);
}

}  // namespace

StageResult OpenFailed(DriverStatus status) {
  return FailedWith("Error : Impossible to open device (%d returned)\n", SignedStatus(status));
}

StageResult SetBaudRateFailed(DriverStatus status) {
  return FailedWith("Error : SetBaudRate error (%d returned)\n", SignedStatus(status));
}

StageResult SetBitModeFailed(DriverStatus status) {
  return FailedWith("Error : SetBitMode error (%d returned)\n", SignedStatus(status));
}

StageResult WriteFailed(DriverStatus status) {
  return FailedWith("Error : Write error (%d returned)\n", SignedStatus(status));
}

StageResult GetBitModeFailed(DriverStatus status) {
  return FailedWith("Error : GetBitMode error (%d returned)\n", SignedStatus(status));
}
