"""End-to-end runs of quendal-bench on the virtual board, in a real terminal
and with piped keys."""
import json
import os
import re
import signal
import time
from unittest import mock

import harness
from harness import cases, texts
from harness.texts import as_bytes

SECOND_NS = 1000000000
MILLISECOND_NS = 1000000


class WholeRunTest(harness.BenchTestCase):
    def test_transcript_trace_and_waveform_of_a_whole_run(self):
        # Five slow steps (through the wrap after 0x03), two fast writes, three
        # readings; the last call types the key for the read-back and the
        # one for the closing prompt.
        run = self.start({"VBOARD_KEYS": "FT_Write#5,FT_Write#7,FT_GetBitMode#3:kq",
                          "VBOARD_VCD": self.vcd_path})
        self.assertEqual(run.finish(), 0, run.errors)
        self.assertEqual(run.screen(), as_bytes(texts.whole_run(3)))
        self.assertEqual(run.errors, b"")
        self.assertEqual(run.terminal_mode(), run.original_mode)
        self.assertEqual(run.pending_input(), b"", "the closing key is consumed")

        trace = self.trace()
        self.assertEqual(trace.names, texts.SETUP_CALLS + ["FT_Write"] * 7 + ["FT_GetBitMode"] * 3)
        self.assertEqual(cases.traced_setup(trace), cases.SETUP)
        self.assertTrue(all(line["status"] == 0 for line in trace.calls))
        self.assertEqual(trace.written, ["00", "01", "02", "03", "00"] + [texts.FAST_PATTERN] * 2)
        self.assertEqual([line["value"] for line in trace.calls[-3:]], [texts.READBACK_VALUE] * 3)
        self.assertEqual(trace.keys, ["k", "k", "k", "q"])

        writes = trace.times("FT_Write")
        for earlier, later in zip(writes[:5], writes[1:6]):
            self.assertGreaterEqual(later - earlier, SECOND_NS, "a slow step is at least 1000 ms")
        self.assertGreaterEqual(writes[6] - writes[5], MILLISECOND_NS)

        samples = harness.read_vcd_levels(self.vcd_path)
        times = [t for t, _ in samples]
        self.assertEqual(times, sorted(times))
        distinct = [levels for _, levels in samples]
        distinct = [v for i, v in enumerate(distinct) if i == 0 or v != distinct[i - 1]]
        # Inputs high before the bit mode; then the slow count on D1 and D0;
        # then two bursts that end on the pattern's last byte, 0x01.
        self.assertEqual(distinct[:6], [0xFF, 0xFC, 0xFD, 0xFE, 0xFF, 0xFC])
        burst = [0xFE] + [0xFD, 0xFC] * 7 + [0xFD]
        self.assertEqual(distinct[6:], burst * 2)


class TypedAheadTest(harness.BenchTestCase):
    def test_each_key_typed_ahead_ends_one_phase_after_one_pass(self):
        # A quote and a backslash among them, which the trace must escape.
        run = self.start({"VBOARD_KEYS": 'FT_Open#1:"\\c'})
        run.wait_for_output(as_bytes(texts.CLOSING_PROMPT))
        self.assertEqual(run.screen(), as_bytes(texts.whole_run(1)))
        # The closing prompt waits for a fourth key: a short look, not a
        # measurement.
        time.sleep(0.3)
        self.assertTrue(run.running(), "the closing prompt must wait for a key")
        run.type(b"z")
        self.assertEqual(run.finish(), 0)
        self.assertEqual(run.pending_input(), b"")

        trace = self.trace()
        self.assertEqual(trace.keys, ['"', "\\", "c"])
        self.assertEqual(trace.written, ["00", texts.FAST_PATTERN])
        self.assertEqual(trace.names.count("FT_GetBitMode"), 1)
        # A key already waiting does not cut the slow phase's sleep short.
        writes = trace.times("FT_Write")
        self.assertGreaterEqual(writes[1] - writes[0], SECOND_NS)

    def test_an_arrow_key_ends_three_waits_one_character_each(self):
        # An arrow key arrives as three characters, ESC [ A; each wait takes
        # one, so the read-back's key is the last of them and the closing
        # prompt waits for its own.
        run = self.start({"VBOARD_KEYS": "FT_Write#1:\x1b[A,FT_GetBitMode#1:q"})
        self.assertEqual(run.finish(), 0, run.errors)
        self.assertEqual(run.screen(), as_bytes(texts.whole_run(1)))
        self.assertEqual(run.pending_input(), b"")
        self.assertEqual(self.trace().written, ["00", texts.FAST_PATTERN])


class FailureTest(harness.BenchTestCase):
    def test_each_failing_call_halts_with_its_message_and_makes_no_further_call(self):
        for case in cases.FAILURE_CASES:
            with self.subTest(settings=case.settings):
                run = self.start(case.settings)
                self.assert_halted_cleanly(
                    run, texts.halt(cases.failure_message(case), case.before))
                self.assertEqual(self.trace().names, case.made)


