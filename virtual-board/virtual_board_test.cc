#include "virtual-board/virtual_board.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "driver/driver_status.h"

extern char** environ;

namespace {

// The board reads its settings once, at its first call in the process: it
// gets none, whatever the caller's environment has.
DeviceHandle OpenWithDefaults() {
  std::vector<std::string> names;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (strncmp(*entry, "VBOARD_", 7) == 0) {
      names.emplace_back(*entry, strcspn(*entry, "="));
    }
  }
  for (const std::string& name : names) unsetenv(name.c_str());
  DeviceHandle handle = nullptr;
  EXPECT_EQ(virtual_board::Open(0, &handle), kDriverOk);
  return handle;
}

TEST(VirtualBoard, TakesTheBaudRatesOfAnFt232rAndRefusesTheOthers) {
  DeviceHandle device = OpenWithDefaults();
  const struct {
    std::uint32_t baud;
    DriverStatus status;
  } cases[] = {{0, kInvalidBaudRate},         {182, kInvalidBaudRate}, {183, kDriverOk},
               {115200, kDriverOk},           {3000000, kDriverOk},    {3000001, kInvalidBaudRate},
               {UINT32_MAX, kInvalidBaudRate}};
  for (const auto& c : cases) {
    EXPECT_EQ(virtual_board::SetBaudRate(device, c.baud), c.status) << c.baud << " baud";
  }
}

}  // namespace
