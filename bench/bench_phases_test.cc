#include "bench/bench_phases.h"

#include <gtest/gtest.h>

#include "tests/fakes/fakes.h"

namespace {

using Events = std::vector<std::string>;

class BenchPhasesTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetFakes(); }

  FakeConsole console_;
  DriverEntryPoints driver_ = FakeEntryPoints();
  OutputBuffer output_{};
  PhaseContext context_{console_, driver_, reinterpret_cast<DeviceHandle>(0x5eed), output_};
};

TEST_F(BenchPhasesTest, SlowBlinkCountsOnTwoPinsAndWrapsAfterThree) {
  console_.TypeAtPoll(6, "k");
  StageResult result = RunSlowBlink(context_);

  EXPECT_TRUE(result.ok);
  EXPECT_EQ(console_.output(), "Blinking running (slow) ; Hit any key ");
  EXPECT_EQ(g_events, (Events{"FT_Write 00", "sleep 1000", "FT_Write 01", "sleep 1000",
                              "FT_Write 02", "sleep 1000", "FT_Write 03", "sleep 1000",
                              "FT_Write 00", "sleep 1000", "FT_Write 01", "sleep 1000",
                              "read key k"}));
}

TEST_F(BenchPhasesTest, FastBlinkRepeatsThePatternWithAOneMillisecondPause) {
  console_.TypeAtPoll(3, "k");
  StageResult result = RunFastBlink(context_);

  EXPECT_TRUE(result.ok);
  EXPECT_EQ(console_.output(), "\nBlinking running (fast) ; Hit any key ");
  EXPECT_EQ(g_events, (Events{kFastPatternWrite, "sleep 1", kFastPatternWrite, "sleep 1", kFastPatternWrite,
                              "sleep 1", "read key k"}));
}

TEST_F(BenchPhasesTest, ReadBackPrintsEachReadingInBareLowerCaseHex) {
  const std::pair<std::uint8_t, const char*> cases[] = {
      {0x0A, "Bits lus sur les pins du QUENDAL : a\n"},
      {0x00, "Bits lus sur les pins du QUENDAL : 0\n"},
      {0xFF, "Bits lus sur les pins du QUENDAL : ff\n"},
      {0xFD, "Bits lus sur les pins du QUENDAL : fd\n"},
  };
  for (const auto& [pin_value, line] : cases) {
    ResetFakes();
    FakeConsole console;
    PhaseContext context{console, driver_, context_.device, output_};
    g_fake_driver.pin_value = pin_value;
    console.TypeAtPoll(2, "k");
    StageResult result = RunPinReadback(context);

    EXPECT_TRUE(result.ok);
    EXPECT_EQ(console.output(), std::string(line) + line);
    EXPECT_EQ(g_events, (Events{"FT_GetBitMode", "FT_GetBitMode", "read key k"}));
  }
}

TEST_F(BenchPhasesTest, EachPhaseMakesOnePassWhenAKeyIsAlreadyWaitingAndReadsOnlyOneKey) {
  console_.TypeAhead("abcd");
  EXPECT_TRUE(RunSlowBlink(context_).ok);
  EXPECT_TRUE(RunFastBlink(context_).ok);
  EXPECT_TRUE(RunPinReadback(context_).ok);

  EXPECT_EQ(g_events, (Events{"FT_Write 00", "sleep 1000", "read key a", kFastPatternWrite, "sleep 1",
                              "read key b", "FT_GetBitMode", "read key c"}));
  EXPECT_EQ(console_.pending(), "d");
}

TEST_F(BenchPhasesTest, DriverFailureEndsThePhaseAtOnceWithItsMessage) {
  struct Case {
    StageResult (*phase)(const PhaseContext&);
    const char* entry_point;
    int failing_call;
    DriverStatus status;
    const char* message;
    Events events;
  };
  const Case cases[] = {
      {RunSlowBlink, "FT_Write", 2, 4, "Error : Write error (4 returned)\n",
       {"FT_Write 00", "sleep 1000", "FT_Write 01"}},
      {RunFastBlink, "FT_Write", 1, 0xFFFFFFFF, "Error : Write error (-1 returned)\n",
       {kFastPatternWrite}},
      {RunPinReadback, "FT_GetBitMode", 3, 1, "Error : GetBitMode error (1 returned)\n",
       {"FT_GetBitMode", "FT_GetBitMode", "FT_GetBitMode"}},
  };
  for (const Case& c : cases) {
    ResetFakes();
    FakeConsole console;
    PhaseContext context{console, driver_, context_.device, output_};
    g_fake_driver.failures[c.entry_point] = {c.failing_call, c.status};
    StageResult result = c.phase(context);

    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.failure_message, c.message);
    EXPECT_EQ(g_events, c.events) << c.message;
  }
}

}  // namespace
