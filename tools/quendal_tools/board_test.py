"""The board test: quendal-bench runs a whole bench run on the FTDI device
that the operator chose, through each driver found (the installed
libftd2xx.so, the libftdi1 adapter), with its keys typed through a pipe, and
the transcript and the pins read back are checked. `--help` says how to run
it and what each exit status means; from a source tree it is
scripts/test-board.sh, from the Debian package quendal-bench-board-test.

It drives a real device, so it names the device and asks first. Nothing is
loaded or opened before every check has passed: the options, then the
device search, then the device itself (one chosen, its node writable, no
kernel driver holding it, a product id that the drivers open). Each driver
runs where it sees only the chosen device (`isolation`'s usb-device mode), so
a driver's own order of devices does not matter and no other device is
opened, detached or written; the device is searched for again just before
each run.
"""
import argparse
import os
import pwd
import re
import signal
import subprocess
import sys
import time
from collections import Counter, namedtuple

if __package__ in (None, ""):  # Run as a file: the package is beside it.
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from quendal_tools import isolation, runner, texts  # noqa: E402

PASSED, FAILED, REFUSED, NOT_RUN, USAGE = 0, 1, 2, 3, 64
EXIT_STATUSES = """\
exit status:
  0   every check passed
  1   a check failed (the driver's line says which), or the build failed
  2   refused before any driver started, with what to do: no FTDI device, or
      several and none chosen, the chosen one not found or gone before a
      run, no write access to its node, a kernel driver holding it, a
      product id that no driver opens, no driver to test, or no way to keep
      the other devices out of a driver's sight
  3   not run: no --yes and no terminal to ask on, or the answer was not y
  64  wrong options"""

# A source tree holds this package in tools/; installed, it stands alone.
TOOLS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REPO = os.path.dirname(TOOLS)
IN_SOURCE_TREE = os.path.exists(os.path.join(REPO, "CMakePresets.json"))
UDEV_RULE_NAME = "70-quendal-ftdi.rules"
UDEV_RULE_SOURCE = os.path.join("packaging", "udev", UDEV_RULE_NAME)
UDEV_RULE_INSTALLED = "/usr/lib/udev/rules.d/" + UDEV_RULE_NAME

FTDI_VENDOR = "0403"
# The product ids that both drivers open without being told others: the
# vendor's library, and libftdi1's device search in the adapter.
DEFAULT_PRODUCTS = ["6001", "6010", "6011", "6014", "6015"]
# Bound while a program has the device open through libusb.
USBFS = "usbfs"

# How long each phase runs before its key: about three steps of the slow
# blink (one a second; the key is seen at the end of a step's pause), about a
# second of fast bursts, about half a second of readings.
PHASE_SECONDS = {"slow": 2.5, "fast": 1.0, "read-back": 0.5}
# A text that has not come by then will not come: the program is stuck.
TEXT_TIMEOUT = 20.0

BEFORE_READBACK = texts.BANNER + texts.SLOW_PROMPT + texts.FAST_PROMPT
READBACK_LINE = re.compile(re.escape(texts.READBACK) + r"([0-9a-f]{1,2})\n")

# interfaces: {sysfs name of an interface: kernel driver bound to it}
Device = namedtuple("Device", "vendor product name serial port node interfaces")
Driver = namedtuple("Driver", "name library env")


class Refusal(Exception):
    """A reason not to start any driver, and what to do about it."""


# Devices ----------------------------------------------------------------

def ftdi_devices():
    """The FTDI devices (vendor 0403) that sysfs lists, by port."""
    try:
        names = sorted(os.listdir(isolation.SYSFS_DEVICES))
    except FileNotFoundError:  # No USB at all.
        return []
    devices = []
    for name in names:
        if ":" in name:  # An interface, not a device.
            continue
        folder = os.path.join(isolation.SYSFS_DEVICES, name)

        def attribute(key):
            try:
                with open(os.path.join(folder, key)) as file:
                    return file.read().strip()
            except OSError:
                return ""

        if attribute("idVendor") != FTDI_VENDOR:
            continue
        interfaces = {}
        for interface in names:
            if interface.startswith(name + ":"):
                link = os.path.join(isolation.SYSFS_DEVICES, interface, "driver")
                interfaces[interface] = (os.path.basename(os.readlink(link))
                                         if os.path.islink(link) else "")
        devices.append(Device(attribute("idVendor"), attribute("idProduct"), attribute("product"),
                              attribute("serial"), name,
                              isolation.device_node(name) or "", interfaces))
    return devices


