#!/usr/bin/env bash
# ptt_table.sh [BUILD_DIR]: PTT and voice latency of a gm360 gateway end to end,
# measured inside a box with a GM360 head, beside the box's own request cost.
set -euo pipefail
dir=${1:-build}
bench=$dir/bench/ptt_latency
[ -x "$bench" ] || { echo "build $bench first" >&2; exit 1; }
sock=$(mktemp -u /tmp/ptt-bench.XXXXXX.sock)
"$dir/bin/boardbox" --tty1 gm360 --control "$sock" -- "$bench" "${PTT_PRESSES:-100}" | grep -E '^\||^[ (]'
