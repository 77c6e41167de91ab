#!/usr/bin/env bash
# Builds the shipped 32-bit program on its own, without the 64-bit build and
# the tests, into FOLDER/app/QuilloCamKitDL.exe (FOLDER is build/i686 unless
# given): Release, stripped, statically linked, exactly as the tested
# build's 32-bit sub-build makes it. Its header is dated by the commit (or
# by SOURCE_DATE_EPOCH when set), so that the same sources give the same
# bytes in any folder.
#
#   build-shipped.sh [FOLDER [INSTALLER]]
#
# INSTALLER pins the one installer the program starts unasked: the SHA-256
# Authenticode digest of the maker's signed installer, or that installer's
# file. Without it nothing is pinned, and every installer gets the question.
set -euo pipefail
source "$(dirname "$0")/env.sh"
folder=${1:-$ROOT/build/i686}
installer=${2:-}
pin=(-DINSTALLER_SHA256= -DINSTALLER_SIGNED=)
if [[ "$installer" =~ ^[0-9a-fA-F]{64}$ ]]; then
    pin=(-DINSTALLER_SHA256="$installer" -DINSTALLER_SIGNED=)
elif [ -n "$installer" ]; then
    pin=(-DINSTALLER_SHA256= -DINSTALLER_SIGNED="$(realpath "$installer")")
fi

"$ROOT/tools/setup.sh" --shipped
cmake -S "$ROOT" -B "$folder" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=Release "${pin[@]}" >/dev/null
cmake --build "$folder" --target QuilloCamKitDL -j"$(nproc)"
echo "$folder/app/QuilloCamKitDL.exe"
