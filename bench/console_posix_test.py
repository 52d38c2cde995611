"""The POSIX console of the real program, in a real pseudo-terminal.

The program runs with no driver library to be found, so it stops at the
failure halt; that is enough to see the key mode, the pending key and every
way out. QUENDAL_BENCH names the executable.
"""
import fcntl
import os
import select
import signal
import subprocess
import tempfile
import termios
import time
import unittest

PROGRAM = os.environ["QUENDAL_BENCH"]
HALT_OUTPUT = b"QUENDAL Test programm\nError : Can't load libftd2xx.so\nHit any key "
SAFETY_TIMEOUT = 20.0


def program_environment():
    env = dict(os.environ)
    # A folder without the driver library; the system has none either.
    env["LD_LIBRARY_PATH"] = tempfile.gettempdir() + "/quendal-no-driver"
    return env


class TerminalRun:
    """The program as the foreground job of its own pseudo-terminal.

    A small session leader stands in for the shell, so that the program's
    process group is not orphaned and Ctrl-Z can stop it; it reports each
    change of the program's state through a pipe. The test keeps the
    terminal's slave side open, so that input the program left unread can
    still be read once it has ended.
    """

    def __init__(self, args=(), stdout_fd=None):
        self.master, self.slave = os.openpty()
        self.original_mode = termios.tcgetattr(self.slave)
        self.output = b""
        status_read, status_write = os.pipe()
        self.leader = os.fork()
        if self.leader == 0:
            try:
                os.close(status_read)
                self._lead_session(args, stdout_fd, status_write)
            finally:
                os._exit(127)
        os.close(status_write)
        self.statuses = os.fdopen(status_read, "r")
        self.pid = int(self.statuses.readline())

    def _lead_session(self, args, stdout_fd, status_write):
        os.setsid()
        fcntl.ioctl(self.slave, termios.TIOCSCTTY, 0)
        signal.signal(signal.SIGTTOU, signal.SIG_IGN)
        program = os.fork()
        if program == 0:
            os.setpgid(0, 0)
            os.tcsetpgrp(self.slave, os.getpid())
            for number in (signal.SIGTTOU, signal.SIGPIPE, signal.SIGINT):
                signal.signal(number, signal.SIG_DFL)
            os.dup2(self.slave, 0)
            os.dup2(self.slave if stdout_fd is None else stdout_fd, 1)
            os.dup2(self.slave, 2)
            os.execve(PROGRAM, [PROGRAM, *args], program_environment())
        os.setpgid(program, program)
        os.tcsetpgrp(self.slave, program)

        def continue_in_foreground(*_):  # A shell's `fg`.
            os.tcsetpgrp(self.slave, program)
            os.kill(program, signal.SIGCONT)

        signal.signal(signal.SIGUSR1, continue_in_foreground)
        os.write(status_write, b"%d\n" % program)
        while True:
            _, status = os.waitpid(program, os.WUNTRACED)
            os.write(status_write, b"%d\n" % status)
            if not os.WIFSTOPPED(status):
                os._exit(0)
            # As a shell does, take the terminal back while the job is stopped.
            os.tcsetpgrp(self.slave, os.getpgrp())

    def read_until(self, expected):
        deadline = time.monotonic() + SAFETY_TIMEOUT
        while expected not in self.output:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise AssertionError(f"never saw {expected!r}; got {self.output!r}")
            ready, _, _ = select.select([self.master], [], [], remaining)
            if ready:
                self.output += os.read(self.master, 4096)
        return self.output

    def read_rest(self):
        """Everything the terminal has shown since the last read."""
        while select.select([self.master], [], [], 0)[0]:
            self.output += os.read(self.master, 4096)
        return self.output

    def type(self, keys):
        os.write(self.master, keys)

    def mode(self):
        return termios.tcgetattr(self.slave)

    def echo_is_on(self):
        return bool(self.mode()[3] & termios.ECHO)

    def wait(self, timeout=SAFETY_TIMEOUT):
        """The program's next change of state: stopped, exited or killed."""
        ready, _, _ = select.select([self.statuses], [], [], timeout)
        if not ready and timeout < SAFETY_TIMEOUT:
            return None
        if not ready:
            os.kill(self.pid, signal.SIGKILL)
            raise AssertionError("the program did not end")
        return int(self.statuses.readline())

    def pending_input(self):
        """What the next reader of the terminal would get."""
        os.set_blocking(self.slave, False)
        mode = termios.tcgetattr(self.slave)
        mode[3] &= ~termios.ICANON
        termios.tcsetattr(self.slave, termios.TCSANOW, mode)
        try:
            return os.read(self.slave, 64)
        except BlockingIOError:
            return b""

    def close(self):
        # A failed test must not leave the program spinning in its key wait.
        for pid in (self.pid, self.leader):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        os.waitpid(self.leader, 0)
        os.close(self.master)
        os.close(self.slave)
        self.statuses.close()


