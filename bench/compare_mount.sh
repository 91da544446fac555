#!/usr/bin/env bash
# grp's speed: list and verify of a 100,000-entry group, and reading every file of a tree
# through `grp mount` against archivemount and ratarmount over a tar of the same tree,
# alternating the tools in one run. Prints medians and ratios (peer time / our time).
#   bench/compare_mount.sh [files] [rounds]    (defaults: 5000 files, 3 rounds)
# Needs root or fuse access, fuse3, archivemount (Debian); ratarmount is pip-installed
# into a virtual environment under /tmp and left out when that fails.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
files="${1:-5000}"
rounds="${2:-3}"
build="$top/build-bench"
grp="$build/grp/grp"
tarnpak="$build/Tarnpak"
if [ ! -x "$grp" ] || [ ! -x "$tarnpak" ]; then
  (cd "$top" && cmake --preset bench >/dev/null && cmake --build --preset bench -j2 >/dev/null)
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/grp-bench-XXXXXX")"
mnt="$work/mnt"
mkdir -p "$mnt"
cleanup() {
  mountpoint -q "$mnt" && { fusermount3 -u "$mnt" 2>/dev/null || umount -l "$mnt"; }
  rm -rf "$work"
}
trap cleanup EXIT

now() { date +%s.%N; }
median() { sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }
ratio() { echo "scale=2; $1 / $2" | bc -l; }

# ---- a tree of small and middling files: groups of 20 per directory, two levels deep
gen_tree() {  # dir count minsize maxsize
  python3 - "$@" <<'PY'
import os, random, sys
root, count, lo, hi = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
rnd = random.Random(11)
for i in range(count):
    d = os.path.join(root, "maps%03d" % (i // 2000), "set%03d" % (i // 20 % 100))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "File%06d.dat" % i), "wb") as f:
        f.write(rnd.randbytes(rnd.randint(lo, hi)))
with open(os.path.join(root, "group.cfg"), "w") as f:
    f.write("*.* r\n")
PY
}

pack() {  # tree group
  (cd "$work" && "$tarnpak" "$1" >/dev/null)
  mv "$work/newgrp.grp" "$2"
}

# ---- 1. list and verify of a 100,000-entry group
echo "== grp list / verify of a 100,000-entry group"
gen_tree "$work/big" 100000 1 64
pack "$work/big" "$work/big.grp"
tar -cf "$work/big.tar" -C "$work/big" .
rm -rf "$work/big"
declare -A t
for ((r = 0; r < rounds; r++)); do
  for job in list verify tar-t; do
    s=$(now)
    case $job in
      list) "$grp" list -l "$work/big.grp" >/dev/null ;;
      verify) "$grp" verify "$work/big.grp" >/dev/null ;;
      tar-t) tar -tvf "$work/big.tar" >/dev/null ;;
    esac
    t[$job]+="$(echo "$(now) - $s" | bc -l) "
  done
done
for job in list verify tar-t; do t[$job]=$(echo ${t[$job]} | tr ' ' '\n' | median); done
printf '  grp list -l : %.3f s\n  grp verify  : %.3f s\n' "${t[list]}" "${t[verify]}"
printf '  tar -tvf of the same tree as a tar: %.3f s (ratio tar / grp list -l = %s)\n' \
  "${t[tar-t]}" "$(ratio "${t[tar-t]}" "${t[list]}")"
rm -f "$work/big.grp" "$work/big.tar"

# ---- 2. reading every file through a mount
echo "== reading every file of a $files-file tree through a mount ($rounds rounds, medians)"
gen_tree "$work/tree" "$files" 64 32768
mkdir -p "$work/game"
pack "$work/tree" "$work/game/tree.grp"
tar -cf "$work/tree.tar" -C "$work/tree" .
(cd "$work/tree" && find . -type f ! -name group.cfg | sort) > "$work/list"
bytes=$(du -sb "$work/tree" | cut -f1)
rm -rf "$work/tree"
echo "  $(wc -l < "$work/list") files, $((bytes / 1048576)) MiB"

tools=(grp archivemount)
venv=/tmp/ratarmount-venv
if [ ! -x "$venv/bin/ratarmount" ]; then
  { python3 -m venv "$venv" && "$venv/bin/pip" install -q ratarmount; } >/dev/null 2>&1 || true
fi
if [ -x "$venv/bin/ratarmount" ]; then
  tools+=(ratarmount)
else
  echo "  ratarmount: not available (pip could not install it into $venv): left out"
fi

wait_mounted() {
  for _ in $(seq 1 600); do mountpoint -q "$mnt" && return 0; sleep 0.05; done
  echo "mount did not come up" >&2
  return 1
}

mount_tool() {
  case $1 in
    grp) "$grp" mount "$work/game" "$mnt" 2>/dev/null & ;;
    archivemount) archivemount -o readonly "$work/tree.tar" "$mnt" ;;
    ratarmount) "$venv/bin/ratarmount" --index-folders "$work" "$work/tree.tar" "$mnt" >/dev/null ;;
  esac
  wait_mounted
}

unmount_tool() {
  fusermount3 -u "$mnt" 2>/dev/null || umount "$mnt"
  wait
  for _ in $(seq 1 100); do mountpoint -q "$mnt" || return 0; sleep 0.05; done
}

declare -A mountt readt
for ((r = 0; r < rounds; r++)); do
  for tool in "${tools[@]}"; do
    s=$(now)
    mount_tool "$tool"
    m=$(now)
    (cd "$mnt" && xargs -d '\n' cat < "$work/list" | cksum > "$work/sum.$tool")
    e=$(now)
    unmount_tool
    mountt[$tool]+="$(echo "$m - $s" | bc -l) "
    readt[$tool]+="$(echo "$e - $m" | bc -l) "
  done
done
for tool in "${tools[@]}"; do
  cmp -s "$work/sum.grp" "$work/sum.$tool" || echo "  WARNING: $tool read different bytes"
  mountt[$tool]=$(echo ${mountt[$tool]} | tr ' ' '\n' | median)
  readt[$tool]=$(echo ${readt[$tool]} | tr ' ' '\n' | median)
done
echo "  ratio = peer time / grp time (above 1: grp is faster)"
printf '  %-13s %10s %10s %12s\n' tool "mount s" "read s" "read ratio"
for tool in "${tools[@]}"; do
  printf '  %-13s %10.3f %10.3f %12s\n' "$tool" "${mountt[$tool]}" "${readt[$tool]}" \
    "$(ratio "${readt[$tool]}" "${readt[grp]}")"
done
