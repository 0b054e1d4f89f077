#!/usr/bin/env bash
# A lab of clients switched on together: N simulated clients at once (N = 1,
# 8, 32, 128) boot from one disc image served by tamsor-serve --keep-booting
# (Release), each from its own loopback address (127.0.1.x) the whole road:
# BSDP LIST and SELECT (the TFTP port, the booter and the root image URL are
# taken from the replies), the three boot files over TFTP with curl and
# blksize 1468, then R MiB of the root image in 1 MiB ranges over HTTP.
#
# Reported per N: every transfer byte-exact (and none refused), the time
# until the last client is done, the aggregate rate, the fastest and the
# slowest client, the server's peak resident size (VmHWM) and peak open
# descriptors. Then a library (tamsor-serve --library) of 4 images, raw and
# .dmg mixed, each with boot files of its own: the same N clients spread
# over them (each takes the entry of its number in the LIST and SELECTs it),
# every byte checked against the image it chose, the aggregate rate as a
# ratio to the one image served alone at the same N (goal: within 10 %);
# and the time of a LIST with 40 entries against a LIST of one, both
# measured by one client in a row of 2000. In the same run the TFTP part alone (the same N clients, the
# same files) against tamsor-serve, tftp-hpa's in.tftpd and dnsmasq's TFTP
# server, as ratios (peer seconds / tamsor-serve seconds: above 1 means
# tamsor-serve is faster).
#
#   bench/lab-bench.sh
#   COUNTS="1 8 32 128" R_MIB=16 BOOTER_KIB=512 KERNEL_KIB=8192 CACHE_KIB=4096 \
#     LIBRARY=1 BUILD=DIR bench/lab-bench.sh
#
# Then the road at STATUS_N clients (default 32) with tamsor-serve --status:
# no reader, /status.json polled every second by curl, headless Chromium on
# an empty page, and Chromium on the status page (polling every second),
# ROUNDS times each in turn, with the server's processor time. The metrics
# scraped after each run must count exactly what the clients did.
#
# Runs in a network namespace of its own (unshare -n, root): dnsmasq's TFTP
# port is the fixed 69, and nothing leaves loopback. Needs curl, in.tftpd
# (tftpd-hpa), dnsmasq (dnsmasq-base), python3. Only the processes started
# here are stopped, by their ids.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [ -z "${LAB_BENCH_INSIDE:-}" ]; then
  command -v unshare >/dev/null || { echo "lab-bench: unshare is missing" >&2; exit 1; }
  exec unshare -n env LAB_BENCH_INSIDE=1 bash "$0" "$@"
fi
ip link set lo up
# A documentation address on loopback too: in.tftpd resolves its address
# with AI_ADDRCONFIG, which wants a configured address beyond 127/8.
ip addr add 192.0.2.1/32 dev lo

BUILD=${BUILD:-$ROOT/build/lab-bench}
COUNTS=${COUNTS:-"1 8 32 128"}
R_MIB=${R_MIB:-16}
BOOTER_KIB=${BOOTER_KIB:-512}
KERNEL_KIB=${KERNEL_KIB:-8192}
CACHE_KIB=${CACHE_KIB:-4096}
LIBRARY=${LIBRARY:-1}
PYTHON=/usr/bin/python3

for tool in cmake ninja curl in.tftpd dnsmasq "$PYTHON"; do
  command -v "$tool" >/dev/null || { echo "lab-bench: $tool is missing (apt-get install tftpd-hpa dnsmasq-base curl)" >&2; exit 1; }
done

echo "==> release build in $BUILD"
cmake -S "$ROOT" -B "$BUILD" -G Ninja --log-level=WARNING -Wno-dev \
  -DCMAKE_BUILD_TYPE=Release -DTAMSOR_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j 2 --target tamsor-serve tamsor-disc tamsor-mkimage tamsor-mkdmg >/dev/null
SERVE=$BUILD/tools/tamsor-serve
DISC=$BUILD/tools/tamsor-disc
MKIMAGE=$BUILD/tools/hfswriter/tamsor-mkimage
MKDMG=$BUILD/tools/dmgwriter/tamsor-mkdmg

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tamsor-lab-bench.XXXXXX")
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

