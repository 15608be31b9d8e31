#!/usr/bin/env bash
# web_rss_table.sh [BUILD_DIR] [ARMEL_BUILD_DIR]: gwwebd's resident memory on the
# board's processor, measured with the armel build under qemu-arm inside a box
# (gwwebd is a product daemon) after a working session: login, 300 status
# polls, the configuration read and written, metrics, every page, a firmware
# upload. The figure is the resident part of the guest's address space (qemu-arm
# maps it at a base it logs; its own code and translation buffers lie outside
# and are not counted): the program, the libraries and loader it touched, its
# heap and stacks, in 4 KiB pages as on the board. It does not include kernel
# memory (socket buffers) and reads shared library pages as resident wherever
# the guest touched them, as the board's RSS would. Most of it is clean pages of
# files (reclaimable, and shared with every other process of the same
# libraries); the daemon's own memory is the anonymous part (heap, stacks,
# data), printed beside it. The reference is an idle C++ program of the same
# toolchain measured the same way: what glibc and libstdc++ cost any program.
# Goal: under 2 MiB.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
armel=${2:-build-armel}

skip() {
  echo "web_rss: skipped: $*"
  if [ -n "${BENCH_SUMMARY:-}" ]; then
    printf 'gwwebd RSS on armel (KiB)\t-\t-\t< 2048\tskipped: %s\n' "$1" >>"$BENCH_SUMMARY"
  fi
  exit 0
}

if [ "${1:-}" = "--inside" ]; then
  # In the box: $2 the host build, $3 the armel build.
  build=$2
  armel=$3
  port=8080
  "$build/bin/gwcfg" reset
  log=/run/qemu-page.log
  measure() { # PID: KiB resident and anonymous below 4 GiB (the guest)
    awk 'BEGIN { rss = 0; anon = 0 }
      /^[0-9a-f]+-[0-9a-f]+ / { split($1, r, "-"); low = (length(r[1]) <= 8) }
      low && /^Rss:/ { rss += $2 }
      low && /^Anonymous:/ { anon += $2 }
      END { print rss, anon }' "/proc/$1/smaps"
  }
  session() { # PORT
    local u=http://127.0.0.1:$1 cj=/run/cookies
    for _ in $(seq 1 200); do curl -s -o /dev/null "$u/login" && break; sleep 0.05; done
    curl -s -c $cj -H 'Content-Type: application/json' -d '{"password":"qzv"}' "$u/api/login" >/run/login
    local csrf
    csrf=$(sed 's/.*"csrf":"\([0-9a-f]*\)".*/\1/' /run/login)
    for p in / /status /config /firmware /app.css /app.js; do curl -s -o /dev/null -b $cj "$u$p"; done
    for _ in $(seq 1 300); do curl -s -o /dev/null -b $cj "$u/api/status"; done
    curl -s -o /dev/null -b $cj "$u/api/config"
    curl -s -o /dev/null -b $cj -H "X-CSRF-Token: $csrf" -X PUT -d '{"remote_port":5600,"blocked":["bob"]}' "$u/api/config"
    curl -s -o /dev/null -b $cj "$u/metrics"
    head -c 65536 /dev/urandom >/run/bad.img
    curl -s -o /dev/null -b $cj -H "X-CSRF-Token: $csrf" -H 'Content-Type: application/octet-stream' \
      --data-binary @/run/bad.img "$u/api/firmware"
  }
  PATH=$build/bin:$PATH qemu-arm -cpu arm926 -L "$armel/sysroot" -d page -D $log \
    "$armel/bin/gwwebd" --port $port --bind 127.0.0.1 >/dev/null &
  qpid=$!
  session $port
  grep -q 'guest address space @ 0x1000$' $log || echo "web_rss: qemu placed the guest elsewhere: $(grep -m1 'guest address space' $log)"
  read -r guest anon < <(measure $qpid)
  kill $qpid
  idle_rss=-
  if [ -x /run/idle-arm ]; then
    qemu-arm -cpu arm926 -L "$armel/sysroot" /run/idle-arm &
    ipid=$!
    for _ in $(seq 1 100); do grep -q libstdc /proc/$ipid/maps 2>/dev/null && break; sleep 0.05; done
    sleep 0.2
    read -r idle_rss _ < <(measure $ipid)
    kill $ipid
  fi
  PATH=$build/bin:$PATH "$build/bin/gwwebd" --port $((port + 1)) --bind 127.0.0.1 >/dev/null &
  npid=$!
  session $((port + 1))
  native=$(awk '/^VmRSS/ { print $2 }' /proc/$npid/status)
  kill $npid
  echo "$guest $anon $idle_rss $native"
  exit 0
fi

command -v qemu-arm >/dev/null || skip "no qemu-arm (apt-get install qemu-user)"
[ -x "$armel/bin/gwwebd" ] && [ -d "$armel/sysroot" ] || skip "no armel gwwebd in $armel (scripts/build-armel)"
[ -x "$build/bin/boardbox" ] && [ -x "$build/bin/gwwebd" ] || skip "no host build in $build"
ram=$(mktemp)
trap 'rm -f "$ram"' EXIT
# The reference program, built with the board's toolchain when it is there.
idle_src=$(mktemp --suffix=.cpp)
trap 'rm -f "$ram" "$idle_src" "$ram.idle"' EXIT
printf '#include <string>\n#include <unistd.h>\nint main(int c, char **v) { std::string s(v[0]); pause(); return (int)s.size() + c; }\n' >"$idle_src"
idle_opt=()
if command -v arm-linux-gnueabi-g++ >/dev/null &&
  arm-linux-gnueabi-g++ -mcpu=arm926ej-s -O2 --sysroot="$armel/sysroot" -o "$ram.idle" "$idle_src" 2>/dev/null; then
  idle_opt=(--also -- bash -c "cp $ram.idle /run/idle-arm && exec sleep 600")
fi
read -r guest anon idle_rss native < <("$build/bin/boardbox" --ram0 "$ram:1M" "${idle_opt[@]}" -- \
  bash "$PWD/bench/web_rss_table.sh" --inside "$(cd "$build" && pwd)" "$(cd "$armel" && pwd)" | tail -1)
echo "gwwebd resident memory after a session (KiB):"
printf '  armel under qemu-arm, guest pages   %6s   of which anonymous %s\n' "$guest" "$anon"
printf '  an idle C++ program, the same way   %6s\n' "$idle_rss"
printf '  host build (VmRSS)                  %6s\n' "$native"
verdict=ok
[ "$guest" -lt 2048 ] || verdict=OVER
if [ -n "${BENCH_SUMMARY:-}" ]; then
  printf 'gwwebd RSS on armel (KiB)\t%s\tidle C++ program %s\t< 2048\t%s\n' "$guest" "$idle_rss" "$verdict" >>"$BENCH_SUMMARY"
  printf 'gwwebd anonymous memory on armel (KiB)\t%s\t-\t-\t\n' "$anon" >>"$BENCH_SUMMARY"
fi
