#!/usr/bin/env bash
# The whole appliance: the real briskbox binary in a fresh sandbox of its own (eth0 = 198.51.100.2), with
# real peers. One case per run:
#   appliance_test.sh first_start|main_job|crash_loop|interrupt|crash BINARY [NDI_FIND]
# Real time: the appliance and its peers run at their own pace, so every step waits for a condition (a port
# that answers, a log line, a stream that probes, a counter in a file) with a deadline several times what it
# takes under a sanitizer on a loaded machine: start-up needs seconds, the first-boot network set-up about
# 20 s, the NDI sender's first start 10 s. The one fixed pause (1 s after SIGTERM) shows that something does
# NOT happen. ctest runs one such case at a time (lock "e2e") with two processors kept for it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
if [ "${1:-}" != --inside ]; then
  exec "$repo/scripts/sandbox.sh" "$0" --inside "$@"
fi
shift
case_name=$1
binary=$2
ndi_find=${3:-}
eth0=198.51.100.2
python=/usr/bin/python3
pid=
helpers=()

dump() {
  echo "--- briskbox output (last lines)"
  grep -v "^open txt failed\|^uvc_connect_flag=" /tmp/briskbox.out 2>/dev/null | tail -n 60 || true
}
fail() {
  echo "FAIL ($case_name): $*"
  dump
  exit 1
}
cleanup() {
  [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null || true
  for helper in "${helpers[@]}"; do kill "$helper" 2>/dev/null || true; done
}
trap cleanup EXIT

port_open() { (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null; }
# wait_for SECONDS COMMAND...: true once the command succeeds.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  while [ $SECONDS -lt $deadline ]; do
    "$@" && return 0
    sleep 0.2
  done
  "$@"
}
start_device() {
  TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}suppressions=$here/tsan.supp" "$binary" >> /tmp/briskbox.out 2>&1 &
  pid=$!
}
# Counters of a boot whose network set-up is done: start-up runs without its first-boot pauses.
settled_boot() {
  printf '{"mydog_count":0,"net_flag":1,"display_flga":0}' > /tmp/mydog.json
}
json_field() { $python -c 'import json,sys; print(json.load(open(sys.argv[1]))[sys.argv[2]])' "$1" "$2"; }

first_start() {
  $python "$here/preview_listener.py" /tmp/previews.log 10001 10003 10005 &
  helpers+=($!)
  start_device
  # The first start of a boot waits for the system and sets up eth0 (about 20 s) before the servers start.
  # eth0 then has the default static address, so the ports are checked on loopback.
  wait_for 60 port_open 127.0.0.1 80 || fail "port 80 does not answer"
  for port in 8081 8554 1935; do
    wait_for 20 port_open 127.0.0.1 "$port" || fail "port $port does not answer"
  done
  local address
  address=$(ip -4 -o addr show eth0 | awk '{print $4}')
  [ "$address" = 192.168.5.100/24 ] || fail "eth0 has $address, not the default static address"
  [ "$(cat /userdata/version)" = 1.42 ] || fail "version file holds '$(cat /userdata/version)'"
  grep -q "^old version : 1.42$" /tmp/briskbox.out || fail "no old version line"
  grep -q "Logger::get_instance() === start ===" /tmp/error.tex || fail "no start line in the log"
  # A missing common.json is not written at start (its defaults live in memory); net.json is.
  [ ! -e /userdata/config/common.json ] || fail "common.json was written: $(cat /userdata/config/common.json)"
  $python "$here/control_client.py" ws://127.0.0.1:8081 get 05 01 > /tmp/control.log 2>&1 || fail "control channel"
  grep -q '"netUrl":"rtmp://192.168.5.100:1935/live/av0"' /tmp/control.log ||
    fail "the RTMP input is not the device's own RTMP address: $(cat /tmp/control.log)"
  $python -c 'import json,sys; e=json.load(open(sys.argv[1]))["eth0"]; sys.exit(e["ip"]!="192.168.5.100" or e["dhcp"])' \
    /userdata/config/net.json || fail "net.json without defaults: $(cat /userdata/config/net.json)"
  for port in 10001 10003 10005; do
    wait_for 15 grep -q "connected $port" /tmp/previews.log || fail "no preview link to $port"
  done
  kill -0 "$pid" || fail "briskbox ended"
}

