// The virtual board's settings, as it reads them when it starts.
//
// An input is an environment block: entries NAME=VALUE separated by NUL
// bytes, as a process's environment is laid out. The entries whose name
// starts with VBOARD_ are parsed as the board parses them at its first call.
// A rejected block must give one line of printable ASCII that starts with the
// name of a variable in the block; an accepted one must give settings
// within their documented ranges, which read back the same when written out
// again as settings.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/fuzz/fuzz_input.h"
#include "virtual-board/board_config.h"
#include "virtual-board/key_typist.h"

namespace {

// As the board's own reading of its environment: a VBOARD_ entry without '='
// is not a variable.
BoardVariables VariablesOf(const char* data, std::size_t size) {
  BoardVariables variables;
  const std::string block(data, size);
  for (std::size_t start = 0; start < block.size();) {
    std::size_t end = block.find('\0', start);
    if (end == std::string::npos) end = block.size();
    const std::string entry = block.substr(start, end - start);
    const std::size_t equals = entry.find('=');
    if (entry.compare(0, 7, "VBOARD_") == 0 && equals != std::string::npos) {
      variables.emplace_back(entry.substr(0, equals), entry.substr(equals + 1));
    }
    start = end + 1;
  }
  return variables;
}

// A name as an error line shows it: a byte outside printable ASCII as \xNN.
std::string Shown(const std::string& name) {
  static const char kDigits[] = "0123456789abcdef";
  std::string shown;
  for (unsigned char c : name) {
    if (c >= 0x20 && c < 0x7F) {
      shown += static_cast<char>(c);
    } else {
      shown += {'\\', 'x', kDigits[c >> 4], kDigits[c & 15]};
    }
  }
  return shown;
}

void CheckRejection(const BoardVariables& variables, const std::string& error) {
  FUZZ_CHECK(!error.empty());
  for (unsigned char c : error) FUZZ_CHECK(c >= 0x20 && c < 0x7F);
  bool named = false;
  for (const auto& variable : variables) {
    const std::string prefix = Shown(variable.first) + ": ";
    named = named || error.compare(0, prefix.size(), prefix) == 0;
  }
  FUZZ_CHECK(named);
}

bool IsSet(const BoardVariables& variables, const char* name) {
  for (const auto& variable : variables) {
    if (variable.first == name) return true;
  }
  return false;
}

// The last value given to `name`: a later entry replaces an earlier one.
std::string ValueOf(const BoardVariables& variables, const char* name) {
  std::string value;
  for (const auto& variable : variables) {
    if (variable.first == name) value = variable.second;
  }
  return value;
}

// The accepted settings, written out again as the board's variables.
BoardVariables Written(const BoardConfig& config) {
  BoardVariables variables = {
      {"VBOARD_DEVICES", std::to_string(config.devices)},
      {"VBOARD_CLOCK_FACTOR", std::to_string(config.clock_factor)},
      {"VBOARD_INPUTS", std::to_string(config.inputs)},
  };
  std::string latency, faults, keys;
  for (int i = 0; i < kEntryPointCount; ++i) {
    latency += std::string(latency.empty() ? "" : ",") +
               EntryPointName(static_cast<EntryPoint>(i)) + "=" +
               std::to_string(config.latency_us[i]);
  }
  for (const FaultRule& rule : config.faults) {
    faults += std::string(faults.empty() ? "" : ",") + EntryPointName(rule.entry) + "#" +
              std::to_string(rule.from_call) + "=" + std::to_string(rule.status);
  }
  for (const KeyRule& rule : config.keys) {
    keys += std::string(keys.empty() ? "" : ",") + EntryPointName(rule.entry) + "#" +
            std::to_string(rule.on_call) + ":" + rule.keys;
  }
  variables.push_back({"VBOARD_LATENCY_US", latency});
  variables.push_back({"VBOARD_FAIL", faults});
  variables.push_back({"VBOARD_KEYS", keys});
  if (config.key_fd >= 0) variables.push_back({"VBOARD_KEY_FD", std::to_string(config.key_fd)});
  if (!config.trace_path.empty()) variables.push_back({"VBOARD_TRACE", config.trace_path});
  if (!config.vcd_path.empty()) variables.push_back({"VBOARD_VCD", config.vcd_path});
  return variables;
}

bool SameConfig(const BoardConfig& a, const BoardConfig& b) {
  if (a.devices != b.devices || a.clock_factor != b.clock_factor || a.inputs != b.inputs ||
      a.key_fd != b.key_fd || a.trace_path != b.trace_path || a.vcd_path != b.vcd_path ||
      std::memcmp(a.latency_us, b.latency_us, sizeof a.latency_us) != 0 ||
      a.faults.size() != b.faults.size() || a.keys.size() != b.keys.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.faults.size(); ++i) {
    if (a.faults[i].entry != b.faults[i].entry || a.faults[i].from_call != b.faults[i].from_call ||
        a.faults[i].status != b.faults[i].status) {
      return false;
    }
  }
  for (std::size_t i = 0; i < a.keys.size(); ++i) {
    if (a.keys[i].entry != b.keys[i].entry || a.keys[i].on_call != b.keys[i].on_call ||
        a.keys[i].keys != b.keys[i].keys) {
      return false;
    }
  }
  return true;
}

// A number setting's value read another way: digits only, 0x for hex where
// allowed, as the settings' table states.
std::uint64_t NumberOf(const std::string& text) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  return std::strtoull(text.c_str() + (hex ? 2 : 0), nullptr, hex ? 16 : 10);
}

