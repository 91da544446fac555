#!/usr/bin/env bash
# Times shipping an update as a patch: on a game-like tree, a copy with 1% of its files
# changed (half at the same size, half resized, a few added), packed as OLD and NEW; then,
# alternating, the pack of NEW (Tarnpak) and the patch from OLD to NEW (grp patch), both
# written durably, each output deleted before the next run. Prints medians, the ratio
# pack time / patch time (above 1: the patch is faster), and checks that the patch is no
# larger than the changed files' bytes plus its directory and header.
#   bench/patch.sh [rounds] [files]      (defaults: 7 rounds, 16,000 files)
# Uses the release build in build-bench (made when missing), or the programs BENCH_TOOL and
# BENCH_GRP name.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
rounds="${1:-7}"
files="${2:-16000}"
tool="${BENCH_TOOL:-$top/build-bench/Tarnpak}"
grp="${BENCH_GRP:-$top/build-bench/grp/grp}"
if [ -z "${BENCH_TOOL:-}" ] && [ ! -x "$tool" ]; then
  (cd "$top" && cmake --preset bench >/dev/null && cmake --build --preset bench -j2 >/dev/null)
fi
work="$(mktemp -d "${TMPDIR:-/tmp}/tarnpak-patch-XXXXXX")"
trap 'rm -rf "$work"' EXIT

# A game's data: files of 1 to 64 KiB in 40 directories, and two large archives of 16 MiB.
python3 "$top/bench/make_tree.py" "$work/old" "$files" 1024 65536 40 2 $((16 << 20))
printf '*.* r\n' >"$work/old/group.cfg"
cp -a "$work/old" "$work/new"
# 1% of the files changed: every 100th file, alternately rewritten at its size and resized;
# one file in 400 of them added besides. Prints the stored names and sizes NEW's changed
# files have, for the size check.
python3 - "$work/new" "$files" >"$work/changed.txt" <<'PY'
import os, random, sys
root, files = sys.argv[1], int(sys.argv[2])
rnd = random.Random(11)
for i in range(0, files, 100):
    path = os.path.join(root, "dir%03d" % (i % 40), "sub%d" % ((i // 40) % 7), "file%06d.dat" % i)
    size = os.path.getsize(path) if (i // 100) % 2 == 0 else rnd.randint(1024, 65536)
    with open(path, "wb") as f:
        f.write(rnd.randbytes(size))
    print(os.path.relpath(path, root).replace("/", "\\").upper(), size)
for k in range(files // 400):
    path = os.path.join(root, "dir%03d" % (k % 40), "added%04d.dat" % k)
    size = rnd.randint(1024, 65536)
    with open(path, "wb") as f:
        f.write(rnd.randbytes(size))
    print(os.path.relpath(path, root).replace("/", "\\").upper(), size)
PY
for tree in old new; do
  (cd "$work/$tree" && "$tool" -q . >/dev/null && mv newgrp.grp "$work/$tree.grp")
done

ms() { date +%s%N | cut -c1-13; }
run() {  # run pack|patch: the time of one, in ms, its output deleted first
  local start
  rm -f "$work/out.grp" "$work/new/newgrp.grp"
  sync
  start=$(ms)
  case "$1" in
    pack) (cd "$work/new" && "$tool" -q . >/dev/null) ;;
    patch) "$grp" patch "$work/old.grp" "$work/new.grp" "$work/out.grp" 2>/dev/null ;;
  esac
  echo $(($(ms) - start))
}
median() { tr ' ' '\n' | grep . | sort -n | awk '{a[NR]=$1} END {print a[int((NR + 1) / 2)]}'; }

declare -A times=([pack]="" [patch]="")
for ((r = 0; r < rounds; r++)); do
  for t in pack patch; do times[$t]+="$(run "$t") "; done
done
pack=$(echo "${times[pack]}" | median)
patch=$(echo "${times[patch]}" | median)
bytes=$(du -sb "$work/old" | cut -f1)
echo "patch of $files files ($((bytes >> 20)) MiB), $(wc -l <"$work/changed.txt") changed or" \
  "added; $rounds rounds, medians"
awk -v p="$pack" -v q="$patch" 'BEGIN {
  printf "pack of NEW %6d ms   grp patch %6d ms   pack/patch %.2f\n", p, q, p / (q ? q : 1) }'
# The patch's size against the changed files' bytes, their directory entries and the header.
awk -v size="$(wc -c <"$work/out.grp")" '{ data += $2; dir += length($1) + 14 } END {
  bound = data + dir + 16
  printf "patch %d bytes; changed data %d + directory %d + header 16 = %d: %s\n", size, data,
         dir, bound, size <= bound ? "within" : "LARGER"
  exit size <= bound ? 0 : 1 }' "$work/changed.txt"
