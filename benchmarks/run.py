#!/usr/bin/python3
"""Benchmarks of quendal-bench on the virtual board.

Runs the real program in a pseudo-terminal against the virtual board, with the
operator's keys typed by the board itself (VBOARD_KEYS, VBOARD_KEY_FD), and
measures from the board's trace (VBOARD_TRACE, one line per driver call with
its CLOCK_MONOTONIC time) and from the arrival of the program's output on the
terminal. A reference program built beside it (reference_loops) runs the
fast blink and the read-back loops one after the other, as the program does,
with the same driver calls, pauses, key tests and output and nothing else; it
runs alternately with the program.

Nothing here asserts a time: it prints figures and, beside each target, whether
this run met it. The exit status is 0 whenever every run completed.

Usage: run.py [--build DIR] [--rounds N] [--quick] [--json PATH]
"""
import argparse
import bisect
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tools"))
from quendal_tools import runner, texts  # noqa: E402
from quendal_tools.records import Trace  # noqa: E402

# A thousand fast writes and 50,000 readings take longer than a test's run.
SAFETY_TIMEOUT = 120.0

# (label, VBOARD_LATENCY_US or None, fast writes per run, readings per run):
# about a second of each loop per run.
SETTINGS = [
    ("board latency 0", None, 1000, 50000),
    ("FT_Write 250 us, FT_GetBitMode 500 us", "FT_Write=250,FT_GetBitMode=500", 800, 2000),
]
QUICK_COUNTS = (20, 50)
SLOW_STEPS = 3  # Two step intervals per program run.
QUICK_SLOW_STEPS = 2

MIB = 1024 * 1024
KIB = 1024


class TimedRun:
    """One process in a new pseudo-terminal with the virtual board.

    The shared runner records every chunk of output with its arrival
    time, so that the time at which any byte offset reached the terminal can
    be looked up afterwards. When `closing_prompt` is set, the run waits for
    the program's closing prompt, reads its peak RSS while it waits there,
    then types the last key.
    """

    def __init__(self, argv, boards, latency, keys, closing_prompt=False):
        with tempfile.TemporaryDirectory(prefix="quendal-benchmark-") as folder:
            trace_path = os.path.join(folder, "trace.jsonl")
            settings = {"VBOARD_TRACE": trace_path, "VBOARD_KEYS": keys}
            if latency:
                settings["VBOARD_LATENCY_US"] = latency
            run = runner.Run(argv, runner.environment(boards, settings))
            run.safety_timeout = SAFETY_TIMEOUT
            self.peak_rss = None
            try:
                if closing_prompt:
                    run.wait_for_output(texts.as_bytes(texts.CLOSING_PROMPT))
                    self.peak_rss = peak_rss_bytes(run.process.pid)
                    run.type(b"q")
                status = run.finish()
            finally:
                run.close()
            if status != 0 or run.errors:
                raise RuntimeError("%s ended with %s: %r" % (argv[0], status, run.errors))
            self.trace = Trace(trace_path)
        self.spawned_ns = run.spawned_ns
        self.output = run.output
        self.arrivals = run.arrivals
        self.as_output = run.as_output

    def arrival_ns(self, offset):
        """When the byte before `offset` reached the terminal."""
        index = bisect.bisect_left(self.arrivals, (offset, 0))
        return self.arrivals[index][1]

    def output_end(self, text, start=0, last=False):
        """The offset just after `text` (str, "\n" line ends) in the output."""
        shown = self.as_output(texts.as_bytes(text))
        found = self.output.rfind(shown) if last else self.output.find(shown, start)
        if found < start:
            raise RuntimeError("no %r in the output" % text)
        return found + len(shown)

    def calls(self, name):
        return self.trace.of(name)

    def key_times(self):
        return [line["t_ns"] for line in self.trace.lines if "key" in line]


def peak_rss_bytes(pid):
    # VmHWM is the peak of the running image alone. wait4's ru_maxrss would
    # also count the memory of the Python process that forked it, which
    # Linux carries over across exec.
    with open("/proc/%d/status" % pid, encoding="ascii") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * KIB
    return None


def intervals_ns(times):
    return [later - earlier for earlier, later in zip(times, times[1:])]


def rate_per_s(times):
    return (len(times) - 1) * 1e9 / (times[-1] - times[0])


