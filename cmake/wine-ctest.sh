#!/usr/bin/env bash
# Runs the tests of a Windows build under wine (ctest, with wine-run.sh as
# the emulator) and lets a failure fail, with one exception: a test whose
# program never ran because wine itself did not start is run once more.
#
#   wine-ctest.sh BUILD_DIR [CTEST_OPTIONS...]
#
# Wine's own start-up is recognised by two things together: the output holds
# a line of wine's loader or server about starting (wine: could not / cannot
# / failed ..., wine: created the configuration directory, wine client
# error, wineserver: ...), and it lacks every start line of ours, so none of
# our code ran. Every program of ours that runs under wine prints one as soon
# as it runs: GoogleTest's first line ("[==========] Running") in the test
# programs, and a line beginning "tamsor-test: started" in the others (the
# language checks as they start, the wizard's scenario once the wizard's
# window is up). A crash, a time-out, a failed
# check or a race of ours fails at once; it is not retried, whatever wine
# printed beside it.
#
# The tests that passed only on their second run are written, each with the
# last lines of its first failure, to BUILD_DIR/Testing/passed-on-retry.txt
# ("none" when there were none), and the last line printed names them.
set -uo pipefail

build=$(cd "${1:?usage: wine-ctest.sh BUILD_DIR [CTEST_OPTIONS...]}" && pwd) || exit 2
shift
testing="$build/Testing"
report="$testing/passed-on-retry.txt"
mkdir -p "$testing"
rm -f "$report" "$testing/first-run.xml" "$testing/retry.list"

status=0
ctest --test-dir "$build" --output-on-failure --output-junit "$testing/first-run.xml" "$@" ||
  status=$?
if [ $status -eq 0 ]; then
  echo none >"$report"
  echo "==> passed only on a retry: none"
  exit 0
fi

# The failed tests whose failure was wine's start-up, one name a line, each
# with its first output's last lines in Testing/first-failure-NAME.txt.
/usr/bin/python3 - "$testing" <<'PY' >"$testing/retry.list" || exit 1
import os, re, sys
import xml.etree.ElementTree as ET

testing = sys.argv[1]
STARTUP = re.compile(r"^(wine: (could not|cannot|failed|created the configuration)"
                     r"|wine client error|wineserver: )", re.M)
OURS = re.compile(r"^(\[==========\] Running|tamsor-test: started)", re.M)
try:
    cases = ET.parse(os.path.join(testing, "first-run.xml")).getroot().iter("testcase")
except (OSError, ET.ParseError):
    cases = []  # no report: nothing is known to be wine's fault
for case in cases:
    if case.get("status") not in ("fail", "failed") and case.find("failure") is None:
        continue
    output = case.findtext("system-out") or ""
    if STARTUP.search(output) and not OURS.search(output):
        name = case.get("name")
        with open(os.path.join(testing, "first-failure-%s.txt" % name), "w") as f:
            f.write("\n".join(output.rstrip().splitlines()[-8:]) + "\n")
        print(name)
PY

mapfile -t again <"$testing/retry.list"
if [ ${#again[@]} -eq 0 ]; then
  echo none >"$report"
  echo "==> passed only on a retry: none (no failure above was wine's start-up)"
  exit $status
fi
# Only when every failure was wine's start-up can the second run decide.
failed_count=$(grep -c . "$testing/Temporary/LastTestsFailed.log" 2>/dev/null || echo 0)
pattern=$(printf '%s|' "${again[@]}")
echo "==> wine did not start for: ${again[*]}; running them once more"
second=0
ctest --test-dir "$build" --output-on-failure -R "^(${pattern%|})\$" "$@" || second=$?
if [ $second -ne 0 ] || [ "$failed_count" -gt ${#again[@]} ]; then status=1; else status=0; fi

passed=()
for name in "${again[@]}"; do
  if ! grep -q ":$name\$" "$testing/Temporary/LastTestsFailed.log" 2>/dev/null || [ $second -eq 0 ]; then
    passed+=("$name")
  fi
done
{
  if [ ${#passed[@]} -eq 0 ]; then echo none; fi
  for name in "${passed[@]}"; do
    echo "$name, first failure:"
    sed 's/^/    /' "$testing/first-failure-$name.txt"
  done
} >"$report"
if [ ${#passed[@]} -gt 0 ]; then cat "$report"; fi
echo "==> passed only on a retry: ${passed[*]:-none}"
exit $status
