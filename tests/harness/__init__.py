"""The shared harness of the process tests: the bench program run whole,
on Linux (natively or under an emulator) and under Wine.

Starting a run: in a test file `tests/NAME_test.py`,

    import harness
    from harness import texts

    class SomethingTest(harness.BenchTestCase):
        def test_it(self):
            # One key for each of the four waits, typed ahead.
            run = self.start({"VBOARD_KEYS": "FT_Open#1:abcd"})  # or keyboard="pipe"
            self.assertEqual(run.finish(), 0)
            self.assertEqual(run.screen(), texts.as_bytes(texts.whole_run(1)))
            self.assertEqual(self.trace().written, ["00", texts.FAST_PATTERN])

    if __name__ == "__main__":
        harness.main()

CTest runs each class named `...Test` of each `tests/*_test.py` as a test of
its own, `NAME.Class`, with these in the environment: QUENDAL_BENCH (the
program), QUENDAL_BOARDS (the virtual board's folder), QUENDAL_BUILD_TYPE
(CMake's build type), and on Linux QUENDAL_ADAPTER (the libftdi1 adapter's
folder) and QUENDAL_BITMODE_BEFORE_BAUD (the wire tests' program that sets
the bit mode before the baud rate); QUENDAL_EMULATOR when the build runs its
programs under an emulator (the command in front of the program, e.g.
qemu-aarch64; `harness.emulated` is then True), and then
QUENDAL_SIGNAL_REPORT (the console tests' program that reports the signals
it gets); and QUENDAL_TERMINAL_HOOKS (the library that the console tests
preload into the program to time its races). Base classes end in
`TestCase`, not `Test`. A run exits with 77 (skipped) when every test in it
was skipped, and with 5 (a failure) when no test ran. The example above runs
as the test `docs.HarnessExampleTest`.

Adding a case: the program's texts, the failure table and the binding
table are in `texts`, shared case tables in `cases`; add a row to a test's
table rather than a near-copy of a test. Keys come from the virtual board
(VBOARD_KEYS), typed during the driver call that the case names, so no test
guesses how long a phase takes. `runner.Run` takes any command and
environment (extra variables, another library folder, piped input,
descriptors to close, signals to ignore, resource limits: set before the
exec by `session.py`); `runner.start_job` runs the program as a shell's
foreground job (Ctrl-Z, `fg`); `wine` runs the Windows builds with the same
runner. Timeouts are only safety nets, never measurements.

A run that must find no driver library (`library_dir=runner.NO_DRIVER`) or
that runs the adapter outside the wire tests' emulated chips (`isolated=True`)
is isolated: whatever driver library and USB devices the machine has stay
out of its sight, and the case skips with the reason where that cannot be
had (`isolation_modes`: the tests' own modes of the isolation, which the
operator's tools never need).
"""
import os
import sys

# The program's texts, the run helpers, the records' readers and the
# isolation live in the package that the operator tools share.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "tools"))

from quendal_tools import isolation, records, texts  # noqa: E402

# They stay importable as the harness's own (`from harness.texts import ...`).
for _module in (isolation, records, texts):
    sys.modules[__name__ + "." + _module.__name__.rsplit(".", 1)[1]] = _module

from . import cases, isolation_modes, runner  # noqa: E402
from .fixture import NO_TESTS, SKIPPED, BenchTestCase, main, other_python  # noqa: E402
from .records import Trace, read_vcd_levels  # noqa: E402
from .runner import SAFETY_TIMEOUT, Run, emulated, start  # noqa: E402

__all__ = ["cases", "isolation", "isolation_modes", "records", "runner", "texts", "NO_TESTS", "SKIPPED",
           "BenchTestCase", "main", "other_python",
           "Trace", "read_vcd_levels", "SAFETY_TIMEOUT", "Run", "emulated", "start"]
