#!/usr/bin/env bash
# Installs what a fresh Debian 12 or 13 machine lacks to build and test.
#   scripts/install-deps.sh                     building the program for Linux
#   scripts/install-deps.sh --windows --arm ... and what each option adds:
#     --tests    the Linux tests' tools (umockdev for the wire tests, sigrok-cli,
#                python3-jsonschema for the board report's format, tmux and dash
#                for the console's shell test, and the linters that
#                scripts/lint.sh runs)
#     --windows  mingw-w64 and Wine (64- and 32-bit), and qemu-user where 32-bit
#                programs need it (on Debian 12 also a newer qemu-i386 in
#                build/tools/, see fetch_qemu_i386)
#     --package  what builds and checks the packages (scdoc, lintian, dpkg-dev)
#     --arm      cross compilers, the arm64/armhf libraries and qemu-user
#     --fuzz     clang and its libFuzzer runtime (scripts/fuzz.sh)
# Runs apt-get only for packages that are missing, so it is quick when all
# are there; before it installs, it says what it adds: the architectures
# added to dpkg, and the count and size of the packages, as apt counts them.
# Needs root (or sudo) only when something must be installed.
set -euo pipefail
cd "$(dirname "$0")/.."

emulated_i386=0

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
      if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
        packages+=(qemu-user)
        emulated_i386=1
      fi ;;
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

# fetch_qemu_i386: where the release's qemu-i386 is older than 10.0 (Debian
# 12's 7.2, far too slow for 32-bit Wine: docs/developing.md, The Wine
# tests), puts the qemu-i386 of its backports' qemu-user in build/tools/,
# where tests/harness/isolation_modes.py takes it. The package is fetched
# through apt with a state of its own in a temporary folder (the machine's
# mirror and keyring, its sources untouched) and unpacked, never installed.
# A failure only warns: the tests still run, slowly.
fetch_qemu_i386() {
  local target=build/tools/qemu-i386 version major codename mirror state deb
  [ -x "$target" ] && return 0
  # wine32 may have come with this run, on a kernel that runs it natively.
  /usr/lib/wine/wine --version >/dev/null 2>&1 && return 0
  version=$(qemu-i386 --version 2>/dev/null | sed -n 's/^qemu-i386 version \([0-9][0-9.]*\).*/\1/p')
  major=${version%%.*}
  [ -n "$major" ] && [ "$major" -lt 10 ] || return 0
  codename=$(sed -n 's/^VERSION_CODENAME=//p' /etc/os-release 2>/dev/null)
  # shellcheck disable=SC2016  # apt's own $(FIELD) placeholders, not the shell's.
  mirror=$(apt-get indextargets --format '$(RELEASE) $(REPO_URI)' 2>/dev/null |
           awk -v release="$codename" '$1 == release { print $2; exit }')
  if [ -z "$codename" ] || [ -z "$mirror" ]; then
    echo "install-deps.sh: warning: qemu-i386 $version is slow for 32-bit Wine, and no" \
         "backports suite is known here; the Windows tests will be slow" >&2
    return 0
  fi
  echo "install-deps.sh: qemu-i386 $version takes about 45 s of CPU per 32-bit Wine start;" \
       "fetches qemu-user from $codename-backports (about 60 MB) for its qemu-i386," \
       "unpacked into $target only"
  state=$(mktemp -d)
  mkdir -p "$state/lists/partial" "$state/cache"
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $codename-backports main" \
    > "$state/sources.list"
  local apt_private=(apt-get -q -o "Dir::Etc::SourceList=$state/sources.list"
                     -o Dir::Etc::SourceParts=/dev/null -o "Dir::State::Lists=$state/lists"
                     -o "Dir::Cache=$state/cache" -o "APT::Sandbox::User=$(id -un)")
  if "${apt_private[@]}" update >"$state/log" 2>&1 &&
     (cd "$state" && "${apt_private[@]}" download qemu-user >>"$state/log" 2>&1) &&
     deb=$(ls "$state"/qemu-user_*.deb) &&
     dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$state" ./usr/bin/qemu-i386 &&
     "$state/usr/bin/qemu-i386" --version | head -1 | grep -q "version [1-9][0-9]\."; then
    mkdir -p "$(dirname "$target")"
    mv "$state/usr/bin/qemu-i386" "$target"
    echo "install-deps.sh: $("$target" --version | head -1), in $target"
  else
    echo "install-deps.sh: warning: could not fetch a newer qemu-i386; the Windows tests" \
         "will be slow:" >&2
    tail -3 "$state/log" >&2
  fi
  rm -rf "$state"
}

missing=()
for p in "${packages[@]}"; do
  # Options may ask for the same package (qemu-user, dpkg-dev): once is enough.
  [[ " ${missing[*]} " == *" $p "* ]] && continue
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

# install_missing: installs the packages in `missing`, saying first what
# that adds.
install_missing() {
  local as_root=() apt_get known added=() p arch options
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  # sudo drops the caller's environment: the frontend goes as an argument.
  apt_get=("${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -q)
  # Packages of another architecture need it known to dpkg before the index is
  # fetched.
  known=" $(dpkg --print-architecture) $(dpkg --print-foreign-architectures | tr '\n' ' ') "
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
}

[ ${#missing[@]} -eq 0 ] || install_missing
[ "$emulated_i386" = 0 ] || fetch_qemu_i386
