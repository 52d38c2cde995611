"""The POSIX console of the real program, in a real pseudo-terminal.

The program runs with no driver library to be found, so it stops at the
failure halt; that is enough to see the key mode, the pending key and every
way out.
"""
import os
import signal
import tempfile
import termios
import time
import unittest

import harness
from harness import runner, texts
from harness.texts import as_bytes

HALT_OUTPUT = as_bytes(texts.halt(texts.cant_load()))


def no_driver():
    # A folder without the driver library; the system has none either.
    return tempfile.gettempdir() + "/quendal-no-driver"


class TerminalTest(unittest.TestCase):
    def run_to_halt(self, **options):
        run = runner.start_job(library_dir=no_driver(), **options)
        self.addCleanup(run.close)
        run.wait_for_output(HALT_OUTPUT)
        return run

    def echo_is_on(self, run):
        return bool(run.terminal_mode()[3] & termios.ECHO)

    def test_halt_hides_the_key_ends_with_zero_and_leaves_the_key_pending(self):
        # Ctrl-S is a key like any other, not the terminal's flow control.
        for key in (b"k", b"\x13"):
            with self.subTest(key=key):
                run = self.run_to_halt(args=("--help", "x"))
                self.assertFalse(self.echo_is_on(run))
                run.type(key)
                status = run.next_status()

                self.assertTrue(os.WIFEXITED(status))
                self.assertEqual(os.WEXITSTATUS(status), 0)
                run.finish()
                self.assertEqual(run.screen(), HALT_OUTPUT, "no key shows")
                self.assertEqual(run.terminal_mode(), run.original_mode)
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
                status = run.next_status()
                self.assertTrue(os.WIFSIGNALED(status))
                self.assertEqual(os.WTERMSIG(status), expected)
                self.assertEqual(run.terminal_mode(), run.original_mode)

    def test_a_closed_output_pipe_ends_the_process_with_the_terminal_restored(self):
        read_end, write_end = os.pipe()
        os.close(read_end)
        run = runner.start_job(library_dir=no_driver(), stdout_fd=write_end)
        os.close(write_end)
        self.addCleanup(run.close)
        status = run.next_status()
        self.assertTrue(os.WIFSIGNALED(status))
        self.assertEqual(os.WTERMSIG(status), signal.SIGPIPE)
        self.assertEqual(run.terminal_mode(), run.original_mode)

    def test_ctrl_z_gives_the_terminal_back_and_resuming_takes_the_key_mode_again(self):
        run = self.run_to_halt()
        run.type(b"\x1a")
        status = run.next_status()
        self.assertTrue(os.WIFSTOPPED(status))
        self.assertEqual(run.terminal_mode(), run.original_mode)

        # While the job is stopped or in the background, the shell owns the
        # terminal and may set its own mode; `bg` must leave that alone and
        # must not stop the program again.
        shell_mode = list(run.original_mode)
        shell_mode[3] &= ~(termios.ECHO | termios.ICANON)
        termios.tcsetattr(run.slave, termios.TCSANOW, shell_mode)
        os.kill(run.pid, signal.SIGCONT)
        self.assertIsNone(run.next_status(timeout=0.5), "running on in the background")
        self.assertEqual(run.terminal_mode()[3], shell_mode[3], "the shell's local modes kept")

        termios.tcsetattr(run.slave, termios.TCSANOW, run.original_mode)
        run.bring_to_foreground()
        deadline = time.monotonic() + harness.SAFETY_TIMEOUT
        while self.echo_is_on(run) and time.monotonic() < deadline:
            time.sleep(0.01)
        self.assertFalse(self.echo_is_on(run))

        run.type(b"k")
        status = run.next_status()
        self.assertEqual(os.WEXITSTATUS(status), 0)
        self.assertEqual(run.terminal_mode(), run.original_mode)


class PipeTest(unittest.TestCase):
    def start(self, piped_input, **options):
        run = runner.start(library_dir=no_driver(), keyboard="pipe", piped_input=piped_input,
                           **options)
        self.addCleanup(run.close)
        return run

    def test_the_prompt_shows_at_once_through_a_pipe_and_end_of_input_is_a_key(self):
        run = self.start(b"", keep_input_open=True)
        run.wait_for_output(HALT_OUTPUT)
        self.assertEqual(run.output, HALT_OUTPUT)
        self.assertTrue(run.running(), "it waits for a key")

        run.close_input()
        self.assertEqual(run.finish(), 0)
        self.assertEqual(run.output, HALT_OUTPUT)
        self.assertEqual(run.errors, b"", "nothing goes to standard error")

    def test_each_piped_byte_or_the_end_of_input_ends_the_halt(self):
        for keys in (b"", b"abc"):
            with self.subTest(keys=keys):
                run = self.start(keys)
                self.assertEqual(run.finish(), 0)
                self.assertEqual(run.output, HALT_OUTPUT)


if __name__ == "__main__":
    harness.main()
