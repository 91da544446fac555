#!/usr/bin/env bash
# Times an update: a group (or a tar archive) unpacked over the tree an earlier unpack of it
# left, once where nothing changed, once where every file changed (same sizes, other bytes)
# and once where every file changed size too (other bytes), Tarnpak beside GNU tar, alternating, each over its own earlier extraction. Prints
# medians and the ratio tar's time / Tarnpak's time (above 1: Tarnpak is faster).
#   bench/update.sh [rounds] [files]      (defaults: 7 rounds, 20,000 files of 1-16 KiB)
# Uses the release build in build-bench (made when missing), or the Tarnpak BENCH_TOOL names.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
rounds="${1:-7}"
files="${2:-20000}"
tool="${BENCH_TOOL:-$top/build-bench/Tarnpak}"
if [ -z "${BENCH_TOOL:-}" ] && [ ! -x "$tool" ]; then
  (cd "$top" && cmake --preset bench >/dev/null && cmake --build --preset bench -j2 >/dev/null)
fi
work="$(mktemp -d "${TMPDIR:-/tmp}/tarnpak-update-XXXXXX")"
trap 'rm -rf "$work"' EXIT

# Three trees of the same names: the second with other bytes in every file, the third with
# other bytes and another size (1-16 KiB) in every file.
python3 - "$work" "$files" <<'PY'
import os, random, sys
work, files = sys.argv[1], int(sys.argv[2])
rnd = random.Random(7)
for i in range(files):
    size = rnd.randint(1024, 16384)
    other = rnd.randint(1024, 16383)
    other += other >= size
    for tree, fill, n in (("old", b"o", size), ("new", b"n", size), ("sized", b"s", other)):
        d = os.path.join(work, tree, "dir%03d" % (i % 200))
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, "FILE%06d.DAT" % i), "wb") as f:
            f.write(fill * n)
for tree in ("old", "new", "sized"):
    with open(os.path.join(work, tree, "group.cfg"), "w") as f:
        f.write("*.* r\n")
PY
for tree in old new sized; do
  (cd "$work/$tree" && "$tool" -q --no-sync . >/dev/null && mv newgrp.grp "$work/$tree.grp")
  tar -C "$work/$tree" -cf "$work/$tree.tar" .
done

ms() { date +%s%N | cut -c1-13; }
# run TOOL ARCHIVE DIR: the time of one unpack into DIR, in ms.
run() {
  local start
  sync
  start=$(ms)
  case "$1" in
    tarnpak) (cd "$3" && "$tool" "$2" >/dev/null) ;;
    tar) tar -C "$3" -xf "$2" ;;
  esac
  echo $(($(ms) - start))
}
median() { tr ' ' '\n' | sort -n | awk '{a[NR]=$1} END {print a[int((NR + 1) / 2)]}'; }

echo "update of $files files over the tree an earlier unpack left; $rounds rounds, medians"
for case in unchanged changed resized; do
  declare -A times=([tarnpak]="" [tar]="")
  for ((r = 0; r < rounds; r++)); do
    for t in tarnpak tar; do
      ext=grp; [ "$t" = tar ] && ext=tar
      rm -rf "$work/out.$t" && mkdir "$work/out.$t"
      run "$t" "$work/old.$ext" "$work/out.$t" >/dev/null  # the tree there before
      archive="$work/old.$ext"
      [ "$case" = changed ] && archive="$work/new.$ext"
      [ "$case" = resized ] && archive="$work/sized.$ext"
      times[$t]+="$(run "$t" "$archive" "$work/out.$t") "
    done
  done
  ours=$(echo "${times[tarnpak]}" | median)
  theirs=$(echo "${times[tar]}" | median)
  awk -v c="$case" -v o="$ours" -v t="$theirs" 'BEGIN {
    printf "%-10s Tarnpak %6d ms   GNU tar %6d ms   tar/Tarnpak %.2f\n", c, o, t, t / (o ? o : 1) }'
done
