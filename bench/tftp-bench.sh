#!/usr/bin/env bash
# How fast boot files go out over TFTP: curl fetches an 8 MiB and a 30 MiB
# file with blksize 1468 from tamsor-serve and, in the same run, the same
# bytes from tftp-hpa's in.tftpd, both on loopback (Linux, release build).
#
#   1/booter        8 MiB   usr/standalone/i386/boot.efi on the image
#   1/mach.orvane   30 MiB  mach_kernel on the image
#
# The disc image comes from tamsor-mkimage (self-describing generated
# bytes); in.tftpd serves copies taken out with tamsor-disc. Every fetch is
# compared with those copies before anything is timed. Each fetch runs RUNS
# times per server; the best time counts. The server's stderr (one event
# dump per transfer) goes to a file.
#
#   bench/tftp-bench.sh                         build build/tftp-bench and run
#   BUILD=DIR RUNS=N BLKSIZE=N bench/tftp-bench.sh
#   TAMSOR_SERVE=PROGRAM bench/tftp-bench.sh    any server that takes
#       "--bsdp-port N IMAGE" and prints "tamsor-serve: bsdp=B tftp=T http=H"
#       as its first line
#
# Then, as root, a wire with delay and loss: two network namespaces joined
# by tests/support/netwire.py (user space; this kernel has no netem) with
# each of DELAYS milliseconds one way and each of LOSSES (a fraction, each
# way), and atftp's client fetching a 4 MiB and a 30 MiB file with blksize
# 1468 and each of WINDOWS (a window of 1 asks for no window: lockstep)
# from tamsor-serve, from dnsmasq's TFTP server and from in.tftpd (which
# has no windows: a client that asks for one is served in lockstep), one
# after the other in the same run. Each fetch is stopped at its cap
# (CAP_SMALL seconds for the 4 MiB file, CAP_LARGE for 30 MiB; a lockstep
# 30 MiB at 5 ms takes minutes from anyone), and its rate is the bytes that
# arrived over the time taken, so that a capped fetch still compares. Each
# case runs WIRE_RUNS turns, the servers in a rotated order each turn, and
# each server's best turn counts. The whole wire part with the defaults
# stays under about 40 minutes.
#
#   DELAYS="0.5 5" LOSSES="0 0.005 0.02" WINDOWS="1 4" CAP_SMALL=12 CAP_LARGE=20 WIRE_RUNS=2 bench/tftp-bench.sh
#   WIRE_ONLY=1 bench/tftp-bench.sh             skip the loopback part
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BUILD:-$ROOT/build/tftp-bench}
RUNS=${RUNS:-5}
BLKSIZE=${BLKSIZE:-1468}
SMALL=$((8 * 1024 * 1024))
LARGE=$((30 * 1024 * 1024))
WIRE_SMALL=$((4 * 1024 * 1024))
DELAYS=${DELAYS:-"0.5 5"}
LOSSES=${LOSSES:-"0 0.005 0.02"}
WINDOWS=${WINDOWS:-"1 4"}
CAP_SMALL=${CAP_SMALL:-12}
WIRE_RUNS=${WIRE_RUNS:-2}
CAP_LARGE=${CAP_LARGE:-20}

for tool in cmake ninja curl in.tftpd cmp; do
  command -v "$tool" >/dev/null || { echo "tftp-bench: $tool is missing (apt-get install tftpd-hpa curl)" >&2; exit 1; }
done

echo "==> release build in $BUILD"
cmake -S "$ROOT" -B "$BUILD" -G Ninja --log-level=WARNING -Wno-dev \
  -DCMAKE_BUILD_TYPE=Release -DTAMSOR_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j 2 --target tamsor-disc tamsor-mkimage >/dev/null
MKIMAGE=$BUILD/tools/hfswriter/tamsor-mkimage
DISC=$BUILD/tools/tamsor-disc
SERVE=${TAMSOR_SERVE:-}
if [ -z "$SERVE" ]; then
  cmake --build "$BUILD" -j 2 --target tamsor-serve >/dev/null 2>&1 || true
  SERVE=$(find "$BUILD" -name tamsor-serve -type f -perm -u+x 2>/dev/null | head -1)
