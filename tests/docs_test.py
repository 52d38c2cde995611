"""The documents against the program: every copy of the program's texts in
what operators read, the board test's report line as it prints it, and the
harness's own example run as a test."""
import contextlib
import difflib
import io
import json
import os
import re
import subprocess
import sys
import tempfile
import textwrap
import unittest

import harness
from harness import texts
from quendal_tools import board_test

TESTS = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(TESTS)

# Any run's screen, as the documents show it: two readings.
TRANSCRIPT = texts.whole_run(2)
MESSAGES = [message.rstrip("\n") for message in
            [texts.cant_load(texts.LIBRARY_LINUX), texts.cant_load(texts.LIBRARY_WINDOWS)]
            + [texts.cant_find(entry) for entry in texts.ENTRY_POINTS]
            + [message.replace("%d", "N") for message in texts.FAILURES.values()]]
# What a document may quote of the program: a whole message, a line of the
# transcript, or the status part of a failure message.
QUOTABLE = set(MESSAGES + TRANSCRIPT.split("\n") + [texts.HIT_ANY_KEY, "(N returned)"]) - {""}
# What a document that lists the messages quotes: each one, where the first
# missing entry point stands for the others, and the halt's prompt.
LISTED = [m for m in MESSAGES if not m.startswith("Error : Can't find")] + [
    texts.cant_find(texts.ENTRY_POINTS[0]).rstrip("\n"), texts.HIT_ANY_KEY]


def normal(quote):
    """A line break with the blanks around it as one space, a status as N."""
    return re.sub(r"\((-?\d+) returned\)", "(N returned)", re.sub(r" *\n\s*", " ", quote))


def markdown_quotes(text):
    return re.findall(r"`([^`]+)`", re.sub(r"(?ms)^```.*?^```$", "", text))


def scdoc_quotes(text):
    """Quoted texts, escapes undone; an unescaped * or _ is formatting, no text."""
    return re.findall(r'"([^"]+)"', re.sub(r"\\(.)|[*_]", lambda m: m.group(1) or "\0", text))


def text_quotes(text):
    """Quoted texts, and the indented lines, each cut where a comment
    follows after a run of blanks."""
    lines = re.findall(r"^    (.*\S.*)$", text, re.M)
    return re.findall(r'"([^"]+)"', text) + [part for line in lines
                                             for part in re.split(r"(?<=\S)\s{2,}", line)]


def indented(text):
    return "\n".join("    " + line if line else "" for line in text.split("\n"))


class Copy:
    """A document: what it quotes of the program, how it shows the
    transcript, and which texts it must quote."""

    def __init__(self, path, quotes, transcript=None, required=()):
        with open(os.path.join(SOURCE, path), encoding="utf-8") as file:
            self.text = file.read()
        self.path, self.transcript, self.required = path, transcript, required
        self.quotes = lambda text: [normal(quote) for quote in quotes(text)]


COPIES = [
    Copy("README.md", markdown_quotes, "```\n%s\n```\n" % TRANSCRIPT, LISTED),
    Copy("packaging/man/quendal-bench.1.scd.in", scdoc_quotes, "```\n%s\n```\n" % TRANSCRIPT,
         LISTED),
    Copy("packaging/windows/README.txt.in", text_quotes, "\n%s\n\n" % indented(TRANSCRIPT),
         [m for m in LISTED if texts.LIBRARY_LINUX not in m]),
    Copy("docs/virtual-board.md", markdown_quotes),
]


class ProgramTextsTest(unittest.TestCase):
    def test_each_copy_shows_the_whole_transcript_and_every_message(self):
        for copy in COPIES:
            with self.subTest(copy.path):
                if copy.transcript:
                    self.assertIn(copy.transcript, copy.text)
                quoted = copy.quotes(copy.text)
                for text in copy.required:
                    self.assertIn(text, quoted)

    def test_nothing_quoted_is_a_near_copy_of_a_text(self):
        """A quote that differs from a text of the program by a few
        characters (a typo, a lost blank, another spelling) is a wrong copy."""
        for copy in COPIES:
            text = copy.text.replace(copy.transcript, "") if copy.transcript else copy.text
            for quote in copy.quotes(text):
                if quote in QUOTABLE:
                    continue
                with self.subTest(copy.path, quote=quote):
                    self.assertFalse(quote.startswith("Error :"), "not a message of the program")
                    self.assertEqual(difflib.get_close_matches(quote, QUOTABLE, n=1, cutoff=0.75),
                                     [], "differs from the program's text")


class PresetsTest(unittest.TestCase):
    def test_every_preset_that_a_command_in_the_docs_names_exists(self):
        with open(os.path.join(SOURCE, "CMakePresets.json")) as file:
            presets = json.load(file)
        kinds = {"cmake": "configurePresets", "cmake --build": "buildPresets",
                 "cmake --workflow": "workflowPresets", "ctest": "testPresets"}
        for path in ["README.md", "docs/developing.md", "docs/virtual-board.md",
                     "benchmarks/README.md"]:
            with open(os.path.join(SOURCE, path), encoding="utf-8") as file:
                text = file.read()
            for command, name in re.findall(
                    r"\b(cmake(?:\s+--build|\s+--workflow)?|ctest)\s+--preset\s+([\w-]+)", text):
                kind = kinds[" ".join(command.split())]
                with self.subTest(path, command=command, preset=name):
                    self.assertIn(name, [preset["name"] for preset in presets.get(kind, [])])


class BoardReportTest(unittest.TestCase):
    def test_the_sample_line_is_what_the_board_test_prints(self):
        with open(os.path.join(SOURCE, "docs", "developing.md"), encoding="utf-8") as file:
            sample = re.search(r"\n```\n(adapter: .*\n)```\n", file.read()).group(1)
        device = board_test.Device("0403", "6001", "FT232R USB UART", "A50285BI", "1-1.4",
                                   "/dev/bus/usb/001/005", {"1-1.4:1.0": None})
        driver = board_test.Driver(
            "adapter", "/home/bench/quendal-bench/build/linux/ftdi-adapter/libftd2xx.so", {})
        outcome = board_test.Outcome(driver, device)
        outcome.phases = [("slow", 3.0), ("fast", 1.0), ("read-back", 0.5)]
        outcome.values = [0xFD] * 412
        printed = io.StringIO()
        with contextlib.redirect_stdout(printed):
            board_test.report(outcome)
        self.assertEqual(printed.getvalue(), sample)


class HarnessExampleTest(unittest.TestCase):
    def test_the_example_in_the_harness_docstring_passes(self):
        block = re.search(r"\n\n((?:    .*\n|\n)+)", harness.__doc__).group(1)
        with tempfile.TemporaryDirectory(prefix="quendal-example-") as folder:
            path = os.path.join(folder, "example_test.py")
            with open(path, "w") as example:
                example.write(textwrap.dedent(block))
            ran = subprocess.run([sys.executable, path, "-v"],
                                 env=dict(os.environ, PYTHONPATH=TESTS),
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                 universal_newlines=True, timeout=3 * harness.SAFETY_TIMEOUT)
        self.assertEqual(ran.returncode, 0, ran.stdout)
        self.assertIn("Ran 1 test", ran.stdout)


if __name__ == "__main__":
    harness.main()
