#!/usr/bin/env bash
# Builds everything and runs every test: the Linux release and sanitizer
# builds with CTest, warnings as errors.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --tests --windows

for preset in linux linux-sanitize; do
  cmake --preset "$preset" -DQUENDAL_WERROR=ON
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
scripts/test-windows.sh
# The release files, made as for a release, then checked and installed.
scripts/package.sh
python3 tests/package/package_test.py dist -v
