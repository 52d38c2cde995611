#!/usr/bin/env bash
# The board test, for a bench with a QUENDAL board (or any FTDI device) on
# the bus: runs quendal-bench as built on FTDI device 0 through each driver
# it finds, typing the keys itself, and checks the transcript and the pins
# read back. It names the device and asks before it drives anything.
#
#   scripts/test-board.sh [--driver installed|adapter] [--yes] [--build DIR]
#
# installed: the libftd2xx.so that the program's own load finds (the
# vendor's driver); adapter: the build's libftdi1 adapter. Without --build it
# builds the linux preset first. Prints one line per driver; exit status 0
# when every check passed, 1 when one failed, 2 with no FTDI device or no
# driver, 3 when not asked to run (no --yes and no terminal, or the answer
# was no).
exec python3 "$(dirname "$0")/test-board.py" "$@"
