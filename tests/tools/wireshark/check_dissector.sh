#!/usr/bin/env bash
# Captures a GM360 site (gatesimd and gwlinkd in one box, tcpdump on the box's
# loopback) and checks that tshark with the gwlink dissector decodes the values
# the test set: user name, codec, sync number, PTT, GPIO masks, hello packets.
set -euo pipefail
build=$1
src=$2
bin=$build/bin
lua=$src/tools/wireshark/gwlink.lua
work=$(mktemp -d /tmp/gw-dissect.XXXXXX)
box_pid=
cleanup() {
  [ -n "$box_pid" ] && kill "$box_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  echo "--- gateway"; tail -20 "$work/gw.log" 2>/dev/null || true
  echo "--- server"; tail -20 "$work/server.log" 2>/dev/null || true
  exit 1
}

"$bin/gwcfg" --dir "$work/config" reset
"$bin/gwcfg" --dir "$work/config" set remote_ip 127.0.0.1 remote_user alice remote_passwd 'open sesame' codec gsm
echo "alice open-sesame 1 gsm" >"$work/users"
# The users file takes no blanks in a password.
"$bin/gwcfg" --dir "$work/config" set remote_passwd open-sesame

cat >"$work/server.sh" <<SH
#!/bin/sh
tcpdump -i lo -U --immediate-mode -n -w "$work/site.pcap" 'tcp port 5555 or udp port 5004 or udp port 8000' 2>"$work/tcpdump.log" &
for i in \$(seq 100); do grep -q "listening on" "$work/tcpdump.log" && break; sleep 0.05; done
exec "$bin/gatesimd" --bind 127.0.0.1 --users "$work/users" --voice loop --control "$work/srv.sock" >"$work/server.log" 2>&1
SH
chmod +x "$work/server.sh"

"$bin/boardbox" --tty1 gm360 --control "$work/box.sock" --config "$work/config" \
  --also -- "$work/server.sh" -- "$bin/gwlinkd" >"$work/gw.log" 2>&1 &
box_pid=$!

box() { printf '%s\n' "$1" | socat -t2 - "UNIX-CONNECT:$work/box.sock" >/dev/null 2>&1 || true; }
server() { printf '%s\n' "$1" | socat -t2 - "UNIX-CONNECT:$work/srv.sock" >/dev/null 2>&1 || true; }
# wait_lines FILE COUNT TEXT: FILE has COUNT lines holding TEXT, within 30 s.
wait_lines() {
  local i
  for i in $(seq 300); do
    [ "$(grep -c -F -- "$3" "$1" 2>/dev/null)" -ge "$2" ] && return 0
    sleep 0.1
  done
  return 1
}
# The box ends with its program, once the capture has stopped growing:
# tcpdump writes each packet as it comes.
end_box() {
  local i size last=-1 still=0
  for i in $(seq 50); do
    size=$(stat -c %s "$work/site.pcap" 2>/dev/null || echo 0)
    if [ "$size" = "$last" ]; then
      still=$((still + 1))
      [ "$still" -ge 3 ] && break
    else
      still=0
    fi
    last=$size
    sleep 0.1
  done
  kill -TERM "$box_pid" 2>/dev/null || true
  wait "$box_pid" || true
  box_pid=
}

wait_lines "$work/gw.log" 1 "cb_conn_connected" || fail "the gateway did not log in"
box '{"cmd":"gpio_set","low":"0x1000"}'
wait_lines "$work/server.log" 1 "gatesimd: ptt on" || fail "the server saw no PTT"
sleep 1.5 # a second and a half of voice
box '{"cmd":"gpio_set","high":"0x1000"}'
wait_lines "$work/server.log" 1 "gatesimd: ptt off" || fail "the server saw no PTT release"
server "gpio 0x1000 0x3000"
wait_lines "$work/gw.log" 1 "packettype_async_gpiochanged [bitmap:00001000" || fail "no GPIO event at the gateway"
end_box
[ -s "$work/site.pcap" ] || fail "nothing was captured"

decode() {
  tshark -r "$work/site.pcap" -X "lua_script:$lua" -Y "$1" -T fields -e "$2" 2>/dev/null
}
# Neither Wireshark nor the script may report a fault in any frame.
no_dissector_faults() {
  local bugs
  bugs=$(tshark -r "$work/site.pcap" -X "lua_script:$lua" 2>&1 | grep -c -E "Dissector bug|Malformed|Lua Error" || true)
  [ "$bugs" -eq 0 ] || fail "$bugs frames report dissector faults"
}
expect() {
  local what=$1 got=$2 want=$3
  [ "$got" = "$want" ] || fail "$what: got '$got', want '$want'"
  echo "ok: $what = $want"
}

expect "login user" "$(decode 'gwlink.type == 3' gwlink.user | head -1)" alice
expect "login password" "$(decode 'gwlink.type == 3' gwlink.passwd | head -1)" open-sesame
expect "codec in the login result" "$(decode 'gwlink.type == 4' gwlink.codec | head -1)" 2
sync=$(decode 'gwlink.type == 4' gwlink.voip_syncnum | head -1)
[ -n "$sync" ] && [ "$sync" -gt 0 ] || fail "no sync number in the login result"
expect "sync number in the hello packets" \
  "$(decode 'gwlinkrtp.kind == "hello"' gwlinkrtp.hello_syncnum | sort -u | head -1)" "$sync"
