#!/usr/bin/env bash
# Builds and runs one benchmark under Wine on a virtual display and prints
# its figures: bash tools/bench.sh device_check_benchmark
set -euo pipefail
source "$(dirname "$0")/env.sh"

"$ROOT/tools/setup.sh"
configure_and_build >/dev/null

cleanup() { stop_wine; stop_virtual_display; }
trap cleanup EXIT
start_virtual_display
start_wine
"$BUILD/wine-run" "$BUILD/bench/$1.exe" "${@:2}"
