#!/usr/bin/env bash
# A room of stalled readers against one tamsor-serve, and what a real client
# still gets from it.
#
#   bench/stall-bench.sh [STALLED [SEND_TIMEOUT]]      (defaults 2000 and 20)
#
# Builds tamsor-serve, tamsor-mkdmg and the demo disc (Release) under
# $BUILD/stall-bench, makes a disc of $IMAGE_MIB MiB (default 256: the demo
# install disc, then filler) and a zlib .dmg of it. For each (raw, .dmg):
# tamsor-serve --keep-booting with --send-timeout SEND_TIMEOUT (the service's
# default is 60 s; shorter here so that the run is short) and
# --max-connections-per-client 0 (every reader comes from 127.0.0.1). Then:
#   1. a probe without stalled readers: a 1 MiB range read on a new
#      connection, a TFTP transfer of the booter (curl) and a BSDP LIST, each
#      timed, from 127.0.0.2;
#   2. STALLED connections from 127.0.0.1 that each ask for the whole image
#      (one GET) and never read a byte;
#   3. the same probe while they hold on, the server's resident size (goal:
#      within the .dmg cache bound, 256 MiB, plus 64 MiB) and its open
#      connections;
#   4. the server's connections still open SEND_TIMEOUT + 5 s after the
#      last of them asked (goal: none).
# Only processes started here are stopped, by their process ids.
set -euo pipefail

STALLED=${1:-2000}
SEND_TIMEOUT=${2:-20}
IMAGE_MIB=${IMAGE_MIB:-256}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
OUT=${OUT:-$BUILD/stall-bench}
JOBS=${JOBS:-2}
PY=/usr/bin/python3

for tool in curl "$PY"; do
  command -v "$tool" >/dev/null 2>&1 || { echo "stall-bench: $tool is missing" >&2; exit 1; }
done

echo "==> building tamsor-serve, tamsor-mkdmg and the demo disc (Release) in $OUT"
cmake -S "$ROOT" -B "$OUT" -G Ninja --log-level=WARNING -Wno-dev \
  -DCMAKE_BUILD_TYPE=Release -DTAMSOR_TESTS=OFF >/dev/null
cmake --build "$OUT" -j "$JOBS" --target tamsor-serve tamsor-mkdmg demo-disc >/dev/null
SERVE=$OUT/tools/tamsor-serve
MKDMG=$OUT/tools/dmgwriter/tamsor-mkdmg

WORK=$(mktemp -d /tmp/tamsor-stall-bench.XXXXXX)
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT

RAW=$WORK/disc.img
echo "==> making a $IMAGE_MIB MiB disc and a zlib .dmg of it"
{ cat "$OUT/tools/demo-disc.img"; head -c $((IMAGE_MIB * 1024 * 1024)) /dev/urandom; } |
  head -c $((IMAGE_MIB * 1024 * 1024)) >"$RAW" || true
"$MKDMG" --method zlib "$RAW" "$WORK/disc.dmg" >/dev/null
cat "$RAW" "$WORK/disc.dmg" >/dev/null

. "$ROOT/bench/bench-peers.sh"

