// The console on a POSIX terminal, or on a pipe or file as standard input.
//
// When standard input is a terminal it is switched, once, to a mode without
// line buffering and without echo; the signal keys keep working. The mode it
// had is given back on every way out. Restoring never flushes the input: a
// key left pending at a failure halt is for whatever reads the terminal next.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "bench/console.h"

namespace {

struct termios g_saved_mode;
struct termios g_key_mode;
volatile sig_atomic_t g_mode_saved = 0;
volatile sig_atomic_t g_stopped_by_us = 0;
// Set while the terminal may be without the key mode: from our own stop until
// we are back in the foreground. A shell's `fg` of a job that runs in the
// background sends no SIGCONT, so the key waits look for that moment too.
volatile sig_atomic_t g_key_mode_off = 0;

// Everything from here to InstallTerminalGuards runs in signal handlers too,
// so it uses async-signal-safe calls only.

void RestoreTerminal() {
  if (!g_mode_saved) return;
  // A process that was put in the background must still be able to give the
  // terminal back instead of being stopped by SIGTTOU.
  sigset_t block, previous;
  sigemptyset(&block);
  sigaddset(&block, SIGTTOU);
  sigprocmask(SIG_BLOCK, &block, &previous);
  tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_mode);
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

void DeriveKeyMode() {
  g_key_mode = g_saved_mode;
  g_key_mode.c_lflag &= ~(ICANON | ECHO | ECHONL);
  // Ctrl-S and Ctrl-Q are keys like any other: left to flow control, Ctrl-S
  // would freeze the read-back's output instead of ending the phase.
  g_key_mode.c_iflag &= ~IXON;
  g_key_mode.c_cc[VMIN] = 1;
  g_key_mode.c_cc[VTIME] = 0;
}

void ApplyKeyMode() { tcsetattr(STDIN_FILENO, TCSANOW, &g_key_mode); }

bool InForeground() { return tcgetpgrp(STDIN_FILENO) == getpgrp(); }

void TakeKeyModeBack() {
  // In the background the terminal belongs to the shell: its mode is not ours
  // to save or change.
  if (!InForeground()) return;
  // After our own stop the shell may have changed the terminal; what it hands
  // back now is the mode to restore at the end. A stray SIGCONT while running
  // must not save the key mode as the one to restore.
  if (g_stopped_by_us && tcgetattr(STDIN_FILENO, &g_saved_mode) == 0) DeriveKeyMode();
  g_stopped_by_us = 0;
  ApplyKeyMode();
  g_key_mode_off = 0;
}

void RestoreAndReraise(int signal_number) {
  // The handler was reset to the default on entry, so the raised signal ends
  // the process as it would have without us, once this handler returns.
  int saved_errno = errno;
  RestoreTerminal();
  raise(signal_number);
  errno = saved_errno;
}

void InstallHandler(int signal_number, void (*handler)(int), int flags) {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = handler;
  action.sa_flags = flags;
  sigemptyset(&action.sa_mask);
  sigaction(signal_number, &action, nullptr);
}

void StopWithTerminalRestored(int) {
  int saved_errno = errno;
  g_key_mode_off = 1;
  RestoreTerminal();
  g_stopped_by_us = 1;
  InstallHandler(SIGTSTP, SIG_DFL, 0);
  raise(SIGTSTP);
  sigset_t tstp;
  sigemptyset(&tstp);
  sigaddset(&tstp, SIGTSTP);
  sigprocmask(SIG_UNBLOCK, &tstp, nullptr);  // The process stops here.
  InstallHandler(SIGTSTP, StopWithTerminalRestored, SA_RESTART);
  errno = saved_errno;
}

void RetakeKeyMode(int) {
  int saved_errno = errno;
  TakeKeyModeBack();
  errno = saved_errno;
}

bool IsIgnored(int signal_number) {
  struct sigaction current;
  return sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

// Signals that never reach RestoreAndReraise: those that cannot be caught,
// those ignored by default, and the stop and continue signals (SIGTSTP and
// SIGCONT have handlers of their own; SIGTTIN and SIGTTOU stop as usual).
// Every other signal ends the process by default; listing the exceptions
// rather than the fatal signals covers any signal a new kernel adds.
bool IsLeftAlone(int signal_number) {
  switch (signal_number) {
    case SIGKILL:
    case SIGSTOP:
    case SIGCHLD:
    case SIGURG:
    case SIGWINCH:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGCONT:
      return true;
    default:
      return false;
  }
}

void InstallTerminalGuards() {
  atexit(RestoreTerminal);
  // Every signal that would end the process gives the terminal back first:
  // SIGPIPE (`quendal-bench | head`), the crash signals of a faulty driver
  // library, the file-size and CPU limits, kill -USR1, ... A signal the
  // parent set to be ignored (nohup) stays ignored. On the numbers the C
  // library keeps for its threads sigaction fails, and nothing changes.
  for (int signal_number = 1; signal_number <= SIGRTMAX; ++signal_number) {
    if (!IsLeftAlone(signal_number) && !IsIgnored(signal_number)) {
      InstallHandler(signal_number, RestoreAndReraise, SA_RESETHAND);
    }
  }
  if (!IsIgnored(SIGTSTP)) InstallHandler(SIGTSTP, StopWithTerminalRestored, SA_RESTART);
  InstallHandler(SIGCONT, RetakeKeyMode, SA_RESTART);
}

// Started in the background (`&`), the terminal still has the shell's own mode
// (a line editor's, without echo), not the one it gives its commands. Like a
// change of the mode, tcdrain stops a background process (SIGTTOU) until the
// shell brings it to the foreground, but it changes nothing when it is
// finally made. It returns at once in the foreground, where SIGTTOU is ignored
// or blocked, and on a terminal that is not the controlling one.
void WaitForForeground() {
  while (tcdrain(STDIN_FILENO) != 0 && errno == EINTR) {
  }
}

// With the key mode off, a key wait made in the foreground takes it back.
// Signals are held off meanwhile, so that none restores a half-saved mode.
void TakeKeyModeBackIfOff() {
  if (!g_key_mode_off) return;
  sigset_t all, previous;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &previous);
  TakeKeyModeBack();
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

void EnterKeyMode() {
  if (!isatty(STDIN_FILENO)) return;
  WaitForForeground();
  if (tcgetattr(STDIN_FILENO, &g_saved_mode) != 0) return;
  DeriveKeyMode();
  g_mode_saved = 1;
  InstallTerminalGuards();
  ApplyKeyMode();
}

// A closed standard descriptor would go to the next file opened, by us or by
// the driver library: the prompts would land in its file, or its events be
// read as keys. Opened on /dev/null instead, input ends at once (a key) and
// output is discarded. Without /dev/null the run goes on as it is.
void FillClosedStandardDescriptors() {
  int fd;
  do {
    fd = open("/dev/null", O_RDWR);
  } while (fd >= 0 && fd <= STDERR_FILENO);
  if (fd > STDERR_FILENO) close(fd);
}

void WriteAll(const char* text, size_t length) {
  while (length > 0) {
    ssize_t written = write(STDOUT_FILENO, text, length);
    if (written > 0) {
      text += written;
      length -= static_cast<size_t>(written);
    } else if (written < 0 && errno == EINTR) {
      continue;
    } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      struct pollfd output = {STDOUT_FILENO, POLLOUT, 0};
      poll(&output, 1, -1);
    } else {
      return;  // The output is gone; the program goes on without it.
    }
  }
}

class PosixConsole final : public Console {
 public:
  void Print(const char* text) override { WriteAll(text, std::strlen(text)); }