fi
if [ -z "$SERVE" ] || [ ! -x "$SERVE" ]; then
  echo "tftp-bench: tamsor-serve is not built (or set TAMSOR_SERVE=PROGRAM)" >&2
  exit 1
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tamsor-tftp-bench.XXXXXX")
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

echo "==> install disc image with 8 MiB and 30 MiB boot files"
cat >"$WORK/manifest" <<EOF
folder System/Installation
pattern usr/standalone/i386/boot.efi $SMALL
pattern mach_kernel $LARGE
pattern System/Library/Extensions.mkext $WIRE_SMALL
text System/Library/CoreServices/SystemVersion.plist "<plist version=\"1.0\"/>"
EOF
IMAGE=$WORK/disc.img
"$MKIMAGE" -o "$IMAGE" --name "Bench Install" --manifest "$WORK/manifest" >/dev/null
mkdir -p "$WORK/root/1"
"$DISC" cat "$IMAGE#2" usr/standalone/i386/boot.efi >"$WORK/root/1/booter"
"$DISC" cat "$IMAGE#2" mach_kernel >"$WORK/root/1/mach.orvane"
"$DISC" cat "$IMAGE#2" System/Library/Extensions.mkext >"$WORK/root/1/mach.orvane.mkext"
# Read once so that both servers work from the page cache.
cat "$IMAGE" "$WORK/root/1/"* >/dev/null

# A UDP port nobody listens on (as far as ss can tell).
free_port() {
  local port
  for _ in $(seq 50); do
    port=$((20000 + RANDOM % 40000))
    if ! ss -Hlun "sport = :$port" 2>/dev/null | grep -q .; then echo "$port"; return; fi
  done
  echo "$port"
}

echo "==> starting the servers"
"$SERVE" --bsdp-port "$(free_port)" "$IMAGE" >"$WORK/serve.out" 2>"$WORK/serve.err" &
PIDS+=($!)
TAMSOR_PORT=
for _ in $(seq 100); do
  TAMSOR_PORT=$(head -1 "$WORK/serve.out" 2>/dev/null |
    sed -n 's/^tamsor-serve: .*tftp=\([0-9]*\).*/\1/p' || true)
  [ -n "$TAMSOR_PORT" ] && break
  sleep 0.1
done
if [ -z "$TAMSOR_PORT" ]; then
  echo "tftp-bench: the server did not come up:" >&2
  cat "$WORK/serve.err" >&2
  exit 1
fi
HPA_PORT=$(free_port)
in.tftpd -L -a "127.0.0.1:$HPA_PORT" -s "$WORK/root" &
PIDS+=($!)
sleep 0.3
echo "    tamsor-serve tftp=$TAMSOR_PORT, in.tftpd $HPA_PORT"

# fetch PORT NAME: the file into $WORK/got; fails when curl does.
fetch() {
  rm -f "$WORK/got"
  curl -s -S --max-time 120 --tftp-blksize "$BLKSIZE" -o "$WORK/got" \
    "tftp://127.0.0.1:$1/$2"
}

# best_seconds PORT NAME: the best of RUNS fetches, checked against the copy.
best_seconds() {
  local best= start end seconds
  for _ in $(seq "$RUNS"); do
    start=$(date +%s%N)
    fetch "$1" "$2"
    end=$(date +%s%N)
    cmp -s "$WORK/got" "$WORK/root/$2" || { echo "tftp-bench: wrong bytes for $2 from port $1" >&2; exit 1; }
    seconds=$(awk -v ns=$((end - start)) 'BEGIN { printf "%.3f", ns / 1e9 }')
    if [ -z "$best" ] || awk -v a="$seconds" -v b="$best" 'BEGIN { exit !(a < b) }'; then
      best=$seconds
    fi
  done
  echo "$best"
}

if [ -z "${WIRE_ONLY:-}" ]; then
  echo "==> curl --tftp-blksize $BLKSIZE, best of $RUNS"
  printf '    %-14s %8s %14s %10s %7s\n' file MiB tamsor-serve in.tftpd ratio
  for name in 1/booter 1/mach.orvane; do
    size=$(stat -c %s "$WORK/root/$name")
    ours=$(best_seconds "$TAMSOR_PORT" "$name")
    theirs=$(best_seconds "$HPA_PORT" "$name")
    awk -v n="$name" -v s="$size" -v a="$ours" -v b="$theirs" 'BEGIN {
      printf "    %-14s %8.1f %13.3fs %9.3fs %7.2f\n", n, s / 1048576, a, b, (a > 0 ? b / a : 0) }'
  done
  echo "    (ratio = in.tftpd seconds / tamsor-serve seconds; above 1 means faster)"
