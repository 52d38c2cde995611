"""The POSIX console of the real program, in a real pseudo-terminal.

Most runs have no driver library to be found, so they stop at the failure
halt; that is enough to see the key mode, the pending key and every way out.
The runs that need a phase, or a file that the driver library opens, use the
virtual board.
"""
import ctypes
import functools
import os
import select
import shlex
import shutil
import signal
import subprocess
import tempfile
import termios
import time
import unittest

import harness
from harness import runner, texts
from harness.texts import as_bytes

HALT_OUTPUT = as_bytes(texts.halt(texts.cant_load()))
SECOND_NS = 1000000000

# A sample of the signals that end a program by default, with the first
# number (SIGHUP) and the last (SIGRTMAX); Ctrl-C and Ctrl-\ are typed.
KILLED_BY = [signal.SIGHUP, signal.SIGTERM, signal.SIGUSR1, signal.SIGSEGV, signal.SIGALRM,
             signal.SIGXCPU, signal.SIGXFSZ, signal.SIGSYS, signal.SIGPWR, signal.SIGRTMIN,
             signal.SIGRTMAX - 1, signal.SIGRTMAX]


def signal_reporter():
    """The program that reports the signals it gets (tests/signals), built
    for the target when the tests run under an emulator."""
    path = os.environ.get("QUENDAL_SIGNAL_REPORT")
    if not path:
        raise RuntimeError("QUENDAL_SIGNAL_REPORT is not set; run the tests through CTest, "
                           "which sets it")
    return path


def _reports(reporter):
    """The lines that `reporter` writes, as they come; ends with its output."""
    buffer = b""
    deadline = time.monotonic() + harness.SAFETY_TIMEOUT
    while True:
        while b"\n" in buffer:
            line, buffer = buffer.split(b"\n", 1)
            yield line.decode()
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise AssertionError("the signal reporter stopped answering")
        if select.select([reporter.stdout], [], [], remaining)[0]:
            data = os.read(reporter.stdout.fileno(), 4096)
            if not data:
                return
            buffer += data


@functools.lru_cache(maxsize=None)
def emulated_real_time_signals():
    """{the number the emulated program gets: the host signal sent} for each
    of the host's real-time signals that reaches it as one it can catch.

    qemu-user keeps some host real-time signals for itself and passes the
    others on under lower numbers, as many lower as its version has it
    (the host's 34 as 32 under qemu 7.2, the host's 38 as 34 under qemu 10);
    a program dies of the numbers the C library keeps for itself. And the
    emulator, once the program has died of a signal, dies of that signal's
    host number. So a reporter run under the same emulator finds out.
    """
    arrivals = {}
    to_send = list(range(signal.SIGRTMIN, signal.SIGRTMAX + 1))
    while to_send:
        # A number the C library keeps ends the reporter: a new one goes on.
        reporter = subprocess.Popen(runner.emulator() + [signal_reporter()], bufsize=0,
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    env=runner.environment(None))
        try:
            lines = _reports(reporter)
            if next(lines, None) != "ready":
                raise AssertionError("the signal reporter did not start")
            while to_send:
                sent = to_send.pop(0)
                os.kill(reporter.pid, sent)
                try:
                    reporter.stdin.write(b"\n")
                except BrokenPipeError:
                    break
                for line in lines:
                    if line == "sync":
                        break
                    arrivals.setdefault(int(line), sent)
                else:  # It died of the signal.
                    break
        finally:
            reporter.kill()
            reporter.wait()
            reporter.stdin.close()
            reporter.stdout.close()
    return arrivals


def on_host(number):
    """The host signal that reaches the program as signal `number`; None
    when none does."""
    if harness.emulated and number >= signal.SIGRTMIN:
        return emulated_real_time_signals().get(number)
    return number


def hooked(*hooks, tid_path=None):
    """The environment that preloads tests/signals/terminal_hooks.c into the
    program with `hooks` on; `tid_path` gets the id of its thread."""
    library = os.environ.get("QUENDAL_TERMINAL_HOOKS")
    if not library:
        raise RuntimeError("QUENDAL_TERMINAL_HOOKS is not set; run the tests through CTest, "
                           "which sets it")
    # AddressSanitizer wants its own library first; it has no interest in
    # the two calls that the hooks wrap.
    env = {"TERMINAL_HOOKS": ",".join(hooks), "ASAN_OPTIONS": "verify_asan_link_order=0"}
    if tid_path:
        env["TERMINAL_HOOKS_TID"] = tid_path
    if harness.emulated:  # For the emulated program's loader, not the host's.
        env["QEMU_SET_ENV"] = "LD_PRELOAD=" + library
    else:
        env["LD_PRELOAD"] = library
    return env


