#!/usr/bin/env bash
# Runs fuzz targets built with the fuzz preset, each for the given seconds on a copy of its
# corpus, and prints executions and executions per second. Fails when any target fails.
#   fuzz/run.sh SECONDS [TARGET...]      (all targets when none is named)
# New inputs stay in the copy (named in the output); the repository's corpus is not touched.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: fuzz/run.sh SECONDS [TARGET...]}
shift
build=${FUZZ_BUILD:-build-fuzz}
# The longest input each target looks at (longer ones it skips): the fuzzer then spends no
# runs on inputs the target would not read.
declare -A max_len=([fuzz_directory]=4096 [fuzz_unpack]=1024 [fuzz_buildlist]=640
                    [fuzz_lines]=257 [fuzz_params]=400 [fuzz_mask]=600 [fuzz_manager]=512)
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(fuzz_directory fuzz_unpack fuzz_buildlist fuzz_lines
                                     fuzz_params fuzz_mask fuzz_manager)
work=$(mktemp -d "${TMPDIR:-/tmp}/tarnpak-fuzzrun-XXXXXX")
failed=0
for t in "${targets[@]}"; do
  exe="$build/fuzz/$t"
  if [ ! -x "$exe" ] || [ -z "${max_len[$t]:-}" ]; then
    echo "fuzz: no target '$t' in $build (build it with: cmake --build --preset fuzz)" >&2
    failed=1
    continue
  fi
  mkdir -p "$work/$t/corpus" "$work/$t/artifacts"
  cp fuzz/corpus/"$t"/* "$work/$t/corpus/"
  log="$work/$t/log"
  # The CPU time too: on a shared machine the wall-clock rate says more about the load.
  TIMEFORMAT='%U %S'
  if { time "$exe" -max_total_time="$seconds" -max_len="${max_len[$t]}" -timeout=10 \
      -print_final_stats=1 -artifact_prefix="$work/$t/artifacts/" "$work/$t/corpus" \
      >"$log" 2>&1; } 2>"$work/$t/cpu"; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    cpuRate=$(awk -v runs="$runs" '{ t = $1 + $2; printf "%d", (t > 0 ? runs / t : 0) }' "$work/$t/cpu")
    echo "fuzz: $t: $runs runs in $seconds s, $rate runs/s ($cpuRate per CPU second), no finding"
  else
    echo "fuzz: $t FAILED; log and reproducer in $work/$t" >&2
    grep -E 'check failed|ERROR|SUMMARY|Test unit written' "$log" >&2
    failed=1
  fi
done
[ $failed -eq 0 ] && rm -rf "$work"
exit $failed
