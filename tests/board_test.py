"""scripts/test-board.sh, the board test of a bench rig, on FT232R chips
emulated at the USB device-file level (wire/ft232r.py): the script sees only
the emulated chips, and the tests check what reached them."""
import os

from wire.system_python import run_under_system_python

run_under_system_python()

import re  # noqa: E402
import subprocess  # noqa: E402
import tempfile  # noqa: E402
import unittest  # noqa: E402

import harness  # noqa: E402
from harness import runner, texts  # noqa: E402
from wire.ft232r import BULK_OUT, READ_PINS, EmulatedBus, EmulatedFt232r  # noqa: E402

SCRIPT = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                      "scripts", "test-board.sh")
PASSED, FAILED, NOTHING_TO_TEST, NOT_RUN = 0, 1, 2, 3
DEVICE = "0403:6001, no serial, usb port 1-1 (/dev/bus/usb/001/002)"


@unittest.skipUnless(os.environ.get("QUENDAL_BUILD_TYPE") == "Release" and not harness.emulated,
                     "a native release build only: umockdev's preload library can go neither "
                     "into a sanitizer build nor into an emulated program")
class BoardScriptTestCase(unittest.TestCase):
    def environment(self, bus):
        """The script's environment: it sees only `bus`, and the "installed"
        driver it finds is the virtual board, whatever this machine has."""
        return runner.environment(runner.boards(), extra=bus.environment())

    def board_test(self, bus, *args, build=None):
        """Runs the script to its end; returns its status and output."""
        build = build or os.path.dirname(runner.program())
        done = subprocess.run([SCRIPT, "--build", build, *args], env=self.environment(bus),
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=runner.SAFETY_TIMEOUT)
        return done.returncode, done.stdout + done.stderr

    def driver_line(self, output, driver):
        lines = [line for line in output.splitlines() if line.startswith(driver + ":")]
        self.assertEqual(len(lines), 1, output)
        return lines[0]


class BoardRunTest(BoardScriptTestCase):
    def test_sound_chip_passes_through_both_drivers(self):
        chip = EmulatedFt232r()
        with EmulatedBus(chip) as bus:
            status, output = self.board_test(bus, "--yes")
        self.assertEqual(status, PASSED, output)
        for driver, folder in (("installed", runner.boards()), ("adapter", runner.adapter())):
            library = os.path.abspath(os.path.join(folder, texts.LIBRARY_LINUX))
            self.assertRegex(self.driver_line(output, driver),
                             r"^%s: %s; device %s; phases slow [\d.]+ s, fast [\d.]+ s, "
                             r"read-back [\d.]+ s; read back fd \(\d+ readings\); pass$"
                             % (driver, re.escape(library), re.escape(DEVICE)))
        # The adapter's run: every phase on the chip.
        writes = chip.bulk_writes()
        self.assertEqual(writes[0], "00")
        self.assertIn(texts.FAST_PATTERN, writes)
        self.assertTrue(chip.requests(READ_PINS))

    def test_faulty_chip_fails(self):
        for what, fault, verdict in [
                # D0 low: a pin shorted to ground.
                ("pins read back wrong", {"pin_read": 0xFC},
                 r"; read back fc \(\d+ readings\); fail: .*fc$"),
                # Past the slow phase's few writes, in the fast bursts.
                ("unplugged in the fast phase", {"unplug": (BULK_OUT, 20)},
                 r"; phases slow [\d.]+ s, fast [\d.]+ s; read back none; "
                 r"fail: Error : Write error \(4 returned\)$")]:
            with self.subTest(what):
                with EmulatedBus(EmulatedFt232r(**fault)) as bus:
                    status, output = self.board_test(bus, "--yes", "--driver", "adapter")
                self.assertEqual(status, FAILED, output)
                self.assertRegex(self.driver_line(output, "adapter"), verdict)
                self.assertNotIn("installed:", output)


class BoardRefusalTest(BoardScriptTestCase):
    def test_unasked_without_a_terminal_names_the_device_and_sends_nothing(self):
        chip = EmulatedFt232r()
        with EmulatedBus(chip) as bus:
            status, output = self.board_test(bus)
        self.assertEqual(status, NOT_RUN, output)
        self.assertIn("FTDI device: " + DEVICE, output)
        self.assertEqual(chip.transfers, [])

    def test_no_at_the_terminal_sends_nothing(self):
        chip = EmulatedFt232r()
        with EmulatedBus(chip) as bus:
            run = runner.Run([SCRIPT, "--build", os.path.dirname(runner.program())],
                             self.environment(bus))
            self.addCleanup(run.close)
            run.wait_for_output(b"[y/N] ")
            run.type(b"n\n")
            self.assertEqual(run.finish(), NOT_RUN, run.output)
        self.assertEqual(chip.transfers, [])

    def test_nothing_to_test(self):
        # A build without the adapter.
        build = tempfile.TemporaryDirectory(prefix="quendal-test-")
        self.addCleanup(build.cleanup)
        os.symlink(os.path.abspath(runner.program()), os.path.join(build.name, "quendal-bench"))
        for what, chips, args, folder in [
                ("no chip", [], ["--yes"], None),
                ("no driver", [EmulatedFt232r()], ["--yes", "--driver", "adapter"], build.name)]:
            with self.subTest(what):
                with EmulatedBus(*chips) as bus:
                    status, output = self.board_test(bus, *args, build=folder)
                self.assertEqual(status, NOTHING_TO_TEST, output)
                self.assertFalse([line for line in output.splitlines()
                                  if line.startswith(("installed:", "adapter:"))], output)
                for chip in chips:
                    self.assertEqual(chip.transfers, [])


if __name__ == "__main__":
    harness.main()
