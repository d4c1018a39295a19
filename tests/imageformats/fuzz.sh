#!/usr/bin/env bash
# Fuzzes image detection and the descriptor readers with libFuzzer (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer), starting from the kept corpus, then writes the smallest set of
# inputs that covers the same edges to build/fuzz/formats-corpus-merged (copy it over
# tests/imageformats/fuzz_corpus to keep what was found).
#   tests/imageformats/fuzz.sh [seconds]      (default 300)
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-300}
build=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target image_formats_fuzzer -j 2
fuzzer="$build/tests/imageformats/image_formats_fuzzer"
work="$build/formats-corpus"
mkdir -p "$work"
cp tests/imageformats/fuzz_corpus/* "$work/"
"$fuzzer" -max_total_time="$seconds" -max_len=65536 -timeout=10 -print_final_stats=1 "$work"
fresh="$build/formats-corpus-merged"
rm -rf "$fresh" && mkdir -p "$fresh"
"$fuzzer" -merge=1 -use_counters=0 "$fresh" tests/imageformats/fuzz_corpus "$work"
echo "merged corpus: $(ls "$fresh" | wc -l) inputs in $fresh"
