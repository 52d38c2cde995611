#!/usr/bin/env bash
# Installs what is missing, builds the linux preset and benchmarks
# quendal-bench on the virtual board against minimal reference loops; prints
# the table. Not a test: it asserts no time. Extra arguments go to
# benchmarks/run.py (e.g. --rounds 3).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset linux
cmake --build --preset linux
benchmarks/run.py --build build/linux "$@"
