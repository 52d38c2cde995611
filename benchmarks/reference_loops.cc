// The least the bench program's fast blink and read-back can do, one after
// the other in one process as in the program, each until a key:
//
// - fast blink: write the 16-byte pattern, pause 1 ms, test for a key
//   without waiting;
// - read-back: read the pins, write the line to the same terminal in one
//   call, test for a key without waiting.
//
// The benchmark compares the program's write interval and reading rate with
// this program's. Set-up, terminal mode, key test and pause are the
// program's own calls (reference_rig.h); nothing else is done.
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "benchmarks/reference_rig.h"

namespace {

bool RunFastBlink(const reference::Driver& driver, DeviceHandle device) {
  std::uint8_t output[256] = {};
  for (int k = 0; k < 16; ++k) output[k] = static_cast<std::uint8_t>(k & 1);
  output[0] += 2;
  do {
    std::uint32_t written = 0;
    if (driver.write(device, output, 16, &written) != kDriverOk) return false;
    reference::SleepOneMillisecond();
  } while (!reference::KeyWaiting());
  reference::ReadKey();
  return true;
}

bool RunPinReadback(const reference::Driver& driver, DeviceHandle device) {
  do {
    std::uint8_t pin_value = 0;
    if (driver.get_bit_mode(device, &pin_value) != kDriverOk) return false;
    char line[64];
    int length = std::snprintf(line, sizeof line, "Bits lus sur les pins du QUENDAL : %x\n",
                               static_cast<unsigned>(pin_value));
    if (write(STDOUT_FILENO, line, static_cast<size_t>(length)) < 0) return false;
  } while (!reference::KeyWaiting());
  reference::ReadKey();
  return true;
}

}  // namespace

int main() {
  reference::Terminal terminal;
  reference::EnterKeyMode(&terminal);
  reference::Driver driver;
  DeviceHandle device = nullptr;
  bool ok = reference::BindAndOpenDevice(&driver, &device) && RunFastBlink(driver, device) &&
            RunPinReadback(driver, device);
  reference::RestoreTerminal(terminal);
  return ok ? 0 : 1;
}
