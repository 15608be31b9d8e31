#!/usr/bin/env bash
# ptt_table.sh [BUILD_DIR]: PTT and voice latency of a gm360 gateway end to end,
# measured inside a box with a GM360 head, beside the box's own request cost.
set -euo pipefail
dir=${1:-build}
bench=$dir/bench/ptt_latency
[ -x "$bench" ] || { echo "build $bench first" >&2; exit 1; }
sock=$(mktemp -u /tmp/ptt-bench.XXXXXX.sock)
out=$("$dir/bin/boardbox" --tty1 gm360 --control "$sock" -- "$bench" "${PTT_PRESSES:-100}")
grep -E '^\||^[ (]' <<<"$out"
if [ -n "${BENCH_SUMMARY:-}" ]; then
  awk -F'|' '
    function f(s) { gsub(/ /, "", s); return s + 0 }
    /GPIO 0x1000 low -> server PTT callback/ { cb = f($5) }
    /PTT callback -> first voice packet/ { v = f($5) }
    /server marker -> first loud sample/ { d = f($5) }
    /-> first marker sample leaves the port/ { q = f($5) }
    /depth [0-9]+ =/ { match($0, /depth [0-9]+/); depth = substr($0, RSTART + 6, RLENGTH - 6) + 0 }
    END {
      goal = depth * 20 + 42
      printf "PTT callback -> first voice packet p99 (ms)\t%.1f\tGPIO -> PTT callback p99 %.1f\t<= 20 (1 block)\t%s\n",
        v, cb, (v <= 20 ? "ok" : "over")
      printf "server -> loudspeaker p99 (ms)\t%.1f\tdevice queue p99 %.1f\t<= %d (depth %d)\t%s\n",
        d, q, goal, depth, (d <= goal ? "ok" : "over")
    }' <<<"$out" >>"$BENCH_SUMMARY"
fi
