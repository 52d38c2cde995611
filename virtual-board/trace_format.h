// The lines of the call trace: one JSON object per line, each line complete
// in itself so that a trace cut off by the end of the process still parses.
//
// Contract: TraceCallLine gives {"t_ns": T, "call": NAME, "status": S, ...}
// with `arguments` appended as they are (already JSON: `"baud": 115200`);
// TraceKeyLine gives {"t_ns": T, "key": "k"}. Both end with a line end.
#ifndef QUENDAL_VIRTUAL_BOARD_TRACE_FORMAT_H
#define QUENDAL_VIRTUAL_BOARD_TRACE_FORMAT_H

#include <cstdint>
#include <string>

std::string TraceCallLine(std::uint64_t t_ns, const char* call, std::uint32_t status,
                          const std::string& arguments);
std::string TraceKeyLine(std::uint64_t t_ns, char key);

// `"name": value` pieces for the arguments, each with a leading ", ".
std::string TraceNumber(const char* name, std::int64_t value);
std::string TraceHexBytes(const char* name, const std::uint8_t* data, std::uint32_t count);

#endif  // QUENDAL_VIRTUAL_BOARD_TRACE_FORMAT_H
