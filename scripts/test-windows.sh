#!/usr/bin/env bash
# Builds the 64- and 32-bit Windows executables and virtual boards with
# mingw-w64, warnings as errors, and runs them under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --windows

for preset in windows-x64-ci windows-x86-ci; do
  cmake --workflow --preset "$preset"
done

/usr/bin/python3 tests/windows/wine_test.py --x64 build/windows-x64-ci --x86 build/windows-x86-ci -v
