#!/usr/bin/env bash
# voice_codec_table.sh [BUILD_DIR]: one table of the per-frame costs of the
# codecs and voice transport pieces, each beside its reference from the same
# run: CPU nanoseconds (Google Benchmark) and instructions per call (callgrind).
set -euo pipefail
dir=${1:-build}
bench=$dir/bench/voice_codec_bench
instr=$dir/bench/voice_codec_instr
[ -x "$bench" ] && [ -x "$instr" ] || { echo "build $bench and $instr first" >&2; exit 1; }

# Software AES in OpenSSL: AES-NI, PCLMULQDQ and SSSE3 masked (see voice_codec_ops.h).
export OPENSSL_ia32cap="~0x200020200000000"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

"$bench" --benchmark_format=csv --benchmark_min_time=0.3 2>/dev/null |
  awk -F, '/^"/ { gsub(/"/, "", $1); print $1, $4 }' >"$tmp/ns"

: >"$tmp/instr"
if command -v valgrind >/dev/null; then
  while read -r op ref; do
    out=$tmp/cg.$op
    valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$out" \
      "$instr" "$op" 200 >/dev/null 2>&1 || continue
    total=$(awk '/^totals:/ { print $2 }' "$out")
    echo "$op $((total / 200))" >>"$tmp/instr"
  done < <("$instr")
fi

"$instr" | awk -v nsfile="$tmp/ns" -v infile="$tmp/instr" '
  function cell(v) { return v == "" ? "-" : v }
  function ratio(a, b) { return (a == "" || b == "" || b + 0 == 0) ? "-" : sprintf("%.2f", a / b) }
  BEGIN {
    while ((getline l < nsfile) > 0) { split(l, a, " "); ns[a[1]] = sprintf("%.1f", a[2]) }
    while ((getline l < infile) > 0) { split(l, a, " "); ins[a[1]] = a[2] }
    fmt = "%-26s %10s %10s  %-28s %10s %10s %7s %7s\n"
    printf fmt, "operation (per call)", "cpu ns", "instr", "reference", "cpu ns", "instr", "ns x", "instr x"
  }
  $2 != "-" {
    op = $1; ref = $2
    printf fmt, op, cell(ns[op]), cell(ins[op]), ref, cell(ns[ref]), cell(ins[ref]),
      ratio(ns[op], ns[ref]), ratio(ins[op], ins[ref])
    if (ENVIRON["BENCH_SUMMARY"] != "")
      printf "%s (x86 instr, callgrind)\t%s\t%s %s\trecord (x %s)\t\n", op, cell(ins[op]), ref, cell(ins[ref]),
        ratio(ins[op], ins[ref]) >>ENVIRON["BENCH_SUMMARY"]
  }
  $1 ~ /^spandsp/ {
    printf fmt, $1, cell(ns[$1]), cell(ins[$1]), "(second G.711 reference)", "", "", "", ""
  }'
