#!/usr/bin/env bash
# ThreadSanitizer soak of the file manager (not run in CI): the caller's thread drives
# handles, queued reads and the cache while the read worker serves them, for MINUTES
# (default 10). It replays batches of random operation sequences through fuzz_manager (the
# replay build, checked against its model) under the tsan preset, and stops at the first
# report or failed check.
#   fuzz/tsan_soak.sh [MINUTES]
set -uo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-10}
cmake --preset tsan >/dev/null && cmake --build --preset tsan --target fuzz_manager >/dev/null || exit 1
exe=build-tsan/fuzz/fuzz_manager
work=$(mktemp -d "${TMPDIR:-/tmp}/tarnpak-tsan-soak-XXXXXX")
end=$(( $(date +%s) + minutes * 60 ))
batches=0 inputs=0 ops=0
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 ${TSAN_OPTIONS:-}"
while [ "$(date +%s)" -lt "$end" ]; do
  rm -f "$work"/in-*
  for i in $(seq 1 100); do head -c $(( (RANDOM % 480) + 32 )) /dev/urandom >"$work/in-$i"; done
  if ! "$exe" "$work" >"$work/log" 2>&1; then
    echo "tsan soak: FAILED after $batches batches; inputs and log in $work" >&2
    grep -E 'WARNING: ThreadSanitizer|check failed|SUMMARY' "$work/log" >&2
    exit 1
  fi
  batches=$((batches + 1)) inputs=$((inputs + 100))
  ops=$((ops + $(sed -n 's/^fuzz_manager: \([0-9]*\) operations$/\1/p' "$work/log")))
done
echo "tsan soak: $minutes min, $inputs sequences, $ops operations, no report"
rm -rf "$work"