fi

# ---- Over a wire with delay and loss ----------------------------------------------

for tool in atftp dnsmasq ip; do
  command -v "$tool" >/dev/null || { echo "tftp-bench: no wire runs: $tool is missing" >&2; exit 0; }
done
NS=tamsor-bench-$$
if ! ip netns add "$NS-s" 2>/dev/null; then
  echo "==> no wire runs: network namespaces need root"
  exit 0
fi
ip netns add "$NS-c"
NETNS_CLEANUP() {
  ip netns del "$NS-s" 2>/dev/null || true
  ip netns del "$NS-c" 2>/dev/null || true
}
trap 'cleanup; NETNS_CLEANUP' EXIT
ip -n "$NS-s" link set lo up
ip -n "$NS-c" link set lo up

# in_server_background COMMAND...: in the server namespace, its own process
# id in PIDS (`ip netns exec` may stay as its parent).
in_server_background() {
  rm -f "$WORK/started.pid"
  ip netns exec "$NS-s" sh -c 'echo $$ >"$1"; shift; exec "$@"' sh "$WORK/started.pid" "$@" &
  PIDS+=($!)
  for _ in $(seq 50); do [ -s "$WORK/started.pid" ] && break; sleep 0.1; done
  PIDS+=("$(cat "$WORK/started.pid")")
}
# The three servers: dnsmasq's TFTP has no port of its own choosing but 69.
in_server_background "$SERVE" --json --tftp-port 2069 "$IMAGE" >"$WORK/wire-serve.out" \
  2>"$WORK/wire-serve.err"
in_server_background in.tftpd -L -a :1069 -s "$WORK/root"
in_server_background dnsmasq --no-daemon --port=0 --enable-tftp --tftp-root="$WORK/root" \
  --user=root --pid-file="$WORK/dnsmasq.pid" --log-facility=- >"$WORK/dnsmasq.out" 2>&1
sleep 0.5

# wire_fetch PORT WINDOW NAME CAP: one fetch by atftp, stopped at CAP
# seconds; prints "SECONDS BYTES STATE" with STATE done, capped or failed.
# The bytes received are checked against the file either way (a capped
# fetch is a prefix of it). atftp gives up when the wire loses its ACK of
# the server's OACK and the server rightly sends the OACK again ("unexpected
# OACK", before any byte): only that is tried again, within the cap.
wire_fetch() {
  local port=$1 window=$2 name=$3 cap=$4 start end left code size state options
  options=(--option "blksize 1468")
  [ "$window" -gt 1 ] && options+=(--option "windowsize $window")
  start=$(date +%s%N)
  while :; do
    rm -f "$WORK/got"
    left=$(awk -v c="$cap" -v s="$start" -v n="$(date +%s%N)" 'BEGIN { l = c - (n - s) / 1e9; printf "%.2f", (l > 0.1 ? l : 0.1) }')
    code=0
    ip netns exec "$NS-c" timeout "$left" atftp "${options[@]}" -g -r "$name" -l "$WORK/got" \
      10.27.5.1 "$port" >"$WORK/atftp.out" 2>&1 || code=$?
    [ "$code" -ne 0 ] && [ "$code" -ne 124 ] && [ ! -s "$WORK/got" ] &&
      grep -q "unexpected OACK" "$WORK/atftp.out" || break
  done
  end=$(date +%s%N)
  size=$(stat -c %s "$WORK/got" 2>/dev/null || echo 0)
  if [ "$code" -eq 0 ] && cmp -s "$WORK/got" "$WORK/root/$name"; then
    state=done
  elif [ "$code" -eq 124 ] && cmp -s -n "$size" "$WORK/got" "$WORK/root/$name"; then
    state=capped
  else
    state=failed
    echo "tftp-bench: port $port window $window $name: $(tail -n 2 "$WORK/atftp.out" | tr '\n' ' ')" >&2
  fi
  echo "$(awk -v ns=$((end - start)) 'BEGIN { printf "%.3f", ns / 1e9 }') $size $state"
}

