#!/bin/sh
# Runs inside the test guest, as root, on the host's root shared read-only: the probe and the
# updater as root and as the user nobody with less and less access to the drives' nodes, each
# run's output in a file of RESULTS (shared writable with the host).
#
# Usage: guest_run.sh RESULTS PROBE [UPDATER DRIVER]
#   RESULTS/sysfs            the kernel's view: "srN H:C:T:L|vendor|model|rev" per optical drive
#   RESULTS/<case>.list      the probe's `list`; RESULTS/<case>.write its `write`
#   RESULTS/<case>.quiver    the updater's run as the preloaded driver saw it (with UPDATER:
#                            quiver packed for QEMU's scsi-cd; DRIVER: tests/linux/qt_driver.cpp)
#   cases: root; readonly (every node 0644); sgwrite (sr 0644, sg 0666); noaccess (0600)
#   RESULTS/uptime           the guest's uptime in seconds after each run, for the docs' timings
# Each output ends with "exit N", the program's exit status.
set -u
out=$1 probe=$2 updater=${3:-} driver=${4:-}

trim() { sed 's/ *$//'; }
for block in /sys/class/block/sr*; do
    device=$block/device
    [ "$(cat "$device/type")" = 5 ] || continue
    printf '%s %s|%s|%s|%s\n' "$(basename "$block")" "$(basename "$(readlink -f "$device")")" \
        "$(trim <"$device/vendor")" "$(trim <"$device/model")" "$(trim <"$device/rev")"
done >"$out/sysfs"
echo "start $(cut -d' ' -f1 /proc/uptime)" >"$out/uptime"

as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }
# The updater's lock file and Qt's runtime directory, for root and for nobody.
mkdir -p /run/lock /tmp/runtime-0 /tmp/runtime-65534
chmod 1777 /run/lock
chmod 0700 /tmp/runtime-0 /tmp/runtime-65534
chown 65534:65534 /tmp/runtime-65534

# run CASE MODE [as_nobody]: the probe's output, then its exit status.
run() {
    name=$1 mode=$2
    shift 2
    ls -l /dev/sr* /dev/sg* >"$out/$name.nodes" 2>&1
    "$@" "$probe" "$mode" >"$out/$name.$mode" 2>&1
    echo "exit $?" >>"$out/$name.$mode"
    echo "$name.$mode $(cut -d' ' -f1 /proc/uptime)" >>"$out/uptime"
}
# updater CASE UID [as_nobody]: the updater under the driver, bounded in time.
updater() {
    [ -n "$updater" ] || return 0
    name=$1 uid=$2
    shift 2
    "$@" env HOME=/tmp XDG_RUNTIME_DIR="/tmp/runtime-$uid" QT_QPA_PLATFORM=offscreen \
        LD_PRELOAD="$driver" timeout -s KILL 60 "$updater" >"$out/$name.quiver" 2>&1
    echo "exit $?" >>"$out/$name.quiver"
    echo "$name.quiver $(cut -d' ' -f1 /proc/uptime)" >>"$out/uptime"
}

run root list
run root write
updater root 0
chmod 0644 /dev/sr* /dev/sg*
run readonly list as_nobody
run readonly write as_nobody
updater readonly 65534 as_nobody
chmod 0666 /dev/sg*
run sgwrite write as_nobody
chmod 0600 /dev/sr* /dev/sg*
run noaccess list as_nobody
updater noaccess 65534 as_nobody
exit 0
