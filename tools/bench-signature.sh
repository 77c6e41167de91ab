#!/usr/bin/env bash
# Signature check benchmark: signs a 50 MB program with the maker's test
# certificate (the program that the tests serve, with 50 MB of data
# appended), times the check the Downloader makes before it starts an
# installer, and the time from OK to the started installer. Everything it
# writes stays under build/x64/bench-signature.
set -euo pipefail
source "$(dirname "$0")/env.sh"

"$ROOT/tools/setup.sh"
configure_and_build >/dev/null

work="$BUILD/bench-signature"
mkdir -p "$work"
if [ ! -s "$work/large-signed.exe" ] || [ "$work/large-signed.exe" -ot "$BUILD/signing/test/root.der" ]; then
    { cat "$BUILD/tests/mark_program.exe"; head -c 52428800 /dev/urandom; } >"$work/large.exe"
    bash "$ROOT/tools/codesign.sh" sign "$BUILD/signing/test" "$work/large.exe" "$work/large-signed.exe"
    rm -f "$work/large.exe"
fi

cleanup() { stop_wine; stop_virtual_display; }
trap cleanup EXIT
start_virtual_display
start_wine
windows_path() { local p="Z:$1"; echo "${p//\//\\}"; }
"$BUILD/wine-run" "$BUILD/bench/signature_check_benchmark.exe" "$(windows_path "$BUILD/signing/test/root.der")" \
    "$(windows_path "$work/large-signed.exe")" "$(windows_path "$BUILD/tests/mark_program_signed.exe")"
