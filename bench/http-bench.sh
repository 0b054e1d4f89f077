#!/usr/bin/env bash
# Disc image service against nginx, measured in the same run with wrk.
#
#   bench/http-bench.sh [SECONDS_PER_RUN [ROUNDS]]     (defaults 3 and 5)
#
# Builds tamsor-share (Release) under $BUILD/http-bench (BUILD defaults to
# build/), writes a random image of $IMAGE_MIB MiB (default 256) and reads it
# once so that it sits in the page cache, then serves it as /CdRom0.dmg from
# tamsor-share and from two nginx instances (their own configuration on
# loopback ports, one worker each, like our single-threaded service):
# "sendfile off" (read and writev, as our service sends bodies under
# 64 KiB) and "sendfile on" (as it sends larger ones from image files)
# without tcp_nopush (with tcp_nopush, 64 KiB range replies stall about
# 40 ms each on loopback). Cases:
#   - random single ranges of 4 KiB, 64 KiB and 1 MiB (512-byte aligned
#     starts; wrk with a Lua request() and no response() callback) on 1 and
#     on 8 keep-alive connections;
#   - full GETs of the image (curl, FULL_GETS of them one after another,
#     default 4).
# Each round runs every case against the servers in turn (who goes first
# rotates), so that a burst of load elsewhere on the machine hits all of
# them alike; a case's figure is the median of its rounds. The better nginx
# of a case is the reference of its ratio. Beside each rate: the server's CPU time (user and system,
# nginx's worker included) per GiB of body served in that run, from /proc:
# on a real network the NIC is the limit, and CPU per byte decides how many
# clients one machine serves.
#
# tamsor-share runs three times: as it chooses (its figures are "ours"),
# and with each way of sending large ranges forced (--send-path sendfile,
# --send-path buffer), reported beside it. With two cores or more, every
# server runs on the first core and the clients on the second, so that
# where the scheduler puts them does not decide a run (unpinned, one
# server's figure moved by half between rounds).
#
# Needs nginx, wrk, curl and python3 (Debian packages). Only processes
# started here are stopped, by their process ids.
set -euo pipefail

SECONDS_PER_RUN=${1:-3}
ROUNDS=${2:-5}
IMAGE_MIB=${IMAGE_MIB:-256}
FULL_GETS=${FULL_GETS:-4}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
OUT=$BUILD/http-bench
JOBS=${JOBS:-2}
NGINX=$(command -v nginx || echo /usr/sbin/nginx)

SERVER_CPU=()
CLIENT_CPU=()
if [ "$(nproc)" -ge 2 ] && command -v taskset >/dev/null; then
  SERVER_CPU=(taskset -c 0)
  CLIENT_CPU=(taskset -c 1)
fi

for tool in "$NGINX" wrk curl /usr/bin/python3; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "http-bench: $tool is missing (apt-get install nginx wrk curl python3)" >&2
    exit 1
  fi
done

# ---- build ------------------------------------------------------------------------
echo "==> building tamsor-share (Release) in $OUT"
cmake -S "$ROOT" -B "$OUT" -G Ninja --log-level=WARNING -Wno-dev \
  -DCMAKE_BUILD_TYPE=Release -DTAMSOR_TESTS=OFF >/dev/null
if cmake --build "$OUT" -j "$JOBS" --target tamsor-share >/dev/null 2>&1; then
  SHARE=$OUT/tools/tamsor-share
else
  # The tools folder does not list tamsor-share: link it by hand from the
  # libraries of the same build.
  cmake --build "$OUT" -j "$JOBS" --target tamsor_diskimage >/dev/null
  SHARE=$OUT/tamsor-share
  g++ -std=c++20 -O2 -DNDEBUG -I"$ROOT/foundation" -I"$ROOT/platform" -I"$ROOT/diskimage" \
    -I"$ROOT/volume" "$ROOT/tools/tamsor-share.cpp" -o "$SHARE" \
    -Wl,--start-group "$OUT/diskimage/libtamsor_diskimage.a" "$OUT/volume/libtamsor_volume.a" \
    "$OUT/foundation/libtamsor_foundation.a" "$OUT/platform/libtamsor_platform.a" \
    -Wl,--end-group -lexpat -luuid -lpthread
fi

