#!/usr/bin/env bash
# The real binary, started in a sandbox of its own, appends its start line to that sandbox's /tmp/error.tex
# in the logger's line format and keeps running.
set -euo pipefail
binary=$1
repo=$(cd "$(dirname "$0")/../.." && pwd)
exec "$repo/scripts/sandbox.sh" bash -c '
  binary=$1
  "$binary" > /tmp/briskbox.out 2>&1 &
  pid=$!
  # Up to 40 s: the start line comes within a second, later under a sanitizer on a loaded machine.
  for _ in $(seq 1 400); do
    grep -qs "=== start ===" /tmp/error.tex && break
    sleep 0.1
  done
  alive=no; kill -0 "$pid" 2>/dev/null && alive=yes
  kill "$pid" 2>/dev/null || true
  echo "--- /tmp/error.tex"; cat /tmp/error.tex 2>/dev/null || echo "(missing)"
  echo "--- stdout"; cat /tmp/briskbox.out
  pattern="^\[D\]\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}\]\[main\.cpp:[0-9]+\]"
  grep -qE "$pattern" /tmp/error.tex || { echo "no logger line from main.cpp"; exit 1; }
  grep -q "Logger::get_instance() === start ===" /tmp/error.tex || { echo "no start line"; exit 1; }
  [ "$alive" = yes ] || { echo "briskbox did not keep running"; exit 1; }
  echo "ok"
' bash "$binary"
