#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for a fixed time over its seed corpus.
#   scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 30)
# Prints "fuzz: NAME ok" or "fuzz: NAME FAILED" per target; exits non-zero when one failed.
set -uo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
status=0
found=0
for target in "$repo"/build-fuzz/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  found=1
  name=$(basename "$target"); name=${name#fuzz_}
  seeds="$repo/fuzz/corpus/$name"
  work=$(mktemp -d)
  [ -d "$seeds" ] && cp -r "$seeds"/. "$work"/
  if "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=0 "$work" \
       > "$work.log" 2>&1; then
    echo "fuzz: $name ok"
  else
    echo "fuzz: $name FAILED"; tail -n 40 "$work.log"; status=1
  fi
  rm -rf "$work" "$work.log"
done
[ $found = 1 ] || echo "fuzz: no targets yet"
exit $status