def kernel_drivers(device):
    return sorted({driver for driver in device.interfaces.values() if driver})


def describe(device):
    """vendor:product, product name, serial, bus path and node, kernel
    drivers."""
    words = ["%s:%s" % (device.vendor, device.product)]
    if device.name:
        words.append(device.name)
    words.append("serial " + device.serial if device.serial else "no serial")
    words.append("usb port " + device.port + (" (%s)" % device.node if device.node else ""))
    drivers = kernel_drivers(device)
    words.append("held by " + ", ".join(drivers) if drivers else "no kernel driver")
    return ", ".join(words)


def listing(devices):
    return "".join("\n  " + describe(device) for device in devices)


def choose(devices, serial):
    """The device to test: the one with `serial`, or the only one."""
    if not devices:
        raise Refusal("No FTDI device (vendor %s) is attached: nothing to test." % FTDI_VENDOR)
    if serial is None:
        if len(devices) > 1:
            raise Refusal("%d FTDI devices are attached: choose one with --serial SERIAL "
                          "(nothing was opened):%s" % (len(devices), listing(devices)))
        return devices[0]
    chosen = [device for device in devices if device.serial == serial]
    if len(chosen) != 1:
        raise Refusal("%s FTDI device has serial %s: plug in the board, or choose one of:%s"
                      % ("No" if not chosen else "More than one", serial, listing(devices)))
    return chosen[0]


def user_name():
    return pwd.getpwuid(os.geteuid()).pw_name


def udev_advice():
    user = user_name()
    group = "add %s to the group plugdev (sudo usermod -aG plugdev %s) and log in again" % (
        user, user)
    if not IN_SOURCE_TREE:
        return "the udev rule %s gives plugdev access: %s, then plug the device in again" % (
            UDEV_RULE_INSTALLED, group)
    return ("install the udev rule %s (sudo install -m 0644 %s /etc/udev/rules.d/ && "
            "sudo udevadm control --reload-rules && sudo udevadm trigger), %s, then plug the "
            "device in again"
            % (UDEV_RULE_SOURCE, os.path.join(REPO, UDEV_RULE_SOURCE), group))


def check_device(device, drivers):
    """Raises Refusal when a driver must not, or cannot, start on `device`."""
    what = "The FTDI device with %s" % (
        "serial " + device.serial if device.serial else "no serial, at usb port " + device.port)
    if device.product not in DEFAULT_PRODUCTS:
        raise Refusal("%s has product id %s, which neither driver opens (they open %s:%s): give "
                      "its chip a standard product id (6001 for an FT232R) with FTDI's FT_Prog, "
                      "or test a board that has one."
                      % (what, device.product, FTDI_VENDOR, ", ".join(DEFAULT_PRODUCTS)))
    if not device.node or not os.access(device.node, os.R_OK | os.W_OK):
        raise Refusal("%s: no write access to its node %s for %s: %s."
                      % (what, device.node or "(none)", user_name(), udev_advice()))
    held = {interface: driver for interface, driver in device.interfaces.items() if driver}
    if USBFS in held.values():
        raise Refusal("%s is open in another program (usbfs holds it): end that program first."
                      % what)
    if held and any(driver.name == "installed" for driver in drivers):
        interface, driver = sorted(held.items())[0]
        raise Refusal("%s is held by the kernel driver %s, which the installed driver cannot "
                      "take it from: unbind it with  echo -n %s | sudo tee "
                      "/sys/bus/usb/drivers/%s/unbind  (or test only the adapter, "
                      "--driver adapter, which detaches it)." % (what, driver, interface, driver))