SERVERS="tamsor-serve dnsmasq in.tftpd"
server_port() {
  case $1 in tamsor-serve) echo 2069 ;; dnsmasq) echo 69 ;; in.tftpd) echo 1069 ;; esac
}
echo "==> atftp over a wire (user space), blksize 1468; each case capped (4 MiB: ${CAP_SMALL}s, 30 MiB: ${CAP_LARGE}s)"
echo "    rate = bytes received / seconds (a capped fetch counts what arrived before the cap)"
printf '    %-6s %-6s %-6s %-6s %-24s %-24s %-24s %7s %7s\n' delay loss MiB window \
  tamsor-serve dnsmasq in.tftpd best hpa
for delay in $DELAYS; do
  for loss in $LOSSES; do
    python3 "$ROOT/tests/support/netwire.py" "$NS-s" wire0 "$NS-c" wire0 --delay-ms "$delay" \
      --loss "$loss" --seconds 7200 >"$WORK/wire.out" 2>&1 &
    wire=$!
    for _ in $(seq 50); do grep -q ready "$WORK/wire.out" && break; sleep 0.1; done
    ip -n "$NS-s" addr add 10.27.5.1/24 dev wire0
    ip -n "$NS-s" link set wire0 up
    ip -n "$NS-c" addr add 10.27.5.2/24 dev wire0
    ip -n "$NS-c" link set wire0 up
    sleep 0.5
    for name in 1/mach.orvane.mkext 1/mach.orvane; do
      size=$(stat -c %s "$WORK/root/$name")
      cap=$CAP_LARGE
      [ "$size" -le $((8 * 1024 * 1024)) ] && cap=$CAP_SMALL
      for window in $WINDOWS; do
        declare -A rate=() shown=()
        # WIRE_RUNS turns, the servers in a rotated order each turn (so that
        # neither going first nor a change in the machine's load favours
        # one); each server's best turn counts.
        order=($SERVERS)
        for turn in $(seq "$WIRE_RUNS"); do
          for server in "${order[@]}"; do
            read -r seconds bytes state < <(wire_fetch "$(server_port "$server")" "$window" "$name" "$cap")
            got=$(awk -v b="$bytes" -v s="$seconds" 'BEGIN { printf "%.3f", (s > 0 ? b / s / 1e6 : 0) }')
            mark=""
            [ "$state" = capped ] && mark="cap"
            [ "$state" = failed ] && mark="FAIL"
            echo "$delay $loss $size $window $server $seconds $bytes $state turn$turn" >>"$WORK/wire-results"
            if [ -z "${rate[$server]:-}" ] || awk -v a="$got" -v b="${rate[$server]}" 'BEGIN { exit !(a > b) }'; then
              rate[$server]=$got
              shown[$server]=$(printf '%7.2fs %6.2fMB/s %-4s' "$seconds" "$got" "$mark")
            fi
          done
          order=("${order[@]:1}" "${order[0]}")
        done
        line=()
        for server in $SERVERS; do line+=("${shown[$server]}"); done
        awk -v d="$delay" -v l="$loss" -v s="$size" -v w="$window" -v a="${line[0]}" -v b="${line[1]}" \
          -v c="${line[2]}" -v o="${rate[tamsor-serve]}" -v m="${rate[dnsmasq]}" -v h="${rate[in.tftpd]}" 'BEGIN {
            best = m > h ? m : h
            printf "    %-6s %-6s %-6.0f %-6s %-24s %-24s %-24s %6.2fx %6.2fx\n", d "ms", l * 100 "%",
              s / 1048576, w, a, b, c, (best > 0 ? o / best : 0), (h > 0 ? o / h : 0) }'
        unset rate shown
      done
    done
    kill "$wire" 2>/dev/null || true
    wait "$wire" 2>/dev/null || true
  done
done
echo "    best = tamsor-serve's rate / the better peer's; hpa = / in.tftpd's (above 1: faster)"
echo "    cap: stopped at the case's cap (its rate is what arrived by then); FAIL: wrong or no bytes"
