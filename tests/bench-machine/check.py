#!/usr/bin/python3
"""The suite on a bench engineer's machine: a libftd2xx.so installed in
/usr/local/lib and known to ldconfig, and an FTDI device attached.

Both are stood in for, and the machine outside never sees them: each run
is behind the isolation's bench-machine mode, whose mount namespace has the
build's adapter (which drives real chips through libusb) or virtual board
installed in /usr/local/lib, beside what is there, with a loader's cache of
its own, and hides the machine's USB devices; an FT232R emulated with
umockdev, as the wire tests do, is on the bus, and every program of the run
sees it through the preload library and UMOCKDEV_DIR in its environment.

A first run of the program there, with nothing more hidden from it, shows
that it loads the installed library (and, on the adapter, reaches the
chip). Then the build's CTest tests run there. The check fails when one of
them fails, or when anything beyond enumeration (an open of the chip's
device node, an ioctl) reaches the chip: the wire tests bring chips of
their own. It lists each skipped case with its reason.

Usage: tests/bench-machine/check.py BUILD [--driver adapter|virtual-board]
                                          [CTEST ARGUMENT...]
BUILD is a native Linux release build (the wire tests' chips need one).
Runs as root, or in a user namespace of its own; where neither can be had,
it prints why and skips, with status 0.
"""
import argparse
import os
import re
import subprocess
import sys
import time

TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, TESTS)
from harness import isolation, isolation_modes, results, texts  # noqa: E402

LOCAL_LIBRARIES = isolation_modes.LOCAL_LIBRARIES
DRIVERS = {"adapter": "ftdi-adapter", "virtual-board": "virtual-board"}
PARALLEL = "2"


def running_tests():
    """The CTest tests running now, as FILE.Class."""
    found = set()
    for pid in os.listdir("/proc"):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as file:
                words = file.read().decode(errors="replace").split("\0")
        except (OSError, ValueError):
            continue
        for at, word in enumerate(words):
            name = os.path.basename(word)
            if name.endswith("_test.py") and at + 2 < len(words) and words[at + 1] == "-v":
                found.add("%s.%s" % (name[:-len("_test.py")], words[at + 2]))
    return sorted(found)


def watched_chip():
    """An emulated FT232R that notes each open of its node and each ioctl,
    with the tests running at the time."""
    from wire import ft232r
    from wire.ft232r import EmulatedFt232r

    IOCTL_NAMES = {getattr(ft232r, name): "USBDEVFS_" + name for name in [
        "SUBMITURB", "DISCARDURB", "REAPURB", "REAPURBNDELAY", "CLAIMINTERFACE",
        "RELEASEINTERFACE", "GETDRIVER", "USBDEVFS_IOCTL", "GET_CAPABILITIES"]}
    IOCTL_NAMES[ft232r.USBDEVFS_IOCTL] = "USBDEVFS_IOCTL"

    class WatchedChip(EmulatedFt232r):
        def __init__(self):
            super().__init__()
            self.events = []
            self.started = time.monotonic()

        def note(self, what):
            self.events.append((time.monotonic() - self.started, what,
                                ", ".join(running_tests()) or "none"))

        def do_client_connected(self, client):
            self.note("device node opened")

        def do_handle_ioctl(self, client):
            request = client.get_request()
            self.note("ioctl " + IOCTL_NAMES.get(request, "%#x" % request))
            return super().do_handle_ioctl(client)

    return WatchedChip()


def check_stand_ins(machine, build, driver, env, chip):
    """Fails unless a run behind `machine` (the mode's prefix) and nothing
    else loads the installed library and, on the adapter, drives the chip;
    then clears the chip's record."""
    ran = subprocess.run(machine + [os.path.join(build, "quendal-bench")], input=b"abcd",
                         env=dict(env, LD_DEBUG="libs"), stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, timeout=60)
    problems = []
    if b"calling init: %s/libftd2xx.so\n" % LOCAL_LIBRARIES.encode() not in ran.stderr:
        problems.append("the program did not load %s/libftd2xx.so" % LOCAL_LIBRARIES)
    if ran.stdout != texts.as_bytes(texts.whole_run(1)):
        problems.append("the program's run: %r" % ran.stdout[-300:])
    if driver == "adapter" and not chip.transfers:
        problems.append("nothing reached the emulated chip")
    if problems:
        sys.exit("bench machine: the stand-ins do not work: " + "; ".join(problems))
    chip.forget()
    chip.events.clear()


