#!/usr/bin/env bash
# cmake/wine-ctest.sh's one retry, on a test tree of its own whose programs
# are shell lines that print what programs under wine print:
#   - a scenario of ours that ran (its start line is there) and then failed
#     once, with one of wine's start-up messages in its output: a real
#     failure, which must fail the run and must not be run again;
#   - a program that never started the first time (wine's client error and
#     nothing of ours), then passed: run once more, and named as passed on
#     the retry.
#
#   wine-ctest-test.sh WINE_CTEST
set -uo pipefail

wine_ctest=${1:?usage: wine-ctest-test.sh WINE_CTEST}
work=$(mktemp -d "${TMPDIR:-/tmp}/tamsor-wine-ctest.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Each line: the run count in NAME.runs, then what that run prints.
cat >"$work/CTestTestfile.cmake" <<CMAKE
add_test(scenario_failure "/bin/sh" "-c" "echo x >>scenario_failure.runs; echo 'wine: failed to open L\"C:\\\\\\\\windows\\\\\\\\syswow64\\\\\\\\rundll32.exe\": c0000135'; echo 'tamsor-test: started: the wizard window is up'; if [ \$(wc -l <scenario_failure.runs) -eq 1 ]; then echo 'FAILED at step the disc list'; exit 1; fi")
set_tests_properties(scenario_failure PROPERTIES WORKING_DIRECTORY "$work")
add_test(never_started "/bin/sh" "-c" "echo x >>never_started.runs; if [ \$(wc -l <never_started.runs) -eq 1 ]; then echo 'wine client error:0: version mismatch'; exit 1; fi; echo '[==========] Running 1 test from 1 test suite.'")
set_tests_properties(never_started PROPERTIES WORKING_DIRECTORY "$work")
CMAKE

"$wine_ctest" "$work" >"$work/output.txt" 2>&1
status=$?
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

[ $status -ne 0 ] || fail "the run passed although a scenario of ours failed"
runs=$(wc -l <"$work/scenario_failure.runs" 2>/dev/null || echo 0)
[ "$runs" -eq 1 ] || fail "the failed scenario ran $runs times (its failure was retried)"
runs=$(wc -l <"$work/never_started.runs" 2>/dev/null || echo 0)
[ "$runs" -eq 2 ] || fail "the program that never started ran $runs times, not twice"
report="$work/Testing/passed-on-retry.txt"
retried=$(grep -v '^ ' "$report" 2>/dev/null | sed 's/, first failure:$//' | paste -sd ' ')
[ "$retried" = never_started ] || fail "passed on a retry: '$retried', not 'never_started'"

if [ $failures -ne 0 ]; then
  echo "--- wine-ctest.sh's output:"; cat "$work/output.txt"
  exit 1
fi
echo "wine-ctest.sh retried only the program that never started"