# ---- image and servers ------------------------------------------------------------
WORK=$(mktemp -d /tmp/tamsor-http-bench.XXXXXX)
chmod 755 "$WORK"
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT

mkdir -p "$WORK/www"
IMAGE=$WORK/www/CdRom0.dmg
echo "==> writing a $IMAGE_MIB MiB image"
head -c $((IMAGE_MIB * 1024 * 1024)) /dev/urandom >"$IMAGE"
chmod 644 "$IMAGE"
cat "$IMAGE" >/dev/null
IMAGE_SIZE=$(stat -c %s "$IMAGE")
SUM=$(sha256sum "$IMAGE" | cut -d' ' -f1)

. "$ROOT/bench/bench-peers.sh"

declare -A PORT
declare -A SERVER_PID
start_share() {  # $1: the server's name here, $2: its --send-path
  # wrk's connections all come from 127.0.0.1: no per-address share.
  "${SERVER_CPU[@]}" "$SHARE" --max-connections-per-client 0 --send-path "$2" "$IMAGE" CdRom0 \
    >"$WORK/$1.out" 2>"$WORK/$1.err" &
  PIDS+=($!)
  SERVER_PID[$1]=$!
  for _ in $(seq 100); do
    grep -q '^port ' "$WORK/$1.out" 2>/dev/null && break
    sleep 0.05
  done
  PORT[$1]=$(awk '/^port /{print $2}' "$WORK/$1.out")
  [ -n "${PORT[$1]}" ] || { echo "tamsor-share did not start" >&2; cat "$WORK/$1.err" >&2; exit 1; }
}
start_share ours auto
start_share ours-sendfile sendfile
start_share ours-buffer buffer

