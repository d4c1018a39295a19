#!/usr/bin/env bash
# Fuzzes the driver's dispatch routines with libFuzzer (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer), starting from the kept corpus, then writes the smallest set of
# inputs that covers the same edges to build/fuzz/corpus-merged (copy it over
# tests/driver/fuzz_corpus to keep what was found).
#   tests/driver/fuzz.sh [seconds]      (default 300)
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-300}
build=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target driver_fuzzer -j 2
work="$build/corpus"
mkdir -p "$work"
cp tests/driver/fuzz_corpus/* "$work/"
"$build/tests/driver/driver_fuzzer" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
  -print_final_stats=1 "$work"
fresh="$build/corpus-merged"
rm -rf "$fresh" && mkdir -p "$fresh"
"$build/tests/driver/driver_fuzzer" -merge=1 -use_counters=0 "$fresh" tests/driver/fuzz_corpus "$work"
echo "merged corpus: $(ls "$fresh" | wc -l) inputs in $fresh"
