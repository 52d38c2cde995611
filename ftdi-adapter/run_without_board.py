#!/usr/bin/env python3
"""Runs the bench program on the adapter on a machine with no board attached.

Usage: run_without_board.py QUENDAL_BENCH ADAPTER_DIR

The program must find the adapter by its bare name, open nothing, and halt
with the driver's "device not found" status. End of input counts as the key
that ends the halt, so standard input is empty and the run ends by itself.
"""
import glob
import os
import subprocess
import sys

SKIP = 77  # CTest's SKIP_RETURN_CODE for this test.
FTDI_VENDOR = "0403"
FTDI_DEFAULT_PRODUCTS = {"6001", "6010", "6011", "6014", "6015"}

EXPECTED = (b"QUENDAL Test programm\n"
            b"Error : Impossible to open device (2 returned)\n"
            b"Hit any key ")


def ftdi_device_attached():
    """True when sysfs shows a device that the adapter would open."""
    for device in glob.glob("/sys/bus/usb/devices/*"):
        try:
            with open(os.path.join(device, "idVendor")) as f:
                vendor = f.read().strip()
            with open(os.path.join(device, "idProduct")) as f:
                product = f.read().strip()
        except OSError:
            continue
        if vendor == FTDI_VENDOR and product in FTDI_DEFAULT_PRODUCTS:
            return True
    return False


def main():
    program, adapter_dir = sys.argv[1], sys.argv[2]
    if ftdi_device_attached():
        # The run would open it and drive its pins, and its output would differ.
        print("skipped: an FTDI device is attached to this machine")
        return SKIP
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
