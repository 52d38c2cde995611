#!/usr/bin/env bash
# Builds the release files into dist/: the Debian packages and the Windows
# zips, each from a CMake workflow preset named package-* (the CI build of a
# target, warnings as errors, then CPack), and SHA256SUMS. Another target is
# one more such preset. In the test command the builds are already done, so
# this only packages.
set -euo pipefail
cd "$(dirname "$0")/.."
# The same commit gives the same files for anyone (docs/developing.md), but
# CPack takes the modes of the folders and of the .deb's own members from
# the files it makes, which follow the umask.
umask 022

scripts/install-deps.sh --package --windows --arm

presets=$(cmake --workflow --list-presets | sed -n 's/^ *"\(package-[^"]*\)".*/\1/p')
rm -rf dist
mkdir dist
for preset in $presets; do
  # Only this run's files: an older version's would otherwise be copied too.
  rm -rf "build/packages/$preset"
  cmake --workflow --preset "$preset"
  mapfile -t made < <(find "build/packages/$preset" -maxdepth 1 \( -name '*.deb' -o -name '*.zip' \))
  [ ${#made[@]} -gt 0 ] || { echo "package.sh: $preset made no package" >&2; exit 1; }
  cp "${made[@]}" dist/
done
cd dist
sha256sum -- * >SHA256SUMS
ls -l
