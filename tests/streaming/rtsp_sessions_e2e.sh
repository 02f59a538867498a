#!/usr/bin/env bash
# Real players against the RTSP stream feed run as in the appliance (product port, start thread, restart
# watchdog): GStreamer pauses, resumes and sends SET_PARAMETER and GET_PARAMETER over TCP and UDP; a UDP
# ffmpeg player keeps its session past the 60 s timeout while twenty clients connect and leave at once; the
# packets for a UDP player that is killed, and for one that is frozen (a vanished host: its sockets stay, it
# sends nothing), stop within 70 s.
#   rtsp_sessions_e2e.sh RTSP_FEEDER PLAYER_CONTROLS_SCRIPT
# Runs only inside the sandbox (scripts/sandbox.sh), whose network namespace has only this test's sockets;
# elsewhere it reports itself skipped (77). Its length is the product's 60 s session timeout: the margins
# (70 s for the packets to stop, 75 s of play) are those the behaviour promises, not guesses at speed.
set -uo pipefail
feeder=$1
controls=$2
[ "${BRISKBOX_SANDBOX:-}" = 1 ] || { echo "skipped: runs only inside scripts/sandbox.sh"; exit 77; }
# A fresh sandbox of its own: the product port is free whatever else runs, and the UDP counters read below
# count this test's sockets only.
if [ "${RTSP_SESSIONS_OWN_SANDBOX:-}" != 1 ]; then
  exec env RTSP_SESSIONS_OWN_SANDBOX=1 "$(cd "$(dirname "$0")/../.." && pwd)/scripts/sandbox.sh" "$0" "$@"
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -CONT "$pid" 2>/dev/null; kill -KILL "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

ffmpeg -v error -y -f lavfi -i testsrc2=size=640x360:rate=30 -t 4 -c:v libx264 -preset veryfast -g 30 -bf 0 \
  -x264-params repeat-headers=1 -f h264 "$work/v.h264" || { echo "cannot make the video fixture"; exit 1; }
ffmpeg -v error -y -f lavfi -i sine=frequency=440:sample_rate=48000 -ac 2 -t 4 -c:a aac -b:a 128k -f adts \
  "$work/a.aac" || { echo "cannot make the audio fixture"; exit 1; }

"$feeder" 8554 "$work/v.h264" "$work/a.aac" 0 30 watchdog > "$work/feeder.log" 2>&1 &
pids+=($!)
feeder_pid=$!
for _ in $(seq 100); do
  (exec 3<>/dev/tcp/127.0.0.1/8554) 2>/dev/null && break
  sleep 0.1
done
url=rtsp://127.0.0.1:8554/live/main

# --- PAUSE, PLAY, SET_PARAMETER, GET_PARAMETER from a real player
for transport in tcp udp; do
  timeout 90 "$controls" "$url" $transport > "$work/controls.out" 2>&1
  rc=$?
  echo "controls $transport: rc=$rc: $(tr '\n' ' ' < "$work/controls.out")"
  [ $rc -eq 0 ] || fail "GStreamer controls over $transport"
done
grep -q "paused" "$work/feeder.log" || fail "the server saw no PAUSE"

