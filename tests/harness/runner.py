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

from . import isolation

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


# The `library_dir` of a run that must find no driver library at all: it runs
# isolated, with no library folder.
NO_DRIVER = object()


def environment(library_dir, settings=None, extra=None):
    """The environment of a run: the caller's without any VBOARD_* of its
    own (the board rejects names it does not know), LIBUSB_DEBUG (libusb
    would write to standard error) or anything that changes which library
    or USB device the run finds (`isolation.inherited`), `library_dir`
    (unless None or NO_DRIVER) as the library search path, then `settings`
    and `extra` (e.g. LD_PRELOAD)."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("VBOARD_") and k != "LIBUSB_DEBUG" and not isolation.inherited(k)}
    if library_dir is not None and library_dir is not NO_DRIVER:
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
    `errors_path` when given, otherwise to the runner. `before_exec` runs in
    the child just before the exec (a resource limit, a closed descriptor).
    With `isolated`, the process runs isolated (see `isolation`), and the
    test skips here where it cannot.
    """

    # Waits fail after this long; a run that is known to be slow (32-bit
    # Wine under qemu-user) sets a longer one.
    safety_timeout = SAFETY_TIMEOUT

    def __init__(self, command, env, keyboard="terminal", piped_input=b"", cwd=None,
                 controlling=True, board_key_fd=True, output_path=None, errors_path=None,
                 before_exec=None, keep_input_open=False, isolated=False):
        if isolated:
            before_exec = isolation.hook(before_exec)
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
                keyboard == "terminal" and controlling, before_exec)
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
    def _spawn(command, env, cwd, stdin, stdout, stderr, pass_fds, controlling, before_exec):
        def prepare():
            if controlling:
                fcntl.ioctl(0, termios.TIOCSCTTY, 0)
            if before_exec:
                before_exec()

        return subprocess.Popen(command, stdin=stdin, stdout=stdout, stderr=stderr, env=env,
                                cwd=cwd, pass_fds=pass_fds, start_new_session=True,
                                preexec_fn=prepare if controlling or before_exec else None)

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

    def wire(self, text):
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
        wire = self.wire(expected)
        deadline = time.monotonic() + self.safety_timeout
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


def start(settings=None, library_dir=None, args=(), extra_env=None, program_path=None,
          isolated=False, **options):
    """Starts the bench program (behind the emulator, if any) on the virtual
    board, on the driver library in `library_dir`, or with NO_DRIVER on none;
    `options` go to Run (keyboard="pipe", piped_input, before_exec...). A
    run with NO_DRIVER is isolated, as one `isolated` (on the adapter) is."""
    command = emulator() + [program_path or program(), *args]
    return Run(command, environment(library_dir or boards(), settings, extra_env),
               isolated=isolated or library_dir is NO_DRIVER, **options)


class ForegroundJob(Run):
    """A Run in a pseudo-terminal as the foreground job of a session whose
    leader, a small fork of this process, stands in for the shell: the job's
    process group is not orphaned, so Ctrl-Z stops it, and the leader takes
    the terminal back while it is stopped. The program's standard error is
    the terminal too, as under a shell; `stdout_fd` replaces its output.
    """

    def __init__(self, command, env, stdout_fd=None, before_exec=None, background_mode=None,
                 isolated=False):
        self._stdout_fd = stdout_fd
        self._background_mode = background_mode
        super().__init__(command, env, before_exec=before_exec, isolated=isolated)
        self.pid = self.process.pid
        self.leader = self.process.leader

    def _spawn(self, command, env, cwd, stdin, stdout, stderr, pass_fds, controlling,
               before_exec):
        stdout = stdin if self._stdout_fd is None else self._stdout_fd
        return _Job(command, env, stdin, stdout, before_exec, self._background_mode)

    def next_status(self, timeout=None):
        """The program's next change of state as a wait status (stopped,
        exited or killed). With a `timeout`, None when none came in time;
        without, the test fails after the safety net's time."""
        status = self.process.next_status(SAFETY_TIMEOUT if timeout is None else timeout)
        if status is None and timeout is None:
            self.process.kill()
            raise AssertionError("the program did not end: %r" % self.screen()[-2000:])
        return status

    def bring_to_foreground(self):
        """As a shell's `fg` of a stopped job: the terminal to the job, then
        SIGCONT."""
        os.kill(self.leader, signal.SIGUSR1)

    def hand_over_terminal(self):
        """As bash's `fg` of a job running in the background: the terminal to
        the job, and no SIGCONT."""
        os.kill(self.leader, signal.SIGUSR2)

    def close(self):
        super().close()
        self.process.close()


