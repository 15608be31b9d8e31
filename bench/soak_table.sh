#!/usr/bin/env bash
# soak_table.sh [BUILD_DIR]: one site of ten gateway boxes (factory
# configuration, GM360 heads) and the server box at 172.16.0.189 running
# bench/site_soak, which keys the gateways at random one at a time for
# SOAK_SECONDS (default 3600; 0 skips the soak). Prints each gateway's RSS,
# descriptors and threads after the logins and at the end, the server's, and
# the voice packets lost between the gateways and the server.
set -euo pipefail
dir=${1:-build}
secs=${SOAK_SECONDS:-3600}
n=${SOAK_GATEWAYS:-10}
[ "$secs" -gt 0 ] || { echo "(soak skipped: SOAK_SECONDS=0)"; exit 0; }
box=$dir/bin/boardbox
driver=$dir/bench/site_soak
[ -x "$box" ] && [ -x "$driver" ] && [ -x "$dir/bin/gwlinkd" ] || { echo "build $box, $driver and gwlinkd first" >&2; exit 1; }

work=$(mktemp -d /tmp/soak.XXXXXX)
site=soak$$
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

"$box" --site "$site:172.16.0.189" -- "$driver" "$secs" "$n" "$work/gw" >"$work/server.log" 2>&1 &
pids+=($!)
wait_line() { # FILE TEXT SECONDS
  local i
  for ((i = 0; i < $3 * 10; i++)); do grep -qF "$2" "$1" && return 0; sleep 0.1; done
  echo "no \"$2\" in $1:" >&2; tail -20 "$1" >&2; return 1
}
wait_line "$work/server.log" "soak: serving" 60
boxes=()
for ((i = 1; i <= n; i++)); do
  "$box" --site "$site" --tty1 gm360 --control "$work/gw-$i.sock" -- "$dir/bin/gwlinkd" >"$work/gw$i.log" 2>&1 &
  pids+=($!)
  boxes+=($!)
done

# The gwlinkd of a box: the descendant process of that name.
gw_pid() {
  local todo=("$1") p c
  while [ ${#todo[@]} -gt 0 ]; do
    p=${todo[0]}; todo=("${todo[@]:1}")
    [ "$(cat /proc/"$p"/comm 2>/dev/null)" = gwlinkd ] && { echo "$p"; return; }
    for c in $(cat /proc/"$p"/task/*/children 2>/dev/null); do todo+=("$c"); done
  done
}
usage() { # PID -> "rss_kB fds threads"
  local rss thr fds
  rss=$(awk '/^VmRSS:/ {print $2}' /proc/"$1"/status)
  thr=$(awk '/^Threads:/ {print $2}' /proc/"$1"/status)
  fds=$(find /proc/"$1"/fd -mindepth 1 -maxdepth 1 | wc -l)
  echo "$rss $fds $thr"
}

wait_line "$work/server.log" "soak: all logged in" 240
declare -A before
for ((i = 0; i < n; i++)); do
  p=$(gw_pid "${boxes[$i]}")
  before[$i]="$p $(usage "$p")"
done
echo "soak: $n gateways keyed at random for $secs s ..."
wait_line "$work/server.log" "soak: done" $((secs + 120))
sleep 1
printf "%-8s %8s %16s %10s %10s\n" gateway pid "rss kB" fds threads
worst_rss=0 fd_change=0 thr_change=0
for ((i = 0; i < n; i++)); do
  read -r p r0 f0 t0 <<<"${before[$i]}"
  if [ -d /proc/"$p" ]; then read -r r1 f1 t1 <<<"$(usage "$p")"; else r1=gone f1=gone t1=gone; fi
  printf "%-8s %8s %16s %10s %10s\n" "$((i + 1))" "$p" "$r0 -> $r1" "$f0 -> $f1" "$t0 -> $t1"
  if [ "$r1" != gone ]; then
    ((r1 - r0 > worst_rss)) && worst_rss=$((r1 - r0))
    ((f1 != f0)) && fd_change=$((fd_change + 1))
    ((t1 != t0)) && thr_change=$((thr_change + 1))
  else
    fd_change=$((fd_change + 1)) thr_change=$((thr_change + 1))
  fi
done
grep '^soak: ' "$work/server.log" | grep -v -e serving -e 'all logged in' -e keying -e 'soak: done'
lost=$(sed -n 's/.*lost \([0-9]*\),.*/\1/p' "$work/server.log")
relogins=$(sed -n 's/.*logins \([0-9]*\),.*/\1/p' "$work/server.log")
if [ -n "${BENCH_SUMMARY:-}" ]; then
  {
    printf "soak %d s: gateway RSS growth, worst (kB)\t%d\t-\t< 1024\t%s\n" "$secs" "$worst_rss" \
      "$([ "$worst_rss" -lt 1024 ] && echo ok || echo over)"
    printf "soak: gateways whose fds / threads changed\t%d / %d\t-\t0 / 0\t%s\n" "$fd_change" "$thr_change" \
      "$([ "$fd_change" -eq 0 ] && [ "$thr_change" -eq 0 ] && echo ok || echo over)"
    printf "soak: voice packets lost (logins)\t%s (%s)\t-\t0 (%d)\t%s\n" "$lost" "$relogins" "$n" \
      "$([ "$lost" = 0 ] && [ "$relogins" = "$n" ] && echo ok || echo over)"
  } >>"$BENCH_SUMMARY"
fi
