#include "virtual-board/board_config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

namespace {

BoardConfig ParseOrFail(const BoardVariables& variables) {
  BoardConfig config;
  std::string error;
  EXPECT_TRUE(ParseBoardConfig(variables, &config, &error)) << error;
  return config;
}

TEST(BoardConfig, ReadsScalarSettingsAndPaths) {
  BoardConfig config = ParseOrFail({{"VBOARD_DEVICES", "0"},
                                    {"VBOARD_CLOCK_FACTOR", "4"},
                                    {"VBOARD_INPUTS", "0x0a"},
                                    {"VBOARD_KEY_FD", "7"},
                                    {"VBOARD_TRACE", "/tmp/t.jsonl"},
                                    {"VBOARD_VCD", "run.vcd"}});
  EXPECT_EQ(config.devices, 0u);
  EXPECT_EQ(config.clock_factor, 4u);
  EXPECT_EQ(config.inputs, 0x0A);
  EXPECT_EQ(config.key_fd, 7);
  EXPECT_EQ(config.trace_path, "/tmp/t.jsonl");
  EXPECT_EQ(config.vcd_path, "run.vcd");
  EXPECT_EQ(ParseOrFail({{"VBOARD_INPUTS", "200"}}).inputs, 200);
}

TEST(BoardConfig, ReadsLatencyPerEntryPoint) {
  BoardConfig config = ParseOrFail({{"VBOARD_LATENCY_US", "FT_GetBitMode=500,FT_Write=250"}});
  EXPECT_EQ(config.latency_us[static_cast<int>(EntryPoint::kGetBitMode)], 500u);
  EXPECT_EQ(config.latency_us[static_cast<int>(EntryPoint::kWrite)], 250u);
  EXPECT_EQ(config.latency_us[static_cast<int>(EntryPoint::kOpen)], 0u);
}

TEST(BoardConfig, FaultAppliesFromItsCallOnAndTheLatestStartWins) {
  constexpr std::int64_t kRunsNormally = -1;
  struct Case {
    EntryPoint entry;
    std::uint32_t call;
    std::int64_t status;
  };
  const Case cases[] = {
      {EntryPoint::kWrite, 2, kRunsNormally},
      {EntryPoint::kWrite, 3, 10},
      {EntryPoint::kWrite, 4, 10},
      {EntryPoint::kWrite, 5, 4},
      {EntryPoint::kWrite, 9, 4},
      {EntryPoint::kOpen, 1, 0xFFFFFFFF},
      {EntryPoint::kGetBitMode, 1, kRunsNormally},
      {EntryPoint::kGetBitMode, 2, 0},  // A lost call: it reports success and does nothing.
      {EntryPoint::kSetBitMode, 1, kRunsNormally},
  };
  // The order in which the rules are given does not matter.
  for (const char* rules : {"FT_Write#3=0x0A,FT_Open=4294967295,FT_Write#5=4,FT_GetBitMode#2=0",
                            "FT_GetBitMode#2=0,FT_Write#5=4,FT_Open=4294967295,FT_Write#3=0x0A"}) {
    BoardConfig config = ParseOrFail({{"VBOARD_FAIL", rules}});
    ASSERT_EQ(config.faults.size(), 4u);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(rules) + ": " + EntryPointName(c.entry) + "#" +
                   std::to_string(c.call));
      const FaultRule* fault = FindFault(config, c.entry, c.call);
      EXPECT_EQ(fault == nullptr ? kRunsNormally : fault->status, c.status);
    }
  }
}

TEST(BoardConfig, KeysKeepTheirOrderAndDefaultToOneK) {
  BoardConfig config =
      ParseOrFail({{"VBOARD_KEYS", "FT_Write#2,FT_GetBitMode#1:a\x1b[A,FT_Write#2:q"}});
  ASSERT_EQ(config.keys.size(), 3u);
  EXPECT_EQ(config.keys[0].entry, EntryPoint::kWrite);
  EXPECT_EQ(config.keys[0].on_call, 2u);
  EXPECT_EQ(config.keys[0].keys, "k");
  EXPECT_EQ(config.keys[1].entry, EntryPoint::kGetBitMode);
  EXPECT_EQ(config.keys[1].keys, "a\x1b[A");
  EXPECT_EQ(config.keys[2].keys, "q");
}

TEST(BoardConfig, EmptyListsAreEmpty) {
  BoardConfig config =
      ParseOrFail({{"VBOARD_FAIL", ""}, {"VBOARD_KEYS", ""}, {"VBOARD_LATENCY_US", ""}});
  EXPECT_TRUE(config.faults.empty());
  EXPECT_TRUE(config.keys.empty());
}

struct MalformedCase {
  const char* name;
  const char* value;
  const char* what;  // Part of the message that says what is wrong.
};

