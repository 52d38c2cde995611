"""The test case base and the entry point that every process test shares."""
import os
import sys
import tempfile
import unittest

from . import results, runner, texts
from .records import Trace

# CTest's SKIP_RETURN_CODE: every test of the run was skipped.
SKIPPED = 77
# No test ran at all (unittest's own status for it from Python 3.12 on): a
# class that lost its tests, or a name that matched none, must not pass.
NO_TESTS = 5
# What a python3 other than Debian's prints, and its exit status.
OTHER_PYTHON = "python3 from PATH ran"
OTHER_PYTHON_STATUS = 97


def other_python(folder):
    """Makes `folder` hold a `python3` that fails loudly (OTHER_PYTHON on
    standard error, OTHER_PYTHON_STATUS), for the first place on PATH: what
    runs Python must name Debian's /usr/bin/python3. Returns `folder`."""
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, "python3")
    with open(path, "w") as script:
        script.write('#!/bin/sh\necho "%s: $0 $*" >&2\nexit %d\n'
                     % (OTHER_PYTHON, OTHER_PYTHON_STATUS))
    os.chmod(path, 0o755)
    return folder


class BenchTestCase(unittest.TestCase):
    """Runs of the bench program in a folder of their own, with the board's
    trace at `self.trace_path` and a waveform path at `self.vcd_path`."""

    def setUp(self):
        folder = tempfile.TemporaryDirectory(prefix="quendal-test-")
        self.addCleanup(folder.cleanup)
        self.folder = folder.name
        self.trace_path = os.path.join(self.folder, "trace.jsonl")
        self.vcd_path = os.path.join(self.folder, "run.vcd")

    def start(self, settings=None, **options):
        """runner.start with the trace on; the run is closed after the test."""
        settings = dict(settings or {})
        settings.setdefault("VBOARD_TRACE", self.trace_path)
        run = runner.start(settings, **options)
        self.addCleanup(run.close)
        return run

    def trace(self):
        return Trace(self.trace_path)

    def assert_halted_cleanly(self, run, expected_screen):
        """A failure halt: exact text (str), status 0, nothing on standard
        error, the ending key not echoed and left pending, and the terminal
        given back as it was."""
        self.assertEqual(run.finish(), 0, run.errors)
        self.assertEqual(run.screen(), texts.as_bytes(expected_screen))
        self.assertEqual(run.errors, b"")
        self.assertEqual(run.terminal_mode(), run.original_mode)
        self.assertEqual(run.pending_input(), b"k")


def main(argv=None):
    """Runs the tests of the calling module (unittest's command line, or
    `argv`); the exit status is NO_TESTS when no test ran, SKIPPED when every
    test that ran was skipped (a skipped subtest counts for its test). What
    each test did goes to the test command's records (`results`)."""
    # Only this file's tests are recorded, not those of a test file that one
    # of them runs.
    records = os.environ.pop(results.RECORDS_VARIABLE, None)
    program = unittest.main(module="__main__", argv=argv, exit=False,
                            testRunner=results.RecordingRunner)
    result = program.result
    results.write(results.from_result(sys.argv[0], result), records)
    if not result.testsRun:
        print("No test ran.", file=sys.stderr)
        sys.exit(NO_TESTS)
    skipped = {getattr(test, "test_case", test).id() for test, _ in result.skipped}
    if len(skipped) == result.testsRun and result.wasSuccessful():
        sys.exit(SKIPPED)
    sys.exit(0 if result.wasSuccessful() else 1)
