#!/usr/bin/env bash
# The lab case of bench/dmg-bench.sh (run as `bench/dmg-bench.sh lab`; see
# there). Only processes started here are stopped, by their process ids.
set -euo pipefail

SECONDS_PER_RUN=${1:-5}
IMAGE_MIB=${IMAGE_MIB:-512}
CLIENTS=${CLIENTS:-1 8 32 64 128}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
OUT=$BUILD/dmg-bench
JOBS=${JOBS:-2}
PY=/usr/bin/python3

for tool in curl wrk dmg2img 7zz "$PY"; do
  command -v "$tool" >/dev/null 2>&1 || { echo "dmg-lab-bench: $tool is missing" >&2; exit 1; }
done

echo "==> building tamsor-serve, tamsor-mkdmg and the demo disc (Release) in $OUT"
cmake -S "$ROOT" -B "$OUT" -G Ninja --log-level=WARNING -Wno-dev \
  -DCMAKE_BUILD_TYPE=Release -DTAMSOR_TESTS=OFF >/dev/null
cmake --build "$OUT" -j "$JOBS" --target tamsor-serve tamsor-mkdmg demo-disc >/dev/null
SERVE=$OUT/tools/tamsor-serve
MKDMG=$OUT/tools/dmgwriter/tamsor-mkdmg

WORK=$(mktemp -d /tmp/tamsor-dmg-lab.XXXXXX)
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT

RAW=$WORK/lab.img
echo "==> making a $IMAGE_MIB MiB disc: the demo install disc, then programs and libraries"
{ cat "$OUT/tools/demo-disc.img"
  find /usr/lib/x86_64-linux-gnu /usr/bin /usr/lib -type f -size +16k 2>/dev/null |
    sort | xargs cat 2>/dev/null; } | head -c $((IMAGE_MIB * 1024 * 1024)) >"$RAW" || true
for method in zlib bzip2; do
  "$MKDMG" --method "$method" "$RAW" "$WORK/$method.dmg" >/dev/null
  cat "$WORK/$method.dmg" >/dev/null
done

. "$ROOT/bench/bench-peers.sh"

SERVE_PID=""
start_serve() {  # $1 image
  BSDP_PORT=$(bench_free_port)
  # The lab's clients all read and ask from 127.0.0.1: no per-address share
  # of connections, no per-address rate of BSDP answers.
  "$SERVE" --keep-booting --max-connections-per-client 0 --bsdp-rate 0 --bsdp-port "$BSDP_PORT" "$1" \
    >"$WORK/serve.out" 2>"$WORK/serve.err" &
  SERVE_PID=$!
  PIDS+=("$SERVE_PID")
  for _ in $(seq 200); do grep -q 'http=' "$WORK/serve.out" 2>/dev/null && break; sleep 0.05; done
  HTTP_PORT=$(sed -n 's/.*http=\([0-9]*\).*/\1/p' "$WORK/serve.out" | head -n 1)
  TFTP_PORT=$(sed -n 's/.*tftp=\([0-9]*\).*/\1/p' "$WORK/serve.out" | head -n 1)
  [ -n "$HTTP_PORT" ] || { echo "tamsor-serve did not start: $(cat "$WORK/serve.err")" >&2; exit 1; }
}
stop_serve() { kill "$SERVE_PID" 2>/dev/null || true; wait "$SERVE_PID" 2>/dev/null || true; }

