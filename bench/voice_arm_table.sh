#!/usr/bin/env bash
# voice_arm_table.sh [BUILD_DIR] [ARMEL_BUILD_DIR]: ARM instructions per call of
# the voice path's operations on the board's core (ARM926EJ-S), each beside its
# reference built the same way (table G.711, spandsp, OpenSSL's AES from the
# armel tree), the GSM and Speex codecs per frame, and the sum over one 20 ms
# period of two-way voice against its budget: 1% of a 200 MHz ARM9, 40,000
# instructions. Exact counts under qemu-arm; see bench/voice_arm_count.cpp for
# the method and its self-check. BUILD_DIR (the host build) is not used; the
# armel build defaults to build-armel (scripts/build-armel build-armel
# -DGW_BUILD_BENCH=ON makes it).
set -euo pipefail
cd "$(dirname "$0")/.."
armel=${2:-build-armel}
count=$armel/bench/voice_arm_count
sysroot=$armel/sysroot

skip() {
  echo "voice_arm: skipped: $*"
  if [ -n "${BENCH_SUMMARY:-}" ]; then
    printf 'voice period on ARM926 (ARM instr)\t-\t-\t< 40000\tskipped: %s\n' "$1" >>"$BENCH_SUMMARY"
  fi
  exit 0
}

command -v qemu-arm >/dev/null || skip "no qemu-arm (apt-get install qemu-user)"
[ -f "$armel/CMakeCache.txt" ] && [ -d "$sysroot" ] ||
  skip "no armel build in $armel (scripts/build-armel $armel -DGW_BUILD_BENCH=ON)"
# Keep the counter in step with the sources; a tree configured without the
# benches has no such target.
nice -n 19 cmake --build "$armel" --target voice_arm_count >/dev/null 2>&1 ||
  skip "cannot build voice_arm_count in $armel (configure it with -DGW_BUILD_BENCH=ON)"

qemu=(qemu-arm -cpu arm926 -L "$sysroot")
# OpenSSL's software AES: no capability bits (ARMv5 has none anyway).
export OPENSSL_armcap=0
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"${qemu[@]}" "$count" list >"$tmp/list"

# One line per executed instruction; each run of armcount_mark lines opens or
# closes the next window.
"${qemu[@]}" -singlestep -d exec,nochain -D /dev/stdout "$count" run |
  mawk '
    /armcount_mark$/ { if (!mark) { if (open) { print c; open = 0 } else { open = 1; c = 0 } } mark = 1; next }
    { mark = 0; if (open) c++ }' >"$tmp/windows"

