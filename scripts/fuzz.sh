#!/usr/bin/env bash
# Fuzzes every target of tests/fuzz for SECONDS each (default 60), one after
# the other, with one libFuzzer job per core:
#   scripts/fuzz.sh [SECONDS]
# Builds the fuzz preset (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build/fuzz. Each target starts from its kept
# corpus, copied to build/fuzz/campaign/<target>/corpus, so tests/fuzz stays
# as it is; what the run adds stays there, for a merge into the kept corpus
# (see docs/developing.md, Fuzzing). Exits 1 on any finding, after printing
# each reproducer's path and the command that replays it; 2 on a usage error.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
if [[ $# -gt 1 || ! $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/fuzz.sh [SECONDS]" >&2
  exit 2
fi

scripts/install-deps.sh --fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

build=$PWD/build/fuzz
cores=$(nproc)
targets=(settings records pins adapter)
findings=()
for target in "${targets[@]}"; do
  program=$build/tests/fuzz/fuzz_$target
  work=$build/campaign/$target
  rm -rf "$work/findings" "$work/logs"
  mkdir -p "$work/corpus" "$work/findings" "$work/logs"
  cp -n "tests/fuzz/corpus/$target"/* "$work/corpus/"
  options=(-max_total_time="$seconds" -jobs="$cores" -workers="$cores" -timeout=10
           -print_final_stats=1 -artifact_prefix="$work/findings/")
  [[ -f tests/fuzz/$target.dict ]] && options+=(-dict="$PWD/tests/fuzz/$target.dict")
  echo "fuzz_$target: $seconds s on $cores jobs"
  # The jobs write their logs (fuzz-N.log) into the current folder.
  (cd "$work/logs" && "$program" "${options[@]}" "$work/corpus" >/dev/null 2>&1) || true
  # What the run reached, from each job's last status line.
  unfinished=()
  for job in $(seq 0 $((cores - 1))); do
    log=$work/logs/fuzz-$job.log
    line=$(grep -E '^#[0-9]+' "$log" 2>/dev/null | tail -n 1 || true)
    echo "  job $job: ${line:-no status line}"
    grep -q '^Done ' "$log" 2>/dev/null || unfinished+=("$log")
  done
  found=0
  for reproducer in "$work/findings"/*; do
    [[ -e $reproducer ]] || continue
    found=1
    findings+=("$reproducer")
    echo "  FINDING: $reproducer"
    echo "    replay: $program $reproducer"
  done
  # A job that neither finished nor kept an input broke in some other way.
  if [[ $found -eq 0 && ${#unfinished[@]} -gt 0 ]]; then
    findings+=("${unfinished[@]}")
    echo "  FAILED: no reproducer, but these jobs did not finish: ${unfinished[*]}"
  fi
done

if [[ ${#findings[@]} -gt 0 ]]; then
  echo "fuzz.sh: ${#findings[@]} finding(s); the jobs' logs are in $build/campaign/<target>/logs" >&2
  exit 1
fi
echo "fuzz.sh: no finding in ${#targets[@]} targets"
