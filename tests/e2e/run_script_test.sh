#!/usr/bin/env bash
# scripts/run.sh as a user runs it, checked from the machine it runs on: with the demo on, the printed web
# address answers, the printed RTSP URL plays 1920x1080 H.264 with AAC 48 kHz stereo and a setting changed
# over the control channel survives Ctrl-C and a new start; the next start, with DHCP as its network setting,
# is still reached at the same address; after each end (Ctrl-C, then a crash of the appliance, which leaves its
# DHCP client behind) the machine has no interface, address, mount or process left from it.
#   run_script_test.sh BINARY
# "The machine" is a network and mount namespace of this test's own, with an eth0 standing for the real one.
# The suite runs inside the sandbox, whose eth0 already holds the address the host link gives the appliance,
# so the script cannot meet its host link there; and no test changes the real machine's network. For
# run.sh nothing differs: it runs as root in a namespace it takes for its host.
# Margins: a start takes about 20 s (the first start of a boot pauses, then sets up eth0) plus up to two minutes
# for the demo to reach the air on a loaded machine or a sanitizer build, hence 240 s for the address block;
# the player gets 60 s to read both streams, the web UI and each control command a minute; an end is waited
# for 60 s (the appliance stops its servers, the kernel tears the namespaces down; the sandbox's processes and
# where they wait are printed if it takes longer). The frame rate is not checked here: ffprobe guesses it
# from a few timestamps, which a loaded machine blurs; the appliance's own end-to-end test measures it. The
# ctest time-out lies above the sum of these waits, so that a failing run still ends run.sh through this
# script's clean-up.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
if [ "${1:-}" != --host ]; then
  exec unshare --net --mount --propagation private "$0" --host "$@"
fi
binary=$2
python=/usr/bin/python3
work=$(mktemp -d)
runner=
runner_id=
appliance_id=
sandbox_ids=
run_log=

ip link set lo up
ip link add eth0 type veth peer name lan0
ip addr add 203.0.113.10/24 dev eth0
ip link set lan0 up
ip link set eth0 up

fail() {
  echo "FAIL: $*"
  for file in "$work"/run-*.out; do
    [ -e "$file" ] && { echo "--- $file"; tail -n 30 "$file"; }
  done
  for file in "$work"/console-*.out; do
    [ -e "$file" ] && { echo "--- $file (last lines)"; grep -v "^open txt failed\|^uvc_connect_flag=" "$file" | tail -n 40; }
  done
  exit 1
}
cleanup() {
  # Only if a check failed while run.sh still ran: end it as Ctrl-C would.
  if [ -n "$runner" ] && lives "$runner_id"; then
    kill -INT -- "-$runner" 2>/dev/null || true
    wait_for 60 eval "! lives $runner_id" || kill -KILL -- "-$runner" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# wait_for SECONDS COMMAND...: true once the command succeeds.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.5
  done
}
# process_id PID: the process as "PID:START" (its start time since boot), nothing once it is gone. A number
# alone cannot name a process once it has ended: numbers wrap at pid_max (32768 here) and a suite starts
# thousands of processes, so the number soon names another one. The same holds for a namespace's inode
# number, so the sandbox's processes are noted while it lives, not looked up by namespace after its end.
process_id() {
  local fields
  if read_stat "$1"; then echo "$1:${fields[19]}"; fi
}
# read_stat PID: sets the caller's fields to the process's stat fields from its state on (the start time is
# at 19); false when it is gone.
read_stat() {
  local stat
  read -r stat 2>/dev/null < "/proc/$1/stat" || return 1
  read -ra fields <<<"${stat##*) }"
}
# lives ID...: true when one of these processes still runs (a zombie has ended).
lives() {
  local id fields
  for id in "$@"; do
    read_stat "${id%%:*}" || continue
    [ "${fields[0]}" != Z ] && [ "${fields[19]}" = "${id#*:}" ] && return 0
  done
  return 1
}
# What the appliance could leave behind on its host.
host_state() {
  ip -o link | sed 's/ state [A-Z]*//'
  # A fresh IPv6 link-local address is "tentative" for a moment.
  ip -o addr | sed 's/ tentative//'
  ip route
  findmnt -rn -o TARGET,SOURCE,FSTYPE
}
# control COMMAND...: one control-channel command, tried again for a minute while the channel does not answer.
control() {
  local out deadline=$((SECONDS + 60))
  until out=$($python "$here/control_client.py" "$ws" "$@" 2>&1); do
    [ $SECONDS -lt $deadline ] || { echo "$out" >&2; return 1; }
    sleep 1
  done
  echo "$out"
}
# reply_value OUTPUT KEY...: the value at that path in the reply JSON of a control client line.
reply_value() {
  $python -c '
import json, sys
value = json.loads(sys.argv[1].split(" ", 3)[3])
for key in sys.argv[2:]:
    value = value[int(key) if isinstance(value, list) else key]
print(value)' "$@"
}
printed() { sed -n "s/^  $1 *\([^ ]*\).*/\1/p" "$run_log"; }

