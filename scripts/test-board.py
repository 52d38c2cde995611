#!/usr/bin/env python3
"""The board test: quendal-bench as built runs a whole bench run on FTDI
device 0 through each driver found (the installed libftd2xx.so, the libftdi1
adapter), with its keys typed through a pipe, and the transcript and the
pins read back are checked. Started by scripts/test-board.sh, which says how.

It drives a real device, so it names the device and asks first; nothing
opens a device before the answer, and the drivers are not even loaded before
a device is seen (the vendor's FT_Open crashes on a machine with no USB
device at all).
"""
import argparse
import os
import re
import subprocess
import sys
import time
from collections import namedtuple

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tests"))
from harness import runner, texts  # noqa: E402

PASSED, FAILED, NOTHING_TO_TEST, NOT_RUN, USAGE = 0, 1, 2, 3, 64

USB_DEVICES = "/sys/bus/usb/devices"
FTDI_VENDOR = "0403"

# How long each phase runs before its key: about three steps of the slow
# blink (one a second; the key is seen at the end of a step's pause), about a
# second of fast bursts, about half a second of readings.
PHASE_SECONDS = {"slow": 2.5, "fast": 1.0, "read-back": 0.5}
# A text that has not come by then will not come: the program is stuck.
TEXT_TIMEOUT = 20.0

BEFORE_READBACK = texts.BANNER + texts.SLOW_PROMPT + texts.FAST_PROMPT
READBACK_LINE = re.compile(re.escape(texts.READBACK) + r"([0-9a-f]{1,2})\n")

Device = namedtuple("Device", "vendor product name serial port node drivers")
Driver = namedtuple("Driver", "name library env")


# Devices ----------------------------------------------------------------

def ftdi_devices():
    """The FTDI devices (vendor 0403) that sysfs lists, by port."""
    try:
        names = sorted(os.listdir(USB_DEVICES))
    except FileNotFoundError:  # No USB at all.
        return []
    devices = []
    for name in names:
        if ":" in name:  # An interface, not a device.
            continue
        folder = os.path.join(USB_DEVICES, name)

        def attribute(key):
            try:
                with open(os.path.join(folder, key)) as file:
                    return file.read().strip()
            except OSError:
                return ""

        if attribute("idVendor") != FTDI_VENDOR:
            continue
        node = ""
        if attribute("busnum").isdigit() and attribute("devnum").isdigit():
            node = "/dev/bus/usb/%03d/%03d" % (int(attribute("busnum")),
                                               int(attribute("devnum")))
        # The kernel drivers bound to its interfaces (ftdi_sio; usbfs while a
        # program holds it).
        drivers = set()
        for interface in names:
            link = os.path.join(USB_DEVICES, interface, "driver")
            if interface.startswith(name + ":") and os.path.exists(link):
                drivers.add(os.path.basename(os.path.realpath(link)))
        devices.append(Device(attribute("idVendor"), attribute("idProduct"), attribute("product"),
                              attribute("serial"), name, node, sorted(drivers)))
    return devices


def describe(device):
    words = ["%s:%s" % (device.vendor, device.product)]
    if device.name:
        words.append(device.name)
    words.append("serial " + device.serial if device.serial else "no serial")
    words.append("usb port " + device.port + (" (%s)" % device.node if device.node else ""))
    if device.drivers:
        words.append("held by " + ", ".join(device.drivers))
    return ", ".join(words)


# Drivers ----------------------------------------------------------------

def installed_library(program):
    """The libftd2xx.so that the program's own load would find, or None: the
    loader traces what it would load for the program with the library added,
    and exits without running it."""
    env = dict(os.environ, LD_TRACE_LOADED_OBJECTS="1")
    env["LD_PRELOAD"] = (env.get("LD_PRELOAD", "") + " " + texts.LIBRARY_LINUX).strip()
    trace = subprocess.run([program], env=env, stdin=subprocess.DEVNULL, capture_output=True,
                           text=True).stdout
    found = re.search(r"^\s*%s => (.+) \(0x[0-9a-f]+\)$" % re.escape(texts.LIBRARY_LINUX),
                      trace, re.M)
    return os.path.abspath(found.group(1)) if found else None


def find_drivers(program, adapter_dir, wanted):
    drivers = []
    if wanted in (None, "installed"):
        library = installed_library(program)
        if library:
            drivers.append(Driver("installed", library, dict(os.environ)))
    adapter = os.path.join(adapter_dir, texts.LIBRARY_LINUX)
    if wanted in (None, "adapter") and os.path.exists(adapter):
        env = dict(os.environ)
        search = env.get("LD_LIBRARY_PATH")
        env["LD_LIBRARY_PATH"] = adapter_dir + (os.pathsep + search if search else "")
        drivers.append(Driver("adapter", os.path.abspath(adapter), env))
    return drivers


