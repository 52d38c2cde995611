// The three phases of the bench test, run in this order, each until a key.
//
// Each phase makes at least one pass before it tests for a key, then reads
// and discards exactly one key. A driver failure ends the phase at once with
// the message for the failure halt; no further driver call is made.
#ifndef QUENDAL_BENCH_BENCH_PHASES_H
#define QUENDAL_BENCH_BENCH_PHASES_H

#include <array>
#include <cstdint>

#include "bench/console.h"
#include "driver/driver_binding.h"
#include "driver/stage_result.h"

// Every write takes its data from the start of this one buffer, kept for the
// whole run. The slow phase sends its first byte and the fast phase its first
// 16; the 256 bytes are the program's long-standing buffer size, kept so that
// a longer pattern would need no other buffer or change of the write path.
using OutputBuffer = std::array<std::uint8_t, 256>;

// What every phase works with: the console, the bound driver, the open device
// and the buffer.
struct PhaseContext {
  Console& console;
  const DriverEntryPoints& driver;
  DeviceHandle device;
  OutputBuffer& output;
};

constexpr unsigned kSlowStepMilliseconds = 1000;
constexpr unsigned kFastPauseMilliseconds = 1;
constexpr std::uint32_t kFastPatternLength = 16;

// Writes the counter's two low bits (0, 1, 2, 3, 0, ...), one byte per
// 1000 ms step, to pins D0 and D1.
StageResult RunSlowBlink(const PhaseContext& context);

// Writes the 16-byte pulse pattern 02 01 00 01 ... 00 01, with a 1 ms pause
// after each write.
StageResult RunFastBlink(const PhaseContext& context);

// Prints the levels of all eight pins in lower-case hexadecimal, one line per
// reading, with no pause between readings.
StageResult RunPinReadback(const PhaseContext& context);

#endif  // QUENDAL_BENCH_BENCH_PHASES_H
