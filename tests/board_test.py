"""scripts/test-board.sh, the board test of a bench rig, on FT232R chips
emulated at the USB device-file level (wire/ft232r.py): the script sees only
the emulated chips, and the tests check what reached them. A case that needs
a namespace that this machine cannot give skips with the reason."""
import json
import os
import platform
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ElementTree

import harness
import station_report_test
from harness import isolation, runner, texts
from wire.ft232r import BULK_OUT, READ_PINS, RESET, EmulatedBus, EmulatedFt232r

TESTS = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(os.path.dirname(TESTS), "scripts", "test-board.sh")
# The stand-in for a machine that gives no namespaces (a default container).
WITHOUT_NAMESPACES = os.path.join(TESTS, "bench-machine", "without-namespaces.py")
PASSED, FAILED, REFUSED, NOT_RUN, USAGE = 0, 1, 2, 3, 64
DEVICE = "0403:6001, no serial, usb port 1-1 (/dev/bus/usb/001/002), no kernel driver"
BOARD = "0403:6001, serial BOARD001, usb port 1-1 (/dev/bus/usb/001/002), no kernel driver"
CABLE = "0403:6001, serial CONSOLE9, usb port 1-2 (/dev/bus/usb/001/003), no kernel driver"
# A user id without a passwd entry, as a container may run under.
UNNAMED = 54321


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
        """Runs the script to its end (behind `prefix`) on the CTest build or
        `build`; with build="" on no build (the arguments name a program).
        Returns its status and output."""
        build = os.path.dirname(runner.program()) if build is None else build
        done = subprocess.run([*prefix, SCRIPT, *(["--build", build] if build else []), *args],
                              env=self.environment(bus, installed),
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=runner.SAFETY_TIMEOUT * 2)
        return done.returncode, done.stdout + done.stderr

    def asking(self, bus):
        """The script started at a terminal, once it asks whether to run."""
        run = runner.Run([SCRIPT, "--build", os.path.dirname(runner.program())],
                         self.environment(bus))
        self.addCleanup(run.close)
        run.wait_for_output(b"[y/N] ")
        return run

    def without_namespaces(self):
        """The prefix that runs the script where no namespace can be had."""
        if platform.machine() != "x86_64":
            self.skipTest("the stand-in for a machine without namespaces is for x86-64 only")
        return [WITHOUT_NAMESPACES]

    def require_isolation(self, bus):
        """Skips unless the script can hide the other devices on `bus`."""
        checked = subprocess.run(
            [sys.executable, isolation.__file__, "--check", "usb-device", "1-1"],
            env=self.environment(bus), stdin=subprocess.DEVNULL, capture_output=True, text=True)
        if checked.returncode != 0:
            self.skipTest("no private mount namespace to hide the other devices in (%s)"
                          % (checked.stdout + checked.stderr).strip())

    def installed_adapter(self):
        """A private library folder with the adapter in it, as a bench's
        installed driver: then both drivers reach the emulated chips."""
        folder = tempfile.TemporaryDirectory(prefix="quendal-installed-")
        self.addCleanup(folder.cleanup)
        shutil.copy(os.path.join(runner.adapter(), texts.LIBRARY_LINUX), folder.name)
        return folder.name

    def folder(self):
        folder = tempfile.TemporaryDirectory(prefix="quendal-test-")
        self.addCleanup(folder.cleanup)
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
        self.assertEqual(output.splitlines()[-1], "Result: pass (installed pass, adapter pass)")
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
                    self.require_isolation(bus)
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

    def test_a_device_that_comes_or_goes_during_a_run(self):
        # The board's 20th bulk write is in the first run's fast phase.
        during_first_run = (BULK_OUT, 20)
        void = ("fail: void: an FTDI device came onto the bus during the run (%s), and with "
                "no namespace to hide it" % CABLE)
        for what, isolated, event, status, lines in [
                ("a cable plugged in, no namespace", False, "plug_in", FAILED, {
                    "installed": re.escape(void),
                    "adapter": r"refused: Cannot keep the other FTDI devices out of the drivers' "
                               r"sight .*:\n  " + re.escape(CABLE)}),
                ("a cable plugged in, each run in its namespace", True, "plug_in", PASSED, {
                    "installed": r"; serial CONSOLE9 came onto the bus during the run, out of "
                                 r"the driver's sight; .*; pass",
                    "adapter": "; pass"}),
                ("the board pulled out", False, "pull_out", FAILED, {
                    "installed": r"; fail: Error : Write error \(4 returned\)",
                    "adapter": r"refused: The FTDI device %s is gone: plug it in again"
                               % re.escape(BOARD)})]:
            with self.subTest(what):
                chosen, other = board(), cable()
                with EmulatedBus(chosen) as bus:
                    prefix = []
                    if isolated:
                        self.require_isolation(bus)
                    else:
                        prefix = self.without_namespaces()
                    bus.after(chosen, during_first_run,
                              lambda: bus.plug_in(other) if event == "plug_in"
                              else bus.pull_out(chosen))
                    code, output = self.board_test(bus, "--yes", "--serial", "BOARD001",
                                                   installed=self.installed_adapter(),
                                                   prefix=prefix)
                self.assertEqual(code, status, output)
                for driver, line in lines.items():
                    self.assertRegex(output, r"(?m)^%s: .*%s" % (driver, line))
                self.assertEqual((other.transfers, other.detached), ([], []), output)

    def test_without_namespaces_the_cases_that_need_them_skip(self):
        done = subprocess.run(self.without_namespaces() + [sys.executable, __file__, "-v", "BoardChoiceTest."
                                        "test_only_the_chosen_chip_is_driven_through_each_driver"],
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=runner.SAFETY_TIMEOUT)
        self.assertEqual(done.returncode, harness.SKIPPED, done.stderr)
        self.assertIn("skipped 'no private mount namespace to hide the other devices in",
                      done.stderr)


