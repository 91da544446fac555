#!/usr/bin/env bash
# Every moment of a job, tried from outside: each job runs once under strace to count its
# calls of the kinds that touch files, then once per call with that call made to kill the
# job (SIGKILL) or fail (EIO, ENOSPC, EDQUOT). What is left must be the old state or the new
# one: a group old or new and whole, sums that match their group or that grp verify --sums
# calls stale, each unpacked file old or new, no debris but a killed job's own temporary
# names, a status and message that say what is in place (a failure while the new group is in
# place says so), and a second run that completes the pair.
#   crash_points.sh TARNPAK GRP [MODE...] [-- JOB...]
#   MODE: kill eio enospc edquot (default: all); JOB: pack add rm patch unpack1 unpack2
#   (default: all)
set -euo pipefail
tool="$1"
grp="$2"
shift 2
modes=() jobs=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do modes+=("$1"); shift; done
[ $# -gt 0 ] && shift
jobs=("$@")
[ ${#modes[@]} -gt 0 ] || modes=(kill eio enospc edquot)
[ ${#jobs[@]} -gt 0 ] || jobs=(pack add rm patch unpack1 unpack2)

# shellcheck source=support/script_support.sh
source "$(dirname "$0")/support/script_support.sh"
command -v strace >/dev/null || { echo "SKIP: strace is missing"; exit 77; }
# LeakSanitizer stops itself under a tracer: a sanitizer build is traced without it.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"

calls=openat,read,pread64,write,pwrite64,close,fstat,newfstatat,statx,getdents64,mkdirat
calls+=,linkat,rename,renameat,renameat2,unlink,unlinkat,fsync,fdatasync,flock,ftruncate
calls+=,copy_file_range,sync_file_range,utimensat,fallocate

# The tree, the old and the new group, with their sums.
mkdir -p "$work/tree/maps" "$work/ref"
for i in 1 2 3 4 5; do printf 'file %d %0900d' "$i" "$i" >"$work/tree/f$i.txt"; done
printf 'map' >"$work/tree/maps/e1.map"
head -c 300000 /dev/urandom >"$work/tree/maps/big.lev"
printf '*.* r\n' >"$work/tree/group.cfg"
(cd "$work/ref" && "$tool" --sums old.sums "$work/tree" >/dev/null && mv newgrp.grp old.grp)
printf 'changed' >"$work/tree/f1.txt"
printf 'added' >"$work/tree/new.txt"
(cd "$work/ref" && "$tool" --sums new.sums "$work/tree" >/dev/null && mv newgrp.grp new.grp)
# What the edits start from and give: add puts NEW.TXT into the old group, rm takes F2.TXT out;
# patch writes, over a copy of the old group, the patch from the old group to the new.
cp "$work/ref/old.grp" "$work/ref/add.grp"
(cd "$work/tree" && "$grp" add --sums "$work/ref/add.sums" "$work/ref/add.grp" new.txt >/dev/null)
cp "$work/ref/old.grp" "$work/ref/rm.grp"
"$grp" rm --sums "$work/ref/rm.sums" "$work/ref/rm.grp" f2.txt >/dev/null
(cd "$work/ref" && "$grp" patch --sums patch.sums old.grp new.grp patch.grp >/dev/null 2>&1)
mkdir "$work/ref/oldtree" "$work/ref/newtree"
(cd "$work/ref/oldtree" && "$tool" "$work/ref/old.grp" >/dev/null)
(cd "$work/ref/newtree" && "$tool" "$work/ref/new.grp" >/dev/null)

# Sets up $work/run for a job; prints the command to run there.
prepare() {
  rm -rf "$work/run" && mkdir "$work/run"
  case "$1" in
    pack) cp "$work/ref/old.grp" "$work/run/newgrp.grp"; cp "$work/ref/old.sums" "$work/run/S"
          echo "$tool --sums S $work/tree" ;;
    add) cp "$work/ref/old.grp" "$work/run/g.grp"; cp "$work/ref/old.sums" "$work/run/S"
         echo "$grp add -C $work/tree --sums S g.grp new.txt" ;;
    rm) cp "$work/ref/old.grp" "$work/run/g.grp"; cp "$work/ref/old.sums" "$work/run/S"
        echo "$grp rm --sums S g.grp f2.txt" ;;
    patch) cp "$work/ref/old.grp" "$work/run/g.grp"; cp "$work/ref/old.sums" "$work/run/S"
           echo "$grp patch --sums S $work/ref/old.grp $work/ref/new.grp g.grp" ;;
    unpack*) cp -r "$work/ref/oldtree/." "$work/run/"; echo "$tool $work/ref/new.grp" ;;
  esac
}

# The group, sums and the sums it should be read with, per job.
group_of() { case "$1" in pack) echo newgrp.grp ;; *) echo g.grp ;; esac; }
new_of() { case "$1" in pack) echo new ;; *) echo "$1" ;; esac; }

