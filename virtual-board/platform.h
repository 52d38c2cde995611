// What the virtual board needs from the operating system: a monotonic clock,
// precise sleeps, its settings, record files and its error line.
//
// Contract: a RecordFile is created empty (or truncated) and then only
// appended to; AppendRecord writes the whole record with one system call, so
// records never interleave, and nothing is buffered in the process: what was
// appended is in the file however the process ends afterwards. A fatal signal
// during the call can cut that record short, which leaves it last and without
// its line end.
#ifndef QUENDAL_VIRTUAL_BOARD_PLATFORM_H
#define QUENDAL_VIRTUAL_BOARD_PLATFORM_H

#include <cstdint>
#include <string>

#include "virtual-board/board_config.h"

std::uint64_t MonotonicNs();
void SleepMicroseconds(std::uint32_t microseconds);

// Every environment variable whose name starts with "VBOARD_".
BoardVariables ReadBoardVariables();

struct RecordFile {
  std::intptr_t native = -1;  // A descriptor, or a HANDLE on Windows; -1: none.
};

// On failure `error` is the system's reason only; the caller names the file.
bool CreateRecordFile(const std::string& path, RecordFile* file, std::string* error);
bool AppendRecord(const RecordFile& file, const std::string& record);

// One line on the process's standard error.
void ReportError(const std::string& line);

#endif  // QUENDAL_VIRTUAL_BOARD_PLATFORM_H