class BindingTest(harness.BenchTestCase):
    def assert_halts_before_any_call(self, library_dir, message):
        run = self.start(library_dir=library_dir)
        run.wait_for_output(as_bytes(texts.HIT_ANY_KEY))
        run.type(b"k")
        self.assert_halted_cleanly(run, texts.halt(message))
        self.assertFalse(os.path.exists(self.trace_path), "no driver call may be made")

    def test_a_missing_entry_point_is_named_before_any_call(self):
        for case in cases.BINDING_CASES:
            with self.subTest(variant=case.variant):
                self.assert_halts_before_any_call(harness.runner.boards(case.variant),
                                                  case.message)

    def test_a_library_that_cannot_resolve_its_own_symbols_is_not_loaded(self):
        # Its FT_Open calls a function that no library defines: loaded lazily,
        # the run would die at that call instead of halting.
        self.assert_halts_before_any_call(harness.runner.boards("unresolved"), texts.cant_load())

    def test_no_library_is_named_before_any_call_whatever_the_caller_sets(self):
        board = harness.runner.boards()
        for caller in [{}, {"LD_LIBRARY_PATH": board},
                       {"LD_PRELOAD": os.path.join(board, "libftd2xx.so")}]:
            with self.subTest(caller=caller), mock.patch.dict(os.environ, caller):
                self.assert_halts_before_any_call(harness.runner.NO_DRIVER, texts.cant_load())