start_nginx() {  # $1: on or off (sendfile)
  bench_start_nginx "$WORK/nginx-$1" "$WORK/www" "$1"
  PORT[nginx-$1]=$NGINX_PORT
  SERVER_PID[nginx-$1]=${PIDS[-1]}
}
start_nginx off
start_nginx on
SERVERS=(ours ours-sendfile ours-buffer nginx-off nginx-on)
# nginx's master and worker go to the servers' core as well.
if [ ${#SERVER_CPU[@]} -gt 0 ]; then
  for server in nginx-off nginx-on; do
    for pid in "${SERVER_PID[$server]}" $(ps -o pid= --ppid "${SERVER_PID[$server]}"); do
      taskset -pc 0 "$pid" >/dev/null
    done
  done
fi

# Every server must serve the same bytes before anything is timed.
EXPECTED_RANGE=$(dd if="$IMAGE" bs=1000 skip=1 count=1 2>/dev/null | sha256sum | cut -d" " -f1)
for server in "${SERVERS[@]}"; do
  url="http://127.0.0.1:${PORT[$server]}/CdRom0.dmg"
  [ "$(curl -s "$url" | sha256sum | cut -d' ' -f1)" = "$SUM" ] ||
    { echo "$server served other bytes" >&2; exit 1; }
  [ "$(curl -s -r 1000-1999 "$url" | sha256sum | cut -d' ' -f1)" = "$EXPECTED_RANGE" ] ||
    { echo "$server served a wrong range" >&2; exit 1; }
done

cat >"$WORK/ranges.lua" <<'EOF'
-- Random single ranges of a fixed length, 512-byte aligned starts. Each
-- thread gets its own seed through setup().
local threads = 0
function setup(thread)
  thread:set("id", threads)
  threads = threads + 1
end
local imageSize, rangeSize
function init(args)
  imageSize = tonumber(args[1])
  rangeSize = tonumber(args[2])
  math.randomseed(os.time() * 1000 + (id or 0))
end
function request()
  local blocks = math.floor((imageSize - rangeSize) / 512)
  local start = math.random(0, blocks) * 512
  return wrk.format("GET", "/CdRom0.dmg",
    { ["Range"] = "bytes=" .. start .. "-" .. (start + rangeSize - 1) })
end
EOF

# Prints "rate requests" of one wrk run: requests per second and requests
# done (0 0 when any reply was not 2xx or a socket error occurred).
run_wrk() {  # $1 port, $2 range size, $3 connections
  local threads=1
  if [ "$3" -gt 1 ]; then threads=2; fi
  "${CLIENT_CPU[@]}" wrk -t "$threads" -c "$3" -d "${SECONDS_PER_RUN}s" -s "$WORK/ranges.lua" \
    "http://127.0.0.1:$1/CdRom0.dmg" -- "$IMAGE_SIZE" "$2" 2>&1 |
    awk '/^Requests\/sec:/{rate=$2} / requests in /{done=$1} /Non-2xx|Socket errors/{bad=1}
         END{print bad ? "0 0" : rate " " done}'
}

# Prints "rate FULL_GETS" of FULL_GETS full GETs one after another: bytes
# per second over all of them.
run_full() {  # $1 port
  local start end
  start=$(date +%s%N)
  for _ in $(seq "$FULL_GETS"); do
    "${CLIENT_CPU[@]}" curl -s -o /dev/null "http://127.0.0.1:$1/CdRom0.dmg"
  done
  end=$(date +%s%N)
  awk -v b=$((IMAGE_SIZE * FULL_GETS)) -v ns=$((end - start)) 'BEGIN{printf "%.0f %d\n", b / (ns / 1e9), '"$FULL_GETS"'}'
}

TICKS=$(getconf CLK_TCK)
# CPU time (user + system, in clock ticks) a server has used so far: its
# process and its children (nginx's worker).
cpu_ticks() {  # $1 server
  local pid total=0
  for pid in "${SERVER_PID[$1]}" $(ps -o pid= --ppid "${SERVER_PID[$1]}" 2>/dev/null); do
    [ -r "/proc/$pid/stat" ] || continue
    # Fields after the command's closing parenthesis: utime is the 12th, stime the 13th.
    total=$((total + $(sed 's/.*) //' "/proc/$pid/stat" | awk '{print $12 + $13}')))
  done
  echo "$total"
}

median() { bench_median; }

CASES=("4096 1" "4096 8" "65536 1" "65536 8" "1048576 1" "1048576 8" "full 1")
declare -A RESULT
declare -A CPU
# Who runs first in a case is rotated from case to case and round to round:
# with a fixed order, three tamsor-share instances running the same code
# for 4 KiB ranges (no span there) differed by 15 % in one run, the first
# one always behind.
turn=0
for round in $(seq "$ROUNDS"); do
  echo "==> round $round of $ROUNDS"
  for case in "${CASES[@]}"; do
    read -r size connections <<<"$case"
    turn=$((turn + 1))
    shift_by=$((turn % ${#SERVERS[@]}))
    for server in "${SERVERS[@]:shift_by}" "${SERVERS[@]:0:shift_by}"; do
      before=$(cpu_ticks "$server")
      if [ "$size" = full ]; then
        read -r figure requests < <(run_full "${PORT[$server]}")
        bytes=$((IMAGE_SIZE * FULL_GETS))
      else
        read -r figure requests < <(run_wrk "${PORT[$server]}" "$size" "$connections")
        bytes=$((requests * size))
      fi
      after=$(cpu_ticks "$server")
      key="$server $size $connections"
      RESULT[$key]="${RESULT[$key]:-} $figure"
      CPU[$key]="${CPU[$key]:-} $(awk -v t=$((after - before)) -v hz="$TICKS" -v b="$bytes" \
        'BEGIN{print (b > 0 ? t / hz / (b / 1073741824) : 0)}')"
    done
  done
done

for key in "${!RESULT[@]}"; do
  RESULT[$key]=$(echo "${RESULT[$key]}" | median)
  CPU[$key]=$(echo "${CPU[$key]}" | median)
done

# ---- report -----------------------------------------------------------------------
echo
echo "image $IMAGE_MIB MiB in the page cache; median of $ROUNDS rounds of ${SECONDS_PER_RUN} s per wrk run;"
if [ ${#SERVER_CPU[@]} -gt 0 ]; then
  echo "servers on core 0, wrk and curl on core 1; nginx: 1 worker, the better of sendfile off/on."
else
  echo "$(nproc) core(s) shared by the clients and the servers; nginx: 1 worker, the better of sendfile off/on."
fi
echo "MB = 10^6 bytes of body; ratio = ours / nginx; CPU = server CPU seconds (user + system) per GiB"
echo "of body served (the better nginx's); CPU ratio = ours / nginx (below 1: ours uses less)."
printf '\n%-20s %11s %10s %11s %10s %7s %10s %8s %8s %6s\n' case "ours req/s" "ours MB/s" \
  "nginx req/s" "nginx MB/s" ratio "nginx" "ours CPU" "ngx CPU" "CPU x"
for case in "${CASES[@]}"; do
  read -r size connections <<<"$case"
  ours=${RESULT["ours $size $connections"]}
  off=${RESULT["nginx-off $size $connections"]}
  on=${RESULT["nginx-on $size $connections"]}
  reference=$off
  which="sf off"
  referenceCPU=${CPU["nginx-off $size $connections"]}
  if awk -v a="$on" -v b="$off" 'BEGIN{exit !(a > b)}'; then
    reference=$on
    which="sf on"
    referenceCPU=${CPU["nginx-on $size $connections"]}
  fi
  ratio=$(awk -v a="$ours" -v b="$reference" 'BEGIN{printf "%.2f", (b > 0 ? a / b : 0)}')
  oursCPU=${CPU["ours $size $connections"]}
  cpuRatio=$(awk -v a="$oursCPU" -v b="$referenceCPU" 'BEGIN{printf "%.2f", (b > 0 ? a / b : 0)}')
  if [ "$size" = full ]; then
    printf '%-20s %11s %10.0f %11s %10.0f %6sx %10s %8.2f %8.2f %5sx\n' "full GET ($IMAGE_MIB MiB)" - \
      "$(awk -v s="$ours" 'BEGIN{print s / 1e6}')" - \
      "$(awk -v s="$reference" 'BEGIN{print s / 1e6}')" "$ratio" "$which" "$oursCPU" \
      "$referenceCPU" "$cpuRatio"
  else
    printf '%-20s %11.0f %10.1f %11.0f %10.1f %6sx %10s %8.2f %8.2f %5sx\n' \
      "$((size / 1024)) KiB x $connections conn" "$ours" \
      "$(awk -v r="$ours" -v s="$size" 'BEGIN{print r * s / 1e6}')" "$reference" \
      "$(awk -v r="$reference" -v s="$size" 'BEGIN{print r * s / 1e6}')" "$ratio" "$which" \
      "$oursCPU" "$referenceCPU" "$cpuRatio"
  fi
done
echo
echo "nginx, both configurations (req/s; full GET in MB/s; CPU s/GiB):"
for case in "${CASES[@]}"; do
  read -r size connections <<<"$case"
  off=${RESULT["nginx-off $size $connections"]}
  on=${RESULT["nginx-on $size $connections"]}
  if [ "$size" = full ]; then
    printf '  %-18s sendfile off %9.1f (%.2f)   sendfile on %9.1f (%.2f)\n' "full GET" \
      "$(awk -v s="$off" 'BEGIN{print s / 1e6}')" "${CPU["nginx-off $size $connections"]}" \
      "$(awk -v s="$on" 'BEGIN{print s / 1e6}')" "${CPU["nginx-on $size $connections"]}"
  else
    printf '  %-18s sendfile off %9.0f (%.2f)   sendfile on %9.0f (%.2f)\n' \
      "$((size / 1024)) KiB x $connections" "$off" "${CPU["nginx-off $size $connections"]}" \
      "$on" "${CPU["nginx-on $size $connections"]}"
  fi
done
echo
echo "ours, each way of sending large ranges forced (req/s; full GET in MB/s; CPU s/GiB):"
for case in "${CASES[@]}"; do
  read -r size connections <<<"$case"
  if [ "$size" = full ]; then
    label="full GET"
    scale=1e6
  else
    label="$((size / 1024)) KiB x $connections"
    scale=1
  fi
  printf '  %-18s chosen %9.1f (%.2f)   sendfile %9.1f (%.2f)   buffer %9.1f (%.2f)\n' "$label" \
    "$(awk -v s="${RESULT["ours $size $connections"]}" -v k="$scale" 'BEGIN{print s / k}')" \
    "${CPU["ours $size $connections"]}" \
    "$(awk -v s="${RESULT["ours-sendfile $size $connections"]}" -v k="$scale" 'BEGIN{print s / k}')" \
    "${CPU["ours-sendfile $size $connections"]}" \
    "$(awk -v s="${RESULT["ours-buffer $size $connections"]}" -v k="$scale" 'BEGIN{print s / k}')" \
    "${CPU["ours-buffer $size $connections"]}"
done
