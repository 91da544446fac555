#!/usr/bin/env bash
# Generates the trees of the reading benchmark, packs each into a group file (with the built
# Tarnpak) and a stored zip (zip -0), and runs read_bench on them: the engine against
# PhysicsFS, alternating, with medians and ratios; the cache is also filled from a tree of
# 400 files of 64 KiB to 1 MiB.
#   bench/read_bench.sh [rounds] [small files] [large-tree files]
#   (defaults: 7 rounds, 20000 files of 1-16 KiB, 100000 files for gfStart)
# Installs libphysfs-dev and zip when missing (Debian), builds the bench preset in
# build-bench, and works in a fresh directory under $TMPDIR that is removed at the end.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
rounds="${1:-7}"
small="${2:-20000}"
many="${3:-100000}"

"$top/tools/install-deps.sh" --only libphysfs-dev zip
(cd "$top" && cmake --preset bench >/dev/null && cmake --build --preset bench -j2 >/dev/null)
tool="$top/build-bench/Tarnpak"
bench="$top/build-bench/bench/read_bench"

work="$(mktemp -d "${TMPDIR:-/tmp}/tarnpak-readbench-XXXXXX")"
trap 'rm -rf "$work"' EXIT

# make_tree dir files min max dirs [big files] [big size]: random bytes, 7 subdirectories
# in each of dirs directories, the big files (if any) at the top.
make_tree() { python3 "$top/bench/make_tree.py" "$@"; }

# pack dir: DIR/grp/tree.grp by the Tarnpak tool, DIR/tree.zip by zip -0.
pack() {
  local d="$1"
  printf '*.* r\n' >"$d/tree/group.cfg"
  mkdir -p "$d/grp"
  (cd "$d/grp" && "$tool" "$d/tree" && mv newgrp.grp tree.grp)
  (cd "$d/tree" && zip -0 -r -q ../tree.zip .)
}

echo "generating trees under $work"
make_tree "$work/small/tree" "$small" 1024 16384 40
pack "$work/small"
make_tree "$work/mixed/tree" 4000 1024 16384 20 6 $((32 << 20))
pack "$work/mixed"
make_tree "$work/medium/tree" 400 65536 1048576 10
pack "$work/medium"
make_tree "$work/many/tree" "$many" 0 1024 70
sync
"$bench" --rounds "$rounds" ${READ_BENCH_ONLY:+--only "$READ_BENCH_ONLY"} --small "$work/small" --mixed "$work/mixed" --medium "$work/medium" --many "$work/many"