def run_program(paths, latency, slow_steps, fast_writes, readings, results):
    keys = "FT_Write#%d,FT_Write#%d,FT_GetBitMode#%d" % (
        slow_steps, slow_steps + fast_writes, readings)
    run = TimedRun([paths["program"]], paths["boards"], latency, keys, closing_prompt=True)
    writes = run.calls("FT_Write")
    slow = [w["t_ns"] for w in writes if len(w["data"]) == 2]
    fast = [w["t_ns"] for w in writes if len(w["data"]) == 32]
    reads = [r["t_ns"] for r in run.calls("FT_GetBitMode")]
    if (len(slow), len(fast), len(reads)) != (slow_steps, fast_writes, readings):
        raise RuntimeError("unexpected calls: %d slow, %d fast writes, %d readings"
                           % (len(slow), len(fast), len(reads)))
    slow_key, fast_key, readback_key = run.key_times()[:3]
    fast_prompt = run.output_end(texts.FAST_PROMPT)
    first_reading = run.output_end("\n", run.output_end(texts.READBACK, fast_prompt))
    closing = run.output_end(texts.CLOSING_PROMPT, last=True)
    results["slow_steps"] += intervals_ns(slow)
    results["fast"] += intervals_ns(fast)
    results["readback_rate"].append(rate_per_s(reads))
    results["key_slow"].append(run.arrival_ns(fast_prompt) - slow_key)
    results["key_fast"].append(run.arrival_ns(first_reading) - fast_key)
    results["key_readback"].append(run.arrival_ns(closing) - readback_key)
    results["startup"].append(run.arrival_ns(run.output_end(texts.BANNER)) - run.spawned_ns)
    results["peak_rss"].append(run.peak_rss)


def run_reference(paths, latency, fast_writes, readings, results):
    # Its read-back follows its fast loop in the same process, as the
    # program's does: a loop that floods a terminal runs up to a third faster
    # or slower depending on how the scheduler placed it and the terminal's
    # reader just before, so both loops start from the same history.
    run = TimedRun([paths["reference"]], paths["boards"], latency,
                   "FT_Write#%d,FT_GetBitMode#%d" % (fast_writes, readings))
    results["ref_fast"] += intervals_ns([w["t_ns"] for w in run.calls("FT_Write")])
    results["ref_readback_rate"].append(rate_per_s([r["t_ns"] for r in run.calls("FT_GetBitMode")]))


def measure(paths, latency, rounds, slow_steps, fast_writes, readings):
    results = {key: [] for key in (
        "slow_steps", "fast", "ref_fast", "readback_rate", "ref_readback_rate", "key_slow",
        "key_fast", "key_readback", "startup", "peak_rss")}
    for round_number in range(rounds):
        def reference():
            run_reference(paths, latency, fast_writes, readings, results)

        def program():
            run_program(paths, latency, slow_steps, fast_writes, readings, results)

        # The order alternates, so that a drift in the machine's load weighs
        # on both alike.
        for step in ((reference, program) if round_number % 2 == 0 else (program, reference)):
            step()
        print(".", end="", file=sys.stderr, flush=True)
    return results


def file_size(path):
    return os.path.getsize(path) if os.path.exists(path) else None


def load_average():
    with open("/proc/loadavg", encoding="ascii") as loadavg:
        return " ".join(loadavg.read().split()[:3])


def machine():
    model = "unknown CPU"
    with open("/proc/cpuinfo", encoding="ascii", errors="replace") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    try:
        compiler = subprocess.run(["c++", "--version"], capture_output=True, text=True,
                                  check=False).stdout.splitlines()[0]
    except (OSError, IndexError):
        compiler = "unknown compiler"
    return "%d CPUs, %s, Linux %s, %s" % (os.cpu_count(), model, platform.release(), compiler)


def verdict(met):
    return "met" if met else "MISSED"


