#!/usr/bin/env bash
# The whole appliance: the real briskbox binary in a fresh sandbox of its own (eth0 = 198.51.100.2), with
# real peers. One case per run:
#   appliance_test.sh first_start|main_job|crash_loop|stream_change|ndi_list|interrupt|terminate|crash BINARY [NDI_FIND]
# Real time: the appliance and its peers run at their own pace, so every step waits for a condition (a port
# that answers, a log line, a stream that probes, a counter in a file) with a deadline several times what it
# takes under a sanitizer on a loaded machine: start-up needs seconds, the first-boot network set-up about
# 20 s, the NDI sender's first start 10 s. The one fixed pause (1 s after SIGTERM) shows that something does
# NOT happen. ctest runs one such case at a time (lock "e2e"); those that keep a stream on air get two
# processors.
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

# The resolution the port list shows (get 03 37) for entry 1 (NDI) or 2 ("ip1"): "" while it shows no pictures.
port_resolution() {
  $python "$here/control_client.py" "ws://$eth0:8081" get 03 37 2>/dev/null |
    $python -c 'import json,sys; l=sys.stdin.read().split(" ",3)[3]; print(json.loads(l)["data"]["PortInfo"][int(sys.argv[1])]["resolution"])' "$1"
}
ip1_resolution() { port_resolution 2; }
ip1_shows() { [[ "$(ip1_resolution)" == "$1"* ]]; }
ip1_shows_nothing() { [ -z "$(ip1_resolution)" ]; }
publish() {  # publish NAME SIZE: a 60 fps test picture with a tone to the device's own RTMP server
  ffmpeg -hide_banner -loglevel error -re -f lavfi -i "testsrc=size=$2:rate=60" \
    -f lavfi -i sine=frequency=440:sample_rate=48000 -t 240 -c:v libx264 -preset ultrafast -tune zerolatency \
    -g 60 -pix_fmt yuv420p -c:a aac -ac 2 -ar 48000 -f flv "rtmp://$eth0:1935/live/$1" > "/tmp/publish-$1.log" 2>&1 &
  helpers+=($!)
}
set_rtmp_input() {  # set_rtmp_input URL true|false
  $python "$here/control_client.py" "ws://$eth0:8081" \
    set 11 01 "{\"netInpt\":[{\"netName\":\"rtmp\",\"netUrl\":\"$1\",\"netSwitch\":$2}]}" \
    > /tmp/control.log 2>&1 || { cat /tmp/control.log; fail "control channel"; }
  grep -q '"check":true' /tmp/control.log || fail "set 11 01 refused: $(cat /tmp/control.log)"
}

# A new RTMP input address saved while the pull runs takes effect: the running pull is closed and the new
# stream pulled. Two real streams of different sizes tell which one the device pulls.
stream_change() {
  settled_boot
  start_device
  wait_for 30 port_open "$eth0" 1935 || fail "RTMP server does not answer"
  wait_for 30 port_open "$eth0" 8081 || fail "WebSocket port does not answer"
  publish first 320x240
  publish second 480x272
  sleep 2
  set_rtmp_input "rtmp://$eth0:1935/live/first" true
  # The first pull of a process waits 5 s, then fills its 180-packet pre-buffer.
  wait_for 40 ip1_shows 320x240@ || fail "the first stream is not pulled (port list: '$(ip1_resolution)')"
  set_rtmp_input "rtmp://$eth0:1935/live/second" true
  # Within 10 s (close, open, 3 s of pre-buffer at 60 fps) the second stream shows.
  wait_for 10 ip1_shows 480x272@ || fail "the pull did not follow the new address within 10 s ('$(ip1_resolution)')"
  grep -q "corvane_rtsp_rtmp_pull_ip1_start start.... url_path_ip1=rtmp://$eth0:1935/live/second" /tmp/briskbox.out ||
    fail "no pull of the second address"
  # Switched off, the pull stops and the port list shows no "ip1" picture.
  set_rtmp_input "rtmp://$eth0:1935/live/second" false
  wait_for 10 ip1_shows_nothing || fail "the port list still shows '$(ip1_resolution)' after the switch went off"
  sleep 6  # longer than the reconnect pause: nothing comes back by itself
  [ -z "$(ip1_resolution)" ] || fail "the pull came back after the switch went off"
  kill -0 "$pid" || fail "briskbox ended"
}

