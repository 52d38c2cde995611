#!/usr/bin/env bash
# Builds quendal-bench and the virtual board, then runs the bench test in this
# terminal on the virtual board, with the latencies of a real USB device, and
# records the pins as a VCD waveform. Press a key to end each phase, and one
# more at the closing prompt.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset linux
cmake --build --preset linux

vcd="$PWD/build/linux/demo.vcd"
# A full-speed USB device answers a control request (reading the pins) in
# about a millisecond; a short bulk write takes a few hundred microseconds.
latency="FT_Open=20000,FT_SetBaudRate=1000,FT_SetBitMode=1000,FT_Write=250,FT_GetBitMode=800"

echo
echo "Running build/linux/quendal-bench on the virtual board; press a key to end each phase."
echo
# Ctrl-C ends the program, not this script: it still says where the waveform is.
trap 'echo' INT
status=0
LD_LIBRARY_PATH="$PWD/build/linux/virtual-board" VBOARD_LATENCY_US="$latency" VBOARD_VCD="$vcd" \
  build/linux/quendal-bench || status=$?
trap - INT

echo
echo "The waveform of this run is in $vcd"
echo "(GTKWave or PulseView open it, as docs/virtual-board.md says; scripts/vcd-to-svg.py $vcd picture.svg draws it.)"
exit "$status"
