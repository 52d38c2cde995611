"""The Windows executables under Wine, on the virtual board, and their
import and export tables.

Usage: wine_test.py --x64 DIR --x86 DIR [unittest arguments]
Each DIR is a Windows build folder: quendal-bench.exe, and the virtual
board's Ftd2xx.dll in virtual-board/ with its variants in sub-folders
(missing-FT_Open/ ... wrong-case/).

The transcripts are the exact bytes on standard output. The program writes
"\\n"; the Windows C runtime writes each as "\\r\\n" because standard output
is in text mode, as a Windows program's output redirected to a file is. The
expected texts are written with "\\n" and turned into those bytes by
`windows_text`.
"""
import argparse
import json
import os
import sys
import tempfile
import unittest

from wine_harness import WinePrefix, WineRun, exports, imports

BUILDS = {}  # Architecture ("x64", "x86") -> build folder.
PREFIX = None
ENTRY_POINTS = ["FT_Open", "FT_SetBitMode", "FT_Write", "FT_SetBaudRate", "FT_GetBitMode"]
SECOND_NS = 1000000000
MILLISECOND_NS = 1000000

BANNER = "QUENDAL Test programm\n"
SLOW_PROMPT = "Blinking running (slow) ; Hit any key "
FAST_PROMPT = "\nBlinking running (fast) ; Hit any key "
CLOSING_PROMPT = "\nHit any key "
HALT_PROMPT = "Hit any key "
FAST_PATTERN = "02010001000100010001000100010001"


def windows_text(text):
    return text.replace("\n", "\r\n").encode("ascii")


def readback_line(value):
    return "Bits lus sur les pins du QUENDAL : %x\n" % value


def program(architecture):
    return os.path.join(BUILDS[architecture], "quendal-bench.exe")


def board(architecture, variant=""):
    return os.path.join(BUILDS[architecture], "virtual-board", variant, "Ftd2xx.dll")


def setUpModule():
    global PREFIX
    PREFIX = WinePrefix()


def tearDownModule():
    if PREFIX is not None:
        PREFIX.close()


