// The least a fast blink can do: write the 16-byte pattern, pause 1 ms, test
// for a key without waiting, again until a key comes. The benchmark compares
// the bench program's write interval with this loop's.
#include <cstdint>

#include "benchmarks/reference_rig.h"

int main() {
  reference::Terminal terminal;
  reference::EnterKeyMode(&terminal);
  reference::Driver driver;
  DeviceHandle device = nullptr;
  if (!reference::OpenBoard(&driver, &device)) {
    reference::RestoreTerminal(terminal);
    return 1;
  }
  std::uint8_t output[256] = {};
  for (int k = 0; k < 16; ++k) output[k] = static_cast<std::uint8_t>(k & 1);
  output[0] += 2;
  int status = 0;
  do {
    std::uint32_t written = 0;
    if (driver.write(device, output, 16, &written) != kDriverOk) {
      status = 1;
      break;
    }
    reference::SleepOneMillisecond();
  } while (!reference::KeyWaiting());
  if (status == 0) reference::ReadKey();
  reference::RestoreTerminal(terminal);
  return status;
}
