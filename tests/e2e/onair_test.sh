#!/usr/bin/env bash
# The picture on air at the source's own pace: the real briskbox binary in a fresh sandbox of its own, ffmpeg
# publishing a 1280x720 test picture with a tone to the device's RTMP server, "ip1" put on air over the
# control channel, and the RTSP output read back by ffprobe, ffmpeg and GStreamer. One case per run:
#   onair_test.sh rate SOURCE_FPS SECONDS BINARY [SANITIZER]   packets per second on RTSP, players decode
#   onair_test.sh drift SOURCE_FPS SECONDS BINARY [SANITIZER]  video and audio timelines against the clock
# Margins: the counts are taken over SECONDS of wall clock after a 3-s settle, so the packets at the window's
# edges move a count by at most a frame or two either way (a 10-s window: under 1 %); the rate must lie
# between 75 % and 110 % of the expected rate: the fault this guards against halves it, and a machine busy
# with other work loses a few pictures at the software encoder (27 of 30 a second seen at a load of 28 on 8
# cores). The timeline spans are compared with the clock within 2 % (1.2 s over a
# minute), against a pipeline whose stamps jitter by tens of milliseconds; the video/audio gap within 100 ms.
# A sanitizer build cannot decode and encode in real time: there the rate is only checked not to exceed the
# encoder's 30 per second, the timelines are checked all the same (they follow the clock however few
# pictures arrive).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
if [ "${1:-}" != --inside ]; then
  exec "$repo/scripts/sandbox.sh" "$0" --inside "$@"
fi
shift
case_name=$1
source_fps=$2
seconds=$3
binary=$4
sanitizer=${5:-}
eth0=198.51.100.2
python=/usr/bin/python3
pid=
helpers=()

fail() {
  echo "FAIL ($case_name $source_fps): $*"
  echo "--- briskbox output (last lines)"
  grep -v "^open txt failed\|^uvc_connect_flag=\|fps:" /tmp/briskbox.out 2>/dev/null | tail -n 40 || true
  exit 1
}
cleanup() {
  [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null || true
  for helper in "${helpers[@]}"; do kill "$helper" 2>/dev/null || true; done
}
trap cleanup EXIT
port_open() { (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null; }
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  while [ $SECONDS -lt $deadline ]; do
    "$@" && return 0
    sleep 0.2
  done
  "$@"
}
# within VALUE LOW HIGH: LOW <= VALUE <= HIGH (decimals).
within() { $python -c 'import sys; v,l,h=map(float,sys.argv[1:]); sys.exit(not (l <= v <= h))' "$1" "$2" "$3"; }
field() { sed -n "s/^$1 .*$2=\([-0-9.]*\).*/\1/p" /tmp/timeline.txt; }

: > /tmp/briskbox.out
printf '{"mydog_count":0,"net_flag":1,"display_flga":0}' > /tmp/mydog.json
TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}suppressions=$here/tsan.supp" "$binary" >> /tmp/briskbox.out 2>&1 &
pid=$!
wait_for 30 port_open "$eth0" 1935 || fail "RTMP server does not answer"
wait_for 30 port_open "$eth0" 8081 || fail "WebSocket port does not answer"
url="rtmp://$eth0:1935/live/av0"
ffmpeg -hide_banner -loglevel error -re -f lavfi -i "testsrc2=size=1280x720:rate=$source_fps" \
  -f lavfi -i sine=frequency=440:sample_rate=48000 -t $((seconds + 120)) -c:v libx264 -preset ultrafast \
  -tune zerolatency -g "$source_fps" -pix_fmt yuv420p -c:a aac -ac 2 -ar 48000 -f flv "$url" \
  > /tmp/publisher.log 2>&1 &
helpers+=($!)
$python "$here/control_client.py" "ws://$eth0:8081" \
  set 11 01 "{\"netInpt\":[{\"netName\":\"rtmp\",\"netUrl\":\"$url\",\"netSwitch\":true}]}" \
  set 03 36 '{"typeMonitor":"IP1"}' > /tmp/control.log 2>&1 || { cat /tmp/control.log; fail "control channel"; }
rtsp="rtsp://$eth0:8554/live/main"
probe() {
  ffprobe -v error -rtsp_transport tcp -timeout 5000000 -show_entries stream=codec_name -of csv=p=0 "$rtsp" \
    > /tmp/probe.txt 2>&1 && grep -q '^h264' /tmp/probe.txt && grep -q '^aac' /tmp/probe.txt
}
# The first "ip1" start of a process waits 5 s; until it delivers pictures the stream has no video to read.
wait_for 90 probe || { cat /tmp/probe.txt; fail "no H.264 and AAC on $rtsp"; }

