#!/usr/bin/env bash
# Soak of the disc image service: 8 keep-alive connections asking for random
# byte ranges for SOAK_SECONDS (default 60) with wrk, against tamsor-share
# (Release) serving a random image. Passes when wrk saw no socket error and
# no status other than 206, the server's resident memory after the first
# seconds stays within SOAK_RSS_KIB (default 512) of where it was, and its
# open descriptors are back to their count before the load once wrk has
# gone.
#
#   bench/soak-bench.sh            BUILD=DIR (default build/) for the build
#
# Samples of the resident size go to $BUILD/soak-bench/rss.txt. Needs wrk,
# curl. Only the processes started here are stopped, by their ids.
set -euo pipefail

SOAK_SECONDS=${SOAK_SECONDS:-60}
SOAK_RSS_KIB=${SOAK_RSS_KIB:-512}
IMAGE_MIB=${IMAGE_MIB:-64}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
OUT=$BUILD/soak-bench
JOBS=${JOBS:-2}
WARM_UP=5

for tool in wrk curl; do
  command -v "$tool" >/dev/null || { echo "soak-bench: $tool is missing" >&2; exit 1; }
done

echo "==> building tamsor-share (Release) in $OUT"
cmake -S "$ROOT" -B "$OUT" -G Ninja --log-level=WARNING -Wno-dev \
  -DCMAKE_BUILD_TYPE=Release -DTAMSOR_TESTS=OFF >/dev/null
cmake --build "$OUT" -j "$JOBS" --target tamsor-share >/dev/null
SHARE=$OUT/tools/tamsor-share

image=$OUT/soak.img
if [ ! -f "$image" ] || [ "$(stat -c %s "$image")" -ne $((IMAGE_MIB << 20)) ]; then
  head -c $((IMAGE_MIB << 20)) /dev/urandom >"$image"
fi

server_pid=""
wrk_pid=""
cleanup() {
  [ -n "$wrk_pid" ] && kill "$wrk_pid" 2>/dev/null || true
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

# wrk's connections all come from 127.0.0.1: no per-address share.
"$SHARE" --max-connections-per-client 0 "$image" >"$OUT/share.out" 2>"$OUT/share.err" &
server_pid=$!
for _ in $(seq 1 100); do grep -q '^port ' "$OUT/share.out" 2>/dev/null && break; sleep 0.1; done
port=$(sed -n 's/^port //p' "$OUT/share.out")
[ -n "$port" ] || { echo "soak-bench: tamsor-share did not start" >&2; cat "$OUT/share.err" >&2; exit 1; }
url=http://127.0.0.1:$port/CdRom0.dmg
curl -sS -o /dev/null "$url"  # one whole read: the image is in the page cache

rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$server_pid/status"; }
fds() { ls "/proc/$server_pid/fd" | wc -l; }

cat >"$OUT/ranges.lua" <<LUA
-- Random single ranges of 1 byte to 256 KiB anywhere in the image; every
-- thread counts the answers that are not 206, and done() adds them up.
local size = $((IMAGE_MIB << 20))
local threads = {}
setup = function(thread) table.insert(threads, thread) end
init = function() bad = 0; math.randomseed(os.time() + math.random(1000000)) end
request = function()
  local length = math.random(1, 262144)
  local first = math.random(0, size - length)
  return wrk.format("GET", "/CdRom0.dmg", { Range = "bytes=" .. first .. "-" .. (first + length - 1) })
end
response = function(status, headers, body)
  if status ~= 206 then bad = bad + 1 end
end
done = function(summary, latency, requests)
  local total = 0
  for _, thread in ipairs(threads) do total = total + thread:get("bad") end
  io.write(string.format("requests %d, not 206: %d\n", summary.requests, total))
end
LUA

fds_before=$(fds)
echo "==> wrk: 8 connections, random ranges, $SOAK_SECONDS s (server pid $server_pid, $fds_before descriptors)"
wrk -t2 -c8 -d"${SOAK_SECONDS}s" --latency -s "$OUT/ranges.lua" "$url" >"$OUT/wrk.txt" 2>&1 &
wrk_pid=$!
: >"$OUT/rss.txt"
start=$SECONDS
while kill -0 "$wrk_pid" 2>/dev/null; do
  echo "$((SECONDS - start)) $(rss)" >>"$OUT/rss.txt"
  sleep 1
done
wait "$wrk_pid" || true
wrk_pid=""
sleep 1
fds_after=$(fds)
cat "$OUT/wrk.txt"

awk -v warm=$WARM_UP '$1 >= warm { if (min == "" || $2 < min) min = $2; if ($2 > max) max = $2; if (first == "") first = $2; last = $2 }
  END { printf "rss after %d s: first %d KiB, last %d KiB, min %d, max %d, spread %d KiB\n", warm, first, last, min, max, max - min }' \
  "$OUT/rss.txt" | tee "$OUT/rss-summary.txt"
spread=$(awk -v warm=$WARM_UP '$1 >= warm { if (min == "" || $2 < min) min = $2; if ($2 > max) max = $2 } END { print max - min }' "$OUT/rss.txt")
socket_errors=$(grep -c 'Socket errors' "$OUT/wrk.txt" || true)
not206=$(sed -n 's/.*not 206: \([0-9]*\).*/\1/p' "$OUT/wrk.txt")
echo "descriptors: $fds_before before, $fds_after after"

failed=0
[ "$socket_errors" -eq 0 ] || { echo "FAILED: wrk saw socket errors"; failed=1; }
[ "${not206:-1}" -eq 0 ] || { echo "FAILED: $not206 answers were not 206"; failed=1; }
[ "$spread" -le "$SOAK_RSS_KIB" ] || { echo "FAILED: resident memory moved by $spread KiB"; failed=1; }
[ "$fds_after" -eq "$fds_before" ] || { echo "FAILED: descriptors $fds_before -> $fds_after"; failed=1; }
[ $failed -eq 0 ] && echo "soak: passed"
exit $failed