# NDI sources on the network: ndi_send_file processes (the stand-in's sender tool) publish a short H.264
# stream in a loop under a name.
ndi_send_file=${ndi_find:+$(dirname "$ndi_find")/ndi_send_file}
ndi_media() {
  ffmpeg -hide_banner -loglevel error -f lavfi -i testsrc=size=320x240:rate=30 -frames:v 90 -c:v libx264 -bf 0 \
    -x264-params keyint=15:min-keyint=15:scenecut=0 -pix_fmt yuv420p /tmp/ndi-source.h264 ||
    fail "ffmpeg could not make the NDI source's stream"
}
declare -A ndi_senders
ndi_sender_start() {
  "$ndi_send_file" --name "$1" --video /tmp/ndi-source.h264 --fps 30 --loop > "/tmp/ndi-sender-${1// /_}.log" 2>&1 &
  ndi_senders[$1]=$!
  helpers+=($!)
}
ndi_sender_stop() {
  kill "${ndi_senders[$1]}"
  wait "${ndi_senders[$1]}" 2>/dev/null || true
}
# ndi_list_is NAMES_JSON: a get 04 01 is followed by a push of exactly these source names, in this order.
# pushed_names_are NAMES_JSON: the push printed in /tmp/ndi-list.log lists exactly these source names.
pushed_names_are() {
  $python - "$1" /tmp/ndi-list.log <<'PY'
import json, sys
push = [l for l in open(sys.argv[2]) if l.startswith("push ")][-1][5:]
body = json.loads(push)
sys.exit(0 if body["code"] == 0 and [s["name"] for s in body["data"]["ndisource"]] == json.loads(sys.argv[1]) else 1)
PY
}
ndi_list_is() {
  $python "$here/control_client.py" "ws://$eth0:8081" --push 40 get 04 01 > /tmp/ndi-list.log 2>&1 || return 1
  pushed_names_are "$1"
}
# ndi_pushed_unasked NAMES_JSON: the device pushes a list of exactly these names without being asked.
ndi_pushed_unasked() {
  $python "$here/control_client.py" "ws://$eth0:8081" --push 60 listen 04 01 > /tmp/ndi-list.log 2>&1 || return 1
  pushed_names_are "$1"
}
ndi_resolution() { port_resolution 1; }
ndi_shows() { [[ "$(ndi_resolution)" == "$1"* ]]; }
ndi_shows_nothing() { [ -z "$(ndi_resolution)" ]; }
set_ndi_receive() {  # set_ndi_receive true NAME | false
  local payload='{"check":false}'
  [ "$1" = true ] && payload="{\"check\":true,\"ndisource\":{\"name\":\"$2\"}}"
  $python "$here/control_client.py" "ws://$eth0:8081" set 04 01 "$payload" > /tmp/control.log 2>&1 ||
    { cat /tmp/control.log; fail "control channel"; }
}

