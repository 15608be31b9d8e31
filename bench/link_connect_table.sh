#!/usr/bin/env bash
# link_connect_table.sh [BUILD_DIR]: binary server link timing on loopback, each
# figure beside a bare loopback connect and 20-byte round trip from the same run.
set -euo pipefail
dir=${1:-build}
bench=$dir/bench/link_connect_bench
[ -x "$bench" ] || { echo "build $bench first" >&2; exit 1; }

"$bench" --benchmark_format=csv --benchmark_min_time=0.5 2>/dev/null |
  awk -F, '
    /^"/ { gsub(/"/, "", $1); sub(/\/manual_time$/, "", $1); sub(/^BM_/, "", $1); t[$1] = $3; order[n++] = $1 }
    END {
      ref = t["ReferenceLoopbackConnectRoundTrip"]
      fmt = "%-34s %12s  %-34s %12s %8s\n"
      printf fmt, "measure", "us", "reference", "us", "x"
      for (i = 0; i < n; i++) {
        m = order[i]
        if (m == "ReferenceLoopbackConnectRoundTrip") continue
        printf fmt, m, sprintf("%.1f", t[m]), "loopback connect + round trip",
          sprintf("%.1f", ref), (ref > 0 ? sprintf("%.1f", t[m] / ref) : "-")
      }
    }'
