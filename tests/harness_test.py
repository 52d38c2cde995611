"""The exit status of a process test file, which is what CTest sees, and
the records that the test command's summary reads."""
import os
import subprocess
import sys
import tempfile
import textwrap
import unittest

import harness
from harness import results

TESTS = os.path.dirname(os.path.abspath(__file__))

# Indented, so that CMake does not take its classes for CTest tests.
FILE = """
    import unittest
    import harness

    class PassingTest(unittest.TestCase):
        def test_passes(self):
            pass

    class FailingTest(unittest.TestCase):
        def test_fails(self):
            self.fail()

    class SkippingTest(unittest.TestCase):
        def test_skips(self):
            self.skipTest("no such feature here")

        def test_skips_its_only_subtest(self):
            with self.subTest(case=1):
                self.skipTest("no such feature here")

    class EmptiedTest(unittest.TestCase):
        def helper(self):
            pass

    if __name__ == "__main__":
        harness.main()
    """


# CTest's JUnit file for a stage: a GoogleTest test, and a test file's class,
# whose own records say more.
JUNIT = """<?xml version="1.0" encoding="UTF-8"?>
<testsuite name="Linux" tests="2" failures="0" skipped="0">
  <testcase name="RunFlowTest.HaltsOnFailure" classname="RunFlowTest" status="run"/>
  <testcase name="some.SkippingTest" classname="some" status="notrun">
    <skipped message="SKIP_RETURN_CODE=77"/>
  </testcase>
</testsuite>
"""


class MainTest(unittest.TestCase):
    def test_the_summary_counts_each_test_once_and_groups_the_skips(self):
        with tempfile.TemporaryDirectory(prefix="quendal-harness-") as folder:
            path = os.path.join(folder, "some_test.py")
            with open(path, "w") as file:
                file.write(textwrap.dedent(FILE))
            stages = os.path.join(folder, "stages")
            os.mkdir(stages)
            with open(os.path.join(stages, "linux.xml"), "w") as file:
                file.write(JUNIT)
            for names in [["PassingTest", "SkippingTest"], ["FailingTest"]]:
                subprocess.run([sys.executable, path, "-v"] + names,
                               env=dict(os.environ, PYTHONPATH=TESTS,
                                        **{results.RECORDS_VARIABLE: os.path.join(
                                            stages, "linux.jsonl")}),
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               timeout=harness.SAFETY_TIMEOUT)
            self.assertEqual(results.summary(stages), [
                "Tests: 5 run, 3 passed, 1 failed, 1 skipped; 1 skipped cases of tests that ran",
                "  failed: linux: some.FailingTest.test_fails",
                "Skipped (2): no such feature here",
                "    linux: some.SkippingTest.test_skips",
                "    linux: some.SkippingTest.test_skips_its_only_subtest [case=1]"])

    def test_exit_status_of_each_kind_of_run(self):
        with tempfile.TemporaryDirectory(prefix="quendal-harness-") as folder:
            path = os.path.join(folder, "some_test.py")
            with open(path, "w") as file:
                file.write(textwrap.dedent(FILE))
            for names, status in [
                    (["PassingTest"], 0),
                    (["PassingTest", "SkippingTest"], 0),
                    (["PassingTest", "FailingTest"], 1),
                    (["SkippingTest"], harness.SKIPPED),
                    (["SkippingTest.test_skips_its_only_subtest"], harness.SKIPPED),
                    (["EmptiedTest"], harness.NO_TESTS),
                    (["RenamedTest"], 1),
                    (["PassingTest", "-k", "no_such_case"], harness.NO_TESTS)]:
                with self.subTest(names=names):
                    ran = subprocess.run([sys.executable, path, "-v"] + names,
                                         env=dict(os.environ, PYTHONPATH=TESTS),
                                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                         universal_newlines=True,
                                         timeout=harness.SAFETY_TIMEOUT)
                    self.assertEqual(ran.returncode, status, ran.stdout)


if __name__ == "__main__":
    harness.main()
