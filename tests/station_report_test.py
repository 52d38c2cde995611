"""The board test's report files (quendal_tools.station_report): the JSON
document against its documented format, and the JUnit XML as CI servers
parse it, with texts that need escaping."""
import difflib
import json
import os
import re
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

import harness
from harness import texts
from quendal_tools import board_test, station_report
from quendal_tools.station_report import FAIL, NOT_RUN, PASS, REFUSED, Board, Record, Run

try:
    import jsonschema
except ImportError:  # scripts/install-deps.sh --tests installs it.
    jsonschema = None

TESTS = os.path.dirname(os.path.abspath(__file__))
DOCS = os.path.join(os.path.dirname(TESTS), "docs")
SCHEMA = os.path.join(DOCS, "board-report.schema.json")
PAGE = os.path.join(DOCS, "board-report.md")
SAMPLES = {"json": os.path.join(DOCS, "board-report.sample.json"),
           "xml": os.path.join(DOCS, "board-report.sample.xml")}
# Set to write the samples again from the fixture below.
WRITE_SAMPLES = "QUENDAL_WRITE_SAMPLES"

START = 1796976000.0  # 2026-12-11 08:00:00 UTC
INSTALLED = "/usr/local/lib/libftd2xx.so"
ADAPTER = "/usr/lib/x86_64-linux-gnu/quendal-bench/ftdi-adapter/libftd2xx.so"
PHASES = [("slow", 2.514), ("fast", 1.003), ("read-back", 0.507)]


def board_test_texts():
    """The board test's own failure and refusal for the fixture's faulty
    boards: D0 read low, and a chip whose product id no driver opens."""
    outcome = board_test.Outcome(None, None)
    board_test.check(board_test.BEFORE_READBACK + texts.READBACK + "fc\n" + texts.CLOSING_PROMPT,
                     0, outcome)
    try:
        board_test.check_device(board_test.Device("0403", "8c81", "FT232R USB UART", "BOARD003",
                                                  "1-1.4", "/dev/bus/usb/001/007", {}), [])
    except board_test.Refusal as refusal:
        return outcome.failure, str(refusal)
    raise AssertionError("a product id that no driver opens was not refused")


def board(serial, port, node):
    return Board(serial, "0403", "6001", "FT232R USB UART", port, node)


def ran(board_, driver, library, offset, outcome, values, message=""):
    return Record(board_, driver, library, outcome, message, START + offset,
                  START + offset + 4.1, PHASES, values)


def sample():
    """A fixture of three boards: one sound, one whose D0 reads low, one
    whose chip has a product id that no driver opens."""
    wrong_d0, unopened = board_test_texts()
    good = board("BOARD001", "1-1.2", "/dev/bus/usb/001/005")
    faulty = board("BOARD002", "1-1.3", "/dev/bus/usb/001/006")
    odd = Board("BOARD003", "0403", "8c81", "FT232R USB UART", "1-1.4", "/dev/bus/usb/001/007")
    records = [ran(good, "installed", INSTALLED, 0.2, PASS, [0xFD] * 412),
               ran(good, "adapter", ADAPTER, 4.4, PASS, [0xFD] * 398),
               ran(faulty, "installed", INSTALLED, 8.6, FAIL, [0xFC] * 405, wrong_d0),
               ran(faulty, "adapter", ADAPTER, 12.8, FAIL, [0xFC] * 401, wrong_d0)]
    records += [Record(odd, driver, library, REFUSED, unopened)
                for driver, library in (("installed", INSTALLED), ("adapter", ADAPTER))]
    return Run("/usr/bin/quendal-bench", "1.0.0", "bench-3", START, START + 17.0, FAIL, 1,
               records)


def one_record(record, outcome=FAIL, exit_status=1):
    return Run("/usr/bin/quendal-bench", None, "bench-3", START, START + 5.0, outcome,
               exit_status, [record])


# A message and a standard error that JSON and XML must carry as they are.
AWKWARD = 'Error : <Write> & "error" \'4\' \u00e9t\u00e9 \u26a1 (4 returned)'
RAW_STDERR = ["libusb: error [op_open] \x1b[31mno\x1b[0m\x00 access", "\ufffe\ud800 end"]


def validate(test, document):
    """Checks `document` against the documented format; skips `test` where
    no validator is installed."""
    if jsonschema is None:
        test.skipTest("no jsonschema: scripts/install-deps.sh --tests")
    with open(SCHEMA) as file:
        schema = json.load(file)
    validator = jsonschema.validators.validator_for(schema)
    validator(schema, format_checker=validator.FORMAT_CHECKER).validate(document)