def send_to_thread(pid, tid, number):
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.tgkill(pid, tid, number) != 0:
        raise OSError(ctypes.get_errno(), "tgkill")


def new_terminal_mode():
    """The mode of a new pseudo-terminal, as each run gets one."""
    master, slave = os.openpty()
    try:
        return termios.tcgetattr(slave)
    finally:
        os.close(master)
        os.close(slave)


def line_editing(mode):
    """`mode` as bash's line editor sets it while it reads a command."""
    mode = list(mode)
    mode[0] &= ~termios.ICRNL
    mode[3] &= ~(termios.ICANON | termios.ECHO)
    return mode


def no_driver():
    # Such runs are isolated: whatever driver the machine has stays hidden.
    return runner.NO_DRIVER


def wait_until_taken(pid, number):
    """Waits until the process has taken signal `number` off its pending
    set (at once if it ignores it), so that it has handled it before a key
    typed next reaches it."""
    deadline = time.monotonic() + harness.SAFETY_TIMEOUT
    while time.monotonic() < deadline:
        try:
            with open("/proc/%d/status" % pid) as status:
                fields = dict(line.split(":", 1) for line in status)
        except FileNotFoundError:  # It has ended; its wait status tells how.
            return
        pending = int(fields["ShdPnd"], 16) | int(fields["SigPnd"], 16)
        if not pending & (1 << (number - 1)):
            return
        time.sleep(0.001)
    raise AssertionError("signal %d never taken" % number)


def open_files(pid):
    """What each descriptor of process `pid` is open on."""
    folder = "/proc/%d/fd" % pid
    files = {}
    for fd in os.listdir(folder):
        try:
            files[int(fd)] = os.readlink(os.path.join(folder, fd))
        except FileNotFoundError:  # Closed since the listing.
            pass
    return files


def echo_is_on(run):
    return bool(run.terminal_mode()[3] & termios.ECHO)


def wait_for_key_mode(test, run):
    deadline = time.monotonic() + harness.SAFETY_TIMEOUT
    while echo_is_on(run) and time.monotonic() < deadline:
        time.sleep(0.01)
    test.assertFalse(run.terminal_mode()[3] & (termios.ECHO | termios.ICANON))


def described(status):
    """A wait status in words, for a failure message."""
    if os.WIFSTOPPED(status):
        return "stopped by signal %d" % os.WSTOPSIG(status)
    if os.WIFSIGNALED(status):
        return "ended by signal %d" % os.WTERMSIG(status)
    return "exited with %d" % os.WEXITSTATUS(status)


