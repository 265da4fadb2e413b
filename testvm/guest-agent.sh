#!/bin/bash
# Runs inside the VM, chrooted into this machine's /, with the control
# folder $1 shared uncached. It prepares the optional USB mode, says "ready",
# then runs each request the machine side drops into req/ (argv, env, cwd,
# all NUL-separated) and writes back its output and exit status as files.
# A file named stop ends the VM.
set -u
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
ctl=$1
# shellcheck source=/dev/null
. "$ctl/config"

failed() {
  echo "$*" >"$ctl/failed"
  echo "tarncam-vm agent: $*" >&2
  exit 1
}

# Sleeps $1 seconds without starting a process (every process start is
# costly under emulation): a read that times out on a pipe nobody writes.
exec {nap_fd}<> <(:)
nap() { read -r -t "$1" -u "$nap_fd" _ || true; }

# Waits up to $1 tenths of a second for the test in "${@:2}" to hold.
wait_for() {
  local tenths=$1
  shift
  while ! "$@"; do
    [ "$tenths" -gt 0 ] || return 1
    tenths=$((tenths - 1))
    nap 0.1
  done
}

start_usb() {
  modprobe -d "$KERNEL_ROOT" -S "$KERNEL_RELEASE" -a usb-common usbcore udc-core dummy_hcd gadgetfs \
    || failed "loading the USB modules failed"
  mkdir -p /dev/gadget
  mount -t gadgetfs gadgetfs /dev/gadget || failed "mounting gadgetfs failed"
  wait_for 50 test -e /dev/gadget/dummy_udc || failed "/dev/gadget/dummy_udc did not appear"
  # libusb's device list only follows arrivals and renumeration while
  # udevd runs; it needs no rules for that.
  (exec -a systemd-udevd "$UDEVD" --daemon) || failed "systemd-udevd did not start"
  wait_for 100 test -S /run/udev/control || failed "systemd-udevd made no control socket"
}

# Ends every process but this one and the VM's first, giving servers (such
# as wineserver, which saves its registry on SIGTERM) a moment to finish.
stop_all() {
  local p i left x
  local -a pids=()
  for p in /proc/[0-9]*; do
    p=${p#/proc/}
    # Kernel threads have an empty command line.
    [ "$p" != 1 ] && [ "$p" != $$ ] && read -r -d '' x <"/proc/$p/cmdline" 2>/dev/null && pids+=("$p")
  done
  [ ${#pids[@]} -gt 0 ] || return 0
  kill -TERM "${pids[@]}" 2>/dev/null
  for ((i = 0; i < 50; i++)); do
    left=
    for p in "${pids[@]}"; do [ -e "/proc/$p" ] && left=1; done
    [ -n "$left" ] || break
    nap 0.1
  done
  kill -KILL "${pids[@]}" 2>/dev/null
  sync
}

# One request: the command runs in a session of its own so that a
# cancellation (its caller on the machine went away) ends all it started.
handle() {
  local r=$1 cwd pid watcher rc
  local -a argv envs
  mapfile -d '' argv <"$r/argv"
  mapfile -d '' envs <"$r/env"
  cwd=$(cat "$r/cwd")
  local -a ours=(TARNCAM_IN_VM=1)
  # udevadm (settle, monitor, control) is not on every machine's PATH.
  [ "$USB" != 1 ] || ours+=("TARNCAM_VM_UDEVADM=$UDEVD")
  setsid env -i -C "$cwd" "${envs[@]}" "${ours[@]}" "${argv[@]}" \
    </dev/null >"$r/out" 2>"$r/err" &
  pid=$!
  (
    while [ ! -e "$r/cancel" ]; do nap 0.3; done
    kill -KILL -- -"$pid" "$pid" 2>/dev/null
  ) &
  watcher=$!
  wait "$pid"
  rc=$?
  kill "$watcher" 2>/dev/null
  wait "$watcher" 2>/dev/null
  echo "$rc" >"$r/rc.tmp" && mv "$r/rc.tmp" "$r/rc"
}

if [ "$USB" = 1 ]; then start_usb; fi
touch "$ctl/ready"

shopt -s nullglob
while [ ! -e "$ctl/stop" ]; do
  for r in "$ctl"/req/*/; do
    r=${r%/}
    [ -e "$r/taken" ] && continue
    touch "$r/taken"
    handle "$r" &
  done
  nap 0.1
done
stop_all
