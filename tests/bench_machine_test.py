"""On a machine that gives no namespaces (a default Docker container, whose
seccomp profile denies unshare), what needs one skips with the reason and
the test command stays green: the isolated cases and the bench-machine
check; where CI requires namespaces, each fails instead. tests/bench-machine/without-namespaces.py stands in for such a
machine."""
import os
import platform
import subprocess
import sys
import unittest

import harness
from harness import isolation_modes

TESTS = os.path.dirname(os.path.abspath(__file__))
WITHOUT_NAMESPACES = [sys.executable, os.path.join(TESTS, "bench-machine",
                                                   "without-namespaces.py")]
# The reason names what the filter answered.
REASON = r"[^\n]*Operation not permitted[^\n]*"


@unittest.skipUnless(platform.machine() == "x86_64", "the stand-in's filter is for x86-64")
class WithoutNamespacesTest(unittest.TestCase):
    def without_namespaces(self, command, required=False):
        # As on a newcomer's machine, whatever CI asks of this one.
        env = {k: v for k, v in os.environ.items() if k != isolation_modes.REQUIRED_VARIABLE}
        if required:
            env[isolation_modes.REQUIRED_VARIABLE] = "1"
        return subprocess.run(WITHOUT_NAMESPACES + command, env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, universal_newlines=True,
                              timeout=harness.SAFETY_TIMEOUT)

    def test_an_isolated_case_skips_with_the_reason_or_fails_where_required(self):
        command = [sys.executable, os.path.join(TESTS, "ftdi_adapter_test.py"), "-v",
                   "RunWithoutBoardTest"]
        ran = self.without_namespaces(command)
        self.assertEqual(ran.returncode, harness.SKIPPED, ran.stdout)
        self.assertRegex(ran.stdout, r"\.\.\. skipped '%s'" % REASON)
        ran = self.without_namespaces(command, required=True)
        self.assertEqual(ran.returncode, 1, ran.stdout)
        self.assertRegex(ran.stdout, r"AssertionError: %s=1, and %s" % (
            isolation_modes.REQUIRED_VARIABLE, REASON))

    def test_the_bench_machine_check_skips_with_the_reason(self):
        if os.environ.get("QUENDAL_BUILD_TYPE") != "Release" or harness.emulated:
            self.skipTest("the check needs a native release build")
        build = os.path.dirname(harness.runner.program())
        check = [os.path.join(TESTS, "bench-machine", "check.py"), build]
        for required, status in [(False, 0), (True, 1)]:
            with self.subTest(required=required):
                ran = self.without_namespaces(check, required)
                self.assertEqual(ran.returncode, status, ran.stdout)
                self.assertRegex(ran.stdout, r"\Abench machine: skipped: %s\n\Z" % REASON)


if __name__ == "__main__":
    harness.main()
