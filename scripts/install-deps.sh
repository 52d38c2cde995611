#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test everything.
# Runs apt-get only for packages that are missing, so it is quick when all
# are there. Needs root (or sudo) only when something must be installed.
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config python3 libgtest-dev libgmock-dev libftdi1-dev)
if [ "${1:-}" = "--windows" ]; then
  packages+=(g++-mingw-w64-x86-64-win32 g++-mingw-w64-i686-win32 binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 wine wine64 wine32:i386)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
# 32-bit packages need their architecture known to dpkg before the index is
# fetched.
for p in "${missing[@]}"; do
  case "$p" in
    *:i386) $sudo dpkg --add-architecture i386; break ;;
  esac
done
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
