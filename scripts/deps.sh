#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if missing.
#
#   scripts/deps.sh          the native build and its tests
#   scripts/deps.sh --wine   also the Win32 builds (mingw-w64: the win32 preset's
#                            32-bit exe, the win64 preset's 64-bit one) and the
#                            tests under 32-bit Wine (label "wine": Wine with
#                            wine32:i386, Xvfb, xauth, and an i386 C compiler
#                            for the pty helper preloaded into Wine);
#                            FWUTIL_DEPS_WINE=1 does the same
#   scripts/deps.sh --armhf  also the 32-bit ARM build (armhf preset): the
#                            cross compiler, the target's libraries (multiarch
#                            :armhf packages) and qemu-user for its tests
#
# --wine and --armhf add the foreign architecture (i386, armhf) to dpkg
# first when it is missing. Running it again installs nothing new.
set -euo pipefail
packages=(cmake ninja-build g++ clang llvm libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
          libncurses-dev socat)
wine=${FWUTIL_DEPS_WINE:-0}
armhf=0
for arg in "$@"; do
  case "$arg" in
    --wine) wine=1 ;;
    --armhf) armhf=1 ;;
    *) echo "usage: scripts/deps.sh [--wine] [--armhf]" >&2; exit 2 ;;
  esac
done

architectures=()
if [ "$wine" = 1 ]; then
  architectures+=(i386)
  packages+=(mingw-w64 googletest wine wine64 wine32:i386 xvfb xauth)
  # The pty helper is built for the 32-bit Wine process: by Debian's i686
  # cross compiler, unless the host compiler already builds 32-bit code
  # (gcc-multilib, which conflicts with the cross compiler).
  if ! command -v i686-linux-gnu-gcc >/dev/null 2>&1 &&
     ! { command -v gcc >/dev/null 2>&1 &&
         echo 'int x;' | gcc -m32 -shared -fPIC -x c - -o /dev/null >/dev/null 2>&1; }; then
    packages+=(gcc-i686-linux-gnu libc6-dev-i386-cross)
  fi
fi
if [ "$armhf" = 1 ]; then
  architectures+=(armhf)
  packages+=(g++-arm-linux-gnueabihf qemu-user libc6:armhf libstdc++6:armhf libncurses-dev:armhf
             libgtest-dev:armhf libgmock-dev:armhf libbenchmark-dev:armhf)
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
update=0
native=$(dpkg --print-architecture)
for arch in "${architectures[@]}"; do
  [ "$arch" = "$native" ] && continue
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    $sudo dpkg --add-architecture "$arch"
    update=1
  fi
done

# Installed, for the native architecture unless the name says another
# (plain "dpkg -s NAME" fails once NAME is also installed for a foreign one).
installed() {
  local name=${1%%:*} arch=$native
  [ "$name" = "$1" ] || arch=${1#*:}
  dpkg-query -W -f='${Architecture} ${db:Status-Abbrev}\n' "$name" 2>/dev/null | grep -qE "^($arch|all) ii"
}

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
command -v llvm-rc >/dev/null 2>&1 || missing+=(llvm)
if [ ${#missing[@]} -gt 0 ] || [ "$update" = 1 ]; then
  $sudo apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
