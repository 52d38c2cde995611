"""Starts a test's program in a pseudo-terminal: put in front of its command,
as the isolation's modes are, so that the test process, which may have a
thread alive (the wire tests' emulated bus), runs no Python between a fork
and an exec. This process has one thread.

    session.py [--controlling] [--close FD]... [--ignore SIGNAL]...
               [--limit RESOURCE=N]... -- COMMAND [ARG...]
    session.py --job STATUS_FD [--background-mode MODE] [same options] -- COMMAND...

Started in a session of its own, with the terminal as standard input. The
first form makes the terminal the controlling one (--controlling) and execs
COMMAND. The second leads the session as a shell would: COMMAND runs as its
job, in a process group of its own, the terminal's foreground one (or, with
--background-mode, a background one, with the terminal in MODE, the repr of
termios.tcgetattr's list); the job's standard output is this process's, its
standard error the terminal. It writes the job's pid on STATUS_FD, then each
of its wait statuses, one a line; on SIGUSR1 it hands the terminal to the
job and continues it (`fg` of a stopped job), on SIGUSR2 it hands the
terminal over only (bash's `fg` of a running job); while the job is stopped
it holds the terminal. A job that cannot be started gives the line
"error: REASON".

Before the exec, COMMAND's descriptors FD are closed, SIGNALs (numbers) are
ignored and each RESOURCE (resource.RLIMIT_* without the prefix: CORE,
FSIZE) is limited to N; SIGPIPE and SIGXFSZ, which Python ignores, are not.
"""
import argparse
import ast
import fcntl
import os
import resource
import signal
import sys
import termios


def _prepare(options):
    """In the process that then execs the command."""
    for number in (signal.SIGPIPE, signal.SIGXFSZ, signal.SIGTTOU):
        signal.signal(number, signal.SIG_DFL)
    for number in options.ignore:
        signal.signal(number, signal.SIG_IGN)
    for limit in options.limit:
        name, value = limit.split("=")
        value = int(value)
        resource.setrlimit(getattr(resource, "RLIMIT_" + name), (value, value))
    for fd in options.close:
        os.close(fd)


def _lead(options):
    status_fd = options.job
    os.set_inheritable(status_fd, False)  # The job's end must not wait for its own copy.
    terminal = 0
    signal.signal(signal.SIGTTOU, signal.SIG_IGN)
    if options.background_mode is not None:
        termios.tcsetattr(terminal, termios.TCSANOW, ast.literal_eval(options.background_mode))
    # A failed exec writes its error here; a good one closes it.
    exec_read, exec_write = os.pipe2(os.O_CLOEXEC)
    program = os.fork()
    if program == 0:
        try:
            os.close(exec_read)
            os.setpgid(0, 0)
            if options.background_mode is None:
                os.tcsetpgrp(terminal, os.getpid())
            os.dup2(terminal, 2)
            _prepare(options)
            os.execvp(options.command[0], options.command)
        except BaseException as error:
            os.write(exec_write, str(error).encode() or b"failed")
        finally:
            os._exit(127)
    os.close(exec_write)
    try:
        os.setpgid(program, program)
    except PermissionError:  # Already in its own group and past its exec.
        pass
    error = os.read(exec_read, 4096)
    os.close(exec_read)
    if error:
        os.waitpid(program, 0)
        os.write(status_fd, b"error: %s\n" % error.replace(b"\n", b" "))
        return
    if options.background_mode is None:
        os.tcsetpgrp(terminal, program)

    def continue_in_foreground(*_):
        os.tcsetpgrp(terminal, program)
        os.kill(program, signal.SIGCONT)

    def hand_over_terminal(*_):
        os.tcsetpgrp(terminal, program)

    signal.signal(signal.SIGUSR1, continue_in_foreground)
    signal.signal(signal.SIGUSR2, hand_over_terminal)
    os.write(status_fd, b"%d\n" % program)
    while True:
        _, status = os.waitpid(program, os.WUNTRACED)
        if os.WIFSTOPPED(status):
            # As a shell does, take the terminal back while the job is
            # stopped; before the report, so that a test's `bg` finds the
            # job in the background.
            os.tcsetpgrp(terminal, os.getpgrp())
        os.write(status_fd, b"%d\n" % status)
        if not os.WIFSTOPPED(status):
            return


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--controlling", action="store_true")
    parser.add_argument("--job", type=int, metavar="STATUS_FD")
    parser.add_argument("--background-mode", metavar="MODE")
    parser.add_argument("--close", type=int, action="append", default=[], metavar="FD")
    parser.add_argument("--ignore", type=int, action="append", default=[], metavar="SIGNAL")
    parser.add_argument("--limit", action="append", default=[], metavar="RESOURCE=N")
    parser.add_argument("command", nargs="+")
    options = parser.parse_args()
    if options.job is not None or options.controlling:
        fcntl.ioctl(0, termios.TIOCSCTTY, 0)
    if options.job is not None:
        _lead(options)
        return
    _prepare(options)
    os.execvp(options.command[0], options.command)


if __name__ == "__main__":
    sys.exit(main())