class MalformedSetting : public testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedSetting, IsRejectedWithOneLineNamingTheVariable) {
  const MalformedCase& c = GetParam();
  BoardConfig config;
  std::string error;
  ASSERT_FALSE(ParseBoardConfig({{"VBOARD_DEVICES", "2"}, {c.name, c.value}}, &config, &error));
  EXPECT_EQ(error.rfind(std::string(c.name) + ": ", 0), 0u) << error;
  EXPECT_NE(error.find(c.what), std::string::npos) << error;
  for (unsigned char ch : error) EXPECT_GE(ch, 0x20) << "control character in: " << error;
}

// A case's name in the test list, made of its setting and its value (the
// raw bytes that GoogleTest prints otherwise change from build to build).
std::string NameSettingAndValue(const testing::TestParamInfo<MalformedCase>& info) {
  static const struct {
    char character;
    const char* word;
  } kWords[] = {{'=', "Eq"}, {'#', "No"}, {',', "Comma"}, {' ', "Space"}, {'.', "Dot"},
                {':', "Colon"}, {'-', "Minus"}, {'_', "_"}};
  std::string name = std::string(info.param.name).substr(std::strlen("VBOARD_")) + "_";
  if (*info.param.value == '\0') name += "Empty";
  for (const char* p = info.param.value; *p != '\0'; ++p) {
    const auto word = std::find_if(std::begin(kWords), std::end(kWords),
                                   [p](const auto& w) { return w.character == *p; });
    if (std::isalnum(static_cast<unsigned char>(*p))) {
      name += *p;
    } else if (word != std::end(kWords)) {
      name += word->word;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "X%02X", static_cast<unsigned char>(*p));
      name += hex;
    }
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(
    BoardConfig, MalformedSetting,
    testing::Values(
        MalformedCase{"VBOARD_FAIL", "FT_Wrte=4", "\"FT_Wrte\" is not an entry point"},
        MalformedCase{"VBOARD_FAIL", "ft_write=4", "is not an entry point"},
        MalformedCase{"VBOARD_FAIL", "FT_Write", "lacks '='"},
        MalformedCase{"VBOARD_FAIL", "FT_Write=4294967296", "larger than 4294967295"},
        MalformedCase{"VBOARD_FAIL", "FT_Write=-1", "not a decimal or 0x-hexadecimal number"},
        MalformedCase{"VBOARD_FAIL", "FT_Write=0x", "not a number"},
        MalformedCase{"VBOARD_FAIL", "FT_Write=4 ", "not a decimal or 0x-hexadecimal"},
        MalformedCase{"VBOARD_FAIL", "FT_Write#0=4", "count from 1"},
        MalformedCase{"VBOARD_FAIL", "FT_Write#=4", "not a number"},
        MalformedCase{"VBOARD_FAIL", "FT_Write=4,,FT_Open=2", "empty item"},
        MalformedCase{"VBOARD_FAIL", "FT_Write=4,", "empty item"},
        MalformedCase{"VBOARD_FAIL", "FT_Write#2=4,FT_Write#2=5", "given twice"},
        MalformedCase{"VBOARD_KEYS", "FT_Write", "lacks the call number"},
        MalformedCase{"VBOARD_KEYS", "FT_Write#2:", "no characters"},
        MalformedCase{"VBOARD_KEYS", "FT_Write#x", "not a decimal number"},
        MalformedCase{"VBOARD_KEYS", "FT_Write#2\x03", "\"2\\x03\" is not a decimal number"},
        MalformedCase{"VBOARD_KEYS", "FT_Reed#1", "is not an entry point"},
        MalformedCase{"VBOARD_LATENCY_US", "FT_Write=2.5", "not a decimal number"},
        MalformedCase{"VBOARD_LATENCY_US", "FT_Write=0x10", "not a decimal number"},
        MalformedCase{"VBOARD_LATENCY_US", "FT_Write=60000001", "larger than"},
        MalformedCase{"VBOARD_LATENCY_US", "FT_Write=1,FT_Write=2", "given twice"},
        MalformedCase{"VBOARD_LATENCY_US", "FT_Write#2=1", "is not an entry point"},
        MalformedCase{"VBOARD_INPUTS", "0x100", "larger than 255"},
        MalformedCase{"VBOARD_INPUTS", "0xFG", "not a decimal or 0x-hexadecimal"},
        MalformedCase{"VBOARD_INPUTS", "", "not a number"},
        MalformedCase{"VBOARD_DEVICES", "17", "larger than 16"},
        MalformedCase{"VBOARD_DEVICES", "one", "not a decimal number"},
        MalformedCase{"VBOARD_CLOCK_FACTOR", "0", "at least 1"},
        MalformedCase{"VBOARD_KEY_FD", "-1", "not a decimal number"},
        MalformedCase{"VBOARD_TRACE", "", "path is empty"},
        MalformedCase{"VBOARD_VCD", "", "path is empty"},
        MalformedCase{"VBOARD_LATENCY", "FT_Write=1", "not a setting"}),
    NameSettingAndValue);

}  // namespace
