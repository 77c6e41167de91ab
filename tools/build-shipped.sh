#!/usr/bin/env bash
# Builds the shipped 32-bit program on its own, without the 64-bit build and
# the tests, into FOLDER/app/QuilloCamKitDL.exe (FOLDER is build/i686 unless
# given): Release, stripped, statically linked, exactly as the tested
# build's 32-bit sub-build makes it. Its header is dated by the commit (or
# by SOURCE_DATE_EPOCH when set), so that the same sources give the same
# bytes in any folder.
set -euo pipefail
source "$(dirname "$0")/env.sh"
folder=${1:-$ROOT/build/i686}

"$ROOT/tools/setup.sh" --shipped
cmake -S "$ROOT" -B "$folder" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$folder" --target QuilloCamKitDL -j"$(nproc)"
echo "$folder/app/QuilloCamKitDL.exe"
