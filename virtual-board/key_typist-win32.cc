#include <windows.h>

#include <cctype>
#include <vector>

#include "virtual-board/key_typist.h"

namespace {

HANDLE ConsoleInput() {
  // Through CONIN$ rather than the standard input handle: the keys must
  // reach the console that _kbhit and _getch read, also when the standard
  // input is redirected.
  static HANDLE input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    0, nullptr);
  return input;
}

INPUT_RECORD KeyEvent(char key, BOOL down) {
  INPUT_RECORD record{};
  record.EventType = KEY_EVENT;
  record.Event.KeyEvent.bKeyDown = down;
  record.Event.KeyEvent.wRepeatCount = 1;
  unsigned char c = static_cast<unsigned char>(key);
  record.Event.KeyEvent.wVirtualKeyCode =
      std::isalnum(c) ? static_cast<WORD>(std::toupper(c)) : 0;
  record.Event.KeyEvent.uChar.AsciiChar = key;
  return record;
}

}  // namespace

bool PrepareKeyTypist(const BoardConfig& config, std::string* error) {
  if (config.key_fd >= 0) {
    *error = "VBOARD_KEY_FD: not used on Windows, where the keys go into the console";
    return false;
  }
  if (config.keys.empty()) return true;
  if (ConsoleInput() == INVALID_HANDLE_VALUE) {
    *error = "VBOARD_KEYS: this process has no console to type keys into";
    return false;
  }
  return true;
}

bool TypeKeys(const BoardConfig&, const std::string& keys) {
  std::vector<INPUT_RECORD> events;
  for (char key : keys) {
    events.push_back(KeyEvent(key, TRUE));
    events.push_back(KeyEvent(key, FALSE));
  }
  DWORD written = 0;
  // The console holds the events as soon as the call returns: they are
  // readable at once, with nothing to wait for.
  return WriteConsoleInputA(ConsoleInput(), events.data(), static_cast<DWORD>(events.size()),
                            &written) &&
         written == events.size();
}
