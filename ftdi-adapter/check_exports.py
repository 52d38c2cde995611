#!/usr/bin/python3
"""Checks that the adapter exports exactly the driver's five entry points.

Usage: check_exports.py LIBRARY

Anything else exported could clash with a symbol of the program that loads
the library, or be taken for part of the driver's interface.
"""
import subprocess
import sys

ENTRY_POINTS = {"FT_Open", "FT_SetBitMode", "FT_Write", "FT_SetBaudRate", "FT_GetBitMode"}


def main():
    listing = subprocess.run(["nm", "-D", "--defined-only", sys.argv[1]],
                             capture_output=True, text=True, check=True).stdout
    # Each line is "address type name"; the version-script node shows as an
    # absolute symbol ("A") and is not code.
    exported = {fields[2] for fields in (line.split() for line in listing.splitlines())
                if len(fields) == 3 and fields[1] != "A"}
    if exported != ENTRY_POINTS:
        print("missing:", sorted(ENTRY_POINTS - exported))
        print("unexpected:", sorted(exported - ENTRY_POINTS))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
