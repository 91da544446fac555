#!/usr/bin/env bash
# The engine at a game's run time, every ratio in one run: filling the whole-file cache
# through gfCacheFile against plain reads of the same files (a loader keeping every copy;
# one dropping each once used, polling without pause or napping 1 ms while the oldest file
# is not ready; the dropping one again on half the files, to show its time grows with the
# files), then reading every file through `grp mount` against the kernel's squashfs on a
# loop device (left out, with a note, where there is none), squashfuse_ll and the plain
# directory. Medians; ratios are peer time / our time (above 1: ours is faster).
#   bench/runtime.sh [rounds] [files]   (defaults: 7 rounds, 20000 files of 1-16 KiB)
# Builds the bench preset in build-bench; works in a fresh directory under $TMPDIR that is
# removed at the end. The mount part needs what bench/compare_mount.sh needs.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
rounds="${1:-7}"
files="${2:-20000}"

(cd "$top" && cmake --preset bench >/dev/null && cmake --build --preset bench -j2 >/dev/null)
tool="$top/build-bench/Tarnpak"
bench="$top/build-bench/bench/read_bench"

work="$(mktemp -d "${TMPDIR:-/tmp}/tarnpak-runtime-XXXXXX")"
trap 'rm -rf "$work"' EXIT

# tree dir files min max dirs: the files and one group file of them in dir/grp.
tree() {
  python3 "$top/bench/make_tree.py" "$1/tree" "$2" "$3" "$4" "$5"
  printf '*.* r\n' >"$1/tree/group.cfg"
  mkdir -p "$1/grp"
  (cd "$1/grp" && "$tool" "$1/tree" >/dev/null && mv newgrp.grp tree.grp)
}

echo "== the whole-file cache and the read worker (load: $(cut -d' ' -f1-3 /proc/loadavg))"
tree "$work/small" "$files" 1024 16384 40
tree "$work/medium" 400 65536 1048576 10
sync
"$bench" --rounds "$rounds" --only cache --small "$work/small" --medium "$work/medium"
rm -rf "$work/small" "$work/medium"

echo
COMPARE_MOUNT_ONLY=mount COMPARE_MOUNT_RATARMOUNT="${COMPARE_MOUNT_RATARMOUNT:-0}" \
  "$top/bench/compare_mount.sh" "$files" "$rounds"
