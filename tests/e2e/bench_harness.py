"""Runs the real bench program against the virtual board.

The program's keyboard is either a pseudo-terminal (its controlling
terminal, so that Ctrl-C works as on a console) or a pipe. The virtual
board types the operator's keys itself, through VBOARD_KEYS and the
descriptor in VBOARD_KEY_FD, during the driver calls that the test names:
no test has to guess how long a phase takes. Timeouts here are only a
safety net against a hung program.
"""
import json
import os
import select
import subprocess
import termios
import time

SAFETY_TIMEOUT = 60.0
BANNER = b"QUENDAL Test programm\n"
SLOW_PROMPT = b"Blinking running (slow) ; Hit any key "
FAST_PROMPT = b"\nBlinking running (fast) ; Hit any key "
CLOSING_PROMPT = b"\nHit any key "
FAST_PATTERN = "02010001000100010001000100010001"


def readback_line(value):
    return b"Bits lus sur les pins du QUENDAL : %x\n" % value


def board_environment(library_dir, settings):
    """The environment of a run: the caller's, without any VBOARD_* of its
    own (the board rejects names it does not know), with `settings` and the
    board's folder as the library search path."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("VBOARD_")}
    env["LD_LIBRARY_PATH"] = library_dir
    env.update(settings)
    return env


class BenchRun:
    """One run of the program.

    keyboard="terminal": standard input and output are a new pseudo-terminal
    that the test keeps open on both sides, so that it can read the
    terminal's mode and whatever input the program left unread once it has
    ended. keyboard="pipe": standard input is a pipe that gets `piped_input`
    and, when the board types keys, stays open; standard output is a pipe.
    Standard error is always a pipe of its own.
    """

    def __init__(self, program, library_dir, settings=None, keyboard="terminal",
                 piped_input=None, args=()):
        settings = dict(settings or {})
        self.output = b""
        self.errors = b""
        self.ended = set()
        self.master = self.slave = None
        if keyboard == "terminal":
            self.master, self.slave = os.openpty()
            self.original_mode = termios.tcgetattr(self.slave)
            key_fd, stdin, stdout = self.master, self.slave, self.slave
        else:
            stdin, key_fd = os.pipe()
            stdout = subprocess.PIPE
        typing = "VBOARD_KEYS" in settings
        if typing:
            settings["VBOARD_KEY_FD"] = str(key_fd)
        self.process = subprocess.Popen(
            [program, *args], stdin=stdin, stdout=stdout, stderr=subprocess.PIPE,
            env=board_environment(library_dir, settings), pass_fds=(key_fd,) if typing else (),
            start_new_session=True,
            preexec_fn=self._take_terminal if keyboard == "terminal" else None)
        if keyboard == "pipe":
            os.close(stdin)
            if piped_input is not None:
                os.write(key_fd, piped_input)
            if typing:
                # The program holds the other copy; the end of input never comes.
                self.pipe_writer = key_fd
            else:
                os.close(key_fd)
        self.output_fd = self.master if keyboard == "terminal" else self.process.stdout.fileno()

    @staticmethod
    def _take_terminal():
        import fcntl
        fcntl.ioctl(0, termios.TIOCSCTTY, 0)

    def _pump(self, timeout):
        """Reads what arrives within `timeout`; False when nothing did."""
        sources = [fd for fd in (self.output_fd, self.process.stderr.fileno())
                   if fd not in self.ended]
        ready, _, _ = select.select(sources, [], [], timeout) if sources else ([], [], [])
        for fd in ready:
            try:
                data = os.read(fd, 65536)
            except OSError:  # A terminal whose other side is gone.
                data = b""
            if not data:
                self.ended.add(fd)
            elif fd == self.output_fd:
                self.output += data
            else:
                self.errors += data
        return bool(ready)

    def screen(self):
        """The output as the terminal shows it: its line ends back as "\\n"."""
        return self.output.replace(b"\r\n", b"\n") if self.master is not None else self.output

    def wait_for_output(self, expected):
        deadline = time.monotonic() + SAFETY_TIMEOUT
        while expected not in self.screen():
            ended = self.process.poll() is not None
            if time.monotonic() > deadline or (not self._pump(0.5) and ended):
                raise AssertionError("no %r in %r" % (expected, self.screen()))

    def type(self, keys):
        os.write(self.master, keys)

    def finish(self):
        """Waits for the end of the program and reads all it wrote; returns
        its exit status (negative: the signal that ended it)."""
        deadline = time.monotonic() + SAFETY_TIMEOUT
        while self.process.poll() is None:
            if time.monotonic() > deadline:
                self.process.kill()
                raise AssertionError("the program did not end: %r" % self.screen())
            self._pump(0.2)
        while self._pump(0):
            pass
        return self.process.returncode

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
        for fd in (self.master, self.slave, getattr(self, "pipe_writer", None)):
            if fd is not None:
                os.close(fd)
        for stream in (self.process.stdout, self.process.stderr):
            if stream is not None:
                stream.close()


def read_trace(path):
    with open(path, encoding="ascii") as trace:
        return [json.loads(line) for line in trace]


def calls(trace):
    return [line for line in trace if "call" in line]


def call_names(trace):
    return [line["call"] for line in calls(trace)]


def written_data(trace):
    return [line["data"] for line in calls(trace) if line["call"] == "FT_Write"]


def read_vcd_levels(path):
    """The VCD as (time, levels of D0..D7 as a byte) at each time stamp."""
    codes = {}
    levels = 0
    time_ns = None
    samples = []
    with open(path, encoding="ascii") as vcd:
        for line in vcd:
            words = line.split()
            if words[:2] == ["$var", "wire"]:
                codes[words[3]] = int(words[4][1:])
            elif line.startswith("#"):
                if time_ns is not None:
                    samples.append((time_ns, levels))
                time_ns = int(line[1:])
            elif line[:1] in "01" and line[1:].strip() in codes:
                pin = codes[line[1:].strip()]
                levels = levels | (1 << pin) if line[0] == "1" else levels & ~(1 << pin)
    samples.append((time_ns, levels))
    return samples
