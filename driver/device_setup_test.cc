#include "driver/device_setup.h"

#include <gtest/gtest.h>

#include "tests/fakes/fakes.h"

namespace {

class DeviceSetupTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetFakes(); }
  DriverEntryPoints driver_ = FakeEntryPoints();
  DeviceHandle device_ = nullptr;
};

TEST_F(DeviceSetupTest, OpensDeviceZeroThenSetsRateThenBitMode) {
  StageResult result = OpenDevice(driver_, &device_);

  EXPECT_TRUE(result.ok);
  EXPECT_NE(device_, nullptr);
  EXPECT_EQ(DriverCalls(), (std::vector<std::string>{"FT_Open 0", "FT_SetBaudRate 115200",
                                                     "FT_SetBitMode 03 01"}));
}

struct FailureCase {
  const char* entry_point;
  DriverStatus status;
  std::string message;
  std::vector<std::string> calls;
};

TEST_F(DeviceSetupTest, FirstFailureStopsTheSetUpWithTheStatusInSignedDecimal) {
  const FailureCase cases[] = {
      {"FT_Open", 2, "Error : Impossible to open device (2 returned)\n", {"FT_Open 0"}},
      {"FT_Open", 0xFFFFFFFF, "Error : Impossible to open device (-1 returned)\n", {"FT_Open 0"}},
      {"FT_SetBaudRate", 7, "Error : SetBaudRate error (7 returned)\n",
       {"FT_Open 0", "FT_SetBaudRate 115200"}},
      {"FT_SetBaudRate", 0x80000000, "Error : SetBaudRate error (-2147483648 returned)\n",
       {"FT_Open 0", "FT_SetBaudRate 115200"}},
      {"FT_SetBitMode", 4, "Error : SetBitMode error (4 returned)\n",
       {"FT_Open 0", "FT_SetBaudRate 115200", "FT_SetBitMode 03 01"}},
      {"FT_SetBitMode", 0x7FFFFFFF, "Error : SetBitMode error (2147483647 returned)\n",
       {"FT_Open 0", "FT_SetBaudRate 115200", "FT_SetBitMode 03 01"}},
  };
  for (const FailureCase& c : cases) {
    ResetFakes();
    g_fake_driver.failures[c.entry_point] = {1, c.status};
    StageResult result = OpenDevice(driver_, &device_);

    EXPECT_FALSE(result.ok) << c.message;
    EXPECT_EQ(result.failure_message, c.message);
    EXPECT_EQ(DriverCalls(), c.calls) << c.message;
  }
}

}  // namespace
