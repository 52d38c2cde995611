#include "virtual-board/trace_format.h"

#include <cstdio>

std::string TraceCallLine(std::uint64_t t_ns, const char* call, std::uint32_t status,
                          const std::string& arguments) {
  return "{\"t_ns\": " + std::to_string(t_ns) + ", \"call\": \"" + call +
         "\", \"status\": " + std::to_string(status) + arguments + "}\n";
}

std::string TraceKeyLine(std::uint64_t t_ns, char key) {
  unsigned char c = static_cast<unsigned char>(key);
  std::string text;
  if (c == '"' || c == '\\') {
    text = std::string("\\") + key;
  } else if (c < 0x20 || c >= 0x7F) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
    text = escaped;
  } else {
    text = std::string(1, key);
  }
  return "{\"t_ns\": " + std::to_string(t_ns) + ", \"key\": \"" + text + "\"}\n";
}

std::string TraceNumber(const char* name, std::int64_t value) {
  return std::string(", \"") + name + "\": " + std::to_string(value);
}

std::string TraceHexBytes(const char* name, const std::uint8_t* data, std::uint32_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text = std::string(", \"") + name + "\": \"";
  for (std::uint32_t i = 0; i < count; ++i) {
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 0x0F];
  }
  return text + "\"";
}