class InterruptTest(harness.BenchTestCase):
    def test_ctrl_c_ends_the_program_by_sigint_and_gives_the_terminal_back(self):
        run = self.start({"VBOARD_KEYS": "FT_Write#2:\x03"})
        self.assertEqual(run.finish(), -signal.SIGINT)
        self.assertEqual(run.screen(), as_bytes(texts.BANNER + texts.SLOW_PROMPT))
        self.assertEqual(run.terminal_mode(), run.original_mode)
        trace = self.trace()
        self.assertEqual(trace.written, ["00", "01"])
        self.assertEqual(trace.keys[-1], "\x03")

    def test_trace_and_waveform_are_whole_after_sigkill(self):
        run = self.start({"VBOARD_KEYS": "FT_Open#1:ab", "VBOARD_VCD": self.vcd_path})
        run.wait_for_output(as_bytes(texts.readback_line() * 20))
        run.process.kill()
        self.assertEqual(run.finish(), -signal.SIGKILL)
        # The kill can cut the record being written, which is then the last
        # line and has no line end; every line before it is whole.
        vcd_record = re.compile(r"#\d+|[01][!-(]|\$dumpvars|\$end")
        for path, is_whole in [(self.trace_path, lambda line: isinstance(json.loads(line), dict)),
                               (self.vcd_path, vcd_record.fullmatch)]:
            with open(path, encoding="ascii") as records:
                *lines, _ = records.read().split("\n")
            if path == self.vcd_path:
                lines = lines[lines.index("$enddefinitions $end") + 1:]
            for line in lines:
                with self.subTest(path=os.path.basename(path), line=line):
                    self.assertTrue(is_whole(line))
        self.assertGreaterEqual(self.trace().names.count("FT_GetBitMode"), 20)
        self.assertEqual(harness.read_vcd_levels(self.vcd_path)[-1][1], texts.READBACK_VALUE)

    def test_the_readers_leave_out_a_cut_last_record(self):
        run = self.start({"VBOARD_KEYS": "FT_Open#1:abcd", "VBOARD_VCD": self.vcd_path})
        self.assertEqual(run.finish(), 0)
        for path, read in [(self.trace_path, lambda path: harness.Trace(path).lines),
                           (self.vcd_path, harness.read_vcd_levels)]:
            with open(path, encoding="ascii") as records:
                text = records.read()
            last = text.rstrip("\n").rfind("\n") + 1
            copies = {}
            for name, length in [("without", last), ("cut", (last + len(text)) // 2)]:
                copies[name] = os.path.join(self.folder, name)
                with open(copies[name], "w", encoding="ascii") as copy:
                    copy.write(text[:length])
            with self.subTest(path=os.path.basename(path)):
                self.assertEqual(read(copies["cut"]), read(copies["without"]))


class PipeTest(harness.BenchTestCase):
    def test_piped_keys_and_the_end_of_input(self):
        # Three keys end the phases; the end of input then counts as the
        # closing key. With no keys at all, the end of input ends every wait.
        for piped in [b"abc", b""]:
            with self.subTest(piped=piped):
                run = self.start(keyboard="pipe", piped_input=piped)
                self.assertEqual(run.finish(), 0)
                self.assertEqual(run.output, as_bytes(texts.whole_run(1)))
                self.assertEqual(run.errors, b"")

    def test_the_board_types_into_a_piped_input(self):
        run = self.start({"VBOARD_KEYS": "FT_Write#2,FT_Write#3,FT_GetBitMode#2:kq"},
                         keyboard="pipe")
        self.assertEqual(run.finish(), 0)
        self.assertEqual(run.output, as_bytes(texts.whole_run(2)))
        self.assertEqual(self.trace().written, ["00", "01", texts.FAST_PATTERN])


class BoardSettingsTest(harness.BenchTestCase):
    def test_inputs_latency_and_clock_factor_shape_the_run(self):
        run = self.start({"VBOARD_KEYS": "FT_Open#1:ab,FT_GetBitMode#3:kq",
                          "VBOARD_INPUTS": "0x0A", "VBOARD_LATENCY_US": "FT_GetBitMode=20000",
                          "VBOARD_CLOCK_FACTOR": "4", "VBOARD_VCD": self.vcd_path})
        self.assertEqual(run.finish(), 0)
        # Inputs D2-D7 read 0x08; the outputs hold the pattern's last byte.
        self.assertEqual(run.screen(), as_bytes(texts.whole_run(3, 0x09)))
        readings = self.trace().times("FT_GetBitMode")
        self.assertGreaterEqual(readings[2] - readings[0], 2 * 20 * MILLISECOND_NS)
        # The fast burst's bytes are one byte clock apart, 1 / (115200 x 4) s
        # = 2170 ns, each within one time unit of the waveform.
        samples = harness.read_vcd_levels(self.vcd_path)
        burst_times = [t for t, _ in samples][-17:-1]  # The last is the closing time stamp.
        steps = [b - a for a, b in zip(burst_times, burst_times[1:])]
        tolerance = 10 + harness.records.vcd_timescale_ns(self.vcd_path)
        self.assertTrue(all(abs(step - 2170) <= tolerance for step in steps), steps)

    def test_a_malformed_setting_is_named_and_fails_the_open(self):
        # Also a record file that cannot be made, and keys with nowhere to go.
        missing = os.path.join(self.folder, "missing", "file")
        for settings, variable in [({"VBOARD_FAIL": "FT_Wrte=4"}, b"VBOARD_FAIL"),
                                   ({"VBOARD_INPUTS": "0x100"}, b"VBOARD_INPUTS"),
                                   ({"VBOARD_CLOCK": "4"}, b"VBOARD_CLOCK"),
                                   ({"VBOARD_TRACE": missing}, b"VBOARD_TRACE"),
                                   ({"VBOARD_VCD": missing}, b"VBOARD_VCD"),
                                   ({"VBOARD_VCD": "/dev/full"}, b"VBOARD_VCD"),
                                   ({"VBOARD_KEYS": "FT_Write#1"}, b"VBOARD_KEYS"),
                                   ({"VBOARD_KEYS": "FT_Write#1", "VBOARD_KEY_FD": "99"},
                                    b"VBOARD_KEY_FD")]:
            with self.subTest(settings=settings):
                run = self.start(settings, board_key_fd=False)
                run.wait_for_output(as_bytes(texts.HIT_ANY_KEY))
                run.type(b"k")
                self.assertEqual(run.finish(), 0)
                self.assertEqual(run.screen(), as_bytes(texts.halt(texts.failure("FT_Open", 18))))
                self.assertEqual(run.errors.count(b"\n"), 1, run.errors)
                self.assertTrue(run.errors.startswith(b"virtual board: " + variable + b": "),
                                run.errors)


class BoardErrorTest(harness.BenchTestCase):
    """The board's errors during a run: each is told once on standard error,
    and the run goes on."""

    def test_a_trace_that_cannot_be_written_is_told_once_and_no_more_is_written(self):
        run = self.start({"VBOARD_TRACE": "/dev/full"}, keyboard="pipe", piped_input=b"abc")
        self.assertEqual(run.finish(), 0)
        self.assertEqual(run.output, as_bytes(texts.whole_run(1)))
        self.assertEqual(run.errors, b"virtual board: VBOARD_TRACE: writing failed; "
                                     b"no more records are written\n")

    def test_typed_keys_that_never_reach_the_program_are_told(self):
        # The board types into the reading side of the program's input pipe,
        # where no write goes; the keys piped in end the phases.
        run = self.start({"VBOARD_KEYS": "FT_Write#1:k", "VBOARD_KEY_FD": "0"},
                         keyboard="pipe", piped_input=b"abc", board_key_fd=False)
        self.assertEqual(run.finish(), 0)
        self.assertEqual(run.output, as_bytes(texts.whole_run(1)))
        self.assertEqual(run.errors, b"virtual board: VBOARD_KEYS: the keys typed during "
                                     b"FT_Write#1 did not reach the program's input\n")


if __name__ == "__main__":
    harness.main()