# start NAME [OPTION...]: starts run.sh in a process group of its own (as a terminal does), waits for its
# address block and reads the addresses off it.
start() {
  run_log=$work/run-$1.out
  local console=$work/console-$1.out
  shift
  # A background command of a script starts with SIGINT ignored; a terminal's foreground job does not.
  setsid env --default-signal=INT "$repo/scripts/run.sh" "$@" --binary "$binary" --userdata "$work/userdata" \
    --console "$console" > "$run_log" 2>&1 &
  runner=$!
  runner_id=$(process_id "$runner")
  # The first start of a boot pauses and sets up eth0 before the servers start; a sanitizer build is slower.
  wait_for 240 eval "grep -q '^Ctrl-C ends it.$' '$run_log' || ! lives $runner_id" ||
    fail "run.sh printed no addresses"
  lives "$runner_id" || fail "run.sh ended"
  web=$(printed "web UI")
  rtsp=$(printed "RTSP output")
  relay=$(printed "RTMP relay")
  ws=ws://$(sed -E 's|^http://([^/]+)/$|\1|' <<<"$web"):8081
  echo "printed: $web $rtsp $relay"
  # The sandbox's first process is the only child of unshare, which is run.sh's only child.
  local unshare first
  read -r unshare _ < "/proc/$runner/task/$runner/children" || true
  read -r first _ < "/proc/$unshare/task/$unshare/children" || true
  sandbox_net=$(readlink "/proc/$first/ns/net")
  appliance=$(sandbox_processes briskbox)
  [ -n "$appliance" ] || fail "no briskbox process in the sandbox"
  appliance_id=$(process_id "$appliance")
}
# sandbox_processes [NAME]: the processes (with that name) in the sandbox's network namespace, while it lives.
sandbox_processes() {
  local dir
  for dir in /proc/[0-9]*; do
    [ "$(readlink "$dir/ns/net" 2>/dev/null)" = "$sandbox_net" ] || continue
    [ -z "${1:-}" ] || [ "$(cat "$dir/comm" 2>/dev/null)" = "$1" ] || continue
    echo "${dir#/proc/}"
  done
}
# note_sandbox: notes the sandbox's processes, before it is told to end.
note_sandbox() {
  local pid
  sandbox_ids=$(for pid in $(sandbox_processes); do process_id "$pid"; done)
}
# The sandbox's processes that are still there (zombies too), what each runs, and where each of their threads
# waits (state, kernel function and stack). A process may end while it is read: nothing here may fail, or the
# failure that called it would not be reported.
show_waits() {
  local id pid task fields
  for id in $sandbox_ids $appliance_id $runner_id; do
    pid=${id%%:*}
    read_stat "$pid" && [ "${fields[19]}" = "${id#*:}" ] || continue
    echo "$pid (parent $(awk '/^PPid:/ {print $2}' "/proc/$pid/status" 2>/dev/null)):" \
      "$(tr '\0' ' ' < "/proc/$pid/cmdline" 2>/dev/null | cut -c1-200)" || true
    for task in /proc/$pid/task/*; do
      echo "$pid/${task##*/} $(cat "$task/comm" 2>/dev/null) state $(cut -d' ' -f3 "$task/stat" 2>/dev/null)" \
        "wchan $(cat "$task/wchan" 2>/dev/null)" || true
      { sed 's/^/    /' "$task/stack" 2>/dev/null | head -n 12; } || true
    done
  done
}
# ended EXPECTED_STATUS: run.sh ends with the appliance's status, and nothing of it stays on the host.
ended() {
  local status=0
  if ! wait_for 60 eval "! lives $runner_id"; then
    show_waits
    fail "run.sh still runs 60 s after the appliance was told to end"
  fi
  wait "$runner" || status=$?
  runner=
  [ "$status" = "$1" ] || fail "run.sh ended with status $status, not $1"
  local left id
  left=$(for id in $sandbox_ids; do if lives "$id"; then echo "${id%%:*}"; fi; done)
  [ -z "$left" ] || fail "processes left from the sandbox: $(ps -o pid,comm -p "${left//$'\n'/,}")"
  ! lives "$appliance_id" || fail "briskbox ($appliance) still runs"
  [ "$(host_state)" = "$before" ] || { diff <(echo "$before") <(host_state) || true; fail "the host changed"; }
  if grep -q "ERROR: AddressSanitizer\|runtime error:" "$work"/console-*.out; then
    grep -A40 "ERROR: AddressSanitizer\|runtime error:" "$work"/console-*.out | head -n 100 || true
    fail "sanitizer report"
  fi
}

before=$(host_state)

# --- first run, demo on
start demo --demo
[ "$web" = http://198.51.100.2/ ] || fail "web address $web"
grep -q "^  on air .*through ip1" "$run_log" || fail "the demo is not on air"
# Read whole before matching: "ip" writes a line at a time, and under pipefail a grep -q that stops reading
# at its match could fail the check with the writer's broken pipe.
grep -qF "inet 198.51.100.1/24" <<<"$(ip -o addr show dev briskbox0)" || fail "no host link with 198.51.100.1/24"
grep -qF "inet 203.0.113.10/24" <<<"$(ip -o addr show dev eth0)" || { host_state; fail "the host's eth0 lost its address"; }
# A loaded machine (a sanitizer build encoding the demo) may keep a page waiting; each check gets its minute.
web_answers() { grep -q "<title>BRISKBOX</title>" <<<"$(curl -sf --max-time 20 "$web")"; }
wait_for 60 web_answers || fail "the web UI does not answer at $web"
logs_in() {
  [ "$(curl -s --max-time 20 -X POST -H 'Content-Type: application/json' -d '{"userName":"velto","passw":"velto"}' \
    "${web}api/login/phone")" = ok ]
}
wait_for 60 logs_in || fail "the default account does not log in"
probe() {
  ffprobe -v error -timeout 5000000 \
    -show_entries stream=codec_name,width,height,r_frame_rate,sample_rate,channels -of compact=p=0 "$rtsp" \
    > "$work/probe.txt" 2>&1 &&
    grep -q '^codec_name=h264|width=1920|height=1080' "$work/probe.txt" &&
    grep -q '^codec_name=aac|sample_rate=48000|channels=2' "$work/probe.txt"
}
wait_for 60 probe || { cat "$work/probe.txt"; fail "ffprobe does not read 1080p30 H.264 with AAC 48000 stereo at $rtsp"; }
cat "$work/probe.txt"
[ "$(reply_value "$(control get 03 34)" data language)" = 0 ] || fail "the language is not the default"
control set 03 31 '{"languageData":{"locae":1}}' > /dev/null || fail "control channel"
[ "$(reply_value "$(control get 03 34)" data language)" = 1 ] || fail "the language setting was not taken"
# DHCP from the next start on: its client flushes eth0's addresses and stays behind as a daemon.
control set 03 00 '{"ip":"","mask":"","gateway":"","dns":"","switch":true}' > /dev/null || fail "control channel"
note_sandbox
kill -INT -- "-$runner"
ended 2
grep -q "^Interrupt signal (2) received.$" "$work/console-demo.out" || fail "the appliance did not end on SIGINT"
[ -s "$work/userdata/version" ] || fail "no version file in the settings folder"

# --- second run, no demo: the settings of the first are there; the appliance crashes
start again
wait_for 60 web_answers || fail "the web UI does not answer with DHCP on"
[ "$(reply_value "$(control get 03 34)" data language)" = 1 ] || fail "the language setting did not survive"
[ "$(reply_value "$(control get 03 36)" data typeMonitor)" = IP1 ] || fail "the input on air did not survive"
[ "$(reply_value "$(control get 03 00)" data dhcp)" = True ] || fail "the network setting did not survive"
[ -n "$(sandbox_processes udhcpc)" ] || fail "no DHCP client runs in the sandbox"
note_sandbox
kill -SEGV "$appliance"
ended $((128 + 11))
echo "ok"
