#!/usr/bin/env bash
# Runs a 32-bit Windows test program under Wine, quietly, in a prefix of the
# build's own so that tests never touch the user's ~/.wine.
#
#   wine-run.sh program.exe [args...]   run it (creating the prefix if needed)
#   wine-run.sh --prepare-only          only create the prefix
#
# The prefix is $TARNCAM_WINEPREFIX, or ./wineprefix. An inherited WINEPREFIX
# is ignored on purpose: it usually points at a personal (often 64-bit)
# prefix that a win32 test run must not use or modify.
#
# Creating a prefix takes several seconds and must happen once, without any
# prompt: it runs under a lock, and a marker file records that it completed,
# so an interrupted creation is finished by the next run instead of being
# mistaken for a usable prefix.
set -euo pipefail

WINEPREFIX="${TARNCAM_WINEPREFIX:-${PWD}/wineprefix}"
export WINEPREFIX
export WINEARCH=win32
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installers (nothing here needs them) and no desktop menu
# entries written into the user's home.
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
# No window may ever wait for a click in a test run.
unset DISPLAY WAYLAND_DISPLAY

ready="$WINEPREFIX/.tarncam-prefix-ready"

for tool in wine wineboot wineserver; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "wine-run.sh: '$tool' not found; install Wine with 32-bit support (wine, wine32)" >&2
    exit 127
  fi
done

prepare() {
  [ -f "$ready" ] && return 0
  mkdir -p "$(dirname "$WINEPREFIX")"
  local lock="$WINEPREFIX.lock"
  # Serialise creation between concurrent runs where flock is available.
  if command -v flock >/dev/null 2>&1; then
    exec 9>"$lock"
    flock 9
  fi
  if [ ! -f "$ready" ]; then
    local log="$WINEPREFIX.init.log"
    if ! wineboot --init >"$log" 2>&1; then
      echo "wine-run.sh: creating the Wine prefix $WINEPREFIX failed:" >&2
      cat "$log" >&2
      exit 1
    fi
    # The registry reaches the disk only when the server ends.
    wineserver -w
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      echo "wine-run.sh: the Wine prefix $WINEPREFIX has no registry after creation:" >&2
      cat "$log" >&2
      exit 1
    fi
    touch "$ready"
  fi
  if command -v flock >/dev/null 2>&1; then
    exec 9>&-
  fi
}

if [ "${1:-}" = "--prepare-only" ]; then
  prepare
  echo "Wine prefix ready: $WINEPREFIX"
  exit 0
fi
if [ $# -eq 0 ]; then
  echo "usage: wine-run.sh program.exe [args...] | --prepare-only" >&2
  exit 2
fi

prepare
exec wine "$@"
