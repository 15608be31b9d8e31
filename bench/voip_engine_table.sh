#!/usr/bin/env bash
# voip_engine_table.sh [BUILD_DIR]: CPU time of the whole voice engine per
# second of two-way A-law voice (a tone captured and sent, a peer's tone
# received and played), beside the bare PCM port pump measured in the same box
# run. The engine needs "/dev/ssc0" and UDP port 8000, so it runs in a box.
set -euo pipefail
dir=${1:-build}
bench=$dir/bench/voip_engine_bench
box=$dir/bin/boardbox
[ -x "$bench" ] && [ -x "$box" ] || { echo "build $bench and $box first" >&2; exit 1; }

"$box" --capture tone:1000 -- "$bench" --benchmark_format=csv 2>/dev/null |
  awk -F, '
    NR == 1 { for (i = 1; i <= NF; i++) { h = $i; gsub(/"/, "", h); col[h] = i }; next }
    /^"BM_/ {
      name = $1; gsub(/"/, "", name); sub(/\/.*/, "", name)
      cpu[name] = $col["cpu_ms_per_voice_s"]
      sent[name] = $col["engine_sent"]; peer[name] = $col["peer_sent"]
    }
    END {
      fmt = "%-34s %14s  %-26s %14s %7s\n"
      printf fmt, "measure", "cpu ms per s", "reference", "cpu ms per s", "x"
      e = cpu["BM_VoipTwoWay"]; r = cpu["BM_SscPumpOnly"]
      printf fmt, "voice engine, two-way A-law", sprintf("%.2f", e), "bare PCM port pump", sprintf("%.2f", r),
        (r > 0 ? sprintf("%.2f", e / r) : "-")
      printf "(packets in 5 s: engine sent %d, peer sent %d)\n", sent["BM_VoipTwoWay"], peer["BM_VoipTwoWay"]
      if (ENVIRON["BENCH_SUMMARY"] != "")
        printf "voice engine two-way CPU (ms per s)\t%.2f\tbare PCM port pump %.2f\trecord (x %s)\t\n", e, r,
          (r > 0 ? sprintf("%.2f", e / r) : "-") >>ENVIRON["BENCH_SUMMARY"]
    }'
