#!/usr/bin/env bash
# Packs and unpacks killed with SIGKILL at random moments. A killed pack leaves the older
# group byte for byte (or, killed after its rename, the whole new one), plus temporary names
# of the packs this test killed (a pack killed before it removed an earlier one's are left
# too) and the lock file; the next pack removes such debris of processes that are gone and
# nothing else. A killed unpack leaves whole files plus, at most one for each writing thread,
# a file cut short (a beginning of its bytes), and nothing else; the next unpack replaces
# them. Whatever the timing: a slow machine only moves the moments the kills hit.
#   kill_test.sh TARNPAK [KILLS]      (KILLS: 20 by default; 100 for a longer run)
set -euo pipefail
shopt -s extglob
tool="$1"
kills="${2:-20}"
files=3000

# shellcheck source=support/script_support.sh
source "$(dirname "$0")/support/script_support.sh"

# The name process PID writes TARGET under until it is complete, its Nth: the one place
# that knows the tool's temporary names.
temp_name() { printf '%s.tarnpak-tmp-%s-%s' "$1" "$2" "$3"; }
# Whether NAME is a temporary name of TARGET of one of the processes PIDS...
is_temp_of() {
  local name="$1" target="$2" pid
  shift 2
  for pid in "$@"; do
    # shellcheck disable=SC2053  # the right side is a pattern on purpose
    [[ $name == $(temp_name "$target" "$pid" '+([0-9])') ]] && return 0
  done
  return 1
}

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
killed=()  # every pack this test killed, for the debris it may leave
for ((k = 0; k < kills; k++)); do
  cp "$work/old.grp" "$work/out/newgrp.grp"
  (cd "$work/out" && exec "$tool" "$work/tree" >/dev/null 2>&1) &
  last=$!
  killed+=("$last")
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
    if [ "$name" = newgrp.grp ]; then
      :
    elif [ "$name" = newgrp.grp.lock ]; then
      locks=$((locks + 1))  # killed while putting the group in place
    elif is_temp_of "$name" newgrp.grp "${killed[@]}"; then
      is_temp_of "$name" newgrp.grp "$last" && debris=$((debris + 1))
    else
      fail "kill $k left '$name'"
    fi
  done
done
echo "packs killed: $kills (older group kept: $old, new group complete: $new, temporary names left: $debris, a lock file there after: $locks)"

# The next pack removes the debris of processes that are gone (and takes over a lock file a
# killed pack left, which holds no lock, removing it when done), and nothing else: not a
# name of another pattern or target, nor one of a process id that is alive again by now.
keep=("$(temp_name newgrp.grp keep 1)" "$(temp_name other "$last" 1)")
touch "$work/out/$(temp_name newgrp.grp "$last" 999999)"
for name in "${keep[@]}"; do touch "$work/out/$name"; done
for name in $(ls "$work/out"); do
  for pid in "${killed[@]}"; do
    if is_temp_of "$name" newgrp.grp "$pid" && kill -0 "$pid" 2>/dev/null; then keep+=("$name"); fi
  done
done
pack "$work/out"
cmp -s "$work/out/newgrp.grp" "$work/new.grp" || fail "the pack after the kills made a different group"
left=$(cd "$work/out" && ls | sort | tr '\n' ' ')
want=$(printf '%s\n' newgrp.grp "${keep[@]}" | sort | tr '\n' ' ')
[ "$left" = "$want" ] || fail "after the next pack: $left (wanted $want)"

# Kills at random moments of an unpack, of a group of 300 files: making files is what costs.
mkdir -p "$work/small" "$work/unref" "$work/un"
cp -r "$work/tree/dir0" "$work/tree/dir1" "$work/tree/dir2" "$work/tree/group.cfg" "$work/small"
(cd "$work/unref" && "$tool" "$work/small" >/dev/null && mv newgrp.grp "$work/small.grp")
start=$(now_ms)
(cd "$work/unref" && "$tool" "$work/small.grp" >/dev/null)
unpack_ms=$(($(now_ms) - start + 1))
partial=0
# The unpacker writes files from as many threads as it may use (at most 16); nproc counts
# the processors this process may use, as the tool does (but for OpenMP's variables).
writers="${TARNPAK_THREADS:-$(env -u OMP_NUM_THREADS -u OMP_THREAD_LIMIT nproc)}"
[ "$writers" -le 16 ] || writers=16
for ((k = 0; k < kills; k++)); do
  rm -rf "$work/un" && mkdir "$work/un"
  (cd "$work/un" && exec "$tool" "$work/small.grp" >/dev/null 2>&1) &
  pid=$!
  delay=$((RANDOM % (unpack_ms + 1)))
  sleep "$(printf '%d.%03d' $((delay / 1000)) $((delay % 1000)))"
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  # Into an empty directory each file is made under its own name and written in one go:
  # files of the reference missing are fine (not reached yet), a file cut short is fine for
  # those being written, and anything else is not.
  (cd "$work/un" && find . -mindepth 1 | sort) >"$work/un.list"
  (cd "$work/unref" && find . -mindepth 1 | sort) >"$work/unref.list"
  stray=$(comm -23 "$work/un.list" "$work/unref.list" | head -n 1)
  [ -z "$stray" ] || fail "unpack kill $k left a stray name '$stray'"
  wrong=0
  while IFS= read -r f; do
    [ -f "$work/un/$f" ] || fail "unpack kill $k left '$f' as another kind of file"
    cmp -s "$work/un/$f" "$work/unref/$f" && continue
    size=$(stat -c %s "$work/un/$f")
    [ "$size" -lt "$(stat -c %s "$work/unref/$f")" ] && cmp -s -n "$size" "$work/un/$f" "$work/unref/$f" ||
      fail "unpack kill $k after ${delay} ms left '$f' that is not a beginning of its bytes"
    wrong=$((wrong + 1))
  done < <(cd "$work/unref" && find . -type f | sort | comm -12 - "$work/un.list")
  [ "$wrong" -le "$writers" ] || fail "unpack kill $k after ${delay} ms left $wrong files cut short"
  partial=$((partial + wrong))
  (cd "$work/un" && "$tool" "$work/small.grp" >/dev/null)
  diff -r "$work/un" "$work/unref" >/dev/null || fail "the unpack after kill $k left a different tree"
done
echo "unpacks killed: $kills (a partly written file left: $partial), each replaced by the next unpack"
