#!/usr/bin/env bash
# gatesim_table.sh [BUILD_DIR]: libgatesim's voice relay inside a box, with 10,
# 100 and 500 gateways logged in and one talker at 50 packets a second.
set -euo pipefail
dir=${1:-build}
bench=$dir/bench/gatesim_load_bench
box=$dir/bin/boardbox
[ -x "$bench" ] && [ -x "$box" ] || { echo "build $bench and $box first" >&2; exit 1; }

"$box" -- "$bench" --benchmark_format=csv 2>/dev/null |
  awk -F, '
    /^name,/ { gsub(/"/, ""); for (i = 1; i <= NF; i++) col[$i] = i; next }
    /^"/ {
      gsub(/"/, "", $1); split($1, p, "/")
      if (!hdr++) printf "%-8s %10s %10s %6s %12s %12s %12s %12s %12s\n", "gateways", "p50 us", "p99 us",
        "lost", "cpu us/pkt", "cpu us/copy", "rss KiB/gw", "vsz KiB/gw", "stack KiB/gw"
      printf "%-8s %10.0f %10.0f %6d %12.0f %12.1f %12.1f %12.0f %12.0f\n", p[2], $col["p50_us"], $col["p99_us"],
        $col["lost"], $col["cpu_us_per_pkt"], $col["cpu_us_per_copy"], $col["rss_kib_per_gw"],
        $col["vsz_kib_per_gw"], $col["stack_kib_per_gw"]
    }'
