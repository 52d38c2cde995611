"""The board test's results as files for a test station: one record per
board and driver, as a JSON document (its format is described in
docs/board-report.md, with a JSON Schema beside it) and as JUnit XML, which
CI servers read. The JSON names follow OpenHTF's test record where one fits.

The writers escape every text and never leave a half-written file: each
file is written beside its place and then renamed into it.
"""
import json
import os
import re
import socket
import subprocess
import xml.etree.ElementTree as ElementTree
from collections import Counter
from dataclasses import dataclass, field
from datetime import datetime, timezone
from typing import List, Optional, Tuple

# The outcomes of a record and of a run, as OpenHTF spells its own.
PASS, FAIL, REFUSED, NOT_RUN = "PASS", "FAIL", "REFUSED", "NOT_RUN"
# Raised when a change would break a reader of an older document.
FORMAT_VERSION = 1
SUITE_NAME = "quendal-bench board test"
# The levels that every reading must show: the fast pattern's last byte, 01,
# stays on the outputs.
EXPECTED_LEVELS = {"D0": 1, "D1": 0}
READBACK_PHASE = "read-back"


def d0_d1(value):
    """The levels of D0 and D1 in a reading."""
    return value & 1, value >> 1 & 1


@dataclass
class Board:
    """The device as the board test found it on the bus."""
    serial: str  # "" when the device has none
    vendor_id: str = ""
    product_id: str = ""
    product: str = ""
    usb_port: str = ""
    node: str = ""
    kernel_drivers: List[str] = field(default_factory=list)


@dataclass
class Record:
    """One board through one driver."""
    board: Board
    driver: str  # "installed" or "adapter"
    library: Optional[str]  # None when the driver was not found
    outcome: str
    # The failure message (FAIL), why the driver was refused the board
    # (REFUSED), or why it was not run (NOT_RUN: not found, or not
    # confirmed); empty on PASS.
    message: str = ""
    start: Optional[float] = None  # seconds since the epoch; None when not run
    end: Optional[float] = None
    phases: List[Tuple[str, float]] = field(default_factory=list)  # (name, seconds)
    values: List[int] = field(default_factory=list)  # each reading, in order
    stderr: List[str] = field(default_factory=list)  # the program's last lines there


@dataclass
class Run:
    """One run of the board test."""
    program: Optional[str]
    program_version: Optional[str]
    station: str
    start: float
    end: float
    outcome: str
    exit_status: int
    records: List[Record]
    # Why the run as a whole was refused or not run, when it was.
    message: str = ""


def station():
    return socket.gethostname()


def program_version(program):
    """The version of the program at `program`: its build's, or the Debian
    package's that installed it; None when neither says."""
    try:
        with open(os.path.join(os.path.dirname(program), "CMakeCache.txt")) as cache:
            found = re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.+)$", cache.read(), re.M)
        if found:
            return found.group(1)
    except OSError:
        pass
    try:
        owner = subprocess.run(["dpkg-query", "-S", os.path.realpath(program)],
                               capture_output=True, text=True)
        if owner.returncode != 0:
            return None
        package = owner.stdout.split(":")[0]
        version = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package],
                                 capture_output=True, text=True)
    except OSError:  # No dpkg here.
        return None
    if version.returncode != 0:
        return None
    return version.stdout.strip() or None


# Texts ------------------------------------------------------------------------

# What UTF-8 cannot encode: a lone surrogate, which a text decoded with
# surrogateescape may hold.
SURROGATE = re.compile("[\ud800-\udfff]")
# What XML 1.0 cannot hold at all, escaped or not: the control characters
# other than tab and line breaks, surrogates, U+FFFE and U+FFFF. A program's
# standard error may hold any of them.
NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]")


def escaped(pattern, text):
    """`text` with each character that `pattern` matches written as Python
    writes it in a string (\\x1b, \\ud800): shown, never dropped."""
    return pattern.sub(lambda match: ascii(match.group())[1:-1], text)


# The JSON document ----------------------------------------------------------

def utc(seconds):
    """A time as ISO 8601 in UTC, to the millisecond."""
    if seconds is None:
        return None
    return (datetime.fromtimestamp(seconds, timezone.utc)
            .isoformat(timespec="milliseconds").replace("+00:00", "Z"))


def measurements(values):
    """The read-back's measurements, with OpenHTF's measured_value,
    validators and outcome."""
    def measured(value, validators, passed):
        return {"measured_value": value, "validators": validators,
                "outcome": PASS if passed else FAIL}

    result = {
        "readings": measured(len(values), ["x >= 1"], bool(values)),
        "values": measured({"%02x" % value: count for value, count
                            in sorted(Counter(values).items())}, [], True),
    }
    for index, (pin, level) in enumerate(EXPECTED_LEVELS.items()):
        seen = sorted({d0_d1(value)[index] for value in values})
        result[pin] = measured(seen, ["each reading == %d" % level],
                               seen == [level])
    return result