$python "$here/rtsp_timeline_probe.py" "$rtsp" 3 "$seconds" > /tmp/timeline.txt 2>&1 ||
  { cat /tmp/timeline.txt; fail "the timeline probe read no video or no audio"; }
cat /tmp/timeline.txt
video_rate=$(field video rate)
video_span=$(field video span)
audio_span=$(field audio span)
drift=$(sed -n 's/^drift=//p' /tmp/timeline.txt)

case "$case_name" in
  rate)
    expected=$source_fps
    [ "$source_fps" -gt 30 ] && expected=30
    if [ -z "$sanitizer" ]; then
      within "$video_rate" "$($python -c "print($expected * 0.75)")" "$($python -c "print($expected * 1.1)")" ||
        fail "$video_rate video packets per second, not about $expected"
    else
      within "$video_rate" 0.5 33 || fail "$video_rate video packets per second (at most 30 expected)"
    fi
    # Decoded pictures pass through as they are timed (not laid on the CLI's own frame-rate grid).
    ffmpeg -hide_banner -v error -rtsp_transport tcp -i "$rtsp" -t 4 -fps_mode passthrough -f null - \
      > /tmp/decode.log 2>&1 ||
      { cat /tmp/decode.log; fail "ffmpeg could not decode the stream"; }
    # The null muxer's own notice about two pictures landing on one tick of its time base is not a decode
    # error (the stream's timeline is measured above, from the RTP stamps); anything else is.
    grep -v 'non monotonically increasing dts to muxer' /tmp/decode.log > /tmp/decode-errors.log || true
    [ ! -s /tmp/decode-errors.log ] || { cat /tmp/decode.log; fail "ffmpeg decode errors"; }
    # The RTSP source's own log, and the element messages posted (also those posted while it tears down, which
    # gst-launch no longer prints), go to a file of their own, shown only when the case fails.
    GST_DEBUG=rtspsrc:4,GST_ERROR_SYSTEM:4 GST_DEBUG_FILE=/tmp/gst-debug.log GST_DEBUG_NO_COLOR=1 \
      timeout 60 gst-launch-1.0 rtspsrc location="$rtsp" protocols=tcp name=src \
      src. ! queue ! decodebin ! fakesink num-buffers=60 \
      src. ! queue ! decodebin ! fakesink num-buffers=60 > /tmp/gst.out 2>&1 ||
      { tail -5 /tmp/gst.out; fail "gst-launch did not play the stream"; }
    # GStreamer's own notices that are no judgement of the stream: a link tried before the pads exist, and
    # rtspsrc disconnecting a signal twice while it tears down after the sinks had their buffers.
    gst_own='Delayed linking failed|has no handler with id'
    { grep -iE 'WARNING|ERROR|CRITICAL' /tmp/gst.out || true; } | { grep -vE "$gst_own" || true; } > /tmp/gst-warnings.log
    if [ -s /tmp/gst-warnings.log ]; then
      head -5 /tmp/gst-warnings.log
      echo "--- messages the elements posted"
      grep 'GST_ERROR_SYSTEM' /tmp/gst-debug.log | tail -n 10 || true
      echo "--- the RTSP source's log (last lines)"
      tail -n 30 /tmp/gst-debug.log || true
      fail "gst-launch warned"
    fi
    ;;
  drift)
    low=$($python -c "print($seconds * 0.98)")
    high=$($python -c "print($seconds * 1.02)")
    within "$video_span" "$low" "$high" || fail "video timeline of $video_span s over $seconds s of clock"
    within "$audio_span" "$low" "$high" || fail "audio timeline of $audio_span s over $seconds s of clock"
    within "$drift" -0.1 0.1 || fail "video and audio timelines $drift s apart"
    ;;
  *) fail "unknown case" ;;
esac
kill -0 "$pid" || fail "briskbox ended"
if grep -q "WARNING: ThreadSanitizer\|ERROR: AddressSanitizer\|runtime error:" /tmp/briskbox.out; then
  grep -A40 "WARNING: ThreadSanitizer\|ERROR: AddressSanitizer\|runtime error:" /tmp/briskbox.out | head -200 || true
  fail "sanitizer report"
fi
echo "ok ($case_name $source_fps)"
