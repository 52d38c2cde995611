"""The process runner: one program run with a pseudo-terminal or a pipe as
its keyboard, and what it wrote."""
import fcntl
import os
import select
import shlex
import shutil
import signal
import subprocess
import termios
import time

# A safety net against a hung program, never a measurement.
SAFETY_TIMEOUT = 60.0

# True when the program runs under an emulator (the ARM builds under
# qemu-user); a test that cannot work there skips on it.
emulated = bool(os.environ.get("QUENDAL_EMULATOR", "").strip())


def _setting(name):
    value = os.environ.get(name)
    if not value:
        raise RuntimeError("%s is not set; run the tests through CTest, which sets it" % name)
    return value


def program():
    """The bench program."""
    return _setting("QUENDAL_BENCH")


def boards(variant=""):
    """The folder of the virtual board's libftd2xx.so, or of one of its
    variants (missing-FT_Open ... wrong-case)."""
    return os.path.join(_setting("QUENDAL_BOARDS"), variant)


def adapter():
    """The folder of the libftdi1 adapter's libftd2xx.so."""
    return _setting("QUENDAL_ADAPTER")


def emulator():
    """The command put in front of the program: [] when it runs natively."""
    words = shlex.split(os.environ.get("QUENDAL_EMULATOR", ""))
    if words:
        found = shutil.which(words[0])
        if found is None:
            raise RuntimeError("the emulator %r is not installed" % words[0])
        words[0] = found
    return words


def environment(library_dir, settings=None, extra=None):
    """The environment of a run: the caller's without any VBOARD_* of its
    own (the board rejects names it does not know), `library_dir` (unless
    None) as the library search path, then `settings` and `extra` (e.g.
    LD_PRELOAD)."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("VBOARD_")}
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
    board types keys into it; standard output is a pipe.

    When the environment has VBOARD_KEYS and `board_key_fd` is True, the
    board gets the writing side of the keyboard in VBOARD_KEY_FD.
    Standard output and error go to the files `output_path` and
    `errors_path` when given, otherwise to the runner.
    """

    def __init__(self, command, env, keyboard="terminal", piped_input=b"", cwd=None,
                 controlling=True, board_key_fd=True, output_path=None, errors_path=None):
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
            self.process = subprocess.Popen(
                command, stdin=stdin, stdout=files.get(output_path, stdout),
                stderr=files.get(errors_path, subprocess.PIPE), env=env, cwd=cwd,
                pass_fds=(key_fd,) if typing else (), start_new_session=True,
                preexec_fn=_take_terminal if keyboard == "terminal" and controlling else None)
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
            if typing:
                # The program holds the other copy; the end of input never comes.
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
        return self.output.replace(b"\r\n", b"\n") if self.master is not None else self.output

    def _on_wire(self, text):
        return text.replace(b"\n", b"\r\n") if self.master is not None else text

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
        wire = expected if self.output_path else self._on_wire(expected)
        deadline = time.monotonic() + SAFETY_TIMEOUT
        while True:
            if self.output_path:
                if wire in self.output:
                    return
            else:
                found = self._output.find(wire, max(0, self._searched - len(wire)))
                if found >= 0:
                    return
                self._searched = len(self._output)
            ended = self.process.poll() is not None
            if time.monotonic() > deadline or (not self.pump(0.05) and ended):
                raise AssertionError("no %r in %r" % (expected, self.screen()[-2000:]))

    def finish(self):
        """Waits for the end of the program and reads all it wrote; returns
        its exit status (negative: the signal that ended it)."""
        deadline = time.monotonic() + SAFETY_TIMEOUT
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


def _take_terminal():
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


def start(settings=None, library_dir=None, keyboard="terminal", piped_input=b"", args=(),
          extra_env=None, program_path=None):
    """Starts the bench program (behind the emulator, if any) on the virtual
    board, or on the driver library in `library_dir`."""
    command = emulator() + [program_path or program(), *args]
    env = environment(library_dir or boards(), settings, extra_env)
    return Run(command, env, keyboard=keyboard, piped_input=piped_input)
