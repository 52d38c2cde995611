/* Catches every signal it can and writes the number of each one it gets,
 * one a line. Each byte it reads then gets the line "sync": a signal sent
 * before that byte has been reported by then. The console tests run it under
 * the emulator, to learn which number a signal sent from the host arrives
 * as. It starts with the line "ready" and ends with its input. */
#include <errno.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

static void WriteText(const char* text, size_t length) {
  while (length > 0) {
    ssize_t written = write(STDOUT_FILENO, text, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text += written;
    length -= (size_t)written;
  }
}

static void Report(int signal_number) {
  int saved_errno = errno;
  char line[8];
  size_t start = sizeof line;
  line[--start] = '\n';
  do {
    line[--start] = (char)('0' + signal_number % 10);
    signal_number /= 10;
  } while (signal_number > 0);
  WriteText(line + start, sizeof line - start);
  errno = saved_errno;
}

int main(void) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = Report;
  action.sa_flags = SA_RESTART;
  sigfillset(&action.sa_mask);
  /* SIGKILL, SIGSTOP and the numbers the C library keeps for itself stay as
   * they are: sigaction refuses them. */
  for (int signal_number = 1; signal_number <= SIGRTMAX; ++signal_number) {
    sigaction(signal_number, &action, NULL);
  }
  WriteText("ready\n", 6);
  char byte;
  for (;;) {
    ssize_t got = read(STDIN_FILENO, &byte, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return 0;
    WriteText("sync\n", 5);
  }
}
