"""On a machine that gives no namespaces (a default Docker container, whose
seccomp profile denies unshare), what needs one skips with the reason and
the test command stays green: the isolated cases and the bench-machine
check. tests/bench-machine/without-namespaces.py stands in for such a
machine."""
import os
import platform
import subprocess
import sys
import unittest

import harness

TESTS = os.path.dirname(os.path.abspath(__file__))
WITHOUT_NAMESPACES = [sys.executable, os.path.join(TESTS, "bench-machine",
                                                   "without-namespaces.py")]
# The reason names what the filter answered.
REASON = r"[^\n]*Operation not permitted[^\n]*"


@unittest.skipUnless(platform.machine() == "x86_64", "the stand-in's filter is for x86-64")
class WithoutNamespacesTest(unittest.TestCase):
    def without_namespaces(self, command):
        return subprocess.run(WITHOUT_NAMESPACES + command, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, universal_newlines=True,
                              timeout=harness.SAFETY_TIMEOUT)

    def test_an_isolated_case_skips_with_the_reason(self):
        ran = self.without_namespaces([sys.executable, os.path.join(TESTS, "ftdi_adapter_test.py"),
                                       "-v", "RunWithoutBoardTest"])
        self.assertEqual(ran.returncode, harness.SKIPPED, ran.stdout)
        self.assertRegex(ran.stdout, r"\.\.\. skipped '%s'" % REASON)

    def test_the_bench_machine_check_skips_with_the_reason(self):
        if os.environ.get("QUENDAL_BUILD_TYPE") != "Release" or harness.emulated:
            self.skipTest("the check needs a native release build")
        build = os.path.dirname(harness.runner.program())
        ran = self.without_namespaces([os.path.join(TESTS, "bench-machine", "check.py"), build])
        self.assertEqual(ran.returncode, 0, ran.stdout)
        self.assertRegex(ran.stdout, r"\Abench machine: skipped: %s\n\Z" % REASON)


if __name__ == "__main__":
    harness.main()