paste -d' ' "$tmp/list" "$tmp/windows" | awk '
  function cell(v) { return v == "" ? "-" : v }
  function ratio(a, b) { return (a == "" || b == "" || b + 0 == 0) ? "-" : sprintf("%.2f", a / b) }
  { name[NR] = $1; ref[$1] = $2; calls[$1] = $3; win[$1] = $4; n = NR }
  END {
    if (n == 0 || win["empty"] == "") { print "voice_arm: no counts (did the counter run?)"; exit 1 }
    per = (win["empty"] - win["empty_8"]) / 8   # one pass of the loop and the call
    fixed = win["empty"] - 16 * per             # the window itself
    for (i = 1; i <= n; i++) {
      op = name[i]
      ins[op] = (win[op] - fixed) / calls[op] - per
      if (ins[op] == int(ins[op])) ins[op] = sprintf("%d", ins[op]); else ins[op] = sprintf("%.1f", ins[op])
    }
    check = ins["selfcheck_loop_3000"] - ins["selfcheck_loop_1000"]
    printf "self-check: a 2-instruction loop 3000 vs 1000 times: %s more instructions per call (exact: 4000) %s\n",
      check, check == 4000 ? "ok" : "FAILED"
    checkCalls = ins["selfcheck_calls_3000"] - ins["selfcheck_calls_1000"]
    printf "self-check: a 4-instruction loop with an indirect call, 3000 vs 1000 times: %s more (exact: 8000) %s\n",
      checkCalls, checkCalls == 8000 ? "ok" : "FAILED"
    fmt = "%-28s %10s  %-28s %10s %7s\n"
    printf fmt, "operation (per call)", "ARM instr", "reference", "ARM instr", "x"
    for (i = 1; i <= n; i++) {
      op = name[i]
      if (op ~ /^(empty|selfcheck)/) continue
      r = ref[op]
      if (r != "-")
        printf fmt, op, ins[op], r, ins[r], ratio(ins[op], ins[r])
      else if (op ~ /^(ssc_|rtp_parse)/)
        printf fmt, op, ins[op], "-", "", ""
    }
    printf fmt, "spandsp_g711_encode_160", ins["spandsp_g711_encode_160"], "(second G.711 reference)", "", ""
    printf fmt, "spandsp_g711_decode_160", ins["spandsp_g711_decode_160"], "(second G.711 reference)", "", ""

    # One 20 ms period, both directions, as the voice engine runs it with
    # A-law; both ciphers are counted although a 175-byte wrapped packet is
    # never passed through the passphrase cipher, so the sum is an upper bound.
    split("ssc_unpack_160 alaw_encode_160 rtp_build_serialize_free aes_wrap_172 passphrase_encrypt_172 " \
          "passphrase_decrypt_172 rtp_parse_free_172 jitter_put_get rtp_serialize_172 aes_unwrap_175 " \
          "alaw_decode_160 ssc_pack_160", part, " ")
    split("- g711_table_encode_160 memcpy_172 openssl_aes128_encrypt_160 openssl_aes128_encrypt_160 " \
          "openssl_aes128_decrypt_160 - deque_push_pop memcpy_172 openssl_aes128_decrypt_160 " \
          "g711_table_decode_160 -", partRef, " ")
    printf "\none 20 ms period of two-way voice (A-law, 160 samples each way)\n"
    fmt2 = "%-28s %10s  %-28s %10s\n"
    printf fmt2, "step", "ARM instr", "reference step", "ARM instr"
    total = 0; refTotal = 0
    for (i = 1; i in part; i++) {
      p = part[i]; r = partRef[i] == "-" ? p : partRef[i]
      total += ins[p]; refTotal += ins[r]
      printf fmt2, p, ins[p], r, ins[r]
    }
    printf fmt2, "total", total, "references", refTotal
    pass = ins["passphrase_encrypt_172"] + ins["passphrase_decrypt_172"]
    key = ins["aes_wrap_172"] + ins["aes_unwrap_175"]
    printf "as run (one cipher at most on a packet): voice key %d, passphrase %d, neither %d\n", total - pass,
      total - key, total - pass - key
    verdict = total < 40000 ? "met" : "NOT met"
    printf "budget: %d instructions (1%% of 200 MHz for 20 ms): %s, %.2f%% of the core\n", 40000, verdict,
      total / 40000
    if (ENVIRON["BENCH_SUMMARY"] != "") {
      s = ENVIRON["BENCH_SUMMARY"]
      printf "voice period on ARM926 (ARM instr)\t%d\trefs %d (x %s)\t< 40000\t%s\n", total, refTotal,
        ratio(total, refTotal), verdict >>s
      split("alaw_encode_160 alaw_decode_160 aes_wrap_172 aes_unwrap_175 passphrase_encrypt_172", rows, " ")
      for (i = 1; i in rows; i++)
        printf "%s (ARM instr)\t%s\t%s %s\trecord (x %s)\t\n", rows[i], ins[rows[i]], ref[rows[i]],
          ins[ref[rows[i]]], ratio(ins[rows[i]], ins[ref[rows[i]]]) >>s
      split("gsm_encode gsm_decode speex_encode speex_decode", rows, " ")
      for (i = 1; i in rows; i++)
        printf "%s per frame (ARM instr)\t%s\t%s %s\trecord\t\n", rows[i], ins[rows[i]], ref[rows[i]],
          ins[ref[rows[i]]] >>s
    }
    if (check != 4000 || checkCalls != 8000) exit 1
  }'
