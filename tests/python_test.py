"""Every Python that the tests and the scripts run is Debian's
/usr/bin/python3, whose packages (umockdev's bindings) the tests need, even
with another python3 first on PATH."""
import os
import re
import subprocess
import sys
import tempfile
import unittest

import harness

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEBIAN_PYTHON = "/usr/bin/python3"
# Commands that start Python, each asked only for its help.
COMMANDS = [
    ["scripts/test-board.sh", "--help"],
    ["scripts/vcd-to-svg.py", "--help"],
    ["benchmarks/run.py", "--help"],
    ["tests/bench-machine/check.py", "--help"],
    ["packaging/debian/changelog.py", "--help"],
]
# A python3 that a shell line starts by its bare name.
BARE_PYTHON = re.compile(r"(^|[;&|(]|\bexec|\bthen|\bdo)\s*python3?\b", re.M)
SKIPPED_FOLDERS = {".git", "build", "dist"}


def source_files():
    for folder, folders, names in os.walk(SOURCE):
        folders[:] = [f for f in folders if f not in SKIPPED_FOLDERS]
        for name in names:
            yield os.path.join(folder, name)


class DebianPythonTest(unittest.TestCase):
    def test_ctest_runs_the_tests_under_it(self):
        self.assertEqual(sys.executable, DEBIAN_PYTHON)

    def test_commands_run_it_whatever_python3_is_first_on_path(self):
        with tempfile.TemporaryDirectory(prefix="quendal-python-") as folder:
            env = dict(os.environ, PATH=harness.other_python(folder) + ":" + os.environ["PATH"])
            for command in COMMANDS:
                with self.subTest(command=command[0]):
                    ran = subprocess.run(command, cwd=SOURCE, env=env, stdin=subprocess.DEVNULL,
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                         universal_newlines=True, timeout=60)
                    self.assertNotIn(harness.fixture.OTHER_PYTHON, ran.stderr)
                    self.assertEqual(ran.returncode, 0, ran.stderr)

    def test_scripts_name_it(self):
        """Every shebang that names a Python, and every shell line that
        starts one."""
        wrong = []
        for path in source_files():
            try:
                with open(path) as file:
                    text = file.read()
            except (UnicodeDecodeError, OSError):
                continue
            name = os.path.relpath(path, SOURCE)
            first = text.split("\n", 1)[0]
            if first.startswith("#!") and "python" in first and first != "#!" + DEBIAN_PYTHON:
                wrong.append("%s: %s" % (name, first))
            shell = first.startswith("#!") and first.endswith(("sh", "bash"))
            bare = BARE_PYTHON.search(text)
            if (shell or name.endswith(".in")) and bare:
                wrong.append("%s: %s" % (name, bare.group(0).strip()))
        self.assertEqual(wrong, [])


if __name__ == "__main__":
    harness.main()
