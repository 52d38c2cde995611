// The waveform file: a Value Change Dump of pins D0 to D7, one 1-bit wire
// each, in units of 100 ns from the board's start.
//
// Contract: VcdHeader gives the definitions and the levels at time 0;
// VcdChanges gives the records for a run of level changes, only for pins that
// change, and advances `state`. A change's time is cut down to its unit; the
// changes within one unit share its time stamp, the last one's levels
// standing. Every piece ends at a record boundary, so a file cut off between
// pieces is still a valid dump. Times that would go back (a change computed
// for an earlier moment than one already written) are written at the last
// time instead: a dump's times must never decrease. VcdEnd gives the closing
// time stamp, with no change after it: end_ns rounded up to its unit, and
// later than every record written. Readers that end their samples at the last
// time stamp (PulseView, sigrok-cli) show the last change up to it.
#ifndef QUENDAL_VIRTUAL_BOARD_VCD_FORMAT_H
#define QUENDAL_VIRTUAL_BOARD_VCD_FORMAT_H

#include <cstdint>
#include <string>
#include <vector>

#include "virtual-board/pin_model.h"

// Logic-analyser readers such as PulseView turn a dump into samples at its
// time unit: 100 ns is 10 MHz, which they hold for a minute's run, and it is
// still shorter than one byte of bit-bang output at 115200 baud (542.5 ns).
constexpr std::uint64_t kVcdUnitNs = 100;

struct VcdState {
  std::uint64_t origin_ns;  // Monotonic time of the dump's time 0.
  std::uint64_t last_time;  // Dump time, in units, of the last record written.
  std::uint8_t levels;      // Levels last written.
};

std::string VcdHeader(std::uint8_t initial_levels, VcdState* state, std::uint64_t origin_ns);
std::string VcdChanges(const std::vector<PinLevels>& changes, VcdState* state);
std::string VcdEnd(std::uint64_t end_ns, VcdState* state);

#endif  // QUENDAL_VIRTUAL_BOARD_VCD_FORMAT_H
