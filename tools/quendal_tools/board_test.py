"""The board test: quendal-bench runs a whole bench run on each FTDI device
that the operator chose (a board, or a fixture of boards one after another),
through each driver found (the installed libftd2xx.so, the libftdi1
adapter), with its keys typed through a pipe, and the transcript and the
pins read back are checked. Besides its lines for a person, it writes the
results as a JSON document and as JUnit XML when asked (`station_report`).
`--help` says how to run it and what each exit status means; from a source
tree it is scripts/test-board.sh, from the Debian package
quendal-bench-board-test.

It drives real devices, so it names them and asks first. Before the
answer nothing of the program or of a driver runs (the loader only lists
what it would load) and no device is opened: the options are checked, then
the device search, then the device itself (one chosen, its node writable, no
kernel driver holding it, a product id that the drivers open). Each driver
runs where it sees only the chosen device (`isolation`'s usb-device mode), so
a driver's own order of devices does not matter and no other device is
opened, detached or written. Just before each run the whole bus is searched
again; where no namespace can be had, a run starts only while the chosen
device is the only FTDI device, and a device that comes onto the bus during
it makes the run void.
"""
import argparse
import glob
import os
import pwd
import re
import signal
import struct
import subprocess
import sys
import time
from collections import Counter, namedtuple

if __package__ in (None, ""):  # Run as a file: the package is beside it.
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from quendal_tools import isolation, runner, station_report, texts  # noqa: E402
from quendal_tools.station_report import d0_d1  # noqa: E402

PASSED, FAILED, REFUSED, NOT_RUN, USAGE = 0, 1, 2, 3, 64
EXIT_STATUSES = """\
exit status:
  0   every chosen board passed through every driver (a driver not found is
      named "not tested", with why, in its line and in the result line)
  1   a check failed or a run was void (the driver's line says why), a
      board or driver was refused while another's run went on, the build
      failed, or a report file could not be written
  2   refused before any driver started, with what to do: no FTDI device, or
      several and none chosen, a chosen one not found or gone, no write
      access to its node, a kernel driver holding it, a product id that no
      driver opens, no driver to test, or no way to keep the other devices
      out of a driver's sight
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
# A text that has not come by then will not come, nor the end after the
# closing key: the program is stuck.
TEXT_TIMEOUT = 20.0
# How often the bus is looked at while a run goes on.
WATCH_SECONDS = 0.1

BEFORE_READBACK = texts.BANNER + texts.SLOW_PROMPT + texts.FAST_PROMPT
READBACK_LINE = re.compile(re.escape(texts.READBACK) + r"([0-9a-f]{1,2})\n")

# interfaces: {sysfs name of an interface: kernel driver bound to it}
Device = namedtuple("Device", "vendor product name serial port node interfaces")
# library: its path; env: the program's environment with it
Driver = namedtuple("Driver", "name library env")
DRIVER_NAMES = ["installed", "adapter"]  # The order of the runs.


class Refusal(Exception):
    """A reason not to start a driver, and what to do about it."""


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
    """This user's name, or None where it has no passwd entry (a
    container's user given by number)."""
    try:
        return pwd.getpwuid(os.geteuid()).pw_name
    except KeyError:
        return None


def udev_advice():
    user = user_name()
    if user:
        group = "add %s to the group plugdev (sudo usermod -aG plugdev %s) and log in again" % (
            user, user)
    else:  # No name to add to a group.
        group = "run it as a user in the group plugdev"
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
                      % (what, device.node or "(none)", user_name() or "user %d" % os.geteuid(),
                         udev_advice()))
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


def identity(device):
    """What tells one attachment of a device from any other: a device plugged
    in again gets another node."""
    return device.port, device.serial, device.node


def find_again(chosen, devices):
    """`chosen` among `devices` (a search made now); Refusal when it is
    gone."""
    for device in devices:
        if identity(device) == identity(chosen):
            return device
    raise Refusal("The FTDI device %s is gone: plug it in again and run the board test again."
                  % describe(chosen))


