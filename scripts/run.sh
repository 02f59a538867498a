#!/usr/bin/env bash
# Installs what is missing, builds the appliance and runs it inside its sandbox, where this machine reaches it
# at 198.51.100.2 (the sandbox's host link). Its /userdata is a folder kept between runs. When it is up, the
# addresses to open are printed; Ctrl-C ends it, and the link, its address and every process go with it.
#   scripts/run.sh [--demo] [--userdata DIR] [--console FILE] [--binary FILE]
# --demo           puts a test source on air: ffmpeg publishes a moving test pattern with a tone to the
#                  appliance's RTMP relay, and the RTMP input ("ip1") is switched on and put on air through the
#                  control channel, as a user does in the web UI. Those settings stay like any other.
# --userdata DIR   the appliance's /userdata (settings, version file); default: userdata/ in the repository.
# --console FILE   where the appliance's console output goes; default: build/briskbox.out.
# --binary FILE    runs this build of briskbox instead of installing what is missing and building.
# The exit status is the appliance's (2 after Ctrl-C).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" != --inside ]; then
  demo=
  userdata=$repo/userdata
  console=$repo/build/briskbox.out
  binary=
  while [ $# -gt 0 ]; do
    case "$1" in
      --demo) demo=1; shift ;;
      --userdata|--console|--binary)
        [ $# -ge 2 ] || { echo "$0: $1 needs a path" >&2; exit 2; }
        declare "${1#--}=$2"
        shift 2 ;;
      *) echo "usage: $0 [--demo] [--userdata DIR] [--console FILE] [--binary FILE]" >&2; exit 2 ;;
    esac
  done
  if [ -z "$binary" ]; then
    "$repo/scripts/install-deps.sh"
    "$repo/scripts/build.sh" normal
    binary=$repo/build/main/briskbox
  fi
  [ -x "$binary" ] || { echo "$0: $binary is not an executable" >&2; exit 2; }
  binary=$(cd "$(dirname "$binary")" && pwd)/$(basename "$binary")
  mkdir -p "$userdata" "$(dirname "$console")"
  userdata=$(cd "$userdata" && pwd)
  # The sandbox writes the console output through this descriptor, wherever the file lives.
  exec 3>"$console"
  console=$(cd "$(dirname "$console")" && pwd)/$(basename "$console")
  exec "$repo/scripts/sandbox.sh" --host-link --userdata "$userdata" \
    "$0" --inside "$binary" "$userdata" "$console" "$demo"
fi

# Inside the sandbox, as its first process: start the appliance, wait for its ports, put the demo on air,
# print the addresses, and end with the appliance.
binary=$2
userdata=$3
console=$4
demo=$5
address=${BRISKBOX_SANDBOX_HOST_ADDRESS:?runs only inside scripts/sandbox.sh --host-link}
unset BRISKBOX_SANDBOX_HOST_ADDRESS
control_client=$repo/tests/e2e/control_client.py
pid=
stopping=
on_air=
demo_failure=

# One SIGINT ends the appliance (it ignores SIGTERM once its servers run).
stop() {
  [ -z "$stopping" ] || return 0
  stopping=1
  [ -z "$pid" ] || kill -INT "$pid" 2>/dev/null || true
}
trap stop INT TERM HUP