main_job() {
  settled_boot
  start_device
  wait_for 30 port_open "$eth0" 1935 || fail "RTMP server does not answer"
  wait_for 30 port_open "$eth0" 8081 || fail "WebSocket port does not answer"
  local url="rtmp://$eth0:1935/live/av0"
  ffmpeg -hide_banner -loglevel error -re -f lavfi -i testsrc=size=1280x720:rate=30 \
    -f lavfi -i sine=frequency=440:sample_rate=48000 -t 180 -c:v libx264 -preset ultrafast -tune zerolatency \
    -g 30 -pix_fmt yuv420p -c:a aac -ac 2 -ar 48000 -f flv "$url" > /tmp/publisher.log 2>&1 &
  helpers+=($!)
  wait_for 30 grep -q "publish.start, stream path: /live/av0" /tmp/briskbox.out ||
    { cat /tmp/publisher.log; fail "the publisher did not reach the RTMP server"; }
  # The device's own RTMP address is its stored RTMP input; the test publishes there and puts it on air.
  $python "$here/control_client.py" "ws://$eth0:8081" get 05 01 > /tmp/control.log 2>&1 || fail "control channel"
  grep -q "\"netUrl\":\"$url\"" /tmp/control.log || fail "stored RTMP input is not $url: $(cat /tmp/control.log)"
  $python "$here/control_client.py" "ws://$eth0:8081" \
    set 11 01 "{\"netInpt\":[{\"netName\":\"rtmp\",\"netUrl\":\"$url\",\"netSwitch\":true}]}" \
    set 03 36 '{"typeMonitor":"IP1"}' \
    set 04 02 '{"check":true}' > /tmp/control.log 2>&1 || { cat /tmp/control.log; fail "control channel"; }
  cat /tmp/control.log
  local rtsp="rtsp://$eth0:8554/live/main"
  probe() {
    ffprobe -v error -rtsp_transport tcp -timeout 5000000 \
      -show_entries stream=codec_name,width,height,r_frame_rate,sample_rate,channels -of compact=p=0 "$rtsp" \
      > /tmp/probe.txt 2>&1 &&
      grep -q '^codec_name=h264|width=1920|height=1080|r_frame_rate=30/1' /tmp/probe.txt &&
      grep -q '^codec_name=aac|sample_rate=48000|channels=2' /tmp/probe.txt
  }
  # Until "ip1" delivers pictures the stream carries no video frame to measure.
  wait_for 60 probe || { cat /tmp/probe.txt; fail "ffprobe does not read 1080p30 H.264 with AAC 48000 stereo"; }
  cat /tmp/probe.txt
  # The player keeps the stream's own 90 kHz time base: with the default one, 1/(its guess of the frame rate),
  # a guess below 30 (the first pictures come late on a busy machine) gives two pictures one time stamp, and
  # the null muxer logs an error that is no decode error.
  ffmpeg -hide_banner -v error -rtsp_transport tcp -i "$rtsp" -t 10 -enc_time_base -1 -f null - > /tmp/decode.log 2>&1 ||
    { cat /tmp/decode.log; fail "decoding 10 s failed"; }
  [ ! -s /tmp/decode.log ] || { cat /tmp/decode.log; fail "decode errors"; }
  if [ -n "$ndi_find" ]; then
    finder() { "$ndi_find" --wait 1000 > /tmp/ndi.txt 2>&1 && grep -q "^BRISKBOX-$eth0"$'\t' /tmp/ndi.txt; }
    # The sender's first start in a process waits 10 s.
    wait_for 30 finder || { cat /tmp/ndi.txt; fail "no NDI source BRISKBOX-$eth0"; }
    cat /tmp/ndi.txt
  fi
  kill -0 "$pid" || fail "briskbox ended"
}

crash_loop() {
  # Each start below is killed while it sets up eth0 (its init has not completed), with a setting of the
  # user's in common.json.
  printf '{"mydog_count":0,"net_flag":0,"display_flga":0}' > /tmp/mydog.json
  mkdir -p /userdata/config
  printf '{"user_name":"velto","user_passwd":"secret","user_language":true}' > /userdata/config/common.json
  count_is() { [ "$(json_field /tmp/mydog.json mydog_count 2>/dev/null)" = "$1" ]; }
  for start in $(seq 1 11); do
    start_device
    wait_for 10 count_is "$start" || fail "start $start was not counted: $(cat /tmp/mydog.json)"
    kill -9 "$pid"
    wait "$pid" 2>/dev/null || true
    pid=
    [ "$(json_field /userdata/config/common.json user_passwd)" = secret ] || fail "settings lost after $start starts"
  done
  # The 12th start finds 11 starts in a row that died: it runs on defaults and completes.
  start_device
  wait_for 40 count_is 0 || fail "12th start did not complete: $(cat /tmp/mydog.json)"
  [ -d /userdata/config ] || fail "the settings folder is gone"
  # The guard deleted the settings; the start runs on defaults and writes no common.json.
  [ ! -e /userdata/config/common.json ] || fail "settings were not reset: $(cat /userdata/config/common.json)"
  [ -e /userdata/config/net.json ] || fail "net.json with defaults missing"
  kill -0 "$pid" || fail "briskbox ended"
}

interrupt() {
  settled_boot
  start_device
  wait_for 30 port_open "$eth0" 80 || fail "port 80 does not answer"
  wait_for 30 port_open "$eth0" 8554 || fail "port 8554 does not answer"
  # The streaming servers' event loops ignore SIGTERM process-wide once they run.
  kill -TERM "$pid"
  sleep 1
  kill -0 "$pid" || fail "SIGTERM ended the process"
  kill -INT "$pid"
  local status=0
  wait "$pid" || status=$?
  pid=
  [ "$status" = 2 ] || fail "exit status $status, not 2"
  grep -q "^Interrupt signal (2) received.$" /tmp/briskbox.out || fail "no interrupt line"
  ! port_open "$eth0" 80 || fail "port 80 still answers"
}

crash() {
  settled_boot
  start_device
  wait_for 30 port_open "$eth0" 80 || fail "port 80 does not answer"
  kill -SEGV "$pid"
  local status=0
  wait "$pid" || status=$?
  pid=
  [ "$status" = $((128 + 11)) ] || fail "status $status: did not die of SIGSEGV"
  grep -q "signo = 11$" /tmp/briskbox.out || fail "no signo line"
  grep -q "  \[00\] " /tmp/error.tex || fail "no backtrace in the log: $(tail -5 /tmp/error.tex)"
  grep -q "Logger::get_instance() === start ===" /tmp/error.tex || fail "the log lost its start line"
}

: > /tmp/briskbox.out
"$case_name"
# A sanitizer build reports what it finds in the process's output; any report fails the case.
if grep -q "WARNING: ThreadSanitizer\|ERROR: AddressSanitizer\|runtime error:" /tmp/briskbox.out; then
  grep -A40 "WARNING: ThreadSanitizer\|ERROR: AddressSanitizer\|runtime error:" /tmp/briskbox.out | head -200
  fail "sanitizer report"
fi
echo "ok ($case_name)"
