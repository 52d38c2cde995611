#include "virtual-board/vcd_format.h"

#include <gtest/gtest.h>

namespace {

TEST(VcdFormat, HeaderDeclaresEightPinsAndTheirStartLevels) {
  VcdState state{};
  std::string header = VcdHeader(0xFE, &state, 5000);
  EXPECT_NE(header.find("$timescale 100 ns $end"), std::string::npos);
  EXPECT_NE(header.find("$var wire 1 ! D0 $end"), std::string::npos);
  EXPECT_NE(header.find("$var wire 1 ( D7 $end"), std::string::npos);
  EXPECT_NE(header.find("$enddefinitions $end\n#0\n$dumpvars\n0!\n1\"\n"), std::string::npos);
  EXPECT_EQ(state.origin_ns, 5000u);
  EXPECT_EQ(state.levels, 0xFE);
}

TEST(VcdFormat, ChangesListOnlyPinsThatChangeAndTimeNeverGoesBack) {
  VcdState state{};
  VcdHeader(0x00, &state, 1000);
  EXPECT_EQ(VcdChanges({{1500, 0x00}}, &state), "");
  // 560 ns and 1099 ns after the start are cut down to 5 and 10 units.
  EXPECT_EQ(VcdChanges({{1560, 0x01}, {2099, 0x03}}, &state), "#5\n1!\n#10\n1\"\n");
  // A change computed for before the last record is written at the last record's time.
  EXPECT_EQ(VcdChanges({{1800, 0x02}}, &state), "#10\n0!\n");
}

TEST(VcdFormat, TheClosingTimeStampIsRoundedUpAndAfterEveryRecord) {
  VcdState state{};
  VcdHeader(0x00, &state, 1000);
  VcdChanges({{1560, 0x01}}, &state);
  // 1601 ns after the start is rounded up to 17 units, so that the last
  // change lasts at least until then.
  VcdState closing = state;
  EXPECT_EQ(VcdEnd(2601, &closing), "#17\n");
  // An end within the last record's unit, or at its very start, still
  // closes after it.
  for (std::uint64_t end_ns : {1560, 1500}) {
    closing = state;
    EXPECT_EQ(VcdEnd(end_ns, &closing), "#6\n") << end_ns;
  }
}

TEST(VcdFormat, EachByteOfTheFastPatternKeepsItsOwnTimeStamp) {
  const std::uint8_t pattern[16] = {2, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1};
  PinModel pins(0xFF, 16);
  pins.SetBaudRate(115200);
  pins.SetBitMode(0, 0x03, 0x01);
  VcdState state{};
  VcdHeader(0xFC, &state, 0);
  std::string text = VcdChanges(pins.Write(1000, pattern, 16), &state);
  std::vector<std::uint64_t> stamps;
  for (std::size_t at = text.find('#'); at != std::string::npos; at = text.find('#', at + 1)) {
    stamps.push_back(std::stoull(text.substr(at + 1)));
  }
  ASSERT_EQ(stamps.size(), 16u) << text;
  for (std::size_t i = 1; i < stamps.size(); ++i) EXPECT_GT(stamps[i], stamps[i - 1]) << text;
}

}  // namespace
