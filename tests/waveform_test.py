"""The virtual board's waveform as a logic analyser's software reads it:
libsigrok's VCD import (the one PulseView uses), through sigrok-cli."""
import os
import shutil
import subprocess
import sys
import unittest
from xml.etree import ElementTree

import harness
from harness import texts

PATTERN = bytes.fromhex(texts.FAST_PATTERN)
PICTURE_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "scripts",
                              "vcd-to-svg.py")
SVG = "{http://www.w3.org/2000/svg}"


def d1_d0_steps(samples):
    """The levels of D1/D0 after the bit mode is set, one entry per change."""
    steps = []
    for _, levels in samples[1:]:
        value = levels & 0x03
        if not steps or steps[-1] != value:
            steps.append(value)
    return steps


@unittest.skipUnless(shutil.which("sigrok-cli"), "needs sigrok-cli (scripts/install-deps.sh --tests)")
class SigrokImportTest(harness.BenchTestCase):
    def test_a_whole_run_imports_with_every_change_at_its_time(self):
        # Four slow steps (0 to 3), two fast writes, one reading.
        run = self.start({"VBOARD_KEYS": "FT_Write#4,FT_Write#6,FT_GetBitMode#1:kq",
                          "VBOARD_VCD": self.vcd_path})
        self.assertEqual(run.finish(), 0, run.errors)

        imported = os.path.join(self.folder, "imported.vcd")
        # The import's defaults: no downsampling, so one sample per time unit.
        result = subprocess.run(["sigrok-cli", "-I", "vcd", "-i", self.vcd_path,
                                 "-O", "vcd", "-o", imported],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                timeout=harness.SAFETY_TIMEOUT)
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertEqual(harness.records.vcd_timescale_ns(imported), 100, "a 10 MHz sample rate")

        board = harness.read_vcd_levels(self.vcd_path)
        seen = harness.read_vcd_levels(imported)
        steps = d1_d0_steps(seen)
        self.assertEqual(steps[:4], [0, 1, 2, 3])
        self.assertEqual(steps[4:20], list(PATTERN), "each byte of the first burst, apart")
        # The import ends its samples at the file's last time stamp: the
        # board's closing one, after the last change, so that the last byte
        # of the last burst shows too.
        self.assertEqual(seen, board)
        self.assertEqual(seen[-2][1] & 0x03, PATTERN[-1])
        self.assertEqual(seen[-1][1], seen[-2][1], "the closing time stamp changes nothing")


class PictureTest(harness.BenchTestCase):
    def test_the_picture_script_draws_the_slow_count_and_a_burst(self):
        run = self.start({"VBOARD_KEYS": "FT_Write#4,FT_Write#6,FT_GetBitMode#1:kq",
                          "VBOARD_VCD": self.vcd_path})
        self.assertEqual(run.finish(), 0, run.errors)
        picture = os.path.join(self.folder, "run.svg")
        result = subprocess.run([sys.executable, PICTURE_SCRIPT, self.vcd_path, picture],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                timeout=harness.SAFETY_TIMEOUT)
        self.assertEqual(result.returncode, 0, result.stdout)
        svg = ElementTree.parse(picture).getroot()
        titles = [text.text for text in svg.iter(SVG + "text") if text.get("class") == "title"]
        self.assertEqual(len(titles), 2, "the slow count, then the first burst")
        self.assertEqual(len(svg.findall(SVG + "polyline")), 4, "D0 and D1 in each")


if __name__ == "__main__":
    harness.main()
