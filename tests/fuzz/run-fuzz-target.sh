#!/usr/bin/env bash
# Usage: run-fuzz-target.sh WORK-FOLDER NAME RUNS SOURCE... Builds the fuzz target tests/fuzz/NAME.cpp
# with the given product sources natively with clang (libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer), then runs RUNS inputs from the seeds in tests/fuzz/seeds/NAME and the
# corpus it grew in WORK-FOLDER before. Everything it writes stays in WORK-FOLDER.
set -euo pipefail
work=$1 name=$2 runs=$3
shift 3
root=$(cd "$(dirname "$0")/../.." && pwd)
mkdir -p "$work/$name-corpus"
target=$work/$name
sources=("$root/tests/fuzz/$name.cpp")
for source in "$@"; do sources+=("$root/$source"); done
rebuild=
[ -x "$target" ] || rebuild=1
for source in "${sources[@]}" "$root/download/HeaderRules.h" "$root/devices/DevicePathIds.h"; do
    [ "$source" -nt "$target" ] && rebuild=1
done
if [ -n "$rebuild" ]; then
    clang++ -std=c++17 -g -O1 -Wall -Wextra -Werror -fsanitize=fuzzer,address,undefined \
        -fno-sanitize-recover=all -I"$root" "${sources[@]}" -o "$target"
fi
# The run is bounded by its inputs; the time limit only guards a machine that is far slower.
status=0
"$target" -runs="$runs" -seed=1 -max_len=512 -timeout=10 -max_total_time=35 -print_final_stats=1 \
    -artifact_prefix="$work/$name-" "$work/$name-corpus" "$root/tests/fuzz/seeds/$name" >"$work/$name.log" 2>&1 ||
    status=$?
grep -E '^(#[0-9]+[[:space:]]+(INITED|DONE)|Done|stat::number_of_executed_units|stat::new_units_added)' "$work/$name.log" || true
if [ "$status" -ne 0 ]; then
    tail -n 40 "$work/$name.log"
    echo "FAILED: $name found a fault (status $status); the input is in $work"
    exit 1
fi
