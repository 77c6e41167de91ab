#!/usr/bin/env bash
# Runs the whole suite on the shipped 32-bit build (build/x64/i686) under
# 32-bit Wine through qemu (tools/with-wine32.sh). tools/test.sh runs it
# after the 64-bit suite, once the set-up (tools/setup.sh --32-bit) and the
# build (with DOWNLOADER_TESTS_I686) are done; arguments go to ctest.
set -euo pipefail
source "$(dirname "$0")/env.sh"
exec bash "$ROOT/tools/with-wine32.sh" ctest --test-dir "$BUILD_I686" --output-on-failure "$@"