lab() {  # $1 clients: "rate p99 max bsdp-max tftp rss idle errors"
  local n=$1 region
  region=$(( $(stat -c %s "$RAW") / n / 65536 * 65536 ))
  wrk -t "$n" -c "$n" -d "${SECONDS_PER_RUN}s" --timeout 30s --latency \
    -s "$ROOT/bench/dmg-lab-readers.lua" "http://127.0.0.1:$HTTP_PORT/CdRom0.dmg" -- "$region" \
    >"$WORK/wrk.out" 2>&1 &
  local wrk_pid=$!
  PIDS+=("$wrk_pid")
  "$PY" - "$BSDP_PORT" "$TFTP_PORT" "$SERVE_PID" "$SECONDS_PER_RUN" >"$WORK/probe.out" <<'PY'
import socket, struct, subprocess, sys, time
bsdp_port, tftp_port, pid, seconds = sys.argv[1:5]
seconds = float(seconds)
def cpu():
    fields = [int(x) for x in open('/proc/stat').readline().split()[1:]]
    return fields[3] + fields[4], sum(fields)
start = time.monotonic()
time.sleep(min(1.0, seconds / 5))  # the readers under way
idle0, total0 = cpu()
packet = bytearray(240)
packet[0:4] = bytes([1, 1, 6, 0]); packet[4:8] = struct.pack('>I', 0x7a3c0001)
packet[28:34] = bytes.fromhex('0016cbabcdef'); packet[236:240] = bytes([99, 130, 83, 99])
vendor = b'VRNXBSDPC/i386/TestModel1,1'
packet += bytes([53, 1, 8, 60, len(vendor)]) + vendor + bytes([43, 3, 1, 1, 1, 255])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(('127.0.0.2', 0)); s.settimeout(5)
bsdp, tftp = [], None
while time.monotonic() - start < seconds - 0.5:
    if tftp is None and time.monotonic() - start > seconds / 3:
        t = time.monotonic()
        subprocess.run(['curl', '-s', '--interface', '127.0.0.2', '-o', '/dev/null',
                        'tftp://127.0.0.1:%s/1/booter' % tftp_port])
        tftp = time.monotonic() - t
    t = time.monotonic()
    s.sendto(bytes(packet), ('127.0.0.1', int(bsdp_port)))
    try: s.recv(2048); bsdp.append(time.monotonic() - t)
    except socket.timeout: bsdp.append(5.0)
    time.sleep(0.2)
idle1, total1 = cpu()
rss = [l.split()[1] for l in open('/proc/%s/status' % pid) if l.startswith('VmRSS:')][0]
print('%.1f %.0f %s %.0f' % (max(bsdp) * 1e3, (tftp or 0) * 1e3, rss,
      100.0 * (idle1 - idle0) / max(1, total1 - total0)))
PY
  wait "$wrk_pid" || true
  "$PY" - "$WORK/wrk.out" "$WORK/probe.out" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
def ms(value):
    number, unit = re.match(r'([\d.]+)(us|ms|s|m)', value).groups()
    return float(number) * {'us': 1e-3, 'ms': 1.0, 's': 1e3, 'm': 6e4}[unit]
rate = float(re.search(r'Requests/sec:\s+([\d.]+)', text).group(1))
p99 = ms(re.search(r'^\s+99%\s+(\S+)', text, re.M).group(1))
worst = ms(re.search(r'^\s+Latency\s+\S+\s+\S+\s+(\S+)', text, re.M).group(1))
errors = 0
m = re.search(r'Non-2xx or 3xx responses:\s+(\d+)', text)
if m: errors += int(m.group(1))
m = re.search(r'Socket errors:(.*)', text)
if m: errors += sum(int(x) for x in re.findall(r'\d+', m.group(1)))
bsdp, tftp, rss, idle = open(sys.argv[2]).read().split()
print('%.0f %.1f %.1f %s %s %s %s %d' % (rate, p99, worst, bsdp, tftp, rss, idle, errors))
PY
}

echo "==> whole image by one GET against converting it (MB/s of the decoded disc); also what"
echo "    the cores decode, which bounds the lab's rate with the raw disc's"
declare -A DECODE
seconds() { "$PY" -c 'import time; print(time.monotonic())'; }
SIZE=$(stat -c %s "$RAW")
rate() { "$PY" -c "print('%.0f' % ($SIZE / ($2 - $1) / 1e6))"; }
for method in zlib bzip2; do
  start_serve "$WORK/$method.dmg"
  t0=$(seconds); curl -s -o /dev/null "http://127.0.0.1:$HTTP_PORT/CdRom0.dmg"; t1=$(seconds)
  ours=$(rate "$t0" "$t1")
  DECODE[$method]=$ours
  stop_serve
  t0=$(seconds); dmg2img -s "$WORK/$method.dmg" "$WORK/out.raw" >/dev/null 2>&1; t1=$(seconds)
  d2i=$(rate "$t0" "$t1"); rm -f "$WORK/out.raw"
  t0=$(seconds); 7zz x -tdmg -so "$WORK/$method.dmg" >/dev/null 2>&1; t1=$(seconds)
  z7=$(rate "$t0" "$t1")
  printf '  %-5s tamsor-serve %5s   dmg2img %5s (x%s)   7zz %5s (x%s)\n' "$method" "$ours" \
    "$d2i" "$("$PY" -c "print('%.2f' % ($ours / $d2i))")" \
    "$z7" "$("$PY" -c "print('%.2f' % ($ours / $z7))")"
done

echo "==> lab: $CLIENTS clients, ${SECONDS_PER_RUN}s each; load: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-6s %5s %9s %8s %8s %10s %8s %9s %6s %6s\n' image N 'req/s' 'p99 ms' 'max ms' 'BSDP max' \
  'TFTP ms' 'RSS KiB' 'idle%' errors
declare -A RATE
for image in raw zlib bzip2; do
  file=$RAW
  [ "$image" = raw ] || file=$WORK/$image.dmg
  for n in $CLIENTS; do
    start_serve "$file"
    read -r rate p99 max bsdp tftp rss idle errors < <(lab "$n")
    stop_serve
    RATE[$image-$n]=$rate
    ratio=""
    # Against the lower of the raw disc's rate and the whole image's decode
    # rate in 64 KiB requests.
    [ "$image" = raw ] || ratio=$("$PY" -c "raw, decode = ${RATE[raw-$n]}, ${DECODE[$image]} * 1e6 / 65536
print('x%.2f of raw, x%.2f of min(raw, decode %.0f/s)' % ($rate / raw, $rate / min(raw, decode), decode))")
    printf '%-6s %5s %9s %8s %8s %10s %8s %9s %6s %6s %s\n' "$image" "$n" "$rate" "$p99" "$max" \
      "$bsdp" "$tftp" "$rss" "$idle" "$errors" "$ratio"
  done
done
