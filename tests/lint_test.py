"""scripts/lint.sh: a finding of either linter fails it, wherever the file
is and however it is named."""
import os
import shutil
import subprocess
import tempfile
import unittest

import harness

LINT = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "scripts",
                    "lint.sh")
CLEAN_PYTHON = "import os\nprint(os.sep)\n"
CLEAN_SHELL = '#!/bin/sh\nfolder=$1\nls -- "$folder"\n'


@unittest.skipUnless(shutil.which("pyflakes3") and shutil.which("shellcheck"),
                     "needs pyflakes3 and shellcheck (scripts/install-deps.sh --tests)")
class LintTest(unittest.TestCase):
    def test_a_finding_fails_and_is_named(self):
        for name, content, finding in [
                (None, None, None),
                ("tools/unused.py", "import os\nimport sys\nprint(os.sep)\n",
                 "'sys' imported but unused"),
                ("scripts/unquoted.sh", '#!/bin/sh\nfolder=$1\nls -- $folder\n', "SC2086"),
                # Known by its #! line alone.
                ("packaging/wrapper.in", '#!/bin/sh\nexec prog $@\n', "SC2068"),
                ("scripts/run-me", "#!/usr/bin/python3\nimport json\n",
                 "'json' imported but unused"),
                # Build folders are not the tree's.
                ("build/linux/generated.py", "import sys\n", None)]:
            with self.subTest(file=name), tempfile.TemporaryDirectory(
                    prefix="quendal-lint-") as root:
                files = {"tools/clean.py": CLEAN_PYTHON, "scripts/clean.sh": CLEAN_SHELL}
                if name:
                    files[name] = content
                for path, text in files.items():
                    os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
                    with open(os.path.join(root, path), "w") as file:
                        file.write(text)
                ran = subprocess.run([LINT, root], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     universal_newlines=True, timeout=120)
                self.assertEqual(ran.returncode, 1 if finding else 0, ran.stdout)
                if finding:
                    self.assertIn(name, ran.stdout)
                    self.assertIn(finding, ran.stdout)


if __name__ == "__main__":
    harness.main()
