#!/usr/bin/env bash
# Times velmor-mkiso against genisoimage -J and xorriso -as mkisofs -J, and against plain cat of
# the same files into one file (what the disks allow), on two reference trees:
#   big:   1 GiB in 32 files
#   small: 100,000 files of 1 KiB in 2,000 folders
# Every tool writes each image RUNS times (default 5), first as a new file and then over the file
# it has just written. The tools take turns within each round, so the machine's load and cache
# state fall on all of them alike; before each timed run the outputs are removed (for a new file)
# and everything is synced, outside the timing. For each peer the ratio velmor-mkiso ÷ peer is
# taken within each round and the median of the rounds printed (of wall time, and of processor
# time, the steadier figure on a shared machine), as are the median times and each tool's
# replace ÷ new. Images go to a temporary folder, removed at the end. With UDF=1, velmor-mkiso
# and genisoimage add a UDF bridge (-udf); xorriso, which writes none, stays as it is.
#   bench/compare-peers.sh [build dir] (default build/host)
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/timing.sh
udf=${UDF:+-udf}
start_writer_bench "${1:-}"

echo "making reference trees in $work" >&2
make_trees "$work"

tools=(velmor-mkiso genisoimage xorriso cat)
build_image() { # TOOL TREE OUTPUT
  case $1 in
  velmor-mkiso) "$mkiso" -o "$3" -V BENCH $udf "$2" ;;
  genisoimage) genisoimage -quiet -J $udf -V BENCH -o "$3" "$2" ;;
  xorriso) xorriso -as mkisofs -quiet -J -V BENCH -o "$3" "$2" ;;
  cat) catall "$2" "$3" ;;
  esac
}

cd "$work"
out="$work/out.iso"
printf '%-6s %-13s %8s %8s %8s %12s %14s\n' tree tool new replace cpu 'replace÷new' 'velmor-mkiso÷'
for tree in big small; do
  declare -A new=() replaced=() cpu=()
  for round in $(seq "$runs"); do
    # Each round starts with the next tool, so that no tool always follows the same one.
    for k in "${!tools[@]}"; do
      tool=${tools[$(((k + round) % ${#tools[@]}))]}
      read -r w c <<<"$(timed_run "$out" new build_image "$tool" "$tree" "$out")"
      new[$tool]+="$w " cpu[$tool]+="$c "
      read -r w c <<<"$(timed_run "$out" keep build_image "$tool" "$tree" "$out")"
      replaced[$tool]+="$w "
      rm -f "$out"
    done
    echo "$tree: round $round of $runs done" >&2
  done
  read -ra v <<<"${new[velmor-mkiso]}"
  read -ra vc <<<"${cpu[velmor-mkiso]}"
  for tool in "${tools[@]}"; do
    read -ra n <<<"${new[$tool]}"
    read -ra r <<<"${replaced[$tool]}"
    read -ra c <<<"${cpu[$tool]}"
    pairs=() cpairs=() own=()
    for i in "${!n[@]}"; do
      pairs+=("$(ratio "${v[$i]}" "${n[$i]}")")
      cpairs+=("$(ratio "${vc[$i]}" "${c[$i]}")")
      own+=("$(ratio "${r[$i]}" "${n[$i]}")")
    done
    versus="$(median "${pairs[@]}") (cpu $(median "${cpairs[@]}"))"
    [ "$tool" = velmor-mkiso ] && versus=""
    printf '%-6s %-13s %7.2fs %7.2fs %7.2fs %12s %14s\n' "$tree" "$tool" "$(median "${n[@]}")" \
      "$(median "${r[@]}")" "$(median "${c[@]}")" "$(median "${own[@]}")" "$versus"
  done
  unset new replaced cpu
done
echo "new, replace: median wall seconds; cpu: median processor seconds of a new image;" \
  "ratios: medians of the rounds' ratios (wall, then processor time)"
