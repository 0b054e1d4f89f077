#!/usr/bin/env bash
# A room of clients and a flood at once: tamsor-serve, held to 1,024
# descriptors, serves the demo disc while 1,000 requests from 1,000 ports
# that never answer arrive together with 40 curl clients fetching the kernel
# with blksize 1468. Every curl must get the file byte for byte; the flood
# must be refused ("Server Busy" to those that cannot be held); and a client
# that comes after it all is served at once.
#
#   tftp-crowd-test.sh TAMSOR-SERVE TAMSOR-DISC DEMO-DISC-IMAGE
#
# Loopback only, ports chosen by the system. Only the server started here is
# stopped, by its id.
set -euo pipefail

serve=$1 disc_tool=$2 image=$3
python=/usr/bin/python3
work=$(mktemp -d /tmp/tamsor-crowd.XXXXXX)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
command -v curl >/dev/null || { echo "SKIPPED: curl is missing"; exit 77; }

"$disc_tool" cat "$image#2" mach_kernel >"$work/kernel"
# The hard limit too, so that the server cannot raise it.
(ulimit -Sn 1024 && ulimit -Hn 1024 && exec "$serve" --bsdp-port 0 "$image") \
  >"$work/serve.out" 2>"$work/serve.err" &
server_pid=$!
for _ in $(seq 1 100); do
  grep -q 'tftp=' "$work/serve.out" 2>/dev/null && break
  sleep 0.1
done
port=$(sed -n 's/.*tftp=\([0-9]*\).*/\1/p' "$work/serve.out" | head -n 1)
[ -n "$port" ] || { echo "FAILED: tamsor-serve did not start"; cat "$work/serve.err"; exit 1; }

# The flood: 1,000 sockets ask at once and never acknowledge, and listen
# until at least 488 of them have been refused (at 1,024 descriptors at most
# 512 sessions), or 20 s have passed: "busy" for ERROR "Server Busy" (a
# silent session is put aside for a newcomer after its first block, too),
# "data" for a block only, "none".
"$python" - "$port" 488 >"$work/flood.out" 2>&1 <<'PY' &
import resource, selectors, socket, sys, time
port, enough = int(sys.argv[1]), int(sys.argv[2])
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4096)), hard))
sockets = []
for i in range(1000):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    s.setblocking(False)
    s.sendto(b"\0\x011/mach.orvane\0octet\0", ("127.0.0.1", port))
    sockets.append(s)
seen = {s: "none" for s in sockets}
waiting = selectors.DefaultSelector()
for s in sockets:
    waiting.register(s, selectors.EVENT_READ)
busy, deadline = 0, time.monotonic() + 20
while busy < enough and time.monotonic() < deadline:
    for key, _ in waiting.select(timeout=0.5):
        packet = key.fileobj.recv(70000)
        if packet[:2] == b"\0\x05" and b"Server Busy" in packet:
            seen[key.fileobj] = "busy"
            busy += 1
            waiting.unregister(key.fileobj)
        elif packet[:2] == b"\0\x03":
            seen[key.fileobj] = "data"
counts = {verdict: list(seen.values()).count(verdict) for verdict in ("busy", "data", "none")}
print(" ".join("%s=%d" % item for item in sorted(counts.items())))
PY
flood_pid=$!
pids=()
for i in $(seq 1 40); do
  curl -s -S --max-time 60 --tftp-blksize 1468 -o "$work/got.$i" \
    "tftp://127.0.0.1:$port/1/mach.orvane" 2>"$work/curl.$i.err" &
  pids+=($!)
done
failed=0
for i in $(seq 1 40); do
  if ! wait "${pids[$((i - 1))]}"; then
    echo "FAILED: curl $i: $(cat "$work/curl.$i.err")"; failed=1
  elif ! cmp -s "$work/got.$i" "$work/kernel"; then
    echo "FAILED: curl $i received other bytes"; failed=1
  fi
done
wait "$flood_pid"
read -r flood <"$work/flood.out" || true
echo "flood: $flood"
busy=$(echo "$flood" | sed -n 's/.*busy=\([0-9]*\).*/\1/p')
if [ -z "$busy" ] || [ "$busy" -lt 488 ]; then echo "FAILED: the flood was not refused"; failed=1; fi
if ! kill -0 "$server_pid" 2>/dev/null; then echo "FAILED: the server is gone"; cat "$work/serve.err" | tail -5; exit 1; fi
# Nobody is locked out afterwards.
curl -s -S --max-time 20 --tftp-blksize 1468 -o "$work/after" "tftp://127.0.0.1:$port/1/mach.orvane" &&
  cmp -s "$work/after" "$work/kernel" || { echo "FAILED: a later client was not served"; failed=1; }
[ $failed -eq 0 ] && echo "PASSED: 40 clients byte-exact beside a flood of 1,000"
exit $failed
