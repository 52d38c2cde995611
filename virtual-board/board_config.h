// The virtual board's settings, read from its VBOARD_* environment variables.
//
// Contract: ParseBoardConfig takes every VBOARD_* variable that is set (name
// and value) and either fills a BoardConfig and returns true, or returns false
// with one line of text that names the variable and what is wrong with it.
// Nothing is ever ignored: an unknown VBOARD_* name is an error too, so that a
// misspelt setting cannot silently leave the board in its defaults.
#ifndef QUENDAL_VIRTUAL_BOARD_BOARD_CONFIG_H
#define QUENDAL_VIRTUAL_BOARD_BOARD_CONFIG_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "driver/driver_interface.h"

enum class EntryPoint { kOpen, kSetBitMode, kWrite, kSetBaudRate, kGetBitMode };
constexpr int kEntryPointCount = 5;

// The exported name, "FT_Open" and so on.
const char* EntryPointName(EntryPoint entry);

// From the `from_call`-th call of `entry` on (counted from 1), the call
// returns `status` and does nothing else.
struct FaultRule {
  EntryPoint entry;
  std::uint32_t from_call;
  DriverStatus status;
};

// During the `on_call`-th call of `entry`, `keys` are typed.
struct KeyRule {
  EntryPoint entry;
  std::uint32_t on_call;
  std::string keys;
};

constexpr std::uint32_t kMaxDevices = 16;

struct BoardConfig {
  std::uint32_t devices = 1;
  std::uint32_t clock_factor = 16;
  std::uint8_t inputs = 0xFF;
  std::uint32_t latency_us[kEntryPointCount] = {};
  std::vector<FaultRule> faults;
  std::vector<KeyRule> keys;
  int key_fd = -1;  // -1: not set.
  std::string trace_path;
  std::string vcd_path;
};

using BoardVariables = std::vector<std::pair<std::string, std::string>>;

bool ParseBoardConfig(const BoardVariables& variables, BoardConfig* config, std::string* error);

// `text` in double quotes for an error line, its control characters spelt
// out (\xNN) so that the error stays one line.
std::string QuoteInErrorLine(const std::string& text);

// The status that `config` makes the `call`-th call of `entry` return, or
// nullptr when that call runs normally. When several rules apply, the one
// with the latest start wins.
const FaultRule* FindFault(const BoardConfig& config, EntryPoint entry, std::uint32_t call);

#endif  // QUENDAL_VIRTUAL_BOARD_BOARD_CONFIG_H
