#!/usr/bin/env bash
# Times the SHA-256 sums: grp sum over a group against sha256sum over the same files
# unpacked, and Tarnpak --sums against Tarnpak without, alternating the contenders in one run
# (warm page cache, after one round not counted), and prints medians and ratios.
#   bench/sums_bench.sh [rounds] [files]       (defaults: 7 rounds, 20,000 files)
# Trees: small (FILES files of 1-16 KiB) and mixed (5,000 small files and 4 of 32 MiB, which
# the copier moves on their own: with --sums through a buffer instead of the host's copy).
# Ratios are peer time / our time (above 1: grp sum is faster than sha256sum); the cost of
# --sums is the time with it / the time without. Packs write into a fresh directory each
# run, removed after it. Uses the release build in build-bench (made when missing).
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
rounds="${1:-7}"
files="${2:-20000}"
build="$top/build-bench"
if [ ! -x "$build/Tarnpak" ] || [ ! -x "$build/grp/grp" ]; then
  (cd "$top" && cmake --preset bench >/dev/null && cmake --build build-bench --target Tarnpak grp >/dev/null)
fi
tarnpak="$build/Tarnpak"
grp="$build/grp/grp"

work="$(mktemp -d "${TMPDIR:-/tmp}/tarnpak-sums-XXXXXX")"
trap 'rm -rf "$work"' EXIT

# Seconds one command takes, its output thrown away.
seconds() {
  local t0 t1
  t0=$(date +%s.%N)
  "$@" >/dev/null
  t1=$(date +%s.%N)
  echo "$t1 - $t0" | bc -l
}

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# A pack of the tree into a fresh directory, with or without sums.
pack_into_fresh() {
  local out="$work/out.$RANDOM$RANDOM"
  mkdir "$out"
  chattr +T "$out" 2>/dev/null || true
  (cd "$out" && "$tarnpak" "$@")
  rm -rf "$out"
}

# The sums of every unpacked file, as sha256sum computes them (a few invocations by xargs).
peer_sums() { (cd "$1" && xargs -0 sha256sum <"$2"); }

bench_tree() {
  local name="$1" small="$2" big="$3"
  local tree="$work/$name"
  mkdir -p "$tree"
  python3 "$top/bench/make_tree.py" "$tree" "$small" 1024 16384 230 "$big" $((32 << 20))
  printf '*.* r\n' >"$tree/group.cfg"
  (cd "$work" && "$tarnpak" "$tree" && mv newgrp.grp "$name.grp")
  "$grp" extract "$work/$name.grp" -C "$work/$name.out" >/dev/null
  (cd "$work/$name.out" && find . -type f -print0 | sort -z) >"$work/$name.list"
  # Both give the same sums (names aside: ./ and upper case against the stored names).
  diff <("$grp" sum "$work/$name.grp" | cut -c1-64 | sort) \
    <(peer_sums "$work/$name.out" "$work/$name.list" | cut -c1-64 | sort) >/dev/null

  local ours=() peer=() with=() without=()
  for r in $(seq 0 "$rounds"); do
    local a b c d
    a=$(seconds "$grp" sum "$work/$name.grp")
    b=$(seconds peer_sums "$work/$name.out" "$work/$name.list")
    c=$(seconds pack_into_fresh --sums s.sums "$tree")
    d=$(seconds pack_into_fresh "$tree")
    [ "$r" -eq 0 ] && continue  # the warm-up round
    ours+=("$a") peer+=("$b") with+=("$c") without+=("$d")
  done
  local mo mp mw mn
  mo=$(printf '%s\n' "${ours[@]}" | median)
  mp=$(printf '%s\n' "${peer[@]}" | median)
  mw=$(printf '%s\n' "${with[@]}" | median)
  mn=$(printf '%s\n' "${without[@]}" | median)
  printf '%-6s %6d files  grp sum %7.3f s  sha256sum %7.3f s  ratio %5.2f   ' \
    "$name" "$(tr -cd '\0' <"$work/$name.list" | wc -c)" "$mo" "$mp" "$(echo "$mp / $mo" | bc -l)"
  printf 'pack --sums %7.3f s  without %7.3f s  cost %5.2f\n' "$mw" "$mn" "$(echo "$mw / $mn" | bc -l)"
}

echo "medians of $rounds rounds after one warm-up; load before: $(cut -d' ' -f1-3 /proc/loadavg)"
bench_tree small "$files" 0
bench_tree mixed 5000 4
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
