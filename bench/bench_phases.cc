#include "bench/bench_phases.h"

#include <cstdio>

namespace {

// The bytes-written count is never read: the status alone tells success.
DriverStatus WriteOutput(const PhaseContext& context, std::uint32_t byte_count) {
  std::uint32_t bytes_written = 0;
  return context.driver.FT_Write(context.device, context.output.data(), byte_count, &bytes_written);
}

// Ends a phase: one key press, read and thrown away.
StageResult DiscardKey(const PhaseContext& context) {
  context.console.ReadKey();
  return StageSucceeded();
}

}  // namespace

StageResult RunSlowBlink(const PhaseContext& context) {
  std::int32_t counter = 0;
  context.console.Print("Blinking running (slow) ; Hit any key ");
  do {
    context.output[0] = static_cast<std::uint8_t>(counter & 3);
    DriverStatus status = WriteOutput(context, 1);
    if (status != kDriverOk) return WriteFailed(status);
    // Stepped without signed overflow, so the low two bits keep counting
    // however long the phase runs.
    counter = static_cast<std::int32_t>(static_cast<std::uint32_t>(counter) + 1u);
    context.console.Sleep(kSlowStepMilliseconds);
  } while (!context.console.KeyWaiting());
  return DiscardKey(context);
}

StageResult RunFastBlink(const PhaseContext& context) {
  context.console.Print("\nBlinking running (fast) ; Hit any key ");
  for (std::uint32_t k = 0; k < kFastPatternLength; ++k) {
    context.output[k] = static_cast<std::uint8_t>(k & 1);
  }
  context.output[0] += 2;
  do {
    DriverStatus status = WriteOutput(context, kFastPatternLength);
    if (status != kDriverOk) return WriteFailed(status);
    context.console.Sleep(kFastPauseMilliseconds);
  } while (!context.console.KeyWaiting());
  return DiscardKey(context);
}

StageResult RunPinReadback(const PhaseContext& context) {
  do {
    std::uint8_t pin_value = 0;
    DriverStatus status = context.driver.FT_GetBitMode(context.device, &pin_value);
    if (status != kDriverOk) {
      return GetBitModeFailed(status);
    }
    char line[64];
    std::snprintf(line, sizeof line, "Bits lus sur les pins du QUENDAL : %x\n",
                  static_cast<unsigned>(pin_value));
    context.console.Print(line);
  } while (!context.console.KeyWaiting());
  return DiscardKey(context);
}
