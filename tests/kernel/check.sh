#!/usr/bin/env bash
# Checks one case of the real-kernel run (tests/kernel/boot.sh, guest_run.sh) from the files
# the guest left in RESULTS.
#
# Usage: check.sh RESULTS CASE
#   root      as root the probe lists every optical drive of sysfs with the kernel's identity
#             and address, and the drive list shows them; WRITE BUFFER reaches the drives, and
#             the updater reports the drive's refusal as a failed update
#   readonly  with read access only the drives are listed and answer INQUIRY, and WRITE BUFFER
#             is refused before it reaches them; the updater says it could not flash and
#             which access is missing
#   sgwrite   with read-write access to the generic nodes WRITE BUFFER reaches the drives there
#   noaccess  without access to the nodes the drives are listed as inaccessible; the updater
#             admits none and says which access is missing
# Exit 77 where the guest could not be booted (boot.sh skipped).
set -uo pipefail
results=$1 case=$2

if [ ! -f "$results/status" ]; then
    echo "skipped: the guest did not run (see the kernel_boot test)"
    exit 77
fi

failed=0
fail() {
    echo "FAILED: $*"
    failed=1
}
# has FILE LINE: FILE holds LINE exactly.
has() { grep -qxF -- "$2" "$results/$1" || fail "$1 lacks: $2"; }
# has_match FILE REGEX
has_match() { grep -qE -- "$2" "$results/$1" || fail "$1 has no line matching: $2"; }

mapfile -t sysfs <"$results/sysfs"
[ "${#sysfs[@]}" -eq 2 ] || fail "the kernel shows ${#sysfs[@]} optical drives, not QEMU's two"

# The name column of the drive list for srN: the kernel's name and a blank (QEMU's two drives
# have names of one width).
root_of() { echo "$1 "; }

# lists_all FILE: every optical drive of sysfs found with its identity and address, shown as
# the window shows it (" H-C-T-L <name> <vendor, 8><product, 16> <revision>")
lists_all() {
    local file=$1 entry sr fields hctl vendor model rev shown
    has "$file" "count ${#sysfs[@]}"
    for entry in "${sysfs[@]}"; do
        sr=${entry%% *} fields=${entry#* }
        IFS='|' read -r hctl vendor model rev <<<"$fields"
        has "$file" "optical $sr"
        has "$file" "drive $fields"
        shown="$(printf '%2d' "${hctl%%:*}")-$(echo "${hctl#*:}" | tr : -) $(root_of "$sr")"
        shown+="$(printf '%-8s%-16s %4s' "$vendor" "$model" "$rev")"
        has_match "$file" "^line [0-9]+ \"$(sed 's/[.+*?^$()|[\\]/\\&/g' <<<"$shown")\"\$"
    done
    if grep -q '^reported [0-9]* 0$' "$results/$file"; then
        fail "$file: an address was made up, not reported by the system"
    fi
}

# writes FILE GENERIC OUTCOME: for every drive, INQUIRY answered on the opened drive and WRITE
# BUFFER ended with OUTCOME (a regex over "ok=... outcome=... sense=..."), through the generic
# node or not.
writes() {
    local file=$1 generic=$2 outcome=$3 entry hctl
    for entry in "${sysfs[@]}"; do
        hctl=${entry#* }
        hctl=${hctl%%|*}
        has "$file" "inquiry $hctl ok=1"
        has_match "$file" "^write $hctl $outcome generic=$generic\$"
    done
}

# The drive itself refused: QEMU's drives take no firmware. Without a disc the scsi-cd answers
# NOT READY, MEDIUM NOT PRESENT (02/3A/00), the ide-cd ILLEGAL REQUEST, INVALID COMMAND
# OPERATION CODE (05/20/00).
refused_by_drive='ok=0 outcome=check sense=0[1-9A-F]/[0-9A-F]{2}/[0-9A-F]{2}'
# Nothing reached the drive: the kernel refused the request.
refused_by_kernel='ok=0 outcome=failed sense=00/00/00'

case $case in
    root)
        lists_all root.list
        has root.list "exit 0"
        # With CAP_SYS_RAWIO the backend sends the command to the generic node from the start.
        writes root.write 1 "$refused_by_drive"
        if grep -q '^write-access ' "$results/root.write"; then
            fail "root.write: access said to be missing: $(grep '^write-access ' "$results/root.write")"
        fi
        has root.write "exit 0"
        # The updater admits the scsi-cd, and the drive's refusal ends the update as a failure.
        if [ -f "$results/root.quiver" ]; then
            has root.quiver "list 0 \" 0-0-0-0 $(root_of sr0)QEMU    QEMU CD-ROM      2.5+\""
            has_match root.quiver '^click cmdUpdate$'
            has_match root.quiver \
                '^dialog "Error" "Unable to flash firmware. Please contact with your vendor !"'
        fi
        ;;
    readonly)
        lists_all readonly.list
        # The block node's filter refuses the command and the generic node cannot be opened
        # read-write: the backend says which access is missing.
        writes readonly.write 1 "$refused_by_kernel"
        for entry in "${sysfs[@]}"; do
            hctl=${entry#* }
            hctl=${hctl%%|*}
            has_match readonly.write \
                "^write-access $hctl \"Writing firmware needs read-write access to /dev/sg[0-9]+ or CAP_SYS_RAWIO"
        done
        if grep -q '^report ' "$results/readonly.write"; then
            fail "readonly.write: the backend reported something: $(grep '^report ' "$results/readonly.write")"
        fi
        has readonly.write "exit 0"
        if [ -f "$results/readonly.quiver" ]; then
            has_match readonly.quiver '^click cmdUpdate$'
            has_match readonly.quiver \
                '^dialog "Error" "Unable to flash firmware. Please contact with your vendor !\\nWriting firmware needs read-write access to /dev/sg0 or CAP_SYS_RAWIO'
        fi
        ;;
    sgwrite)
        writes sgwrite.write 1 "$refused_by_drive"
        has sgwrite.write "exit 0"
        ;;
    noaccess)
        # sysfs shows the drives to everyone: the backend lists each as present and
        # inaccessible, and the updater's list of detected drives says so, then which access
        # is missing.
        for entry in "${sysfs[@]}"; do
            sr=${entry%% *} hctl=${entry#* }
            hctl=${hctl%%|*}
            has noaccess.list "optical $sr"
            has noaccess.list "inaccessible $hctl|/dev/$sr: permission denied"
        done
        has noaccess.list "count ${#sysfs[@]}"
        has_match noaccess.list '^scan-access "Reading the drive needs read access to /dev/sr0'
        if [ -f "$results/noaccess.quiver" ]; then
            has_match noaccess.quiver \
                '^dialog "Error" "No matched drive detected !\\n.*\\n\\nDetected drives :\\n 0-0-0-0 sr0 /dev/sr0: permission denied\\n.*\\nReading the drive needs read access to /dev/sr0'
        fi
        ;;
    *)
        echo "no such case: $case"
        exit 2
        ;;
esac
if [ "$failed" -ne 0 ]; then
    echo "--- what the guest left for $case:"
    for f in "$results/$case".*; do
        echo "== ${f##*/}"
        cat "$f"
    done
fi
exit "$failed"
