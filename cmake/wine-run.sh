#!/usr/bin/env bash
# Runs a 32-bit Windows test program under Wine, quietly, in a prefix of the
# build's own so that tests never touch the user's ~/.wine.
set -euo pipefail
: "${WINEPREFIX:=${TARNCAM_WINEPREFIX:-${PWD}/wineprefix}}"
export WINEPREFIX WINEDEBUG=${WINEDEBUG:--all} WINEARCH=win32
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  # No Mono or Gecko prompts: nothing here needs them.
  WINEDLLOVERRIDES="mscoree,mshtml=" wineboot --init >/dev/null 2>&1 || true
  wineserver -w || true
fi
exec wine "$@"
