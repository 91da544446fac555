#!/usr/bin/env bash
# Packs and unpacks killed with SIGKILL at random moments. A killed pack leaves the older
# group byte for byte (or, killed after its rename, the whole new one), plus at most a
# temporary name of its own; the next pack removes such debris of processes that are gone
# and nothing else. A killed unpack leaves whole files plus at most the one each writing
# thread was writing, and the next unpack replaces them.
#   kill_test.sh TARNPAK [KILLS]      (KILLS: 20 by default; 100 for a longer run)
set -euo pipefail
tool="$1"
kills="${2:-20}"
files=3000

# shellcheck source=support/script_support.sh
source "$(dirname "$0")/support/script_support.sh"

# A tree of small files (0.5 to 4.5 KiB) in 30 directories.
mkdir -p "$work/tree"
for ((d = 0; d < 30; d++)); do mkdir "$work/tree/dir$d"; done
for ((i = 0; i < files; i++)); do
  printf "%0$((512 + (i * 7919) % 4096))d" "$i" >"$work/tree/dir$((i % 30))/file$i.dat"
done
printf '*.* r\n' >"$work/tree/group.cfg"

pack() { (cd "$1" && "$tool" "$work/tree" >/dev/null); }
mkdir "$work/out" "$work/ref"
pack "$work/out"
cp "$work/out/newgrp.grp" "$work/old.grp"
echo "changed" >"$work/tree/dir0/file0.dat"  # the new group differs from the old
start=$(now_ms)
pack "$work/ref"
pack_ms=$(($(now_ms) - start + 1))
cp "$work/ref/newgrp.grp" "$work/new.grp"
cmp -s "$work/old.grp" "$work/new.grp" && fail "the two groups should differ"

# Kills at random moments of a pack over the older group.
old=0 new=0 debris=0 locks=0 last=0
for ((k = 0; k < kills; k++)); do
  cp "$work/old.grp" "$work/out/newgrp.grp"
  (cd "$work/out" && exec "$tool" "$work/tree" >/dev/null 2>&1) &
  last=$!
  delay=$((RANDOM % (pack_ms + pack_ms / 4 + 1)))
  sleep "$(printf '%d.%03d' $((delay / 1000)) $((delay % 1000)))"
  kill -KILL "$last" 2>/dev/null || true
  wait "$last" 2>/dev/null || true
  if cmp -s "$work/out/newgrp.grp" "$work/old.grp"; then
    old=$((old + 1))
  elif cmp -s "$work/out/newgrp.grp" "$work/new.grp"; then
    new=$((new + 1))
  else
    fail "kill $k after ${delay} ms left a group that is neither the old nor the new one"
  fi
  for name in $(ls "$work/out"); do
    case "$name" in
      newgrp.grp) ;;
      newgrp.grp.tarnpak-tmp-"$last"-*) debris=$((debris + 1)) ;;
      newgrp.grp.lock) locks=$((locks + 1)) ;;  # killed while putting the group in place
      *) fail "kill $k left '$name'" ;;
    esac
  done
done
echo "packs killed: $kills (older group kept: $old, new group complete: $new, temporary names left: $debris, a lock file there after: $locks)"

# The next pack removes the debris of processes that are gone (and takes over a lock file a
# killed pack left, which holds no lock, removing it when done), and nothing else.
touch "$work/out/newgrp.grp.tarnpak-tmp-$last-999999" "$work/out/newgrp.grp.tmpkeep" "$work/out/other.tarnpak-tmp-$last-1"
pack "$work/out"
cmp -s "$work/out/newgrp.grp" "$work/new.grp" || fail "the pack after the kills made a different group"
left=$(cd "$work/out" && ls | tr '\n' ' ')
[ "$left" = "newgrp.grp newgrp.grp.tmpkeep other.tarnpak-tmp-$last-1 " ] || fail "after the next pack: $left"

# Kills at random moments of an unpack, of a group of 300 files: making files is what costs.
mkdir -p "$work/small" "$work/unref" "$work/un"
cp -r "$work/tree/dir0" "$work/tree/dir1" "$work/tree/dir2" "$work/tree/group.cfg" "$work/small"
(cd "$work/unref" && "$tool" "$work/small" >/dev/null && mv newgrp.grp "$work/small.grp")
start=$(now_ms)
(cd "$work/unref" && "$tool" "$work/small.grp" >/dev/null)
unpack_ms=$(($(now_ms) - start + 1))
partial=0
# The unpacker writes files from as many threads as it may use (at most 16).
writers="${TARNPAK_THREADS:-$(nproc)}"
[ "$writers" -le 16 ] || writers=16
for ((k = 0; k < kills; k++)); do
  rm -rf "$work/un" && mkdir "$work/un"
  (cd "$work/un" && exec "$tool" "$work/small.grp" >/dev/null 2>&1) &
  pid=$!
  delay=$((RANDOM % (unpack_ms + 1)))
  sleep "$(printf '%d.%03d' $((delay / 1000)) $((delay % 1000)))"
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  # Files of the reference missing are fine (not reached yet); a file that differs is not,
  # but for those being written.
  wrong=$(diff -rq "$work/un" "$work/unref" | grep -c ' differ$' || true)
  diff -rq "$work/un" "$work/unref" | grep -q '^Only in '"$work/un" && fail "unpack kill $k left a stray file"
  [ "$wrong" -le "$writers" ] || fail "unpack kill $k after ${delay} ms left $wrong files that differ"
  partial=$((partial + wrong))
  (cd "$work/un" && "$tool" "$work/small.grp" >/dev/null)
  diff -r "$work/un" "$work/unref" >/dev/null || fail "the unpack after kill $k left a different tree"
done
echo "unpacks killed: $kills (a partly written file left: $partial), each replaced by the next unpack"
