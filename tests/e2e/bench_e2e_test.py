"""End-to-end runs of quendal-bench on the virtual board.

Usage: bench_e2e_test.py --program PATH --boards DIR [unittest arguments]
DIR is the folder of the virtual board's libftd2xx.so, with its variants in
sub-folders (missing-FT_Open/ ... wrong-case/).
"""
import argparse
import os
import signal
import sys
import tempfile
import time
import unittest

from bench_harness import (BANNER, CLOSING_PROMPT, FAST_PATTERN, FAST_PROMPT, SLOW_PROMPT,
                           BenchRun, call_names, calls, read_trace, read_vcd_levels,
                           readback_line, written_data)

PROGRAM = None
BOARDS = None
SECOND_NS = 1000000000
MILLISECOND_NS = 1000000


class BenchTestCase(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory(prefix="quendal-e2e-")
        self.trace_path = os.path.join(self.folder.name, "trace.jsonl")
        self.vcd_path = os.path.join(self.folder.name, "run.vcd")

    def tearDown(self):
        self.folder.cleanup()

    def start(self, settings=None, library_dir=None, **options):
        settings = dict(settings or {})
        settings.setdefault("VBOARD_TRACE", self.trace_path)
        run = BenchRun(PROGRAM, library_dir or BOARDS, settings, **options)
        self.addCleanup(run.close)
        return run

    def assert_halted_cleanly(self, run, expected_screen):
        """A failure halt: exact text, status 0, the ending key not echoed and
        left pending, and the terminal given back as it was."""
        self.assertEqual(run.finish(), 0, run.errors)
        self.assertEqual(run.screen(), expected_screen)
        self.assertEqual(run.errors, b"")
        self.assertEqual(run.terminal_mode(), run.original_mode)
        self.assertEqual(run.pending_input(), b"k")


class WholeRunTest(BenchTestCase):
    def test_transcript_trace_and_waveform_of_a_whole_run(self):
        # Five slow steps (through the wrap after 0x03), two fast writes, three
        # readings; the last call types the key for the read-back and the
        # one for the closing prompt.
        run = self.start({"VBOARD_KEYS": "FT_Write#5,FT_Write#7,FT_GetBitMode#3:kq",
                          "VBOARD_VCD": self.vcd_path})
        self.assertEqual(run.finish(), 0, run.errors)
        self.assertEqual(run.screen(),
                         BANNER + SLOW_PROMPT + FAST_PROMPT + readback_line(0xFD) * 3
                         + CLOSING_PROMPT)
        self.assertEqual(run.errors, b"")
        self.assertEqual(run.terminal_mode(), run.original_mode)
        self.assertEqual(run.pending_input(), b"", "the closing key is consumed")

        trace = read_trace(self.trace_path)
        self.assertEqual(call_names(trace),
                         ["FT_Open", "FT_SetBaudRate", "FT_SetBitMode"] + ["FT_Write"] * 7
                         + ["FT_GetBitMode"] * 3)
        self.assertTrue(all(line["status"] == 0 for line in calls(trace)))
        opened, baud, bit_mode = calls(trace)[:3]
        self.assertEqual(opened["index"], 0)
        self.assertEqual(baud["baud"], 115200)
        self.assertEqual((bit_mode["mask"], bit_mode["mode"]), (0x03, 0x01))
        self.assertEqual(written_data(trace), ["00", "01", "02", "03", "00"] + [FAST_PATTERN] * 2)
        self.assertEqual([line["value"] for line in calls(trace)[-3:]], [0xFD] * 3)
        self.assertEqual([line["key"] for line in trace if "key" in line], ["k", "k", "k", "q"])

        writes = [line["t_ns"] for line in calls(trace) if line["call"] == "FT_Write"]
        for earlier, later in zip(writes[:5], writes[1:6]):
            self.assertGreaterEqual(later - earlier, SECOND_NS, "a slow step is at least 1000 ms")
        self.assertGreaterEqual(writes[6] - writes[5], MILLISECOND_NS)

        samples = read_vcd_levels(self.vcd_path)
        times = [t for t, _ in samples]
        self.assertEqual(times, sorted(times))
        distinct = [levels for _, levels in samples]
        distinct = [v for i, v in enumerate(distinct) if i == 0 or v != distinct[i - 1]]
        # Inputs high before the bit mode; then the slow count on D1 and D0;
        # then two bursts that end on the pattern's last byte, 0x01.
        self.assertEqual(distinct[:6], [0xFF, 0xFC, 0xFD, 0xFE, 0xFF, 0xFC])
        burst = [0xFE] + [0xFD, 0xFC] * 7 + [0xFD]
        self.assertEqual(distinct[6:], burst * 2)


class TypedAheadTest(BenchTestCase):
    def test_each_key_typed_ahead_ends_one_phase_after_one_pass(self):
        run = self.start({"VBOARD_KEYS": "FT_Open#1:abc"})
        run.wait_for_output(CLOSING_PROMPT)
        self.assertEqual(run.screen(),
                         BANNER + SLOW_PROMPT + FAST_PROMPT + readback_line(0xFD) + CLOSING_PROMPT)
        # The closing prompt waits for a fourth key: a short look, not a
        # measurement.
        time.sleep(0.3)
        self.assertIsNone(run.process.poll(), "the closing prompt must wait for a key")
        run.type(b"z")
        self.assertEqual(run.finish(), 0)
        self.assertEqual(run.pending_input(), b"")

        trace = read_trace(self.trace_path)
        self.assertEqual(written_data(trace), ["00", FAST_PATTERN])
        self.assertEqual(call_names(trace).count("FT_GetBitMode"), 1)
        # A key already waiting does not cut the slow phase's sleep short.
        writes = [line["t_ns"] for line in calls(trace) if line["call"] == "FT_Write"]
        self.assertGreaterEqual(writes[1] - writes[0], SECOND_NS)

    def test_an_arrow_key_ends_three_waits_one_character_each(self):
        # An arrow key arrives as three characters, ESC [ A; each wait takes
        # one, so the read-back's key is the last of them and the closing
        # prompt waits for its own.
        run = self.start({"VBOARD_KEYS": "FT_Write#1:\x1b[A,FT_GetBitMode#1:q"})
        self.assertEqual(run.finish(), 0, run.errors)
        self.assertEqual(run.screen(),
                         BANNER + SLOW_PROMPT + FAST_PROMPT + readback_line(0xFD) + CLOSING_PROMPT)
        self.assertEqual(run.pending_input(), b"")
        self.assertEqual(written_data(read_trace(self.trace_path)), ["00", FAST_PATTERN])


class FailureTest(BenchTestCase):
    # (settings, text before the message, message, the calls made)
    CASES = [
        ({"VBOARD_DEVICES": "0", "VBOARD_KEYS": "FT_Open#1"}, b"",
         b"Error : Impossible to open device (2 returned)\n", ["FT_Open"]),
        ({"VBOARD_FAIL": "FT_Open=3", "VBOARD_KEYS": "FT_Open#1"}, b"",
         b"Error : Impossible to open device (3 returned)\n", ["FT_Open"]),
        ({"VBOARD_FAIL": "FT_SetBaudRate=7", "VBOARD_KEYS": "FT_SetBaudRate#1"}, b"",
         b"Error : SetBaudRate error (7 returned)\n", ["FT_Open", "FT_SetBaudRate"]),
        ({"VBOARD_FAIL": "FT_SetBitMode=0xFFFFFFFF", "VBOARD_KEYS": "FT_SetBitMode#1"}, b"",
         b"Error : SetBitMode error (-1 returned)\n",
         ["FT_Open", "FT_SetBaudRate", "FT_SetBitMode"]),
        ({"VBOARD_FAIL": "FT_Write=4", "VBOARD_KEYS": "FT_Write#1"}, SLOW_PROMPT,
         b"Error : Write error (4 returned)\n",
         ["FT_Open", "FT_SetBaudRate", "FT_SetBitMode", "FT_Write"]),
        ({"VBOARD_FAIL": "FT_Write#2=10", "VBOARD_KEYS": "FT_Write#1,FT_Write#2"},
         SLOW_PROMPT + FAST_PROMPT, b"Error : Write error (10 returned)\n",
         ["FT_Open", "FT_SetBaudRate", "FT_SetBitMode", "FT_Write", "FT_Write"]),
        ({"VBOARD_FAIL": "FT_GetBitMode#2=17",
          "VBOARD_KEYS": "FT_Write#1,FT_Write#2,FT_GetBitMode#2"},
         SLOW_PROMPT + FAST_PROMPT + readback_line(0xFD), b"Error : GetBitMode error (17 returned)\n",
         ["FT_Open", "FT_SetBaudRate", "FT_SetBitMode", "FT_Write", "FT_Write", "FT_GetBitMode",
          "FT_GetBitMode"]),
    ]

    def test_each_failing_call_halts_with_its_message_and_makes_no_further_call(self):
        for settings, before, message, made in self.CASES:
            with self.subTest(settings=settings):
                run = self.start(settings)
                self.assert_halted_cleanly(run, BANNER + before + message + b"Hit any key ")
                self.assertEqual(call_names(read_trace(self.trace_path)), made)


class BindingTest(BenchTestCase):
    def halt_on_key(self, library_dir, message):
        run = self.start(library_dir=library_dir)
        run.wait_for_output(b"Hit any key ")
        run.type(b"k")
        self.assert_halted_cleanly(run, BANNER + message + b"Hit any key ")
        self.assertFalse(os.path.exists(self.trace_path), "no driver call may be made")

    def test_a_missing_entry_point_is_named(self):
        for entry in ["FT_Open", "FT_SetBitMode", "FT_Write", "FT_SetBaudRate", "FT_GetBitMode"]:
            with self.subTest(entry=entry):
                self.halt_on_key(os.path.join(BOARDS, "missing-" + entry),
                                 b"Error : Can't find %s\n" % entry.encode())

    def test_names_that_differ_only_in_letter_case_do_not_bind(self):
        self.halt_on_key(os.path.join(BOARDS, "wrong-case"), b"Error : Can't find FT_Open\n")

    def test_without_a_driver_library(self):
        self.halt_on_key(self.folder.name, b"Error : Can't load libftd2xx.so\n")


class InterruptTest(BenchTestCase):
    def test_ctrl_c_ends_the_program_by_sigint_and_gives_the_terminal_back(self):
        run = self.start({"VBOARD_KEYS": "FT_Write#2:\x03"})
        self.assertEqual(run.finish(), -signal.SIGINT)
        self.assertEqual(run.screen(), BANNER + SLOW_PROMPT)
        self.assertEqual(run.terminal_mode(), run.original_mode)
        trace = read_trace(self.trace_path)
        self.assertEqual(written_data(trace), ["00", "01"])
        self.assertEqual(trace[-1]["key"], "\x03")

    def test_trace_and_waveform_are_whole_after_sigkill(self):
        run = self.start({"VBOARD_KEYS": "FT_Open#1:ab", "VBOARD_VCD": self.vcd_path})
        run.wait_for_output(readback_line(0xFD) * 20)
        run.process.kill()
        self.assertEqual(run.finish(), -signal.SIGKILL)
        trace = read_trace(self.trace_path)  # Every line parses.
        self.assertGreaterEqual(call_names(trace).count("FT_GetBitMode"), 20)
        with open(self.vcd_path, encoding="ascii") as vcd:
            self.assertTrue(vcd.read().endswith("\n"))
        self.assertEqual(read_vcd_levels(self.vcd_path)[-1][1], 0xFD)


class PipeTest(BenchTestCase):
    def test_piped_keys_and_the_end_of_input(self):
        # Three keys end the phases; the end of input then counts as the
        # closing key. With no keys at all, the end of input ends every wait.
        for piped in [b"abc", b""]:
            with self.subTest(piped=piped):
                run = self.start(keyboard="pipe", piped_input=piped)
                self.assertEqual(run.finish(), 0)
                self.assertEqual(run.output, BANNER + SLOW_PROMPT + FAST_PROMPT
                                 + readback_line(0xFD) + CLOSING_PROMPT)
                self.assertEqual(run.errors, b"")

    def test_the_board_types_into_a_piped_input(self):
        run = self.start({"VBOARD_KEYS": "FT_Write#2,FT_Write#3,FT_GetBitMode#2:kq"},
                         keyboard="pipe")
        self.assertEqual(run.finish(), 0)
        self.assertEqual(run.output, BANNER + SLOW_PROMPT + FAST_PROMPT
                         + readback_line(0xFD) * 2 + CLOSING_PROMPT)
        self.assertEqual(written_data(read_trace(self.trace_path)), ["00", "01", FAST_PATTERN])


class BoardSettingsTest(BenchTestCase):
    def test_inputs_latency_and_clock_factor_shape_the_run(self):
        run = self.start({"VBOARD_KEYS": "FT_Open#1:ab,FT_GetBitMode#3:kq",
                          "VBOARD_INPUTS": "0x0A", "VBOARD_LATENCY_US": "FT_GetBitMode=20000",
                          "VBOARD_CLOCK_FACTOR": "4", "VBOARD_VCD": self.vcd_path})
        self.assertEqual(run.finish(), 0)
        # Inputs D2-D7 read 0x08; the outputs hold the pattern's last byte.
        self.assertEqual(run.screen(), BANNER + SLOW_PROMPT + FAST_PROMPT
                         + readback_line(0x09) * 3 + CLOSING_PROMPT)
        readings = [line["t_ns"] for line in calls(read_trace(self.trace_path))
                    if line["call"] == "FT_GetBitMode"]
        self.assertGreaterEqual(readings[2] - readings[0], 2 * 20 * MILLISECOND_NS)
        # The fast burst's bytes are one byte clock apart: 1 / (115200 x 4) s.
        samples = read_vcd_levels(self.vcd_path)
        burst_times = [t for t, _ in samples][-16:]
        steps = [b - a for a, b in zip(burst_times, burst_times[1:])]
        self.assertTrue(all(2160 <= step <= 2180 for step in steps), steps)

    def test_a_malformed_setting_is_named_and_fails_the_open(self):
        for settings, variable in [({"VBOARD_FAIL": "FT_Wrte=4"}, b"VBOARD_FAIL"),
                                   ({"VBOARD_INPUTS": "0x100"}, b"VBOARD_INPUTS"),
                                   ({"VBOARD_CLOCK": "4"}, b"VBOARD_CLOCK")]:
            with self.subTest(settings=settings):
                run = self.start(settings)
                run.wait_for_output(b"Hit any key ")
                run.type(b"k")
                self.assertEqual(run.finish(), 0)
                self.assertEqual(run.screen(), BANNER
                                 + b"Error : Impossible to open device (18 returned)\n"
                                 + b"Hit any key ")
                self.assertEqual(run.errors.count(b"\n"), 1, run.errors)
                self.assertTrue(run.errors.startswith(b"virtual board: " + variable + b": "),
                                run.errors)


def main():
    global PROGRAM, BOARDS
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--boards", required=True)
    options, rest = parser.parse_known_args()
    PROGRAM, BOARDS = options.program, options.boards
    unittest.main(argv=[sys.argv[0], *rest])


if __name__ == "__main__":
    main()
