#!/usr/bin/env bash
# Builds the shipped 32-bit program on its own, without the 64-bit build and
# the tests, into build/i686/app/QuilloCamKitDL.exe: Release, stripped,
# statically linked, exactly as the tested build's 32-bit sub-build makes it.
set -euo pipefail
source "$(dirname "$0")/env.sh"

"$ROOT/tools/setup.sh" --shipped
cmake -S "$ROOT" -B "$ROOT/build/i686" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$ROOT/build/i686" --target QuilloCamKitDL -j"$(nproc)"
echo "$ROOT/build/i686/app/QuilloCamKitDL.exe"
