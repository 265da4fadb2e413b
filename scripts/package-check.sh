#!/usr/bin/env bash
# The Debian packages as a user meets them: builds them from this tree
# (dpkg-buildpackage, tests off), runs lintian (errors fail), installs them
# with apt, checks the installed files only (the tool on the simulator, a
# program built through pkg-config and one through find_package(tarncam),
# indiserver with indi_tarncam_ccd answering indi_getprop, the udev rule and
# the driver's XML in place), then purges them and checks that nothing of
# theirs is left. Run as root (or with sudo), after scripts/setup.sh test.
# Packages of ours installed before are purged first, so a second run
# starts from the same state.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
start=$(date +%s)
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
apt_opts=(-y -q -o DPkg::Lock::Timeout=600)
export DEBIAN_FRONTEND=noninteractive LC_ALL=C

ours=($(sed -n 's/^Package: //p' debian/control))
installed_ours() {
  local p
  for p in "${ours[@]}"; do
    # Any state but "not installed" (config files left count).
    dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null | grep -q '^.[^n]' && echo "$p"
  done
  return 0
}
purge_ours() {
  local left
  left=$(installed_ours)
  if [ -n "$left" ]; then
    $sudo apt-get purge "${apt_opts[@]}" $left >/dev/null
  fi
}
fail() { echo "package-check: FAILED: $*" >&2; exit 1; }

purge_ours

# 1. Build, in a copy of the tree (dpkg-buildpackage writes beside the
# source; build/ is ignored by git).
out=$root/build/deb
rm -rf "$out"
mkdir -p "$out/src"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -co --exclude-standard -z | xargs -0 cp --parents -t "$out/src"
else
  tar -c --exclude=./build --exclude=./out . | tar -x -C "$out/src"
fi
echo "=== packages: build (log: build/deb/build.log)"
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi
# About 2 minutes of processor time (2 cores: 1-2 minutes idle); the
# timeout only catches a hang.
if ! (cd "$out/src" && DEB_BUILD_OPTIONS="nocheck noddebs parallel=${JOBS:-$(nproc)}" \
        timeout 1200 dpkg-buildpackage -b -us -uc >"$out/build.log" 2>&1); then
  tail -n 40 "$out/build.log" >&2
  fail "dpkg-buildpackage"
