"""The isolation's modes that stand in for parts of other machines, each as
its user sees it inside, and the machine outside as it was; the isolation's
command line."""
import hashlib
import os
import subprocess
import sys
import tempfile
import unittest

import harness
from harness import isolation, isolation_modes, runner

MODES = isolation_modes.__file__
TESTS = os.path.dirname(os.path.abspath(__file__))
VENDOR_LIBRARY = [sys.executable, os.path.join(TESTS, "bench-machine", "vendor-library.py")]
LOCAL = isolation_modes.LOCAL_LIBRARIES

# What a program loads for the driver: the library that the loader finds for
# "libftd2xx.so", as the loader itself lists it for a program that preloads
# it (it runs nothing, so a sanitizer build's library is listed too), with
# its bytes' digest.
LOADS = r"""
import hashlib, os, re, subprocess
listed = subprocess.run(["/bin/true"], env={"LD_TRACE_LOADED_OBJECTS": "1",
                        "LD_PRELOAD": "libftd2xx.so"}, capture_output=True, text=True).stdout
path = os.path.realpath(re.search(r"^\s*libftd2xx\.so => (\S+)", listed, re.M).group(1))
print("loads", path, hashlib.sha256(open(path, "rb").read()).hexdigest())
"""


def run(command):
    ran = subprocess.run(command, env=runner.environment(None), stdin=subprocess.DEVNULL,
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         universal_newlines=True, timeout=runner.SAFETY_TIMEOUT)
    return ran.returncode, ran.stdout


def inside(mode, *arguments, command, machine=()):
    """Runs `command` behind `mode` (on the stand-in `machine`, a command
    prefix), or skips with why the mode cannot be had; returns its status
    and output."""
    isolation_modes.require(mode, *arguments)
    return run(list(machine) + isolation_modes.prefix(mode, *arguments) + command)


def digest(path):
    with open(path, "rb") as file:
        return hashlib.sha256(file.read()).hexdigest()


def leftovers():
    return sorted(n for n in os.listdir(tempfile.gettempdir()) if n.startswith("quendal-overlay-"))


class IsolationModeTest(unittest.TestCase):
    @unittest.skipIf(harness.emulated, "a native build only, as the bench-machine check: the "
                     "host's ldconfig leaves another architecture's libraries out of its cache")
    def test_bench_machine_loads_the_library_installed_in_usr_local_lib_only(self):
        library = os.path.join(runner.boards(), "libftd2xx.so")
        # Both machines are stood in for in namespaces.
        isolation_modes.require("bench-machine", library)
        # The vendor's stand-in: another library, which a program there loads.
        stand_in = os.path.join(runner.boards(harness.cases.BINDING_CASES[0].variant),
                                "libftd2xx.so")
        vendor = VENDOR_LIBRARY + [stand_in, "--"]
        machine_entries = sorted(os.listdir(LOCAL))
        others = [n for n in machine_entries if not n.startswith("libftd2xx.so")]
        probe = ["sh", "-c", """
            /usr/bin/python3 -c "$1" && ls -A /usr/local/lib \
              && /sbin/ldconfig -p | grep -c libftd2xx
            # A run within it may still have the drivers hidden.
            exec /usr/bin/python3 "$2" --check hide-drivers""", "sh", LOADS, MODES]
        with self.subTest(machine="this one"):
            status, output = inside("bench-machine", library, command=probe)
            self.assertEqual(status, 0, output)
            self.assertEqual(output.split(), ["loads", LOCAL + "/libftd2xx.so", digest(library)]
                             + sorted(others + ["libftd2xx.so"]) + ["1"])
            self.assertEqual(sorted(os.listdir(LOCAL)), machine_entries)
        with self.subTest(machine="the vendor's library in /usr/local/lib"):
            # The stand-in machine itself loads the vendor's file.
            status, output = run(vendor + [sys.executable, "-c", LOADS])
            self.assertEqual((status, output.split()), (0, [
                "loads", LOCAL + "/libftd2xx.so.1.4.24", digest(stand_in)]), output)
            # In the mode, the adapter; after it, the vendor's files as they were.
            status, output = inside("bench-machine", library, machine=vendor, command=probe)
            self.assertEqual(status, 0, output)
            self.assertEqual(output.split(), ["loads", LOCAL + "/libftd2xx.so", digest(library)]
                             + sorted(others + ["libftd2xx.so"]) + ["1"])
            status, output = run(vendor + ["sh", "-c", """
                isolated=$(/usr/bin/python3 "$1" bench-machine "$2" -- true) || exit
                readlink /usr/local/lib/libftd2xx.so
                sha256sum </usr/local/lib/libftd2xx.so.1.4.24""", "sh", MODES, library])
            self.assertEqual((status, output.split()), (0, ["libftd2xx.so.1.4.24",
                                                            digest(stand_in), "-"]), output)

    def test_overlay_root_keeps_its_writes_from_the_machine(self):
        before = leftovers()
        probe = "/usr/quendal-isolation-probe"
        self.assertFalse(os.path.exists(probe))
        status, output = inside("overlay-root", command=["sh", "-c", "touch %s && ls %s"
                                                         % (probe, probe)])
        self.assertEqual((status, output), (0, probe + "\n"))
        self.assertFalse(os.path.exists(probe))
        self.assertEqual(leftovers(), before)

    def test_i386_binfmt_registers_qemu_in_its_own_binfmt_misc_only(self):
        binfmt_misc = isolation_modes.BINFMT_MISC
        machine = sorted(os.listdir(binfmt_misc))
        status, output = inside("i386-binfmt", command=[
            "sh", "-c", "id -u && head -2 %s/qemu-i386" % binfmt_misc])
        self.assertEqual((status, output.split("\n")[:3]),
                         (0, ["0", "enabled", "interpreter " + isolation_modes.QEMU_I386]))
        self.assertEqual(sorted(os.listdir(binfmt_misc)), machine)


class CommandLineTest(unittest.TestCase):
    def test_a_misuse_has_its_own_status_and_is_no_reason(self):
        for script in [isolation.__file__, MODES]:
            for arguments in [[], ["no-such-mode", "--", "true"], ["--check", "no-such-mode"],
                              ["usb-device", "--", "true"], ["hide-drivers", "true"]]:
                with self.subTest(script=os.path.basename(script), arguments=arguments):
                    status, output = run([sys.executable, script] + arguments)
                    self.assertEqual(status, isolation.USAGE, output)
                    self.assertIn(os.path.basename(script) + " MODE", output)
        with self.assertRaises(ValueError):
            isolation.unavailable("no-such-mode")


if __name__ == "__main__":
    harness.main()
