#include "virtual-board/board_config.h"

#include <cstdio>

namespace {

const char* const kEntryPointNames[kEntryPointCount] = {"FT_Open", "FT_SetBitMode", "FT_Write",
                                                        "FT_SetBaudRate", "FT_GetBitMode"};

constexpr std::uint32_t kMaxClockFactor = 1000;
constexpr std::uint32_t kMaxLatencyUs = 60000000;  // One minute: anything longer is a typo.

// Shows text inside an error line; control characters are spelt out so
// that the line stays one line.
std::string Printable(const std::string& text) {
  std::string shown;
  for (unsigned char c : text) {
    if (c < 0x20 || c >= 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      shown += escaped;
    } else {
      shown += static_cast<char>(c);
    }
  }
  return shown;
}

std::string Quote(const std::string& text) { return "\"" + Printable(text) + "\""; }

bool IsDecimalDigit(char c) { return c >= '0' && c <= '9'; }

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Digits only: no sign, no spaces, no suffix. "0x" starts hexadecimal when
// `allow_hex` is set.
bool ParseNumber(const std::string& text, bool allow_hex, std::uint64_t max, std::uint64_t* value,
                 std::string* error) {
  std::uint64_t result = 0;
  bool hex = allow_hex && text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  std::size_t start = hex ? 2 : 0;
  if (text.size() == start) {
    *error = Quote(text) + " is not a number";
    return false;
  }
  for (std::size_t i = start; i < text.size(); ++i) {
    int digit = hex ? HexDigitValue(text[i]) : (IsDecimalDigit(text[i]) ? text[i] - '0' : -1);
    if (digit < 0) {
      *error = Quote(text) + (allow_hex ? " is not a decimal or 0x-hexadecimal number"
                                        : " is not a decimal number");
      return false;
    }
    result = result * (hex ? 16 : 10) + static_cast<std::uint64_t>(digit);
    if (result > max) {
      *error = Quote(text) + " is larger than " + std::to_string(max);
      return false;
    }
  }
  *value = result;
  return true;
}

bool ParseEntryPoint(const std::string& text, EntryPoint* entry, std::string* error) {
  for (int i = 0; i < kEntryPointCount; ++i) {
    if (text == kEntryPointNames[i]) {
      *entry = static_cast<EntryPoint>(i);
      return true;
    }
  }
  *error = Quote(text) +
           " is not an entry point (FT_Open, FT_SetBitMode, FT_Write, FT_SetBaudRate, "
           "FT_GetBitMode)";
  return false;
}

// "ENTRY#N" or, when `call_required` is false, "ENTRY" alone (N = 1).
bool ParseEntryCall(const std::string& text, bool call_required, EntryPoint* entry,
                    std::uint32_t* call, std::string* error) {
  std::size_t hash = text.find('#');
  if (hash == std::string::npos) {
    if (call_required) {
      *error = Quote(text) + " lacks the call number (ENTRY#N)";
      return false;
    }
    *call = 1;
    return ParseEntryPoint(text, entry, error);
  }
  if (!ParseEntryPoint(text.substr(0, hash), entry, error)) return false;
  std::uint64_t number = 0;
  if (!ParseNumber(text.substr(hash + 1), false, UINT32_MAX, &number, error)) return false;
  if (number == 0) {
    *error = "call numbers count from 1, not 0";
    return false;
  }
  *call = static_cast<std::uint32_t>(number);
  return true;
}

// Splits a comma-separated list; an empty value is an empty list, but an
// empty item inside a list is a mistake.
bool SplitList(const std::string& value, std::vector<std::string>* items, std::string* error) {
  items->clear();
  if (value.empty()) return true;
  std::size_t start = 0;
  while (true) {
    std::size_t comma = value.find(',', start);
    std::string item = value.substr(start, comma == std::string::npos ? std::string::npos
                                                                        : comma - start);
    if (item.empty()) {
      *error = "empty item in the comma-separated list";
      return false;
    }
    items->push_back(item);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

bool SplitAt(const std::string& item, char separator, std::string* left, std::string* right,
             std::string* error) {
  std::size_t at = item.find(separator);
  if (at == std::string::npos) {
    *error = Quote(item) + " lacks '" + separator + "'";
    return false;
  }
  *left = item.substr(0, at);
  *right = item.substr(at + 1);
  return true;
}

bool ParseDevices(const std::string& value, BoardConfig* config, std::string* error) {
  std::uint64_t devices = 0;
  if (!ParseNumber(value, false, kMaxDevices, &devices, error)) return false;
  config->devices = static_cast<std::uint32_t>(devices);
  return true;
}

bool ParseClockFactor(const std::string& value, BoardConfig* config, std::string* error) {
  std::uint64_t factor = 0;
  if (!ParseNumber(value, false, kMaxClockFactor, &factor, error)) return false;
  if (factor == 0) {
    *error = "the clock factor must be at least 1";
    return false;
  }
  config->clock_factor = static_cast<std::uint32_t>(factor);
  return true;
}

bool ParseInputs(const std::string& value, BoardConfig* config, std::string* error) {
  std::uint64_t inputs = 0;
  if (!ParseNumber(value, true, 0xFF, &inputs, error)) return false;
  config->inputs = static_cast<std::uint8_t>(inputs);
  return true;
}

bool ParseLatency(const std::string& value, BoardConfig* config, std::string* error) {
  std::vector<std::string> items;
  if (!SplitList(value, &items, error)) return false;
  bool seen[kEntryPointCount] = {};
  for (const std::string& item : items) {
    std::string name, micros;
    EntryPoint entry;
    std::uint64_t latency = 0;
    if (!SplitAt(item, '=', &name, &micros, error) || !ParseEntryPoint(name, &entry, error) ||
        !ParseNumber(micros, false, kMaxLatencyUs, &latency, error)) {
      return false;
    }
    int slot = static_cast<int>(entry);
    if (seen[slot]) {
      *error = name + " is given twice";
      return false;
    }
    seen[slot] = true;
    config->latency_us[slot] = static_cast<std::uint32_t>(latency);
  }
  return true;
}

bool ParseFaults(const std::string& value, BoardConfig* config, std::string* error) {
  std::vector<std::string> items;
  if (!SplitList(value, &items, error)) return false;
  for (const std::string& item : items) {
    std::string head, status_text;
    FaultRule rule{};
    std::uint64_t status = 0;
    if (!SplitAt(item, '=', &head, &status_text, error) ||
        !ParseEntryCall(head, false, &rule.entry, &rule.from_call, error) ||
        !ParseNumber(status_text, true, UINT32_MAX, &status, error)) {
      return false;
    }
    for (const FaultRule& other : config->faults) {
      if (other.entry == rule.entry && other.from_call == rule.from_call) {
        *error = Quote(head) + " is given twice";
        return false;
      }
    }
    rule.status = static_cast<DriverStatus>(status);
    config->faults.push_back(rule);
  }
  return true;
}

bool ParseKeys(const std::string& value, BoardConfig* config, std::string* error) {
  std::vector<std::string> items;
  if (!SplitList(value, &items, error)) return false;
  for (const std::string& item : items) {
    KeyRule rule{};
    std::size_t colon = item.find(':');
    std::string head = item.substr(0, colon);
    rule.keys = colon == std::string::npos ? "k" : item.substr(colon + 1);
    if (rule.keys.empty()) {
      *error = Quote(item) + " has no characters after ':'";
      return false;
    }
    if (!ParseEntryCall(head, true, &rule.entry, &rule.on_call, error)) return false;
    config->keys.push_back(rule);
  }
  return true;
}

bool ParseKeyFd(const std::string& value, BoardConfig* config, std::string* error) {
  std::uint64_t fd = 0;
  if (!ParseNumber(value, false, INT32_MAX, &fd, error)) return false;
  config->key_fd = static_cast<int>(fd);
  return true;
}

bool ParsePath(const std::string& value, std::string* path, std::string* error) {
  if (value.empty()) {
    *error = "the path is empty";
    return false;
  }
  *path = value;
  return true;
}

bool ParseTrace(const std::string& value, BoardConfig* config, std::string* error) {
  return ParsePath(value, &config->trace_path, error);
}

bool ParseVcd(const std::string& value, BoardConfig* config, std::string* error) {
  return ParsePath(value, &config->vcd_path, error);
}

struct VariableParser {
  const char* name;
  bool (*parse)(const std::string& value, BoardConfig* config, std::string* error);
};

const VariableParser kParsers[] = {
    {"VBOARD_DEVICES", ParseDevices}, {"VBOARD_CLOCK_FACTOR", ParseClockFactor},
    {"VBOARD_INPUTS", ParseInputs},   {"VBOARD_LATENCY_US", ParseLatency},
    {"VBOARD_FAIL", ParseFaults},     {"VBOARD_KEYS", ParseKeys},
    {"VBOARD_KEY_FD", ParseKeyFd},    {"VBOARD_TRACE", ParseTrace},
    {"VBOARD_VCD", ParseVcd},
};

}  // namespace

const char* EntryPointName(EntryPoint entry) { return kEntryPointNames[static_cast<int>(entry)]; }

bool ParseBoardConfig(const BoardVariables& variables, BoardConfig* config, std::string* error) {
  *config = BoardConfig();
  for (const auto& [name, value] : variables) {
    const VariableParser* parser = nullptr;
    for (const VariableParser& candidate : kParsers) {
      if (name == candidate.name) parser = &candidate;
    }
    if (parser == nullptr) {
      // Any name can be in the environment, a line end included.
      *error = Printable(name) + ": not a setting of the virtual board";
      return false;
    }
    std::string what;
    if (!parser->parse(value, config, &what)) {
      *error = name + ": " + what;
      return false;
    }
  }
  return true;
}

const FaultRule* FindFault(const BoardConfig& config, EntryPoint entry, std::uint32_t call) {
  const FaultRule* found = nullptr;
  for (const FaultRule& rule : config.faults) {
    if (rule.entry == entry && rule.from_call <= call &&
        (found == nullptr || rule.from_call > found->from_call)) {
      found = &rule;
    }
  }
  return found;
}
