#include "virtual-board/pin_model.h"

#include <gtest/gtest.h>

namespace {

const std::uint8_t kFastPattern[16] = {2, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1};

PinModel BenchBoard(std::uint32_t clock_factor = 16) {
  PinModel pins(0xFF, clock_factor);
  pins.SetBaudRate(115200);
  pins.SetBitMode(0, 0x03, 0x01);
  return pins;
}

TEST(PinModel, AllPinsReadTheInputsUntilABitModeIsSet) {
  PinModel pins(0x5A, 16);
  EXPECT_EQ(pins.LevelsAt(0), 0x5A);
  uint8_t byte = 0x03;
  EXPECT_TRUE(pins.Write(10, &byte, 1).empty());
  EXPECT_EQ(pins.LevelsAt(1000000), 0x5A);
}

TEST(PinModel, OutputsShowTheLastByteAndInputsTheirLevels) {
  PinModel pins = BenchBoard();
  EXPECT_EQ(pins.LevelsAt(1), 0xFC);  // Outputs start low.
  pins.Write(1000, kFastPattern, 16);
  EXPECT_EQ(pins.LevelsAt(1000000), 0xFD);  // The pattern's last byte, 0x01.
}

TEST(PinModel, BytesReachThePinsOneByteClockApart) {
  for (std::uint32_t factor : {16u, 4u}) {
    PinModel pins = BenchBoard(factor);
    const std::uint64_t period_ns = 1000000000ULL / (115200ULL * factor);
    std::vector<PinLevels> changes = pins.Write(1000, kFastPattern, 16);
    ASSERT_EQ(changes.size(), 16u);
    EXPECT_EQ(changes[0].t_ns, 1000u);
    EXPECT_EQ(changes[0].levels, 0xFE);
    EXPECT_NEAR(static_cast<double>(changes[15].t_ns - 1000), 15.0 * 1e9 / (115200.0 * factor), 1.0);
    EXPECT_EQ(pins.LevelsAt(1000 + period_ns / 2), 0xFE);  // Byte 0 still on the pins.
    EXPECT_EQ(pins.LevelsAt(1000 + period_ns + 1), 0xFD);
  }
}

TEST(PinModel, AWriteQueuesBehindBytesStillGoingOut) {
  PinModel pins = BenchBoard();
  std::vector<PinLevels> first = pins.Write(0, kFastPattern, 16);
  const std::uint8_t two = 0x02;
  std::vector<PinLevels> second = pins.Write(100, &two, 1);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_GT(second[0].t_ns, first.back().t_ns);
  EXPECT_EQ(pins.LevelsAt(first.back().t_ns), 0xFD);
  EXPECT_EQ(pins.LevelsAt(second[0].t_ns), 0xFE);
  // The last byte out keeps its whole byte clock, also when the next write
  // arrives after it reached the pins.
  const std::uint64_t period_ns = 1000000000ULL / (115200ULL * 16);
  EXPECT_EQ(pins.OutputEndNs(), second[0].t_ns + period_ns);
  const std::uint8_t one = 0x01;
  std::vector<PinLevels> third = pins.Write(second[0].t_ns + 1, &one, 1);
  ASSERT_EQ(third.size(), 1u);
  EXPECT_EQ(third[0].t_ns, second[0].t_ns + period_ns);
}

}  // namespace
