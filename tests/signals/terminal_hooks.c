/* Preloaded into the bench program (LD_PRELOAD) by the console tests, to make
 * the moments of a race happen on purpose; in any other program (a process
 * that starts it) it does nothing. TERMINAL_HOOKS lists, by commas:
 *
 *   cont-after-restore  each tcsetattr that turns echo on (a restore) sends
 *                       the process SIGCONT right after it;
 *   slow-raise          raise() waits 200 ms before it raises, so that a stop
 *                       or an end comes late;
 *   key-gone            each read of a terminal finds its input discarded
 *                       first, as Ctrl-Z does to a key already seen waiting;
 *   thread              a thread that does nothing but take signals starts
 *                       with the library, as a driver library's would; it
 *                       writes its thread id to the file TERMINAL_HOOKS_TID.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static int g_in_bench = -1;

static int Hooked(const char* name) {
  if (g_in_bench < 0) g_in_bench = strcmp(program_invocation_short_name, "quendal-bench") == 0;
  const char* hooks = g_in_bench ? getenv("TERMINAL_HOOKS") : NULL;
  size_t length = strlen(name);
  while (hooks != NULL && *hooks != '\0') {
    if (strncmp(hooks, name, length) == 0 && (hooks[length] == ',' || hooks[length] == '\0')) {
      return 1;
    }
    hooks = strchr(hooks, ',');
    if (hooks != NULL) ++hooks;
  }
  return 0;
}

int tcsetattr(int fd, int actions, const struct termios* mode) {
  int (*real)(int, int, const struct termios*) =
      (int (*)(int, int, const struct termios*))dlsym(RTLD_NEXT, "tcsetattr");
  int result = real(fd, actions, mode);
  if ((mode->c_lflag & ECHO) && Hooked("cont-after-restore")) kill(getpid(), SIGCONT);
  return result;
}

int raise(int signal_number) {
  int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, "raise");
  if (Hooked("slow-raise")) {
    struct timespec pause = {0, 200000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
  }
  return real(signal_number);
}

ssize_t read(int fd, void* buffer, size_t count) {
  ssize_t (*real)(int, void*, size_t) = (ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
  if (Hooked("key-gone") && isatty(fd)) tcflush(fd, TCIFLUSH);
  return real(fd, buffer, count);
}

static void* TakeSignals(void* unused) {
  (void)unused;
  for (;;) pause();
  return NULL;
}

static void* StartThread(void* unused) {
  (void)unused;
  const char* path = getenv("TERMINAL_HOOKS_TID");
  char text[32];
  int length = snprintf(text, sizeof text, "%ld\n", (long)gettid());
  int fd = path != NULL ? open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600) : -1;
  if (fd >= 0) {
    ssize_t written = write(fd, text, (size_t)length);
    (void)written;
    close(fd);
  }
  return TakeSignals(NULL);
}

__attribute__((constructor)) static void Start(void) {
  if (!Hooked("thread")) return;
  pthread_t thread;
  sigset_t none, previous;
  sigemptyset(&none);
  pthread_sigmask(SIG_SETMASK, &none, &previous);
  pthread_create(&thread, NULL, StartThread, NULL);
  pthread_sigmask(SIG_SETMASK, &previous, NULL);
}