class BusWatch:
    """The FTDI devices that come onto the bus after a search, looked for at
    most every WATCH_SECONDS and whenever asked `now`."""

    def __init__(self, devices):
        self.known = {identity(device) for device in devices}
        self.appeared = []
        self._next = 0.0

    def look(self, now=False):
        if not now and time.monotonic() < self._next:
            return
        self._next = time.monotonic() + WATCH_SECONDS
        for device in ftdi_devices():
            if identity(device) not in self.known:
                self.known.add(identity(device))
                self.appeared.append(device)


# Drivers ----------------------------------------------------------------

_PT_INTERP = 3


def loader_of(path, script=True):
    """(the dynamic loader that the ELF program `path` names (its PT_INTERP),
    `path`), or for a script (its interpreter's loader, its interpreter);
    None for a static program, or anything else."""
    try:
        with open(path, "rb") as file:
            head = file.read(256)
            if script and head.startswith(b"#!"):
                words = head[2:].split(b"\n")[0].split()
                return loader_of(os.fsdecode(words[0]), script=False) if words else None
            if head[:4] != b"\x7fELF" or head[4] not in (1, 2) or head[5] not in (1, 2):
                return None
            wide, order = head[4] == 2, "<" if head[5] == 1 else ">"
            # e_phoff, then e_phentsize and e_phnum; in a program header,
            # p_type, then p_offset and p_filesz.
            if wide:
                (table,), (size, count) = (struct.unpack_from(order + "Q", head, 32),
                                           struct.unpack_from(order + "HH", head, 54))
                fields = order + "I4xQ16xQ"
            else:
                (table,), (size, count) = (struct.unpack_from(order + "I", head, 28),
                                           struct.unpack_from(order + "HH", head, 42))
                fields = order + "II8xI"
            file.seek(table)
            headers = file.read(size * count)
            for at in range(0, len(headers) - struct.calcsize(fields) + 1, size or 1):
                kind, offset, length = struct.unpack_from(fields, headers, at)
                if kind == _PT_INTERP:
                    file.seek(offset)
                    loader = os.fsdecode(file.read(length).split(b"\0")[0])
                    return (loader, path) if loader else None
    except (OSError, struct.error):
        pass
    return None


def installed_library(program):
    """(the libftd2xx.so that the program's own load would find, None), or
    (None, why not). The program's loader lists what it would load with the
    library added (`ld.so --list`), and runs nothing; a program without a
    loader is not run at all."""
    found = loader_of(program)
    if found is None:
        return None, ("%s is not a dynamically linked program, so which %s it loads cannot be "
                      "told without running it" % (program, texts.LIBRARY_LINUX))
    loader, listed = found
    env = dict(os.environ)
    env["LD_PRELOAD"] = (env.get("LD_PRELOAD", "") + " " + texts.LIBRARY_LINUX).strip()
    try:
        trace = subprocess.run([loader, "--list", listed], env=env, stdin=subprocess.DEVNULL,
                               capture_output=True, text=True).stdout
    except OSError as error:
        return None, "its loader %s cannot list what it loads: %s" % (loader, error.strerror)
    found = re.search(r"^\s*%s => (.+) \(0x[0-9a-f]+\)$" % re.escape(texts.LIBRARY_LINUX),
                      trace, re.M)
    if found:
        return os.path.abspath(found.group(1)), None
    return None, "the loader finds no %s for %s" % (texts.LIBRARY_LINUX, program)


def adapter_folder(program, build, given):
    """(the folder of the adapter to test, None), or (None, why there is
    none): `given`, else the build's, else the one that came with the
    program: beside it in a build, or in its package's library folder
    (PREFIX/lib/MULTIARCH/quendal-bench/ftdi-adapter for PREFIX/bin)."""
    if given:
        candidates = [given]
    elif build:
        candidates = [os.path.join(build, "ftdi-adapter")]
    else:
        beside = os.path.dirname(program)
        prefix = os.path.dirname(beside)
        candidates = [os.path.join(beside, "ftdi-adapter")] + sorted(
            glob.glob(os.path.join(prefix, "lib", "*-linux-gnu*", "quendal-bench", "ftdi-adapter")))
    for folder in candidates:
        if os.path.exists(os.path.join(folder, texts.LIBRARY_LINUX)):
            return os.path.abspath(folder), None
    return None, "no adapter (%s) in %s" % (texts.LIBRARY_LINUX, " or ".join(candidates))