class JsonReportTest(unittest.TestCase):
    def test_a_failed_run_keeps_its_message_phases_and_measurements(self):
        values = [0xFD] * 3 + [0xFC] * 2 + [0xFE]
        record = ran(board("BOARD002", "1-2", "/dev/bus/usb/001/003"), "adapter", ADAPTER, 0,
                     FAIL, values, AWKWARD)
        record.stderr = RAW_STDERR
        with tempfile.TemporaryDirectory(prefix="quendal-report-") as folder:
            path = os.path.join(folder, "report.json")
            station_report.write_json(one_record(record), path)
            self.assertEqual(os.listdir(folder), ["report.json"])
            with open(path, encoding="utf-8") as file:
                written = json.load(file)["records"][0]
        self.assertEqual((written["dut_id"], written["outcome"], written["message"]),
                         ("BOARD002", FAIL, AWKWARD))
        # JSON holds control characters; a lone surrogate, which UTF-8 cannot
        # encode, is shown escaped.
        self.assertEqual(written["stderr"], [RAW_STDERR[0], "\ufffe\\ud800 end"])
        self.assertEqual(written["start_time"], "2026-12-11T08:00:00.000Z")
        self.assertEqual([p["name"] for p in written["phases"]], ["slow", "fast", "read-back"])
        measured = {name: (m["measured_value"], m["outcome"])
                    for name, m in written["phases"][2]["measurements"].items()}
        self.assertEqual(measured, {"readings": (6, PASS),
                                    "values": ({"fc": 2, "fd": 3, "fe": 1}, PASS),
                                    "D0": ([0, 1], FAIL), "D1": ([0, 1], FAIL)})

    def test_a_read_back_without_readings_fails_and_a_halt_before_it_measures_nothing(self):
        for what, phases, outcomes in [
                ("no reading", PHASES, {"readings": FAIL, "values": PASS, "D0": FAIL,
                                        "D1": FAIL}),
                ("halted in the fast phase", PHASES[:2], None)]:
            with self.subTest(what):
                record = ran(board("BOARD001", "1-1", ""), "installed", INSTALLED, 0, FAIL, [],
                             "no read-back line")
                record.phases = phases
                phase = station_report.document(one_record(record))["records"][0]["phases"][-1]
                self.assertEqual(outcomes and {name: m["outcome"] for name, m
                                               in phase["measurements"].items()},
                                 outcomes or phase.get("measurements"))

    def test_a_serial_not_found_is_a_refused_record_without_a_device(self):
        record = Record(Board("BOARD009"), "adapter", ADAPTER, REFUSED,
                        "No FTDI device has serial BOARD009")
        written = station_report.document(one_record(record, REFUSED, 2))["records"][0]
        self.assertEqual(written["device"], dict.fromkeys(
            ["vendor_id", "product_id", "product", "usb_port", "node"], None,
        ) | {"kernel_drivers": []})
        self.assertEqual((written["start_time"], written["end_time"], written["phases"]),
                         (None, None, []))

    def test_the_version_comes_from_the_build_or_else_is_unknown(self):
        with tempfile.TemporaryDirectory(prefix="quendal-build-") as build:
            program = os.path.join(build, "quendal-bench")
            self.assertIsNone(station_report.program_version(program))
            with open(os.path.join(build, "CMakeCache.txt"), "w") as cache:
                cache.write("CMAKE_PROJECT_VERSION_MAJOR:STATIC=2\n"
                            "CMAKE_PROJECT_VERSION:STATIC=2.3.4\n")
            self.assertEqual(station_report.program_version(program), "2.3.4")


class JunitReportTest(unittest.TestCase):
    def parsed(self, run):
        with tempfile.TemporaryDirectory(prefix="quendal-report-") as folder:
            path = os.path.join(folder, "junit.xml")
            station_report.write_junit(run, path)
            return ElementTree.parse(path).getroot()

    def test_each_outcome_has_its_element_with_the_text_as_it_was(self):
        closed = Board("BOARD003", usb_port="1-4")
        for outcome, element, message in [
                (PASS, None, ""),
                (FAIL, "failure", AWKWARD),
                (REFUSED, "error", "No write access to <node> & \u00e9"),
                (NOT_RUN, "skipped", 'Not run: the answer was "n".')]:
            with self.subTest(outcome):
                record = Record(closed, "installed", INSTALLED, outcome, message)
                if outcome in (PASS, FAIL):
                    record = ran(closed, "installed", INSTALLED, 1.0, outcome, [0xFD], message)
                record.stderr = RAW_STDERR if outcome == FAIL else []
                suite, = self.parsed(one_record(record)).findall("testsuite")
                case, = suite.findall("testcase")
                self.assertEqual((case.get("classname"), case.get("name")),
                                 ("BOARD003", "installed"))
                self.assertEqual(case.get("time"), "4.100" if outcome in (PASS, FAIL) else
                                 "0.000")
                children = [child for child in case if child.tag != "system-out"]
                if element is None:
                    self.assertEqual(children, [])
                    continue
                child, = children
                self.assertEqual((child.tag, child.get("message")), (element, message))
                self.assertEqual(suite.get({"failure": "failures", "error": "errors",
                                            "skipped": "skipped"}[element]), "1")
                if outcome == FAIL:
                    # What XML cannot hold is shown escaped, never dropped.
                    self.assertEqual(child.text.splitlines(), [
                        AWKWARD, "libusb: error [op_open] \\x1b[31mno\\x1b[0m\\x00 access",
                        "\\ufffe\\ud800 end"])

    def test_one_suite_with_a_case_per_board_and_driver(self):
        root = self.parsed(sample())
        self.assertEqual(root.tag, "testsuites")
        suite, = root.findall("testsuite")
        self.assertEqual({key: suite.get(key) for key in
                          ("tests", "failures", "errors", "skipped", "time", "timestamp",
                           "hostname")},
                         {"tests": "6", "failures": "2", "errors": "2", "skipped": "0",
                          "time": "17.000", "timestamp": "2026-12-11T08:00:00",
                          "hostname": "bench-3"})
        self.assertEqual([(case.get("classname"), case.get("name"))
                          for case in suite.findall("testcase")],
                         [(serial, driver) for serial in ("BOARD001", "BOARD002", "BOARD003")
                          for driver in ("installed", "adapter")])


