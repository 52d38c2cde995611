"""Running a program with a pseudo-terminal or a pipe as its keyboard, and
reading what it wrote: the run helpers of the board test, the benchmarks and
the tests' harness."""
import fcntl
import os
import select
import subprocess
import termios
import time

from . import isolation

# A safety net against a hung program, never a measurement.
SAFETY_TIMEOUT = 60.0


def environment(library_dir, settings=None, extra=None):
    """The environment of a run: the caller's without any VBOARD_* of its
    own (the board rejects names it does not know), LIBUSB_DEBUG (libusb
    would write to standard error) or anything that changes which library
    or USB device the run finds (`isolation.inherited`), `library_dir`
    (unless None) as the library search path, then `settings`
    and `extra` (e.g. LD_PRELOAD)."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("VBOARD_") and k != "LIBUSB_DEBUG" and not isolation.inherited(k)}
    if library_dir is not None:
        env["LD_LIBRARY_PATH"] = library_dir
    env.update(settings or {})
    env.update(extra or {})
    return env


class Run:
    """One process and what it writes.

    keyboard="terminal": standard input and output are a new pseudo-terminal,
    the process's controlling terminal unless `controlling` is False. The
    runner keeps both of its sides open, so that the terminal's mode and the
    input left unread can be read after the end. keyboard="pipe": standard
    input is a pipe that gets `piped_input` and is then closed, unless the
    board types keys into it or `keep_input_open` (then `type` writes to it
    and `close_input` ends it); standard output is a pipe.

    When the environment has VBOARD_KEYS and `board_key_fd` is True, the
    board gets the writing side of the keyboard in VBOARD_KEY_FD.
    Standard output and error go to the files `output_path` and
    `errors_path` when given, otherwise to the runner. A run in a namespace of its own puts `isolation.prefix(...)` in front of
    its command.
    """

    # Waits fail after this long; a run that is known to be slow (32-bit
    # Wine under qemu-user) sets a longer one.
    safety_timeout = SAFETY_TIMEOUT

    def __init__(self, command, env, keyboard="terminal", piped_input=b"", cwd=None,
                 controlling=True, board_key_fd=True, output_path=None, errors_path=None,
                 keep_input_open=False):
        env = dict(env)
        self._output = bytearray()
        self._errors = bytearray()
        self.output_path, self.errors_path = output_path, errors_path
        self.arrivals = []  # (end offset of an output chunk, its arrival in monotonic ns)
        self._ended = set()
        self._searched = 0
        self.master = self.slave = self.pipe_writer = None
        if keyboard == "terminal":
            self.master, self.slave = os.openpty()
            self.original_mode = termios.tcgetattr(self.slave)
            stdin = stdout = self.slave
            key_fd = self.master
        else:
            stdin, key_fd = os.pipe()
            stdout = subprocess.PIPE
        typing = board_key_fd and "VBOARD_KEYS" in env
        if typing:
            env["VBOARD_KEY_FD"] = str(key_fd)
        files = {path: open(path, "wb") for path in (output_path, errors_path) if path}
        try:
            self.spawned_ns = time.monotonic_ns()
            # An exec that fails raises here, so the test fails at once.
            self.process = self._spawn(
                command, env, cwd, stdin, files.get(output_path, stdout),
                files.get(errors_path, subprocess.PIPE), (key_fd,) if typing else (),
                keyboard == "terminal" and controlling)
        except BaseException:
            for fd in {stdin, key_fd, self.master, self.slave} - {None}:
                os.close(fd)
            raise
        finally:
            for file in files.values():
                file.close()
        if keyboard == "pipe":
            os.close(stdin)
            try:
                os.write(key_fd, piped_input)
            except BrokenPipeError:  # It ended without reading; its status tells.
                pass
            if typing or keep_input_open:
                # While the board holds a copy, the end of input never comes.
                self.pipe_writer = key_fd
            else:
                os.close(key_fd)
        # Where each readable descriptor's bytes go; None: read and dropped,
        # so that a terminal whose output goes elsewhere never fills up.
        self._sinks = {}
        if self.master is not None:
            self._sinks[self.master] = None if output_path else self._output
        if self.process.stdout is not None:
            self._sinks[self.process.stdout.fileno()] = self._output
        if self.process.stderr is not None:
            self._sinks[self.process.stderr.fileno()] = self._errors

    @staticmethod
    def _spawn(command, env, cwd, stdin, stdout, stderr, pass_fds, controlling):
        def take_terminal():
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)

        return subprocess.Popen(command, stdin=stdin, stdout=stdout, stderr=stderr, env=env,
                                cwd=cwd, pass_fds=pass_fds, start_new_session=True,
                                preexec_fn=take_terminal if controlling else None)

    # Output --------------------------------------------------------------

    @property
    def output(self):
        """The bytes the program wrote to standard output (through a
        terminal: with its "\\r\\n" line ends)."""
        if self.output_path:
            with open(self.output_path, "rb") as output:
                return output.read()
        return bytes(self._output)

    @property
    def errors(self):
        if self.errors_path:
            with open(self.errors_path, "rb") as errors:
                return errors.read()
        return bytes(self._errors)

    def screen(self):
        """The output with "\\n" line ends, as the program wrote it."""
        return self.output.replace(b"\r\n", b"\n") if self._through_terminal() else self.output

    def _through_terminal(self):
        return self.master is not None and not self.output_path

    def as_output(self, text):
        """`text` (bytes) as it arrives in `output`: through a terminal, its
        "\n" become "\r\n"."""
        return text.replace(b"\n", b"\r\n") if self._through_terminal() else text

    def pump(self, timeout):
        """Reads what arrives within `timeout`; False when no output did."""
        sources = [fd for fd in self._sinks if fd not in self._ended]
        if not sources:
            time.sleep(timeout)
            return False
        ready = select.select(sources, [], [], timeout)[0]
        read_any = False
        for fd in ready:
            try:
                data = os.read(fd, 65536)
            except OSError:  # A terminal whose other side is gone.
                data = b""
            sink = self._sinks[fd]
            if not data:
                self._ended.add(fd)
            elif sink is not None:
                sink += data
                read_any = True
                if sink is self._output:
                    self.arrivals.append((len(self._output), time.monotonic_ns()))
        return read_any

    def wait_for_output(self, expected):
        """Reads until the program has written `expected` (bytes, "\\n" line
        ends); fails when the program ended or the safety net ran out."""
        shown = self.as_output(expected)
        deadline = time.monotonic() + self.safety_timeout
        while True:
            if self.output_path:
                if shown in self.output:
                    return
            else:
                found = self._output.find(shown, max(0, self._searched - len(shown)))
                if found >= 0:
                    return
                self._searched = len(self._output)
            ended = self.process.poll() is not None
            if time.monotonic() > deadline or (not self.pump(0.05) and ended):
                raise AssertionError("no %r in %r" % (expected, self.screen()[-2000:]))

    def finish(self):
        """Waits for the end of the program and reads all it wrote; returns
        its exit status (negative: the signal that ended it)."""
        deadline = time.monotonic() + self.safety_timeout
        while self.process.poll() is None:
            if time.monotonic() > deadline:
                self.process.kill()
                raise AssertionError("the program did not end: %r" % self.screen()[-2000:])
            self.pump(0.05)
        while self.pump(0):
            pass
        return self.process.returncode

    def running(self):
        return self.process.poll() is None

    # Keyboard and terminal -------------------------------------------------

    def type(self, keys):
        os.write(self.master if self.master is not None else self.pipe_writer, keys)

    def close_input(self):
        os.close(self.pipe_writer)
        self.pipe_writer = None

    def terminal_mode(self):
        return termios.tcgetattr(self.slave)

    def pending_input(self):
        """What the program left unread in its terminal. Only after it ended:
        this switches the terminal out of line mode to see a partial line."""
        mode = termios.tcgetattr(self.slave)
        mode[3] &= ~termios.ICANON
        termios.tcsetattr(self.slave, termios.TCSANOW, mode)
        pending = b""
        while select.select([self.slave], [], [], 0)[0]:
            pending += os.read(self.slave, 1024)
        return pending

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        for fd in (self.master, self.slave, self.pipe_writer):
            if fd is not None:
                os.close(fd)
        for stream in (self.process.stdout, self.process.stderr):
            if stream is not None:
                stream.close()