class _Job:
    """The process side of a ForegroundJob, as much of Popen's interface as
    Run uses; the leader reports the program's pid, then each wait status,
    one a line on a pipe."""

    stdout = stderr = None

    def __init__(self, command, env, terminal, stdout, before_exec, background_mode):
        # A failed exec writes its error here; a good one closes it.
        exec_read, exec_write = os.pipe2(os.O_CLOEXEC)
        status_read, status_write = os.pipe()
        self.leader = os.fork()
        if self.leader == 0:
            try:
                os.close(status_read)
                os.close(exec_read)
                _lead_session(command, env, terminal, stdout, before_exec, background_mode,
                              status_write, exec_write)
            finally:
                os._exit(127)
        os.close(status_write)
        os.close(exec_write)
        self._statuses = status_read
        self._buffer = b""
        self._events = []
        self._consumed = 0
        self.returncode = None
        line = self._line(SAFETY_TIMEOUT)
        error = os.read(exec_read, 4096)
        os.close(exec_read)
        if line is None or error:
            self.close()
            raise OSError("cannot start %s: %s" % (command[0], error.decode(errors="replace")))
        self.pid = int(line)

    def _line(self, timeout):
        deadline = time.monotonic() + timeout
        while b"\n" not in self._buffer:
            remaining = max(0, deadline - time.monotonic())
            if not select.select([self._statuses], [], [], remaining)[0]:
                return None
            data = os.read(self._statuses, 4096)
            if not data:
                return None
            self._buffer += data
        line, self._buffer = self._buffer.split(b"\n", 1)
        return line

    def _receive(self, timeout):
        line = self._line(timeout)
        if line is None:
            return False
        status = int(line)
        self._events.append(status)
        if os.WIFEXITED(status):
            self.returncode = os.WEXITSTATUS(status)
        elif os.WIFSIGNALED(status):
            self.returncode = -os.WTERMSIG(status)
        return True

    def next_status(self, timeout):
        if self._consumed == len(self._events) and not self._receive(timeout):
            return None
        self._consumed += 1
        return self._events[self._consumed - 1]

    def poll(self):
        while self.returncode is None and self._receive(0):
            pass
        return self.returncode

    def kill(self):
        try:
            os.kill(self.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

    def wait(self):
        while self.returncode is None and self._receive(SAFETY_TIMEOUT):
            pass
        return self.returncode

    def close(self):
        # A failed test must not leave the program spinning in its key wait.
        for pid in (getattr(self, "pid", None), self.leader):
            try:
                if pid is not None:
                    os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        try:
            os.waitpid(self.leader, 0)
        except ChildProcessError:
            pass
        if self._statuses is not None:
            os.close(self._statuses)
            self._statuses = None


def _lead_session(command, env, terminal, stdout, before_exec, background_mode, status_write,
                  exec_write):
    """The leader: a new session with `terminal` as its controlling
    terminal, the program as its foreground job (or a background one, with
    the terminal in `background_mode`), and a shell's handling of a stopped
    job."""
    os.setsid()
    fcntl.ioctl(terminal, termios.TIOCSCTTY, 0)
    signal.signal(signal.SIGTTOU, signal.SIG_IGN)
    if background_mode is not None:
        termios.tcsetattr(terminal, termios.TCSANOW, background_mode)
    program = os.fork()
    if program == 0:
        try:
            os.setpgid(0, 0)
            if background_mode is None:
                os.tcsetpgrp(terminal, os.getpid())
            # As under a shell: Python ignores SIGPIPE and SIGXFSZ itself.
            for number in (signal.SIGTTOU, signal.SIGPIPE, signal.SIGXFSZ, signal.SIGINT):
                signal.signal(number, signal.SIG_DFL)
            os.dup2(terminal, 0)
            os.dup2(stdout, 1)
            os.dup2(terminal, 2)
            if before_exec:
                before_exec()
            os.execve(command[0], command, env)
        except BaseException as error:
            os.write(exec_write, str(error).encode() or b"failed")
        finally:
            os._exit(127)
    os.close(exec_write)
    try:
        os.setpgid(program, program)
    except PermissionError:  # Already in its own group and past its exec.
        pass
    if background_mode is None:
        os.tcsetpgrp(terminal, program)

    def continue_in_foreground(*_):  # A shell's `fg` of a stopped job.
        os.tcsetpgrp(terminal, program)
        os.kill(program, signal.SIGCONT)

    def hand_over_terminal(*_):  # bash's `fg` of a running job.
        os.tcsetpgrp(terminal, program)

    signal.signal(signal.SIGUSR1, continue_in_foreground)
    signal.signal(signal.SIGUSR2, hand_over_terminal)
    os.write(status_write, b"%d\n" % program)
    while True:
        _, status = os.waitpid(program, os.WUNTRACED)
        if os.WIFSTOPPED(status):
            # As a shell does, take the terminal back while the job is
            # stopped; before the report, so that a test's `bg` finds the
            # job in the background.
            os.tcsetpgrp(terminal, os.getpgrp())
        os.write(status_write, b"%d\n" % status)
        if not os.WIFSTOPPED(status):
            os._exit(0)


def start_job(settings=None, library_dir=None, args=(), extra_env=None, stdout_fd=None,
              before_exec=None, background_mode=None, isolated=False):
    """Starts the bench program as a ForegroundJob, as `start` does a Run."""
    command = emulator() + [program(), *args]
    env = environment(library_dir or boards(), settings, extra_env)
    return ForegroundJob(command, env, stdout_fd=stdout_fd, before_exec=before_exec,
                         background_mode=background_mode,
                         isolated=isolated or library_dir is NO_DRIVER)