class TerminalTest(unittest.TestCase):
    def run_to_halt(self, **options):
        run = runner.start_job(library_dir=no_driver(), **options)
        self.addCleanup(run.close)
        run.wait_for_output(HALT_OUTPUT)
        return run

    def test_halt_hides_the_key_ends_with_zero_and_leaves_the_key_pending(self):
        # Ctrl-S is a key like any other, not the terminal's flow control.
        for key in (b"k", b"\x13"):
            with self.subTest(key=key):
                run = self.run_to_halt(args=("--help", "x"))
                self.assertFalse(echo_is_on(run))
                run.type(key)
                status = run.next_status()

                self.assertTrue(os.WIFEXITED(status))
                self.assertEqual(os.WEXITSTATUS(status), 0)
                run.finish()
                self.assertEqual(run.screen(), HALT_OUTPUT, "no key shows")
                self.assertEqual(run.terminal_mode(), run.original_mode)
                self.assertEqual(run.pending_input(), key)

    def test_a_signal_that_ends_the_program_restores_the_terminal_first(self):
        # (name, the signal as the program gets it, how it is sent: typed, or
        # None for kill with the host's number of it)
        cases = [("Ctrl-C", signal.SIGINT, lambda run: run.type(b"\x03")),
                 ("Ctrl-\\", signal.SIGQUIT, lambda run: run.type(b"\x1c"))]
        cases += [("signal %d" % number, number, None) for number in KILLED_BY]
        for name, number, send in cases:
            with self.subTest(name):
                sent = on_host(number)
                if sent is None:
                    self.skipTest("no signal sent from the host reaches a program under %s as "
                                  "signal %d; the highest that does is %d"
                                  % (os.path.basename(runner.emulator()[0]), number,
                                     max(emulated_real_time_signals())))
                run = self.run_to_halt(limits={"CORE": 0})
                if send is None:
                    os.kill(run.pid, sent)
                else:
                    send(run)
                status = run.next_status()
                self.assertTrue(os.WIFSIGNALED(status), described(status))
                self.assertEqual(os.WTERMSIG(status), sent)
                self.assertEqual(run.terminal_mode(), run.original_mode)

    def test_a_signal_that_does_not_end_the_program_leaves_it_waiting_for_its_key(self):
        # The signals ignored by default; a stray SIGCONT, which must not make
        # the key mode the mode to restore; and SIGHUP under nohup, since a
        # signal the parent ignores stays ignored.
        cases = [(signal.SIGWINCH, False), (signal.SIGCHLD, False), (signal.SIGURG, False),
                 (signal.SIGCONT, False), (signal.SIGHUP, True)]
        for number, ignored_by_parent in cases:
            with self.subTest(signal=number, ignored_by_parent=ignored_by_parent):
                run = self.run_to_halt(ignore=[number] if ignored_by_parent else [])
                os.kill(run.pid, number)
                wait_until_taken(run.pid, number)
                run.type(b"k")
                status = run.next_status()
                self.assertTrue(os.WIFEXITED(status), "status %#x" % status)
                self.assertEqual(os.WEXITSTATUS(status), 0)
                self.assertEqual(run.terminal_mode(), run.original_mode)

    def test_output_that_cannot_be_written_ends_the_program_with_the_terminal_restored(self):
        read_end, write_end = os.pipe()
        os.close(read_end)
        self.addCleanup(os.close, write_end)
        log = tempfile.TemporaryFile()
        self.addCleanup(log.close)
        # (output, limits, the signal): `quendal-bench | head` once head has
        # gone, and `(ulimit -f ...; quendal-bench > run.log)`.
        cases = [("a closed pipe", write_end, None, signal.SIGPIPE),
                 ("a file at its size limit", log.fileno(), {"FSIZE": 8}, signal.SIGXFSZ)]
        for name, output, limits, expected in cases:
            with self.subTest(name):
                run = runner.start_job(library_dir=no_driver(), stdout_fd=output,
                                       limits=limits)
                self.addCleanup(run.close)
                status = run.next_status()
                self.assertTrue(os.WIFSIGNALED(status), "status %#x" % status)
                self.assertEqual(os.WTERMSIG(status), expected)
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
        wait_for_key_mode(self, run)

        run.type(b"k")
        status = run.next_status()
        self.assertEqual(os.WEXITSTATUS(status), 0)
        self.assertEqual(run.terminal_mode(), run.original_mode)

    @unittest.skipIf(harness.emulated, "qemu-user keeps the program's signal mask to itself")
    def test_stopped_by_ctrl_z_it_holds_off_every_other_handler_until_it_goes_on(self):
        # The stop comes inside the handler of Ctrl-Z, after it gave the
        # terminal back: SIGCONT's handler must not take the key mode again
        # before the stop, nor a fatal signal's cut into either.
        run = self.run_to_halt()
        run.type(b"\x1a")
        self.assertTrue(os.WIFSTOPPED(run.next_status()))
        with open("/proc/%d/status" % run.pid) as status:
            fields = dict(line.split(":", 1) for line in status)
        blocked = int(fields["SigBlk"], 16)
        for number in [signal.SIGCONT, signal.SIGINT, signal.SIGQUIT] + KILLED_BY:
            self.assertTrue(blocked & (1 << (number - 1)), "signal %d not held off" % number)

    def test_bash_fg_of_a_job_running_in_the_background_takes_the_key_mode_back(self):
        # Ctrl-Z, `bg`, `fg` in the slow phase: bash hands the terminal to a
        # running job without SIGCONT.
        run = runner.start_job()
        self.addCleanup(run.close)
        run.wait_for_output(as_bytes(texts.BANNER + texts.SLOW_PROMPT))
        run.type(b"\x1a")
        self.assertTrue(os.WIFSTOPPED(run.next_status()))
        os.kill(run.pid, signal.SIGCONT)
        self.assertIsNone(run.next_status(timeout=0.5), "running on in the background")

        run.hand_over_terminal()
        wait_for_key_mode(self, run)
        # One key each for the slow and fast phases, the read-back and the
        # closing prompt; none of them shows.
        run.type(b"#")
        run.wait_for_output(as_bytes(texts.FAST_PROMPT))
        run.type(b"###")
        status = run.next_status()
        self.assertTrue(os.WIFEXITED(status), "status %#x" % status)
        self.assertEqual(os.WEXITSTATUS(status), 0)
        run.finish()
        self.assertNotIn(b"#", run.screen())
        self.assertEqual(run.terminal_mode(), run.original_mode)

    def test_started_in_the_background_it_gives_back_the_mode_it_finds_in_the_foreground(self):
        # `quendal-bench &`, then `fg`: until then the terminal has the mode
        # of the shell's line editor, not the one it gives its commands.
        run = runner.start_job(library_dir=no_driver(),
                               background_mode=line_editing(new_terminal_mode()))
        self.addCleanup(run.close)
        self.assertTrue(os.WIFSTOPPED(run.next_status()))
        run.pump(0.1)
        self.assertEqual(run.output, b"", "stopped before its banner")

        termios.tcsetattr(run.slave, termios.TCSANOW, run.original_mode)
        run.bring_to_foreground()
        run.wait_for_output(HALT_OUTPUT)
        wait_for_key_mode(self, run)
        run.type(b"k")
        self.assertEqual(os.WEXITSTATUS(run.next_status()), 0)
        self.assertEqual(run.terminal_mode(), run.original_mode)

    def test_ended_in_the_background_it_leaves_the_shell_s_mode_or_gives_back_its_own(self):
        # Stopped, then at the line editor's prompt `bg` and `kill %1`, or
        # `kill %1` alone, which sends a stopped job SIGTERM, then SIGCONT.
        # After Ctrl-Z the mode was given back at the stop: the one there now
        # is the shell's. After SIGSTOP, which no program can catch, the
        # program gives back the mode it found, from the background, where
        # the change must not stop it (SIGTTOU).
        def kill_running(run):
            os.kill(run.pid, signal.SIGCONT)
            wait_until_taken(run.pid, signal.SIGCONT)
            os.kill(run.pid, signal.SIGTERM)

        def kill_stopped(run):
            os.kill(run.pid, signal.SIGTERM)
            os.kill(run.pid, signal.SIGCONT)

        ctrl_z = lambda run: run.type(b"\x1a")  # noqa: E731
        sigstop = lambda run: os.kill(run.pid, signal.SIGSTOP)  # noqa: E731
        cases = [("Ctrl-Z, bg, kill %1", ctrl_z, kill_running, False),
                 ("Ctrl-Z, kill %1", ctrl_z, kill_stopped, False),
                 ("SIGSTOP, bg, kill %1", sigstop, kill_running, True)]
        for name, stop, kill, gives_back in cases:
            with self.subTest(name):
                run = self.run_to_halt()
                wait_for_key_mode(self, run)
                stop(run)
                self.assertTrue(os.WIFSTOPPED(run.next_status()))
                termios.tcsetattr(run.slave, termios.TCSANOW, line_editing(run.original_mode))
                shell_mode = run.terminal_mode()
                kill(run)
                status = run.next_status()
                self.assertTrue(os.WIFSIGNALED(status), described(status))
                self.assertEqual(os.WTERMSIG(status), signal.SIGTERM)
                self.assertEqual(run.terminal_mode(),
                                 run.original_mode if gives_back else shell_mode)

    def test_on_a_terminal_that_is_not_its_controlling_one_a_sigcont_changes_nothing(self):
        # The terminal has no owner that could stop the program: a stray
        # SIGCONT must not make it think itself in the background, where its
        # waits would report no key for ever.
        run = runner.start(library_dir=no_driver(), controlling=False)
        self.addCleanup(run.close)
        run.wait_for_output(HALT_OUTPUT)
        wait_for_key_mode(self, run)
        os.kill(run.process.pid, signal.SIGCONT)
        wait_until_taken(run.process.pid, signal.SIGCONT)
        run.type(b"k")
        self.assertEqual(run.finish(), 0)
        self.assertEqual(run.terminal_mode(), run.original_mode)


