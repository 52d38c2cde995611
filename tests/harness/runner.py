"""The process runner of the tests: the bench program as CTest built it,
run with the shared run helpers (`quendal_tools.runner`), isolated where a
test asks, or as a shell's foreground job."""
import os
import select
import shlex
import shutil
import signal
import subprocess
import sys
import time

from quendal_tools import runner as shared
from quendal_tools.runner import SAFETY_TIMEOUT

from . import isolation_modes

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
    """`quendal_tools.runner.environment`, where NO_DRIVER gives no library
    folder."""
    return shared.environment(None if library_dir is NO_DRIVER else library_dir, settings,
                              extra)


def isolated_command(command):
    """`command` behind the isolation's hide-drivers mode: no driver library
    but the run's own and no USB device in sight. Raises unittest.SkipTest
    where that cannot be had here (`isolation_modes.require`)."""
    isolation_modes.require("hide-drivers")
    return isolation_modes.prefix("hide-drivers") + list(command)


# The prefix that starts a run in a pseudo-terminal (session.py).
SESSION = os.path.join(os.path.dirname(os.path.abspath(__file__)), "session.py")


def session_prefix(controlling=False, close=(), ignore=(), limits=None, job=None,
                   background_mode=None):
    """What goes in front of a command to start it as session.py says: the
    terminal made its controlling one, descriptors `close`d, signals
    `ignore`d, `limits` ({"CORE": 0, "FSIZE": 8}) set; with `job` (a status
    descriptor), as a shell's job."""
    words = [sys.executable, SESSION]
    if controlling:
        words.append("--controlling")
    if job is not None:
        words += ["--job", str(job)]
    if background_mode is not None:
        words += ["--background-mode", repr(list(background_mode))]
    for fd in close:
        words += ["--close", str(fd)]
    for number in ignore:
        words += ["--ignore", str(int(number))]
    for name, value in (limits or {}).items():
        words += ["--limit", "%s=%d" % (name, value)]
    return words + ["--"]


class Run(shared.Run):
    """`quendal_tools.runner.Run`; with `isolated`, the process runs
    isolated (`isolated_command`). A run whose terminal is its controlling
    one, or with descriptors to `close`, signals to `ignore` or `limits`
    (as session_prefix takes them), starts behind session.py."""

    def __init__(self, command, env, isolated=False, close=(), ignore=(), limits=None,
                 **options):
        self._preparation = {"close": close, "ignore": ignore, "limits": limits}
        super().__init__(isolated_command(command) if isolated else command, env, **options)

    def _spawn(self, command, env, cwd, stdin, stdout, stderr, pass_fds, controlling):
        if controlling or any(self._preparation.values()):
            command = session_prefix(controlling, **self._preparation) + list(command)
        return subprocess.Popen(command, stdin=stdin, stdout=stdout, stderr=stderr, env=env,
                                cwd=cwd, pass_fds=pass_fds, start_new_session=True)


def start(settings=None, library_dir=None, args=(), extra_env=None, program_path=None,
          isolated=False, **options):
    """Starts the bench program (behind the emulator, if any) on the virtual
    board, on the driver library in `library_dir`, or with NO_DRIVER on none;
    `options` go to Run (keyboard="pipe", piped_input, close...). A run with
    NO_DRIVER is isolated, as one `isolated` (on the adapter) is."""
    command = emulator() + [program_path or program(), *args]
    return Run(command, environment(library_dir or boards(), settings, extra_env),
               isolated=isolated or library_dir is NO_DRIVER, **options)


class ForegroundJob(Run):
    """A Run in a pseudo-terminal as the foreground job of a session whose
    leader, session.py, stands in for the shell: the job's process group is
    not orphaned, so Ctrl-Z stops it, and the leader takes the terminal back
    while it is stopped. The program's standard error is the terminal too, as
    under a shell; `stdout_fd` replaces its output.
    """

    def __init__(self, command, env, stdout_fd=None, background_mode=None, isolated=False,
                 **preparation):
        self._stdout_fd = stdout_fd
        self._background_mode = background_mode
        super().__init__(command, env, isolated=isolated, **preparation)
        self.pid = self.process.pid
        self.leader = self.process.leader

    def _spawn(self, command, env, cwd, stdin, stdout, stderr, pass_fds, controlling):
        stdout = stdin if self._stdout_fd is None else self._stdout_fd
        return _Job(command, env, stdin, stdout, pass_fds, self._background_mode,
                    self._preparation)

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
    Run uses; the leader, session.py, reports the program's pid, then each
    wait status, one a line on a pipe."""

    stdout = stderr = None

    def __init__(self, command, env, terminal, stdout, pass_fds, background_mode, preparation):
        status_read, status_write = os.pipe()
        try:
            self._leader = subprocess.Popen(
                session_prefix(job=status_write, background_mode=background_mode,
                               **preparation) + list(command),
                stdin=terminal, stdout=stdout, stderr=terminal, env=env,
                pass_fds=(status_write, *pass_fds), start_new_session=True)
        except BaseException:
            os.close(status_read)
            raise
        finally:
            os.close(status_write)
        self.leader = self._leader.pid
        self._statuses = status_read
        self._buffer = b""
        self._events = []
        self._consumed = 0
        self.returncode = None
        line = self._line(SAFETY_TIMEOUT)
        if line is None or not line.isdigit():
            self.close()
            raise OSError("cannot start %s: %s" % (command[0], line))
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
        self._leader.wait()
        if self._statuses is not None:
            os.close(self._statuses)
            self._statuses = None


def start_job(settings=None, library_dir=None, args=(), extra_env=None, stdout_fd=None,
              background_mode=None, isolated=False, **preparation):
    """Starts the bench program as a ForegroundJob, as `start` does a Run;
    `preparation`: close, ignore, limits (see session_prefix)."""
    command = emulator() + [program(), *args]
    env = environment(library_dir or boards(), settings, extra_env)
    return ForegroundJob(command, env, stdout_fd=stdout_fd, background_mode=background_mode,
                         isolated=isolated or library_dir is NO_DRIVER, **preparation)