  bool KeyWaiting() override {
    TakeKeyModeBackIfOff();
    // End of input, a hang-up and a closed descriptor all count as a key:
    // no key can ever come after them, and a scripted run must still end.
    struct pollfd input = {STDIN_FILENO, POLLIN, 0};
    return poll(&input, 1, 0) > 0;
  }

  void ReadKey() override {
    // One byte and no more: the rest of a multi-byte key stays pending. At
    // the end of input there is nothing to take.
    unsigned char key;
    while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
    }
  }

  void Sleep(unsigned milliseconds) override {
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    AddMilliseconds(deadline, milliseconds);
    for (;;) {
      // With the key mode off, the slow phase's second is cut into short
      // naps, so that the key mode is back before the operator types.
      struct timespec wake = deadline;
      if (g_key_mode_off) {
        clock_gettime(CLOCK_MONOTONIC, &wake);
        AddMilliseconds(wake, kForegroundCheckMilliseconds);
        if (Before(deadline, wake)) wake = deadline;
      }
      while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
      }
      if (!Before(wake, deadline)) return;
      TakeKeyModeBackIfOff();
    }
  }

 private:
  static constexpr unsigned kForegroundCheckMilliseconds = 10;

  static void AddMilliseconds(struct timespec& time, unsigned milliseconds) {
    time.tv_sec += milliseconds / 1000;
    time.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (time.tv_nsec >= 1000000000L) {
      time.tv_sec += 1;
      time.tv_nsec -= 1000000000L;
    }
  }

  static bool Before(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
  }
};

}  // namespace

Console& OpenPlatformConsole() {
  static PosixConsole console;
  static bool entered = false;
  if (!entered) {
    entered = true;
    FillClosedStandardDescriptors();
    EnterKeyMode();
  }
  return console;
}