def search_again(chosen, drivers):
    """The chosen device as sysfs shows it now; Refusal when it is gone or
    may no longer be driven."""
    for device in ftdi_devices():
        if device.port == chosen.port and device.serial == chosen.serial \
                and device.node == chosen.node:
            check_device(device, drivers)
            return device
    raise Refusal("The FTDI device %s is gone: plug it in again and run the board test again."
                  % describe(chosen))


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
    adapter = os.path.join(adapter_dir, texts.LIBRARY_LINUX) if adapter_dir else ""
    if wanted in (None, "adapter") and os.path.exists(adapter):
        env = dict(os.environ)
        search = env.get("LD_LIBRARY_PATH")
        env["LD_LIBRARY_PATH"] = adapter_dir + (os.pathsep + search if search else "")
        drivers.append(Driver("adapter", os.path.abspath(adapter), env))
    return drivers


def library_name(path):
    real = os.path.basename(os.path.realpath(path))
    return path if real == os.path.basename(path) else "%s (%s)" % (path, real)


def isolation_prefix(device, devices):
    """What goes in front of the program so that it sees only `device`;
    Refusal when that cannot be had and other FTDI devices are attached."""
    reason = isolation.unavailable("usb-device", device.port)
    if not reason:
        return isolation.prefix("usb-device", device.port)
    if len(devices) > 1:
        raise Refusal("Cannot keep the other FTDI devices out of the drivers' sight (%s): "
                      "unplug them, or run as root." % reason)
    return []


# One run ----------------------------------------------------------------

def d0_d1(value):
    """The levels of D0 and D1 in a reading."""
    return value & 1, value >> 1 & 1


class Outcome:
    def __init__(self):
        self.phases = []  # (phase, seconds it ran)
        self.values = []  # each reading, in order
        self.problems = []
        self.errors = ""  # what the program wrote to standard error

    def levels(self):
        """The D0/D1 levels read back: {(D0, D1), ...}."""
        return {d0_d1(value) for value in self.values}


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
        outcome.problems.append(exit_text(status))
    if status < 0:  # Its output stops anywhere.
        return
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
    wrong = sorted({v for v in outcome.values if d0_d1(v) != (1, 0)})
    if wrong:
        outcome.problems.append("D0 must read 1 and D1 0 (the fast pattern's last byte, 01), "
                                "read back " + ", ".join("%02x" % v for v in wrong))


def run_driver(command, driver):
    outcome = Outcome()
    run = runner.Run(command, driver.env, keyboard="pipe", keep_input_open=True)
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


def exit_text(status):
    if status < 0:
        try:
            return "killed by " + signal.Signals(-status).name
        except ValueError:
            return "killed by signal %d" % -status
    return "exit status %d" % status


