#!/usr/bin/env bash
# The board test, for a bench with a QUENDAL board (or any FTDI device) on
# the bus: runs quendal-bench on the FTDI device chosen by its serial through
# each driver it finds, typing the keys itself, and checks the transcript and
# the pins read back. It names the device and asks before it drives anything.
# Without --build or --program it builds the linux preset first.
#
# scripts/test-board.sh --help lists the options and the exit statuses.
exec /usr/bin/python3 "$(dirname "$0")/../tools/quendal_tools/board_test.py" "$@"