class RaceTest(harness.BenchTestCase):
    """The console's races, made to happen by hooks preloaded into the
    program (tests/signals/terminal_hooks.c), at a failure halt on the
    virtual board."""

    def run_to_halt(self, env):
        run = runner.start_job({"VBOARD_FAIL": "FT_Open=2"}, extra_env=env)
        self.addCleanup(run.close)
        run.wait_for_output(as_bytes(texts.halt(texts.failure("FT_Open", 2))))
        wait_for_key_mode(self, run)
        return run

    def test_a_sigcont_right_after_the_last_restore_leaves_the_terminal_restored(self):
        # At the exit (Ctrl-Z and `fg` just after the last key), and while a
        # fatal signal's handler restores, with the SIGCONT handled on another
        # thread before the signal ends the process.
        def end_by_key(run):
            run.type(b"k")
            return lambda status: os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0

        def end_by_signal(run):
            os.kill(run.pid, signal.SIGTERM)
            return lambda status: os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGTERM

        cases = [("exit", ("cont-after-restore",), end_by_key),
                 ("fatal signal", ("cont-after-restore", "thread", "slow-raise"), end_by_signal)]
        for name, hooks, end in cases:
            with self.subTest(name):
                run = self.run_to_halt(hooked(*hooks))
                ended_as_expected = end(run)
                status = run.next_status()
                self.assertTrue(ended_as_expected(status), described(status))
                self.assertEqual(run.terminal_mode(), run.original_mode)

    def test_a_key_gone_before_it_is_read_does_not_hold_up_the_phase(self):
        # Seen waiting, then discarded (Ctrl-Z flushes the input) before the
        # read: the read must not wait for another key.
        run = runner.start_job(extra_env=hooked("key-gone"))
        self.addCleanup(run.close)
        run.wait_for_output(as_bytes(texts.BANNER + texts.SLOW_PROMPT))
        run.type(b"#")
        run.wait_for_output(as_bytes(texts.FAST_PROMPT))

    def test_ctrl_z_taken_on_another_thread_stops_with_the_terminal_given_back(self):
        # The stop comes late after the handler gave the terminal back: the
        # main path, waiting for its key, must not take the key mode back
        # meanwhile.
        tid_path = os.path.join(self.folder, "tid")
        run = self.run_to_halt(hooked("thread", "slow-raise", tid_path=tid_path))
        deadline = time.monotonic() + harness.SAFETY_TIMEOUT
        while not os.path.exists(tid_path) or not harness.records.whole_lines(tid_path):
            self.assertLess(time.monotonic(), deadline, "the hooks' thread never started")
            time.sleep(0.01)
        send_to_thread(run.pid, int(harness.records.whole_lines(tid_path)), signal.SIGTSTP)
        status = run.next_status()
        self.assertTrue(os.WIFSTOPPED(status), described(status))
        self.assertEqual(run.terminal_mode(), run.original_mode)

        run.bring_to_foreground()
        wait_for_key_mode(self, run)
        run.type(b"k")
        self.assertEqual(os.WEXITSTATUS(run.next_status()), 0)
        self.assertEqual(run.terminal_mode(), run.original_mode)