class BoardProgramTest(BoardScriptTestCase):
    def test_a_program_alone_is_tested_with_its_own_adapter(self):
        # A copy of the program as a package installs it, beside a copy of the
        # adapter in its package's library folder; and a copy with none.
        installed = self.folder()
        library = os.path.join(installed, "lib", "x86_64-linux-gnu", "quendal-bench",
                               "ftdi-adapter")
        os.makedirs(os.path.join(installed, "bin"))
        os.makedirs(library)
        shutil.copy(runner.program(), os.path.join(installed, "bin"))
        shutil.copy(os.path.join(runner.adapter(), texts.LIBRARY_LINUX), library)
        alone = self.folder()
        shutil.copy(runner.program(), alone)
        for what, program, adapter in [
                ("the build's", runner.program(), runner.adapter()),
                ("an installed one", os.path.join(installed, "bin", "quendal-bench"), library),
                ("one without an adapter", os.path.join(alone, "quendal-bench"), None)]:
            with self.subTest(what):
                chip = EmulatedFt232r()
                with EmulatedBus(chip) as bus:
                    status, output = self.board_test(bus, "--yes", "--program", program,
                                                      build="")
                self.assertEqual(status, PASSED, output)
                self.assertTrue(self.driver_line(output, "installed").endswith("; pass"))
                line = self.driver_line(output, "adapter")
                if adapter:
                    self.assertRegex(line, r"^adapter: %s; .*; pass$" % re.escape(
                        os.path.abspath(os.path.join(adapter, texts.LIBRARY_LINUX))))
                    self.assertEqual(opened(chip), 1)
                else:
                    self.assertEqual(line, "adapter: not tested: no adapter (libftd2xx.so) in %s"
                                     % os.path.join(alone, "ftdi-adapter"))
                    self.assertEqual(output.splitlines()[-1],
                                     "Result: pass (installed pass, adapter not tested)")
                    self.assertEqual(chip.transfers, [])

    def test_a_program_that_crashes_or_hangs_fails_and_the_other_driver_is_reported(self):
        screen = os.path.join(self.folder(), "screen")
        with open(screen, "w") as file:
            file.write(texts.BANNER + texts.SLOW_PROMPT + texts.FAST_PROMPT + texts.READBACK
                       + "fd\n" + texts.CLOSING_PROMPT)
        for what, body, drivers, verdict in [
                ("killed by a signal", "kill -SEGV $$", ["installed", "adapter"],
                 "killed by SIGSEGV"),
                # Its whole run, then no end; one driver, as the wait is long.
                ("hanging after the last key", "cat %s; exec sleep 600" % screen, ["installed"],
                 "no end within 20 s of the last key; stopped")]:
            with self.subTest(what):
                program = os.path.join(self.folder(), "quendal-bench")
                with open(program, "w") as script:
                    script.write("#!/bin/sh\n%s\n" % body)
                os.chmod(program, 0o755)
                options = ["--driver", drivers[0]] if len(drivers) == 1 else []
                with EmulatedBus(board()) as bus:
                    status, output = self.board_test(bus, "--yes", "--program", program,
                                                      *options)
                self.assertEqual(status, FAILED, output)
                for driver in drivers:
                    self.assertRegex(self.driver_line(output, driver),
                                     r"; fail: %s$" % re.escape(verdict))
                self.assertEqual(output.splitlines()[-1], "Result: fail (%s)"
                                 % ", ".join(driver + " fail" for driver in drivers))