def library_name(path):
    real = os.path.basename(os.path.realpath(path))
    return path if real == os.path.basename(path) else "%s (%s)" % (path, real)


# One run ----------------------------------------------------------------

class Outcome:
    def __init__(self):
        self.phases = []  # (phase, seconds it ran)
        self.values = []  # each reading, in order
        self.problems = []
        self.errors = ""  # what the program wrote to standard error

    def levels(self):
        """The D0/D1 levels read back: {(D0, D1), ...}."""
        return {(value & 1, value >> 1 & 1) for value in self.values}


def halted(screen):
    return "Error : " in screen and screen.endswith(texts.HIT_ANY_KEY)


def wait_for(run, reached):
    """Reads the output until `reached(screen)`; returns the screen and how
    the wait ended: "reached", "halted", "ended" or "stuck"."""
    deadline = time.monotonic() + TEXT_TIMEOUT
    while True:
        screen = run.screen().decode("ascii", "replace")
        if halted(screen):
            return screen, "halted"
        if reached(screen):
            return screen, "reached"
        if not run.running() and not run.pump(0):
            return screen, "ended"
        if time.monotonic() > deadline:
            return screen, "stuck"
        run.pump(0.02)


def let_run(run, seconds):
    """Keeps reading the output (so that the program never blocks on it) for
    `seconds`, or until the program halts."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        run.pump(min(0.1, max(0.0, end - time.monotonic())))
        if halted(run.screen().decode("ascii", "replace")):
            return


def press(run):
    """Types one key."""
    try:
        run.type(b"k")
    except BrokenPipeError:  # It has ended; its status tells.
        pass


def drive(run, outcome):
    """Types each phase's key once the phase has run its time, then the
    closing key; notes the phases that ran. Returns how the last wait
    ended."""
    after_readback = len(BEFORE_READBACK)
    # Each phase starts when this text is complete.
    starts = [
        ("slow", lambda s: s.startswith(texts.BANNER + texts.SLOW_PROMPT)),
        ("fast", lambda s: s.startswith(BEFORE_READBACK)),
        ("read-back", lambda s: s.startswith(BEFORE_READBACK + texts.READBACK)
         and "\n" in s[after_readback:]),
        ("closing", lambda s: s.startswith(BEFORE_READBACK)
         and texts.CLOSING_PROMPT in s[after_readback:]),
    ]
    started = None
    for phase, reached in starts:
        screen, how = wait_for(run, reached)
        now = time.monotonic()
        if started is not None:
            outcome.phases.append((started[0], now - started[1]))
        if how != "reached":
            if how == "halted":
                press(run)
                outcome.problems.append(screen[screen.index("Error : "):-len(texts.HIT_ANY_KEY)]
                                        .strip())
            elif how == "stuck":
                outcome.problems.append("no %s phase after %.0f s: %r"
                                        % (phase, TEXT_TIMEOUT, screen[-200:]))
            return how
        if phase == "closing":
            press(run)
            return how
        started = (phase, now)
        let_run(run, PHASE_SECONDS[phase])
        press(run)


def check(screen, status, outcome):
    """The checks of a run that ended normally."""
    if status != 0:
        outcome.problems.append("exit status %d" % status)
    if not screen.startswith(BEFORE_READBACK):
        outcome.problems.append("transcript %r, expected it to start with %r"
                                % (screen[:len(BEFORE_READBACK) + 20], BEFORE_READBACK))
        return
    rest = screen[len(BEFORE_READBACK):]
    position = 0
    for match in iter(lambda: READBACK_LINE.match(rest, position), None):
        outcome.values.append(int(match.group(1), 16))
        position = match.end()
    if rest[position:] != texts.CLOSING_PROMPT:
        outcome.problems.append("after the read-back %r, expected %r"
                                % (rest[position:position + 80], texts.CLOSING_PROMPT))
    if not outcome.values:
        outcome.problems.append("no read-back line")
    wrong = sorted({v for v in outcome.values if (v & 1, v >> 1 & 1) != (1, 0)})
    if wrong:
        outcome.problems.append("D0 must read 1 and D1 0 (the fast pattern's last byte, 01), "
                                "read back " + ", ".join("%02x" % v for v in wrong))


def run_driver(program, driver):
    outcome = Outcome()
    run = runner.Run([program], driver.env, keyboard="pipe", keep_input_open=True)
    try:
        stuck = drive(run, outcome) == "stuck"
        if not stuck:
            run.close_input()  # The last key is typed; the end of input is one more.
            status = run.finish()
            if not outcome.problems:
                check(run.screen().decode("ascii", "replace"), status, outcome)
        outcome.errors = run.errors.decode(errors="replace")
    finally:
        run.close()
    return outcome


def report(driver, device, outcome):
    phases = ", ".join("%s %.1f s" % phase for phase in outcome.phases) or "none"
    counts = {}
    for value in outcome.values:
        counts[value] = counts.get(value, 0) + 1
    values = ", ".join("%02x (%d readings)" % item for item in counts.items()) or "none"
    verdict = "fail: " + "; ".join(outcome.problems) if outcome.problems else "pass"
    print("%s: %s; device %s; phases %s; read back %s; %s"
          % (driver.name, library_name(driver.library), device, phases, values, verdict))
    if outcome.problems and outcome.errors.strip():
        for line in outcome.errors.strip().splitlines()[-10:]:
            print("    stderr: " + line)


# The command --------------------------------------------------------------

class Arguments(argparse.ArgumentParser):
    def error(self, message):
        self.print_usage(sys.stderr)
        self.exit(USAGE, "%s: %s\n" % (self.prog, message))


def build_default():
    """Builds the linux preset (configured first if it is not yet) and returns
    its folder."""
    folder = os.path.join(REPO, "build", "linux")
    steps = [["cmake", "--build", "--preset", "linux"]]
    if not os.path.exists(os.path.join(folder, "CMakeCache.txt")):
        steps.insert(0, ["cmake", "--preset", "linux"])
    for step in steps:
        # Its output is not part of the report.
        if subprocess.run(step, cwd=REPO, stdout=sys.stderr).returncode != 0:
            print("The build failed: %s" % " ".join(step))
            sys.exit(FAILED)
    return folder


def confirmed(drivers):
    question = ("Run the board test on FTDI device 0 through %s? It drives pins D0 and D1. "
                "[y/N] " % " and ".join(d.name for d in drivers))
    if not sys.stdin.isatty():
        print("Not run: no --yes, and no terminal to ask on.")
        return False
    print(question, end="", flush=True)
    if sys.stdin.readline().strip().lower() in ("y", "yes"):
        return True
    print("Not run.")
    return False


def main():
    parser = Arguments(prog="test-board.sh", description=(
        "Runs quendal-bench on FTDI device 0 through each driver it finds and checks the run."))
    parser.add_argument("--driver", choices=["installed", "adapter"],
                        help="only this driver: the libftd2xx.so that the loader finds, or the "
                        "libftdi1 adapter of the build")
    parser.add_argument("--yes", action="store_true",
                        help="run without asking (the device is still named first)")
    parser.add_argument("--build", metavar="DIR",
                        help="use the program and adapter built in DIR and build nothing "
                        "(default: build the linux preset, build/linux)")
    args = parser.parse_args()
    sys.stdout.reconfigure(line_buffering=True)

    devices = ftdi_devices()
    if not devices:
        print("No FTDI device (vendor %s) is attached: nothing to test." % FTDI_VENDOR)
        return NOTHING_TO_TEST
    build = os.path.abspath(args.build) if args.build else build_default()
    program = os.path.join(build, "quendal-bench")
    if not os.access(program, os.X_OK):
        parser.error("no program %s" % program)
    drivers = find_drivers(program, os.path.join(build, "ftdi-adapter"), args.driver)

    if len(devices) == 1:
        device = describe(devices[0])
        print("FTDI device: " + device)
    else:
        device = "0 of %d FTDI devices" % len(devices)
        print("FTDI devices (the driver's device 0 is one of them):")
        for each in devices:
            print("  " + describe(each))
    if not drivers:
        print("No driver to test: %s." % {
            "installed": "the loader finds no %s" % texts.LIBRARY_LINUX,
            "adapter": "no adapter in %s" % build,
        }.get(args.driver, "the loader finds no %s and %s has no adapter"
              % (texts.LIBRARY_LINUX, build)))
        return NOTHING_TO_TEST
    for driver in drivers:
        print("Driver %s: %s" % (driver.name, library_name(driver.library)))
    if not args.yes and not confirmed(drivers):
        return NOT_RUN

    outcomes = []
    for driver in drivers:
        outcome = run_driver(program, driver)
        report(driver, device, outcome)
        outcomes.append(outcome)
    failed = any(o.problems for o in outcomes)
    levels = [o.levels() for o in outcomes if o.values]
    if len(levels) > 1 and any(each != levels[0] for each in levels):
        print("The drivers read different D0/D1 (as D0, D1): "
              + "; ".join("%s %s" % (d.name, sorted(o.levels()))
                          for d, o in zip(drivers, outcomes)))
        failed = True
    return FAILED if failed else PASSED


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(130)
