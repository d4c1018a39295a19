#!/usr/bin/env bash
# Fuzzes the reader of an imported image's tree with libFuzzer, starting from
# tests/isobuild/fuzz_corpus; the merged corpus lands in build/fuzz/image_tree_fuzzer-merged.
#   tests/isobuild/fuzz.sh [seconds]      (default 300)
exec "$(dirname "$0")/../run_fuzzer.sh" image_tree_fuzzer isobuild 131072 "$@"
