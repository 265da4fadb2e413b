#!/usr/bin/env bash
# Checks of testvm/tarncam-vm, end to end through real VMs:
#   runner_test.sh relay   a command's output, status, cwd, environment and
#                          files cross the VM boundary intact; the VM has its
#                          own kernel file systems and runs 32-bit programs
#   runner_test.sh usb     USB mode: gadgetfs's dummy_udc and udevd are there
#   runner_test.sh cleanup a killed caller's command ends, and a session
#                          whose owner is gone leaves no process behind
# Exit 77 (skip) when no VM can start on this machine.
set -euo pipefail
runner=$(cd "$(dirname "$0")/../../testvm" && pwd)/tarncam-vm
work=$(mktemp -d "${TMPDIR:-/tmp}/tarncam-vm-test.XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() {
  echo "FAIL: $*"
  exit 1
}

if ! why=$("$runner" check); then
  echo "SKIPPED: $why"
  exit 77
fi

# Waits up to $1 seconds for the command in "${@:2}" to succeed.
eventually() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.2
  done
}

case_relay() {
  cd "$work"
  echo "from the machine" >in.txt
  # Output larger than one read, on both streams, with no final newline.
  local rc=0
  TARNCAM_TEST_VALUE=$'two words\nand a line' "$runner" run -- bash -c '
      seq 1 30000; printf tail
      seq 30000 -1 1 >&2
      [ "$PWD" = "'"$work"'" ] || echo "cwd $PWD" >&2
      printf %s "$TARNCAM_TEST_VALUE" >env.txt
      cat <(cat in.txt) >copy.txt
      mountpoint -q /tmp/.wine-0 && mountpoint -q /run && mountpoint -q /dev/shm || echo "not private" >&2
      /lib/ld-linux.so.2 --version >/dev/null || echo "no 32-bit" >&2
      exit 42' >out.txt 2>err.txt || rc=$?
  [ $rc -eq 42 ] || { cat err.txt; fail "exit status $rc, expected 42"; }
  cmp out.txt <(seq 1 30000; printf tail) || fail "stdout differs"
  # The runner's own notes (a session named but not running, as where Wine
  # runs natively and no VM was started for it) are not the command's.
  grep -v '^tarncam-vm: ' err.txt >err.cmd.txt || true
  cmp err.cmd.txt <(seq 30000 -1 1) || { head -n 5 err.txt; fail "stderr differs"; }
  [ "$(cat env.txt)" = $'two words\nand a line' ] || fail "environment value changed: $(cat env.txt)"
  cmp in.txt copy.txt || fail "a file did not round-trip"
  rc=0
  "$runner" run -- /nonexistent/program 2>/dev/null || rc=$?
  [ $rc -eq 127 ] || fail "a missing program gave $rc, expected 127"
  echo "relay: ok"
}

case_usb() {
  "$runner" run --usb --smp 1 -- bash -c '
      test -e /dev/gadget/dummy_udc || { echo "no dummy_udc"; exit 1; }
      test -S /run/udev/control || { echo "no udev control socket"; exit 1; }
      "$TARNCAM_VM_UDEVADM" control --ping || { echo "udevd does not answer"; exit 1; }' \
    || fail "USB mode is not complete"
  echo "usb: ok"
}

running() { kill -0 "$1" 2>/dev/null; }

case_cleanup() {
  local session="$work/session" owner client
  sleep 3600 &
  owner=$!
  TARNCAM_VM_SESSION= "$runner" start --session "$session" --owner "$owner" --smp 1 >/dev/null
  local serve vm_pids
  serve=$(cat "$session/serve.pid")
  vm_pids=$(cat "$session/pids")

  # A caller killed outright: its command in the VM must stop.
  "$runner" run --session "$session" -- sh -c \
    "while :; do date +%s%N >'$work/beat'; sleep 0.2; done" &
  client=$!
  eventually 60 test -s "$work/beat" || fail "the command never started"
  kill -KILL "$client"
  wait "$client" 2>/dev/null || true
  beat_stopped() {
    local before
    before=$(cat "$work/beat")
    sleep 2
    [ "$before" = "$(cat "$work/beat")" ]
  }
  eventually 30 beat_stopped || fail "the killed caller's command still runs in the VM"

  # The owner (as ctest would be) goes: the session and its processes end.
  kill "$owner"
  local pid
  eventually 60 bash -c "! kill -0 $serve 2>/dev/null" || fail "the session outlived its owner"
  for pid in $vm_pids; do
    running "$pid" && fail "process $pid (QEMU or virtiofsd) was left behind"
  done
  echo "cleanup: ok"
}

"case_$1"
