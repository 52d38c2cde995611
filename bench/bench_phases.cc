#include "bench/bench_phases.h"

#include <cstdio>

namespace {

// The bytes-written count is never read: the status alone tells success.
DriverStatus WriteOutput(const BenchRig& rig, std::uint32_t byte_count) {
  std::uint32_t bytes_written = 0;
  return rig.driver.FT_Write(rig.device, rig.output.data(), byte_count, &bytes_written);
}

// Ends a phase: one key press, read and thrown away.
StageResult DiscardKey(const BenchRig& rig) {
  rig.console.ReadKey();
  return StageSucceeded();
}

}  // namespace

StageResult RunSlowBlink(const BenchRig& rig) {
  std::int32_t counter = 0;
  rig.console.Print("Blinking running (slow) ; Hit any key ");
  do {
    rig.output[0] = static_cast<std::uint8_t>(counter & 3);
    DriverStatus status = WriteOutput(rig, 1);
    if (status != kDriverOk) return WriteFailed(status);
    // Stepped without signed overflow, so the low two bits keep counting
    // however long the phase runs.
    counter = static_cast<std::int32_t>(static_cast<std::uint32_t>(counter) + 1u);
    rig.console.Sleep(kSlowStepMilliseconds);
  } while (!rig.console.KeyWaiting());
  return DiscardKey(rig);
}

StageResult RunFastBlink(const BenchRig& rig) {
  rig.console.Print("\nBlinking running (fast) ; Hit any key ");
  for (std::uint32_t k = 0; k < kFastPatternLength; ++k) {
    rig.output[k] = static_cast<std::uint8_t>(k & 1);
  }
  rig.output[0] += 2;
  do {
    DriverStatus status = WriteOutput(rig, kFastPatternLength);
    if (status != kDriverOk) return WriteFailed(status);
    rig.console.Sleep(kFastPauseMilliseconds);
  } while (!rig.console.KeyWaiting());
  return DiscardKey(rig);
}

StageResult RunPinReadback(const BenchRig& rig) {
  do {
    std::uint8_t pin_value = 0;
    DriverStatus status = rig.driver.FT_GetBitMode(rig.device, &pin_value);
    if (status != kDriverOk) {
      return GetBitModeFailed(status);
    }
    char line[64];
    std::snprintf(line, sizeof line, "Bits lus sur les pins du QUENDAL : %x\n",
                  static_cast<unsigned>(pin_value));
    rig.console.Print(line);
  } while (!rig.console.KeyWaiting());
  return DiscardKey(rig);
}
