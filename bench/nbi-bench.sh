#!/usr/bin/env bash
# A library of NAME.nbi folder images served by tamsor-serve against what
# labs run today for the same folder, in one run (Linux, release build):
#
#   TFTP   a 30 MiB x86_64/kernelcache fetched by atftp with blksize 1468 and
#          window 1 and 16, over a wire with 0.5 ms and 5 ms one-way delay
#          (two network namespaces joined by tests/support/netwire.py; root
#          only), from tamsor-serve and from tftp-hpa's in.tftpd serving the
#          image's i386/ folder (in.tftpd has no windows: it runs lockstep
#          whatever the client asks)
#   HTTP   random single ranges of the root image, 64 KiB and 1 MiB, on 1
#          and 8 connections (wrk), from tamsor-serve and from nginx serving
#          the folder (one worker, sendfile off), on loopback
#   LIST   the time of a BSDP LIST round trip on loopback with 200 folder
#          images in the library, against the same with one image
#
#   bench/nbi-bench.sh                          build build/nbi-bench and run
#   BUILD=DIR DELAYS="0.5 5" WINDOWS="1 16" WIRE_SIZE=N SECONDS_PER_RUN=N bench/nbi-bench.sh
#
# Every fetch is compared with the file before it counts. Ratios are the
# peer's time over ours (TFTP, LIST) or our rate over the peer's (HTTP):
# above 1, ours is faster. Only processes this script started are stopped.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BUILD:-$ROOT/build/nbi-bench}
DELAYS=${DELAYS:-"0.5 5"}
WINDOWS=${WINDOWS:-"1 16"}
WIRE_SIZE=${WIRE_SIZE:-$((30 * 1024 * 1024))}
SECONDS_PER_RUN=${SECONDS_PER_RUN:-5}
ROOT_MIB=${ROOT_MIB:-512}
LISTS=${LISTS:-2000}
NGINX=$(command -v nginx || echo /usr/sbin/nginx)
for tool in cmake ninja curl in.tftpd wrk atftp ip "$NGINX" /usr/bin/python3; do
  command -v "$tool" >/dev/null ||
    { echo "nbi-bench: $tool is missing (apt-get install tftpd-hpa atftp nginx wrk curl)" >&2; exit 1; }
done
# shellcheck source=bench-peers.sh
. "$ROOT/bench/bench-peers.sh"

echo "==> release build in $BUILD"
cmake -S "$ROOT" -B "$BUILD" -G Ninja --log-level=WARNING -Wno-dev \
  -DCMAKE_BUILD_TYPE=Release -DTAMSOR_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j 2 --target tamsor-serve >/dev/null
SERVE=$(find "$BUILD" -name tamsor-serve -type f -perm -u+x | head -1)

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tamsor-nbi-bench.XXXXXX")
chmod 755 "$WORK"  # nginx's worker reads the root image as another user
PIDS=()
NS=tamsor-nbi-$$
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  ip netns del "$NS-s" 2>/dev/null || true
  ip netns del "$NS-c" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

echo "==> a library of 200 folder images; Bench.nbi has a 30 MiB kernel and a $ROOT_MIB MiB root"
/usr/bin/python3 - "$WORK" "$WIRE_SIZE" "$ROOT_MIB" <<'EOF'
import os, plistlib, sys
work, kernel, root_mib = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
def image(lab, folder, index, big):
    path = os.path.join(lab, folder)
    os.makedirs(os.path.join(path, "i386", "x86_64"))
    open(os.path.join(path, "i386", "booter"), "wb").write(os.urandom(700000 if big else 1000))
    open(os.path.join(path, "i386", "x86_64", "kernelcache"), "wb").write(
        os.urandom(kernel) if big else b"k")
    with open(os.path.join(path, "Root.dmg"), "wb") as f:
        if big:
            for _ in range(root_mib):
                f.write(os.urandom(1 << 20))
        else:
            f.write(b"r")
    plistlib.dump({"Name": "Lab image %03d with a name of some length" % index, "Index": index,
                   "Kind": 1, "IsInstall": True, "Type": "HTTP", "BootFile": "booter",
                   "Architectures": ["i386"], "RootPath": "Root.dmg",
                   "EnabledSystemIdentifiers": [] if index % 3 else ["Talvyn5,1"]},
                  open(os.path.join(path, "NBImageInfo.plist"), "wb"),
                  fmt=plistlib.FMT_BINARY if index % 2 else plistlib.FMT_XML)
image(os.path.join(work, "lab"), "Bench.nbi", 4096, True)
for n in range(1, 200):
    image(os.path.join(work, "lab"), "Image %03d.nbi" % n, 4096 + n, False)
image(os.path.join(work, "one"), "Only.nbi", 4096, False)
EOF
ID=81001000
KERNEL=$WORK/lab/Bench.nbi/i386/x86_64/kernelcache
ROOTFILE=$WORK/lab/Bench.nbi/Root.dmg
cat "$KERNEL" "$ROOTFILE" >/dev/null