# The NDI source list tells the truth while senders come and go: while the start-up search for an absent
# configured source runs, while no pull is open, and while one is; switching the receive off ends the
# search; an open pull whose source went offline shows no picture.
ndi_list() {
  [ -x "$ndi_send_file" ] || fail "no ndi_send_file beside $ndi_find"
  ndi_media
  settled_boot
  mkdir -p /userdata/config
  printf '{"ndi_switch":true,"ndi_pull_name":"Absent cam"}' > /userdata/config/common.json
  start_device
  wait_for 30 port_open "$eth0" 8081 || fail "WebSocket port does not answer"
  # Answered while the start-up search runs; nothing on the network: the exact empty list.
  wait_for 60 ndi_list_is '[]' || { cat /tmp/ndi-list.log; fail "no empty list during the start-up search"; }
  grep -q '^push {"data":{"ndisource":\[\]},"code":0}$' /tmp/ndi-list.log || fail "empty list: $(cat /tmp/ndi-list.log)"
  ndi_sender_start "Cam B"
  wait_for 60 ndi_list_is '["Cam B"]' || { cat /tmp/ndi-list.log; fail "Cam B not listed"; }
  ndi_sender_stop "Cam B"
  wait_for 60 ndi_list_is '[]' || { cat /tmp/ndi-list.log; fail "Cam B still listed after it went away"; }
  # Switching the receive off ends the start-up search: the configured source, appearing now, is not opened
  # (the search looks again every 30 s, so 40 s after the switch it would have been).
  set_ndi_receive false
  local switched_off=$SECONDS
  ndi_sender_start "Absent cam"
  wait_for 60 ndi_list_is '["Absent cam"]' || { cat /tmp/ndi-list.log; fail "Absent cam not listed"; }
  while [ $((SECONDS - switched_off)) -lt 40 ]; do sleep 1; done
  ndi_shows_nothing || fail "the start-up search opened its source after the switch went off"
  $python "$here/control_client.py" "ws://$eth0:8081" get 04 02 > /tmp/control.log 2>&1 || fail "control channel"
  grep -q '"ndi_switch":false' /tmp/control.log || fail "NDI receive not off: $(cat /tmp/control.log)"
  ndi_sender_stop "Absent cam"
  # A pull is opened on a listed source; a source that appears later is listed while the pull is open.
  ndi_sender_start "Cam A"
  wait_for 60 ndi_list_is '["Cam A"]' || { cat /tmp/ndi-list.log; fail "Cam A not listed"; }
  set_ndi_receive true "Cam A"
  wait_for 30 ndi_shows 320x240@ || fail "no pictures of Cam A (port list: '$(ndi_resolution)')"
  ndi_sender_start "Cam C"
  wait_for 60 ndi_list_is '["Cam A","Cam C"]' || { cat /tmp/ndi-list.log; fail "Cam C not listed while a pull is open"; }
  # Without being asked again, the list is rescanned every 30 s while the pull is open.
  ndi_sender_start "Cam D"
  wait_for 90 ndi_pushed_unasked '["Cam A","Cam C","Cam D"]' ||
    { cat /tmp/ndi-list.log; fail "no rescan listed Cam D while a pull is open"; }
  # Cam A goes offline: the open pull shows no picture any more, and the list drops it.
  ndi_sender_stop "Cam A"
  wait_for 15 ndi_shows_nothing || fail "an offline pull still shows '$(ndi_resolution)'"
  wait_for 60 ndi_list_is '["Cam C","Cam D"]' || { cat /tmp/ndi-list.log; fail "Cam A still listed after it went away"; }
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
  kill -INT "$pid"
  local status=0
  wait "$pid" || status=$?
  pid=
  [ "$status" = 2 ] || fail "exit status $status, not 2"
  grep -q "^Interrupt signal (2) received.$" /tmp/briskbox.out || fail "no interrupt line"
  ! port_open "$eth0" 80 || fail "port 80 still answers"
}

# SIGTERM (what a service manager sends) ends the process like SIGINT, also once the streaming servers'
# event loops run, and the settings stored before are still there afterwards.
terminate() {
  settled_boot
  start_device
  wait_for 30 port_open "$eth0" 80 || fail "port 80 does not answer"
  wait_for 30 port_open "$eth0" 8554 || fail "port 8554 does not answer"
  wait_for 30 port_open "$eth0" 8081 || fail "WebSocket port does not answer"
  $python "$here/control_client.py" "ws://$eth0:8081" set 03 31 '{"languageData":{"locae":1}}' \
    set 11 00 '{"netInpt":[{"netName":"kept","netUrl":"rtsp://192.0.2.9/kept","netSwitch":false}]}' \
    > /tmp/control.log 2>&1 || { cat /tmp/control.log; fail "control channel"; }
  cp /userdata/config/common.json /tmp/common.before
  kill -TERM "$pid"
  # The interrupt thread stops the web server and exits at once; 5 s is far more than that takes, short of
  # what a service manager waits before SIGKILL.
  local deadline=$((SECONDS + 5))
  while kill -0 "$pid" 2>/dev/null && [ $SECONDS -lt $deadline ]; do sleep 0.1; done
  kill -0 "$pid" 2>/dev/null && fail "still running 5 s after SIGTERM"
  local status=0
  wait "$pid" || status=$?
  pid=
  [ "$status" = 15 ] || fail "exit status $status, not 15"
  grep -q "^Interrupt signal (15) received.$" /tmp/briskbox.out || fail "no interrupt line"
  ! port_open "$eth0" 80 || fail "port 80 still answers"
  cmp -s /tmp/common.before /userdata/config/common.json || fail "common.json changed by the stop"
  [ "$(json_field /userdata/config/common.json netName)" = kept ] || fail "setting lost: $(cat /userdata/config/common.json)"
  [ "$(json_field /userdata/config/common.json user_language)" = True ] || fail "language setting lost"
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
  grep -A40 "WARNING: ThreadSanitizer\|ERROR: AddressSanitizer\|runtime error:" /tmp/briskbox.out | head -200 || true
  fail "sanitizer report"
fi
echo "ok ($case_name)"
