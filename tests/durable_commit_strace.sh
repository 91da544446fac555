#!/usr/bin/env bash
# A pack seen through strace: the group's data reaches the disk (fdatasync or fsync) before
# the group takes a name (link or rename), and its directory is flushed after the rename;
# the writeback of a group of many MiB is started while it is written, before that flush.
# With --no-sync nothing is flushed, and the group is the same bytes.
# Skipped (77) where strace is missing or may not trace.
#   durable_commit_strace.sh TARNPAK
set -euo pipefail
tool="$1"
command -v strace >/dev/null || { echo "strace is not installed: skipped"; exit 77; }
strace -o /dev/null true 2>/dev/null || { echo "strace may not trace here: skipped"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
work=$(cd "$work" && pwd -P)  # strace -y shows resolved paths
mkdir -p "$work/tree/sub" "$work/out"
for i in 1 2 3; do printf 'file %s\n' "$i" >"$work/tree/sub/f$i.txt"; done
# 24 MiB: several stretches of writeback behind the writer, from large files and small ones.
head -c $((12 << 20)) /dev/urandom >"$work/tree/sub/large.bin"
for i in $(seq 1 48); do head -c $((256 << 10)) /dev/urandom >"$work/tree/sub/small$i.bin"; done
printf 'sub\\*.* r\n' >"$work/tree/group.cfg"
echo "the older group" >"$work/out/newgrp.grp"
# LeakSanitizer cannot run under ptrace: a sanitizer build checks leaks elsewhere.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
(cd "$work/out" && strace -f -y -o "$work/trace" \
  -e trace=fsync,fdatasync,rename,renameat,renameat2,linkat,sync_file_range "$tool" "$work/tree")

# Line numbers of the calls that matter, in the order they were made.
calls=$(grep -v -e '^[0-9]* *+++' -e '^[0-9]* *---' "$work/trace" | grep -n '' || true)
flush_data=$(echo "$calls" | grep -E '(fdatasync|fsync)\([0-9]+<'"$work"'/out/' | head -1 | cut -d: -f1 || true)
named=$(echo "$calls" | grep -E '(linkat|rename|renameat2?)\(.*newgrp\.grp\.tarnpak-tmp-' | head -1 | cut -d: -f1 || true)
renamed=$(echo "$calls" | grep -E '(rename|renameat2?)\(.*newgrp\.grp\.tarnpak-tmp-[0-9-]*".*"[^"]*/?newgrp\.grp"' |
  head -1 | cut -d: -f1 || true)
behind=$(echo "$calls" | grep -E 'sync_file_range\([0-9]+<'"$work"'/out/.*= 0' | head -1 | cut -d: -f1 || true)
flush_dir=$(echo "$calls" | grep -E 'fsync\([0-9]+<'"$work"'/out>\) = 0' | tail -1 | cut -d: -f1 || true)

fail() {
  echo "FAIL: $1"
  cat "$work/trace"
  exit 1
}
[ -n "$flush_data" ] || fail "the group's data was never flushed"
[ -n "$named" ] || fail "the group never took a temporary name"
[ -n "$renamed" ] || fail "the group was never renamed into place"
[ -n "$flush_dir" ] || fail "the output directory was never flushed"
[ -n "$behind" ] || fail "no writeback was started while the group was written"
[ "$behind" -lt "$flush_data" ] || fail "the writeback started only with the final flush"
[ "$flush_data" -lt "$named" ] || fail "the data was flushed only after the group took a name"
[ "$renamed" -lt "$flush_dir" ] || fail "the directory was flushed before the rename"
cmp -s "$work/out/newgrp.grp" <(echo "the older group") && fail "the older group is still there"

mkdir "$work/scratch"
(cd "$work/scratch" && strace -f -o "$work/trace.nosync" \
  -e trace=fsync,fdatasync,sync_file_range "$tool" --no-sync "$work/tree")
grep -E 'fsync|fdatasync|sync_file_range' "$work/trace.nosync" && fail "--no-sync flushed"
cmp "$work/out/newgrp.grp" "$work/scratch/newgrp.grp" || fail "--no-sync wrote other bytes"
echo "data flushed (call $flush_data), named ($named), renamed ($renamed), directory flushed ($flush_dir)"