# start_serve NAME LIBRARY [ARGS...]: tamsor-serve on loopback; sets
# BSDP[NAME] HTTP[NAME].
declare -A BSDP HTTPPORT
start_serve() {
  local name=$1 library=$2 line=
  shift 2
  "$SERVE" --library "$library" --state-dir "$WORK/state-$name" --bsdp-port 0 \
    --max-connections-per-client 0 "$@" >"$WORK/serve-$name.out" 2>&1 &
  PIDS+=($!)
  for _ in $(seq 600); do
    grep -q Watching "$WORK/serve-$name.out" 2>/dev/null && break
    sleep 0.1
  done
  line=$(grep '^tamsor-serve: bsdp=' "$WORK/serve-$name.out")
  BSDP[$name]=$(echo "$line" | sed 's/.*bsdp=\([0-9]*\).*/\1/')
  HTTPPORT[$name]=$(echo "$line" | sed 's/.*http=\([0-9]*\).*/\1/')
}
start_serve lab "$WORK/lab"
start_serve one "$WORK/one"
echo "    $(grep -c '^Offering' "$WORK/serve-lab.out") images offered"

# ---- LIST -------------------------------------------------------------------
list_micros() {  # $1 port: median microseconds of LISTS round trips
  /usr/bin/python3 - "$1" "$LISTS" <<'EOF'
import socket, statistics, struct, sys, time
port, count = int(sys.argv[1]), int(sys.argv[2])
vendor = bytes([1, 1, 1, 2, 2, 1, 1, 12, 2, 5, 0xC0])
options = (bytes([53, 1, 8]) + bytes([60, 24]) + b"VRNXBSDPC/i386/Talvyn5,1" +
           bytes([43, len(vendor)]) + vendor + bytes([255]))
packet = (bytes([1, 1, 6, 0]) + struct.pack(">IHH", 1, 0, 0) + socket.inet_aton("127.0.0.1") +
          bytes(12) + bytes([2, 0, 0, 0x11, 0x44, 1]) + bytes(10) + bytes(192) +
          struct.pack(">I", 0x63825363) + options)
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0))
s.settimeout(2)
times = []
for _ in range(count):
    start = time.perf_counter()
    s.sendto(packet, ("127.0.0.1", port))
    s.recv(4096)
    times.append(time.perf_counter() - start)
print("%.1f" % (statistics.median(times) * 1e6))
EOF
}
LIST_MANY=$(list_micros "${BSDP[lab]}")
LIST_ONE=$(list_micros "${BSDP[one]}")

# ---- HTTP ranges ----------------------------------------------------------------
mkdir -p "$WORK/www"
ln -s "$ROOTFILE" "$WORK/www/CdRom0.dmg"
bench_start_nginx "$WORK/nginx" "$WORK/www" off
OURS_PATH=/nbi$ID/Bench.nbi/Root.dmg
cmp -s <(curl -s "http://127.0.0.1:${HTTPPORT[lab]}$OURS_PATH") "$ROOTFILE" ||
  { echo "nbi-bench: tamsor-serve served other root bytes" >&2; exit 1; }
cmp -s <(curl -s -r 1000-70000 "http://127.0.0.1:$NGINX_PORT/CdRom0.dmg") \
  <(dd if="$ROOTFILE" bs=1 skip=1000 count=69001 2>/dev/null) ||
  { echo "nbi-bench: nginx served other bytes" >&2; exit 1; }
cat >"$WORK/ranges.lua" <<'EOF'
local threads = 0
function setup(thread) thread:set("id", threads); threads = threads + 1 end
local size, length, path
function init(args)
  size, length, path = tonumber(args[1]), tonumber(args[2]), args[3]
  math.randomseed(os.time() * 1000 + (id or 0))
end
function request()
  local start = math.random(0, math.floor((size - length) / 512)) * 512
  return wrk.format("GET", path, { ["Range"] = "bytes=" .. start .. "-" .. (start + length - 1) })
end
EOF
ROOTSIZE=$(stat -c %s "$ROOTFILE")
run_wrk() {  # $1 port $2 path $3 range $4 connections: requests per second
  local threads=1
  [ "$4" -gt 1 ] && threads=2
  wrk -t "$threads" -c "$4" -d "${SECONDS_PER_RUN}s" -s "$WORK/ranges.lua" \
    "http://127.0.0.1:$1$2" -- "$ROOTSIZE" "$3" "$2" 2>&1 |
    awk '/^Requests\/sec:/{rate=$2} /Non-2xx|Socket errors/{bad=1} END{print bad ? 0 : rate}'
}
declare -A HTTP_RESULT
for size in 65536 1048576; do
  for connections in 1 8; do
    HTTP_RESULT["ours $size $connections"]=$(run_wrk "${HTTPPORT[lab]}" "$OURS_PATH" "$size" "$connections")
    HTTP_RESULT["nginx $size $connections"]=$(run_wrk "$NGINX_PORT" /CdRom0.dmg "$size" "$connections")
  done
done

