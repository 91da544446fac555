#!/usr/bin/env bash
# Runs a Windows program of a mingw build under Wine: a prefix of its own (made on first
# use, under the temporary area), no Wine debug chatter, and the loader that fits the
# program: 64-bit Wine for an x86-64 program, 32-bit Wine (wine32, its own win32 prefix)
# for an i386 one.
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
exec "$loader" "$@"
