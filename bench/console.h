// The four console operations the bench uses, and the wait built on them.
//
// Every text shows at once, also without a line end and when standard output
// is not a terminal. Keys never show while the program runs.
#ifndef QUENDAL_BENCH_CONSOLE_H
#define QUENDAL_BENCH_CONSOLE_H

class Console {
 public:
  virtual ~Console() = default;
  // Writes the text and makes it visible before returning.
  virtual void Print(const char* text) = 0;
  // Returns at once: is a key press waiting? Takes nothing out of the input.
  virtual bool KeyWaiting() = 0;
  // Takes exactly one key press (one character) out of the input, unshown.
  // Called once KeyWaiting saw one, it never waits: a key that has gone since
  // (Ctrl-Z discards the terminal's input) is not waited for.
  virtual void ReadKey() = 0;
  // Suspends the program for the given number of milliseconds.
  virtual void Sleep(unsigned milliseconds) = 0;
};

// Polls KeyWaiting with no pause until a key press waits; does not read it.
void WaitForKey(Console& console);

// The console of this platform, put into its key mode on the first call. On
// POSIX the first call also opens any closed standard descriptor on
// /dev/null, so call it before anything else opens a file. The terminal is
// given back as it was on every way out of the process: normal end, exit(),
// and every signal that ends it (which still ends it as the signal would);
// it is also given back while the process is stopped, and the key mode taken
// again once the process is back in the foreground, with or without SIGCONT.
// In the background KeyWaiting reports no key and looks at no input, so that
// the phase goes on and the kernel never stops the process for reading
// (SIGTTIN); an exit there leaves the terminal's mode to the shell when our
// own stop gave it back.
// Started in the background, the first call waits to be in the foreground, so
// that the mode given back is the one the shell gives its commands.
Console& OpenPlatformConsole();

#endif  // QUENDAL_BENCH_CONSOLE_H
