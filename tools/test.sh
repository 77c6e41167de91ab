#!/usr/bin/env bash
# Sets up the machine, builds the program and the tests, and runs every test
# under Wine on a virtual display, twice: on the 64-bit build under 64-bit
# Wine, then on the shipped 32-bit build under 32-bit Wine through qemu's
# user-mode emulator (tools/test-32bit.sh). Arguments go to both ctest runs.
# Ends with a summary of both runs; exits non-zero when a test fails.
set -euo pipefail
source "$(dirname "$0")/env.sh"

with_32bit=1
setup_status=0
"$ROOT/tools/setup.sh" --32-bit || setup_status=$?
case "$setup_status" in
    0) ;;
    77) with_32bit= ;;  # setup.sh has said why, in one line
    *) exit "$setup_status" ;;
esac
configure_and_build ${with_32bit:+-DDOWNLOADER_TESTS_I686=ON}

# Prints "failed total" from the closing line of a ctest run's output, or
# nothing when it has none.
counts_of() {
    sed -n 's/^[0-9]*% tests passed, \([0-9]*\) tests* failed out of \([0-9]*\)$/\1 \2/p' "$1" | tail -n 1
}

log64="$BUILD/ctest-64-bit.log"
status64=0
(
    trap 'stop_wine; stop_virtual_display' EXIT
    start_virtual_display
    start_wine
    ctest --test-dir "$BUILD" --output-on-failure "$@"
) 2>&1 | tee "$log64" || status64=$?

log32="$BUILD_I686/ctest-32-bit.log"
status32=0
if [ -n "$with_32bit" ]; then
    echo "32-bit run: the shipped 32-bit build under 32-bit Wine through qemu"
    bash "$ROOT/tools/test-32bit.sh" "$@" 2>&1 | tee "$log32" || status32=$?
fi

# One line per run, then the totals of both.
passed=0 failed=0 skipped=0
summarise() {
    local name=$1 log=$2 status=$3 counts
    counts=$(counts_of "$log")
    if [ -z "$counts" ]; then
        if grep -q '^No tests were found' "$log"; then
            echo "$name: no test matched"
        else
            echo "$name: did not complete (exit status $status)"
        fi
        return 1
    fi
    read -r run_failed run_total <<<"$counts"
    # ctest lists a test that skipped itself (GTEST_SKIP) as "N - name (Skipped)".
    local run_skipped
    run_skipped=$(grep -c '^[[:space:]]*[0-9]* - .* (Skipped)$' "$log" || true)
    echo "$name: $((run_total - run_failed - run_skipped)) passed, $run_failed failed, $run_skipped skipped"
    passed=$((passed + run_total - run_failed - run_skipped))
    skipped=$((skipped + run_skipped))
    failed=$((failed + run_failed))
    [ "$status" -eq 0 ]
}
echo
echo "Summary"
ok=1
summarise "  64-bit build, 64-bit Wine" "$log64" "$status64" || ok=
if [ -n "$with_32bit" ]; then
    summarise "  shipped 32-bit build, 32-bit Wine (qemu)" "$log32" "$status32" || ok=
else
    # The same suite, not run: counted as skipped.
    read -r _ total64 <<<"$(counts_of "$log64")"
    skipped=$((skipped + ${total64:-0}))
    echo "  shipped 32-bit build, 32-bit Wine (qemu): SKIPPED, this machine cannot run it (see the set-up line above)"
fi
if [ "$skipped" -gt 0 ]; then
    echo "total: $passed passed, $failed failed, $skipped skipped"
else
    echo "total: $passed passed, $failed failed"
fi
[ -n "$ok" ]