echo "==> install disc image: booter $BOOTER_KIB KiB, kernel $KERNEL_KIB KiB, cache $CACHE_KIB KiB, $R_MIB MiB read over HTTP"
cat >"$WORK/manifest" <<EOF
folder System/Installation/Packages
pattern usr/standalone/i386/boot.efi $((BOOTER_KIB * 1024))
pattern mach_kernel $((KERNEL_KIB * 1024))
pattern System/Library/Extensions.mkext $((CACHE_KIB * 1024))
pattern System/Installation/Packages/Base.pkg $(((R_MIB + 1) * 1024 * 1024))
text System/Library/CoreServices/SystemVersion.plist "<plist version=\"1.0\"/>"
EOF
IMAGE=$WORK/disc.img
"$MKIMAGE" -o "$IMAGE" --name "Lab Install" --manifest "$WORK/manifest" >/dev/null
mkdir -p "$WORK/root/1"
"$DISC" cat "$IMAGE#2" usr/standalone/i386/boot.efi >"$WORK/root/1/booter"
"$DISC" cat "$IMAGE#2" mach_kernel >"$WORK/root/1/mach.orvane"
"$DISC" cat "$IMAGE#2" System/Library/Extensions.mkext >"$WORK/root/1/mach.orvane.mkext"
cat "$IMAGE" "$WORK/root/1/"* >/dev/null  # into the page cache for every server

# The clients: one thread each, curl for TFTP, python for BSDP and HTTP.
# Prints one JSON object: per-client seconds and bytes, failures, the wall
# time. With a BSDP port of 0 only TFTP runs, against the TFTP port given.
cat >"$WORK/clients.py" <<'PY'
import hashlib, http.client, json, os, socket, struct, subprocess, sys, threading, time
count, bsdp_port, tftp_port, root, image_path, r_mib, work = sys.argv[1:8]
count, bsdp_port, tftp_port, r_mib = int(count), int(bsdp_port), int(tftp_port), int(r_mib)
# A library: image_path is a JSON map of index -> raw image; root holds
# <index>/booter and the rest for each.
library = json.load(open(image_path)) if image_path.endswith(".json") else None
LEAVES = ["booter", "mach.orvane", "mach.orvane.mkext"]
NAMES = ["1/" + leaf for leaf in LEAVES]
if library:
    NAMES = ["%s/%s" % (index, leaf) for index in library for leaf in LEAVES]
    images = {index: open(path, "rb").read() for index, path in library.items()}
expected = {n: hashlib.sha256(open(os.path.join(root, n), "rb").read()).hexdigest() for n in NAMES}
image = open(image_path, "rb").read() if bsdp_port and not library else b""

def bsdp(source, hardware, kind, xid, image_id=None):
    packet = bytearray(240)
    packet[0:4] = bytes([1, 1, 6, 0])
    packet[4:8] = struct.pack("!I", xid)
    packet[28:34] = hardware
    packet[236:240] = bytes([0x63, 0x82, 0x53, 0x63])
    vendor = b"VRNXBSDPC/i386/Lab1,1"
    wanted = b"" if image_id is None else bytes([8, 4]) + struct.pack("!I", image_id)
    packet += bytes([53, 1, 8, 60, len(vendor)]) + vendor + bytes([43, 3 + len(wanted), 1, 1, kind])
    packet += wanted + bytes([255])
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((source, 0))
    s.settimeout(2)
    for _ in range(5):
        s.sendto(packet, ("127.0.0.1", bsdp_port))
        try:
            reply = s.recv(1500)
            break
        except socket.timeout:
            continue
    else:
        raise RuntimeError("no BSDP reply")
    s.close()
    options, i = {}, 240
    while i < len(reply) and reply[i] != 255:
        if reply[i] == 0:
            i += 1
            continue
        # Option 43 may come in several pieces: joined, as a client does.
        piece = reply[i + 2:i + 2 + reply[i + 1]]
        options[reply[i]] = options.get(reply[i], b"") + piece if reply[i] == 43 else piece
        i += 2 + reply[i + 1]
    bsdp_options, j, vendor = {}, 0, options.get(43, b"")
    while j + 1 < len(vendor):
        value = vendor[j + 2:j + 2 + vendor[j + 1]]
        bsdp_options[vendor[j]] = bsdp_options.get(vendor[j], b"") + value if vendor[j] == 9 else value
        j += 2 + vendor[j + 1]
    return reply, options, bsdp_options

