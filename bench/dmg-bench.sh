#!/usr/bin/env bash
# Serving a compressed .dmg as it is, against converting it first and against
# nginx on the raw disc, measured in the same run.
#
#   bench/dmg-bench.sh [SECONDS_PER_RUN [ROUNDS]]     (defaults 3 and 3)
#
# Builds tamsor-share and tamsor-mkdmg (Release) under $BUILD/dmg-bench,
# makes a disc of $IMAGE_MIB MiB (default 256) from the machine's own
# programs and libraries (install discs are mostly such files: they
# compress about as well), and a zlib and a bzip2 .dmg of it in 1 MiB runs.
# Cases, each the median of its rounds:
#   - whole image: tamsor-share serving the .dmg (decoding as it sends; the
#     first read after start, so the cache is of no help) read by curl
#     into /dev/null (the bytes are checked once, untimed),
#     against dmg2img and `7zz x -tdmg` converting the same .dmg to a file
#     in the page cache, and against nginx (one worker, sendfile on) serving
#     the raw disc; then each decoder's rate per core used (MB per CPU
#     second of the server or the converter), which other load on the
#     machine moves far less than the rate;
#   - random 64 KiB ranges (wrk, 1 and 8 connections) with the cache warm:
#     ranges within the first 24 MiB, which the decode cache holds once
#     read, against nginx on the raw disc; and the same over the whole disc
#     (mostly cache misses: each range decodes its 1 MiB run) for the record;
#   - resident size of tamsor-share with the cache full, against the same
#     program serving the raw disc.
#
#   bench/dmg-bench.sh lab [SECONDS_PER_RUN]          (default 5)
#
# A lab installing from one .dmg: tamsor-serve (--keep-booting) serves a
# 512 MiB disc (the demo install disc, then programs and libraries) raw, as
# a zlib and as a bzip2 .dmg in 1 MiB runs, to N = 1, 8, 32, 64 and 128
# clients, each reading its own region in order in 64 KiB ranges on one
# keep-alive connection (wrk, a thread and a connection per client, with
# bench/dmg-lab-readers.lua; the same client for every image, so the raw
# disc's rate is the client's bound too). Per case: requests/s, the 99th
# percentile and the longest wait, resident size, the share of the cores
# left idle (none: the machine, clients included, is the bound), failed
# requests, and meanwhile a BSDP LIST every 0.2 s (the slowest answer) and
# one TFTP transfer of the booter (its time): how responsive the loop
# stays. Before the lab, the whole image by one GET against dmg2img and 7zz
# converting the same .dmg; that rate is also what the cores decode, and
# each lab case is given against the lower of it and the raw disc's rate.
#
# Needs nginx, wrk, curl, dmg2img, 7zz and python3 (Debian packages). Only
# processes started here are stopped, by their process ids.
set -euo pipefail

if [ "${1:-}" = lab ]; then
  exec "$(dirname "$0")/dmg-lab-bench.sh" "${@:2}"
fi

SECONDS_PER_RUN=${1:-3}
ROUNDS=${2:-3}
IMAGE_MIB=${IMAGE_MIB:-256}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
OUT=$BUILD/dmg-bench
JOBS=${JOBS:-2}
NGINX=$(command -v nginx || echo /usr/sbin/nginx)

for tool in "$NGINX" wrk curl dmg2img 7zz /usr/bin/python3; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "dmg-bench: $tool is missing (scripts/install-deps.sh installs it)" >&2
    exit 1
  fi
done

echo "==> building tamsor-share and tamsor-mkdmg (Release) in $OUT"
cmake -S "$ROOT" -B "$OUT" -G Ninja --log-level=WARNING -Wno-dev \
  -DCMAKE_BUILD_TYPE=Release -DTAMSOR_TESTS=OFF >/dev/null
cmake --build "$OUT" -j "$JOBS" --target tamsor-share tamsor-mkdmg >/dev/null
SHARE=$OUT/tools/tamsor-share
MKDMG=$OUT/tools/dmgwriter/tamsor-mkdmg

WORK=$(mktemp -d /tmp/tamsor-dmg-bench.XXXXXX)
chmod 755 "$WORK"
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT

mkdir -p "$WORK/www"
RAW=$WORK/www/CdRom0.dmg
echo "==> making a $IMAGE_MIB MiB disc of programs and libraries"
find /usr/lib/x86_64-linux-gnu /usr/bin /usr/lib -type f -size +16k 2>/dev/null |
  sort | xargs cat 2>/dev/null | head -c $((IMAGE_MIB * 1024 * 1024)) >"$RAW" || true
SIZE=$(stat -c %s "$RAW")
if [ "$SIZE" -lt $((IMAGE_MIB * 1024 * 1024)) ]; then
  echo "dmg-bench: only $SIZE bytes of files found" >&2
  exit 1
