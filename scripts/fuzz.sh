#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for a fixed time over its seed corpus, as many at once as there
# are processors (each target is one single-threaded process).
#   scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 30)
#   scripts/fuzz.sh --total SECONDS        the whole run takes about SECONDS: the time is shared out among
#                                          the targets (at least 5 s and at most 30 s each)
#   FUZZ_JOBS=N scripts/fuzz.sh ...        N targets at once instead of one per processor
# Prints "fuzz: NAME ok" or "fuzz: NAME FAILED" per target; exits non-zero when one failed.
set -uo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
jobs=${FUZZ_JOBS:-$(nproc)}
[ "$jobs" -ge 1 ] || jobs=1

targets=()
for target in "$repo"/build-fuzz/fuzz/fuzz_*; do
  [ -x "$target" ] && targets+=("$target")
done
if [ ${#targets[@]} = 0 ]; then
  echo "fuzz: no targets yet"
  exit 0
fi

if [ "${1:-}" = --total ]; then
  total=${2:?"--total needs the seconds of the whole run"}
  # Rounds of `jobs` targets share the total; each round lasts one target's time.
  rounds=$(( (${#targets[@]} + jobs - 1) / jobs ))
  seconds=$(( total / rounds ))
  [ "$seconds" -ge 5 ] || seconds=5
  [ "$seconds" -le 30 ] || seconds=30
else
  seconds=${1:-30}
fi
echo "fuzz: ${#targets[@]} targets, $seconds s each, $jobs at once"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Fuzzes one target in its own folder; its status lands in NAME.status, its output in NAME.log.
fuzz_one() {
  local target=$1 name seeds corpus
  name=$(basename "$target"); name=${name#fuzz_}
  seeds="$repo/fuzz/corpus/$name"
  corpus="$work/$name.corpus"
  mkdir -p "$corpus"
  [ -d "$seeds" ] && cp -r "$seeds"/. "$corpus"/
  # A crash leaves its input (crash-*) in the current folder, as libFuzzer does.
  "$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -print_final_stats=0 "$corpus" > "$work/$name.log" 2>&1
  echo $? > "$work/$name.status"
}

running=0
for target in "${targets[@]}"; do
  if [ $running -ge "$jobs" ]; then
    wait -n
    running=$((running - 1))
  fi
  fuzz_one "$target" &
  running=$((running + 1))
done
wait

status=0
for target in "${targets[@]}"; do
  name=$(basename "$target"); name=${name#fuzz_}
  if [ "$(cat "$work/$name.status" 2>/dev/null)" = 0 ]; then
    echo "fuzz: $name ok"
  else
    echo "fuzz: $name FAILED"; tail -n 40 "$work/$name.log"; status=1
  fi
done
exit $status
