# shellcheck shell=bash
# Helpers of the benchmark scripts (sourced): timing one run from a clean start, medians, and the
# reference trees.

# Wall seconds and processor seconds (user + system; on a shared machine the steadier figure) of
# one run of a command, as "WALL CPU". OUTPUT is removed first unless the mode is "keep" (then
# the run replaces it), and everything is flushed to the disk before the clock starts, so that one
# run's write-back does not land in the next one's time.
#   timed_run OUTPUT new|keep COMMAND...
timed_run() {
  local output=$1 mode=$2
  shift 2
  [ "$mode" = keep ] || rm -f "$output"
  sync
  local t
  t=$( { TIMEFORMAT='%R %U %S'; time "$@" >/dev/null 2>&1; } 2>&1 )
  awk '{ printf "%s %.3f\n", $1, $2 + $3 }' <<<"$t"
}

# Some virtual machines give the memory that the guest frees back to the host a second later
# (free page reporting), and the first touch of such memory then costs host page faults: copies
# into new page cache run at a tenth of their speed. A run that starts a second or two after the
# last outputs were removed (a program under Wine, whose start-up comes first) pays for it where
# a peer started at once does not. Where the machine reports free pages and this runs as root,
# the reporting is held off during the benchmark (nothing of the largest order the allocator
# frees qualifies) and restored at exit; KEEP_PAGE_REPORTING=1 measures with it.
page_reporting=/sys/module/page_reporting/parameters/page_reporting_order
hold_page_reporting() {
  saved_page_reporting=""
  [ -z "${KEEP_PAGE_REPORTING:-}" ] && [ -w "$page_reporting" ] || return 0
  saved_page_reporting=$(cat "$page_reporting")
  echo 11 >"$page_reporting"
  echo "free page reporting held off during the run (KEEP_PAGE_REPORTING=1 keeps it)" >&2
}
restore_page_reporting() {
  [ -z "${saved_page_reporting:-}" ] || echo "$saved_page_reporting" >"$page_reporting"
}

# The common start of the writer benchmarks: `mkiso` of the build tree (default build/host),
# `runs` from RUNS (default 5), a `work` folder removed at exit, free page reporting held off.
#   start_writer_bench [build dir]
start_writer_bench() {
  mkiso=$(realpath "${1:-build/host}/isobuild/velmor-mkiso")
  runs=${RUNS:-5}
  work=$(mktemp -d "${TMPDIR:-/tmp}/velmor-bench-XXXXXX")
  trap 'restore_page_reporting; rm -rf "$work"' EXIT
  hold_page_reporting
}

# Median of the numbers given.
median() {
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 }
    END { if (NR == 0) exit 1; print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# A / B, to two decimals.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0) ? a / b : 0 }'; }

# Every file of a tree, in name order, into one file: what the disks allow.
catall() {
  find "$1" -type f -print0 | sort -z | xargs -0 cat >"$2"
}

# The reference trees under ROOT: big (1 GiB in 32 files) and, unless only "big" is asked for,
# small (100,000 files of 1 KiB in 2,000 folders).
#   make_trees ROOT [big]
make_trees() {
  python3 - "$1" "${2:-all}" <<'PY'
import os, sys
root, which = sys.argv[1], sys.argv[2]
chunk = os.urandom(1 << 20)
os.makedirs(f"{root}/big")
for i in range(32):
    with open(f"{root}/big/part{i:02d}.bin", "wb") as f:
        for k in range(32):
            f.write(bytes([i, k]) + chunk[2:])
if which != "big":
    small = os.urandom(1024 * 97)
    for d in range(2000):
        folder = f"{root}/small/folder{d // 50:02d}/sub{d:04d}"
        os.makedirs(folder)
        for n in range(50):
            with open(f"{folder}/file{n:02d}.txt", "wb") as f:
                off = (d * 50 + n) % 96 * 1024
                f.write(small[off:off + 1024])
PY
  sync
}
