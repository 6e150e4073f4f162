#!/usr/bin/env bash
# Boots the test guest once under QEMU (TCG) with two empty optical drives of QEMU's own, a
# scsi-cd on virtio-scsi and an ide-cd on the PIIX IDE, and has it run GUEST_SCRIPT as root on
# the host's root, shared read-only. The guest script gets RESULTS (shared writable, at the same
# path as on the host) and the ARGS; the guest's console goes to RESULTS/console.log, what the
# script ended with to RESULTS/status.
#
# Usage: boot.sh KERNEL_DIR INITRAMFS RESULTS GUEST_SCRIPT [ARGS...]
# Exit 77 (skipped) where QEMU cannot start; 1 where the guest did not finish its script within
# QUIVER_KERNEL_TIME_LIMIT seconds (default 300) or the script failed.
set -euo pipefail
kernel=$1 initramfs=$2 results=$(realpath -m "$3") script=$(realpath "$4")
shift 4
rm -rf "$results"

qemu=$(command -v qemu-system-x86_64 || true)
if [ -z "$qemu" ]; then
    echo "skipped: qemu-system-x86_64 is not installed (Debian package qemu-system-x86)"
    exit 77
fi
if ! echo quit | "$qemu" -machine pc -accel tcg -nodefaults -display none -monitor stdio -S \
    >/dev/null 2>&1; then
    echo "skipped: QEMU cannot start here"
    exit 77
fi
if [ ! -f "$kernel/vmlinuz" ] || [ ! -f "$initramfs" ]; then
    echo "no kernel or initramfs in $kernel: build the kernel_guest target" \
        "(scripts/fetch-kernel fetches the kernel)"
    exit 1
fi

mkdir -p "$results"
{
    echo '#!/bin/sh'
    printf "exec /bin/sh '%s' \"\$1\"" "$script"
    for a in "$@"; do printf " '%s'" "$a"; done
    echo
} >"$results/run.sh"

limit=${QUIVER_KERNEL_TIME_LIMIT:-300}
start=$(date +%s)
status=0
timeout --kill-after=10 "$limit" "$qemu" \
    -machine pc -accel tcg -m 1024 -smp 1 -no-reboot -nodefaults \
    -display none -monitor none -serial "file:$results/console.log" \
    -kernel "$kernel/vmlinuz" -initrd "$initramfs" \
    -append "console=ttyS0 panic=-1 loglevel=4 scsi_mod.scan=sync quiver_run=$results/run.sh quiver_out=$results" \
    -virtfs local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap \
    -virtfs "local,path=$results,mount_tag=out,security_model=none,multidevs=remap" \
    -device virtio-scsi-pci,id=scsi0 \
    -drive if=none,id=cd0,media=cdrom -device scsi-cd,drive=cd0,bus=scsi0.0 \
    -drive if=none,id=cd1,media=cdrom -device ide-cd,drive=cd1,bus=ide.1 \
    </dev/null || status=$?
echo "guest ran $(($(date +%s) - start)) s"

if [ ! -f "$results/status" ]; then
    if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
        echo "the guest did not finish within $limit s"
    else
        echo "QEMU ended with $status before the guest finished"
    fi
    tail -n 40 "$results/console.log" 2>/dev/null || true
    exit 1
fi
if [ "$(cat "$results/status")" != 0 ]; then
    echo "the guest script ended with $(cat "$results/status")"
    tail -n 40 "$results/console.log"
    exit 1
fi
