# Shared by the run and test commands: build folders, the virtual display
# and the warm Wine server. Source it; it defines functions only.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build/x64"
# The shipped 32-bit program's sub-build, with its tests for the 32-bit run.
BUILD_I686="$BUILD/i686"
# The user-mode emulator for 32-bit programs, unpacked by tools/setup.sh.
QEMU_DIR="$ROOT/build/qemu"
QEMU_I386="$QEMU_DIR/usr/bin/qemu-i386"

# Configures and builds the 64-bit build with the shipped 32-bit program in
# its sub-build; arguments go to the configure step.
configure_and_build() {
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-x86_64.cmake" "$@" >/dev/null
    cmake --build "$BUILD" -j"$(nproc)"
}

# Starts Xvfb on the first free display number and exports DISPLAY.
# XVFB_PID names the process, so that only it is ended later.
start_virtual_display() {
    local number
    for number in $(seq 90 130); do
        if [ ! -e "/tmp/.X11-unix/X$number" ] && [ ! -e "/tmp/.X$number-lock" ]; then
            Xvfb ":$number" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
            XVFB_PID=$!
            for _ in $(seq 50); do
                [ -e "/tmp/.X11-unix/X$number" ] && break
                sleep 0.1
            done
            export DISPLAY=":$number"
            VIRTUAL_DISPLAY=1
            return 0
        fi
    done
    echo "no free X display number" >&2
    return 1
}

stop_virtual_display() {
    if [ -n "${XVFB_PID:-}" ]; then
        kill "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
        XVFB_PID=
        VIRTUAL_DISPLAY=
    fi
}

# Whether a window manager runs on $DISPLAY: one that follows the common
# conventions names its own window on the root window.
window_manager_runs() {
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'
}

# Creates the build's Wine prefix if needed and keeps one wineserver running
# for it, so that every test process starts warm.
start_wine() {
    export WINEPREFIX="$BUILD/wineprefix"
    export WINEDEBUG=-all
    # The persistent server comes first, then wineboot starts Wine's own
    # background processes under it with output to /dev/null. Started any
    # later, they would inherit a test's output pipe and hold it open.
    # A server already running for this prefix (another run's) is used as
    # it is and left alone at the end.
    if /usr/lib/wine/wineserver64 -p </dev/null >/dev/null 2>&1; then
        WINESERVER_STARTED=1
    fi
    "$BUILD/wine-run" wineboot -i </dev/null >/dev/null 2>&1 || true
    # The dialogs are laid out for the proportional Japanese system font;
    # Debian's nearest match is IPA P Gothic.
    "$BUILD/wine-run" reg add 'HKCU\Software\Wine\Fonts\Replacements' \
        /v 'ＭＳ Ｐゴシック' /d 'IPAPGothic' /f </dev/null >/dev/null 2>&1 || true
    # Without a window manager, Wine would wait up to two seconds for one at
    # every window that is hidden or shown again: after OK on a message, the
    # progress window would stay for two seconds more and the main window
    # would come back after it, so a click meant for the main window would
    # land on the one still going. The virtual display has none, and a
    # user's display may have none either: the windows are left unmanaged
    # there. Under a window manager it looks after the windows as usual.
    if [ -n "${VIRTUAL_DISPLAY:-}" ] || ! window_manager_runs; then
        "$BUILD/wine-run" reg add 'HKCU\Software\Wine\X11 Driver' \
            /v Managed /d N /f </dev/null >/dev/null 2>&1 || true
    else
        "$BUILD/wine-run" reg delete 'HKCU\Software\Wine\X11 Driver' \
            /v Managed /f </dev/null >/dev/null 2>&1 || true
    fi
}

# Waits until no Windows program of the build's prefix runs any more, other
# than Wine's own background processes (those live in C:\windows). A
# program that the Downloader started, such as the installer, is left to
# finish before the prefix's processes are ended.
wait_for_programs() {
    local prefix="$BUILD/wineprefix" pid command running
    while :; do
        running=
        for pid in $(pgrep -u "$(id -u)" . 2>/dev/null); do
            { tr '\0' '\n' <"/proc/$pid/environ" | grep -qx "WINEPREFIX=$prefix"; } 2>/dev/null || continue
            command=$({ tr '\0' ' ' <"/proc/$pid/cmdline"; } 2>/dev/null)
            case "$command" in
                [A-Za-z]:\\[Ww]indows\\*) ;;
                [A-Za-z]:\\*) running=1 ;;
            esac
        done
        [ -z "$running" ] && return 0
        sleep 1
    done
}

# Ends the wineserver of the build's prefix (and with it any Wine process
# still running in that prefix); other prefixes are not touched.
stop_wine() {
    if [ -n "${WINESERVER_STARTED:-}" ]; then
        WINEPREFIX="$BUILD/wineprefix" /usr/lib/wine/wineserver64 -k >/dev/null 2>&1 || true
        WINESERVER_STARTED=
    fi
}
