#!/usr/bin/env bash
# The layer check fails on an include that breaks one of its rules: each case plants one
# include line into a fresh copy of the engine and expects the check to fail naming the rule.
# The copy as it is passes.
#   layers_planted_test.sh CHECK_LAYERS ENGINE_DIR
set -euo pipefail
check="$1"
engine="$2"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Each case: the file that gets the line, the line, a phrase the check's output must hold.
cases=(
  'gf/pack/builder.cpp|#include "engine/gf/manager/table.h"|the jobs never include the manager'
  'gf/unpack/unpack_tasks.h|#include "engine/gf/manager/reader.h"|the jobs never include the manager'
  'gf/manager/lifecycle.cpp|#include "engine/gf/pack/sums.h"|the manager never includes a job'
  'gf/unpack/unpack_write.cpp|#include "engine/gf/pack/write_list.h"|never include each other'
  'gf/base/names.cpp|#include "engine/gf/unpack/unpack_tasks.h"|the base includes no other wing'
  'gf/manager/reader.h|#include "engine/gf/manager/table.h"|a layer above its own'
  'gf/pack/write_list.cpp|#include "collect.h"|engine/gf includes its own headers as'
  'kestin/crew.cpp|#include <engine/gf/base/names.h>|must not include it'
  'include/tarnpak/gf.h|#include "engine/gf/base/group_format.h"|must not include it'
)

status=0
cp -r "$engine" "$work/clean"
if ! out=$(bash "$check" "$work/clean" 2>&1); then
  echo "the check fails on the engine as it is:"
  echo "$out"
  exit 1
fi
for case in "${cases[@]}"; do
  IFS='|' read -r file line expected <<<"$case"
  rm -rf "$work/planted"
  cp -r "$work/clean" "$work/planted"
  # The planted line goes first in the file, where no condition hides it.
  { printf '%s\n' "$line"; cat "$work/planted/$file"; } >"$work/planted/$file.new"
  mv "$work/planted/$file.new" "$work/planted/$file"
  if out=$(bash "$check" "$work/planted" 2>&1); then
    echo "FAIL: the check passes with '$line' planted in $file"
    status=1
  elif [[ "$out" != *"$expected"* ]]; then
    echo "FAIL: with '$line' planted in $file the check fails without saying '$expected':"
    echo "$out"
    status=1
  else
    echo "ok: '$line' in $file: $expected"
  fi
done
exit $status
