#!/usr/bin/env bash
# Runs a Windows program of a mingw build under Wine: a prefix of its own (made on first
# use, under the temporary area), no Wine debug chatter, and the loader that fits the
# program: 64-bit Wine for an x86-64 program, 32-bit Wine (wine32, its own win32 prefix)
# for an i386 one. A run that Wine itself broke off, losing its wineserver ("wine client
# error"), says nothing of the program: it is run once more.
set -euo pipefail
# The PE header's machine field: 8664 x86-64, 014c i386.
machine=""
if [ -f "${1:-}" ]; then
  pe=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$1" | tr -d ' ')
fi
if [ "$machine" = 014c ]; then
  prefix="${TARNPAK_WINEPREFIX32:-${TMPDIR:-/tmp}/tarnpak-wine32-$(id -u)}"
  export WINEARCH=win32
  loader=/usr/lib/wine/wine
  [ -x "$loader" ] || loader="$(command -v wine)"
else
  prefix="${TARNPAK_WINEPREFIX:-${TMPDIR:-/tmp}/tarnpak-wine-$(id -u)}"
  export WINEARCH=win64
  loader=/usr/lib/wine/wine64
  [ -x "$loader" ] || loader="$(command -v wine64 || command -v wine)"
fi
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
errors="$(mktemp "${TMPDIR:-/tmp}/tarnpak-wine-run-XXXXXX")"
trap 'rm -f "$errors"' EXIT
exec 3>&1
for attempt in 1 2; do
  set +e
  "$loader" "$@" 2>&1 1>&3 3>&- | tee "$errors" >&2
  status=${PIPESTATUS[0]}
  set -e
  if [ "$status" -ne 0 ] && [ "$attempt" -eq 1 ] && grep -q "^wine client error" "$errors"; then
    echo "wine-run: Wine lost its server (status $status): running it once more" >&2
    continue
  fi
  exit "$status"
done
