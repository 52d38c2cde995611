#!/usr/bin/python3
"""What each test run did, kept for the test command's closing summary.

Where RECORDS_VARIABLE (QUENDAL_TEST_RECORDS) names a file, every test file
that ends in `harness.main`, and the bench-machine check, add one JSON line
to it for each test: {"test": "e2e.FailureTest.test_x", "outcome":
"passed" | "failed" | "skipped", "reason": ...}, and one line for each
skipped case of a test that ran ("case": its parameters). A CTest test
that records nothing (a GoogleTest test, a command, or a test file that
died) counts from CTest's JUnit file.

    results.py summary FOLDER

prints, for the *.jsonl records and *.xml JUnit files of FOLDER (one of
each for a stage, same name), the counts of tests run, passed, failed and
skipped, and every skipped test and case grouped by its reason.
"""
import glob
import json
import os
import sys
import unittest
from xml.etree import ElementTree

RECORDS_VARIABLE = "QUENDAL_TEST_RECORDS"


def write(records, path=None):
    """Adds `records` (dicts) to the file `path`, or else the one that
    RECORDS_VARIABLE names, if any, in one write: test files that run at the
    same time do not mix lines."""
    path = path or os.environ.get(RECORDS_VARIABLE)
    if not path or not records:
        return
    data = "".join(json.dumps(r, sort_keys=True) + "\n" for r in records).encode()
    descriptor = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    try:
        os.write(descriptor, data)
    finally:
        os.close(descriptor)


class RecordingResult(unittest.TextTestResult):
    """unittest's result, which also keeps each test that started."""

    def __init__(self, *arguments, **options):
        super().__init__(*arguments, **options)
        self.started = []

    def startTest(self, test):
        super().startTest(test)
        self.started.append(test)


class RecordingRunner(unittest.TextTestRunner):
    resultclass = RecordingResult


def from_result(file_name, result):
    """The records of the RecordingResult of the test file `file_name`: a
    test passed when it neither failed nor was skipped whole (a skipped
    subtest is a case of its own)."""
    name = os.path.basename(file_name)
    name = name[:-len("_test.py")] if name.endswith("_test.py") else name

    def test_name(test):
        # A failure of a class's or module's set-up comes as an _ErrorHolder,
        # whose id is its description.
        test = getattr(test, "test_case", test)
        identity = test.id()
        return name + "." + (identity.split(".", 1)[1] if identity.startswith("__main__.")
                             else identity)

    failed = {test_name(t) for t, _ in result.failures + result.errors}
    failed |= {test_name(t) for t in getattr(result, "unexpectedSuccesses", [])}
    skipped, cases = {}, []
    for test, reason in result.skipped:
        if hasattr(test, "test_case"):  # A subtest.
            cases.append({"test": test_name(test), "case": test._subDescription().strip("()"),
                          "outcome": "skipped", "reason": reason})
        else:
            skipped[test_name(test)] = reason
    records = [{"test": t, "outcome": "failed"} for t in sorted(failed)]
    records += [{"test": t, "outcome": "skipped", "reason": r} for t, r in sorted(skipped.items())
                if t not in failed]
    done = failed | set(skipped)
    records += [{"test": t, "outcome": "passed"}
                for t in dict.fromkeys(test_name(t) for t in result.started) if t not in done]
    return records + cases


def _junit(path):
    """(CTest test name, outcome, reason) of each test in a JUnit file."""
    found = []
    for case in ElementTree.parse(path).getroot().iter("testcase"):
        skipped = case.find("skipped")
        failed = case.find("failure") is not None or case.find("error") is not None
        if case.get("status") == "fail" or failed:
            found.append((case.get("name"), "failed", ""))
        elif skipped is not None or case.get("status") in ("notrun", "disabled"):
            reason = (skipped.get("message") if skipped is not None else "") or "not run"
            found.append((case.get("name"), "skipped", reason))
        else:
            found.append((case.get("name"), "passed", ""))
    return found


def _records(path):
    with open(path) as file:
        return [json.loads(line) for line in file if line.strip()]


def summary(folder):
    """The closing summary's lines for the stages in `folder`."""
    counts = {"passed": 0, "failed": 0, "skipped": 0}
    skipped_cases = 0
    reasons = {}
    failed = []
    stages = sorted({os.path.splitext(os.path.basename(p))[0]
                     for p in glob.glob(os.path.join(folder, "*.jsonl"))
                     + glob.glob(os.path.join(folder, "*.xml"))})
    for stage in stages:
        records_path = os.path.join(folder, stage + ".jsonl")
        records = _records(records_path) if os.path.exists(records_path) else []
        # CTest's name of a test file's class: FILE.Class.
        recorded = {".".join(r["test"].split(".")[:2]) for r in records}
        junit = os.path.join(folder, stage + ".xml")
        if os.path.exists(junit):
            for name, outcome, reason in _junit(junit):
                # A test file's own records say more than its one line.
                if name not in recorded:
                    records.append({"test": name, "outcome": outcome, "reason": reason})
        for record in records:
            test = "%s: %s" % (stage, record["test"])
            if "case" in record:
                skipped_cases += 1
                test += " [%s]" % record["case"]
            else:
                counts[record["outcome"]] += 1
            if record["outcome"] == "skipped":
                reasons.setdefault(record.get("reason") or "no reason given", []).append(test)
            elif record["outcome"] == "failed":
                failed.append(test)
    lines = ["Tests: %d run, %d passed, %d failed, %d skipped; %d skipped cases of tests "
             "that ran" % (sum(counts.values()), counts["passed"], counts["failed"],
                           counts["skipped"], skipped_cases)]
    for test in failed:
        lines.append("  failed: %s" % test)
    for reason, tests in sorted(reasons.items(), key=lambda item: (-len(item[1]), item[0])):
        lines.append("Skipped (%d): %s" % (len(tests), reason))
        lines += ["    %s" % test for test in tests]
    return lines


def main(arguments):
    if len(arguments) != 2 or arguments[0] != "summary":
        print(__doc__, file=sys.stderr)
        sys.exit(64)
    print("\n".join(summary(arguments[1])))


if __name__ == "__main__":
    main(sys.argv[1:])