results = [None] * count
def client(index):
    source = "127.0.1.%d" % (index + 1) if index < 254 else "127.0.2.%d" % (index - 253)
    hardware = bytes([0x00, 0x16, 0xcb, 0x10, index >> 8, index & 0xff])
    start = time.time()
    tftp_bytes = http_bytes = 0
    failures = []
    try:
        port, booter, url, mine = tftp_port, NAMES[0], None, image
        if bsdp_port:
            _, _, listed = bsdp(source, hardware, 1, 0x100000 + index)
            chosen, entries = None, listed.get(9, b"")
            if library:
                ids, k = [], 0
                while k < len(entries):
                    ids.append(struct.unpack("!I", entries[k:k + 4])[0])
                    k += 5 + entries[k + 4]
                chosen = sorted(ids)[index % len(ids)]
            reply, options, bsdp_options = bsdp(source, hardware, 2, 0x200000 + index, chosen)
            port = struct.unpack("!H", bsdp_options[12])[0]
            booter = reply[108:236].rstrip(b"\0").decode()
            url = options[17].decode()
            if library:
                mine = images[booter.split("/")[0]]
        for name in [booter] + [booter.split("/")[0] + "/" + leaf for leaf in LEAVES[1:]]:
            out = os.path.join(work, "got.%d" % index)
            run = subprocess.run(["curl", "-s", "-S", "--max-time", "120", "--interface", source,
                                  "--tftp-blksize", "1468", "-o", out,
                                  "tftp://127.0.0.1:%d/%s" % (port, name)],
                                 capture_output=True, text=True)
            data = open(out, "rb").read() if os.path.exists(out) else b""
            if run.returncode != 0:
                failures.append("%s: curl %d %s" % (name, run.returncode, run.stderr.strip()))
            elif hashlib.sha256(data).hexdigest() != expected[name]:
                failures.append("%s: other bytes" % name)
            tftp_bytes += len(data)
        if url:
            host_port = url.split("/")[2]
            host, http_port = host_port.split(":")
            path = "/" + url.split("/", 3)[3]
            connection = http.client.HTTPConnection(host, int(http_port), timeout=60,
                                                    source_address=(source, 0))
            for piece in range(r_mib):
                first = piece << 20
                connection.request("GET", path, headers={"Range": "bytes=%d-%d" % (first, first + (1 << 20) - 1)})
                response = connection.getresponse()
                body = response.read()
                if response.status != 206 or body != mine[first:first + (1 << 20)]:
                    failures.append("range %d: status %d, %s" % (piece, response.status,
                                    "other bytes" if response.status == 206 else ""))
                http_bytes += len(body)
            connection.close()
    except Exception as error:  # a refused or lost client counts as failed
        failures.append(repr(error))
    results[index] = {"seconds": time.time() - start, "tftp": tftp_bytes, "http": http_bytes,
                      "failures": failures}

threads = [threading.Thread(target=client, args=(i,)) for i in range(count)]
began = time.time()
for t in threads:
    t.start()
for t in threads:
    t.join()
wall = time.time() - began
print(json.dumps({"wall": wall, "clients": results}))
PY

