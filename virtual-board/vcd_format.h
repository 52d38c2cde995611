// The waveform file: a Value Change Dump of pins D0 to D7, one 1-bit wire
// each, in nanoseconds from the board's start.
//
// Contract: VcdHeader gives the definitions and the levels at time 0;
// VcdChanges gives the records for a run of level changes, only for pins that
// change, and advances `state`. Every piece ends at a record boundary, so a
// file cut off between pieces is still a valid dump. Times that would go back
// (a change computed for an earlier moment than one already written) are
// written at the last time instead: a dump's times must never decrease.
#ifndef QUENDAL_VIRTUAL_BOARD_VCD_FORMAT_H
#define QUENDAL_VIRTUAL_BOARD_VCD_FORMAT_H

#include <cstdint>
#include <string>
#include <vector>

#include "virtual-board/pin_model.h"

struct VcdState {
  std::uint64_t origin_ns;  // Monotonic time of the dump's time 0.
  std::uint64_t last_ns;    // Dump time of the last record written.
  std::uint8_t levels;      // Levels last written.
};

std::string VcdHeader(std::uint8_t initial_levels, VcdState* state, std::uint64_t origin_ns);
std::string VcdChanges(const std::vector<PinLevels>& changes, VcdState* state);

#endif  // QUENDAL_VIRTUAL_BOARD_VCD_FORMAT_H
