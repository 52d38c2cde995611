// The trace and waveform writers, with random keys, bytes, statuses and
// time stamps.
//
// Every trace line must be one line of printable ASCII that parses as a JSON
// object with the fields as given (a typed key as its own character, by its
// code), read by the small JSON reader below. Every waveform must read back:
// the definitions of D0 to D7, times that never go back, each change's
// levels at the time stamp of its 100 ns unit (the last change of a unit
// standing), every piece starting at a time stamp, and a closing time stamp
// after the last change and not before the end it was given.
//
// Time stamps stay below 2^62 ns (146 years of a monotonic clock), where
// their differences cannot wrap.
#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_input.h"
#include "virtual-board/trace_format.h"
#include "virtual-board/vcd_format.h"

namespace {

// A JSON value as far as the trace needs it: a string's characters (code
// points, all below 256 here) or a number's text.
struct JsonValue {
  bool is_string = false;
  std::u32string text;
};

// A strict reader of one JSON object whose members are strings or numbers
// (RFC 8259 grammar); any other value, a repeated name or trailing text makes
// it fail.
class JsonObjectReader {
 public:
  explicit JsonObjectReader(const std::string& text) : text_(text) {}

  bool Read(std::map<std::string, JsonValue>* members) {
    SkipSpace();
    if (!Take('{')) return false;
    SkipSpace();
    if (!Take('}')) {
      do {
        SkipSpace();
        JsonValue name;
        if (!String(&name)) return false;
        SkipSpace();
        if (!Take(':')) return false;
        SkipSpace();
        JsonValue value;
        if (!(Peek() == '"' ? String(&value) : Number(&value))) return false;
        std::string key;
        for (char32_t c : name.text) key += static_cast<char>(c);
        if (!members->emplace(key, value).second) return false;
        SkipSpace();
      } while (Take(','));
      if (!Take('}')) return false;
    }
    SkipSpace();
    return at_ == text_.size();
  }

