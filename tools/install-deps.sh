#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that are missing.
#   tools/install-deps.sh [--only PACKAGE...]   (--only: just the named packages, for scripts
#                                                 that need more, such as the benchmarks)
set -euo pipefail
# clang and its run-time libraries (libFuzzer, sanitizers) build the fuzz targets. The
# Windows build: the mingw-w64 cross compiler with POSIX threads (for std::thread) and Wine's
# 64-bit loader to run its programs; GoogleTest is built for it from libgtest-dev's sources.
needed=(cmake ninja-build g++ pkg-config libgtest-dev libbenchmark-dev fuse3 libfuse3-dev clang
        libclang-rt-dev g++-mingw-w64-x86-64-posix wine64)
if [ "${1:-}" = --only ]; then
  shift
  needed=("$@")
fi
missing=()
for p in "${needed[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y --no-install-recommends "${missing[@]}"
fi
