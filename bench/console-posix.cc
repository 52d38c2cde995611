// The console on a POSIX terminal, or on a pipe or file as standard input.
//
// When standard input is a terminal it is switched, once, to a mode without
// line buffering and without echo; the signal keys keep working. The mode it
// had is given back on every way out, unless our own stop gave it back
// already. Restoring never flushes the input: a key left pending at a failure
// halt is for whatever reads the terminal next. In the background the
// terminal is the shell's: the program neither polls nor reads it.
//
// The key mode keeps VMIN at 1, as a shell expects of a terminal it gets back
// in a mode it did not set: after a SIGSTOP, which no program can catch, the
// terminal keeps the key mode, and with VMIN 0 a shell's next read (dash's)
// would see the end of its input and end the session. Our own read must never
// wait, so it uses a descriptor of its own on the terminal, opened
// non-blocking; the open file that standard input shares with the shell is
// left as it is.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "bench/console.h"

namespace {

struct termios g_saved_mode;
struct termios g_key_mode;
// Our own non-blocking descriptor on the terminal, for ReadKey; -1 when none
// could be opened, and the key mode then has VMIN 0 instead.
int g_key_input = -1;

// Where the terminal's mode stands while the program runs.
enum KeyModeState : int {
  kKeyModeOn,
  // Our own stop gave the terminal back its mode, and the shell may have
  // set another since: there is nothing to give back until we are in the
  // foreground again, and the mode handed back then is the one to restore.
  kGivenBack,
  // Continued in the background after a stop that was not ours (SIGSTOP):
  // the terminal is the shell's until it hands it back. The mode to restore
  // stays the one saved at the start.
  kLeftInBackground,
  // The process's last restore is made (its exit, or a signal that ends it):
  // no later SIGCONT or wait may take the key mode again.
  kReleased,
};
// Out of the key mode the program neither polls nor reads the terminal, and
// its waits look for the foreground: a shell's `fg` of a job that runs in the
// background sends no SIGCONT. Read without the lock on the main path while
// handlers on other threads change it, so it is atomic, and lock-free so that
// handlers may use it.
std::atomic<int> g_key_mode_state{kKeyModeOn};
static_assert(std::atomic<int>::is_always_lock_free, "the handlers need a lock-free state");

// Our stop (SIGTSTP) has given the terminal back but has not passed yet: until
// a SIGCONT, or the stop's handler going on, nothing takes the key mode back.
// Else the main path could take it back between a driver thread's handler
// giving it back and the stop, and the process would stop with echo off.
std::atomic<bool> g_stop_pending{false};

// The handlers may run on a driver library's threads too, at the same time as
// the main path or another handler. Whoever reads or changes the modes, the
// state or the terminal's mode holds this lock, with every signal held off on
// its own thread, so that no handler of that thread waits for the lock.
std::atomic_flag g_terminal_busy = ATOMIC_FLAG_INIT;

// The signal handlers (RestoreAndReraise, StopWithTerminalRestored,
// RetakeKeyMode) and what they call (TerminalLock, InBackground,
// RestoreTerminal, DeriveKeyMode, ApplyKeyMode, TakeKeyModeBack,
// GiveTerminalBack, InstallHandler) use async-signal-safe calls only;
// RestoreTerminal also runs at exit.

class TerminalLock {
 public:
  TerminalLock() {
    sigset_t all;
    sigfillset(&all);
    // SIGTTOU held off too: a process in the background may still give the
    // terminal back instead of being stopped for it.
    pthread_sigmask(SIG_BLOCK, &all, &previous_mask_);
    while (g_terminal_busy.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~TerminalLock() {
    g_terminal_busy.clear(std::memory_order_release);
    pthread_sigmask(SIG_SETMASK, &previous_mask_, nullptr);
  }
  TerminalLock(const TerminalLock&) = delete;
  TerminalLock& operator=(const TerminalLock&) = delete;

 private:
  sigset_t previous_mask_;
};

// The terminal belongs to another process group: a shell's, with us in the
// background. Reading it would stop us (SIGTTIN), and its mode is not ours to
// save or change. A terminal that is not our controlling one, or one hung up,
// has no owner that could stop us.
bool InBackground() {
  pid_t owner = tcgetpgrp(STDIN_FILENO);
  return owner > 0 && owner != getpgrp();
}

// The last restore: the state is released for good, so that a SIGCONT on
// another thread, or one that comes right after, cannot apply the key mode
// again. Only installed once the mode is saved.
void RestoreTerminal() {
  TerminalLock lock;
  int state = g_key_mode_state.exchange(kReleased);
  if (state == kKeyModeOn || state == kLeftInBackground) {
    tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_mode);
  }
}

void DeriveKeyMode() {
  g_key_mode = g_saved_mode;
  g_key_mode.c_lflag &= ~(ICANON | ECHO | ECHONL);
  // Ctrl-S and Ctrl-Q are keys like any other: left to flow control, Ctrl-S
  // would freeze the read-back's output instead of ending the phase.
  g_key_mode.c_iflag &= ~IXON;
  // Without a descriptor of our own, a read of standard input must return at
  // once, with a key or without: no read ever holds up a phase, also when the
  // key it was meant for has gone (Ctrl-Z flushes the input).
  g_key_mode.c_cc[VMIN] = g_key_input >= 0 ? 1 : 0;
  g_key_mode.c_cc[VTIME] = 0;
}

void ApplyKeyMode() { tcsetattr(STDIN_FILENO, TCSANOW, &g_key_mode); }

// Takes the key mode back in the foreground; the SIGCONT handler, the stop's
// handler once the stop has passed (`continued`) and the waits out of the key
// mode call it.
void TakeKeyModeBack(bool continued) {
  TerminalLock lock;
  if (continued) g_stop_pending = false;
  int state = g_key_mode_state;
  if (state == kReleased || g_stop_pending) return;
  if (InBackground()) {
    if (state == kKeyModeOn) g_key_mode_state = kLeftInBackground;
    return;
  }
  // After our own stop the shell may have changed the terminal; what it hands
  // back now is the mode to restore at the end. A stray SIGCONT while running
  // must not save the key mode as the one to restore.
  if (state == kGivenBack && tcgetattr(STDIN_FILENO, &g_saved_mode) == 0) {
    DeriveKeyMode();
  }
  ApplyKeyMode();
  g_key_mode_state = kKeyModeOn;
}

// Before our stop. Out of the key mode the terminal's mode is the shell's
// already, and the state stays.
void GiveTerminalBack() {
  TerminalLock lock;
  if (g_key_mode_state == kReleased) return;
  g_stop_pending = true;
  if (g_key_mode_state != kKeyModeOn) return;
  tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_mode);
  g_key_mode_state = kGivenBack;
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
  // No handler cuts into another on its thread: not SIGINT into SIGCONT's
  // saving of the mode, nor SIGCONT into SIGTSTP's before the stop.
  sigfillset(&action.sa_mask);
  sigaction(signal_number, &action, nullptr);
}

void StopWithTerminalRestored(int) {
  int saved_errno = errno;
  GiveTerminalBack();
  InstallHandler(SIGTSTP, SIG_DFL, 0);
  raise(SIGTSTP);
  sigset_t tstp;
  sigemptyset(&tstp);
  sigaddset(&tstp, SIGTSTP);
  pthread_sigmask(SIG_UNBLOCK, &tstp, nullptr);  // The process stops here.
  InstallHandler(SIGTSTP, StopWithTerminalRestored, SA_RESTART);
  // The stop has passed, or never came (an orphaned process group's is
  // dropped), and no SIGCONT may follow.
  TakeKeyModeBack(true);
  errno = saved_errno;
}

void RetakeKeyMode(int) {
  int saved_errno = errno;
  TakeKeyModeBack(true);
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

bool KeyModeOn() { return g_key_mode_state.load(std::memory_order_relaxed) == kKeyModeOn; }

// Out of the key mode, the waits' way back to it: whether the key mode is on.
// In the key mode this costs one load, so the read-back pays nothing.
bool TakeKeyModeBackIfOff() {
  if (!KeyModeOn()) TakeKeyModeBack(false);
  return KeyModeOn();
}

// The terminal opened again through its entry in /proc: a new open file, whose
// O_NONBLOCK the shell never sees, also where the terminal has no name in this
// mount namespace's /dev.
int OpenKeyInput() {
  int fd = open("/proc/self/fd/0", O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd >= 0 && !isatty(fd)) {
    close(fd);
    return -1;
  }
  return fd;
}

void EnterKeyMode() {
  if (!isatty(STDIN_FILENO)) return;
  WaitForForeground();
  if (tcgetattr(STDIN_FILENO, &g_saved_mode) != 0) return;
  g_key_input = OpenKeyInput();
  DeriveKeyMode();
  // No handler runs until the key mode is in place.
  TerminalLock lock;
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
    if (!TakeKeyModeBackIfOff()) return false;
    // End of input, a hang-up and a closed descriptor all count as a key:
    // no key can ever come after them, and a scripted run must still end.
    struct pollfd input = {STDIN_FILENO, POLLIN, 0};
    return poll(&input, 1, 0) > 0;
  }

  void ReadKey() override {
    // One byte and no more: the rest of a multi-byte key stays pending. At
    // the end of input there is nothing to take. The read never waits: our
    // own descriptor on a terminal is non-blocking (without it the key mode
    // has VMIN 0), and a pipe or file had a byte or its end when KeyWaiting
    // looked. With the signals held off, no stop can put us in the
    // background between the look at the state and the read.
    TerminalLock lock;
    if (!KeyModeOn()) return;
    unsigned char key;
    // Taken or not (the key went, or the input ended), the phase ends.
    ssize_t taken = read(g_key_input >= 0 ? g_key_input : STDIN_FILENO, &key, 1);
    static_cast<void>(taken);
  }

  void Sleep(unsigned milliseconds) override {
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    AddMilliseconds(deadline, milliseconds);
    for (;;) {
      // With the key mode off, the slow phase's second is cut into short
      // naps, so that the key mode is back before the operator types.
      struct timespec wake = deadline;
      if (!KeyModeOn()) {
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