 private:
  char Peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }
  bool Take(char c) {
    if (at_ >= text_.size() || text_[at_] != c) return false;
    ++at_;
    return true;
  }
  void SkipSpace() {
    while (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r') ++at_;
  }
  static int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }
  bool String(JsonValue* value) {
    value->is_string = true;
    if (!Take('"')) return false;
    while (at_ < text_.size()) {
      const unsigned char c = static_cast<unsigned char>(text_[at_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') {
        value->text += static_cast<char32_t>(c);
        continue;
      }
      const char escape = text_[at_ < text_.size() ? at_++ : at_];
      static const std::string kSingle = "\"\\/bfnrt", kMeaning = "\"\\/\b\f\n\r\t";
      const std::size_t single = kSingle.find(escape);
      if (escape != '\0' && single != std::string::npos) {
        value->text += static_cast<char32_t>(kMeaning[single]);
      } else if (escape == 'u' && at_ + 4 <= text_.size()) {
        char32_t code = 0;
        for (int i = 0; i < 4; ++i) {
          const int digit = Hex(text_[at_++]);
          if (digit < 0) return false;
          code = code * 16 + static_cast<char32_t>(digit);
        }
        value->text += code;
      } else {
        return false;
      }
    }
    return false;
  }
  bool Digits() {
    const std::size_t start = at_;
    while (Peek() >= '0' && Peek() <= '9') ++at_;
    return at_ > start;
  }
  bool Number(JsonValue* value) {
    const std::size_t start = at_;
    Take('-');
    if (Take('0')) {
      if (Peek() >= '0' && Peek() <= '9') return false;
    } else if (!Digits()) {
      return false;
    }
    if (Take('.') && !Digits()) return false;
    if (Take('e') || Take('E')) {
      if (!Take('+')) Take('-');
      if (!Digits()) return false;
    }
    for (std::size_t i = start; i < at_; ++i) value->text += static_cast<char32_t>(text_[i]);
    return true;
  }

  const std::string& text_;
  std::size_t at_ = 0;
};

std::u32string Chars(const std::string& text) { return std::u32string(text.begin(), text.end()); }

// A JSON integer, kept as its sign and magnitude so that every 64-bit value,
// signed or not, compares exactly.
struct Integer {
  bool negative;
  std::uint64_t magnitude;
  bool operator==(const Integer& other) const {
    return negative == other.negative && magnitude == other.magnitude;
  }
};

Integer Signed(std::int64_t value) {
  const bool negative = value < 0;
  const std::uint64_t bits = static_cast<std::uint64_t>(value);
  return {negative, negative ? ~bits + 1 : bits};
}
Integer Unsigned(std::uint64_t value) { return {false, value}; }

bool IsNumber(const std::map<std::string, JsonValue>& members, const std::string& name,
              Integer expected) {
  const auto member = members.find(name);
  if (member == members.end() || member->second.is_string) return false;
  const std::u32string& text = member->second.text;
  Integer read{!text.empty() && text[0] == '-', 0};
  const std::size_t first = read.negative ? 1 : 0;
  if (text.size() == first || text.size() - first > 20) return false;
  for (std::size_t i = first; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    const std::uint64_t digit = text[i] - '0';
    if (read.magnitude > (UINT64_MAX - digit) / 10) return false;
    read.magnitude = read.magnitude * 10 + digit;
  }
  return read == expected;
}

bool IsString(const std::map<std::string, JsonValue>& members, const std::string& name,
              const std::u32string& expected) {
  const auto member = members.find(name);
  return member != members.end() && member->second.is_string && member->second.text == expected;
}

std::map<std::string, JsonValue> ReadLine(const std::string& line) {
  FUZZ_CHECK(!line.empty() && line.back() == '\n');
  for (std::size_t i = 0; i + 1 < line.size(); ++i) {
    FUZZ_CHECK(line[i] >= 0x20 && line[i] < 0x7F);
  }
  std::map<std::string, JsonValue> members;
  FUZZ_CHECK(JsonObjectReader(line.substr(0, line.size() - 1)).Read(&members));
  return members;
}

constexpr std::uint64_t kTimeLimit = std::uint64_t{1} << 62;

void CheckKeyLine(FuzzInput& input) {
  const std::uint64_t t_ns = input.Number(8) % kTimeLimit;
  const char key = static_cast<char>(input.Byte());
  const auto members = ReadLine(TraceKeyLine(t_ns, key));
  FUZZ_CHECK(members.size() == 2);
  FUZZ_CHECK(IsNumber(members, "t_ns", Unsigned(t_ns)));
  FUZZ_CHECK(IsString(members, "key", std::u32string(1, static_cast<unsigned char>(key))));
}

void CheckCallLine(FuzzInput& input) {
  static const char* const kCalls[] = {"FT_Open", "FT_SetBitMode", "FT_Write", "FT_SetBaudRate",
                                       "FT_GetBitMode"};
  static const char* const kNumbers[] = {"index", "baud", "mask", "mode", "value"};
  const std::uint64_t t_ns = input.Number(8) % kTimeLimit;
  const char* call = kCalls[input.Byte() % 5];
  const std::uint32_t status = input.Uint32();
  std::string arguments;
  std::map<std::string, std::int64_t> numbers;
  std::vector<std::uint8_t> data;
  const bool has_data = input.Byte() % 2 == 1;
  if (has_data) {
    data = input.Bytes(255);
    arguments += TraceHexBytes("data", data.data(), static_cast<std::uint32_t>(data.size()));
  }
  for (const char* name : kNumbers) {
    if (input.Byte() % 2 == 0) continue;
    const std::int64_t value = static_cast<std::int64_t>(input.Number(8));
    numbers[name] = value;
    arguments += TraceNumber(name, value);
  }
  const auto members = ReadLine(TraceCallLine(t_ns, call, status, arguments));
  FUZZ_CHECK(members.size() == 3 + numbers.size() + (has_data ? 1 : 0));
  FUZZ_CHECK(IsNumber(members, "t_ns", Unsigned(t_ns)));
  FUZZ_CHECK(IsString(members, "call", Chars(call)));
  FUZZ_CHECK(IsNumber(members, "status", Unsigned(status)));
  for (const auto& [name, value] : numbers) FUZZ_CHECK(IsNumber(members, name, Signed(value)));
  if (has_data) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (std::uint8_t byte : data) hex += {kDigits[byte >> 4], kDigits[byte & 15]};
    FUZZ_CHECK(IsString(members, "data", Chars(hex)));
  }
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  FUZZ_CHECK(start == text.size());  // Every piece ends with a whole record.
  return lines;
}

// Reads a dump's records after its definitions: the levels at each time
// stamp, and the last stamp.
struct ReadBack {
  std::map<std::uint64_t, std::uint8_t> levels;  // At each time stamp with a change.
  std::uint64_t last_time = 0;
  std::uint64_t last_change_time = 0;
};

