// What the reference loops need around them: the least a program must do
// before and after the loops that the benchmark measures. The loops
// themselves are in reference_loops.cc.
//
// Everything here mirrors the bench program's own calls: the driver library
// loaded by its bare name and bound through dlsym, the same device set-up,
// the terminal in the same key mode, the same zero-timeout key test and the
// same absolute-deadline sleep. Nothing is added that the program does not do.
#ifndef QUENDAL_BENCHMARKS_REFERENCE_RIG_H
#define QUENDAL_BENCHMARKS_REFERENCE_RIG_H

#include <dlfcn.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "driver/driver_interface.h"

namespace reference {

struct Driver {
  FT_OpenFunction open;
  FT_SetBitModeFunction set_bit_mode;
  FT_WriteFunction write;
  FT_SetBaudRateFunction set_baud_rate;
  FT_GetBitModeFunction get_bit_mode;
};

template <typename Function>
bool Find(void* library, const char* name, Function* function) {
  *function = reinterpret_cast<Function>(dlsym(library, name));
  return *function != nullptr;
}

// The program's BindDriver and OpenDevice in one: loads the driver, looks up
// the five entry points and sets the device up as the program does (index 0,
// 115200 baud, mask 0x03, mode 0x01).
inline bool BindAndOpenDevice(Driver* driver, DeviceHandle* device) {
  void* library = dlopen("libftd2xx.so", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr || !Find(library, "FT_Open", &driver->open) ||
      !Find(library, "FT_SetBitMode", &driver->set_bit_mode) ||
      !Find(library, "FT_Write", &driver->write) ||
      !Find(library, "FT_SetBaudRate", &driver->set_baud_rate) ||
      !Find(library, "FT_GetBitMode", &driver->get_bit_mode)) {
    std::fprintf(stderr, "reference: cannot bind libftd2xx.so\n");
    return false;
  }
  if (driver->open(0, device) != kDriverOk || driver->set_baud_rate(*device, 115200) != kDriverOk ||
      driver->set_bit_mode(*device, 0x03, 0x01) != kDriverOk) {
    std::fprintf(stderr, "reference: device set-up failed\n");
    return false;
  }
  return true;
}

// The terminal without line buffering and echo, so that one key is readable
// at once; given back by RestoreTerminal.
struct Terminal {
  bool saved = false;
  struct termios mode;
};

inline void EnterKeyMode(Terminal* terminal) {
  if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &terminal->mode) != 0) return;
  terminal->saved = true;
  struct termios key_mode = terminal->mode;
  key_mode.c_lflag &= ~(ICANON | ECHO | ECHONL);
  key_mode.c_iflag &= ~IXON;
  key_mode.c_cc[VMIN] = 1;
  key_mode.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &key_mode);
}

inline void RestoreTerminal(const Terminal& terminal) {
  if (terminal.saved) tcsetattr(STDIN_FILENO, TCSANOW, &terminal.mode);
}

inline bool KeyWaiting() {
  struct pollfd input = {STDIN_FILENO, POLLIN, 0};
  return poll(&input, 1, 0) > 0;
}

inline void ReadKey() {
  unsigned char key;
  while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
  }
}

inline void SleepOneMillisecond() {
  struct timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_nsec += 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

}  // namespace reference

#endif  // QUENDAL_BENCHMARKS_REFERENCE_RIG_H