fi
chmod 644 "$RAW"
SUM=$(sha256sum "$RAW" | cut -d' ' -f1)
for method in zlib bzip2; do
  "$MKDMG" --method "$method" "$RAW" "$WORK/$method.dmg" >/dev/null
  echo "    $method.dmg: $(stat -c %s "$WORK/$method.dmg") bytes"
  cat "$WORK/$method.dmg" >/dev/null
done

. "$ROOT/bench/bench-peers.sh"

SHARE_PID=""
SHARE_PORT=""
start_share() {  # $1 image
  # wrk's connections all come from 127.0.0.1: no per-address share.
  "$SHARE" --max-connections-per-client 0 "$1" CdRom0 >"$WORK/share.out" 2>"$WORK/share.err" &
  SHARE_PID=$!
  PIDS+=("$SHARE_PID")
  for _ in $(seq 100); do
    grep -q '^port ' "$WORK/share.out" 2>/dev/null && break
    sleep 0.05
  done
  SHARE_PORT=$(awk '/^port /{print $2}' "$WORK/share.out")
  [ -n "$SHARE_PORT" ] || { echo "tamsor-share did not start" >&2; cat "$WORK/share.err" >&2; exit 1; }
}
stop_share() {
  kill "$SHARE_PID" 2>/dev/null || true
  wait "$SHARE_PID" 2>/dev/null || true
}
rss_kib() { awk '/^VmRSS:/{print $2}' "/proc/$1/status"; }
# CPU seconds (user + system) a running process has used so far.
TICKS=$(getconf CLK_TCK)
cpu_of() { awk -v hz="$TICKS" '{print ($14 + $15) / hz}' "/proc/$1/stat"; }
# CPU seconds of a command (user + system), its output to stdout as it is.
cpu_run() { /usr/bin/time -f '%U %S' -o "$WORK/cpu" "$@"; }
cpu_last() { awk '{print $1 + $2}' "$WORK/cpu"; }

bench_start_nginx "$WORK/nginx" "$WORK/www" on

cat >"$WORK/ranges.lua" <<'EOF'
-- Random 64 KiB ranges with 512-byte aligned starts inside the first
-- `span` bytes. Each thread gets its own seed through setup().
local threads = 0
function setup(thread)
  thread:set("id", threads)
  threads = threads + 1
end
local span, rangeSize
function init(args)
  span = tonumber(args[1])
  rangeSize = tonumber(args[2])
  math.randomseed(os.time() * 1000 + (id or 0))
end
function request()
  local start = math.random(0, math.floor((span - rangeSize) / 512)) * 512
  return wrk.format("GET", "/CdRom0.dmg",
    { ["Range"] = "bytes=" .. start .. "-" .. (start + rangeSize - 1) })
end
EOF
run_wrk() {  # $1 port, $2 span, $3 connections: requests per second
  local threads=1
  if [ "$3" -gt 1 ]; then threads=2; fi
  wrk -t "$threads" -c "$3" -d "${SECONDS_PER_RUN}s" -s "$WORK/ranges.lua" \
    "http://127.0.0.1:$1/CdRom0.dmg" -- "$2" 65536 2>&1 |
    awk '/^Requests\/sec:/{rate=$2} /Non-2xx|Socket errors/{bad=1} END{print bad ? 0 : rate}'
}
seconds() { /usr/bin/python3 -c 'import time; print(time.monotonic())'; }
mbps() { /usr/bin/python3 -c "print('%.0f' % ($SIZE / ($2 - $1) / 1e6))"; }
ratio() { /usr/bin/python3 -c "print('%.2f' % ($1 / $2) if $2 else 'n/a')"; }
# MB of the decoded disc per CPU second: the rate per core used, which the
# machine's other load changes far less than the rate itself.
per_core() { /usr/bin/python3 -c "print('%.0f' % ($SIZE / $1 / 1e6) if $1 > 0 else 'n/a')"; }