def report(driver, device, outcome, detached):
    phases = ", ".join("%s %.1f s" % phase for phase in outcome.phases) or "none"
    values = ", ".join("%02x (%d readings)" % item
                       for item in Counter(outcome.values).items()) or "none"
    verdict = "fail: " + "; ".join(outcome.problems) if outcome.problems else "pass"
    notes = "".join("; detaches %s (the device's serial port comes back when it is plugged in "
                    "again)" % name for name in detached)
    print("%s: %s; device %s%s; phases %s; read back %s; %s"
          % (driver.name, library_name(driver.library), describe(device), notes, phases, values,
             verdict))
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
    its folder, or None when the build failed."""
    folder = os.path.join(REPO, "build", "linux")
    steps = [["cmake", "--build", "--preset", "linux"]]
    if not os.path.exists(os.path.join(folder, "CMakeCache.txt")):
        steps.insert(0, ["cmake", "--preset", "linux"])
    for step in steps:
        # Its output is not part of the report.
        if subprocess.run(step, cwd=REPO, stdout=sys.stderr).returncode != 0:
            print("The build failed: %s" % " ".join(step))
            return None
    return folder


def confirmed(device, drivers):
    question = ("Run the board test on the FTDI device with serial %s through %s? It drives pins "
                "D0 and D1. [y/N] " % (device.serial or "(none)",
                                       " and ".join(d.name for d in drivers)))
    if not sys.stdin.isatty():
        print("Not run: no --yes, and no terminal to ask on.")
        return False
    print(question, end="", flush=True)
    if sys.stdin.readline().strip().lower() in ("y", "yes"):
        return True
    print("Not run.")
    return False


def parse(arguments):
    """The options, checked before anything else is done."""
    parser = Arguments(
        prog="scripts/test-board.sh" if IN_SOURCE_TREE else "quendal-bench-board-test",
        formatter_class=argparse.RawDescriptionHelpFormatter, epilog=EXIT_STATUSES,
        description="Runs quendal-bench on the chosen FTDI device through each driver it finds "
        "(the installed libftd2xx.so, then the libftdi1 adapter) and checks each run. Each "
        "driver sees only that device.")
    parser.add_argument("--serial", metavar="SERIAL",
                        help="test the FTDI device with this serial number (needed when more "
                        "than one is attached)")
    parser.add_argument("--driver", choices=["installed", "adapter"],
                        help="only this driver: the libftd2xx.so that the loader finds for the "
                        "program, or the libftdi1 adapter")
    parser.add_argument("--yes", action="store_true",
                        help="run without asking (the device is still named first)")
    parser.add_argument("--build", metavar="DIR",
                        help="the program and adapter built in DIR; builds nothing (default "
                        "in a source tree: build the linux preset, build/linux)")
    parser.add_argument("--program", metavar="PATH",
                        help="the program to test, e.g. the installed /usr/bin/quendal-bench "
                        "(default: the build's)")
    parser.add_argument("--adapter", metavar="DIR",
                        help="the folder of the adapter's libftd2xx.so (default: the build's)")
    args = parser.parse_args(arguments)
    if args.serial == "":
        parser.error("--serial needs a serial number")
    if args.build:
        args.build = os.path.abspath(args.build)
        if not os.path.isdir(args.build):
            parser.error("no build folder %s" % args.build)
    elif not args.program and not IN_SOURCE_TREE:
        parser.error("give the program to test: --program PATH or --build DIR")
    if args.program and not os.access(args.program, os.X_OK):
        parser.error("no program %s" % args.program)
    if args.build and not args.program:
        program = os.path.join(args.build, "quendal-bench")
        if not os.access(program, os.X_OK):
            parser.error("no program %s" % program)
    if args.adapter and not os.path.isdir(args.adapter):
        parser.error("no adapter folder %s" % args.adapter)
    return args


def main(arguments=None):
    args = parse(sys.argv[1:] if arguments is None else arguments)
    sys.stdout.reconfigure(line_buffering=True)
    try:
        return test(args)
    except Refusal as refusal:
        print(refusal)
        return REFUSED


def test(args):
    devices = ftdi_devices()
    device = choose(devices, args.serial)
    build = args.build
    if not build and not args.program:
        build = build_default()
        if build is None:
            return FAILED
    program = os.path.abspath(args.program or os.path.join(build, "quendal-bench"))
    adapter_dir = args.adapter or (os.path.join(build, "ftdi-adapter") if build else None)
    drivers = find_drivers(program, adapter_dir and os.path.abspath(adapter_dir), args.driver)
    if not drivers:
        raise Refusal("No driver to test: %s." % {
            "installed": "the loader finds no %s" % texts.LIBRARY_LINUX,
            "adapter": "no adapter in %s" % adapter_dir,
        }.get(args.driver, "the loader finds no %s and %s has no adapter"
              % (texts.LIBRARY_LINUX, adapter_dir)))
    check_device(device, drivers)
    prefix = isolation_prefix(device, devices)

    print("FTDI device: " + describe(device))
    print("Program: " + program)
    for driver in drivers:
        print("Driver %s: %s" % (driver.name, library_name(driver.library)))
    if not args.yes and not confirmed(device, drivers):
        return NOT_RUN

    outcomes = []
    for driver in drivers:
        device = search_again(device, drivers)
        detached = kernel_drivers(device) if driver.name == "adapter" else []
        outcome = run_driver(prefix + [program], driver)
        report(driver, device, outcome, detached)
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