def table(measured, sizes):
    """Rows of (figure, one value per setting, target)."""
    ms = lambda ns: "%.3f ms" % (ns / 1e6)
    rows = []

    def row(name, values, target=""):
        rows.append([name] + values + [target])

    fast, ratio_fast, reads, ratio_reads, slow = [], [], [], [], []
    for results in measured:
        program = statistics.median(results["fast"])
        reference = statistics.median(results["ref_fast"])
        fast.append("%s (reference %s)" % (ms(program), ms(reference)))
        ratio_fast.append("%.3f %s" % (program / reference, verdict(program <= 1.02 * reference)))
        rate = statistics.median(results["readback_rate"])
        reference_rate = statistics.median(results["ref_readback_rate"])
        reads.append("%.0f /s (reference %.0f /s)" % (rate, reference_rate))
        # The rounds' own ratios show how much the machine's noise moves it.
        paired = [p / r for p, r in zip(results["readback_rate"], results["ref_readback_rate"])]
        ratio_reads.append("%.3f %s (rounds %.2f-%.2f)" % (
            rate / reference_rate, verdict(rate >= 0.95 * reference_rate), min(paired),
            max(paired)))
        step = statistics.median(results["slow_steps"]) if results["slow_steps"] else None
        slow.append("n/a" if step is None else
                    "%s %s" % (ms(step), verdict(1000e6 <= step <= 1002e6)))
    row("Fast phase: median write interval", fast)
    row("Fast phase: program / reference", ratio_fast, "<= 1.02")
    row("Read-back: readings per second", reads)
    row("Read-back: program / reference", ratio_reads, ">= 0.95")
    row("Slow phase: median step", slow, "1000-1002 ms")
    for key, name in (("key_slow", "slow"), ("key_fast", "fast"), ("key_readback", "read-back")):
        row("Key latency, %s phase (median)" % name,
            [ms(statistics.median(results[key])) for results in measured])
    row("Start-up to banner (median)", [ms(statistics.median(r["startup"])) for r in measured])
    row("Peak RSS (largest)",
        ["%.2f MiB %s" % (max(r["peak_rss"]) / MIB, verdict(max(r["peak_rss"]) <= 4 * MIB))
         for r in measured], "<= 4 MiB")
    for name, size, limit in sizes:
        text = "not built" if size is None else "%.1f KiB" % (size / KIB)
        if size is not None and limit is not None:
            text += " " + verdict(size <= limit)
        row("Size: %s" % name, [text] * len(measured),
            "" if limit is None else "<= %d KiB" % (limit // KIB))
    return rows


def print_markdown(header, rows):
    widths = [max(len(str(line[i])) for line in [header] + rows) for i in range(len(header))]
    fmt = lambda line: "| " + " | ".join(str(c).ljust(w) for c, w in zip(line, widths)) + " |"
    print(fmt(header))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for line in rows:
        print(fmt(line))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(REPO, "build", "linux"),
                        help="the Linux build folder (default: build/linux)")
    parser.add_argument("--rounds", type=int, default=9,
                        help="alternate rounds of reference and program per setting")
    parser.add_argument("--quick", action="store_true",
                        help="one tiny round per setting: proves the command works, no figures")
    parser.add_argument("--json", help="also write every measured value to this file")
    options = parser.parse_args()

    build = os.path.abspath(options.build)
    paths = {
        "program": os.path.join(build, "quendal-bench"),
        "boards": os.path.join(build, "virtual-board"),
        "reference": os.path.join(build, "benchmarks", "reference_loops"),
    }
    for name in ("program", "reference"):
        if not os.access(paths[name], os.X_OK):
            sys.exit("run.py: %s is not built; build the linux preset first" % paths[name])

    rounds = 1 if options.quick else options.rounds
    slow_steps = QUICK_SLOW_STEPS if options.quick else SLOW_STEPS
    load_before = load_average()
    measured = []
    for label, latency, fast_writes, readings in SETTINGS:
        if options.quick:
            fast_writes, readings = QUICK_COUNTS
        print("%s: %d rounds " % (label, rounds), end="", file=sys.stderr, flush=True)
        measured.append(measure(paths, latency, rounds, slow_steps, fast_writes, readings))
        print(file=sys.stderr)

    sizes = [("Linux executable", file_size(paths["program"]), None)]
    for target in ("windows-x64", "windows-x86"):
        # The -ci build first: the test command builds it and the zips ship it.
        found = [file_size(os.path.join(REPO, "build", folder, "quendal-bench.exe"))
                 for folder in (target + "-ci", target)]
        sizes.append(("%s executable" % target,
                      next((size for size in found if size is not None), None), 512 * KIB))

    print("quendal-bench benchmark, %s" % time.strftime("%Y-%m-%d"))
    print("Machine: %s" % machine())
    print("Load average (1, 5, 15 min): %s before, %s after" % (load_before, load_average()))
    print("Per setting: %d rounds; each runs the reference and the program (%d slow steps, "
          "then the fast and read-back phases), in alternating order." % (rounds, slow_steps))
    if options.quick:
        print("Quick mode: too few samples for the figures to mean anything.")
    print()
    print_markdown(["Figure"] + [label for label, _, _, _ in SETTINGS] + ["Target"],
                   table(measured, sizes))
    if options.json:
        with open(options.json, "w", encoding="ascii") as out:
            json.dump({"settings": [s[0] for s in SETTINGS], "measured": measured,
                       "sizes": sizes}, out, indent=1)


if __name__ == "__main__":
    main()
