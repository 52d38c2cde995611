#!/usr/bin/env bash
# Installs what a fresh Debian 12 or 13 machine lacks to build and test.
#   scripts/install-deps.sh                     building the program for Linux
#   scripts/install-deps.sh --windows --arm ... and what each option adds:
#     --tests    the Linux tests' tools (umockdev for the wire tests, sigrok-cli,
#                python3-jsonschema for the board report's format, tmux and dash
#                for the console's shell test, and the linters that
#                scripts/lint.sh runs)
#     --windows  mingw-w64 and Wine (64- and 32-bit), and qemu-user where 32-bit
#                programs need it
#     --package  what builds and checks the packages (scdoc, lintian, dpkg-dev)
#     --arm      cross compilers, the arm64/armhf libraries and qemu-user
#     --fuzz     clang and its libFuzzer runtime (scripts/fuzz.sh)
# Runs apt-get only for packages that are missing, so it is quick when all
# are there; before it installs, it says what it adds: the architectures
# added to dpkg, and the count and size of the packages, as apt counts them.
# Needs root (or sudo) only when something must be installed.
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config python3 libgtest-dev libgmock-dev libftdi1-dev)
for option in "$@"; do
  case "$option" in
    --tests)
      packages+=(umockdev libumockdev0 gir1.2-umockdev-1.0 python3-gi
                 sigrok-cli python3-jsonschema tmux dash shellcheck pyflakes3) ;;
    --windows)
      packages+=(g++-mingw-w64-x86-64-win32 g++-mingw-w64-i686-win32
                 binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 wine wine64 wine32:i386)
      # Where the kernel runs no 32-bit program, the tests run Wine's 32-bit
      # loader under qemu-i386 (tests/harness/wine.py).
      /usr/lib/wine/wine --version >/dev/null 2>&1 || packages+=(qemu-user) ;;
    --package)
      packages+=(scdoc lintian dpkg-dev fakeroot file man-db) ;;
    --arm)
      packages+=(qemu-user g++-aarch64-linux-gnu g++-arm-linux-gnueabihf dpkg-dev)
      for arch in arm64 armhf; do
        packages+=("libc6:$arch" "libstdc++6:$arch" "libftdi1-2:$arch")
      done ;;
    --fuzz)
      # The release's default clang, whose runtime holds libFuzzer.
      packages+=(clang libclang-rt-dev) ;;
    *) echo "install-deps.sh: unknown option $option" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
# sudo drops the caller's environment: the frontend goes as an argument.
apt_get=("${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -q)
# Packages of another architecture need it known to dpkg before the index is
# fetched.
known=" $(dpkg --print-architecture) $(dpkg --print-foreign-architectures | tr '\n' ' ') "
added=()
for p in "${missing[@]}"; do
  case "$p" in
    *:*) arch="${p##*:}"
         [[ "$known" == *" $arch "* ]] || { added+=("$arch"); known+="$arch "; } ;;
  esac
done
echo "install-deps.sh: missing ${#missing[@]} of the packages asked for: ${missing[*]}"
if [ ${#added[@]} -gt 0 ]; then
  echo "install-deps.sh: adds the architectures ${added[*]} to dpkg, for packages built for them"
  for arch in "${added[@]}"; do
    "${as_root[@]}" dpkg --add-architecture "$arch"
  done
fi
"${apt_get[@]}" update
# No recommends: qemu-user's would register ARM handlers for every process on
# the machine (qemu-user-binfmt).
options=(--no-install-recommends)
# What apt would install with them, and its sizes, before it does.
"${apt_get[@]}" install --assume-no "${options[@]}" "${missing[@]}" 2>/dev/null |
  sed -n 's/^\([0-9]* upgraded, .*\)/\1/p; s/^\(Need to get .*\)/\1/p; s/^\(After this operation, .*\)/\1/p' |
  sed 's/^/install-deps.sh: apt: /' || true
"${apt_get[@]}" install -y "${options[@]}" "${missing[@]}"
