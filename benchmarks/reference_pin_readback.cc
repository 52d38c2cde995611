// The least a read-back can do: read the pins, write the same line to the
// same terminal in one call, test for a key without waiting, again until a
// key comes. The benchmark compares the bench program's reading rate with
// this loop's.
#include <unistd.h>

#include <cstdint>
#include <cstdio>

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
  int status = 0;
  do {
    std::uint8_t pin_value = 0;
    if (driver.get_bit_mode(device, &pin_value) != kDriverOk) {
      status = 1;
      break;
    }
    char line[64];
    int length = std::snprintf(line, sizeof line, "Bits lus sur les pins du QUENDAL : %x\n",
                               static_cast<unsigned>(pin_value));
    if (write(STDOUT_FILENO, line, static_cast<size_t>(length)) < 0) {
      status = 1;
      break;
    }
  } while (!reference::KeyWaiting());
  if (status == 0) reference::ReadKey();
  reference::RestoreTerminal(terminal);
  return status;
}
