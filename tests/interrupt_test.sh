#!/usr/bin/env bash
# Unpacks interrupted by SIGINT, SIGTERM and SIGHUP at random moments, with 1, 2 and 4
# threads, by Tarnpak and by grp extract, into an empty directory and over an older tree:
# every file the group stores is afterwards either absent (empty directory only), the old
# copy whole or the new one whole; no temporary name is left; the exit status tells the
# signal.
#   interrupt_test.sh TARNPAK GRP [ROUNDS]   (ROUNDS: 1 by default, each 36 interrupts)
set -euo pipefail
tool="$1"
grp="$2"
rounds="${3:-1}"
files=2000

# shellcheck source=support/script_support.sh
source "$(dirname "$0")/support/script_support.sh"

# Two versions of one tree of small files in 20 directories: the old copies differ in
# length and bytes from the new ones, so a mixture or a cut shows.
mkdir -p "$work/new" "$work/old"
for ((d = 0; d < 20; d++)); do mkdir "$work/new/DIR$d" "$work/old/DIR$d"; done
for ((i = 0; i < files; i++)); do
  f="DIR$((i % 20))/FILE$i.DAT"  # as the pack stores them
  printf "%0$((700 + (i * 7919) % 3000))d" "$i" >"$work/new/$f"
  printf "old %0$((300 + (i * 104729) % 2000))d" "$i" >"$work/old/$f"
done
printf '*.* r\n' >"$work/new/group.cfg"
(cd "$work" && "$tool" "$work/new" >/dev/null && mv newgrp.grp new.grp)
rm "$work/new/group.cfg"
sums() { (cd "$1" && find . -type f -print0 | sort -z | xargs -0 -r md5sum); }
sums "$work/new" >"$work/new.sums"
sums "$work/old" >"$work/old.sums"

# How long a whole unpack takes here, to spread the interrupts over it.
mkdir "$work/timing"
start=$(now_ms)
(cd "$work/timing" && "$tool" "$work/new.grp" >/dev/null)
unpack_ms=$(($(now_ms) - start + 1))
rm -rf "$work/timing"

# Every file of the result is the new copy or the old one (over the older tree), or absent
# (into an empty directory); nothing else is there.
check() {
  local out="$1" over="$2" what="$3"
  sums "$out" >"$work/got.sums"
  awk -v over="$over" -v what="$what" '
    FILENAME == ARGV[1] { fresh[$2] = $1; next }
    FILENAME == ARGV[2] { old[$2] = $1; next }
    $2 == "./GROUP.CFG" { next }
    { seen[$2] = 1
      if (!($2 in fresh)) { print "FAIL: " what ": stray file " $2; bad = 1 }
      else if ($1 != fresh[$2] && !(over && $1 == old[$2])) { print "FAIL: " what ": " $2 " is neither the old nor the new copy"; bad = 1 } }
    END { if (over) for (f in old) if (!(f in seen)) { print "FAIL: " what ": the old " f " is gone"; bad = 1 }
          exit bad }' "$work/new.sums" "$work/old.sums" "$work/got.sums"
}

declare -A number=([INT]=2 [TERM]=15 [HUP]=1)
interrupted=0 finished=0
for ((r = 0; r < rounds; r++)); do
  for threads in 1 2 4; do
    for sig in INT TERM HUP; do
      for over in 0 1; do
        for program in tool grp; do
          out="$work/out"
          rm -rf "$out"
          if [ "$over" = 1 ]; then cp -r "$work/old" "$out"; else mkdir "$out"; fi
          if [ "$program" = tool ]; then
            (cd "$out" && TARNPAK_THREADS=$threads exec "$tool" "$work/new.grp" >/dev/null 2>&1) &
          else
            (TARNPAK_THREADS=$threads exec "$grp" extract "$work/new.grp" -C "$out" >/dev/null 2>&1) &
          fi
          pid=$!
          delay=$((RANDOM % (unpack_ms + 1)))
          sleep "$(printf '%d.%03d' $((delay / 1000)) $((delay % 1000)))"
          kill -"$sig" "$pid" 2>/dev/null || true
          status=0
          wait "$pid" 2>/dev/null || status=$?
          what="$program, $threads threads, SIG$sig after $delay ms, $([ "$over" = 1 ] && echo over the older tree || echo into an empty directory)"
          if [ "$status" = 0 ]; then
            finished=$((finished + 1))
          elif [ "$status" = $((128 + number[$sig])) ]; then
            interrupted=$((interrupted + 1))
          else
            fail "$what: exit status $status"
          fi
          check "$out" "$over" "$what" || exit 1
        done
      done
    done
  done
done
echo "unpacks interrupted: $interrupted, finished before the signal: $finished; every file whole"

# grp add and grp rm interrupted the same way: the group is the old one or the edited one,
# and neither the edit's lock file nor a temporary is left beside it.
head -c 20000000 /dev/urandom >"$work/BIG.DAT"
mkdir "$work/edit"
edits=0
for sig in INT TERM HUP; do
  for job in add rm; do
    for ((k = 0; k < 2; k++)); do
      cp "$work/new.grp" "$work/edit/g.grp"
      if [ "$job" = add ]; then
        (cd "$work" && exec "$grp" add edit/g.grp BIG.DAT >/dev/null 2>&1) &
      else
        (exec "$grp" rm "$work/edit/g.grp" DIR1/FILE1.DAT >/dev/null 2>&1) &
      fi
      pid=$!
      delay=$((RANDOM % 40))
      sleep "$(printf '0.%03d' "$delay")"
      kill -"$sig" "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
      left=$(cd "$work/edit" && ls -A)
      [ "$left" = g.grp ] || fail "grp $job, SIG$sig after $delay ms: left beside the group: $left"
      "$grp" verify "$work/edit/g.grp" >/dev/null || fail "grp $job, SIG$sig after $delay ms: the group is not whole"
      edits=$((edits + 1))
    done
  done
done
echo "edits interrupted or finished: $edits; each group whole, nothing left beside it"