def record_document(record):
    board = record.board
    phases = []
    for name, seconds in record.phases:
        phase = {"name": name, "duration_seconds": round(seconds, 3)}
        if name == READBACK_PHASE:
            phase["measurements"] = measurements(record.values)
        phases.append(phase)
    return {
        "dut_id": board.serial or None,
        "device": {
            "vendor_id": board.vendor_id or None,
            "product_id": board.product_id or None,
            "product": board.product or None,
            "usb_port": board.usb_port or None,
            "node": board.node or None,
            "kernel_drivers": sorted(board.kernel_drivers),
        },
        "driver": {"name": record.driver, "library": record.library},
        "start_time": utc(record.start),
        "end_time": utc(record.end),
        "outcome": record.outcome,
        "message": record.message or None,
        "phases": phases,
        "stderr": list(record.stderr),
    }


def document(run):
    """The JSON document of a run, as a dict."""
    return {
        "format_version": FORMAT_VERSION,
        "station_id": run.station,
        "program": {"path": run.program, "version": run.program_version},
        "start_time": utc(run.start),
        "end_time": utc(run.end),
        "outcome": run.outcome,
        "exit_status": run.exit_status,
        "message": run.message or None,
        "records": [record_document(record) for record in run.records],
    }


def encodable(item):
    """`item` with every text made writable in UTF-8."""
    if isinstance(item, str):
        return escaped(SURROGATE, item)
    if isinstance(item, dict):
        return {key: encodable(value) for key, value in item.items()}
    if isinstance(item, list):
        return [encodable(value) for value in item]
    return item


def json_text(run):
    return json.dumps(encodable(document(run)), indent=2, ensure_ascii=False) + "\n"


# JUnit XML ------------------------------------------------------------------

def xml_text(text):
    return escaped(NOT_XML, text)


def seconds_text(seconds):
    return "%.3f" % seconds


def record_seconds(record):
    if record.start is None or record.end is None:
        return 0.0
    return max(0.0, record.end - record.start)


def junit(run):
    """The JUnit XML of a run: one test suite, one test case per board and
    driver, its class name the board's serial. A failed case has a
    <failure>, a refused one an <error> (the station, not the board, is at
    fault), one not run a <skipped>."""
    counts = Counter(record.outcome for record in run.records)
    totals = {
        "tests": str(len(run.records)),
        "failures": str(counts[FAIL]),
        "errors": str(counts[REFUSED]),
        "skipped": str(counts[NOT_RUN]),
        "time": seconds_text(max(0.0, run.end - run.start)),
    }
    suites = ElementTree.Element("testsuites", dict(name=SUITE_NAME, **totals))
    suite = ElementTree.SubElement(suites, "testsuite", dict(
        name=SUITE_NAME, **totals, hostname=xml_text(run.station),
        # JUnit's timestamp has no zone: this one is UTC.
        timestamp=datetime.fromtimestamp(run.start, timezone.utc).strftime("%Y-%m-%dT%H:%M:%S")))
    properties = ElementTree.SubElement(suite, "properties")
    for name, value in (("program", run.program), ("program_version", run.program_version),
                        ("exit_status", str(run.exit_status)), ("message", run.message)):
        if value:
            ElementTree.SubElement(properties, "property", name=name, value=xml_text(value))
    for record in run.records:
        board = record.board
        case = ElementTree.SubElement(suite, "testcase", {
            "classname": xml_text(board.serial or "usb port " + board.usb_port),
            "name": record.driver,
            "time": seconds_text(record_seconds(record)),
        })
        message = xml_text(record.message)
        if record.outcome == FAIL:
            failure = ElementTree.SubElement(case, "failure", message=message, type=FAIL)
            failure.text = xml_text("\n".join([record.message] + record.stderr))
        elif record.outcome == REFUSED:
            ElementTree.SubElement(case, "error", message=message, type=REFUSED)
        elif record.outcome == NOT_RUN:
            ElementTree.SubElement(case, "skipped", message=message)
        if record.library:
            ElementTree.SubElement(case, "system-out").text = xml_text(
                "%s: %s" % (record.driver, record.library))
    ElementTree.indent(suites)
    return ElementTree.tostring(suites, encoding="unicode", xml_declaration=True) + "\n"


# The files ------------------------------------------------------------------

def write(path, text):
    """Writes `text` to `path` in UTF-8 whole or not at all: a reader that
    watches the file never sees half of it."""
    folder, name = os.path.split(os.path.abspath(path))
    partial = os.path.join(folder, ".%s.%d.partial" % (name, os.getpid()))
    try:
        with open(partial, "w", encoding="utf-8") as file:
            file.write(text)
        os.replace(partial, path)
    finally:
        if os.path.exists(partial):
            os.unlink(partial)


def write_json(run, path):
    write(path, json_text(run))


def write_junit(run, path):
    write(path, junit(run))
