"""The Windows executables under Wine, on the virtual board, and their
import and export tables.

Usage: wine_test.py --x64 DIR --x86 DIR [unittest arguments]
Each DIR is a Windows build folder: quendal-bench.exe, and the virtual
board's Ftd2xx.dll in virtual-board/ with its variants in sub-folders
(missing-FT_Open/ ... wrong-case/).

The transcripts are the exact bytes on standard output: the program writes
"\\n", and the Windows C runtime writes each as "\\r\\n" because standard
output is in text mode, as a Windows program's output redirected to a file
is (texts.windows).
"""
import argparse
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import harness  # noqa: E402
from harness import cases, pe, texts, wine  # noqa: E402
from harness.texts import windows  # noqa: E402

BUILDS = {}  # Architecture ("x64", "x86") -> build folder.
PREFIX = None
NO_PREFIX = None  # Why there is no prefix, when there is none.
SECOND_NS = 1000000000
MILLISECOND_NS = 1000000


def program(architecture):
    return os.path.join(BUILDS[architecture], "quendal-bench.exe")


def board(architecture, variant=""):
    return os.path.join(BUILDS[architecture], "virtual-board", variant, "Ftd2xx.dll")


def setUpModule():
    global PREFIX, NO_PREFIX
    try:
        PREFIX = wine.WinePrefix()
    except unittest.SkipTest as reason:
        NO_PREFIX = str(reason)


def tearDownModule():
    if PREFIX is not None:
        PREFIX.close()


class WineTestCase(unittest.TestCase):
    """Each test starts all its runs, then checks them: the runs of both
    builds, and of different rows, go on at the same time."""

    def setUp(self):
        if PREFIX is None:
            self.skipTest(NO_PREFIX)
        folder = tempfile.TemporaryDirectory(prefix="quendal-wine-run-")
        self.addCleanup(folder.cleanup)
        self.folder = folder.name
        self.runs = 0

    def architectures(self, worth_emulating=True):
        """The builds that this machine runs; each other one shows as a
        skipped subtest, with the reason. A test whose outcome cannot depend
        on the word size leaves out a 32-bit build whose starts are slow
        (`wine.slow`)."""
        runnable = []
        for architecture in BUILDS:
            reason = wine.unavailable(architecture)
            if reason is not None:
                with self.subTest(architecture=architecture):
                    self.skipTest(reason)
            elif worth_emulating or not wine.slow(architecture):
                runnable.append(architecture)
        return runnable

    def start(self, architecture, driver, settings=None, in_start_dir=None):
        """A run in a folder of its own, with its trace in `trace_path`."""
        self.runs += 1
        folder = os.path.join(self.folder, str(self.runs))
        os.makedirs(folder)
        trace_path = os.path.join(folder, "trace.jsonl")
        settings = dict(settings or {})
        settings["VBOARD_TRACE"] = trace_path
        run = wine.start(PREFIX, folder, program(architecture), driver, settings, in_start_dir)
        run.trace_path = trace_path
        self.addCleanup(run.close)
        return run

    def assert_halt_waits(self, run, message):
        """For a halt where the board types no key: it is seen waiting, then
        the run is stopped."""
        expected = windows(texts.halt(message))
        run.wait_for_output(expected)
        self.assertTrue(run.running(), "the halt waits for a key")
        self.assertEqual(run.output, expected)

    def assert_halted_before_any_call(self, run, message):
        # The board types no key before its first call.
        self.assert_halt_waits(run, message)
        self.assertFalse(os.path.exists(run.trace_path), "no driver call may be made")


def rows(architecture, table, emulated_rows):
    """The rows of `table` that the build of `architecture` runs: all of
    them, or where each start is slow (`wine.slow`), `emulated_rows`, those
    whose outcome could differ on 32-bit."""
    return emulated_rows if wine.slow(architecture) else table