# ---- TFTP over a wire -------------------------------------------------------------
declare -A WIRE
if ip netns add "$NS-s" 2>/dev/null; then
  ip netns add "$NS-c"
  ip -n "$NS-s" link set lo up
  ip -n "$NS-c" link set lo up
  in_server() {
    rm -f "$WORK/started.pid"
    ip netns exec "$NS-s" sh -c 'echo $$ >"$1"; shift; exec "$@"' sh "$WORK/started.pid" "$@" &
    PIDS+=($!)
    for _ in $(seq 50); do [ -s "$WORK/started.pid" ] && break; sleep 0.1; done
    PIDS+=("$(cat "$WORK/started.pid")")
  }
  in_server "$SERVE" --library "$WORK/lab" --state-dir "$WORK/state-wire" --tftp-port 2069 \
    --bsdp-port 7799 >"$WORK/wire-serve.out" 2>&1
  in_server in.tftpd -L -a :1069 -s "$WORK/lab/Bench.nbi/i386"
  for _ in $(seq 600); do grep -q Watching "$WORK/wire-serve.out" && break; sleep 0.1; done
  wire_seconds() {  # $1 port $2 name $3 window
    local start end options=(--option "blksize 1468")
    [ "$3" -gt 1 ] && options+=(--option "windowsize $3")
    rm -f "$WORK/got"
    start=$(date +%s%N)
    ip netns exec "$NS-c" timeout 1200 atftp "${options[@]}" -g -r "$2" -l "$WORK/got" \
      10.27.6.1 "$1" >/dev/null 2>&1 || true
    end=$(date +%s%N)
    cmp -s "$WORK/got" "$KERNEL" || { echo "-"; return; }
    awk -v ns=$((end - start)) 'BEGIN { printf "%.3f", ns / 1e9 }'
  }
  for delay in $DELAYS; do
    /usr/bin/python3 "$ROOT/tests/support/netwire.py" "$NS-s" wire0 "$NS-c" wire0 \
      --delay-ms "$delay" --seconds 7200 >"$WORK/wire.out" 2>&1 &
    wire=$!
    for _ in $(seq 50); do grep -q ready "$WORK/wire.out" && break; sleep 0.1; done
    ip -n "$NS-s" addr add 10.27.6.1/24 dev wire0
    ip -n "$NS-s" link set wire0 up
    ip -n "$NS-c" addr add 10.27.6.2/24 dev wire0
    ip -n "$NS-c" link set wire0 up
    sleep 0.5
    for window in $WINDOWS; do
      WIRE["$delay ours $window"]=$(wire_seconds 2069 "nbi$ID/i386/x86_64/kernelcache" "$window")
    done
    WIRE["$delay in.tftpd 1"]=$(wire_seconds 1069 x86_64/kernelcache 1)
    kill "$wire" 2>/dev/null || true
    wait "$wire" 2>/dev/null || true
  done
fi

# ---- Table ------------------------------------------------------------------------
echo
echo "load: $(uptime)"
echo "LIST round trip (loopback, median of $LISTS, client included):"
awk -v m="$LIST_MANY" -v o="$LIST_ONE" 'BEGIN {
  printf "    200 folder images %8.1f us   1 image %8.1f us   ratio %.2f\n", m, o, o / m }'
echo "HTTP random ranges of the $ROOT_MIB MiB root image, ${SECONDS_PER_RUN} s each (req/s; ratio = ours / nginx):"
printf '    %-14s %12s %12s %7s\n' case tamsor-serve nginx ratio
for size in 65536 1048576; do
  for connections in 1 8; do
    awk -v c="$((size / 1024)) KiB x $connections" -v a="${HTTP_RESULT["ours $size $connections"]}" \
      -v b="${HTTP_RESULT["nginx $size $connections"]}" 'BEGIN {
        printf "    %-14s %12.0f %12.0f %7.2f\n", c, a, b, (b > 0 ? a / b : 0) }'
  done
done
if [ ${#WIRE[@]} -gt 0 ]; then
  echo "TFTP, $(awk -v s="$WIRE_SIZE" 'BEGIN { printf "%.0f", s / 1048576 }') MiB kernelcache, blksize 1468, atftp over a delayed wire (seconds; ratio = in.tftpd / ours):"
  printf '    %-7s %-7s %12s %12s %7s\n' delay window tamsor-serve in.tftpd ratio
  for delay in $DELAYS; do
    for window in $WINDOWS; do
      awk -v d="$delay ms" -v w="$window" -v a="${WIRE["$delay ours $window"]}" \
        -v b="${WIRE["$delay in.tftpd 1"]}" 'BEGIN {
          if (a == "-" || b == "-") { printf "    %-7s %-7s %12s %12s\n", d, w, a, b; exit }
          printf "    %-7s %-7s %11.2fs %11.2fs %7.2f\n", d, w, a, b, b / a }'
    done
  done
  echo "    (in.tftpd has no windows: its figure is lockstep in every row)"
else
  echo "TFTP over a wire: skipped (network namespaces need root)"
fi
