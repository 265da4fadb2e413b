#!/bin/busybox sh
# The VM's first process (busybox, from the initramfs). It mounts this
# machine's / and the run's control folder, gives the VM its own kernel
# file systems and scratch folders, and hands over to the agent inside the
# chroot, so that every path a command uses means the same file as on the
# machine. When the agent ends, the VM powers off.
export PATH=/bin

# No console is open yet: the kernel found no /dev/console in the archive.
/bin/busybox mount -t devtmpfs devtmpfs /dev
exec </dev/console >/dev/console 2>&1
/bin/busybox --install -s /bin

fail() {
  echo "tarncam-vm init: $*"
  [ -n "$ctl_dir" ] && echo "$*" >"$ctl_dir/failed"
  sync
  poweroff -f
}

mount -t proc proc /proc
mount -t sysfs sysfs /sys
while read -r module; do
  insmod "/modules/$module" || fail "insmod $module failed"
done </modules/order

ctl_dir=
mkdir -p /ctl /host
mount -t virtiofs ctl /ctl || fail "the control share did not mount"
ctl_dir=/ctl
# CTL (the control folder's path on the machine), AGENT, and the mode.
. /ctl/config
mount -t virtiofs host /host || fail "the machine's / did not mount"
mount --move /ctl "/host$CTL" || fail "cannot place the control share at $CTL"
ctl_dir="/host$CTL"

# Private kernel file systems and scratch folders. Unix sockets cannot live
# on the shared file system, and what runs here must not meet the machine's
# own servers: /run (wineserver's /run/user/0, udev's control socket),
# /tmp/.wine-0 (wineserver's fallback) and /tmp/.X11-unix get tmpfs.
r=/host
mount -t proc proc $r/proc || fail "proc"
mount -t sysfs sysfs $r/sys || fail "sysfs"
mount -t devtmpfs devtmpfs $r/dev || fail "devtmpfs"
mkdir -p $r/dev/shm $r/dev/pts
# What udev would add: shells need /dev/fd for process substitution.
ln -s /proc/self/fd $r/dev/fd
ln -s /proc/self/fd/0 $r/dev/stdin
ln -s /proc/self/fd/1 $r/dev/stdout
ln -s /proc/self/fd/2 $r/dev/stderr
mount -t tmpfs -o mode=1777 shm $r/dev/shm || fail "/dev/shm"
mount -t devpts -o newinstance,ptmxmode=0666 devpts $r/dev/pts || fail "devpts"
mount -t tmpfs -o mode=0755 run $r/run || fail "/run"
mkdir -p -m 0700 $r/run/user/0
mkdir -p -m 1777 $r/run/lock
for d in /tmp/.wine-0 /tmp/.X11-unix; do
  # The mount point is created on the machine if it is missing; it stays
  # empty there.
  mkdir -p "$r$d" && mount -t tmpfs -o mode=0700 tmp "$r$d" || fail "$d"
done
chmod 1777 $r/tmp/.X11-unix

chroot $r /bin/bash "$AGENT" "$CTL"
echo "tarncam-vm init: agent ended with status $?"
sync
poweroff -f