class WholeRunTest(WineTestCase):
    def test_transcript_and_driver_calls_of_a_whole_run(self):
        # Two slow steps, two fast writes, three readings; the last reading
        # types the key for the read-back and the one for the closing prompt.
        settings = {"VBOARD_KEYS": "FT_Write#2,FT_Write#4,FT_GetBitMode#3:kq"}
        runs = {architecture: self.start(architecture, board(architecture), settings)
                for architecture in self.architectures()}
        for architecture, run in runs.items():
            with self.subTest(architecture=architecture):
                self.assertEqual(run.finish(), 0)
                self.assertEqual(run.output, windows(texts.whole_run(3)))
                self.assertEqual(run.errors, b"")

                trace = harness.Trace(run.trace_path)
                self.assertEqual(trace.names,
                                 texts.SETUP_CALLS + ["FT_Write"] * 4 + ["FT_GetBitMode"] * 3)
                self.assertEqual(cases.traced_setup(trace), cases.SETUP)
                self.assertTrue(all(c["status"] == 0 for c in trace.calls))
                self.assertEqual(trace.written, ["00", "01"] + [texts.FAST_PATTERN] * 2)
                writes = trace.times("FT_Write")
                # Loose: the board's clock and Windows' sleep are not the
                # same clock, and may drift apart by a fraction of a tick.
                self.assertGreaterEqual(writes[1] - writes[0], SECOND_NS - MILLISECOND_NS,
                                        "a slow step is about 1000 ms")
                self.assertGreaterEqual(writes[3] - writes[2], MILLISECOND_NS * 9 // 10,
                                        "a fast step is about 1 ms")
                self.assertEqual([c["value"] for c in trace.calls[-3:]],
                                 [texts.READBACK_VALUE] * 3)


class DriverFailureTest(WineTestCase):
    # A status with the top bit set, which the program shows as negative.
    SIGNED = [case for case in cases.FAILURE_CASES if case.status >= 1 << 31]

    def test_a_failing_call_halts_with_its_message_and_ends_on_a_key(self):
        # The key that ends the halt is typed during the failing call.
        runs = [(architecture, case, self.start(architecture, board(architecture), case.settings))
                for architecture in self.architectures()
                for case in rows(architecture, cases.FAILURE_CASES, self.SIGNED)]
        for architecture, case, run in runs:
            with self.subTest(architecture=architecture, settings=case.settings):
                self.assertEqual(run.finish(), 0)
                self.assertEqual(run.output, windows(
                    texts.halt(cases.failure_message(case), case.before)))
                self.assertEqual(harness.Trace(run.trace_path).names, case.made)


class BindingTest(WineTestCase):
    def test_a_missing_entry_point_is_named_before_any_call(self):
        # The last one looked up: the four before it bound.
        last = [case for case in cases.BINDING_CASES
                if case.variant == "missing-" + texts.ENTRY_POINTS[-1]]
        runs = [(architecture, case, self.start(architecture, board(architecture, case.variant)))
                for architecture in self.architectures()
                for case in rows(architecture, cases.BINDING_CASES, last)]
        for architecture, case, run in runs:
            with self.subTest(architecture=architecture, variant=case.variant):
                self.assert_halted_before_any_call(run, case.message)


class BoardSettingsTest(WineTestCase):
    def test_a_key_descriptor_is_refused_and_fails_the_open(self):
        # The keys go into the console on Windows. The board that refuses a
        # setting types no key.
        runs = {architecture: self.start(architecture, board(architecture),
                                         {"VBOARD_KEY_FD": "3"})
                for architecture in self.architectures(worth_emulating=False)}
        for architecture, run in runs.items():
            with self.subTest(architecture=architecture):
                self.assert_halt_waits(run, texts.failure("FT_Open", 18))
                self.assertIn(b"virtual board: VBOARD_KEY_FD: ", run.errors)


