#include "virtual-board/vcd_format.h"

namespace {

// One printable identifier per pin: '!' for D0 up to '(' for D7.
char PinCode(int pin) { return static_cast<char>('!' + pin); }

std::string PinValue(int pin, std::uint8_t levels) {
  return std::string(1, ((levels >> pin) & 1) ? '1' : '0') + PinCode(pin) + "\n";
}

}  // namespace

std::string VcdHeader(std::uint8_t initial_levels, VcdState* state, std::uint64_t origin_ns) {
  std::string text = "$version quendal-bench virtual board $end\n$timescale " +
                     std::to_string(kVcdUnitNs) + " ns $end\n$scope module quendal $end\n";
  for (int pin = 0; pin < 8; ++pin) {
    text += std::string("$var wire 1 ") + PinCode(pin) + " D" + std::to_string(pin) + " $end\n";
  }
  text += "$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n";
  for (int pin = 0; pin < 8; ++pin) text += PinValue(pin, initial_levels);
  text += "$end\n";
  *state = {origin_ns, 0, initial_levels};
  return text;
}

std::string VcdChanges(const std::vector<PinLevels>& changes, VcdState* state) {
  std::string text;
  for (const PinLevels& change : changes) {
    std::uint8_t differ = static_cast<std::uint8_t>(change.levels ^ state->levels);
    if (differ == 0) continue;
    std::uint64_t at =
        change.t_ns > state->origin_ns ? (change.t_ns - state->origin_ns) / kVcdUnitNs : 0;
    if (at < state->last_time) at = state->last_time;
    if (at != state->last_time || text.empty()) text += "#" + std::to_string(at) + "\n";
    for (int pin = 0; pin < 8; ++pin) {
      if ((differ >> pin) & 1) text += PinValue(pin, change.levels);
    }
    state->last_time = at;
    state->levels = change.levels;
  }
  return text;
}

std::string VcdEnd(std::uint64_t end_ns, VcdState* state) {
  std::uint64_t at =
      end_ns > state->origin_ns ? (end_ns - state->origin_ns + kVcdUnitNs - 1) / kVcdUnitNs : 0;
  if (at <= state->last_time) at = state->last_time + 1;
  state->last_time = at;
  return "#" + std::to_string(at) + "\n";
}
