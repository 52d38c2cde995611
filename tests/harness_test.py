"""The exit status of a process test file, which is what CTest sees."""
import os
import subprocess
import sys
import tempfile
import textwrap
import unittest

import harness

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


class MainTest(unittest.TestCase):
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