class BoardStationTestCase(BoardScriptTestCase):
    def station(self, chips, *args, installed=None):
        """Runs the script on `chips` with both report files; returns its
        status and output, the JSON document and the JUnit test suite."""
        folder = self.folder()
        report, junit = os.path.join(folder, "report.json"), os.path.join(folder, "junit.xml")
        with EmulatedBus(*chips) as bus:
            if len(chips) > 1:
                self.require_isolation(bus)
            status, output = self.board_test(bus, *args, "--report", report, "--junit", junit,
                                              installed=installed)
        with open(report, encoding="utf-8") as file:
            document = json.load(file)
        suite, = ElementTree.parse(junit).getroot().findall("testsuite")
        return status, output, document, suite

    def assert_records(self, document, suite, expected):
        """Both files hold `expected`: (serial, driver, outcome) for each
        board and driver, in order; the JSON follows its documented format."""
        self.assertEqual([(record["dut_id"], record["driver"]["name"], record["outcome"])
                          for record in document["records"]], expected)
        self.assertEqual([(case.get("classname"), case.get("name"),
                           [child.tag for child in case if child.tag != "system-out"])
                          for case in suite.findall("testcase")],
                         [(serial, driver, JUNIT_ELEMENTS[outcome])
                          for serial, driver, outcome in expected])
        station_report_test.validate(self, document)


# What each outcome is in JUnit XML.
JUNIT_ELEMENTS = {"PASS": [], "FAIL": ["failure"], "REFUSED": ["error"], "NOT_RUN": ["skipped"]}


class BoardStationTest(BoardStationTestCase):
    def test_a_fixture_of_two_boards_beside_a_cable(self):
        good, faulty, console = board(), EmulatedFt232r(serial="BOARD002", pin_read=0xFC), cable()
        status, output, document, suite = self.station(
            [good, console, faulty], "--yes", "--serial", "BOARD001", "--serial", "BOARD002",
            installed=self.installed_adapter())
        self.assertEqual(status, FAILED, output)
        lines = [line for line in output.splitlines() if line.startswith(("installed:",
                                                                           "adapter:"))]
        self.assertEqual([(line.split(":")[0], re.search(r", serial (\w+), ", line).group(1),
                           line.split("; ")[-1].split(":")[0]) for line in lines],
                         [("installed", "BOARD001", "pass"), ("adapter", "BOARD001", "pass"),
                          ("installed", "BOARD002", "fail"), ("adapter", "BOARD002", "fail")],
                         output)
        self.assertEqual(output.splitlines()[-1], "Result: fail (BOARD001: installed pass, "
                         "adapter pass; BOARD002: installed fail, adapter fail)")
        self.assertEqual((opened(good), opened(faulty)), (2, 2))
        self.assertEqual((console.transfers, console.detached), ([], []), output)
        self.assert_records(document, suite, [
            ("BOARD001", "installed", "PASS"), ("BOARD001", "adapter", "PASS"),
            ("BOARD002", "installed", "FAIL"), ("BOARD002", "adapter", "FAIL")])
        self.assertEqual((document["exit_status"], document["outcome"]), (FAILED, "FAIL"))
        self.assertEqual(document["program"]["path"], os.path.abspath(runner.program()))
        self.assertTrue(document["program"]["version"])
        for record in document["records"]:
            self.assertEqual(record["device"]["usb_port"],
                             "1-1" if record["dut_id"] == "BOARD001" else "1-3")
            pins = record["phases"][-1]["measurements"]["D0"]
            self.assertEqual(pins["measured_value"],
                             [1] if record["dut_id"] == "BOARD001" else [0], record)
        self.assertRegex(document["records"][2]["message"], r"^D0 must read 1 .* read back fc$")