class DriverSearchTest(WineTestCase):
    """Ftd2xx.dll is found beside the .exe and in the system folder, never
    in the current directory or a PATH folder, where anyone could plant one.
    Each row is a run of each build."""

    REAL = ""
    # Lacks FT_Open, which shows at once if this one is loaded.
    OTHER = "missing-FT_Open"

    # (case, {place: the board variant there}, whether the real one is used)
    CASES = [
        ("the system folder", {"system": REAL}, True),
        ("none beside the exe or in the system folder, but in the current directory "
         "and a PATH folder", {"current": REAL, "path": REAL}, False),
        ("beside the exe, with others in the current directory and the system folder",
         {"beside": REAL, "current": OTHER, "system": OTHER}, True),
    ]

    def test_where_the_driver_is_found(self):
        # One row at a time: the system folder is the prefix's, shared by
        # every run.
        architectures = self.architectures()
        for case, places, found in self.CASES:
            runs = {}
            try:
                for architecture in architectures:
                    if "system" in places:
                        self.install(architecture, places["system"])
                    runs[architecture] = self.start_with(architecture, places)
                for architecture, run in runs.items():
                    with self.subTest(architecture=architecture, case=case):
                        self.check(run, found)
            finally:
                for architecture in architectures:
                    installed = self.installed(architecture)
                    if os.path.exists(installed):
                        os.remove(installed)

    def installed(self, architecture):
        return os.path.join(wine.system_folder(PREFIX, architecture), "Ftd2xx.dll")

    def install(self, architecture, variant):
        # The prefix is shared with every other test, so none of them may
        # find a driver there: the copy goes as soon as its run is checked.
        self.assertFalse(os.path.exists(self.installed(architecture)),
                         "the prefix holds no driver of its own")
        shutil.copy(board(architecture, variant), self.installed(architecture))

    def start_with(self, architecture, places):
        def placed(place):
            variant = places.get(place)
            return None if variant is None else board(architecture, variant)

        # Four keys: one pass of each phase, then the closing prompt.
        settings = {"VBOARD_KEYS": "FT_Open#1:abcd"}
        if "path" in places:
            folder = os.path.join(self.folder, "on-path-" + architecture)
            os.makedirs(folder)
            shutil.copy(placed("path"), folder)
            settings["WINEPATH"] = wine.windows_path(folder)
            # Only a folder that is really in the program's PATH makes the case.
            self.assertIn(wine.windows_path(folder),
                          wine.windows_environment(PREFIX, "PATH", settings).split(";"))
        return self.start(architecture, placed("beside"), settings, in_start_dir=placed("current"))

    def check(self, run, found):
        if found:
            self.assertEqual(run.finish(), 0)
            self.assertEqual(run.output, windows(texts.whole_run(1)))
        else:
            self.assert_halted_before_any_call(run, texts.cant_load(texts.LIBRARY_WINDOWS))


class TerminalKeyTest(WineTestCase):
    def test_an_arrow_then_a_letter_ends_three_waits(self):
        # Wine's console passes keys typed on its terminal to _kbhit from
        # Wine 10 on. An arrow alone has no character and ends no wait.
        if wine.version() < (10, 0):
            self.skipTest("Wine %d.%d passes no key typed on its terminal to _kbhit "
                          "(Wine 10 does)" % wine.version())
        runs = {architecture: self.start(architecture, board(architecture))
                for architecture in self.architectures(worth_emulating=False)}
        for architecture, run in runs.items():
            with self.subTest(architecture=architecture):
                run.wait_for_output(windows(texts.BANNER + texts.SLOW_PROMPT))
                # The arrow's two codes end the slow and the fast phase, the
                # letter the read-back, each after one pass.
                run.type(b"\x1b[Ax")
                run.wait_for_output(windows(texts.whole_run(1)))
                self.assertTrue(run.running(), "the closing prompt waits for a key")
                run.type(b"q")
                self.assertEqual(run.finish(), 0)
                self.assertEqual(run.output, windows(texts.whole_run(1)))


class ImportTableTest(unittest.TestCase):
    def test_the_executables_import_only_system_dlls(self):
        for architecture in BUILDS:
            with self.subTest(architecture=architecture):
                table = {dll.lower(): names for dll, names
                         in pe.imports(program(architecture)).items()}
                # The driver is loaded at run time and the C++ runtime is
                # linked in: nothing else has to be installed beside the
                # executable.
                self.assertEqual(sorted(table), ["kernel32.dll", "msvcrt.dll", "winmm.dll"])
                self.assertEqual(table["winmm.dll"], ["timeBeginPeriod"])
                # The search without the current directory or PATH, and the
                # fallback for systems without it, which Wine, having the
                # search flags, never takes.
                for name in ["GetModuleHandleA", "GetProcAddress", "LoadLibraryExA",
                             "SetDllDirectoryA", "LoadLibraryA"]:
                    self.assertIn(name, table["kernel32.dll"])


class ExportTableTest(unittest.TestCase):
    def test_the_virtual_boards_export_undecorated_names(self):
        # As the driver's own DLL: "FT_Open", never "FT_Open@8", on 32-bit too.
        variants = [("", texts.ENTRY_POINTS)] + [(case.variant, case.exports)
                                                 for case in cases.BINDING_CASES]
        for architecture in BUILDS:
            for variant, names in variants:
                with self.subTest(architecture=architecture, variant=variant):
                    self.assertEqual(
                        sorted(pe.exports(board(architecture, variant))),
                        sorted(names))


def main():
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--x64", required=True)
    parser.add_argument("--x86", required=True)
    options, rest = parser.parse_known_args()
    BUILDS["x64"] = os.path.abspath(options.x64)
    BUILDS["x86"] = os.path.abspath(options.x86)
    harness.main([sys.argv[0]] + rest)


if __name__ == "__main__":
    main()