def find_drivers(program, adapter, wanted):
    """The drivers to test, in the order of their runs, and {name: why not}
    for each of the others that `wanted` (None: all) asks for. `adapter`:
    what `adapter_folder` gave."""
    drivers, untested = [], {}
    if wanted in (None, "installed"):
        library, why = installed_library(program)
        if library:
            drivers.append(Driver("installed", library, dict(os.environ)))
        else:
            untested["installed"] = why
    if wanted in (None, "adapter"):
        folder, why = adapter
        if folder:
            env = dict(os.environ)
            search = env.get("LD_LIBRARY_PATH")
            env["LD_LIBRARY_PATH"] = folder + (os.pathsep + search if search else "")
            drivers.append(Driver("adapter", os.path.join(folder, texts.LIBRARY_LINUX), env))
        else:
            untested["adapter"] = why
    return drivers, untested


def library_name(path):
    real = os.path.basename(os.path.realpath(path))
    return path if real == os.path.basename(path) else "%s (%s)" % (path, real)


def isolation_prefix(device, devices):
    """What goes in front of the program so that it sees only `device`;
    Refusal when that cannot be had and other FTDI devices are attached."""
    reason = isolation.unavailable("usb-device", device.port)
    if not reason:
        return isolation.prefix("usb-device", device.port)
    others = [other for other in devices if identity(other) != identity(device)]
    if others:
        raise Refusal("Cannot keep the other FTDI devices out of the drivers' sight (%s): "
                      "unplug them:%s" % (reason, listing(others)))
    return []


# One run ----------------------------------------------------------------

class Outcome:
    """One driver's run on one device, with what its report line says.

    status: "pass", "fail" (`problems` say why; a void run is one),
    "refused" (it did not start; `refused` says why and what to do) or
    "not tested" (no such driver; `not_tested` says why)."""

    def __init__(self, driver, device, not_tested=None):
        self.driver = driver
        self.device = device  # As found just before the run: the one driven.
        self.not_tested = not_tested
        self.refused = None
        self.isolated = False  # Whether the run saw only `device`.
        self.started = self.ended = None  # time.time() at each end of the run
        self.phases = []  # (phase, seconds it ran)
        self.values = []  # each reading, in order
        self.problems = []
        self.errors = ""  # what the program wrote to standard error
        self.detached = []  # the kernel drivers that the adapter detaches
        self.appeared = []  # FTDI devices that came onto the bus during the run

    @property
    def status(self):
        if self.not_tested:
            return "not tested"
        if self.refused:
            return "refused"
        return "fail" if self.problems else "pass"

    @property
    def serial(self):
        return self.device.serial if self.device else None

    @property
    def failure(self):
        return "; ".join(self.problems)

    def levels(self):
        """The D0/D1 levels read back: {(D0, D1), ...}."""
        return {d0_d1(value) for value in self.values}


def halted(screen):
    return "Error : " in screen and screen.endswith(texts.HIT_ANY_KEY)


def wait_for(run, reached, look):
    """Reads the output until `reached(screen)`; returns the screen and how
    the wait ended: "reached", "halted", "ended" or "stuck"."""
    deadline = time.monotonic() + TEXT_TIMEOUT
    while True:
        look()
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


