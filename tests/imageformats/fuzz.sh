#!/usr/bin/env bash
# Fuzzes image detection, the descriptor readers and the layout record with libFuzzer, starting
# from tests/imageformats/fuzz_corpus; the merged corpus lands in
# build/fuzz/image_formats_fuzzer-merged.
#   tests/imageformats/fuzz.sh [seconds]      (default 300)
exec "$(dirname "$0")/../run_fuzzer.sh" image_formats_fuzzer imageformats 65536 "$@"