def skipped_cases(build):
    """(test, case, reason) for each case that a process test skipped."""
    try:
        with open(os.path.join(build, "Testing", "Temporary", "LastTest.log"),
                  errors="replace") as log:
            text = log.read()
    except FileNotFoundError:
        return []
    found = []
    for part in re.split(r"^\d+/\d+ Testing: ", text, flags=re.M)[1:]:
        test = part.split("\n", 1)[0].strip()
        for case, reason in re.findall(r"^\s*(test\w+) .*?\.\.\. skipped '(.*)'$", part, re.M):
            if (test, case, reason) not in found:  # Once for all its subtests.
                found.append((test, case, reason))
    return found


def print_events(events, transfers):
    """What reached the chip: each kind of event once, with its count, the
    time of its first and the tests running then; then the transfers."""
    seen = {}
    for at, what, tests in events:
        first, count = seen.get((what, tests), (at, 0))
        seen[(what, tests)] = (first, count + 1)
    for (what, tests), (first, count) in sorted(seen.items(), key=lambda item: item[1]):
        print("  from %6.1f s: %s, %d times, while running: %s" % (first, what, count, tests))
    requests = {}
    for transfer in transfers:
        name = "bulk write" if transfer.kind == "bulk" else "control request %#04x" % (
            transfer.request)
        requests[name] = requests.get(name, 0) + 1
    for name, count in sorted(requests.items()):
        print("  %s: %d" % (name, count))


def run(build, library, driver, ctest_arguments):
    base = {k: v for k, v in os.environ.items() if not isolation.inherited(k)}
    machine = isolation_modes.prefix("bench-machine", library)
    from wire.ft232r import EmulatedBus

    chip = watched_chip()
    with EmulatedBus(chip) as bus:
        env = dict(base, **bus.environment())
        check_stand_ins(machine, build, driver, env, chip)
        print("bench machine: %s as %s/libftd2xx.so, an emulated FT232R attached"
              % (driver, LOCAL_LIBRARIES), flush=True)
        records = os.environ.get(results.RECORDS_VARIABLE)
        junit = ["--output-junit", os.path.splitext(records)[0] + ".xml"] if records else []
        ctest = subprocess.run(machine + ["ctest", "--test-dir", build, "-j", PARALLEL,
                                          "--output-on-failure", *junit, *ctest_arguments],
                               env=env)
        events = list(chip.events)
        transfers = list(chip.transfers)
    results.write([{"test": "bench-machine check: nothing beyond enumeration reached the chip",
                    "outcome": "failed" if events else "passed"}])

    for test, case, reason in skipped_cases(build):
        print("bench machine: skipped: %s %s: %s" % (test, case, reason))
    if events:
        print("bench machine: reached the emulated chip (beyond enumeration):")
        print_events(events, transfers)
    else:
        print("bench machine: nothing beyond enumeration reached the emulated chip")
    return 0 if ctest.returncode == 0 and not events else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build")
    parser.add_argument("--driver", choices=sorted(DRIVERS), default="adapter")
    arguments, ctest_arguments = parser.parse_known_args()
    build = os.path.abspath(arguments.build)
    with open(os.path.join(build, "CMakeCache.txt")) as cache:
        settings = cache.read()
    # Elsewhere the wire tests skip, and umockdev's preload library cannot go
    # into a sanitizer build's programs.
    if "CMAKE_BUILD_TYPE:STRING=Release\n" not in settings or "CMAKE_TOOLCHAIN_FILE" in settings:
        sys.exit("bench machine: %s is not a native release build" % build)
    # A machine without namespaces (a default Docker container) cannot stand
    # one in; its isolated cases skip in the suite all the same.
    library = os.path.join(build, DRIVERS[arguments.driver], "libftd2xx.so")
    reason = isolation_modes.unavailable("bench-machine", library)
    if reason:
        print("bench machine: skipped: " + reason)
        results.write([{"test": "bench-machine check", "outcome": "skipped", "reason": reason}])
        sys.exit(1 if isolation_modes.required() else 0)
    sys.exit(run(build, library, arguments.driver, ctest_arguments))


if __name__ == "__main__":
    main()