# --- sums over the sandbox's own UDP sockets
udp_noports() { awk '/^Udp:/ { if (!h) { for (i = 2; i <= NF; i++) if ($i == "NoPorts") c = i; h = 1 } else print $c }' /proc/net/snmp; }
udp_drops() {  # drops of the UDP sockets bound to local ports $1..$2
  local total=0 sl local_address rest port
  while read -r sl local_address rest; do
    [ "$sl" = sl ] && continue
    port=$((16#${local_address##*:}))
    [ $port -ge "$1" ] && [ $port -le "$2" ] && total=$((total + ${rest##* }))
  done < /proc/net/udp
  echo $total
}
# Samples both counters every 2 s until $1 + 6 s; prints the time of each one's last change.
last_changes() {
  local deadline=$1 a b va vb ca=$SECONDS cb=$SECONDS
  a=$(udp_noports); b=$(udp_drops 44000 44010)
  while [ $SECONDS -lt $((deadline + 6)) ]; do
    sleep 2
    va=$(udp_noports); vb=$(udp_drops 44000 44010)
    [ "$va" != "$a" ] && { a=$va; ca=$SECONDS; }
    [ "$vb" != "$b" ] && { b=$vb; cb=$SECONDS; }
  done
  echo "$ca $cb"
}
frames_of() { grep '^frame=' "$1" 2>/dev/null | tail -1 | cut -d= -f2; }
wait_frames() {  # file, count: the player has decoded that many frames (within 30 s)
  for _ in $(seq 300); do [ "$(frames_of "$1")" ] && [ "$(frames_of "$1")" -ge "$2" ] && return 0; sleep 0.1; done
  return 1
}

# --- a player kept alive past the timeout, one killed, one frozen
timeout 120 ffmpeg -v error -rtsp_transport udp -min_port 42000 -max_port 42010 -i "$url" -t 75 -f null \
  -progress "$work/keep.progress" - > /dev/null 2> "$work/keep.err" &
keep_pid=$!
pids+=($keep_pid)
ffmpeg -v error -rtsp_transport udp -min_port 43000 -max_port 43010 -i "$url" -f null \
  -progress "$work/killed.progress" - > /dev/null 2>&1 &
killed_pid=$!
pids+=($killed_pid)
ffmpeg -v error -rtsp_transport udp -min_port 44000 -max_port 44010 -i "$url" -f null \
  -progress "$work/frozen.progress" - > /dev/null 2>&1 &
frozen_pid=$!
pids+=($frozen_pid)
for p in keep killed frozen; do wait_frames "$work/$p.progress" 30 || fail "the $p player did not start"; done

# Twenty clients that connect and leave at once, half of them right after a DESCRIBE.
for i in $(seq 20); do
  if exec 3<>/dev/tcp/127.0.0.1/8554; then
    if [ $((i % 2)) = 0 ]; then
      printf 'DESCRIBE %s RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n\r\n' "$url" >&3
      timeout 2 head -c 15 <&3 > /dev/null
    fi
    exec 3>&-
  else
    fail "connection $i refused"
  fi
done

kill -KILL $killed_pid
kill -STOP $frozen_pid
start=$SECONDS
sleep 4
# The frozen player's sockets are still there, full: what the server sends it is dropped and counted.
before=$(udp_drops 44000 44010)
sleep 2
[ "$(udp_drops 44000 44010)" -gt "$before" ] || fail "the frozen player was not being sent anything"
read -r killed_stop frozen_stop < <(last_changes $((start + 70)))
echo "last packets for the killed player at +$((killed_stop - start)) s, for the frozen one at +$((frozen_stop - start)) s"
[ $((killed_stop - start)) -le 70 ] || fail "packets for the killed player did not stop within 70 s"
[ $((frozen_stop - start)) -le 70 ] || fail "packets for the frozen player did not stop within 70 s"
grep -q "silent for" "$work/feeder.log" || fail "the frozen player's session was not closed for its silence"

wait $keep_pid
rc=$?
frames=$(frames_of "$work/keep.progress")
echo "kept player: rc=$rc frames=${frames:-none} errors=$(wc -l < "$work/keep.err")"
[ $rc -eq 0 ] || fail "the kept player exited with $rc"
[ "${frames:-0}" -ge 2000 ] || fail "the kept player decoded ${frames:-0} frames in 75 s"
grep -q "restart" "$work/feeder.log" && fail "the server was restarted"
kill -0 "$feeder_pid" 2>/dev/null || fail "the feeder died"
[ $failures -eq 0 ] && echo "sessions behave" || { echo "--- feeder log"; grep -v "error_main_flag" "$work/feeder.log" | tail -30; }
exit $((failures > 0))