void CheckAcceptance(const BoardVariables& variables, const BoardConfig& config) {
  FUZZ_CHECK(config.devices <= kMaxDevices);
  FUZZ_CHECK(config.clock_factor >= 1 && config.clock_factor <= 1000);
  for (std::uint32_t latency : config.latency_us) FUZZ_CHECK(latency <= 60000000);
  for (const FaultRule& rule : config.faults) {
    FUZZ_CHECK(static_cast<int>(rule.entry) >= 0 &&
               static_cast<int>(rule.entry) < kEntryPointCount);
    FUZZ_CHECK(rule.from_call >= 1);
  }
  for (const KeyRule& rule : config.keys) {
    FUZZ_CHECK(static_cast<int>(rule.entry) >= 0 &&
               static_cast<int>(rule.entry) < kEntryPointCount);
    FUZZ_CHECK(rule.on_call >= 1);
    FUZZ_CHECK(!rule.keys.empty() && rule.keys.find(',') == std::string::npos);
  }
  FUZZ_CHECK(!config.keys.empty() <= (config.key_fd >= 0));

  // Each number is the one written, and a setting not given keeps its default.
  const BoardConfig defaults;
  struct {
    const char* name;
    std::uint64_t value;
    std::uint64_t default_value;
  } const numbers[] = {
      {"VBOARD_DEVICES", config.devices, defaults.devices},
      {"VBOARD_CLOCK_FACTOR", config.clock_factor, defaults.clock_factor},
      {"VBOARD_INPUTS", config.inputs, defaults.inputs},
      {"VBOARD_KEY_FD", static_cast<std::uint64_t>(config.key_fd),
       static_cast<std::uint64_t>(defaults.key_fd)},
  };
  for (const auto& number : numbers) {
    FUZZ_CHECK(number.value == (IsSet(variables, number.name)
                                    ? NumberOf(ValueOf(variables, number.name))
                                    : number.default_value));
  }
  FUZZ_CHECK(config.trace_path == ValueOf(variables, "VBOARD_TRACE"));
  FUZZ_CHECK(config.vcd_path == ValueOf(variables, "VBOARD_VCD"));

  // A call meets the rule of its entry point that started last by then, and
  // none before the first has started; rules start at calls of their own.
  for (const FaultRule& rule : config.faults) {
    for (std::uint32_t call : {rule.from_call - 1, rule.from_call, rule.from_call + 1}) {
      const FaultRule* met = FindFault(config, rule.entry, call);
      for (const FaultRule& other : config.faults) {
        const bool started = other.entry == rule.entry && other.from_call <= call;
        FUZZ_CHECK(!started || (met != nullptr && met->from_call >= other.from_call));
        FUZZ_CHECK(&other == met || !started || other.from_call != met->from_call);
      }
      FUZZ_CHECK(met == nullptr || (met->entry == rule.entry && met->from_call <= call));
    }
  }

  BoardConfig again;
  std::string error;
  FUZZ_CHECK(ParseBoardConfig(Written(config), &again, &error));
  FUZZ_CHECK(SameConfig(config, again));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const BoardVariables variables = VariablesOf(reinterpret_cast<const char*>(data), size);
  BoardConfig config;
  std::string error;
  // PrepareKeyTypist only asks whether the key descriptor is open.
  if (ParseBoardConfig(variables, &config, &error) && PrepareKeyTypist(config, &error)) {
    CheckAcceptance(variables, config);
  } else {
    CheckRejection(variables, error);
  }
  return 0;
}