class BackgroundTest(harness.BenchTestCase):
    """The fast phase of a job that the shell stops, continues in the
    background (`bg`) and hands the terminal back to (`fg`)."""

    def written(self, trace_path):
        """How many FT_Write calls the trace has so far; a line still being
        written is left out. Counted, not parsed: it is read every 10 ms."""
        return sum('"call": "FT_Write"' in line
                   for line in harness.records.whole_lines(trace_path).splitlines())

    def assert_writing_on(self, run, trace_path, writes=50):
        """Waits for `writes` more FT_Write calls: each pass of the fast phase
        looks for a key. Fails at once when the program stops, ends or
        leaves the fast phase meanwhile."""
        target = self.written(trace_path) + writes
        deadline = time.monotonic() + harness.SAFETY_TIMEOUT
        while self.written(trace_path) < target:
            status = run.next_status(timeout=0.01)
            if status is not None:
                self.fail(described(status))
            run.pump(0)
            self.assertNotIn(as_bytes(texts.READBACK), run.output, "the fast phase ended")
            self.assertLess(time.monotonic(), deadline, "the fast phase stopped writing")

    def test_input_at_the_shell_neither_stops_nor_ends_the_phase_and_fg_goes_on_at_once(self):
        # Stopped by Ctrl-Z, which gives the terminal back itself, or by
        # SIGSTOP, after which the shell sets its own mode.
        stops = [("Ctrl-Z", lambda run: run.type(b"\x1a")),
                 ("SIGSTOP", lambda run: os.kill(run.pid, signal.SIGSTOP))]
        for name, stop in stops:
            with self.subTest(name):
                trace_path = os.path.join(self.folder, "%s.jsonl" % name)
                run = runner.start_job({"VBOARD_TRACE": trace_path})
                self.addCleanup(run.close)
                run.wait_for_output(as_bytes(texts.BANNER + texts.SLOW_PROMPT))
                run.type(b"#")
                run.wait_for_output(as_bytes(texts.FAST_PROMPT))
                stop(run)
                status = run.next_status()
                self.assertTrue(os.WIFSTOPPED(status), described(status))
                termios.tcsetattr(run.slave, termios.TCSANOW, run.original_mode)

                # `bg`, then a command typed at the shell's prompt: a line
                # waits at the terminal, for the shell.
                os.kill(run.pid, signal.SIGCONT)
                run.type(b"ls\n")
                self.assert_writing_on(run, trace_path)

                # The shell reads its line, and `fg` hands the terminal over
                # without SIGCONT: the phase goes on until a key.
                termios.tcflush(run.slave, termios.TCIFLUSH)
                run.hand_over_terminal()
                wait_for_key_mode(self, run)
                self.assert_writing_on(run, trace_path)
                run.type(b"#")
                run.wait_for_output(as_bytes(texts.readback_line()))
                run.type(b"##")
                self.assertEqual(run.finish(), 0)  # Reading the output, which the read-back fills.
                self.assertNotIn(b"#", run.screen())
                self.assertEqual(run.terminal_mode(), run.original_mode)


