#!/usr/bin/env bash
# Usage: run-fuzz-target.sh WORK-FOLDER NAME RUNS SOURCE... Builds tests/fuzz/NAME.cpp with the product
# SOURCEs natively with clang, libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer, and runs RUNS
# inputs from tests/fuzz/seeds and the corpus grown in WORK-FOLDER, where everything it writes stays.
set -euo pipefail
work=$1 name=$2 runs=$3 root=$(cd "$(dirname "$0")/../.." && pwd)
shift 3
mkdir -p "$work/corpus"
clang++ -std=c++17 -g -O1 -Wall -Wextra -Werror -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -I"$root" "$root/tests/fuzz/$name.cpp" "${@/#/$root/}" -o "$work/$name"
# Bounded by the inputs; the time limit only guards a far slower machine.
status=0
"$work/$name" -runs="$runs" -seed=1 -max_len=256 -max_total_time=100 -print_final_stats=1 \
    -artifact_prefix="$work/" "$work/corpus" "$root/tests/fuzz/seeds" >"$work/$name.log" 2>&1 || status=$?
grep -E '^#[0-9]+[[:space:]]+DONE|^Done' "$work/$name.log" || tail -n 40 "$work/$name.log"
exit "$status"
