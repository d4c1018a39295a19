#!/usr/bin/env bash
# Guards the writer's speed: velmor-mkiso writing a new 1 GiB image of 32 files against cat of
# the same files into one file, RUNS pairs (default 5) taking turns, outputs removed and the
# disk synced before each timed run. Fails (status 1, with a loud message) when the median of
# the pairs' ratios velmor-mkiso ÷ cat of wall time is above LIMIT (default 1.3). Not part of the
# test run: timings belong on a quiet machine.
#   bench/mkiso-vs-cat.sh [build dir] (default build/host)
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/timing.sh
limit=${LIMIT:-1.3}
start_writer_bench "${1:-}"

make_trees "$work" big
out="$work/out.iso"
walls=() cpus=()
for i in $(seq "$runs"); do
  if [ $((i % 2)) -eq 1 ]; then # alternate which of the two goes first
    read -r vw vc <<<"$(timed_run "$out" new "$mkiso" -o "$out" -V BENCH "$work/big")"
    read -r cw cc <<<"$(timed_run "$out" new catall "$work/big" "$out")"
  else
    read -r cw cc <<<"$(timed_run "$out" new catall "$work/big" "$out")"
    read -r vw vc <<<"$(timed_run "$out" new "$mkiso" -o "$out" -V BENCH "$work/big")"
  fi
  rm -f "$out"
  walls+=("$(ratio "$vw" "$cw")") cpus+=("$(ratio "$vc" "$cc")")
  echo "pair $i: velmor-mkiso ${vw}s (cpu ${vc}s), cat ${cw}s (cpu ${cc}s), ratio ${walls[-1]}"
done
m=$(median "${walls[@]}")
echo "velmor-mkiso ÷ cat, median of $runs pairs: $m (limit $limit); processor time: $(median "${cpus[@]}")"
if awk -v m="$m" -v l="$limit" 'BEGIN { exit !(m > l) }'; then
  echo "FAIL: velmor-mkiso writes a new image $m times as slowly as cat (limit $limit)" >&2
  exit 1
fi
