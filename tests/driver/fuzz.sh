#!/usr/bin/env bash
# Fuzzes the driver's dispatch routines with libFuzzer, starting from tests/driver/fuzz_corpus;
# the merged corpus lands in build/fuzz/driver_fuzzer-merged.
#   tests/driver/fuzz.sh [seconds]      (default 300)
exec "$(dirname "$0")/../run_fuzzer.sh" driver_fuzzer driver 4096 "$@"
