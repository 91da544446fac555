#!/usr/bin/env bash
# Runs a Windows program of the mingw build under Wine: a prefix of its own (made on first
# use, under the temporary area), no Wine debug chatter, the 64-bit loader.
set -euo pipefail
prefix="${TARNPAK_WINEPREFIX:-${TMPDIR:-/tmp}/tarnpak-wine-$(id -u)}"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
loader=/usr/lib/wine/wine64
[ -x "$loader" ] || loader="$(command -v wine64 || command -v wine)"
exec "$loader" "$@"