# What a run's environment may preload into every program: the program gets
# them, the terminal's own programs do not.
PRELOADS = ("LD_PRELOAD", "UMOCKDEV_DIR")


@unittest.skipUnless(shutil.which("tmux") and shutil.which("dash"),
                     "needs tmux and dash (scripts/install-deps.sh --tests)")
class ShellTest(harness.BenchTestCase):
    """The program under a real shell in a real terminal (tmux's)."""

    def pane(self):
        shown = self.tmux("capture-pane", "-p", "-t", "bench", capture_output=True, text=True)
        if shown.returncode != 0:
            self.fail("the terminal's session has ended: dash has exited")
        return shown.stdout

    def wait_for_pane(self, text, why):
        text = text.strip()  # The pane's lines come without their trailing spaces.
        deadline = time.monotonic() + harness.SAFETY_TIMEOUT
        while text not in self.pane():
            self.assertLess(time.monotonic(), deadline, "%s: %r" % (why, self.pane()))
            time.sleep(0.05)

    def type(self, text):
        self.tmux("send-keys", "-t", "bench", "-l", text, check=True)

    def tmux(self, *words, **options):
        # tmux is a tool here, not under test: it runs without the preloads
        # of the run's environment (umockdev's, where a check puts one there,
        # deadlocks jemalloc's start in the tmux of Debian 13), and a hang of
        # its own fails the test at once instead of running into CTest's
        # timeout.
        try:
            return subprocess.run(["tmux", "-S", self.socket] + list(words),
                                  env=self.tool_environment, timeout=harness.SAFETY_TIMEOUT,
                                  **options)
        except subprocess.TimeoutExpired:
            self.fail("tmux %s did not answer" % words[0])

    def test_dash_lives_on_after_an_outside_sigstop_in_the_fast_phase(self):
        # No program can catch SIGSTOP: the terminal keeps the key mode, in
        # which dash reads its next command. A read there must wait for input,
        # not return the end of input, which would end dash and its session.
        self.socket = os.path.join(self.folder, "tmux")
        pid_path = os.path.join(self.folder, "pid")
        script = os.path.join(self.folder, "run.sh")
        environment = runner.environment(None)
        preloads = {name: environment.pop(name) for name in PRELOADS if name in environment}
        self.tool_environment = environment
        command = (["env", "LD_LIBRARY_PATH=" + runner.boards(), "VBOARD_TRACE=" + self.trace_path]
                   + ["%s=%s" % setting for setting in sorted(preloads.items())]
                   + runner.emulator() + [runner.program()])
        with open(script, "w") as run_script:
            run_script.write("echo $$ > %s\nexec %s\n" % (shlex.quote(pid_path),
                                                          shlex.join(command)))
        self.tmux("-f", "/dev/null", "new-session", "-d", "-s", "bench", "-x", "120", "-y", "40",
                  "exec dash -i", check=True)
        self.addCleanup(self.tmux, "kill-server", capture_output=True)
        self.type("echo READY$((40+2))\n")
        self.wait_for_pane("READY42", "dash did not start")
        self.type("sh %s\n" % shlex.quote(script))
        self.wait_for_pane(texts.SLOW_PROMPT, "the program did not start")
        with open(pid_path) as pid_file:
            pid = int(pid_file.read())
        self.addCleanup(lambda: os.path.exists("/proc/%d" % pid) and os.kill(pid, signal.SIGKILL))
        self.type("#")
        self.wait_for_pane(texts.FAST_PROMPT, "no fast phase")

        os.kill(pid, signal.SIGSTOP)
        self.wait_for_pane("Stopped", "dash did not see the stop")
        self.type("echo ALIVE$((40+2))\n")
        self.wait_for_pane("ALIVE42", "dash did not run a command after the stop")
        with open("/proc/%d/stat" % pid) as stat:
            self.assertEqual(stat.read().rsplit(")", 1)[1].split()[0], "T", "still stopped")


