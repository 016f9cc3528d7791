#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if missing.
#
#   scripts/deps.sh          the native build and its tests
#   scripts/deps.sh --wine   also the Win32 build (win32 preset: mingw-w64)
#                            and its tests under Wine (label "wine": Wine,
#                            Xvfb, xauth); FWUTIL_DEPS_WINE=1 does the same
set -euo pipefail
packages=(cmake ninja-build g++ clang llvm libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
          libncurses-dev socat)
wine=${FWUTIL_DEPS_WINE:-0}
for arg in "$@"; do
  case "$arg" in
    --wine) wine=1 ;;
    *) echo "usage: scripts/deps.sh [--wine]" >&2; exit 2 ;;
  esac
done
[ "$wine" = 1 ] && packages+=(mingw-w64 googletest wine wine64 xvfb xauth)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
command -v llvm-rc >/dev/null 2>&1 || missing+=(llvm)
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
