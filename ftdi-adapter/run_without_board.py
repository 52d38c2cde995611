#!/usr/bin/env python3
"""Runs the bench program on the adapter on a machine with no board attached.

Usage: run_without_board.py QUENDAL_BENCH ADAPTER_DIR

The program must find the adapter by its bare name, open nothing, and halt
with the driver's "device not found" status. End of input counts as the key
that ends the halt, so standard input is empty and the run ends by itself.
"""
import os
import subprocess
import sys

EXPECTED = (b"QUENDAL Test programm\n"
            b"Error : Impossible to open device (2 returned)\n"
            b"Hit any key ")


def main():
    program, adapter_dir = sys.argv[1], sys.argv[2]
    env = dict(os.environ)
    env["LD_LIBRARY_PATH"] = os.pathsep.join(
        p for p in (adapter_dir, env.get("LD_LIBRARY_PATH")) if p)
    env.pop("LIBUSB_DEBUG", None)
    run = subprocess.run([program], stdin=subprocess.DEVNULL, capture_output=True,
                         env=env, timeout=60)
    failures = []
    if run.stdout != EXPECTED:
        failures.append(f"standard output was {run.stdout!r}, expected {EXPECTED!r}")
    if run.stderr:
        failures.append(f"standard error was {run.stderr!r}, expected nothing")
    if run.returncode != 0:
        failures.append(f"exit status was {run.returncode}, expected 0")
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
