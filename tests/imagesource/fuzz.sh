#!/usr/bin/env bash
# Fuzzes the CHD reader with libFuzzer, starting from tests/imagesource/fuzz_corpus (small CHDs
# chdman made, of every codec it writes); the merged corpus lands in
# build/fuzz/chd_image_fuzzer-merged.
#   tests/imagesource/fuzz.sh [seconds]      (default 300)
exec "$(dirname "$0")/../run_fuzzer.sh" chd_image_fuzzer imagesource 65536 "$@"
