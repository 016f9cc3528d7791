#!/usr/bin/env bash
# scripts/deps.sh against a stand-in for apt-get, dpkg and dpkg-query that
# plays a package mirror: an architecture's index fails to download a number
# of times ("File has unexpected size ... Mirror sync in progress?"), or for
# want of a network, and an architecture's packages can or cannot be
# resolved from the indexes at hand. Each case checks the exit status, the
# number of index downloads, what was installed and the words on stderr.
set -uo pipefail
deps=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bin=$work/bin
mkdir -p "$bin"

# The stand-ins read and write their state in $STATE: foreign (dpkg's foreign
# architectures), installed (one "name arch" line each; all_installed: every
# native package), updates (a count), and the case's settings: fail_ARCH (index failures left), network (1: the
# update cannot reach the mirror), unresolvable_ARCH (1: this
# architecture's packages cannot be resolved while its index is broken).
cat >"$bin/dpkg" <<'STUB'
#!/usr/bin/env bash
case "$1" in
  --print-architecture) echo amd64 ;;
  --print-foreign-architectures) cat "$STATE/foreign" 2>/dev/null || true ;;
  --add-architecture) echo "$2" >>"$STATE/foreign" ;;
esac
STUB
cat >"$bin/dpkg-query" <<'STUB'
#!/usr/bin/env bash
name=${@: -1}
[ -e "$STATE/all_installed" ] && { echo "amd64 ii "; exit 0; }
grep "^$name " "$STATE/installed" 2>/dev/null | while read -r _ arch; do echo "$arch ii "; done
STUB
cat >"$bin/apt-get" <<'STUB'
#!/usr/bin/env bash
broken() {  # an architecture whose index is still broken
  local n; n=$(cat "$STATE/fail_$1" 2>/dev/null || echo 0); [ "$n" -gt 0 ]
}
case "$1" in
  update)
    echo $(( $(cat "$STATE/updates" 2>/dev/null || echo 0) + 1 )) >"$STATE/updates"
    if [ -e "$STATE/network" ]; then
      echo "W: Failed to fetch http://deb.example/debian/dists/bookworm/InRelease  Temporary failure resolving 'deb.example'"
      echo "W: Some index files failed to download. They have been ignored, or old ones used instead."
      exit 0
    fi
    status=0 first=1
    for arch in amd64 $(cat "$STATE/foreign" 2>/dev/null); do
      n=$(cat "$STATE/fail_$arch" 2>/dev/null || echo 0)
      [ "$n" -gt 0 ] || continue
      echo $((n - 1)) >"$STATE/fail_$arch"
      echo "Err:$arch http://deb.example/debian-security bookworm-security/main $arch Packages"
      reason=""
      [ "$first" = 1 ] && reason=" File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 192.0.2.1 80]"
      echo "E: Failed to fetch http://deb.example/debian-security/dists/bookworm-security/main/binary-$arch/Packages.xz $reason"
      first=0 status=100
    done
    [ "$status" = 0 ] || echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit $status ;;
  install)
    simulate=0
    for a in "$@"; do [ "$a" = -s ] && simulate=1; done
    for a in "$@"; do
      case "$a" in -*|install) continue ;; esac
      arch=amd64; [ "${a%%:*}" = "$a" ] || arch=${a#*:}
      if [ -e "$STATE/unresolvable_$arch" ] && broken "$arch"; then
        echo "E: Unable to correct problems, you have held broken packages." >&2
        exit 100
      fi
    done
    [ "$simulate" = 1 ] && exit 0
    for a in "$@"; do
      case "$a" in -*|install) continue ;; esac
      arch=amd64; [ "${a%%:*}" = "$a" ] || arch=${a#*:}
      echo "${a%%:*} $arch" >>"$STATE/installed"
    done ;;
esac
STUB
printf '#!/bin/sh\nexit 0\n' >"$bin/sudo"
# The host's compilers must not decide what the Wine set needs.
printf '#!/bin/sh\nexit 1\n' >"$bin/gcc"
printf '#!/bin/sh\nexit 0\n' >"$bin/llvm-rc"
chmod +x "$bin"/*

failures=0
# case NAME EXPECTED_STATUS EXPECTED_UPDATES FLAGS SETTINGS CHECKS...
#   SETTINGS: space-separated key=value files of the state
#   CHECKS:   "installed NAME ARCH", "!installed NAME ARCH", "says TEXT", "!says TEXT"
run_case() {
  local name=$1 want_status=$2 want_updates=$3 flags=$4 settings=$5; shift 5
  export STATE=$work/$name
  mkdir -p "$STATE"
  for kv in $settings; do echo "${kv#*=}" >"$STATE/${kv%%=*}"; done
  local status=0
  PATH="$bin:$PATH" FWUTIL_DEPS_PAUSE=0 FWUTIL_DEPS_TRIES=3 bash "$deps" $flags >"$STATE/out" 2>"$STATE/err" || status=$?
  local updates; updates=$(cat "$STATE/updates" 2>/dev/null || echo 0)
  local bad=""
  [ "$status" = "$want_status" ] || bad+=" status $status (want $want_status);"
  [ "$updates" = "$want_updates" ] || bad+=" $updates index downloads (want $want_updates);"
  for check in "$@"; do
    case "$check" in
      "installed "*) set -- $check; grep -qx "$2 $3" "$STATE/installed" 2>/dev/null || bad+=" $2:$3 not installed;" ;;
      "!installed "*) set -- $check; ! grep -qx "$2 $3" "$STATE/installed" 2>/dev/null || bad+=" $2:$3 installed;" ;;
      "says "*) grep -qF -- "${check#says }" "$STATE/err" || bad+=" stderr lacks \"${check#says }\";" ;;
      "!says "*) ! grep -qF -- "${check#!says }" "$STATE/err" || bad+=" stderr has \"${check#!says }\";" ;;
    esac
  done
  if [ -n "$bad" ]; then
    echo "FAIL $name:$bad"; sed 's/^/    stderr: /' "$STATE/err"; failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}

run_case wine-index-fails-twice-then-comes 0 3 --wine "fail_i386=2 unresolvable_i386=1" \
  "installed wine32 i386" "installed mingw-w64 amd64" "says trying again in 0 s (2 of 3)" "!says mirror is incomplete"
run_case armhf-index-never-comes-but-packages-resolve 0 3 --armhf "fail_armhf=99" \
  "installed libc6 armhf" "says still incomplete after 3 tries" "!says mirror is incomplete"
run_case wine-index-never-comes-packages-unresolvable 75 3 --wine "fail_i386=99 unresolvable_i386=1" \
  "installed mingw-w64 amd64" "installed wine amd64" "!installed wine32 i386" \
  "says the package mirror is incomplete for i386 (File has unexpected size" "!says E: Unable to correct"
run_case a-broken-foreign-index-does-not-stop-the-native-set 0 3 "" "fail_i386=99 unresolvable_i386=1 foreign=i386" \
  "installed cmake amd64" "!says mirror is incomplete"
run_case no-network-shows-apt-and-does-not-retry 0 1 "" "network=1" \
  "says Temporary failure resolving" "!says trying again" "installed cmake amd64"
run_case nothing-missing-needs-no-index 0 0 "" "all_installed=1"

echo "$failures case(s) failed"
[ "$failures" = 0 ]
