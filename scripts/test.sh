#!/usr/bin/env bash
# Installs what is missing, then builds everything and runs every test,
# warnings as errors: the lint, the Linux release and sanitizer builds and
# the ARM builds (under qemu-user) with CTest, the release build's tests
# again on a stood-in bench engineer's machine, the 64- and 32-bit Windows
# builds under Wine (scripts/test-windows.sh), and the release files, made
# and checked. Every stage runs, whatever an earlier one gave, except one
# that needs what a failed stage did not make; the end lists each stage
# (passed, failed, not run and why), then every skipped test with its
# reason and the counts of tests. The status is 1 when a stage failed.
set -uo pipefail
cd "$(dirname "$0")/.." || exit

# Each stage's test records (tests/harness/results.py), read by the summary.
results=$PWD/build/test-results
rm -rf "$results"
mkdir -p "$results"

names=()
verdicts=()

# stage NAME COMMAND...: runs COMMAND with the stage's records file, and
# notes how it went and how long it took.
stage() {
  local name=$1 started=$SECONDS status
  shift
  echo "==== $name: $*"
  QUENDAL_TEST_RECORDS="$results/$name.jsonl" "$@"
  status=$?
  names+=("$name")
  if [ $status -eq 0 ]; then
    verdicts+=("passed ($(elapsed $((SECONDS - started))))")
  else
    verdicts+=("failed, status $status ($(elapsed $((SECONDS - started))))")
  fi
  return $status
}

not_run() {
  names+=("$1")
  verdicts+=("not run: $2")
}

elapsed() {
  if [ "$1" -ge 60 ]; then echo "$(($1 / 60)) min $(($1 % 60)) s"; else echo "$1 s"; fi
}

# A CTest workflow: configure, build and test, the tests' results kept as
# JUnit for the summary. Two tests at a time: most of a process test's time
# is spent waiting for the program, and none measures time.
# shellcheck disable=SC2317  # Called through `stage`, which shellcheck cannot follow.
ctest_workflow() {
  cmake --preset "$1" && cmake --build --preset "$1" &&
    ctest --preset "$1" -j 2 --output-junit "$results/$1.xml"
}

stage set-up scripts/install-deps.sh --tests --windows --arm --package
stage lint scripts/lint.sh
for preset in linux-ci linux-sanitize-ci linux-arm64-ci linux-armhf-ci; do
  stage "$preset" ctest_workflow "$preset"
done
if [ -x build/linux-ci/quendal-bench ]; then
  stage bench-machine tests/bench-machine/check.py build/linux-ci
else
  not_run bench-machine "linux-ci did not build"
fi
stage windows scripts/test-windows.sh
# The release files, made as for a release, then checked and installed.
if stage packages scripts/package.sh; then
  stage package-tests /usr/bin/python3 tests/package/package_test.py dist -v
else
  not_run package-tests "the packages stage failed, so dist/ is not this tree's release"
fi

echo
echo "==== Summary"
/usr/bin/python3 tests/harness/results.py summary "$results"
echo "Stages:"
failed=0
for i in "${!names[@]}"; do
  printf '  %-18s %s\n' "${names[$i]}" "${verdicts[$i]}"
  # A stage not run is one that a failed stage kept from running.
  [[ "${verdicts[$i]}" != failed* ]] || failed=1
done
exit $failed
