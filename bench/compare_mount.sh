#!/usr/bin/env bash
# grp's speed: list and verify of a 100,000-entry group, and reading every file of a tree
# through `grp mount` against the kernel's own squashfs on a loop device (no FUSE; where
# loop devices can be had), squashfuse_ll (the same tree as an uncompressed squashfs image),
# archivemount and ratarmount (a tar of it), with the plain directory as the floor,
# alternating the tools in one run. Each mount is read twice with find | xargs cat: the
# first pass right after mounting, the second with what the kernel kept. Prints medians and
# ratios (peer time / our time).
#   bench/compare_mount.sh [files] [rounds]    (defaults: 20000 files, 7 rounds)
#   COMPARE_MOUNT_ONLY=mount leaves out the list and verify part.
# Needs root or fuse access, fuse3, squashfuse, squashfs-tools, archivemount (Debian,
# installed when missing); ratarmount is pip-installed into a virtual environment under
# /tmp and left out when that fails.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
files="${1:-20000}"
rounds="${2:-7}"
"$top/tools/install-deps.sh" --only squashfuse squashfs-tools archivemount >/dev/null
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
if [ "${COMPARE_MOUNT_ONLY:-}" != mount ]; then
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
fi

# ---- 2. reading every file through a mount
echo "== reading every file of a $files-file tree through a mount ($rounds rounds, medians)"
gen_tree "$work/tree" "$files" 64 32768
mkdir -p "$work/game"
pack "$work/tree" "$work/game/tree.grp"
rm "$work/tree/group.cfg"
tar -cf "$work/tree.tar" -C "$work/tree" .
mksquashfs "$work/tree" "$work/tree.sqfs" -noI -noD -noF -noX -no-xattrs -quiet -no-progress >/dev/null
bytes=$(du -sb "$work/tree" | cut -f1)
echo "  $(find "$work/tree" -type f | wc -l) files, $((bytes / 1048576)) MiB; load: $(cut -d' ' -f1-3 /proc/loadavg)"

# archivemount takes minutes per pass on a tree of 20,000 files: it joins on smaller trees,
# or when COMPARE_MOUNT_ARCHIVEMOUNT=1.
tools=(grp squashfuse_ll)
# The kernel's squashfs needs root and a free loop device.
if [ "$(id -u)" = 0 ] && grep -qw squashfs /proc/filesystems && losetup -f >/dev/null 2>&1; then
  tools+=(squashfs)
else
  echo "  kernel squashfs: left out (needs root, squashfs in the kernel and a free loop device)"
fi
if [ "$files" -le 5000 ] || [ "${COMPARE_MOUNT_ARCHIVEMOUNT:-}" = 1 ]; then
  tools+=(archivemount)
else
  echo "  archivemount: left out on more than 5000 files (COMPARE_MOUNT_ARCHIVEMOUNT=1 adds it)"
fi
venv=/tmp/ratarmount-venv
if [ ! -x "$venv/bin/ratarmount" ] && [ "${COMPARE_MOUNT_RATARMOUNT:-1}" = 1 ]; then
  { python3 -m venv "$venv" && "$venv/bin/pip" install -q --timeout 5 --retries 0 ratarmount; } >/dev/null 2>&1 || true
fi
if [ -x "$venv/bin/ratarmount" ]; then
  tools+=(ratarmount)
else
  echo "  ratarmount: not available (pip could not install it into $venv): left out"
fi
tools+=(directory)

wait_mounted() {
  for _ in $(seq 1 600); do mountpoint -q "$mnt" && return 0; sleep 0.05; done
  echo "mount did not come up" >&2
  return 1
}

mount_tool() {
  case $1 in
    grp) "$grp" mount "$work/game" "$mnt" 2>/dev/null & ;;
    squashfuse_ll) squashfuse_ll "$work/tree.sqfs" "$mnt" ;;
    squashfs) mount -t squashfs -o loop,ro "$work/tree.sqfs" "$mnt" ;;
    archivemount) archivemount -o readonly "$work/tree.tar" "$mnt" ;;
    ratarmount) "$venv/bin/ratarmount" --index-folders "$work" "$work/tree.tar" "$mnt" >/dev/null ;;
    directory) return 0 ;;
  esac
  wait_mounted
}

unmount_tool() {
  [ "$1" = directory ] && return 0
  [ "$1" = squashfs ] && { umount "$mnt"; return 0; }
  fusermount3 -u "$mnt" 2>/dev/null || fusermount -u "$mnt" 2>/dev/null || umount "$mnt"
  wait
  for _ in $(seq 1 100); do mountpoint -q "$mnt" || return 0; sleep 0.05; done
}

# read_all dir sumfile: every file under dir, in find's order, through cat.
# (the build list and the group file itself, which the mount shows too, are left out)
read_all() { (cd "$1" && find . -type f ! -iname group.cfg ! -iname "*.grp" -print0 | sort -z | xargs -0 cat | cksum > "$2"); }

declare -A mountt firstt secondt
for ((r = 0; r < rounds; r++)); do
  for ((k = 0; k < ${#tools[@]}; k++)); do
    tool=${tools[(k + r) % ${#tools[@]}]}
    dir="$mnt"
    [ "$tool" = directory ] && dir="$work/tree"
    s=$(now)
    mount_tool "$tool"
    m=$(now)
    read_all "$dir" "$work/sum.$tool"
    e=$(now)
    read_all "$dir" "$work/sum2.$tool"
    f=$(now)
    unmount_tool "$tool"
    mountt[$tool]+="$(echo "$m - $s" | bc -l) "
    firstt[$tool]+="$(echo "$e - $m" | bc -l) "
    secondt[$tool]+="$(echo "$f - $e" | bc -l) "
  done
done
for tool in "${tools[@]}"; do
  for sum in "$work/sum.$tool" "$work/sum2.$tool"; do
    cmp -s "$work/sum.directory" "$sum" || echo "  WARNING: $tool read different bytes"
  done
  mountt[$tool]=$(echo ${mountt[$tool]} | tr ' ' '\n' | median)
  firstt[$tool]=$(echo ${firstt[$tool]} | tr ' ' '\n' | median)
  secondt[$tool]=$(echo ${secondt[$tool]} | tr ' ' '\n' | median)
done
echo "  ratio = peer time / grp time (above 1: grp is faster); load after: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '  %-13s %8s %9s %9s %12s %12s\n' tool "mount s" "1st s" "2nd s" "1st ratio" "2nd ratio"
for tool in "${tools[@]}"; do
  printf '  %-13s %8.3f %9.3f %9.3f %12s %12s\n' "$tool" "${mountt[$tool]}" "${firstt[$tool]}" \
    "${secondt[$tool]}" "$(ratio "${firstt[$tool]}" "${firstt[grp]}")" \
    "$(ratio "${secondt[$tool]}" "${secondt[grp]}")"
done
echo "  targets: squashfuse_ll 1st / grp 1st >= 3, 2nd >= 3; kernel squashfs 1st / grp 1st >= 0.8,"
echo "           2nd >= 1.0; directory 2nd / grp 2nd >= 0.75"
