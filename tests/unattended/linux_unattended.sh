#!/usr/bin/env bash
# quiver on Linux without a person and without a display: packed by quiver-pack, run with
# --unattended --json on two emulated drives behind the SG_IO interposer (sr0 a KMR-730T, sr1
# another maker's), with a sysfs tree and /var/lib of the test's own in a mount namespace where
# the test is root. With "ansible" the updater is rolled out and run by the playbook of
# docs/fleet.md against localhost instead.
#
# Usage: linux_unattended.sh quiver|ansible QUIVER_PACK QUIVER DEMO_IMAGE INTERPOSER MANIFEST
#                            PLAYBOOK
# Exit 77 (skipped) where no mount namespace can be made, or, for "ansible", where
# ansible-playbook is not installed.
set -euo pipefail
mode=$1 pack=$2 quiver=$3 image=$4 interposer=$5 manifest=$6 playbook=$7

if ! unshare --map-root-user --mount true 2>/dev/null; then
    echo "skipped: this system does not let the test make a mount namespace"
    exit 77
fi
if [ "$mode" = ansible ] && ! command -v ansible-playbook >/dev/null; then
    echo "skipped: ansible-playbook is not installed (scripts/install-deps installs ansible-core)"
    exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/quiver-unattended-XXXXXX")
trap 'rm -rf "$work"' EXIT

sed "s|@DEMO_IMAGE@|$image|" "$manifest" >"$work/manifest.json"
"$pack" fill "$work/manifest.json" "$quiver" -o "$work/updater" >"$work/pack.log" 2>&1 ||
    { cat "$work/pack.log"; exit 1; }

# sysfs and the interposer's drives: sr0 a KMR-730T, sr1 another maker's.
source "$(dirname "$0")/../linux/two_drive_pc.sh"
mkdir -p "$work/varlib" "$work/tmp"

# In the namespace: the test's sysfs, lock directory and /var/lib; no display of any kind.
inside() {
    unshare --map-root-user --mount sh -c '
        work=$1; shift
        mount --bind "$work/block" /sys/class/block &&
        { [ ! -d /run/lock ] || mount -t tmpfs tmpfs /run/lock; } &&
        mount --bind "$work/varlib" /var/lib &&
        exec env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_RUNTIME_DIR="$work" "$@"' \
        sh "$work" "$@"
}
sgio_env=(LD_PRELOAD="$interposer" QUIVER_SGIO_MACHINE="$work/machine.json"
          QUIVER_SGIO_STATE="$work/state")

status=0
if [ "$mode" = quiver ]; then
    inside env "${sgio_env[@]}" "$work/updater" --unattended --json --drive sr0 \
        --log "$work/update.log" >"$work/out" 2>"$work/err" || status=$?
    log="$work/update.log"
else
    extra=$(printf '{"updater": "%s", "updater_path": "%s", "log_path": "%s", "use_become": false,
        "updater_environment": {"LD_PRELOAD": "%s", "QUIVER_SGIO_MACHINE": "%s",
                                "QUIVER_SGIO_STATE": "%s"}}' \
        "$work/updater" "$work/installed-updater" "$work/update.log" "$interposer" \
        "$work/machine.json" "$work/state")
    inside env ANSIBLE_LOCAL_TEMP="$work/tmp" ANSIBLE_REMOTE_TEMP="$work/tmp" \
        ANSIBLE_NOCOLOR=1 HOME="$work" \
        ansible-playbook -i localhost, -c local "$playbook" -e "$extra" \
        >"$work/out" 2>"$work/err" || status=$?
    log="$work/update.log"
fi
cat "$work/out"

failed=0
[ "$status" -eq 0 ] || { echo "ended with $status"; cat "$work/err"; failed=1; }
expect() {
    if ! grep -qE -- "$2" "$1"; then
        echo "MISSING in $(basename "$1"): $2"
        failed=1
    fi
}
if [ "$mode" = quiver ]; then
    expect "$work/out" '^\{"event":"drive","drive":"sr0","address":"1-0-0-0",.*"admitted":"yes"\}$'
    expect "$work/out" '^\{"event":"drive","drive":"sr1",.*"admitted":"no"'
    expect "$work/out" '^\{"event":"progress","drive":"sr0","address":"1-0-0-0","stage":"transfer","attempt":1,"percent":100\}$'
    expect "$work/out" '^\{"event":"result","drive":"sr0",.*"result":"updated","code":0,"revisionBefore":"QM01","revisionAfter":"QM0F"'
    expect "$work/out" '^\{"event":"exit","code":0\}$'
else
    expect "$work/out" 'Run the updater unattended'
    expect "$work/out" '"msg": "updated"'
    expect "$work/out" 'failed=0'
fi
expect "$log" '^[0-9T:.-]+Z result drive=sr0 .*result=updated'
history="$work/varlib/quiver/history.jsonl"
expect "$history" '"state":"programming"'
expect "$history" '"revisionAfter":"QM0F".*"state":"ended".*"updated":true'
exit "$failed"
