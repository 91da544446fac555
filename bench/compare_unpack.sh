#!/usr/bin/env bash
# Times two builds of Tarnpak unpacking one group of small files, alternating them in one
# run: into a fresh directory, and over the tree the same build has just unpacked (every
# file already there, so each is written beside the old one and renamed over it). Prints
# medians and the ratio old / new (above 1: the new build is faster).
#   bench/compare_unpack.sh OLD_TARNPAK NEW_TARNPAK [rounds] [files]   (7 rounds, 20000 files)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
old="$1" new="$2" rounds="${3:-7}" files="${4:-20000}"
work="$(mktemp -d "${TMPDIR:-/tmp}/tarnpak-unpack-XXXXXX")"
trap 'rm -rf "$work"' EXIT

# Small files of 1-16 KiB in 30 directories of 7 each, packed once by the new build.
python3 "$top/bench/make_tree.py" "$work/tree" "$files" 1024 16384 30
printf '*.* r\n' >"$work/tree/group.cfg"
(cd "$work" && "$new" "$work/tree" >/dev/null && mv newgrp.grp data.grp)
rm -rf "$work/tree"

now_ns() { date +%s%N; }
# timed BUILD DIR: one unpack in DIR; prints milliseconds.
timed() {
  local start
  start=$(now_ns)
  (cd "$2" && "$1" "$work/data.grp" >/dev/null)
  echo $((($(now_ns) - start) / 1000000))
}
median() { tr ' ' '\n' | grep . | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

declare -A fresh over
for ((r = 0; r < rounds; r++)); do
  order=(old new)
  ((r % 2)) && order=(new old)
  for which in "${order[@]}"; do
    bin=$old
    [ "$which" = new ] && bin=$new
    dir="$work/out-$which-$r"
    mkdir "$dir"
    chattr +T "$dir" 2>/dev/null || true
    fresh[$which]+=" $(timed "$bin" "$dir")"
    over[$which]+=" $(timed "$bin" "$dir")"
    rm -rf "$dir"
  done
done
for mode in fresh over; do
  declare -n times=$mode
  o=$(echo "${times[old]}" | median) n=$(echo "${times[new]}" | median)
  echo "$mode: old ${o} ms, new ${n} ms, old/new $(awk -v o="$o" -v n="$n" 'BEGIN { printf "%.3f", o / n }')  (runs old:${times[old]} new:${times[new]})"
done
