#!/usr/bin/env bash
# Sets up the machine, builds the program and starts it under Wine.
#
# By default it is a demo of the whole program: a download server on
# loopback hands out a small sample installer in place of the maker's
# server (Wine's WinInet reaches it as the proxy for the fixed download
# host), and a simulated supported camera is plugged in. The sample
# installer is signed under a demo root certificate that Wine trusts while
# the demo runs, so it starts without the publisher question. With
# --as-shipped the program runs alone: no demo server, no camera, no proxy.
#
# With no X display it runs on a virtual one; the demo then walks once
# through a download by itself and saves a screenshot of every step. The
# demo server then sends the installer slowly (4,000 bytes a second), so
# that the progress window is caught mid-download, its status line quoting
# the speed and the time left.
set -euo pipefail
source "$(dirname "$0")/env.sh"

mode=demo
case "${1:-}" in
    "") ;;
    --as-shipped) mode=shipped ;;
    *) echo "usage: bash tools/run.sh [--as-shipped]" >&2; exit 2 ;;
esac

"$ROOT/tools/setup.sh"
configure_and_build >/dev/null

INTERNET_SETTINGS='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings'
DEMO="$BUILD/demo-run"
DEMO_ROOT="Z:${BUILD//\//\\}\\signing\\demo\\root.der"

start_demo() {
    mkdir -p "$DEMO"
    rm -f "$DEMO/port"
    python3 "$ROOT/demo/demo_server.py" "$BUILD/demo/sample_installer_signed.exe" "$DEMO/port" \
        ${DEMO_RATE:-} 2>"$DEMO/server.log" &
    SERVER_PID=$!
    for _ in $(seq 50); do
        [ -s "$DEMO/port" ] && break
        sleep 0.1
    done
    local port
    port=$(cat "$DEMO/port")
    "$BUILD/wine-run" reg add "$INTERNET_SETTINGS" /v ProxyEnable /t REG_DWORD /d 1 /f >/dev/null
    "$BUILD/wine-run" reg add "$INTERNET_SETTINGS" /v ProxyServer /d "127.0.0.1:$port" /f >/dev/null
    "$BUILD/wine-run" "$BUILD/demo/camera_switch.exe" plug demo-camera "USB Camera" 3c1a 0101
    "$BUILD/wine-run" "$BUILD/demo/root_store.exe" trust "$DEMO_ROOT"
    # The sample installer, started by the program, then says it ran.
    export DOWNLOADER_DEMO=1
    echo "Demo: download server on 127.0.0.1:$port (log: $DEMO/server.log), simulated camera plugged in," \
        "demo root certificate trusted."
}

stop_demo() {
    if [ -n "${SERVER_PID:-}" ]; then
        kill "$SERVER_PID" 2>/dev/null || true
        wait "$SERVER_PID" 2>/dev/null || true
        SERVER_PID=
        "$BUILD/wine-run" "$BUILD/demo/camera_switch.exe" unplug demo-camera || true
        "$BUILD/wine-run" "$BUILD/demo/root_store.exe" distrust "$DEMO_ROOT" || true
        "$BUILD/wine-run" reg delete "$INTERNET_SETTINGS" /v ProxyEnable /f >/dev/null 2>&1 || true
        "$BUILD/wine-run" reg delete "$INTERNET_SETTINGS" /v ProxyServer /f >/dev/null 2>&1 || true
    fi
}

DESKTOP_SETTINGS='HKCU\Control Panel\Desktop'
restore_dpi() {
    if [ -n "${DPI_SET:-}" ]; then
        "$BUILD/wine-run" reg delete "$DESKTOP_SETTINGS" /v LogPixels /f >/dev/null 2>&1 || true
        DPI_SET=
    fi
}

cleanup() { restore_dpi; stop_demo; stop_wine; stop_virtual_display; }
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
    start_virtual_display
    virtual=1
    DEMO_RATE=4000
fi
start_wine
[ "$mode" = demo ] && start_demo

exe="$BUILD/app/QuilloCamKitDL.exe"
shots="$BUILD/screenshots"
mkdir -p "$shots"

# Wine reports that it may not read the volume label of the Linux root when
# the Save As dialog looks at the drives; it means nothing to the user.
quiet_wine() { grep -v --line-buffered 'Read access denied for device' || true; }

# The tour saves its screenshots as BMP and prints their Windows paths; the
# user gets PNG files and the Linux paths.
screenshots_as_png() {
    local line file png
    while IFS= read -r line; do
        line=${line%$'\r'}
        case "$line" in
            *tour-*.bmp)
                file=${line#*Z:}
                file=${file//\\//}
                png=${file%.bmp}.png
                if convert "$file" "$png" 2>/dev/null; then
                    rm -f "$file"
                    echo "  $png"
                else
                    echo "  $file"
                fi
                ;;
            *Z:\\*)
                line=${line//Z:\\//}
                echo "${line//\\//}"
                ;;
            *) echo "$line" ;;
        esac
    done
}

if [ -z "${virtual:-}" ]; then
    (cd "$DEMO" 2>/dev/null || cd "$BUILD"; "$BUILD/wine-run" "$exe" 2>&1 | quiet_wine)
    # The installer the Downloader started runs on after it has ended.
    wait_for_programs
elif [ "$mode" = demo ]; then
    echo "No display: the demo walks through one download on a virtual display. Screenshots:"
    windows_path() { local p="Z:$1"; echo "${p//\//\\}"; }
    "$BUILD/wine-run" "$BUILD/demo/demo_tour.exe" "$(windows_path "$exe")" \
        "$(windows_path "$DEMO/downloads")" "$(windows_path "$shots")" 2>&1 | quiet_wine | screenshots_as_png
    # The main dialog once more on a screen at 150 % scaling: 144 DPI, which
    # Wine reads from the prefix when a program starts.
    DPI_SET=1
    "$BUILD/wine-run" reg add "$DESKTOP_SETTINGS" /v LogPixels /t REG_DWORD /d 144 /f >/dev/null
    "$BUILD/wine-run" "$BUILD/demo/demo_tour.exe" --main-dialog "$(windows_path "$exe")" \
        "$(windows_path "$shots")" main-dialog-at-144-dpi 2>&1 | quiet_wine | screenshots_as_png
    "$BUILD/wine-run" "$BUILD/demo/demo_tour.exe" --progress "$(windows_path "$exe")" \
        "$(windows_path "$DEMO/downloads")" "$(windows_path "$shots")" progress-at-144-dpi 2>&1 | quiet_wine |
        screenshots_as_png
else
    "$BUILD/wine-run" "$exe" > >(quiet_wine) 2>&1 &
    program=$!
    sleep 5
    import -window root "$shots/run.png"
    echo "No display: the program ran on a virtual one. Screenshot: $shots/run.png"
    kill "$program" 2>/dev/null || true
    wait "$program" 2>/dev/null || true
fi
