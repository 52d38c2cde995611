#include "bench/run_flow.h"

#include <gtest/gtest.h>

#include "tests/fakes/fakes.h"

namespace {

using Events = std::vector<std::string>;

class RunFlowTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetFakes(); }
  FakeConsole console_;
};

TEST_F(RunFlowTest, KeysTypedAheadRunEachPhaseOnceThenTheClosingPromptWaitsAndReads) {
  console_.TypeAhead("abc");
  // Polls 1 to 3 end the phases; the closing prompt's wait sees no key at
  // first, then one arrives.
  console_.TypeAtPoll(6, "d");
  int status = RunBench(console_, FakeLoader());

  EXPECT_EQ(status, 0);
  EXPECT_EQ(console_.output(),
            "QUENDAL Test programm\n"
            "Blinking running (slow) ; Hit any key \n"
            "Blinking running (fast) ; Hit any key Bits lus sur les pins du QUENDAL : fd\n"
            "\nHit any key ");
  EXPECT_EQ(g_events,
            (Events{"FT_Open 0", "FT_SetBaudRate 115200", "FT_SetBitMode 03 01", "FT_Write 00",
                    "sleep 1000", "read key a", kFastPatternWrite, "sleep 1", "read key b",
                    "FT_GetBitMode", "read key c", "read key d"}));
  EXPECT_EQ(console_.pending(), "");
}

TEST_F(RunFlowTest, HaltShowsTheMessageAndLeavesItsKeyUnread) {
  struct Case {
    void (*configure)();
    std::string message;
    Events calls;
  };
  const Case cases[] = {
      {[] { g_fake_driver.loadable = false; }, "Error : Can't load libfake.so\n", {}},
      {[] { g_fake_driver.exported.erase("FT_GetBitMode"); },
       "Error : Can't find FT_GetBitMode\n",
       {}},
      {[] { g_fake_driver.failures["FT_Open"] = {1, 2}; },
       "Error : Impossible to open device (2 returned)\n",
       {"FT_Open 0"}},
      {[] { g_fake_driver.failures["FT_SetBitMode"] = {1, 18}; },
       "Error : SetBitMode error (18 returned)\n",
       {"FT_Open 0", "FT_SetBaudRate 115200", "FT_SetBitMode 03 01"}},
      {[] { g_fake_driver.failures["FT_Write"] = {2, 4}; },
       "Blinking running (slow) ; Hit any key \n"
       "Blinking running (fast) ; Hit any key Error : Write error (4 returned)\n",
       {"FT_Open 0", "FT_SetBaudRate 115200", "FT_SetBitMode 03 01", "FT_Write 00",
        kFastPatternWrite}},
  };
  for (const Case& c : cases) {
    ResetFakes();
    c.configure();
    FakeConsole console;
    console.TypeAhead("k");
    console.TypeAtPoll(3, "x");  // Ends the halt's wait when the slow phase took "k".
    int status = RunBench(console, FakeLoader());

    EXPECT_EQ(status, 0);
    EXPECT_EQ(console.output(), "QUENDAL Test programm\n" + c.message + "Hit any key ");
    EXPECT_EQ(DriverCalls(), c.calls) << c.message;
    EXPECT_FALSE(console.pending().empty()) << "the halting key must stay pending";
  }
}

}  // namespace
