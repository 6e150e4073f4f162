#!/usr/bin/env bash
# The Wine prefix the Windows tests run in, made fresh for a test run and removed after it.
#
#   wine-prefix.sh setup PREFIX DISPLAY [BITS]    makes the prefix: no crash dialog, the fonts,
#                                                 a virtual desktop, a server that stays up, and
#                                                 an X server of its own on DISPLAY (:N)
#   wine-prefix.sh cleanup PREFIX DISPLAY [BITS]  stops both and removes the prefix
#
# BITS is the width of the programs under test, 64 (the default) or 32; the prefix is a 64-bit
# Windows either way, which runs both. PREFIX must be a directory of its own under a temporary
# folder: cleanup deletes it. Wine makes no top-level window without an X display, hence Xvfb.
set -euo pipefail

usage="usage: wine-prefix.sh setup|cleanup PREFIX :DISPLAY [64|32]"
action="${1:?$usage}"
prefix="${2:?$usage}"
display="${3:?$usage}"
bits="${4:-64}"
case "$bits" in
    64 | 32) ;;
    *) echo "wine-prefix.sh: programs of $bits bits?" >&2; exit 2 ;;
esac
case "$prefix" in
    */quiver-wine-*) ;;
    *) echo "wine-prefix.sh: refusing to use $prefix (not a quiver-wine-* folder)" >&2; exit 2 ;;
esac

export WINEPREFIX="$prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export DISPLAY="$display"
xpid_file="$prefix.xvfb-pid"

stop_server() {
    if [ -d "$prefix" ]; then
        wineserver -k </dev/null >/dev/null 2>&1 || true
        wineserver -w </dev/null >/dev/null 2>&1 || true
    fi
    if [ -f "$xpid_file" ]; then
        kill "$(cat "$xpid_file")" 2>/dev/null || true
        rm -f "$xpid_file"
    fi
}

start_x() {
    local n="${display#:}"
    if [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; then
        echo "wine-prefix.sh: display $display is in use" >&2
        exit 1
    fi
    Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
    echo $! > "$xpid_file"
    for _ in $(seq 100); do
        [ -e "/tmp/.X11-unix/X$n" ] && return 0
        sleep 0.05
    done
    echo "wine-prefix.sh: Xvfb did not start on $display" >&2
    exit 1
}

case "$action" in
    setup)
        # 32-bit programs need Debian's wine32, whose loader `wine` then starts every program with.
        if [ "$bits" = 32 ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
            echo "wine-prefix.sh: 32-bit Wine does not run here: wine32 is not installed, or" \
                "this machine runs no 32-bit programs (scripts/install-deps says which)" >&2
            exit 1
        fi
        stop_server
        rm -rf "$prefix"
        mkdir -p "$prefix"
        start_x
        # Every process Wine leaves running (the server, its services, the desktop) is started
        # here, in a session of its own and with /dev/null for its output: one that a test
        # started would inherit the test's output pipe and keep CTest waiting for its end.
        wineboot -i </dev/null >/dev/null 2>&1 || true
        wineserver -w
        if [ ! -f "$prefix/system.reg" ]; then
            echo "wine-prefix.sh: wineboot made no prefix in $prefix" >&2
            exit 1
        fi
        # A server that stays up until cleanup (a cold start costs a second per program).
        setsid wineserver -p </dev/null >/dev/null 2>&1
        {
            # A crashing program must end, not wait in the debugger's dialog.
            wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
            # Debian's Wine does not find its own fonts; the common faces map to installed ones.
            if [ -d /usr/share/wine/fonts ]; then
                cp /usr/share/wine/fonts/* "$prefix/drive_c/windows/Fonts/" || true
            fi
            for pair in "Arial=Liberation Sans" "Courier New=Liberation Mono" \
                "Verdana=DejaVu Sans"; do
                wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "${pair%%=*}" \
                    /t REG_SZ /d "${pair#*=}" /f
            done
            # quiver.exe and dialog_driver.exe (which drives it) share a virtual desktop, so
            # that the window gets its frame and title bar (there is no window manager) and the
            # driver sees the program's windows. The other tests keep the plain desktop.
            for app in quiver.exe quiver95.exe dialog_driver.exe; do
                wine reg add "HKCU\\Software\\Wine\\AppDefaults\\$app\\Explorer" /v Desktop \
                    /t REG_SZ /d Quiver /f
            done
            wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Quiver /t REG_SZ /d 640x400 /f
            # quiver95.exe finds itself on Windows 98.
            wine reg add 'HKCU\Software\Wine\AppDefaults\quiver95.exe' /v Version /t REG_SZ \
                /d win98 /f
        } </dev/null >/dev/null 2>&1
        echo "wine-prefix.sh: prefix ready in $prefix"
        ;;
    cleanup)
        stop_server
        rm -rf "$prefix"
        ;;
    *)
        echo "wine-prefix.sh: unknown action $action" >&2
        exit 2
        ;;
esac