class BoardStationStatusTest(BoardStationTestCase):
    def test_each_status_of_a_station_run_with_its_records(self):
        for what, chips, args, status, expected in [
                ("one board alone", [board()], ["--yes", "--serial", "BOARD001"], PASSED,
                 [("BOARD001", "installed", "PASS"), ("BOARD001", "adapter", "PASS")]),
                ("a chosen board not attached", [board()],
                 ["--yes", "--serial", "BOARD007", "--serial", "BOARD001"], FAILED,
                 [("BOARD007", "installed", "REFUSED"), ("BOARD007", "adapter", "REFUSED"),
                  ("BOARD001", "installed", "PASS"), ("BOARD001", "adapter", "PASS")]),
                ("none of the chosen attached", [cable()],
                 ["--yes", "--serial", "BOARD001", "--serial", "BOARD002"], REFUSED,
                 [(serial, driver, "REFUSED") for serial in ("BOARD001", "BOARD002")
                  for driver in ("installed", "adapter")]),
                ("not asked", [board()], ["--serial", "BOARD001"], NOT_RUN,
                 [("BOARD001", "installed", "NOT_RUN"), ("BOARD001", "adapter", "NOT_RUN")])]:
            with self.subTest(what):
                code, output, document, suite = self.station(chips, *args)
                self.assertEqual(code, status, output)
                self.assert_records(document, suite, expected)
                self.assertEqual(document["exit_status"], status)
                for chip in chips:
                    if chip.serial == "CONSOLE9" or status == NOT_RUN:
                        self.assertEqual(chip.transfers, [], what)

    def test_a_report_file_that_cannot_be_one_is_a_usage_error(self):
        with EmulatedBus() as bus:
            for option, path, error in [
                    ("--report", "/nonexistent/report.json", "cannot write into /nonexistent"),
                    ("--junit", "/dev/null", "/dev/null is not a file")]:
                with self.subTest(option):
                    status, output = self.board_test(bus, "--yes", option, path)
                    self.assertEqual(status, USAGE, output)
                    self.assertIn(error, output)