class TerminalTest(unittest.TestCase):
    def run_to_halt(self, **kwargs):
        run = TerminalRun(**kwargs)
        self.addCleanup(run.close)
        run.read_until(b"Hit any key ")
        return run

    def test_halt_hides_the_key_ends_with_zero_and_leaves_the_key_pending(self):
        # Ctrl-S is a key like any other, not the terminal's flow control.
        for key in (b"k", b"\x13"):
            with self.subTest(key=key):
                run = self.run_to_halt(args=("--help", "x"))
                self.assertFalse(run.echo_is_on())
                run.type(key)
                status = run.wait()

                self.assertTrue(os.WIFEXITED(status))
                self.assertEqual(os.WEXITSTATUS(status), 0)
                self.assertEqual(run.read_rest().replace(b"\r\n", b"\n"), HALT_OUTPUT,
                                 "no key shows")
                self.assertEqual(run.mode(), run.original_mode)
                self.assertEqual(run.pending_input(), key)

    def test_a_fatal_signal_restores_the_terminal_and_still_ends_the_process(self):
        cases = [
            ("Ctrl-C", lambda run: run.type(b"\x03"), signal.SIGINT),
            ("Ctrl-\\", lambda run: run.type(b"\x1c"), signal.SIGQUIT),
            ("SIGTERM", lambda run: os.kill(run.pid, signal.SIGTERM), signal.SIGTERM),
            ("SIGHUP", lambda run: os.kill(run.pid, signal.SIGHUP), signal.SIGHUP),
            ("SIGSEGV", lambda run: os.kill(run.pid, signal.SIGSEGV), signal.SIGSEGV),
        ]
        for name, send, expected in cases:
            with self.subTest(name):
                run = self.run_to_halt()
                send(run)
                status = run.wait()
                self.assertTrue(os.WIFSIGNALED(status))
                self.assertEqual(os.WTERMSIG(status), expected)
                self.assertEqual(run.mode(), run.original_mode)

    def test_a_closed_output_pipe_ends_the_process_with_the_terminal_restored(self):
        read_end, write_end = os.pipe()
        os.close(read_end)
        run = TerminalRun(stdout_fd=write_end)
        os.close(write_end)
        self.addCleanup(run.close)
        status = run.wait()
        self.assertTrue(os.WIFSIGNALED(status))
        self.assertEqual(os.WTERMSIG(status), signal.SIGPIPE)
        self.assertEqual(run.mode(), run.original_mode)

    def test_ctrl_z_gives_the_terminal_back_and_resuming_takes_the_key_mode_again(self):
        run = self.run_to_halt()
        run.type(b"\x1a")
        status = run.wait()
        self.assertTrue(os.WIFSTOPPED(status))
        self.assertEqual(run.mode(), run.original_mode)

        # While the job is stopped or in the background, the shell owns the
        # terminal and may set its own mode; `bg` must leave that alone and
        # must not stop the program again.
        shell_mode = list(run.original_mode)
        shell_mode[3] &= ~(termios.ECHO | termios.ICANON)
        termios.tcsetattr(run.slave, termios.TCSANOW, shell_mode)
        os.kill(run.pid, signal.SIGCONT)
        self.assertIsNone(run.wait(timeout=0.5), "running on in the background")
        self.assertEqual(run.mode()[3], shell_mode[3], "the shell's local modes kept")

        termios.tcsetattr(run.slave, termios.TCSANOW, run.original_mode)
        os.kill(run.leader, signal.SIGUSR1)
        deadline = time.monotonic() + SAFETY_TIMEOUT
        while run.echo_is_on() and time.monotonic() < deadline:
            time.sleep(0.01)
        self.assertFalse(run.echo_is_on())

        run.type(b"k")
        status = run.wait()
        self.assertEqual(os.WEXITSTATUS(status), 0)
        self.assertEqual(run.mode(), run.original_mode)


class PipeTest(unittest.TestCase):
    def test_the_prompt_shows_at_once_through_a_pipe_and_end_of_input_is_a_key(self):
        program = subprocess.Popen([PROGRAM], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, env=program_environment())
        output = b""
        deadline = time.monotonic() + SAFETY_TIMEOUT
        while not output.endswith(b"Hit any key ") and time.monotonic() < deadline:
            select.select([program.stdout], [], [], 1.0)
            output += os.read(program.stdout.fileno(), 4096)
        self.assertEqual(output, HALT_OUTPUT)
        self.assertIsNone(program.poll(), "it waits for a key")

        out, err = program.communicate(timeout=SAFETY_TIMEOUT)
        self.assertEqual(program.returncode, 0)
        self.assertEqual(out, b"")
        self.assertEqual(err, b"", "nothing goes to standard error")

    def test_each_piped_byte_or_the_end_of_input_ends_the_halt(self):
        for keys in (b"", b"abc"):
            with self.subTest(keys=keys):
                result = subprocess.run([PROGRAM], input=keys, capture_output=True,
                                        env=program_environment(), timeout=SAFETY_TIMEOUT)
                self.assertEqual(result.returncode, 0)
                self.assertEqual(result.stdout, HALT_OUTPUT)


if __name__ == "__main__":
    unittest.main()
