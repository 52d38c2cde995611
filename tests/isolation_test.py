"""The isolation's modes that stand in for parts of other machines, each as
its user sees it inside, and the machine outside as it was."""
import os
import subprocess
import tempfile
import unittest

import harness
from harness import isolation, runner

ISOLATION = isolation.__file__


def inside(mode, *arguments, command):
    """Runs `command` behind `mode`, or skips with why the mode cannot be
    had; returns its status and output."""
    reason = isolation.unavailable(mode, *arguments)
    if reason:
        raise unittest.SkipTest(reason)
    ran = subprocess.run(isolation.prefix(mode, *arguments) + command,
                         env=runner.environment(None), stdin=subprocess.DEVNULL,
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         universal_newlines=True, timeout=runner.SAFETY_TIMEOUT)
    return ran.returncode, ran.stdout


def leftovers():
    return sorted(n for n in os.listdir(tempfile.gettempdir()) if n.startswith("quendal-overlay-"))


class IsolationModeTest(unittest.TestCase):
    @unittest.skipIf(harness.emulated, "a native build only, as the bench-machine check: the "
                     "host's ldconfig leaves another architecture's libraries out of its cache")
    def test_bench_machine_has_the_library_in_usr_local_lib_and_keeps_the_rest(self):
        library = os.path.join(runner.boards(), "libftd2xx.so")
        machine = sorted(os.listdir(isolation.LOCAL_LIBRARIES))
        status, output = inside("bench-machine", library, command=["sh", "-c", """
            cmp "$1" /usr/local/lib/libftd2xx.so && ls -A /usr/local/lib \
              && /sbin/ldconfig -p | grep -c '=> /usr/local/lib/libftd2xx.so$'
            # A run within it may still have the drivers hidden.
            exec "$2" "$3" --check hide-drivers""", "sh", library, "/usr/bin/python3", ISOLATION])
        self.assertEqual(status, 0, output)
        others = [name for name in machine if not name.startswith("libftd2xx.so")]
        self.assertEqual(output.split(), sorted(others + ["libftd2xx.so"]) + ["1"])
        self.assertEqual(sorted(os.listdir(isolation.LOCAL_LIBRARIES)), machine)

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
        machine = sorted(os.listdir(isolation.BINFMT_MISC))
        status, output = inside("i386-binfmt", command=[
            "sh", "-c", "id -u && head -2 %s/qemu-i386" % isolation.BINFMT_MISC])
        self.assertEqual((status, output.split("\n")[:3]),
                         (0, ["0", "enabled", "interpreter " + isolation.QEMU_I386]))
        self.assertEqual(sorted(os.listdir(isolation.BINFMT_MISC)), machine)


if __name__ == "__main__":
    harness.main()
