#!/usr/bin/env bash
# firmware_upgrade.sh BUILD_DIR: the whole firmware page path in a box. An
# image (a 10000-byte kernel, the root file system left alone, the
# configuration partition erased) is uploaded to gwwebd, passes fwwriter's
# check, is confirmed, and fwwriter --upgrade writes the flash and reboots the
# board, which ends the box. The partitions are then checked byte for byte.
set -euo pipefail

if [ "${1:-}" = "--inside" ]; then
  build=$2 image=$3
  export PATH=$build/bin:$PATH
  [ "$(ls /sys/class/net)" = "lo" ] || { echo "not in an isolated box" >&2; exit 1; }
  gwcfg reset
  gwwebd --port 8080 --bind 127.0.0.1 &
  u=http://127.0.0.1:8080
  for _ in $(seq 1 200); do curl -s -o /dev/null "$u/login" && break; sleep 0.05; done
  curl -s -c /run/cj -H 'Content-Type: application/json' -d '{"password":"qzv"}' "$u/api/login" >/run/login
  csrf=$(sed 's/.*"csrf":"\([0-9a-f]*\)".*/\1/' /run/login)
  # Without the check passed, no upgrade.
  code=$(curl -s -o /dev/null -w '%{http_code}' -b /run/cj -H "X-CSRF-Token: $csrf" \
    -d '{"confirm":"upgrade"}' "$u/api/firmware/upgrade")
  [ "$code" = 409 ] || { echo "upgrade before any upload answered $code"; exit 1; }
  curl -s -b /run/cj -H "X-CSRF-Token: $csrf" -H 'Content-Type: application/octet-stream' \
    --data-binary @"$image" "$u/api/firmware" >/run/verdict
  grep -q 'upgrade looks fine' /run/verdict || { echo "not passed: $(cat /run/verdict)"; exit 1; }
  code=$(curl -s -o /dev/null -w '%{http_code}' -b /run/cj -H "X-CSRF-Token: $csrf" -d '{}' \
    "$u/api/firmware/upgrade")
  [ "$code" = 400 ] || { echo "upgrade without confirmation answered $code"; exit 1; }
  code=$(curl -s -o /dev/null -w '%{http_code}' -b /run/cj -H "X-CSRF-Token: $csrf" \
    -d '{"confirm":"upgrade"}' "$u/api/firmware/upgrade")
  [ "$code" = 202 ] || { echo "confirmed upgrade answered $code"; exit 1; }
  # fwwriter reboots the board, which ends this box; anything else is a fault.
  for _ in $(seq 1 600); do sleep 0.1; done
  echo "the board did not reboot"
  exit 1
fi

build=$(cd "${1:?BUILD_DIR}" && pwd)
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
/usr/bin/python3 - "$dir/image" "$dir/kernel" <<'PY'
import struct, sys
kernel = bytes((i * 7 + 3) & 0xFF for i in range(10000))
header = b"DovGWIM\0" + struct.pack("<IIIiiii", 3, 0x00010000, 0, 0, len(kernel), -1, 0)
open(sys.argv[1], "wb").write(header + kernel)
open(sys.argv[2], "wb").write(kernel)
PY
: >"$dir/ram0"
set +e
"$build/bin/boardbox" --ram0 "$dir/ram0:1M" --mtd "$dir/mtd" -- bash "$0" --inside "$build" "$dir/image" \
  >"$dir/out" 2>&1
status=$?
set -e
cat "$dir/out"
fail() { echo "firmware_upgrade: FAIL: $*"; exit 1; }
grep -q 'boardbox: the board rebooted' "$dir/out" || fail "no reboot (box status $status)"
# The kernel partition: the data, zero padded to 8192-byte blocks, then erased.
cmp -n 10000 "$dir/kernel" "$dir/mtd/mtd3" || fail "mtd3 does not hold the kernel"
[ "$(head -c 16384 "$dir/mtd/mtd3" | tail -c 6384 | tr -d '\0' | wc -c)" = 0 ] || fail "mtd3 padding is not zero"
[ "$(tail -c +16385 "$dir/mtd/mtd3" | tr -d '\377' | wc -c)" = 0 ] || fail "mtd3 beyond the data is not erased"
[ "$(tr -d '\377' <"$dir/mtd/mtd4" | wc -c)" = 0 ] || fail "mtd4 (left alone) was written"
[ "$(tr -d '\377' <"$dir/mtd/mtd5" | wc -c)" = 0 ] || fail "mtd5 is not erased"
echo "firmware_upgrade: the confirmed image reached the flash and the board rebooted"