running() { [ -z "$stopping" ] && kill -0 "$pid" 2>/dev/null; }
# pause SECONDS: sleeps in the background, where Ctrl-C does not reach the sleep: as the sandbox's first
# process this shell would end with a foreground command that Ctrl-C ends. The trap may cut the wait short.
pause() {
  sleep "$1" &
  wait $! || true
}
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
ports_open() { port_open 80 && port_open 8081 && port_open 8554 && port_open 1935; }
# wait_while_running SECONDS COMMAND...: true once the command succeeds; false when the time is up or the
# appliance ended.
wait_while_running() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    running && [ $SECONDS -lt $deadline ] || return 1
    pause 0.5
  done
}
control() { /usr/bin/python3 "$control_client" ws://127.0.0.1:8081 "$@"; }
# json_at JSON KEY...: the value at that path ("" when absent), JSON booleans as true/false.
json_at() {
  /usr/bin/python3 -c '
import json, sys
try:
    value = json.loads(sys.argv[1])
    for key in sys.argv[2:]:
        value = value[int(key) if isinstance(value, list) else key]
except (LookupError, ValueError, TypeError):
    value = ""
print(json.dumps(value) if isinstance(value, bool) else value)' "$@"
}
# reply_of OUTPUT: the reply JSON of the control client's single line of output.
reply_of() { sed -E 's/^(set|get) [0-9a-f]{2} [0-9a-f]{2} //' <<<"$1"; }

start_demo() {
  local relay=rtmp://127.0.0.1:1935/live/av0 reply
  # The publisher starts again whenever the relay drops it, as long as the sandbox lives.
  (
    while :; do
      ffmpeg -hide_banner -loglevel error -re \
        -f lavfi -i testsrc2=size=1280x720:rate=30 -f lavfi -i sine=frequency=1000:sample_rate=48000 \
        -c:v libx264 -preset ultrafast -tune zerolatency -g 30 -pix_fmt yuv420p -b:v 3M \
        -c:a aac -ac 2 -ar 48000 -b:a 128k -f flv "$relay"
      sleep 2
    done
  ) </dev/null >/dev/null 2>&1 &
  relay_has_stream() { ffprobe -v quiet -rw_timeout 5000000 -show_entries stream=codec_type "$relay" >/dev/null; }
  wait_while_running 60 relay_has_stream || { demo_failure="the relay has no test stream"; return 1; }
  # The RTMP input is refused while the network stream input is on: switch that off, keeping its address.
  reply=$(reply_of "$(control get 05 00)")
  if [ "$(json_at "$reply" data netinput 0 netSwitch)" = true ]; then
    control set 11 00 "$(/usr/bin/python3 -c '
import json, sys
entry = json.loads(sys.argv[1])["data"]["netinput"][0]
print(json.dumps({"netInpt": [{"netName": entry["netName"], "netUrl": entry["netUrl"], "netSwitch": False}]}))
' "$reply")" >/dev/null
  fi
  reply=$(reply_of "$(control set 11 01 "{\"netInpt\":[{\"netName\":\"rtmp\",\"netUrl\":\"$relay\",\"netSwitch\":true}]}")")
  [ "$(json_at "$reply" data check)" = true ] || { demo_failure="the RTMP input was refused: $reply"; return 1; }
  control set 03 36 '{"typeMonitor":"IP1"}' >/dev/null
  # The status page shows the input's format once its pictures arrive.
  ip1_format() { json_at "$(reply_of "$(control get 03 37)")" data PortInfo 2 resolution; }
  ip1_delivers() { [ -n "$(ip1_format 2>/dev/null)" ]; }
  wait_while_running 60 ip1_delivers || { demo_failure="ip1 delivers no pictures"; return 1; }
  on_air="the demo's test pattern and tone, $(ip1_format) through ip1 from $relay"
}

# The appliance's status is kept by a shell of its own: this one's trap could lose it (see keep_status.sh).
# In the sandbox, /tmp is its own.
pid_file=$(mktemp)
status_file=$(mktemp)
"$repo/scripts/keep_status.sh" "$pid_file" "$status_file" "$binary" </dev/null >&3 2>&1 3>&- &
keeper=$!
exec 3>&-
until [ -s "$pid_file" ]; do pause 0.05; done
pid=$(<"$pid_file")
# A signal that came before the appliance's number was known is passed on now.
[ -z "$stopping" ] || kill -INT "$pid" 2>/dev/null || true
echo "briskbox starts (about 20 s: each run is a fresh boot of the device); console output: $console"
if wait_while_running 180 ports_open; then
  [ -z "$demo" ] || start_demo || ! running || echo "demo: not on air: $demo_failure"
  if running; then
    cat <<EOF

briskbox runs. From this machine:
  web UI        http://$address/   (log in as velto, password velto, unless changed)
  RTSP output   rtsp://$address:8554/live/main
  RTMP relay    rtmp://$address:1935/live/NAME   (the RTMP input plays live/av0)
  settings      $userdata
EOF
    [ -z "$on_air" ] || echo "  on air        $on_air"
    echo "Ctrl-C ends it."
  fi
elif running; then
  echo "briskbox does not open its ports; see $console"
  stop
fi

# The keeper writes the status once the appliance has ended; only a SIGKILL could end it before that.
ended_or_zombie() {
  local stat
  read -r stat 2>/dev/null < "/proc/$1/stat" || return 0
  stat=${stat##*) }
  [ "${stat%% *}" = Z ]
}
until [ -s "$status_file" ] || ended_or_zombie "$keeper"; do pause 0.2; done
status=$(<"$status_file")
[ -n "$status" ] || { echo "briskbox's keeper was killed: its exit status is lost"; status=1; }
echo "briskbox ended with status $status"
exit "$status"
