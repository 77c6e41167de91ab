#!/usr/bin/env bash
# Sets up the machine, builds the program and the tests, and runs every test
# under Wine on a virtual display. Exits non-zero when a test fails.
set -euo pipefail
source "$(dirname "$0")/env.sh"

"$ROOT/tools/setup.sh"
configure_and_build

cleanup() { stop_wine; stop_virtual_display; }
trap cleanup EXIT
start_virtual_display
start_wine
ctest --test-dir "$BUILD" --output-on-failure "$@"
