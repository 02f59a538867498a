#!/usr/bin/env bash
# Runs a command in the background of a shell that only waits for it: writes the command's process number to
# PID_FILE and, once it has ended, its exit status to STATUS_FILE.
#   scripts/keep_status.sh PID_FILE STATUS_FILE COMMAND [ARG...]
# A shell that traps signals cannot wait for its children reliably: a wait that a trapped signal cuts short
# just after it collected a child loses that child's status, and a later wait for it never returns. This
# shell has no traps. It ignores SIGINT, SIGTERM and SIGHUP (a Ctrl-C or a closing terminal must not end it
# before the status is written); the command starts with their default handling.
set -uo pipefail
[ $# -ge 3 ] || { echo "usage: $0 PID_FILE STATUS_FILE COMMAND [ARG...]" >&2; exit 2; }
trap '' INT TERM HUP
env --default-signal=INT,TERM,HUP "${@:3}" &
echo $! > "$1"
status=0
wait $! || status=$?
echo "$status" > "$2"
