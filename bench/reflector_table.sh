#!/usr/bin/env bash
# reflector_table.sh [BUILD_DIR]: the latency the reflector link adds to a
# site's voice: a tone from a gateway's microphone to another gateway of the
# same site, and to a gateway of a second site through the real svxreflector
# (REFLECTOR_TONES tones, default 50), per tone the difference.
set -euo pipefail
dir=${1:-build}
bench=$dir/bench/reflector_latency
[ -x "$bench" ] || { echo "build $bench first" >&2; exit 1; }
out=$("$bench" "${REFLECTOR_TONES:-50}")
grep -E '^\||^[ (]' <<<"$out"
if [ -n "${BENCH_SUMMARY:-}" ]; then
  awk -F'|' '
    function f(s) { gsub(/ /, "", s); return s + 0 }
    /mic A1 -> loudspeaker A2/ { one = f($5) }
    /added by the bridges/ { added = f($5); p50 = f($4) }
    END {
      printf "reflector link added latency p99 (ms)\t%.1f\tone site p99 %.1f, added p50 %.1f\t<= 60\t%s\n",
        added, one, p50, (added <= 60 ? "ok" : "over")
    }' <<<"$out" >>"$BENCH_SUMMARY"
fi