class PipeTest(unittest.TestCase):
    def start(self, piped_input):
        run = runner.start(library_dir=no_driver(), keyboard="pipe", piped_input=piped_input)
        self.addCleanup(run.close)
        return run

    def test_the_prompt_shows_at_once_through_a_pipe_and_end_of_input_is_a_key(self):
        # The board types no key here (there is no board), so the pipe stays
        # open until the test closes it.
        run = runner.Run(runner.emulator() + [runner.program()],
                         runner.environment(no_driver()), keyboard="pipe",
                         piped_input=b"", board_key_fd=False, keep_input_open=True,
                         isolated=True)
        self.addCleanup(run.close)
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


class StandardDescriptorTest(harness.BenchTestCase):
    def test_a_closed_standard_descriptor_is_on_dev_null_before_the_driver_opens_a_file(self):
        # FT_Open takes a minute: the run waits there, with the board's trace
        # open, the first file that the driver library keeps.
        settings = {"VBOARD_LATENCY_US": "FT_Open=60000000"}
        for closed in (0, 1, 2):
            with self.subTest(closed=closed):
                run = self.start(settings, close=[closed])
                deadline = time.monotonic() + harness.SAFETY_TIMEOUT
                while self.trace_path not in open_files(run.process.pid).values():
                    self.assertLess(time.monotonic(), deadline, "the trace was never opened")
                    time.sleep(0.01)
                self.assertEqual(open_files(run.process.pid).get(closed), "/dev/null")


class PhaseOutputTest(harness.BenchTestCase):
    def test_a_signal_does_not_cut_the_slow_pause_short(self):
        # SIGCONT interrupts the pause without ending the program; each of
        # the three slow steps still lasts at least 1000 ms.
        run = self.start({"VBOARD_KEYS": "FT_Write#3,FT_Write#4,FT_GetBitMode#1:kq"})
        run.wait_for_output(as_bytes(texts.SLOW_PROMPT))
        while run.running():
            try:
                os.kill(run.process.pid, signal.SIGCONT)
            except ProcessLookupError:
                pass
            run.pump(0.05)
        self.assertEqual(run.finish(), 0)
        writes = self.trace().times("FT_Write")
        for earlier, later in zip(writes[:2], writes[1:3]):
            self.assertGreaterEqual(later - earlier, SECOND_NS)

    def test_a_terminal_set_non_blocking_loses_no_output(self):
        # The terminal's open file, shared with the program, made non-blocking
        # as another program may leave it; a slow reader lets it fill up
        # during the read-back.
        run = self.start({"VBOARD_KEYS": "FT_Write#1,FT_Write#2,FT_GetBitMode#2000:kq"})
        os.set_blocking(run.slave, False)
        while run.running():
            run.pump(0)
            time.sleep(0.1)
        self.assertEqual(run.finish(), 0)
        readings = len(self.trace().of("FT_GetBitMode"))
        self.assertEqual(run.screen(), as_bytes(texts.whole_run(readings)))


if __name__ == "__main__":
    harness.main()