declare -A R
WARM=$((24 * 1024 * 1024))
for round in $(seq "$ROUNDS"); do
  echo "==> round $round of $ROUNDS"
  for method in zlib bzip2; do
    dmg=$WORK/$method.dmg
    start_share "$dmg"
    c0=$(cpu_of "$SHARE_PID")
    t0=$(seconds)
    curl -s -o /dev/null "http://127.0.0.1:$SHARE_PORT/CdRom0.dmg"
    t1=$(seconds)
    R[ours-$method]+=" $(mbps "$t0" "$t1")"
    R[core-ours-$method]+=" $(per_core "$(/usr/bin/python3 -c "print($(cpu_of "$SHARE_PID") - $c0)")")"
    R[rss-$method]+=" $(rss_kib "$SHARE_PID")"
    # The bytes are checked after the timed read (a new start, so that
    # the decoding is timed above, not the cache).
    if [ "$round" = 1 ]; then
      stop_share
      start_share "$dmg"
      got=$(curl -s "http://127.0.0.1:$SHARE_PORT/CdRom0.dmg" | sha256sum | cut -d' ' -f1)
      [ "$got" = "$SUM" ] || { echo "tamsor-share served other bytes for $method" >&2; exit 1; }
    fi
    if [ "$method" = zlib ]; then
      curl -s -o /dev/null -r 0-$((WARM - 1)) "http://127.0.0.1:$SHARE_PORT/CdRom0.dmg"
      for c in 1 8; do R[warm-ours-$c]+=" $(run_wrk "$SHARE_PORT" "$WARM" "$c")"; done
      for c in 1 8; do R[cold-ours-$c]+=" $(run_wrk "$SHARE_PORT" "$SIZE" "$c")"; done
      R[rss-full]+=" $(rss_kib "$SHARE_PID")"
    fi
    stop_share

    rm -f "$WORK/out.raw"
    t0=$(seconds); cpu_run dmg2img -s "$dmg" "$WORK/out.raw" >/dev/null 2>&1; t1=$(seconds)
    R[dmg2img-$method]+=" $(mbps "$t0" "$t1")"
    R[core-dmg2img-$method]+=" $(per_core "$(cpu_last)")"
    rm -f "$WORK/out.raw"
    t0=$(seconds); cpu_run 7zz x -tdmg -so "$dmg" >"$WORK/out.raw" 2>/dev/null; t1=$(seconds)
    R[7zz-$method]+=" $(mbps "$t0" "$t1")"
    R[core-7zz-$method]+=" $(per_core "$(cpu_last)")"
    rm -f "$WORK/out.raw"
  done
  t0=$(seconds)
  curl -s -o /dev/null "http://127.0.0.1:$NGINX_PORT/CdRom0.dmg"
  t1=$(seconds)
  R[nginx-full]+=" $(mbps "$t0" "$t1")"
  for c in 1 8; do
    R[warm-nginx-$c]+=" $(run_wrk "$NGINX_PORT" "$WARM" "$c")"
    R[cold-nginx-$c]+=" $(run_wrk "$NGINX_PORT" "$SIZE" "$c")"
  done
  start_share "$RAW"
  curl -s -o /dev/null "http://127.0.0.1:$SHARE_PORT/CdRom0.dmg"
  R[rss-raw]+=" $(rss_kib "$SHARE_PID")"
  stop_share
done

m() { echo "${R[$1]}" | bench_median; }
echo
echo "Whole image over HTTP, MB/s of the decoded disc ($IMAGE_MIB MiB), median of $ROUNDS:"
for method in zlib bzip2; do
  ours=$(m ours-$method)
  printf '  %-5s tamsor-share %5s   dmg2img %5s (x%s)   7zz %5s (x%s)   nginx raw %5s (x%s)\n' \
    "$method" "$ours" "$(m dmg2img-$method)" "$(ratio "$ours" "$(m dmg2img-$method)")" \
    "$(m 7zz-$method)" "$(ratio "$ours" "$(m 7zz-$method)")" \
    "$(m nginx-full)" "$(ratio "$ours" "$(m nginx-full)")"
done
echo "The same per core used (MB of the decoded disc per CPU second of the reader or server):"
for method in zlib bzip2; do
  ours=$(m core-ours-$method)
  printf '  %-5s tamsor-share %5s   dmg2img %5s (x%s)   7zz %5s (x%s)\n' \
    "$method" "$ours" "$(m core-dmg2img-$method)" "$(ratio "$ours" "$(m core-dmg2img-$method)")" \
    "$(m core-7zz-$method)" "$(ratio "$ours" "$(m core-7zz-$method)")"
done
echo "Random 64 KiB ranges, requests/s (zlib .dmg vs nginx on the raw disc):"
for c in 1 8; do
  printf '  %d conn, warm (first 24 MiB): ours %8s  nginx %8s  ratio %s\n' "$c" \
    "$(m warm-ours-$c)" "$(m warm-nginx-$c)" "$(ratio "$(m warm-ours-$c)" "$(m warm-nginx-$c)")"
  printf '  %d conn, whole disc (misses): ours %8s  nginx %8s  ratio %s\n' "$c" \
    "$(m cold-ours-$c)" "$(m cold-nginx-$c)" "$(ratio "$(m cold-ours-$c)" "$(m cold-nginx-$c)")"
done
echo "Resident size of tamsor-share, KiB: raw disc $(m rss-raw), zlib .dmg after a whole read" \
     "$(m rss-zlib), bzip2 $(m rss-bzip2), zlib after the range runs $(m rss-full)" \
     "(cache bound 262144)"
