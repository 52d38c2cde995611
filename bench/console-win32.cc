// The console on Windows, through the C runtime's console functions.
#include <conio.h>
#include <windows.h>
#include <mmsystem.h>

#include <cstdio>

#include "bench/console.h"

namespace {

class Win32Console final : public Console {
 public:
  void Print(const char* text) override {
    // Standard output is fully buffered when redirected.
    std::fputs(text, stdout);
    std::fflush(stdout);
  }
  bool KeyWaiting() override { return _kbhit() != 0; }
  void ReadKey() override { _getch(); }
  void Sleep(unsigned milliseconds) override { ::Sleep(milliseconds); }
};

}  // namespace

Console& OpenPlatformConsole() {
  static Win32Console console;
  // The default timer tick of 15.6 ms would stretch every 1 ms pause of the
  // fast phase to one or two ticks; raised once, it holds until the process
  // ends. A refusal leaves the run correct, only the fast phase slower, and
  // there is no place in the console's text for a warning: the run goes on.
  static const MMRESULT timer_resolution = timeBeginPeriod(1);
  static_cast<void>(timer_resolution);
  return console;
}