fi
echo "=== packages: built in $(( $(date +%s) - start )) s"
debs=("$out"/*.deb)
for deb in "${debs[@]}"; do
  echo "--- $(basename "$deb")"
  dpkg-deb -c "$deb" | awk '$6 !~ /\/$/ {sub(/^\./, "", $6); print "    " $6, $7, $8}'
done
echo "=== packages: lintian"
lintian --fail-on error "$out"/*.changes || fail "lintian reports errors"

# 2. Install with apt, as a user does; whatever happens next, purged again
# on the way out.
server=
work=$(mktemp -d)
cleanup() {
  [ -z "$server" ] || { kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; } || true
  purge_ours || true
  rm -rf "$work"
}
trap cleanup EXIT
echo "=== packages: install"
$sudo apt-get install "${apt_opts[@]}" "${debs[@]}" >"$out/install.log" 2>&1 ||
  { cat "$out/install.log" >&2; fail "apt-get install ./*.deb"; }

# 3. The installed files only: a clean environment, no build tree on any path.
clean=(env -i PATH=/usr/bin:/bin HOME="$work" LC_ALL=C)
owner() { dpkg-query -S "$1" 2>/dev/null | cut -d: -f1; }

echo "=== packages: tarncam info on the simulator"
[ "$(command -v tarncam)" = /usr/bin/tarncam ] || fail "tarncam is not /usr/bin/tarncam"
(cd "$work" && "${clean[@]}" tarncam info --simulator) || fail "tarncam info --simulator"

echo "=== packages: the API example through pkg-config and through find_package(tarncam)"
# The example program of docs/api.md, as in the install test.
awk '/<!-- example: api_example.c -->/ {on = 1} on && /^```c$/ {copy = 1; next}
     copy && /^```$/ {exit} copy' docs/api.md >"$work/api_example.c"
[ -s "$work/api_example.c" ] || fail "no example in docs/api.md"
(cd "$work" && "${clean[@]}" sh -c 'cc -std=c99 -Wall -Wextra -Werror api_example.c -o example_pc $(pkg-config --cflags --libs tarncam)') ||
  fail "building the example through pkg-config"
mkdir "$work/cmake-src"
cp tests/install/consumer/CMakeLists.txt "$work/api_example.c" "$work/cmake-src/"
"${clean[@]}" cmake -S "$work/cmake-src" -B "$work/cmake-build" -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >"$work/cmake.log" 2>&1 &&
  "${clean[@]}" cmake --build "$work/cmake-build" >>"$work/cmake.log" 2>&1 ||
  { cat "$work/cmake.log" >&2; fail "building the example through find_package(tarncam)"; }
grep -q "^tarncam_DIR:PATH=/usr/lib/" "$work/cmake-build/CMakeCache.txt" ||
  fail "find_package(tarncam) did not find the installed package: $(grep ^tarncam_DIR "$work/cmake-build/CMakeCache.txt")"
for program in "$work/example_pc" "$work/cmake-build/api_example"; do
  lib=$("${clean[@]}" ldd "$program" | awk '$1 == "libtarncam.so.0" {print $3}')
  # /lib is /usr/lib on Debian: the package owns the resolved name.
  [ -n "$lib" ] && [ "$(owner "$(realpath "$lib")")" = libtarncam0 ] || fail "$program loads libtarncam.so.0 from '$lib', not the package's"
  result=$(cd "$work" && "${clean[@]}" "$program") || fail "$program"
  [[ $result == *"frame 1: 640x480"* ]] || fail "$program printed: $result"
done

echo "=== packages: indiserver with indi_tarncam_ccd"
[ "$(command -v indi_tarncam_ccd)" = /usr/bin/indi_tarncam_ccd ] || fail "indi_tarncam_ccd is not /usr/bin/indi_tarncam_ccd"
[ "$(owner /usr/share/indi/indi_tarncam_ccd.xml)" = indi-tarncam ] || fail "the driver's XML is not in /usr/share/indi"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
(cd "$work" && exec "${clean[@]}" indiserver -p "$port" -u "$work/indi.sock" indi_tarncam_ccd) >"$work/indiserver.log" 2>&1 &
server=$!
props=
for _ in $(seq 30); do
  props=$("${clean[@]}" indi_getprop -p "$port" -t 2 "Tarncam CCD.DRIVER_INFO.*" 2>/dev/null || true)
  [ -n "$props" ] && break
  sleep 0.5
done
grep -qx "Tarncam CCD.DRIVER_INFO.DRIVER_EXEC=indi_tarncam_ccd" <<<"$props" ||
  { cat "$work/indiserver.log" >&2; fail "indi_getprop got no DRIVER_INFO from the driver: $props"; }
sed 's/^/    /' <<<"$props"
kill "$server"
wait "$server" 2>/dev/null || true
server=

echo "=== packages: tarncam-alpaca on the simulator"
[ "$(command -v tarncam-alpaca)" = /usr/bin/tarncam-alpaca ] || fail "tarncam-alpaca is not /usr/bin/tarncam-alpaca"
[ "$(owner /lib/systemd/system/tarncam-alpaca.service)" = tarncam-alpaca ] ||
  fail "the systemd unit is not the tarncam-alpaca package's"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
(cd "$work" && exec "${clean[@]}" tarncam-alpaca --bind 127.0.0.1 --port "$port" --no-discovery --simulator) \
  >"$work/alpaca.log" 2>&1 &
server=$!
answer=
for _ in $(seq 30); do
  answer=$(python3 -c 'import sys, urllib.request
print(urllib.request.urlopen("http://127.0.0.1:%s/management/v1/configureddevices" % sys.argv[1], timeout=2).read().decode())' \
    "$port" 2>/dev/null || true)
  [ -n "$answer" ] && break
  sleep 0.5
done
grep -q '"DeviceType":"Camera"' <<<"$answer" ||
  { cat "$work/alpaca.log" >&2; fail "tarncam-alpaca listed no camera: $answer"; }
echo "    $answer"
kill "$server"
wait "$server" 2>/dev/null || true
server=

echo "=== packages: the udev rule"
rule=/usr/lib/udev/rules.d/60-tarncam.rules
[ "$(owner $rule)" = tarncam ] || fail "$rule is not the tarncam package's"
grep -q 'ATTR{idVendor}' $rule || fail "$rule has no device match"

# 4. Purge, and nothing of ours is left: no package in any state, none of
# the files the packages held, none of their own directories.
echo "=== packages: purge"
purge_ours
left=$(installed_ours)
[ -z "$left" ] || fail "still known to dpkg after the purge: $left"
for deb in "${debs[@]}"; do
  while read -r path; do
    [ ! -e "$path" ] && [ ! -L "$path" ] || fail "$path is left after the purge"
  done < <(dpkg-deb -c "$deb" | awk '$6 !~ /\/$/ {sub(/^\./, "", $6); print $6}')
done
for dir in /usr/include/tarncam /usr/lib/*/cmake/tarncam "${ours[@]/#//usr/share/doc/}"; do
  [ ! -e "$dir" ] || fail "$dir is left after the purge"
done
echo "=== packages: built, installed, checked and purged in $(( $(date +%s) - start )) s"
