#!/usr/bin/env bash
# board_vm_table.sh [BUILD_DIR]: the gateway as shipped in the ARM926 test
# machine (scripts/board-vm --icount): gwlinkd's CPU time over a window of
# two-way voice, read from the guest's /proc, per 20 ms period of the SSC and
# as a share of the board's 200 MHz ARM926 (one instruction a cycle, 5 ns, fifty
# periods a second), beside the whole guest's busy
# share; and the time from starting qemu to the gateway's login at gatesimd.
# BOARD_VM_SECONDS (default 10) sets the voice window, BOARD_VM_RADIO the type
# (default gm360).
#
# The model: qemu counts guest instructions exactly (-icount shift=2, 4 ns
# each), and the guest's clocks run on that count, so the daemon's CPU time in
# the guest is its instruction count. A real ARM926EJ-S needs more than one
# cycle for many instructions (loads 1-2 with interlocks, taken branches 3,
# multiplies 2-5) and waits for SDRAM on every cache miss (8 KiB caches on the
# AT91SAM9260, a 100 MHz bus); qemu models neither caches nor bus timing, so
# the figure is a floor: a cycles-per-instruction of about 1.5, usual for
# this core on such code, puts the real share about half as high again.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
radio=${BOARD_VM_RADIO:-gm360}
seconds=${BOARD_VM_SECONDS:-10}
out=$dir/board-vm/$radio

skip() {
  echo "board_vm: skipped: $*"
  if [ -n "${BENCH_SUMMARY:-}" ]; then
    printf 'gwlinkd CPU, ARM926 VM, two-way voice\t-\t-\t< 5 %%\tskipped: %s\n' "$1" >>"$BENCH_SUMMARY"
  fi
  exit 0
}

[ -x scripts/image ] || skip "no scripts/image in this tree"
GW_BUILD_DIR=$dir scripts/board-vm --radio "$radio" --seconds "$seconds" --icount --quick >"$dir/board-vm.log" 2>&1 ||
  { tail -n 40 "$dir/board-vm.log"; skip "the run failed (see $dir/board-vm.log)"; }
grep '^board-vm: ' "$dir/board-vm.log"
read -r board guest span machine per_period <"$out/cpu-share"
login=$(cat "$out/boot-to-login")
verdict=$(awk -v b="$board" 'BEGIN { print (b < 5 ? "met" : "NOT met") }')
echo "gwlinkd: $per_period instructions per 20 ms period, $board % of a 200 MHz ARM926 ($guest % of the guest's clock over $span s); the whole guest $machine % busy"
echo "boot to login: $login s (qemu's start to gatesimd's login line, on the instruction clock)"
if [ -n "${BENCH_SUMMARY:-}" ]; then
  printf 'gwlinkd CPU, ARM926 VM, two-way voice\t%s %%\tguest busy %s %%\t< 5 %%\t%s\n' "$board" "$machine" "$verdict" >>"$BENCH_SUMMARY"
  printf 'ARM926 VM boot to login\t%s s\t-\trecord\t\n' "$login" >>"$BENCH_SUMMARY"
fi