hellos=$(decode 'gwlinkrtp.kind == "hello"' gwlinkrtp.ssrc | wc -l)
[ "$hellos" -ge 3 ] || fail "expected at least 3 hello packets, saw $hellos"
echo "ok: $hellos hello packets"
expect "PTT requests" "$(decode 'gwlink.type == 5' gwlink.ptt | tr '\n' ' ')" "1 0 "
expect "PTT events" "$(decode 'gwlink.type == 501' gwlink.ptt | tr '\n' ' ')" "1 0 "
expect "GPIO event bitmap" "$(decode 'gwlink.type == 502' gwlink.bitmap | head -1)" 0x00001000
expect "GPIO event mask" "$(decode 'gwlink.type == 502' gwlink.mask | head -1)" 0x00003000
voice=$(decode 'gwlinkrtp.kind == "voice" && gwlinkrtp.codec == "GSM"' gwlinkrtp.seq | wc -l)
[ "$voice" -ge 10 ] || fail "expected GSM voice packets, saw $voice"
echo "ok: $voice GSM voice packets"
unknown=$(decode '_ws.expert.severity == error' frame.number | wc -l)
[ "$unknown" -eq 0 ] || fail "$unknown frames decoded with errors"
no_dissector_faults
echo "dissector: the binary site capture decodes"

# The XML link: an NX700 gateway whose login asks for the passphrase cipher.
rm -f "$work/site.pcap" "$work/gw.log" "$work/server.log" "$work/tcpdump.log"
"$bin/gwcfg" --dir "$work/config" set remote_port 5556 remote_user bob remote_passwd pw7 radio_type nx700 codec alaw
echo "bob pw7 1 alaw bobradio rckd" >"$work/users"
sed -i 's/tcp port 5555 or/tcp port 5556 or/; s/--voice loop/--voice loop --xml-port 5556/' "$work/server.sh"
"$bin/boardbox" --tty1 nx700 --control "$work/box.sock" --config "$work/config" \
  --also -- "$work/server.sh" -- "$bin/gwlinkd" >"$work/gw.log" 2>&1 &
box_pid=$!
wait_lines "$work/gw.log" 1 "logged in" || fail "the XML gateway did not log in"
# The answer to the login's GpioStateReq first.
wait_lines "$work/gw.log" 1 "control_nx700: GpioChangedEv:" || fail "no answer to the GPIO state request"
box '{"cmd":"nx700","op":"ptt","on":true}'
wait_lines "$work/server.log" 1 "gatesimd: xml ptt on [bob]" || fail "the server saw no PTT"
sleep 1.5 # a second and a half of voice
box '{"cmd":"nx700","op":"ptt","on":false}'
wait_lines "$work/server.log" 1 "gatesimd: xml ptt off [bob]" || fail "the server saw no PTT release"
server "gpio 0x4 0x4"
wait_lines "$work/gw.log" 2 "control_nx700: GpioChangedEv:" || fail "no GPIO event at the gateway"
end_box
[ -s "$work/site.pcap" ] || fail "nothing was captured on the XML link"

expect "XML login user" "$(decode 'gwlinkxml.element == "LoginReq"' gwlinkxml.user | head -1)" bob
expect "XML login codec" "$(decode 'gwlinkxml.element == "LoginPosResp"' gwlinkxml.codec | head -1)" alaw
expect "XML login encrypt" "$(decode 'gwlinkxml.element == "LoginPosResp"' gwlinkxml.encrypt | head -1)" rckd
xsync=$(decode 'gwlinkxml.element == "LoginPosResp"' gwlinkxml.syncnum | head -1)
[ -n "$xsync" ] || fail "no sync number in LoginPosResp"
expect "XML sync number in the hello packets" \
  "$(decode 'gwlinkrtp.kind == "hello"' gwlinkrtp.hello_syncnum | sort -u | head -1)" "$xsync"
expect "XML PTT requests" "$(decode 'gwlinkxml.element == "SetPttReq"' gwlinkxml.ptt | tr '\n' ' ')" "1 0 "
# The first GpioChangedEv answers the login's GpioStateReq; the last one is
# the test's.
expect "XML GPIO event bitmap" "$(decode 'gwlinkxml.element == "GpioChangedEv"' gwlinkxml.bitmap | tail -1)" 0x4
ciphered=$(decode 'gwlinkrtp.kind == "passphrase ciphered"' gwlinkrtp.seq | wc -l)
[ "$ciphered" -ge 10 ] || fail "expected passphrase-ciphered voice packets, saw $ciphered"
echo "ok: $ciphered passphrase-ciphered voice packets"
unknown=$(decode '_ws.expert.severity == error' frame.number | wc -l)
[ "$unknown" -eq 0 ] || fail "$unknown XML-link frames decoded with errors"
no_dissector_faults
echo "dissector: the XML site capture decodes"
