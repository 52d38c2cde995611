#!/usr/bin/env bash
# Installs what is missing, then builds everything and runs every test,
# warnings as errors: the Linux release and sanitizer builds and the ARM
# builds (under qemu-user) with CTest, the 64- and 32-bit Windows builds
# under Wine (scripts/test-windows.sh), and the release files, made and
# checked.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --tests --windows --arm --package

for preset in linux-ci linux-sanitize-ci linux-arm64-ci linux-armhf-ci; do
  cmake --workflow --preset "$preset"
done
tests/bench-machine/check.py build/linux-ci  # the release tests again, on a stood-in bench machine
scripts/test-windows.sh
# The release files, made as for a release, then checked and installed.
scripts/package.sh
/usr/bin/python3 tests/package/package_test.py dist -v
