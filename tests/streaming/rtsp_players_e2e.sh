#!/usr/bin/env bash
# Real players against the RTSP stream feed: the test feeder pushes an H.264 + AAC stream made here by ffmpeg
# into the frame queues in real time; ffprobe, ffmpeg and GStreamer play it over TCP and UDP.
#   rtsp_players_e2e.sh RTSP_FEEDER
# Runs only inside the sandbox (scripts/sandbox.sh); elsewhere it reports itself skipped (77).
set -uo pipefail
feeder=$1
[ "${BRISKBOX_SANDBOX:-}" = 1 ] || { echo "skipped: runs only inside scripts/sandbox.sh"; exit 77; }

work=$(mktemp -d)
feeder_pid=
cleanup() {
  # The event loop ignores SIGTERM as the appliance does, and a background job ignores SIGINT.
  [ -n "$feeder_pid" ] && kill -KILL "$feeder_pid" 2>/dev/null && wait "$feeder_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

ffmpeg -v error -y -f lavfi -i testsrc2=size=640x360:rate=30 -t 4 -c:v libx264 -preset veryfast -g 30 -bf 0 \
  -x264-params repeat-headers=1 -f h264 "$work/v.h264" || { echo "cannot make the video fixture"; exit 1; }
ffmpeg -v error -y -f lavfi -i sine=frequency=440:sample_rate=48000 -ac 2 -t 4 -c:a aac -b:a 128k -f adts \
  "$work/a.aac" || { echo "cannot make the audio fixture"; exit 1; }

port=$((20000 + RANDOM % 20000))
"$feeder" "$port" "$work/v.h264" "$work/a.aac" 90 > "$work/feeder.log" 2>&1 &
feeder_pid=$!
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done
url=rtsp://127.0.0.1:$port/live/main

for transport in tcp udp; do
  out=$(timeout 30 ffprobe -v error -rtsp_transport $transport \
        -show_entries stream=codec_name,width,height,sample_rate,channels -of compact "$url" 2>&1)
  echo "ffprobe $transport: $out"
  grep -q 'codec_name=h264|width=640|height=360' <<<"$out" || fail "ffprobe $transport: no 640x360 h264 stream"
  grep -q 'codec_name=aac|sample_rate=48000|channels=2' <<<"$out" || fail "ffprobe $transport: no aac 48000/2"
done

first=$(timeout 30 ffprobe -v error -rtsp_transport tcp -select_streams v -show_entries packet=flags \
        -read_intervals %+1 -of csv=p=0 "$url" 2>&1 | head -1)
[ "${first:0:1}" = K ] || fail "first video packet is not a key frame: '$first'"

for transport in tcp udp; do
  # -enc_time_base -1: the stream's own time stamps, not ticks of a frame-rate guess two pictures may share.
  timeout 40 ffmpeg -v error -rtsp_transport $transport -i "$url" -t 5 -enc_time_base -1 -f null -progress "$work/progress" - \
    > "$work/ffmpeg.out" 2> "$work/ffmpeg.err"
  rc=$?
  frames=$(grep '^frame=' "$work/progress" | tail -1 | cut -d= -f2)
  echo "ffmpeg $transport: rc=$rc frames=${frames:-none} errors=$(wc -l < "$work/ffmpeg.err")"
  [ $rc -eq 0 ] || fail "ffmpeg $transport exited with $rc"
  [ -s "$work/ffmpeg.err" ] && { fail "ffmpeg $transport reported errors"; head -5 "$work/ffmpeg.err"; }
  [ "${frames:-0}" -ge 120 ] || fail "ffmpeg $transport decoded ${frames:-0} frames in 5 s"
done

for transport in tcp udp; do
  timeout 40 gst-launch-1.0 rtspsrc location="$url" protocols=$transport name=src \
    src. ! queue ! decodebin ! fakesink num-buffers=90 \
    src. ! queue ! decodebin ! fakesink num-buffers=90 > "$work/gst.out" 2>&1
  rc=$?
  echo "gst-launch $transport: rc=$rc"
  [ $rc -eq 0 ] || { fail "gst-launch $transport exited with $rc"; tail -5 "$work/gst.out"; }
  # Each branch takes whichever stream pad comes first (a caps filter per branch made gst-launch's delayed
  # linking fail now and then); decodebin decodes the video or the audio it gets. GStreamer's own notice of
  # rtspsrc disconnecting a signal twice while it tears down after the sinks had their buffers is no judgement
  # of the stream either.
  grep -iE 'WARNING|ERROR|CRITICAL' "$work/gst.out" | grep -vE 'Delayed linking failed|has no handler with id' \
    > "$work/gst.warn"
  [ -s "$work/gst.warn" ] && { fail "gst-launch $transport warned"; head -5 "$work/gst.warn"; }
  grep -q 'Got EOS' "$work/gst.out" || fail "gst-launch $transport did not reach the end of its buffers"
done

kill -0 "$feeder_pid" 2>/dev/null || fail "the feeder died"
[ $failures -eq 0 ] && echo "all players played" || { echo "--- feeder log"; tail -20 "$work/feeder.log"; }
exit $((failures > 0))