class BoardRefusalTest(BoardScriptTestCase):
    def test_unasked_without_a_terminal_names_the_device_and_sends_nothing(self):
        chip = EmulatedFt232r()
        with EmulatedBus(chip) as bus:
            status, output = self.board_test(bus)
        self.assertEqual(status, NOT_RUN, output)
        self.assertIn("FTDI device: " + DEVICE, output)
        self.assertEqual(chip.transfers, [])

    def test_the_question_reaches_the_terminal_when_the_report_goes_to_a_file(self):
        chip = EmulatedFt232r()
        report = os.path.join(self.folder(), "report.txt")
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        with EmulatedBus(chip) as bus, open(report, "w") as file:
            script = subprocess.Popen([SCRIPT, "--build", os.path.dirname(runner.program())],
                                      env=self.environment(bus), stdin=slave, stdout=file,
                                      stderr=subprocess.DEVNULL, start_new_session=True)
            os.close(slave)
            self.addCleanup(script.kill)
            asked, deadline = b"", time.monotonic() + runner.SAFETY_TIMEOUT
            while not asked.endswith(b"[y/N] ") and time.monotonic() < deadline:
                if select.select([master], [], [], 0.1)[0]:
                    asked += os.read(master, 1024)
            self.assertTrue(asked.startswith(b"Run the board test on the FTDI device"), asked)
            os.write(master, b"n\n")
            self.assertEqual(script.wait(timeout=runner.SAFETY_TIMEOUT), NOT_RUN)
        with open(report) as file:
            written = file.read()
        self.assertIn("FTDI device: " + DEVICE, written)
        self.assertNotIn("[y/N]", written)
        self.assertEqual(chip.transfers, [])

    def test_nothing_to_test(self):
        # A build without the adapter.
        build = self.folder()
        os.symlink(os.path.abspath(runner.program()), os.path.join(build, "quendal-bench"))
        for what, chips, args, folder, expected in [
                ("no chip", [], ["--yes"], None, "No FTDI device (vendor 0403) is attached"),
                ("no driver", [EmulatedFt232r()], ["--yes", "--driver", "adapter"], build,
                 "No driver to test: no adapter (libftd2xx.so) in %s/ftdi-adapter." % build)]:
            with self.subTest(what):
                with EmulatedBus(*chips) as bus:
                    status, output = self.board_test(bus, *args, build=folder)
                self.assertEqual(status, REFUSED, output)
                self.assertIn(expected, output)
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
        listed = [BOARD, CABLE.replace("no kernel driver", "held by ftdi_sio")]
        for what, chips, args, expected in [
                ("two devices, none chosen", [board(), cable(kernel_driver="ftdi_sio")], [],
                 ["2 FTDI devices are attached: choose one with --serial SERIAL"] + listed),
                ("a serial not attached", [board(), cable(kernel_driver="ftdi_sio")],
                 ["--serial", "BOARD002"], ["No FTDI device has serial BOARD002"] + listed),
                ("held by ftdi_sio", [EmulatedFt232r(serial="BOARD001", kernel_driver="ftdi_sio")],
                 [], ["unbind it with  echo -n 1-1:1.0 | sudo tee "
                      "/sys/bus/usb/drivers/ftdi_sio/unbind  "]),
                ("a product id no driver opens", [EmulatedFt232r(product=0x8C81)], [],
                 ["has product id 8c81, which neither driver opens"]),
                # Not even the loader's list: it would run the program.
                ("a static program", [board()],
                 ["--program", shutil.which("ldconfig") or "/sbin/ldconfig", "--driver",
                  "installed"],
                 ["is not a dynamically linked program, so which libftd2xx.so it loads cannot "
                  "be told without running it"])]:
            with self.subTest(what):
                with EmulatedBus(*chips) as bus:
                    status, output = self.board_test(bus, "--yes", *args)
                self.assertEqual(status, REFUSED, output)
                for text in expected:
                    self.assertIn(text, output)
                self.assert_nothing_ran(output, *chips)

    def test_a_user_without_access_is_told_the_udev_rule(self):
        # The node is writable by nobody but a user who may write any file:
        # root runs the script without that right (CAP_DAC_OVERRIDE).
        no_override = ["setpriv", "--inh-caps=-dac_override", "--bounding-set=-dac_override"]
        unnamed = ["setpriv", "--reuid=%d" % UNNAMED, "--regid=%d" % UNNAMED, "--clear-groups"]
        root = os.geteuid() == 0
        for what, prefix, advice in [
                ("this user", no_override if root else [],
                 r"for (\S+): install the udev rule packaging/udev/70-quendal-ftdi.rules .*add \1 "
                 r"to the group plugdev"),
                ("a user without a name", unnamed if root else None,
                 r"for user %d: install the udev rule packaging/udev/70-quendal-ftdi.rules .*"
                 r"run it as a user in the group plugdev" % UNNAMED)]:
            with self.subTest(what):
                if prefix is None:
                    self.skipTest("only root may run as another user")
                chip = EmulatedFt232r(serial="BOARD001", node_mode=0o444)
                with EmulatedBus(chip) as bus:
                    if prefix is unnamed:
                        bus.open_to_all()
                    node = bus.environment()["UMOCKDEV_DIR"] + "/dev/bus/usb/001/002"
                    for needed, test in [(SCRIPT, "-x"), (runner.program(), "-x"), (node, "-r")]:
                        if subprocess.run(prefix + ["test", test, needed]).returncode != 0:
                            self.skipTest("%s cannot reach %s" % (what, needed))
                    if subprocess.run(prefix + ["test", "-w", node]).returncode == 0:
                        self.skipTest("%s may write a file of mode 0444" % what)
                    status, output = self.board_test(bus, "--yes", prefix=prefix)
                self.assertEqual(status, REFUSED, output)
                self.assertRegex(output, r"no write access to its node /dev/bus/usb/001/002 "
                                 + advice)
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


if __name__ == "__main__":
    harness.main()
