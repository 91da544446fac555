#!/usr/bin/env bash
# Installs the Debian packages a build needs, only those that are missing.
#   tools/install-deps.sh                 the Linux build and its tests
#   tools/install-deps.sh --windows       also the Windows cross build and Wine to test it
#   tools/install-deps.sh --windows32     also the 32-bit Windows build and 32-bit Wine (adds
#                                         dpkg's i386 architecture for wine32)
#   tools/install-deps.sh --fuzz          also clang and its run-time for the fuzz targets
#   tools/install-deps.sh --package       also what making and checking the packages needs
#   tools/install-deps.sh --all           all of the above (what CI uses)
#   tools/install-deps.sh --only PKG...   just the named packages, for scripts that need
#                                         more, such as the benchmarks
set -euo pipefail
# The Linux build and tests: fuse3 with its headers for grp mount and its test; strace
# for the test that watches a pack flush its group; Python's headers and pybind11 for the
# Python module, whose tests the default test run includes; libssl-dev for libcrypto's
# SHA-256.
linux=(cmake ninja-build g++ pkg-config libgtest-dev libbenchmark-dev fuse3 libfuse3-dev strace
  python3-dev python3-pybind11 libssl-dev)
# The mingw-w64 cross compiler with POSIX threads (for std::thread) and Wine's 64-bit loader
# to run its programs; GoogleTest is built for it from libgtest-dev's sources.
windows=(g++-mingw-w64-x86-64-posix wine64)
# The same for 32-bit Windows: the i686 cross compiler, and Wine's 32-bit loader, which
# comes from the i386 architecture (multiarch).
windows32=(g++-mingw-w64-i686-posix wine32:i386)
# clang and its run-time libraries (libFuzzer, sanitizers).
fuzz=(clang libclang-rt-dev)
# The Debian packages (dpkg-shlibdeps, lintian, bash-completion's install directory) and the
# Python wheel built and installed into a fresh venv.
package=(dpkg-dev lintian bash-completion python3-build python3-venv)

usage() {
  echo "usage: tools/install-deps.sh [--windows] [--windows32] [--fuzz] [--package] [--all] |" \
    "--only PACKAGE..." >&2
  exit 2
}

needed=("${linux[@]}")
if [ "${1:-}" = --only ]; then
  shift
  needed=("$@")
else
  for arg in "$@"; do
    case "$arg" in
      --windows) needed+=("${windows[@]}") ;;
      --windows32) needed+=("${windows32[@]}") ;;
      --fuzz) needed+=("${fuzz[@]}") ;;
      --package) needed+=("${package[@]}") ;;
      --all) needed+=("${windows[@]}" "${windows32[@]}" "${fuzz[@]}" "${package[@]}") ;;
      *) usage ;;
    esac
  done
fi
missing=()
for p in "${needed[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  # A package asked for twice (--windows --all) is installed once.
  mapfile -t missing < <(printf '%s\n' "${missing[@]}" | sort -u)
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  # wine32 is an i386 package: dpkg must know the architecture before apt-get update.
  if printf '%s\n' "${missing[@]}" | grep -q ':i386$' &&
    ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo_cmd dpkg --add-architecture i386
  fi
  $sudo_cmd apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y --no-install-recommends "${missing[@]}"
fi