class ReportFormatTest(unittest.TestCase):
    """The documented format: the schema, and the samples beside it, which
    are what the module writes for the fixture above."""

    def test_the_samples_are_what_the_module_writes(self):
        written = {"json": station_report.json_text(sample()),
                   "xml": station_report.junit(sample())}
        if os.environ.get(WRITE_SAMPLES):
            for kind, path in SAMPLES.items():
                with open(path, "w", encoding="utf-8") as file:
                    file.write(written[kind])
        for kind, path in SAMPLES.items():
            with open(path, encoding="utf-8") as file:
                kept = file.read()
            self.assertEqual(kept, written[kind], "%s differs from what the module writes "
                             "(%s=1 writes it again):\n%s" % (
                                 path, WRITE_SAMPLES, "".join(difflib.unified_diff(
                                     kept.splitlines(True), written[kind].splitlines(True)))))

    @unittest.skipIf(jsonschema is None, "no jsonschema: scripts/install-deps.sh --tests")
    def test_documents_follow_the_schema_and_the_schema_holds_them_to_it(self):
        with open(SCHEMA) as file:
            schema = json.load(file)
        validator_class = jsonschema.validators.validator_for(schema)
        validator_class.check_schema(schema)
        validator = validator_class(schema, format_checker=validator_class.FORMAT_CHECKER)
        with open(SAMPLES["json"], encoding="utf-8") as file:
            kept = json.load(file)
        not_run = Record(Board("", usb_port="1-2"), "adapter", None, NOT_RUN,
                         "Not run: no --yes, and no terminal to ask on.")
        for what, document in [
                ("the sample", kept),
                ("a failure with awkward texts",
                 station_report.document(one_record(ran(
                     Board("BOARD\u00e9"), "adapter", ADAPTER, 0, FAIL, [], AWKWARD)))),
                ("not run, no serial, no driver found",
                 station_report.document(one_record(not_run, NOT_RUN, 3)))]:
            with self.subTest(what):
                validator.validate(document)
        # A few ways of being wrong that the schema must catch.
        record = kept["records"][0]
        for what, wrong in [
                ("an outcome in another case", dict(kept, outcome="pass")),
                ("a failure without its message",
                 dict(kept, records=[dict(record, outcome=FAIL, message=None)])),
                ("a read-back without measurements",
                 dict(kept, records=[dict(record, phases=[{"name": "read-back",
                                                           "duration_seconds": 0.5}])])),
                ("an outcome that its exit status contradicts", dict(kept, exit_status=0)),
                ("a time that is not UTC", dict(kept, start_time="2026-12-11T08:00:00+01:00")),
                ("an unknown field", dict(kept, operator="someone"))]:
            with self.subTest(what):
                self.assertFalse(validator.is_valid(wrong))

    def test_the_page_names_each_field_of_the_schema(self):
        with open(SCHEMA) as file:
            schema = json.load(file)
        with open(PAGE, encoding="utf-8") as file:
            tables = re.findall(r"\| Field \| What it holds \|\n\|---\|---\|\n((?:\|.*\n)+)",
                                file.read())
        named = [[name for row in table.splitlines()
                  for name in re.findall(r"`([a-z_]+)`", row.split("|")[1])] for table in tables]
        self.assertEqual(named, [list(schema["properties"])] + [
            list(schema["$defs"][part]["properties"])
            for part in ("record", "phase", "measurement")])


if __name__ == "__main__":
    harness.main()