free_port() {
  "$PYTHON" -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Samples the peak descriptors of PID into FILE until the file STOP exists.
sample_descriptors() {
  local pid=$1 file=$2 stop=$3 peak=0 n
  while [ ! -e "$stop" ] && kill -0 "$pid" 2>/dev/null; do
    n=$(ls "/proc/$pid/fd" 2>/dev/null | wc -l)
    [ "$n" -gt "$peak" ] && peak=$n
    sleep 0.05
  done
  echo "$peak" >"$file"
}

# start_serve [OPTION...]: tamsor-serve on the image with the options given.
start_serve() {
  : >"$WORK/serve.out"
  # Every client reads and asks from 127.0.0.1: one address, so no
  # per-address share of connections and no per-address rate of BSDP answers.
  "$SERVE" --keep-booting --json --max-connections-per-client 0 --bsdp-rate 0 --bsdp-port "$(free_port)" "$@" "$IMAGE" >"$WORK/serve.out" 2>"$WORK/serve.err" &
  SERVE_PID=$!
  PIDS+=("$SERVE_PID")
  for _ in $(seq 100); do grep -q '"event":"start"' "$WORK/serve.out" 2>/dev/null && break; sleep 0.1; done
  BSDP_PORT=$(sed -n 's/.*"event":"start","bsdp":\([0-9]*\),"tftp":\([0-9]*\).*/\1/p' "$WORK/serve.out")
  TFTP_PORT=$(sed -n 's/.*"event":"start","bsdp":\([0-9]*\),"tftp":\([0-9]*\).*/\2/p' "$WORK/serve.out")
  [ -n "$BSDP_PORT" ] || { echo "lab-bench: tamsor-serve did not start" >&2; cat "$WORK/serve.err" >&2; exit 1; }
}

stop_pid() { kill "$1" 2>/dev/null || true; wait "$1" 2>/dev/null || true; }

# summary NAME RESULT.json: one line of figures; exit status 1 on a failure.
summary() {
  "$PYTHON" - "$@" <<'PY'
import json, sys
label, path = sys.argv[1], sys.argv[2]
extra = sys.argv[3] if len(sys.argv) > 3 else ""
run = json.load(open(path))
clients = run["clients"]
failed = [c for c in clients if c["failures"]]
total = sum(c["tftp"] + c["http"] for c in clients)
seconds = [c["seconds"] for c in clients]
print("    %-22s %4d clients  %s  last done %7.2f s  %8.1f MB/s  fastest %6.2f s  slowest %6.2f s%s" % (
    label, len(clients), "byte-exact" if not failed else "%d FAILED" % len(failed), run["wall"],
    total / run["wall"] / 1e6, min(seconds), max(seconds), extra))
for c in failed[:5]:
    print("      failure:", "; ".join(c["failures"][:3]))
sys.exit(1 if failed else 0)
PY
}

status=0
declare -A WALL
echo "==> the whole road against tamsor-serve --keep-booting (Release)"
for n in $COUNTS; do
  start_serve
  rm -f "$WORK/stop"
  sample_descriptors "$SERVE_PID" "$WORK/fds" "$WORK/stop" &
  sampler=$!
  "$PYTHON" "$WORK/clients.py" "$n" "$BSDP_PORT" 0 "$WORK/root" "$IMAGE" "$R_MIB" "$WORK" >"$WORK/road.$n.json"
  touch "$WORK/stop"
  wait "$sampler" || true
  hwm=$(awk '/^VmHWM:/ { print $2 }' "/proc/$SERVE_PID/status")
  # The server's processor time (user + system), in seconds.
  cpu=$(awk -v hz="$(getconf CLK_TCK)" '{ printf "%.1f", ($14 + $15) / hz }' "/proc/$SERVE_PID/stat")
  stop_pid "$SERVE_PID"
  busy=$(grep -c 'Server Busy' "$WORK/serve.err" || true)
  summary "road N=$n" "$WORK/road.$n.json" \
    "  peak RSS $((hwm / 1024)) MiB  peak fds $(cat "$WORK/fds")  server CPU ${cpu} s  busy $busy" || status=1
  if [ "$n" -eq 128 ] && [ "$hwm" -ge $((64 * 1024)) ]; then echo "    FAILED: peak RSS at 128 clients is $((hwm / 1024)) MiB"; status=1; fi
done
rate_of() {
  "$PYTHON" -c 'import json,sys; r=json.load(open(sys.argv[1])); print(sum(c["tftp"]+c["http"] for c in r["clients"]) / r["wall"])' "$1"
}
if [ -f "$WORK/road.8.json" ] && [ -f "$WORK/road.128.json" ]; then
  "$PYTHON" - "$(rate_of "$WORK/road.8.json")" "$(rate_of "$WORK/road.128.json")" <<'PY' || status=1
import sys
at8, at128 = float(sys.argv[1]), float(sys.argv[2])
change = (at128 - at8) / at8
print("    aggregate rate at N=128 is %+.0f %% of N=8 (goal: within 20 %%)" % (change * 100))
sys.exit(0 if change >= -0.20 else 1)
PY
fi

if [ "$LIBRARY" = 1 ]; then
  echo "==> a library of 4 images (2 raw, 2 .dmg) against tamsor-serve --library (Release)"
  LIB=$WORK/library
  mkdir -p "$LIB"
  echo "{" >"$WORK/library.json"
  for k in 1 2 3 4; do
    # Each image's boot files differ from the others' (sizes), so a client
    # given another image's bytes is caught.
    sed "s|boot.efi .*|boot.efi $((BOOTER_KIB * 1024 + k * 4096))|" "$WORK/manifest" >"$WORK/manifest.$k"
    "$MKIMAGE" -o "$WORK/lib$k.img" --name "Lab Install $k" --manifest "$WORK/manifest.$k" >/dev/null
    if [ $((k % 2)) -eq 0 ]; then
      "$MKDMG" --method zlib "$WORK/lib$k.img" "$LIB/lib$k.dmg" >/dev/null
    else
      cp "$WORK/lib$k.img" "$LIB/lib$k.img"
    fi
  done
  LIB_BSDP=$(free_port)
  "$SERVE" --library "$LIB" --state-dir "$WORK/state" --json --bsdp-port "$LIB_BSDP" \
    --max-connections-per-client 0 --bsdp-rate 0 \
    >"$WORK/library.out" 2>/dev/null &
  LIB_PID=$!
  PIDS+=("$LIB_PID")
  for _ in $(seq 100); do grep -q 'Watching' "$WORK/library.out" 2>/dev/null && break; sleep 0.1; done
  # The index each image got, from its "image" line; its boot files.
  first=1
  for k in 1 2 3 4; do
    id=$(sed -n "s/.*\"file\":\"lib$k\.[a-z]*\",.*\"id\":\"\([0-9A-F]*\)\".*/\1/p" "$WORK/library.out")
    index=$((16#${id:4:4}))
    mkdir -p "$WORK/libroot/$index"
    "$DISC" cat "$WORK/lib$k.img#2" usr/standalone/i386/boot.efi >"$WORK/libroot/$index/booter"
    "$DISC" cat "$WORK/lib$k.img#2" mach_kernel >"$WORK/libroot/$index/mach.orvane"
    "$DISC" cat "$WORK/lib$k.img#2" System/Library/Extensions.mkext >"$WORK/libroot/$index/mach.orvane.mkext"
    [ $first = 1 ] || echo "," >>"$WORK/library.json"
    printf '"%s": "%s"' "$index" "$WORK/lib$k.img" >>"$WORK/library.json"
    first=0
  done
  echo "}" >>"$WORK/library.json"
  for n in $COUNTS; do
    "$PYTHON" "$WORK/clients.py" "$n" "$LIB_BSDP" 0 "$WORK/libroot" "$WORK/library.json" "$R_MIB" "$WORK" \
      >"$WORK/library.$n.json"
    alone=$(rate_of "$WORK/road.$n.json")
    ratio=$("$PYTHON" -c 'import sys; print("%.2f" % (float(sys.argv[1]) / float(sys.argv[2])))' \
      "$(rate_of "$WORK/library.$n.json")" "$alone")
    summary "library N=$n" "$WORK/library.$n.json" "  rate / one image alone $ratio (goal >= 0.90)" || status=1
  done
  stop_pid "$LIB_PID"

  # LIST round trips: 40 entries (links to one image) against one entry.
  for entries in 1 40; do
    MANY=$WORK/many$entries
    mkdir -p "$MANY"
    for k in $(seq "$entries"); do ln -s "$IMAGE" "$MANY/disc$k.img"; done
    port=$(free_port)
    "$SERVE" --library "$MANY" --bsdp-rate 0 --state-dir "$WORK/state$entries" --bsdp-port "$port" >"$WORK/many.out" 2>/dev/null &
    MANY_PID=$!
    PIDS+=("$MANY_PID")
    for _ in $(seq 200); do grep -q 'Watching' "$WORK/many.out" 2>/dev/null && break; sleep 0.1; done
    "$PYTHON" - "$port" "$entries" <<'PY' >"$WORK/list.$entries"
import socket, struct, sys, time
port, entries = int(sys.argv[1]), int(sys.argv[2])
packet = bytearray(240)
packet[0:4] = bytes([1, 1, 6, 0])
packet[28:34] = bytes.fromhex("0016cb100001")
packet[236:240] = bytes([0x63, 0x82, 0x53, 0x63])
vendor = b"VRNXBSDPC/i386/Lab1,1"
packet += bytes([53, 1, 8, 60, len(vendor)]) + vendor + bytes([43, 7, 1, 1, 1, 12, 2, 5, 0xc0, 255])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0))
s.settimeout(2)
s.sendto(packet, ("127.0.0.1", port))
assert s.recv(2048).count(b"Lab Install") == entries, "not every entry listed"
rounds, began = 2000, time.perf_counter()
for _ in range(rounds):
    s.sendto(packet, ("127.0.0.1", port))
    s.recv(2048)
print("%.1f" % ((time.perf_counter() - began) / rounds * 1e6))
PY
    stop_pid "$MANY_PID"
  done
  "$PYTHON" - "$(cat "$WORK/list.1")" "$(cat "$WORK/list.40")" <<'PY'
import sys
one, forty = float(sys.argv[1]), float(sys.argv[2])
print("    LIST round trip: 40 entries %.1f us, 1 entry %.1f us (40 / 1: %.2f; the difference, %.1f us, is the cost of the list)" % (
    forty, one, forty / one, forty - one))
PY
fi

echo "==> TFTP alone (the three boot files, blksize 1468) against three servers"
HPA_PORT=$(free_port)
in.tftpd -L -a "127.0.0.1:$HPA_PORT" -s "$WORK/root" &
PIDS+=($!)
dnsmasq --keep-in-foreground --conf-file=/dev/null --port=0 --enable-tftp --tftp-root="$WORK/root" \
  --tftp-max=1024 --listen-address=127.0.0.1 --bind-interfaces --user=root --pid-file= \
  --log-facility=/dev/null &
DNSMASQ_PID=$!
PIDS+=("$DNSMASQ_PID")
sleep 0.5
printf '    %-5s %14s %12s %12s %10s %10s\n' N tamsor-serve in.tftpd dnsmasq "hpa/ours" "dnsm/ours"
for n in $COUNTS; do
  start_serve
  "$PYTHON" "$WORK/clients.py" "$n" 0 "$TFTP_PORT" "$WORK/root" "$IMAGE" 0 "$WORK" >"$WORK/tftp.ours.$n.json"
  stop_pid "$SERVE_PID"
  "$PYTHON" "$WORK/clients.py" "$n" 0 "$HPA_PORT" "$WORK/root" "$IMAGE" 0 "$WORK" >"$WORK/tftp.hpa.$n.json"
  "$PYTHON" "$WORK/clients.py" "$n" 0 69 "$WORK/root" "$IMAGE" 0 "$WORK" >"$WORK/tftp.dnsmasq.$n.json"
  "$PYTHON" - "$n" "$WORK/tftp.ours.$n.json" "$WORK/tftp.hpa.$n.json" "$WORK/tftp.dnsmasq.$n.json" <<'PY' || status=1
import json, sys
n = sys.argv[1]
runs = [json.load(open(p)) for p in sys.argv[2:5]]
bad = [sum(1 for c in r["clients"] if c["failures"]) for r in runs]
walls = [r["wall"] for r in runs]
print("    %-5s %13.2fs %11.2fs %11.2fs %10.2f %10.2f%s" % (
    n, walls[0], walls[1], walls[2], walls[1] / walls[0], walls[2] / walls[0],
    "" if not any(bad) else "   failed clients: ours %d, in.tftpd %d, dnsmasq %d" % tuple(bad)))
sys.exit(1 if bad[0] else 0)
PY
done
echo "    (seconds until the last client has its three files; ratio = peer seconds / tamsor-serve seconds)"

STATUS_N=${STATUS_N:-32}
ROUNDS=${ROUNDS:-2}
if command -v chromium >/dev/null && [ "$STATUS_N" -gt 0 ]; then
  echo "==> the road at N=$STATUS_N beside the status page"
  printf '    %-6s %14s %14s %14s %14s\n' round "no reader" "poll/s alone" "browser: blank" "browser: page"
  for round in $(seq "$ROUNDS"); do
    # No reader; /status.json polled every second by curl (the server's own
    # cost); headless Chromium on an empty page (the browser's cost on this
    # machine); Chromium on the status page, polling.
    for mode in none poll blank page; do
      start_serve --status 127.0.0.1:0
      url=$(sed -n 's/.*"event":"status","url":"\([^"]*\)".*/\1/p' "$WORK/serve.out")
      reader=
      case $mode in
        poll) (while :; do curl -s -o /dev/null "${url}status.json"; sleep 1; done) & reader=$! ;;
        blank|page)
          page=$url
          [ "$mode" = blank ] && page=about:blank
          rm -rf "$WORK/chromium"
          chromium --headless=new --no-sandbox --disable-gpu --disable-dev-shm-usage --no-first-run \
            --user-data-dir="$WORK/chromium" --remote-debugging-port=0 "$page" >/dev/null 2>&1 &
          reader=$! ;;
      esac
      [ -n "$reader" ] && PIDS+=("$reader")
      sleep 3  # the reader is up
      "$PYTHON" "$WORK/clients.py" "$STATUS_N" "$BSDP_PORT" 0 "$WORK/root" "$IMAGE" "$R_MIB" "$WORK" >"$WORK/$mode.json"
      curl -s "${url}metrics" >"$WORK/$mode.metrics"
      awk -v hz="$(getconf CLK_TCK)" '{ printf "%.2f", ($14 + $15) / hz }' "/proc/$SERVE_PID/stat" >"$WORK/$mode.cpu"
      [ -n "$reader" ] && stop_pid "$reader"
      stop_pid "$SERVE_PID"
    done
    "$PYTHON" - "$round" "$WORK" "$STATUS_N" "$(cat "$WORK/root/1/"* | wc -c)" "$R_MIB" <<'PY' || status=1
