#!/usr/bin/env bash
# Runs a 32-bit Windows test program under Wine, quietly, in a prefix of the
# build's own so that tests never touch the user's ~/.wine. Every Wine call
# of the build and its tests comes through here.
#
#   wine-run.sh program.exe [args...]   run it (creating the prefix if needed)
#   wine-run.sh --prepare-only          only create the prefix
#   wine-run.sh --where                 say where Wine runs here, and why
#   wine-run.sh --session-start         start the VM session named by
#   wine-run.sh --session-stop          TARNCAM_VM_SESSION (when Wine needs one)
#
# Where Wine runs is decided here and nowhere else. Natively when this
# machine runs 32-bit x86 programs (Wine's loader is one); otherwise in a
# QEMU VM through testvm/tarncam-vm, which sees this machine's files at the
# same paths, so the same command lines, prefix and outputs work unchanged.
# TARNCAM_WINE_VM=1 forces the VM, TARNCAM_WINE_VM=0 forces native. With
# TARNCAM_VM_SESSION naming a running session (a test fixture starts one),
# calls join that VM instead of booting one each. When neither way is
# possible, the exit status is 77 (a skip for CTest) with the reason on a
# line starting "SKIPPED:".
#
# The prefix is $TARNCAM_WINEPREFIX, or ./wineprefix. An inherited WINEPREFIX
# is ignored on purpose: it usually points at a personal (often 64-bit)
# prefix that a win32 test run must not use or modify.
#
# Creating a prefix takes several seconds (over a minute in the VM) and must
# happen once, without any prompt: it runs under a lock, and a marker file
# records that it completed, so an interrupted creation is finished by the
# next run instead of being mistaken for a usable prefix.
set -euo pipefail

here=$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")" && pwd)
vm_runner="$here/../testvm/tarncam-vm"
kSkip=77

WINEPREFIX="${TARNCAM_WINEPREFIX:-${PWD}/wineprefix}"
export WINEPREFIX
export WINEARCH=win32
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installers (nothing here needs them) and no desktop menu
# entries written into the user's home. A test's own overrides (such as
# native stand-ins beside its program) come after these.
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
# No window may ever wait for a click in a test run.
unset DISPLAY WAYLAND_DISPLAY

ready="$WINEPREFIX/.tarncam-prefix-ready"

# Prints "native" or "vm", then the reason.
where() {
  case "${TARNCAM_WINE_VM:-}" in
    1) echo "vm TARNCAM_WINE_VM=1 asks for the VM"; return ;;
    0) echo "native TARNCAM_WINE_VM=0 asks for native Wine"; return ;;
  esac
  # Wine's own loader is a 32-bit program; so is the 32-bit dynamic linker,
  # the cheaper test. A kernel without 32-bit support refuses both with
  # "Exec format error".
  if [ -e /lib/ld-linux.so.2 ] && /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    echo "native this machine runs 32-bit x86 programs"
  elif [ -e /lib/ld-linux.so.2 ]; then
    echo "vm this machine's kernel cannot run 32-bit x86 programs"
  else
    echo "native /lib/ld-linux.so.2 is missing (install wine32: scripts/setup.sh test)"
  fi
}

skip() {
  echo "SKIPPED: the Wine tests cannot run here: $*"
  exit $kSkip
}

# Runs this script again inside the VM (joining the session if one runs),
# where Wine is native. The runner's 77 means no VM can start here at all.
in_vm() {
  local rc=0
  TARNCAM_WINE_VM=0 "$vm_runner" run --smp 2 -- "$here/wine-run.sh" "$@" || rc=$?
  if [ $rc -eq $kSkip ] && ! why=$("$vm_runner" check); then
    skip "this machine cannot run 32-bit x86 programs, and $why"
  fi
  exit $rc
}

read -r mode reason <<<"$(where)"
case "${1:-}" in
  --where)
    if [ "$mode" = vm ] && ! why=$("$vm_runner" check); then
      skip "$reason, and $why"
    fi
    echo "Wine runs $([ "$mode" = vm ] && echo 'in a QEMU VM' || echo natively): $reason"
    exit 0
    ;;
  --session-start)
    [ -n "${TARNCAM_VM_SESSION:-}" ] || { echo "wine-run.sh: TARNCAM_VM_SESSION is not set" >&2; exit 2; }
    if [ "$mode" = native ]; then
      echo "Wine runs natively ($reason): no VM session needed"
      exit 0
    fi
    if ! why=$("$vm_runner" check); then
      skip "$reason, and $why"
    fi
    # The session lives as long as the process that runs this (the test
    # harness), so a killed test run leaves no VM behind.
    exec "$vm_runner" start --session "$TARNCAM_VM_SESSION" --owner "$PPID" --smp 2
    ;;
  --session-stop)
    [ -z "${TARNCAM_VM_SESSION:-}" ] || "$vm_runner" stop --session "$TARNCAM_VM_SESSION"
    exit 0
    ;;
esac

if [ $# -eq 0 ]; then
  echo "usage: wine-run.sh program.exe [args...] | --prepare-only | --where | --session-start | --session-stop" >&2
  exit 2
fi
if [ "$mode" = vm ]; then
  in_vm "$@"
fi

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
    : >"$log"
    # The loader's own errors are kept: they tell whether to try again.
    if ! WINEDEBUG="$WINEDEBUG,err+environ" wineboot --init >>"$log" 2>&1; then
      wineserver -w
      local again=
      if grep -q 'boot event wait timed out' "$log"; then
        # Emulated on a busy machine, a new prefix's first boot can outlast
        # the loader's fixed five-minute wait for it; the loader then
        # carries on beside the unfinished boot and may fail. Now that
        # everything has finished the prefix is complete: one more pass.
        again=1
      elif [ "${TARNCAM_IN_VM:-}" = 1 ]; then
        # Seen once in the VM, while other VMs were booting: "could not load
        # kernel32.dll" within seconds of starting. One fresh attempt.
        rm -rf "$WINEPREFIX"
        again=1
      fi
      if [ -z "$again" ] || ! wineboot --init >>"$log" 2>&1; then
        echo "wine-run.sh: creating the Wine prefix $WINEPREFIX failed:" >&2
        cat "$log" >&2
        exit 1
      fi
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

# In the VM, starting Wine's server and services costs about 15 s; keep one
# server for the VM's life so that later programs start in under a second.
# The VM's end stops it (SIGTERM, on which it saves the registry).
keep_server() {
  if [ "${TARNCAM_IN_VM:-}" = 1 ]; then
    wineserver -p 2>/dev/null || true
  fi
}

if [ "${1:-}" = "--prepare-only" ]; then
  prepare
  keep_server
  echo "Wine prefix ready: $WINEPREFIX"
  exit 0
fi

prepare
keep_server
exec wine "$@"
