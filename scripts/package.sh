#!/usr/bin/env bash
# Builds the release files into dist/: the Debian packages and the Windows
# zips, each from a CMake workflow preset named package-* (configure, build,
# CPack), and SHA256SUMS. Another target is one more such preset.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --package --windows

presets=$(cmake --workflow --list-presets | sed -n 's/^ *"\(package-[^"]*\)".*/\1/p')
rm -rf dist
mkdir dist
for preset in $presets; do
  # Only this run's files: an older version's would otherwise be copied too.
  rm -rf "build/$preset/packages"
  cmake --workflow --preset "$preset"
  made=$(find "build/$preset/packages" -maxdepth 1 -name '*.deb' -o -maxdepth 1 -name '*.zip')
  [ -n "$made" ] || { echo "package.sh: $preset made no package" >&2; exit 1; }
  cp $made dist/
done
cd dist
sha256sum -- * >SHA256SUMS
ls -l