# Checks what a pack or an edit left; $1 job, $2 mode, $3 status, $4 stderr file, $5 point.
check_group() {
  local job=$1 mode=$2 status=$3 err=$4 at=$5 g s new
  g="$work/run/$(group_of "$job")"
  s="$work/run/S"
  new=$(new_of "$job")
  local gnew=0 snew=0
  if cmp -s "$g" "$work/ref/$new.grp"; then gnew=1
  elif ! cmp -s "$g" "$work/ref/old.grp"; then fail "$at: the group is neither old nor new"; fi
  if cmp -s "$s" "$work/ref/$new.sums"; then snew=1
  elif ! cmp -s "$s" "$work/ref/old.sums"; then fail "$at: the sums are neither old nor new"; fi
  [ $snew -le $gnew ] || fail "$at: the new sums beside the old group"
  if [ $gnew = 1 ] && [ $snew = 0 ]; then
    local v=0
    (cd "$work/run" && "$grp" verify --sums S "$(basename "$g")" >/dev/null 2>&1) || v=$?
    [ $v = 3 ] || fail "$at: grp verify --sums gave $v for stale sums, not 3"
  fi
  if [ "$mode" != kill ]; then
    if [ "$status" = 0 ]; then
      [ $gnew$snew = 11 ] || fail "$at: status 0 but the job is not done"
    else
      [ -s "$err" ] || fail "$at: status $status without a message"
      if [ $gnew = 1 ]; then grep -q "in place" "$err" || fail "$at: '$(cat "$err")' hides the new group"
      else ! grep -q "in place" "$err" || fail "$at: '$(cat "$err")' but the old group is there"; fi
    fi
  fi
}

# Checks what an unpack left: every file old or new, nothing else but temporaries. SIGKILL
# leaves no time to remove anything: a file that did not exist before may be partly written
# (at most one per writing thread), as the signals the tool handles never leave one.
check_tree() {
  local mode=$1 status=$2 err=$3 at=$4 threads=$5 f rel partial=0
  while IFS= read -r -d '' f; do
    rel=${f#"$work/run/"}
    case "$rel" in *.tarnpak-tmp-*) [ "$mode" = kill ] && continue ;; esac
    if [ -f "$work/ref/newtree/$rel" ] && cmp -s "$f" "$work/ref/newtree/$rel"; then continue; fi
    if [ -f "$work/ref/oldtree/$rel" ] && cmp -s "$f" "$work/ref/oldtree/$rel"; then continue; fi
    if [ "$mode" = kill ] && [ ! -e "$work/ref/oldtree/$rel" ]; then
      partial=$((partial + 1))
      continue
    fi
    fail "$at: '$rel' is neither old nor new"
  done < <(find "$work/run" -type f -print0)
  [ $partial -le "$threads" ] || fail "$at: $partial new files partly written"
  if [ "$mode" != kill ]; then
    if [ "$status" = 0 ]; then
      diff -r "$work/run" "$work/ref/newtree" >/dev/null || fail "$at: status 0, tree not new"
    else
      [ -s "$err" ] || fail "$at: status $status without a message"
    fi
  fi
}

points=0 skipped=0
for job in "${jobs[@]}"; do
  threads=1
  [ "$job" = unpack2 ] && threads=2
  command=$(prepare "$job")
  (cd "$work/run" && TARNPAK_THREADS=$threads strace -f -qq -o "$work/trace" -e trace="$calls" \
    $command >/dev/null 2>"$work/err") || fail "$job without a fault: $(cat "$work/err")"
  for name in ${calls//,/ }; do
    count=$(grep -c -E "^[0-9]+ +$name\(" "$work/trace" || true)
    for ((n = 1; n <= count; n++)); do
      for mode in "${modes[@]}"; do
        case "$mode" in
          kill) inject="signal=KILL" ;;
          eio) inject="error=EIO" ;;
          enospc) inject="error=ENOSPC" ;;
          edquot) inject="error=EDQUOT" ;;
        esac
        command=$(prepare "$job")
        status=0
        { (cd "$work/run" && exec env TARNPAK_THREADS=$threads strace -f -qq -o /dev/null \
          -e trace="$name" -e inject="$name:$inject:when=$n" $command >/dev/null 2>"$work/err"); } \
          2>/dev/null || status=$?
        at="$job $mode at $name #$n"
        # A sanitizer's runtime reads its options through the same calls: a fault there turns
        # its leak check on, which stops under a tracer. Nothing of the tool's is tried then.
        if grep -q 'Sanitizer has encountered a fatal error' "$work/err"; then
          skipped=$((skipped + 1))
          continue
        fi
        points=$((points + 1))
        case "$job" in
          unpack*) check_tree "$mode" "$status" "$work/err" "$at" "$threads"
                   (cd "$work/run" && $command >/dev/null 2>&1) || fail "$at: the next unpack failed"
                   diff -r "$work/run" "$work/ref/newtree" >/dev/null ||
                     fail "$at: the next unpack left another tree" ;;
          rm) check_group "$job" "$mode" "$status" "$work/err" "$at"
              # Once the name is gone, rm run again has nothing to remove and fails: grp sum
              # completes the pair instead, as grp verify --sums says of stale sums.
              if cmp -s "$work/run/g.grp" "$work/ref/rm.grp"; then
                (cd "$work/run" && "$grp" sum g.grp >S) || fail "$at: grp sum failed"
              else
                (cd "$work/run" && $command >/dev/null 2>&1) || fail "$at: rm run again failed"
              fi
              check_group "$job" none 0 /dev/null "$at, run again" ;;
          *) check_group "$job" "$mode" "$status" "$work/err" "$at"
             (cd "$work/run" && $command >/dev/null 2>&1) || fail "$at: the job run again failed"
             check_group "$job" none 0 /dev/null "$at, run again"
             left=$(cd "$work/run" && ls | LC_ALL=C sort | tr '\n' ' ')
             [ "$left" = "S $(group_of "$job") " ] || fail "$at, run again: left $left" ;;
        esac
      done
    done
  done
done
echo "crash points tried: $points (jobs: ${jobs[*]}; modes: ${modes[*]};" \
  "$skipped that hit a sanitizer's own start)"
