#!/usr/bin/env bash
# Installs what is missing, builds every flavour and runs every test inside the sandbox:
#   normal build: all tests; AddressSanitizer + UndefinedBehaviorSanitizer build: all tests;
#   ThreadSanitizer build: the tests labelled "threaded"; libFuzzer build: each target over its corpus;
#   and the sandbox's own checks from outside it.
# The last line is the summary "N passed, N failed".
#   FLAVOURS="normal asan tsan fuzz" scripts/test.sh
# The fuzz step takes about FUZZ_TOTAL_SECONDS (default 120) shared out among the targets, one target per
# processor at a time; FUZZ_SECONDS=N gives every target N seconds instead.
set -uo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
flavours=${FLAVOURS:-normal asan tsan fuzz}
jobs=$(nproc)
passed=0
failed=0
logs=$(mktemp -d)

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

pass() { passed=$((passed + 1)); echo "PASS: $1"; }
fail() { failed=$((failed + 1)); echo "FAIL: $1"; }

# Adds the counts of one ctest run to the totals; a run that did not report counts as one failure.
count_ctest() {
  local name=$1 log=$2 line total nfail
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -n "$line" ]; then
    nfail=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
    passed=$((passed + total - nfail))
    failed=$((failed + nfail))
  elif grep -q 'No tests were found' "$log"; then
    echo "$name: no tests"
  else
    fail "$name did not finish"
  fi
}

"$repo/scripts/install-deps.sh" || { fail "install"; echo "$passed passed, $failed failed"; exit 1; }

host_eth0_before=$(ip -o addr show dev eth0 2>/dev/null; ip -o link show dev eth0 2>/dev/null | sed 's/ state [A-Z]*//')

# Prints how long a step took: "time: STEP N s".
step_start=$SECONDS
step_time() { echo "time: $1 $((SECONDS - step_start)) s"; step_start=$SECONDS; }

# Builds run in the background, each into its own log. While one flavour's tests run, the next flavour is
# built at idle priority (SCHED_IDLE): the tests spend much of their time waiting on real time and peers, and
# the compiler takes only the processor time they leave, so it neither slows nor crowds them.
declare -A build_pid build_began
start_build() {  # start_build FLAVOUR [idle]
  local launcher=()
  [ "${2:-}" = idle ] && launcher=(chrt --idle 0 ionice -c 3)
  "${launcher[@]}" "$repo/scripts/build.sh" "$1" > "$logs/build-$1.log" 2>&1 &
  build_pid[$1]=$!
  build_began[$1]=$SECONDS
}
# finish_build FLAVOUR: waits for its build; true when it built (with or without warnings).
finish_build() {
  local flavour=$1 waited=$SECONDS status=0
  wait "${build_pid[$flavour]}" || status=$?
  echo "time: build $flavour $((SECONDS - waited)) s (started $((SECONDS - build_began[$flavour])) s ago)"
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$logs/build-$flavour.log"
    fail "build $flavour"
    return 1
  fi
  if grep -q 'warning:' "$logs/build-$flavour.log"; then
    grep 'warning:' "$logs/build-$flavour.log" | head -n 20
    fail "build $flavour has warnings"
  else
    pass "build $flavour"
  fi
}

read -ra order <<<"$flavours"
for i in "${!order[@]}"; do
  flavour=${order[$i]}
  [ -n "${build_pid[$flavour]:-}" ] || start_build "$flavour"
  built=true
  finish_build "$flavour" || built=false
  next=${order[$((i + 1))]:-}
  [ -z "$next" ] || start_build "$next" idle
  $built || continue
  step_start=$SECONDS
  case "$flavour" in
    normal) dir=build; select=() ;;
    asan) dir=build-asan; select=() ;;
    tsan) dir=build-tsan; select=(-L threaded) ;;
    fuzz)
      if [ -n "${FUZZ_SECONDS:-}" ]; then fuzz_time=("$FUZZ_SECONDS"); else fuzz_time=(--total "${FUZZ_TOTAL_SECONDS:-120}"); fi
      if "$repo/scripts/fuzz.sh" "${fuzz_time[@]}" > "$logs/fuzz.log" 2>&1; then pass "fuzz"; else fail "fuzz"; fi
      cat "$logs/fuzz.log"
      step_time "fuzz"
      continue ;;
  esac
  echo "== ctest $flavour"
  "$repo/scripts/sandbox.sh" ctest --test-dir "$repo/$dir" -j "$jobs" --output-on-failure "${select[@]}" \
    > "$logs/ctest-$flavour.log" 2>&1
  grep -E '^ *[0-9]+/[0-9]+ Test|tests passed|\*\*\*[A-Z]' "$logs/ctest-$flavour.log" | grep -v ' Passed ' || true
  grep -q 'tests failed out of' "$logs/ctest-$flavour.log" && ! grep -q ' 0 tests failed' "$logs/ctest-$flavour.log" \
    && sed -n '/The following tests FAILED/,$p' "$logs/ctest-$flavour.log"
  # The output of each failed test: ctest prints it right after the test's result line.
  awk '/^ *[0-9]+\/[0-9]+ Test +#.*\*\*\*/ { show = 1; n = 0; name = $0; sub(/^[^:]*: /, "", name); sub(/ \.\.+.*/, "", name)
                                              print "--- output of " name; next }
       /^ *[0-9]+\/[0-9]+ Test +#/ || /^ +Start +[0-9]+:/ || /tests passed, / { show = 0 }
       show && n++ < 300' "$logs/ctest-$flavour.log"
  count_ctest "ctest $flavour" "$logs/ctest-$flavour.log"
  step_time "ctest $flavour"
done

# The sandbox's own checks, made from outside it.
if "$repo/tests/sandbox/sandbox_check.sh"; then pass "sandbox isolation"; else fail "sandbox isolation"; fi
host_eth0_after=$(ip -o addr show dev eth0 2>/dev/null; ip -o link show dev eth0 2>/dev/null | sed 's/ state [A-Z]*//')
if [ "$host_eth0_before" = "$host_eth0_after" ]; then pass "host eth0 untouched by the suite"
else fail "host eth0 changed during the suite"; diff <(echo "$host_eth0_before") <(echo "$host_eth0_after"); fi

rm -rf "$logs"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