void ReadRecords(const std::vector<std::string>& lines, ReadBack* back) {
  bool timed = false;
  std::uint8_t levels = 0;
  for (const std::string& line : lines) {
    FUZZ_CHECK(!line.empty());
    if (line[0] == '#') {
      FUZZ_CHECK(line.size() > 1 && line.size() <= 21);
      std::uint64_t time = 0;
      for (std::size_t k = 1; k < line.size(); ++k) {
        FUZZ_CHECK(line[k] >= '0' && line[k] <= '9');
        time = time * 10 + static_cast<std::uint64_t>(line[k] - '0');
      }
      FUZZ_CHECK(time >= back->last_time);
      back->last_time = time;
      timed = true;
      continue;
    }
    FUZZ_CHECK(timed && line.size() == 2 && (line[0] == '0' || line[0] == '1'));
    const int pin = line[1] - '!';
    FUZZ_CHECK(pin >= 0 && pin < 8);
    levels = static_cast<std::uint8_t>((levels & ~(1 << pin)) | ((line[0] - '0') << pin));
    back->levels[back->last_time] = levels;
    back->last_change_time = back->last_time;
  }
}

void CheckWaveform(FuzzInput& input) {
  const std::uint8_t initial = input.Byte();
  const std::uint64_t origin = input.Number(8) % kTimeLimit;
  VcdState state{};
  const std::string header = VcdHeader(initial, &state, origin);
  std::string dump = header;

  // What a reader must see: the levels at each unit that had a change.
  std::map<std::uint64_t, std::uint8_t> expected;
  std::uint64_t unit = 0;
  std::uint8_t levels = initial;
  for (int pieces = input.Byte() % 8; pieces > 0; --pieces) {
    std::vector<PinLevels> changes;
    for (int count = input.Byte() % 16; count > 0; --count) {
      // Mostly forwards from the origin, sometimes anywhere.
      const std::uint64_t t_ns = input.Byte() % 4 == 0 ? input.Number(8) % kTimeLimit
                                                       : origin + unit * 100 + input.Number(2);
      changes.push_back({t_ns, input.Byte()});
      if (changes.back().levels == levels) continue;
      unit = std::max(unit, t_ns > origin ? (t_ns - origin) / 100 : 0);
      levels = changes.back().levels;
      expected[unit] = levels;
    }
    const std::string piece = VcdChanges(changes, &state);
    FUZZ_CHECK(piece.empty() || piece[0] == '#');
    dump += piece;
  }
  const std::uint64_t end_ns =
      input.Byte() % 2 ? origin + input.Number(4) : input.Number(8) % kTimeLimit;
  dump += VcdEnd(end_ns, &state);

  const std::vector<std::string> lines = Lines(dump);
  std::size_t first = 0;
  while (first < lines.size() && lines[first] != "$enddefinitions $end") ++first;
  FUZZ_CHECK(first == 12 && lines[1] == "$timescale 100 ns $end");
  for (int pin = 0; pin < 8; ++pin) {
    FUZZ_CHECK(lines[3 + pin] == std::string("$var wire 1 ") + static_cast<char>('!' + pin) + " D" +
                                     std::to_string(pin) + " $end");
  }
  // Then "#0", "$dumpvars", the eight initial levels and "$end".
  FUZZ_CHECK(lines.size() >= first + 12 && lines[first + 1] == "#0" &&
             lines[first + 2] == "$dumpvars" && lines[first + 11] == "$end");
  std::vector<std::string> records(lines.begin() + static_cast<std::ptrdiff_t>(first) + 1,
                                   lines.end());
  records.erase(records.begin() + 10);  // $end
  records.erase(records.begin() + 1);   // $dumpvars
  ReadBack back;
  ReadRecords(records, &back);
  // Time 0 shows the initial levels, unless a change falls in its unit.
  FUZZ_CHECK(back.levels.at(0) == (expected.count(0) != 0 ? expected[0] : initial));
  back.levels.erase(0);
  expected.erase(0);
  FUZZ_CHECK(back.levels == expected);
  // The closing stamp: after the last change, and not before the end.
  FUZZ_CHECK(back.last_time > back.last_change_time);
  if (end_ns > origin) FUZZ_CHECK(back.last_time * 100 >= end_ns - origin);
  FUZZ_CHECK(lines.back()[0] == '#');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  CheckWaveform(input);
  while (!input.empty()) {
    if (input.Byte() % 2 == 0) {
      CheckKeyLine(input);
    } else {
      CheckCallLine(input);
    }
  }
  return 0;
}
