#!/usr/bin/env bash
# The cost of the UDF bridge: velmor-mkiso writing a new image of each reference tree with -udf
# against the same image without it, RUNS pairs (default 5) taking turns, outputs removed and
# the disk synced before each timed run. Prints, per tree, the median of the pairs' ratios of
# wall time and of processor time, and the ratio of the image sizes: with small files the bridge
# adds a file entry (one sector) per file, so that tree's image grows and its time with it.
# Fails (status 1, with a loud message) when the big tree's median wall ratio is above LIMIT
# (default 1.1). Not part of the test run: timings belong on a quiet machine.
#   bench/udf-vs-plain.sh [build dir] (default build/host); TREES="big" skips the small tree
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/timing.sh
limit=${LIMIT:-1.1}
trees=${TREES:-big small}
start_writer_bench "${1:-}"

case $trees in *small*) make_trees "$work" ;; *) make_trees "$work" big ;; esac
out="$work/out.iso"
status=0
for tree in $trees; do
  walls=() cpus=()
  for i in $(seq "$runs"); do
    if [ $((i % 2)) -eq 1 ]; then # alternate which of the two goes first
      read -r uw uc <<<"$(timed_run "$out" new "$mkiso" -o "$out" -V BENCH -udf "$work/$tree")"
      udfBytes=$(stat -c %s "$out")
      read -r pw pc <<<"$(timed_run "$out" new "$mkiso" -o "$out" -V BENCH "$work/$tree")"
      plainBytes=$(stat -c %s "$out")
    else
      read -r pw pc <<<"$(timed_run "$out" new "$mkiso" -o "$out" -V BENCH "$work/$tree")"
      plainBytes=$(stat -c %s "$out")
      read -r uw uc <<<"$(timed_run "$out" new "$mkiso" -o "$out" -V BENCH -udf "$work/$tree")"
      udfBytes=$(stat -c %s "$out")
    fi
    rm -f "$out"
    walls+=("$(ratio "$uw" "$pw")") cpus+=("$(ratio "$uc" "$pc")")
    echo "$tree pair $i: -udf ${uw}s (cpu ${uc}s), without ${pw}s (cpu ${pc}s), ratio ${walls[-1]}"
  done
  m=$(median "${walls[@]}")
  echo "$tree: -udf ÷ without, median of $runs pairs: $m; processor time: $(median "${cpus[@]}");" \
    "image size: $(ratio "$udfBytes" "$plainBytes")"
  if [ "$tree" = big ] && awk -v m="$m" -v l="$limit" 'BEGIN { exit !(m > l) }'; then
    echo "FAIL: with UDF a new image of the big tree takes $m times as long (limit $limit)" >&2
    status=1
  fi
done
exit $status
