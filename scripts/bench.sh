#!/usr/bin/env bash
# Builds the normal flavour and runs every benchmark inside the sandbox; each prints its own figures.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
"$repo/scripts/install-deps.sh"
"$repo/scripts/build.sh" normal
for bench in "$repo"/build/bench/bench_*; do
  [ -x "$bench" ] || continue
  echo "== $(basename "$bench")"
  "$repo/scripts/sandbox.sh" "$bench"
done