def let_run(run, seconds, look):
    """Keeps reading the output (so that the program never blocks on it) for
    `seconds`, or until the program halts."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        look()
        run.pump(min(0.05, max(0.0, end - time.monotonic())))
        if halted(run.screen().decode("ascii", "replace")):
            return


def press(run):
    """Types one key."""
    try:
        run.type(b"k")
    except BrokenPipeError:  # It has ended; its status tells.
        pass


def drive(run, outcome, look):
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
        screen, how = wait_for(run, reached, look)
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
        let_run(run, PHASE_SECONDS[phase], look)
        press(run)


def wait_end(run, look):
    """The program's exit status, or None when it has not ended within
    TEXT_TIMEOUT."""
    deadline = time.monotonic() + TEXT_TIMEOUT
    while run.running():
        if time.monotonic() > deadline:
            return None
        look()
        run.pump(0.05)
    while run.pump(0):
        pass
    return run.process.returncode


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
    expected = tuple(station_report.EXPECTED_LEVELS.values())
    wrong = sorted({v for v in outcome.values if d0_d1(v) != expected})
    if wrong:
        (d0, level0), (d1, level1) = station_report.EXPECTED_LEVELS.items()
        outcome.problems.append("%s must read %d and %s %d (the fast pattern's last byte, 01), "
                                "read back %s" % (d0, level0, d1, level1,
                                                  ", ".join("%02x" % v for v in wrong)))


def run_program(command, env, outcome, look):
    """Runs `command` with its keys typed, and checks the run into
    `outcome`; `look` is called all along."""
    try:
        run = runner.Run(command, env, keyboard="pipe", keep_input_open=True)
    except OSError as error:
        outcome.problems.append("cannot start %s: %s" % (command[0], error.strerror))
        return
    try:
        if drive(run, outcome, look) != "stuck":
            run.close_input()  # The last key is typed; the end of input is one more.
            status = wait_end(run, look)
            if status is None:
                outcome.problems.append("no end within %.0f s of the last key; stopped"
                                        % TEXT_TIMEOUT)
            elif not outcome.problems:
                check(run.screen().decode("ascii", "replace"), status, outcome)
        outcome.errors = run.errors.decode(errors="replace")
    finally:
        run.close()


def run_driver(program, driver, chosen):
    """Runs `program` through `driver` on the device `chosen`, and returns
    its Outcome. The whole bus is searched again first: the run is refused
    when the device is gone or may not be driven, or when another FTDI
    device is attached and no namespace can hide it. The bus is watched
    during the run: a device that comes onto it while no namespace hides it
    makes the run void."""
    outcome = Outcome(driver, chosen)
    try:
        devices = ftdi_devices()
        device = find_again(chosen, devices)
        check_device(device, [driver])
        prefix = isolation_prefix(device, devices)
    except Refusal as refusal:
        outcome.refused = str(refusal)
        return outcome
    outcome.device, outcome.isolated = device, bool(prefix)
    outcome.detached = kernel_drivers(device) if driver.name == "adapter" else []
    watch = BusWatch(devices)
    outcome.started = time.time()
    run_program(prefix + [program], driver.env, outcome, watch.look)
    outcome.ended = time.time()
    watch.look(now=True)
    outcome.appeared = watch.appeared
    if outcome.appeared and not outcome.isolated:
        outcome.problems.append(
            "void: an FTDI device came onto the bus during the run (%s), and with no namespace "
            "to hide it the driver may have driven it instead: unplug it and run the board "
            "test again" % "; ".join(describe(other) for other in outcome.appeared))
    return outcome


def exit_text(status):
    if status < 0:
        try:
            return "killed by " + signal.Signals(-status).name
        except ValueError:
            return "killed by signal %d" % -status
    return "exit status %d" % status


def report_line(outcome):
    name = outcome.driver.name
    if outcome.not_tested:
        return "%s: not tested: %s" % (name, outcome.not_tested)
    library = library_name(outcome.driver.library)
    if outcome.refused:
        return "%s: %s; refused: %s" % (name, library, outcome.refused)
    phases = ", ".join("%s %.1f s" % phase for phase in outcome.phases) or "none"
    values = ", ".join("%02x (%d readings)" % item
                       for item in Counter(outcome.values).items()) or "none"
    verdict = "fail: " + outcome.failure if outcome.problems else "pass"
    notes = "".join("; detaches %s (the device's serial port comes back when it is plugged in "
                    "again)" % name for name in outcome.detached)
    if outcome.isolated:
        notes += "".join("; %s came onto the bus during the run, out of the driver's sight"
                         % (("serial " + other.serial) if other.serial else
                            "usb port " + other.port) for other in outcome.appeared)
    return "%s: %s; device %s%s; phases %s; read back %s; %s" % (
        name, library, describe(outcome.device), notes, phases, values, verdict)


# The last lines of the program's standard error that a failure shows.
STDERR_LINES = 10


def report(outcome):
    print(report_line(outcome))
    if outcome.problems and outcome.errors.strip():
        for line in outcome.errors.strip().splitlines()[-STDERR_LINES:]:
            print("    stderr: " + line)


# The command --------------------------------------------------------------

class Arguments(argparse.ArgumentParser):
    def error(self, message):
        self.print_usage(sys.stderr)
        self.exit(USAGE, "%s: %s\n" % (self.prog, message))


def build_default():
    """Builds the linux preset (configured first if it is not yet). Returns
    its folder, or None and what failed."""
    folder = os.path.join(REPO, "build", "linux")
    steps = [["cmake", "--build", "--preset", "linux"]]
    if not os.path.exists(os.path.join(folder, "CMakeCache.txt")):
        steps.insert(0, ["cmake", "--preset", "linux"])
    for step in steps:
        # Its output is not part of the report.
        if subprocess.run(step, cwd=REPO, stdout=sys.stderr).returncode != 0:
            return None, "The build failed: %s" % " ".join(step)
    return folder, None


def refused_by_operator(devices, drivers):
    """Asks on the terminal that is standard input, whatever standard output
    is (a report file, say). Returns None for yes, else why not."""
    if not sys.stdin.isatty():
        print(NOT_ASKED)
        return NOT_ASKED
    serials = [device.serial or "(none)" for device in devices]
    question = ("Run the board test on the FTDI %s through %s? It drives pins D0 and D1. [y/N] "
                % ("device with serial " + serials[0] if len(serials) == 1 else
                   "devices with serials " + ", ".join(serials),
                   " and ".join(d.name for d in drivers)))
    try:
        terminal = open(os.ttyname(sys.stdin.fileno()), "w")
    except OSError:  # No name for it: standard error is the next best.
        terminal = None
    try:
        print(question, end="", flush=True, file=terminal or sys.stderr)
    finally:
        if terminal:
            terminal.close()
    if sys.stdin.readline().strip().lower() in ("y", "yes"):
        return None
    print("Not run.")
    return "Not run: the answer was not y."


NOT_ASKED = "Not run: no --yes, and no terminal to ask on."


def report_file(parser, option, path):
    """The path of a report file, as a usage error when it cannot be one."""
    if path is None:
        return None
    path = os.path.abspath(path)
    if os.path.exists(path) and not os.path.isfile(path):
        parser.error("%s %s is not a file" % (option, path))
    folder = os.path.dirname(path)
    if not os.access(folder, os.W_OK | os.X_OK):
        parser.error("%s: cannot write into %s" % (option, folder))
    return path


def parse(arguments):
    """The options, checked before anything else is done."""
    parser = Arguments(
        prog="scripts/test-board.sh" if IN_SOURCE_TREE else "quendal-bench-board-test",
        formatter_class=argparse.RawDescriptionHelpFormatter, epilog=EXIT_STATUSES,
        description="Runs quendal-bench on each chosen FTDI device, one after another, through "
        "each driver it finds (the installed libftd2xx.so, then the libftdi1 adapter) and checks "
        "each run. Each driver sees only the device it runs on; where no namespace can be had, "
        "it runs only while that device is the only FTDI device. The report goes to standard "
        "output, the question to the terminal.")
    parser.add_argument("--serial", metavar="SERIAL", action="append",
                        help="test the FTDI device with this serial number (needed when more "
                        "than one is attached); given again, each such device in turn, as a "
                        "test station tests a fixture of boards")
    parser.add_argument("--driver", choices=DRIVER_NAMES,
                        help="only this driver: the libftd2xx.so that the loader finds for the "
                        "program, or the libftdi1 adapter")
    parser.add_argument("--yes", action="store_true",
                        help="run without asking (the devices are still named first)")
    parser.add_argument("--build", metavar="DIR",
                        help="the program and adapter built in DIR; builds nothing (default "
                        "in a source tree: build the linux preset, build/linux)")
    parser.add_argument("--program", metavar="PATH",
                        help="the program to test, e.g. the installed /usr/bin/quendal-bench; "
                        "builds nothing (default: the build's)")
    parser.add_argument("--adapter", metavar="DIR",
                        help="the folder of the adapter's libftd2xx.so (default: the build's; "
                        "with --program alone, the one that came with the program: beside it "
                        "in a build, or its package's)")
    parser.add_argument("--report", metavar="FILE",
                        help="also write the results to FILE as JSON: a record per board and "
                        "driver, with the serial, the device, the driver, the times, each "
                        "phase and the readings")
    parser.add_argument("--junit", metavar="FILE",
                        help="also write the results to FILE as JUnit XML, which CI servers "
                        "read: a test case per board and driver, the serial as its class name")
    args = parser.parse_args(arguments)
    for serial in args.serial or []:
        if serial == "":
            parser.error("--serial needs a serial number")
        if args.serial.count(serial) > 1:
            parser.error("--serial %s is given more than once" % serial)
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
    args.report = report_file(parser, "--report", args.report)
    args.junit = report_file(parser, "--junit", args.junit)
    if args.report and args.report == args.junit:
        parser.error("--report and --junit name the same file")
    return args


# The outcome of each exit status, in the report files.
OUTCOMES = {PASSED: station_report.PASS, FAILED: station_report.FAIL,
            REFUSED: station_report.REFUSED, NOT_RUN: station_report.NOT_RUN}


def main(arguments=None):
    args = parse(sys.argv[1:] if arguments is None else arguments)
    sys.stdout.reconfigure(line_buffering=True)
    results = station_report.Run(program=None, program_version=None,
                                 station=station_report.station(), start=time.time(), end=None,
                                 outcome=None, exit_status=None, records=[])
    try:
        status = test(args, results)
    except Refusal as refusal:
        print(refusal)
        results.message = str(refusal)
        status = REFUSED
    # The records in the order of the boards chosen, as a fixture's slots.
    results.records.sort(key=lambda record: args.serial.index(record.board.serial)
                         if args.serial else 0)
    if args.report or args.junit:
        results.end, results.exit_status, results.outcome = time.time(), status, OUTCOMES[status]
        if results.program:
            results.program_version = station_report.program_version(results.program)
        for path, write in ((args.report, station_report.write_json),
                            (args.junit, station_report.write_junit)):
            if not path:
                continue
            try:
                write(results, path)
            except OSError as error:
                print("Cannot write %s: %s" % (path, error.strerror or error))
                if status == PASSED:  # A result that no one will read is no pass.
                    status = FAILED
    return status


def board_of(device, serial=None):
    """The board in the report files: `device` as found, or only the serial
    that was chosen when none has it."""
    if device is None:
        return station_report.Board(serial or "")
    return station_report.Board(device.serial, device.vendor, device.product, device.name,
                                device.port, device.node, kernel_drivers(device))


def record_of(outcome, chosen):
    """The record of one driver's run on one board."""
    record = station_report.Record(board_of(outcome.device or chosen), outcome.driver.name,
                                   outcome.driver.library, station_report.PASS)
    if outcome.not_tested:
        record.outcome, record.message = station_report.NOT_RUN, "not tested: " + outcome.not_tested
    elif outcome.refused:
        record.outcome, record.message = station_report.REFUSED, outcome.refused
    elif outcome.problems:
        record.outcome, record.message = station_report.FAIL, outcome.failure
    record.start, record.end = outcome.started, outcome.ended
    record.phases, record.values = outcome.phases, outcome.values
    if outcome.problems:
        record.stderr = outcome.errors.strip().splitlines()[-STDERR_LINES:]
    return record