import json, os, re, sys
round_, work, n, boot, r_mib = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
want = {'tamsor_bsdp_replies_total{type="select"}': n,
        'tamsor_tftp_transfers_total{result="complete"}': 3 * n,
        "tamsor_tftp_bytes_total": n * boot, "tamsor_http_bytes_total": n * r_mib << 20}
cells, problems = [], []
for mode in ("none", "poll", "blank", "page"):
    run = json.load(open(os.path.join(work, mode + ".json")))
    cpu = open(os.path.join(work, mode + ".cpu")).read()
    values = dict(re.findall(r"^(\S+) (\d+)$", open(os.path.join(work, mode + ".metrics")).read(), re.M))
    problems += ["%s: %s is %s, not %d" % (mode, k, values.get(k), v)
                 for k, v in want.items() if values.get(k) != str(v)]
    failed = sum(1 for c in run["clients"] if c["failures"])
    if failed:
        problems.append("%s: %d clients failed" % (mode, failed))
    cells.append("%6.2fs cpu %4ss" % (run["wall"], cpu))
print("    %-6s %s" % (round_, " ".join(cells)) + ("" if not problems else "\n      " + "; ".join(problems)))
sys.exit(1 if problems else 0)
PY
  done
  echo "    (seconds until the last client is done, and the server's processor time; the metrics"
  echo "    scraped after each run matched what the clients did)"
fi
exit $status