class WineTestCase(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory(prefix="quendal-wine-run-")
        self.addCleanup(self.folder.cleanup)
        self.runs = 0

    def start(self, architecture, driver, settings=None):
        """A run in a folder of its own, with a trace that it names."""
        self.runs += 1
        folder = os.path.join(self.folder.name, str(self.runs))
        os.makedirs(folder)
        self.trace_path = os.path.join(folder, "trace.jsonl")
        settings = dict(settings or {})
        settings["VBOARD_TRACE"] = self.trace_path
        run = WineRun(PREFIX, folder, program(architecture), driver, settings)
        self.addCleanup(run.close)
        return run

    def read_trace(self):
        with open(self.trace_path, encoding="ascii") as trace:
            return [json.loads(line) for line in trace]

    def calls(self):
        return [line for line in self.read_trace() if "call" in line]


class WholeRunTest(WineTestCase):
    def test_transcript_and_driver_calls_of_a_whole_run(self):
        # Two slow steps, two fast writes, three readings; the last reading
        # types the key for the read-back and the one for the closing prompt.
        for architecture in BUILDS:
            with self.subTest(architecture=architecture):
                run = self.start(architecture, board(architecture),
                                 {"VBOARD_KEYS": "FT_Write#2,FT_Write#4,FT_GetBitMode#3:kq"})
                self.assertEqual(run.finish(), 0)
                self.assertEqual(run.output(), windows_text(
                    BANNER + SLOW_PROMPT + FAST_PROMPT + readback_line(0xFD) * 3
                    + CLOSING_PROMPT))
                self.assertEqual(run.errors(), b"")

                # On 32-bit, a calling convention that did not match would
                # shift every argument after the first.
                calls = self.calls()
                self.assertEqual([c["call"] for c in calls],
                                 ["FT_Open", "FT_SetBaudRate", "FT_SetBitMode"]
                                 + ["FT_Write"] * 4 + ["FT_GetBitMode"] * 3)
                self.assertTrue(all(c["status"] == 0 for c in calls))
                opened, baud, bit_mode = calls[:3]
                self.assertEqual(opened["index"], 0)
                self.assertEqual(baud["baud"], 115200)
                self.assertEqual((bit_mode["mask"], bit_mode["mode"]), (0x03, 0x01))
                writes = [c for c in calls if c["call"] == "FT_Write"]
                self.assertEqual([c["data"] for c in writes], ["00", "01"] + [FAST_PATTERN] * 2)
                # Loose: the board's clock and Windows' sleep are not the
                # same clock, and may drift apart by a fraction of a tick.
                self.assertGreaterEqual(writes[1]["t_ns"] - writes[0]["t_ns"],
                                        SECOND_NS - MILLISECOND_NS, "a slow step is about 1000 ms")
                self.assertGreaterEqual(writes[3]["t_ns"] - writes[2]["t_ns"],
                                        MILLISECOND_NS * 9 // 10, "a fast step is about 1 ms")
                self.assertEqual([c["value"] for c in calls[-3:]], [0xFD] * 3)


class DriverFailureTest(WineTestCase):
    # (settings, text before the message, message, the calls made). The key
    # that ends the halt is typed during the failing call.
    CASES = [
        ({"VBOARD_DEVICES": "0", "VBOARD_KEYS": "FT_Open#1"}, "",
         "Error : Impossible to open device (2 returned)\n", ["FT_Open"]),
        ({"VBOARD_FAIL": "FT_SetBitMode=0xFFFFFFFF", "VBOARD_KEYS": "FT_SetBitMode#1"}, "",
         "Error : SetBitMode error (-1 returned)\n", ["FT_Open", "FT_SetBaudRate", "FT_SetBitMode"]),
        ({"VBOARD_FAIL": "FT_Write#2=10", "VBOARD_KEYS": "FT_Write#1,FT_Write#2"},
         SLOW_PROMPT + FAST_PROMPT, "Error : Write error (10 returned)\n",
         ["FT_Open", "FT_SetBaudRate", "FT_SetBitMode", "FT_Write", "FT_Write"]),
        ({"VBOARD_FAIL": "FT_GetBitMode#2=4", "VBOARD_KEYS": "FT_Write#1,FT_Write#2,FT_GetBitMode#2"},
         SLOW_PROMPT + FAST_PROMPT + readback_line(0xFD), "Error : GetBitMode error (4 returned)\n",
         ["FT_Open", "FT_SetBaudRate", "FT_SetBitMode", "FT_Write", "FT_Write", "FT_GetBitMode",
          "FT_GetBitMode"]),
    ]

    def test_a_failing_call_halts_with_its_message_and_ends_on_a_key(self):
        for architecture in BUILDS:
            for settings, before, message, made in self.CASES:
                with self.subTest(architecture=architecture, settings=settings):
                    run = self.start(architecture, board(architecture), settings)
                    self.assertEqual(run.finish(), 0)
                    self.assertEqual(run.output(),
                                     windows_text(BANNER + before + message + HALT_PROMPT))
                    self.assertEqual([c["call"] for c in self.calls()], made)


class BindingTest(WineTestCase):
    """Halts that come before any driver call, so the board can type no key:
    the output is checked while the halt waits, then the process is stopped."""

    def assert_halts_waiting(self, run, message):
        expected = windows_text(BANNER + message + HALT_PROMPT)
        run.wait_for_output(expected)
        self.assertTrue(run.running(), "the halt waits for a key")
        self.assertEqual(run.output(), expected)
        self.assertFalse(os.path.exists(self.trace_path), "no driver call may be made")

    def test_without_a_driver_library(self):
        for architecture in BUILDS:
            with self.subTest(architecture=architecture):
                run = self.start(architecture, None)
                self.assert_halts_waiting(run, "Error : Can't load Ftd2xx.dll\n")

    def test_a_missing_entry_point_is_named(self):
        variants = [("missing-" + entry, entry) for entry in ENTRY_POINTS]
        variants.append(("wrong-case", "FT_Open"))
        for architecture in BUILDS:
            for variant, named in variants:
                with self.subTest(architecture=architecture, variant=variant):
                    run = self.start(architecture, board(architecture, variant))
                    self.assert_halts_waiting(run, "Error : Can't find %s\n" % named)


class ImportTableTest(unittest.TestCase):
    def test_the_executables_import_only_system_dlls(self):
        for architecture in BUILDS:
            with self.subTest(architecture=architecture):
                table = {dll.lower(): names
                         for dll, names in imports(architecture, program(architecture)).items()}
                # The driver is loaded at run time and the C++ runtime is
                # linked in: nothing else has to be installed beside the
                # executable.
                self.assertEqual(sorted(table), ["kernel32.dll", "msvcrt.dll", "winmm.dll"])
                self.assertEqual(table["winmm.dll"], ["timeBeginPeriod"])
                # Wine keeps the current directory in the DLL search even
                # after SetDllDirectoryA(""), so that protection can only be
                # seen to be there, not to work, under Wine.
                self.assertIn("SetDllDirectoryA", table["kernel32.dll"])
                self.assertIn("LoadLibraryA", table["kernel32.dll"])
                self.assertIn("GetProcAddress", table["kernel32.dll"])


class ExportTableTest(unittest.TestCase):
    def test_the_virtual_boards_export_undecorated_names(self):
        # As the driver's own DLL: "FT_Open", never "FT_Open@8", on 32-bit too.
        variants = {"": ENTRY_POINTS,
                    "wrong-case": [entry.lower() for entry in ENTRY_POINTS]}
        for entry in ENTRY_POINTS:
            variants["missing-" + entry] = [e for e in ENTRY_POINTS if e != entry]
        for architecture in BUILDS:
            for variant, names in variants.items():
                with self.subTest(architecture=architecture, variant=variant):
                    self.assertEqual(sorted(exports(architecture, board(architecture, variant))),
                                     sorted(names))


def main():
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--x64", required=True)
    parser.add_argument("--x86", required=True)
    options, rest = parser.parse_known_args()
    BUILDS["x64"] = os.path.abspath(options.x64)
    BUILDS["x86"] = os.path.abspath(options.x86)
    unittest.main(argv=[sys.argv[0]] + rest)


if __name__ == "__main__":
    main()