def test(args, results):
    """Runs the board test into `results`; returns the exit status."""
    devices = ftdi_devices()
    # (the serial chosen, its device, or None and why not)
    if args.serial:
        chosen = []
        for serial in args.serial:
            try:
                chosen.append((serial, choose(devices, serial), None))
            except Refusal as refusal:
                chosen.append((serial, None, str(refusal)))
    else:
        chosen = [(None, choose(devices, None), None)]
    build = args.build
    if not build and not args.program:
        build, failed = build_default()
        if build is None:
            print(failed)
            results.message = failed
            return FAILED
    program = results.program = os.path.abspath(
        args.program or os.path.join(build, "quendal-bench"))
    drivers, untested = find_drivers(program, adapter_folder(program, build, args.adapter),
                                     args.driver)
    names = [name for name in DRIVER_NAMES if args.driver in (None, name)]
    by_name = {driver.name: driver for driver in drivers}

    def driver_named(name):
        return by_name.get(name) or Driver(name, None, None)

    if not drivers:
        refusal = "No driver to test: %s." % "; ".join(untested.values())
        results.records += [station_report.Record(board_of(device, serial), name, None,
                                                  station_report.REFUSED, refusal)
                            for serial, device, _ in chosen for name in names]
        raise Refusal(refusal)
    # Every check of each device before the question.
    runnable, refused = [], []
    for serial, device, why in chosen:
        if why is None:
            try:
                check_device(device, drivers)
                isolation_prefix(device, devices)
                runnable.append(device)
                continue
            except Refusal as refusal:
                why = str(refusal)
        print(why)
        refused.append((serial, device, why))
        results.records += [station_report.Record(board_of(device, serial), name,
                                                  driver_named(name).library,
                                                  station_report.REFUSED, why) for name in names]
    if not runnable:
        return REFUSED

    for device in runnable:
        print("FTDI device: " + describe(device))
    print("Program: " + program)
    for driver in drivers:
        print("Driver %s: %s" % (driver.name, library_name(driver.library)))
    for name, why in untested.items():
        print("Driver %s: not tested: %s" % (name, why))
    why = None if args.yes else refused_by_operator(runnable, drivers)
    if why:
        results.records += [station_report.Record(board_of(device), name,
                                                  driver_named(name).library,
                                                  station_report.NOT_RUN, why)
                            for device in runnable for name in names]
        return NOT_RUN

    boards = []  # (device, its outcomes), in the order of the runs
    for device in runnable:
        outcomes = []
        boards.append((device, outcomes))
        refusal = None  # The board's, when it was refused before its first run.
        for name in names:
            if name not in by_name:
                outcome = Outcome(Driver(name, None, None), None, not_tested=untested[name])
                report(outcome)
            elif refusal:
                outcome = Outcome(by_name[name], device)
                outcome.refused = refusal
            else:
                started = any(o.started for _, done in boards for o in done)
                outcome = run_driver(program, by_name[name], device)
                if outcome.refused and not any(o.started for o in outcomes):
                    refusal = outcome.refused
                if outcome.refused and not started:
                    print(outcome.refused)  # Nothing has run: the refusal alone.
                else:
                    report(outcome)
            outcomes.append(outcome)
            results.records.append(record_of(outcome, device))
    if not any(o.started for _, outcomes in boards for o in outcomes):
        return REFUSED
    return conclude(boards, refused)


def board_name(device, serial=None):
    if device is None:
        return serial
    return device.serial or "usb port " + device.port


def conclude(boards, refused):
    """Prints the comparison of each board's drivers' readings and the result
    line; returns the exit status. `boards`: (device, outcomes) for each
    board that was run; `refused`: (serial, device, why) for each that was
    not."""
    several = len(boards) + len(refused) > 1
    failed = bool(refused)
    results = []
    for device, outcomes in boards:
        failed = failed or any(o.status in ("fail", "refused") for o in outcomes)
        read = [o for o in outcomes if o.values]
        if len({frozenset(o.levels()) for o in read}) > 1:
            print("The drivers read different D0/D1 (as D0, D1)%s: " % (
                " on " + board_name(device) if several else "")
                + "; ".join("%s %s" % (o.driver.name, sorted(o.levels())) for o in read))
            failed = True
        statuses = ", ".join("%s %s" % (o.driver.name, o.status) for o in outcomes)
        results.append("%s: %s" % (board_name(device), statuses) if several else statuses)
    results += ["%s: refused" % board_name(device, serial) for serial, device, _ in refused]
    print("Result: %s (%s)" % ("fail" if failed else "pass", "; ".join(results)))
    return FAILED if failed else PASSED


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(130)
