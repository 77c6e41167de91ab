#!/usr/bin/env bash
# Sets up the machine, builds the program and starts it under Wine. With no
# X display it uses a virtual one and saves a screenshot of what it shows.
set -euo pipefail
source "$(dirname "$0")/env.sh"

"$ROOT/tools/setup.sh"
configure_and_build

cleanup() { stop_wine; stop_virtual_display; }
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
    start_virtual_display
    virtual=1
fi
start_wine
exe="$BUILD/app/QuilloCamKitDL.exe"
if [ -n "${virtual:-}" ]; then
    mkdir -p "$BUILD/screenshots"
    "$BUILD/wine-run" "$exe" &
    program=$!
    sleep 5
    import -window root "$BUILD/screenshots/run.png"
    echo "No display: the program ran on a virtual one. Screenshot: $BUILD/screenshots/run.png"
    kill "$program" 2>/dev/null || true
    wait "$program" 2>/dev/null || true
else
    "$BUILD/wine-run" "$exe"
fi
