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
# Then, as root, windows over a wire with delay: two network namespaces
# joined by tests/support/netwire.py (user space; this kernel has no netem)
# with DELAYS milliseconds one way, and atftp's client fetching a file of
# WIRE_SIZE bytes (30 MiB) with blksize 1468 and each of WINDOWS (a window
# of 1 asks for no window: lockstep) from tamsor-serve, from dnsmasq's TFTP
# server and, at window 1, from in.tftpd (which has no windows), all in the
# same run. WIRE_RUNS fetches each (1), the best counts; a lockstep fetch of
# 30 MiB at 5 ms takes minutes, so WIRE_SIZE=4194304 gives a quick look.
#
#   DELAYS="0.5 5" WINDOWS="1 4 16 64" WIRE_SIZE=N WIRE_RUNS=N bench/tftp-bench.sh
#   WIRE_ONLY=1 bench/tftp-bench.sh             skip the loopback part
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BUILD:-$ROOT/build/tftp-bench}
RUNS=${RUNS:-5}
BLKSIZE=${BLKSIZE:-1468}
SMALL=$((8 * 1024 * 1024))
LARGE=$((30 * 1024 * 1024))
WIRE_SIZE=${WIRE_SIZE:-$LARGE}
WIRE_RUNS=${WIRE_RUNS:-1}
DELAYS=${DELAYS:-"0.5 5"}
WINDOWS=${WINDOWS:-"1 4 16 64"}

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
pattern System/Library/Extensions.mkext $WIRE_SIZE
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

# ---- Windows over a wire with delay -------------------------------------------

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

# wire_seconds PORT WINDOW: one fetch, checked ("-" when it failed).
wire_seconds() {
  local start end options=(--option "blksize 1468")
  [ "$2" -gt 1 ] && options+=(--option "windowsize $2")
  rm -f "$WORK/got"
  start=$(date +%s%N)
  ip netns exec "$NS-c" timeout 1200 atftp "${options[@]}" -g -r 1/mach.orvane.mkext \
    -l "$WORK/got" 10.27.5.1 "$1" >/dev/null 2>&1 || true
  end=$(date +%s%N)
  cmp -s "$WORK/got" "$WORK/root/1/mach.orvane.mkext" ||
    { echo "tftp-bench: wrong bytes over the wire from port $1" >&2; echo "-"; return; }
  awk -v ns=$((end - start)) 'BEGIN { printf "%.3f", ns / 1e9 }'
}

echo "==> atftp over a wire, blksize 1468, $(awk -v s="$WIRE_SIZE" 'BEGIN { printf "%.1f", s / 1048576 }') MiB, best of $WIRE_RUNS"
printf '    %-7s %-13s %6s %10s %8s %12s\n' delay server window seconds MB/s "x lockstep"
for delay in $DELAYS; do
  python3 "$ROOT/tests/support/netwire.py" "$NS-s" wire0 "$NS-c" wire0 --delay-ms "$delay" \
    --seconds 7200 >"$WORK/wire.out" 2>&1 &
  wire=$!
  for _ in $(seq 50); do grep -q ready "$WORK/wire.out" && break; sleep 0.1; done
  ip -n "$NS-s" addr add 10.27.5.1/24 dev wire0
  ip -n "$NS-s" link set wire0 up
  ip -n "$NS-c" addr add 10.27.5.2/24 dev wire0
  ip -n "$NS-c" link set wire0 up
  sleep 0.5
  # Rounds of every server and window in turn, so that the machine's load
  # falls on all alike; the best of the rounds counts.
  declare -A lockstep=() best=()
  for _ in $(seq "$WIRE_RUNS"); do
    for server in tamsor-serve dnsmasq in.tftpd; do
      case $server in
        tamsor-serve) port=2069 ;; dnsmasq) port=69 ;; in.tftpd) port=1069 ;;
      esac
      for window in $WINDOWS; do
        [ "$server" = in.tftpd ] && [ "$window" -gt 1 ] && continue
        seconds=$(wire_seconds "$port" "$window")
        key="$server $window" previous=${best["$server $window"]:-}
        if [ -z "$previous" ] || [ "$previous" = - ] ||
           { [ "$seconds" != - ] && awk -v a="$seconds" -v b="$previous" 'BEGIN { exit !(a < b) }'; }; then
          best[$key]=$seconds
        fi
      done
    done
  done
  for server in tamsor-serve dnsmasq in.tftpd; do
    for window in $WINDOWS; do
      [ "$server" = in.tftpd ] && [ "$window" -gt 1 ] && continue
      seconds=${best["$server $window"]}
      [ "$window" -eq 1 ] && lockstep[$server]=$seconds
      awk -v d="$delay" -v n="$server" -v w="$window" -v t="$seconds" -v s="$WIRE_SIZE" \
        -v l="${lockstep[$server]:-}" 'BEGIN {
          if (t == "-") { printf "    %-7s %-13s %6s %10s\n", d "ms", n, w, "failed"; exit }
          printf "    %-7s %-13s %6s %9.3fs %8.2f %12s\n", d "ms", n, w, t, s / t / 1e6,
            (l != "" && l != "-" ? sprintf("%.1f", l / t) : "") }'
      echo "$delay $server $window $seconds" >>"$WORK/wire-results"
    done
  done
  kill "$wire" 2>/dev/null || true
  wait "$wire" 2>/dev/null || true
done
# What tamsor-serve granted, from its events.
echo "    tamsor-serve granted (blksize, windowsize): $(grep -o '"blksize":[0-9]*,"windowsize":[0-9]*' \
  "$WORK/wire-serve.out" | sort | uniq -c | tr -s ' ' | tr '\n' ';')"
awk '
  { t[$1 " " $2 " " $3] = $4 }
  END {
    for (k in t) { split(k, f, " "); if (f[2] == "tamsor-serve" && f[3] == 16) {
      d = f[1]; l = t[d " tamsor-serve 1"]; h = t[d " in.tftpd 1"]
      printf "    %sms: window 16 is %.1fx the lockstep rate (goal at 5 ms: 8x); lockstep is %.2fx in.tftpd\n",
        d, l / t[k], h / l } }
  }' "$WORK/wire-results"