run_case() {  # $1 label, $2 image
  local bsdp_port
  bsdp_port=$(bench_free_port)
  : >"$WORK/serve.out"
  "$SERVE" --keep-booting --max-connections-per-client 0 --send-timeout "$SEND_TIMEOUT" \
    --bsdp-port "$bsdp_port" "$2" >"$WORK/serve.out" 2>"$WORK/serve.err" &
  local pid=$!
  PIDS+=("$pid")
  for _ in $(seq 200); do grep -q 'http=' "$WORK/serve.out" 2>/dev/null && break; sleep 0.05; done
  local http tftp
  http=$(sed -n 's/.*http=\([0-9]*\).*/\1/p' "$WORK/serve.out" | head -n 1)
  tftp=$(sed -n 's/.*tftp=\([0-9]*\).*/\1/p' "$WORK/serve.out" | head -n 1)
  [ -n "$http" ] || { echo "tamsor-serve did not start: $(cat "$WORK/serve.err")" >&2; exit 1; }
  "$PY" - "$1" "$pid" "$bsdp_port" "$tftp" "$http" "$STALLED" "$SEND_TIMEOUT" <<'PY'
import resource, socket, struct, subprocess, sys, time
label, pid, bsdp_port, tftp_port, http_port, stalled, send_timeout = sys.argv[1:8]
http_port, stalled, send_timeout = int(http_port), int(stalled), float(send_timeout)
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

def server_connections():
    """The server's established TCP connections on the HTTP port."""
    count = 0
    for table in ('/proc/net/tcp', '/proc/net/tcp6'):
        for line in open(table).readlines()[1:]:
            fields = line.split()
            if int(fields[1].split(':')[1], 16) == http_port and fields[3] == '01':
                count += 1
    return count

def rss_mib():
    for line in open('/proc/%s/status' % pid):
        if line.startswith('VmRSS:'):
            return int(line.split()[1]) / 1024.0
    return 0.0

def range_read():
    t = time.monotonic()
    s = socket.socket()
    s.bind(('127.0.0.2', 0))
    s.settimeout(30)
    s.connect(('127.0.0.1', http_port))
    s.sendall(b'GET /CdRom0.dmg HTTP/1.1\r\nHost: x\r\nRange: bytes=1048576-2097151\r\n'
              b'Connection: close\r\n\r\n')
    data = b''
    while True:
        piece = s.recv(1 << 20)
        if not piece: break
        data += piece
    s.close()
    ok = data.startswith(b'HTTP/1.1 206') and len(data.split(b'\r\n\r\n', 1)[1]) == 1 << 20
    return (time.monotonic() - t) * 1e3 if ok else float('nan')

def tftp():
    t = time.monotonic()
    done = subprocess.run(['curl', '-s', '--max-time', '60', '--interface', '127.0.0.2',
                           '-o', '/dev/null', 'tftp://127.0.0.1:%s/1/booter' % tftp_port])
    return (time.monotonic() - t) * 1e3 if done.returncode == 0 else float('nan')

def bsdp_list():
    packet = bytearray(240)
    packet[0:4] = bytes([1, 1, 6, 0]); packet[4:8] = struct.pack('>I', 0x7a3c0001)
    packet[28:34] = bytes.fromhex('0016cbabcdef'); packet[236:240] = bytes([99, 130, 83, 99])
    vendor = b'VRNXBSDPC/i386/TestModel1,1'
    packet += bytes([53, 1, 8, 60, len(vendor)]) + vendor + bytes([43, 3, 1, 1, 1, 255])
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(('127.0.0.2', 0)); s.settimeout(10)
    t = time.monotonic()
    s.sendto(bytes(packet), ('127.0.0.1', int(bsdp_port)))
    try:
        s.recv(2048)
        return (time.monotonic() - t) * 1e3
    except socket.timeout:
        return float('nan')
    finally:
        s.close()

def probe():
    return range_read(), tftp(), bsdp_list()

quiet = probe()
t = time.monotonic()
held = []
for _ in range(stalled):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.connect(('127.0.0.1', http_port))
    s.sendall(b'GET /CdRom0.dmg HTTP/1.1\r\nHost: x\r\n\r\n')
    held.append(s)
opened = time.monotonic() - t
t = time.monotonic()  # the last one has asked: the time-out counts from here
time.sleep(2)  # every request taken and its answer under way
holding = server_connections()
crowded = probe()
rss = rss_mib()
time.sleep(max(0.0, send_timeout + 5 - (time.monotonic() - t)))
left = server_connections()
for s in held: s.close()
print('%-5s %d stalled readers opened in %.1f s; the server held %d of them' %
      (label, stalled, opened, holding))
print('      without them: range %.1f ms, TFTP %.1f ms, BSDP LIST %.1f ms' % quiet)
print('      with them:    range %.1f ms, TFTP %.1f ms, BSDP LIST %.1f ms' % crowded)
print('      resident %.0f MiB with them; connections open %.0f s after the last asked: %d' %
      (rss, send_timeout + 5, left))
PY
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

echo
echo "$STALLED stalled readers, send time-out $SEND_TIMEOUT s; $(uptime)"
run_case raw "$RAW"
run_case .dmg "$WORK/disc.dmg"
