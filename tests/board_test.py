"""scripts/test-board.sh, the board test of a bench rig, on FT232R chips
emulated at the USB device-file level (wire/ft232r.py): the script sees only
the emulated chips, and the tests check what reached them."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import harness
from harness import runner, texts
from wire.ft232r import BULK_OUT, READ_PINS, RESET, EmulatedBus, EmulatedFt232r

SCRIPT = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                      "scripts", "test-board.sh")
PASSED, FAILED, REFUSED, NOT_RUN, USAGE = 0, 1, 2, 3, 64
DEVICE = "0403:6001, no serial, usb port 1-1 (/dev/bus/usb/001/002), no kernel driver"
# A user without access to the device nodes, for a run as root.
NOBODY = 65534


def board():
    return EmulatedFt232r(serial="BOARD001")


def cable(**faults):
    """A USB-serial console cable: an FTDI device that is not the board."""
    return EmulatedFt232r(serial="CONSOLE9", **faults)


def opened(chip):
    """How many times a driver opened the chip: each open resets it."""
    return len([t for t in chip.requests(RESET) if t.value == 0])


@unittest.skipUnless(os.environ.get("QUENDAL_BUILD_TYPE") == "Release" and not harness.emulated,
                     "a native release build only: umockdev's preload library can go neither "
                     "into a sanitizer build nor into an emulated program")
class BoardScriptTestCase(unittest.TestCase):
    def environment(self, bus, installed=None):
        """The script's environment: it sees only `bus`, and the "installed"
        driver it finds is the one in the folder `installed` (default: the
        virtual board), whatever this machine has."""
        return runner.environment(installed or runner.boards(), extra=bus.environment())

    def board_test(self, bus, *args, build=None, installed=None, prefix=()):
        """Runs the script to its end (behind `prefix`); returns its status
        and output."""
        build = build or os.path.dirname(runner.program())
        done = subprocess.run([*prefix, SCRIPT, "--build", build, *args],
                              env=self.environment(bus, installed),
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=runner.SAFETY_TIMEOUT)
        return done.returncode, done.stdout + done.stderr

    def asking(self, bus):
        """The script started at a terminal, once it asks whether to run."""
        run = runner.Run([SCRIPT, "--build", os.path.dirname(runner.program())],
                         self.environment(bus))
        self.addCleanup(run.close)
        run.wait_for_output(b"[y/N] ")
        return run

    def installed_adapter(self):
        """A private library folder with the adapter in it, as a bench's
        installed driver: then both drivers reach the emulated chips."""
        folder = tempfile.TemporaryDirectory(prefix="quendal-installed-")
        self.addCleanup(folder.cleanup)
        shutil.copy(os.path.join(runner.adapter(), texts.LIBRARY_LINUX), folder.name)
        return folder.name

    def assert_nothing_ran(self, output, *chips):
        self.assertFalse([line for line in output.splitlines()
                          if line.startswith(("installed:", "adapter:"))], output)
        for chip in chips:
            self.assertEqual((chip.transfers, chip.detached), ([], []), chip.serial)

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


class BoardChoiceTest(BoardScriptTestCase):
    def test_only_the_chosen_chip_is_driven_through_each_driver(self):
        installed = self.installed_adapter()
        held = dict(kernel_driver="ftdi_sio")
        # (what, the chosen chip, the other, whether the chosen one is last
        # on the bus, the options, what the chosen one has detached): libusb
        # lists the last device first, so both places are tried.
        for what, chosen, other, last, options, detached in [
                ("the first of two", board(), cable(), False, [], []),
                ("the last of two", board(), cable(), True, [], []),
                ("the other held by ftdi_sio", board(), cable(**held), True, [], []),
                ("itself held by ftdi_sio, the adapter only",
                 EmulatedFt232r(serial="BOARD001", **held), cable(), False,
                 ["--driver", "adapter"], ["ftdi_sio"])]:
            with self.subTest(what):
                with EmulatedBus(*([other, chosen] if last else [chosen, other])) as bus:
                    status, output = self.board_test(bus, "--yes", "--serial", "BOARD001",
                                                      *options, installed=installed)
                self.assertEqual(status, PASSED, output)
                drivers = ["adapter"] if options else ["installed", "adapter"]
                for driver in drivers:
                    line = self.driver_line(output, driver)
                    self.assertIn(", serial BOARD001, ", line)
                    self.assertEqual("; detaches ftdi_sio (" in line, bool(detached), line)
                self.assertEqual(opened(chosen), len(drivers), output)
                self.assertEqual(chosen.detached, detached)
                self.assertEqual((other.transfers, other.detached), ([], []), output)


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
            run = self.asking(bus)
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
                self.assertEqual(status, REFUSED, output)
                self.assert_nothing_ran(output, *chips)

    def test_options_come_before_the_device_search_and_help_lists_each_status(self):
        with EmulatedBus() as bus:
            status, output = self.board_test(bus, "--yes", build="/nonexistent")
            self.assertEqual(status, USAGE, output)
            self.assertIn("no build folder /nonexistent", output)
            status, output = self.board_test(bus, "--help")
        self.assertEqual(status, PASSED, output)
        listed = re.findall(r"^  (\d+) ", output.split("exit status:\n")[1], re.M)
        self.assertEqual(listed, [str(s) for s in (PASSED, FAILED, REFUSED, NOT_RUN, USAGE)])

    def test_refusals_say_what_to_do_and_send_nothing(self):
        listed = ["0403:6001, serial BOARD001, usb port 1-1 (/dev/bus/usb/001/002), "
                  "no kernel driver",
                  "0403:6001, serial CONSOLE9, usb port 1-2 (/dev/bus/usb/001/003), "
                  "held by ftdi_sio"]
        for what, chips, args, expected in [
                ("two devices, none chosen", [board(), cable(kernel_driver="ftdi_sio")], [],
                 ["2 FTDI devices are attached: choose one with --serial SERIAL"] + listed),
                ("a serial not attached", [board(), cable(kernel_driver="ftdi_sio")],
                 ["--serial", "BOARD002"], ["No FTDI device has serial BOARD002"] + listed),
                ("held by ftdi_sio", [EmulatedFt232r(serial="BOARD001", kernel_driver="ftdi_sio")],
                 [], ["unbind it with  echo -n 1-1:1.0 | sudo tee "
                      "/sys/bus/usb/drivers/ftdi_sio/unbind  "]),
                ("a product id no driver opens", [EmulatedFt232r(product=0x8C81)], [],
                 ["has product id 8c81, which neither driver opens"])]:
            with self.subTest(what):
                with EmulatedBus(*chips) as bus:
                    status, output = self.board_test(bus, "--yes", *args)
                self.assertEqual(status, REFUSED, output)
                for text in expected:
                    self.assertIn(text, output)
                self.assert_nothing_ran(output, *chips)

    def test_a_user_without_access_is_told_the_udev_rule(self):
        prefix = []
        if os.geteuid() == 0:
            prefix = ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups"]
            # A clone in root's home (mode 700) is out of every other user's reach.
            for needed in (SCRIPT, runner.program()):
                if subprocess.run(prefix + ["test", "-x", needed]).returncode != 0:
                    self.skipTest("user %d cannot run %s" % (NOBODY, needed))
        chip = EmulatedFt232r(serial="BOARD001", node_mode=0o644)
        with EmulatedBus(chip) as bus:
            bus.open_to_all()
            status, output = self.board_test(bus, "--yes", prefix=prefix)
        self.assertEqual(status, REFUSED, output)
        self.assertRegex(output, r"no write access to its node /dev/bus/usb/001/002 for \S+: "
                         r"install the udev rule packaging/udev/70-quendal-ftdi.rules .*plugdev")
        self.assert_nothing_ran(output, chip)

    def test_a_device_gone_before_its_run(self):
        chip = board()
        with EmulatedBus(chip) as bus:
            run = self.asking(bus)
            bus.remove(chip)
            run.type(b"Yes\n")  # As y, in any case.
            self.assertEqual(run.finish(), REFUSED, run.output)
        self.assertIn(b"is gone: plug it in again", run.output)
        self.assert_nothing_ran(run.screen().decode(), chip)

    def test_a_program_killed_by_a_signal_is_named(self):
        folder = tempfile.TemporaryDirectory(prefix="quendal-test-")
        self.addCleanup(folder.cleanup)
        crashing = os.path.join(folder.name, "quendal-bench")
        with open(crashing, "w") as script:
            script.write("#!/bin/sh\nkill -SEGV $$\n")
        os.chmod(crashing, 0o755)
        with EmulatedBus(board()) as bus:
            status, output = self.board_test(bus, "--yes", "--driver", "installed",
                                              "--program", crashing)
        self.assertEqual(status, FAILED, output)
        self.assertRegex(self.driver_line(output, "installed"), r"; fail: killed by SIGSEGV$")


if __name__ == "__main__":
    harness.main()
