#include "virtual-board/vcd_format.h"

#include <gtest/gtest.h>

namespace {

TEST(VcdFormat, HeaderDeclaresEightPinsAndTheirStartLevels) {
  VcdState state{};
  std::string header = VcdHeader(0xFE, &state, 5000);
  EXPECT_NE(header.find("$timescale 1 ns $end"), std::string::npos);
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
  EXPECT_EQ(VcdChanges({{1500, 0x01}, {2000, 0x03}}, &state), "#500\n1!\n#1000\n1\"\n");
  // A change computed for before the last record is written at its time.
  EXPECT_EQ(VcdChanges({{1800, 0x02}}, &state), "#1000\n0!\n");
}

}  // namespace
