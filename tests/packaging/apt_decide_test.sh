#!/usr/bin/env bash
# The installer's decisions (scripts/apt-decide.sh) on apt's recorded
# output: a mirror caught mid-sync for one architecture, a clean update, an
# install that cannot resolve, one that would remove packages, a package that
# does not exist, and the simulated pinned install's downgrades.
set -uo pipefail
here=$(dirname "$0")
. "$here/../../scripts/apt-decide.sh"
data=$here/data
fails=0
expect() {  # expect NAME EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then
    printf 'FAIL %s\n  expected: %s\n  actual:   %s\n' "$1" "$2" "$3"
    fails=$((fails + 1))
  fi
}

# The i386 security index came short: named, and only the 32-bit Wine is
# pinned to bookworm; the run set-up's native packages install as usual.
failed=$(apt_failed_indexes <"$data/update_mirror_sync.txt")
expect "failed index named" "bookworm-security main i386" "$failed"
expect "foreign pair pinned" "pin bookworm" "$(apt_install_plan amd64 wine wine32:i386 <<<"$failed")"
expect "native packages plain" "plain" "$(apt_install_plan amd64 cmake libusb-1.0-0-dev <<<"$failed")"
# A native index missing is no reason to pin; a whole release failing is named.
expect "native index not pinned" "plain" \
  "$(apt_install_plan amd64 wine wine32:i386 <<<"bookworm-updates main amd64")"
expect "release file named" "bookworm-security - -" "$(apt_failed_indexes <<<"E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/InRelease  Connection failed [IP: 203.0.113.80 80]")"

# A clean update: nothing failed, nothing pinned.
failed=$(apt_failed_indexes <"$data/update_clean.txt")
expect "clean update" "" "$failed"
expect "clean plan" "plain" "$(apt_install_plan amd64 wine wine32:i386 <<<"$failed")"

# Installs: each failure names its packages; a successful one is ok.
expect "held broken" "unresolvable libgs10:i386" "$(apt_install_verdict <"$data/install_held_broken.txt")"
expect "would remove" "would-remove ghostscript libgs10 libjbig2dec0" \
  "$(apt_install_verdict <"$data/install_remove_disabled.txt")"
expect "truly missing" "missing tarncam-no-such-package" "$(apt_install_verdict <"$data/install_missing.txt")"
expect "no candidate" "missing wine32:i386" \
  "$(apt_install_verdict <<<"E: Package 'wine32:i386' has no installation candidate")"
expect "pinned install ok" "ok" "$(apt_install_verdict <"$data/install_pinned_simulated.txt")"
expect "downgrades listed" "libjbig2dec0" "$(apt_downgrades <"$data/install_pinned_simulated.txt")"

[ "$fails" = 0 ] && echo "all decisions as expected"
exit $((fails > 0))
