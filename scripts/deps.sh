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
#
# A package mirror in the middle of a sync serves an index that does not
# match its Release file ("File has unexpected size ... Mirror sync in
# progress?"). The index download is then tried again a few times, with
# growing pauses (FWUTIL_DEPS_TRIES tries, FWUTIL_DEPS_PAUSE seconds times
# the try's number between them: 5 and 15 by default, 2.5 minutes of pauses
# at most). If it still fails, what can be installed from the indexes at
# hand is installed: the native packages first, then each foreign
# architecture's. Exit status:
#   0    everything needed is installed
#   75   the mirror is incomplete for an architecture whose packages could
#        not be installed; one line on stderr names it ("the package mirror
#        is incomplete for i386 ..."); the native packages are installed
#   100  apt failed otherwise (its own messages are shown)
set -euo pipefail
packages=(cmake ninja-build g++ clang llvm libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
          libncurses-dev socat libcli11-dev nlohmann-json3-dev libvalijson-dev)
wine=${FWUTIL_DEPS_WINE:-0}
armhf=0
for arg in "$@"; do
  case "$arg" in
    --wine) wine=1 ;;
    --armhf) armhf=1 ;;
    *) echo "usage: scripts/deps.sh [--wine] [--armhf]" >&2; exit 2 ;;
  esac
done
tries=${FWUTIL_DEPS_TRIES:-5}
pause=${FWUTIL_DEPS_PAUSE:-15}
me="scripts/deps.sh"

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

# The architecture a package is installed for.
architecture_of() {
  local name=${1%%:*}
  if [ "$name" = "$1" ]; then echo "$native"; else echo "${1#*:}"; fi
}

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
command -v llvm-rc >/dev/null 2>&1 || missing+=(llvm)
[ ${#missing[@]} -gt 0 ] || [ "$update" = 1 ] || exit 0

log=$(mktemp)
trap 'rm -f "$log"' EXIT

# The architectures whose index apt failed to fetch in the last update, and
# the reason it gave, one "ARCH<TAB>REASON" line each. An index that failed
# for want of a network (no name, no connection) is no mirror fault and is
# named "network". A failed Release file names no architecture and counts
# for all of them ("all").
failed_indexes() {
  { grep -E '^[EW]: Failed to fetch ' "$log" || true; } | while IFS= read -r line; do
    local rest=${line#*Failed to fetch } url reason=""
    url=${rest%% *}
    [ "$url" = "$rest" ] || reason=$(echo "${rest#* }" | sed -E 's/^ +//; s/ *\[IP:[^]]*\]//; s/ +$//')
    case "$reason" in
      *resolv*|*connect*|*Connection*|*"timed out"*|*Temporary*) echo "network	$reason"; continue ;;
    esac
    if [[ "$url" =~ /binary-([a-z0-9]+)/ ]]; then
      echo "${BASH_REMATCH[1]}	$reason"
    else
      echo "all	$reason"
    fi
  done
}

# The first reason apt gave for the failed indexes of these architectures
# (apt gives it once for several indexes that failed together: then the
# first of any).
reason_for() {
  { echo "$index_faults" | grep -E "^($1)	"; echo "$index_faults"; } | cut -f2 | grep -v '^$' | head -n 1 || true
}

architectures_of_faults() {
  echo "$index_faults" | cut -f1 | sort -u | paste -sd, -
}

# Runs apt-get update; an index the mirror serves in the middle of a sync is
# tried again. Fails when such an index is still wrong after the last try.
index_faults=""
refresh_indexes() {
  local try=1 status
  while :; do
    status=0
    $sudo apt-get update -qq >"$log" 2>&1 || status=$?
    index_faults=$(failed_indexes)
    if [ -z "$index_faults" ]; then
      [ "$status" = 0 ] && return 0
      cat "$log" >&2  # apt failed for a reason of its own
      exit 100
    fi
    if echo "$index_faults" | grep -q '^network'; then
      # No mirror fault: apt's own words, and the install below tells
      # whether the indexes at hand are enough.
      cat "$log" >&2
      index_faults=""
      return 0
    fi
    [ "$try" -lt "$tries" ] || return 1
    local wait=$((pause * try))
    echo "$me: the package index for $(architectures_of_faults) failed to download" \
         "($(reason_for '[a-z0-9]+')); trying again in $wait s ($((try + 1)) of $tries)" >&2
    sleep "$wait"
    try=$((try + 1))
  done
}

if ! refresh_indexes; then
  echo "$me: the package index for $(architectures_of_faults) is still incomplete after" \
       "$tries tries; installing what the indexes at hand allow" >&2
fi
[ ${#missing[@]} -gt 0 ] || exit 0

# Whether apt names a mirror fault for this architecture's index.
mirror_fault_for() {
  echo "$index_faults" | cut -f1 | grep -qxE "$1|all"
}

# Installs one group of packages of one architecture. When the mirror is
# incomplete for it and apt cannot resolve the group, one line says so and
# the status is 75; apt's own resolver dump would only mislead.
install_group() {
  local arch=$1; shift
  if [ -n "$index_faults" ] && mirror_fault_for "$arch" &&
     ! apt-get install -s -y "$@" >"$log" 2>&1; then
    local reason
    reason=$(reason_for "$arch|all")
    echo "$me: the package mirror is incomplete for $arch (${reason:-its index failed to download});" \
         "its packages cannot be installed now: try again later" >&2
    return 75
  fi
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$@" || exit 100
}

# Native packages first: the native build, and the Win32 cross compiler that
# needs no foreign architecture, are then installed whatever the mirror says
# of a foreign one.
status=0
native_group=()
for p in "${missing[@]}"; do
  [ "$(architecture_of "$p")" = "$native" ] && native_group+=("$p")
done
if [ ${#native_group[@]} -gt 0 ]; then
  install_group "$native" "${native_group[@]}" || exit $?
fi
for arch in "${architectures[@]}"; do
  [ "$arch" = "$native" ] && continue
  group=()
  for p in "${missing[@]}"; do
    [ "$(architecture_of "$p")" = "$arch" ] && group+=("$p")
  done
  [ ${#group[@]} -gt 0 ] || continue
  install_group "$arch" "${group[@]}" || status=$?
done
exit $status
