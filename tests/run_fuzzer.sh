#!/usr/bin/env bash
# What the fuzz.sh scripts share: builds a libFuzzer target (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build/fuzz, fuzzes from the kept corpus of its test folder, then
# writes the smallest set of inputs that covers the same edges to build/fuzz/<target>-merged
# (to keep what was found, replace the kept corpus with it but for the reproducer-* files: inputs
# that once failed, or would if a check went, cover nothing new and the merge drops them).
#   tests/run_fuzzer.sh <target> <test folder> <max input bytes> [seconds]   (default 300)
set -euo pipefail
cd "$(dirname "$0")/.."
target=$1 folder=tests/$2 max_len=$3 seconds=${4:-300}
build=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target "$target" -j 2
fuzzer="$build/$folder/$target"
work="$build/$target-corpus"
mkdir -p "$work"
cp "$folder"/fuzz_corpus/* "$work/"
"$fuzzer" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -print_final_stats=1 "$work"
fresh="$build/$target-merged"
rm -rf "$fresh" && mkdir -p "$fresh"
"$fuzzer" -merge=1 -use_counters=0 "$fresh" "$folder"/fuzz_corpus "$work"
echo "merged corpus: $(ls "$fresh" | wc -l) inputs in $fresh"
