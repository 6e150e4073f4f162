#!/usr/bin/env bash
# quiver, the Linux program as built, packed by quiver-pack and run end to end with no hardware:
# two emulated drives behind /dev/sr0, /dev/sr1 and /dev/sg0, /dev/sg1 (the SG_IO interposer),
# a sysfs tree of the test's own bound over /sys/class/block in a mount namespace of its own,
# and a preloaded driver that plays the user (tests/linux/qt_driver.cpp). The package restarts
# nothing (REBOOT=0) and ends the program after the update (CLOSEAP=1). Afterwards sg_inq, an
# independent client, reads the new revision from the drive.
#
# Usage: quiver_end_to_end.sh QUIVER_PACK QUIVER DEMO_IMAGE INTERPOSER DRIVER MANIFEST [SG_INQ]
# Exit 77 (skipped) where no mount namespace can be made.
set -euo pipefail
pack=$1 quiver=$2 image=$3 interposer=$4 driver=$5 manifest=$6 sg_inq=${7:-}

if ! unshare --map-root-user --mount true 2>/dev/null; then
    echo "skipped: this system does not let the test make a mount namespace"
    exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/quiver-e2e-XXXXXX")
trap 'rm -rf "$work"' EXIT

sed "s|@DEMO_IMAGE@|$image|" "$manifest" >"$work/manifest.json"
if ! "$pack" fill "$work/manifest.json" "$quiver" -o "$work/updater" >"$work/pack.log" 2>&1; then
    cat "$work/pack.log"
    exit 1
fi

# sysfs and the interposer's drives: sr0 a KMR-730T, sr1 another maker's.
source "$(dirname "$0")/two_drive_pc.sh"

export QUIVER_SGIO_MACHINE="$work/machine.json" QUIVER_SGIO_STATE="$work/state"
status=0
# The updaters' lock file goes in a lock directory of the test's own, so that updaters run by
# other tests or people on this machine meanwhile are not in its way.
unshare --map-root-user --mount sh -c '
    mount --bind "$1/block" /sys/class/block &&
    { [ ! -d /run/lock ] || mount -t tmpfs tmpfs /run/lock; } &&
    exec env XDG_RUNTIME_DIR="$1" LD_PRELOAD="$2 $3" QT_QPA_PLATFORM=offscreen "$1/updater"' \
    sh "$work" "$interposer" "$driver" >"$work/log" 2>"$work/err" || status=$?
cat "$work/log"

failed=0
expect() {
    if ! grep -qxF -- "$1" "$work/log"; then
        echo "MISSING: $1"
        failed=1
    fi
}
[ "$status" -eq 0 ] || { echo "quiver ended with $status"; cat "$work/err"; failed=1; }
expect 'window "Flash Program for Korvane DVDRW KMR-730T"'
expect 'list 0 " 1-0-0-0 sr0 Korvane DVDRW KMR-730T   QM01"'
expect 'list 1 " 2-0-1-0 sr1 OTHERCO DVD-ROM 16X      QM01"'
expect 'label lblOldFW "QM01"'
expect 'label lblNewFW "QM0F"'
expect 'click cmdUpdate'
expect 'dialog "Information" "Firmware has been updated successfully !" [OK] list " 1-0-0-0 sr0 Korvane DVDRW KMR-730T   QM0F"'
if [ "$(grep -c '^dialog ' "$work/log")" -ne 2 ]; then
    echo "expected two dialogs (the notice and the success)"
    failed=1
fi
if ! grep -q '^dialog "Warning" "This flash utility only supports Korvane DVDRW KMR-730T drive.' \
    "$work/log"; then
    echo "MISSING: the notice"
    failed=1
fi

# The drive itself, asked by another program, reports the new revision.
if [ -n "$sg_inq" ]; then
    shown=$(LD_PRELOAD="$interposer" "$sg_inq" /dev/sr0 2>&1 || true)
    if ! grep -q "Product revision level: QM0F" <<<"$shown"; then
        echo "sg_inq does not show QM0F:"
        echo "$shown"
        failed=1
    fi
fi
exit "$failed"
