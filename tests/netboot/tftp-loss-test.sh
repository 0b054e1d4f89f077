#!/usr/bin/env bash
# TFTP on a lossy network: in a network namespace of its own, with one UDP
# datagram in ten dropped at random (both ways, every port: the sessions'
# ports are chosen by the system), tamsor-serve serves the demo disc; curl
# must receive every boot file byte for byte, while a client that asked and
# then went silent is given up on by the session's retry limit (ERROR after
# nine sends of its option acknowledgement at the time-out it asked for).
#
#   tftp-loss-test.sh TAMSOR-SERVE TAMSOR-DISC DEMO-DISC-IMAGE
#
# Needs root (ip netns add) and a private mount namespace (ip netns exec:
# not in a chroot); exits 77 (skipped) with the reason without them.
# The namespace and the server are removed whatever happens.
set -euo pipefail

serve=$1 disc_tool=$2 image=$3
ns=tamsor-loss-$$
work=$(mktemp -d /tmp/tamsor-loss.XXXXXX)
server_pid=""

exec_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi
  if [ -n "$exec_pid" ]; then wait "$exec_pid" 2>/dev/null || true; fi
  ip netns del "$ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

if ! ip netns add "$ns" 2>"$work/netns.err"; then
  echo "SKIPPED: cannot create a network namespace ($(head -n 1 "$work/netns.err")); needs root"
  exit 77
fi
# `ip netns exec` also needs a private mount namespace, which a chroot
# cannot make (its `mount --make-rslave /` fails).
if ! ip netns exec "$ns" true 2>"$work/netns.err"; then
  echo "SKIPPED: cannot enter a network namespace ($(head -n 1 "$work/netns.err"));" \
    "needs a private mount namespace, which a chroot cannot make"
  exit 77
fi
in_ns() { ip netns exec "$ns" "$@"; }
in_ns ip link set lo up
in_ns nft add table inet loss
in_ns nft add chain inet loss input '{ type filter hook input priority 0; policy accept; }'
# The silent client (127.0.0.2) is kept out of the loss, so that what it is
# sent can be counted exactly.
in_ns nft add rule inet loss input ip saddr 127.0.0.2 accept
in_ns nft add rule inet loss input ip daddr 127.0.0.2 accept
in_ns nft add rule inet loss input meta l4proto udp numgen random mod 10 0 counter drop

# The server, its ports from its first line. `ip netns exec` may stay as
# the server's parent, so the server writes its own process id.
in_ns sh -c 'echo $$ >"$1"; shift; exec "$@"' sh "$work/server.pid" "$serve" "$image" \
  >"$work/serve.out" 2>"$work/serve.err" &
exec_pid=$!
for _ in $(seq 1 50); do [ -s "$work/server.pid" ] && break; sleep 0.1; done
server_pid=$(cat "$work/server.pid" 2>/dev/null || echo "$exec_pid")
for _ in $(seq 1 100); do
  grep -q 'tftp=' "$work/serve.out" 2>/dev/null && break
  sleep 0.1
done
port=$(sed -n 's/.*tftp=\([0-9]*\).*/\1/p' "$work/serve.out" | head -n 1)
if [ -z "$port" ]; then
  echo "FAILED: tamsor-serve did not start"; cat "$work/serve.err"; exit 1
fi

# The silent client: asks for the kernel with a one-second time-out, three
# times at once (as a client does that takes its request for lost: the
# repeats must not make sessions), then reads nothing more and records what
# it is sent until the final ERROR: "PORT OPCODE" a line.
in_ns python3 - "$port" >"$work/silent.out" 2>&1 <<'PY' &
import socket, sys
port = int(sys.argv[1])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.2", 0))
request = b"\0\x011/mach.orvane\0octet\0timeout\x001\0"
for _ in range(3):
    s.sendto(request, ("127.0.0.1", port))
s.settimeout(40)
try:
    while True:
        data, source = s.recvfrom(70000)
        print(source[1], int.from_bytes(data[:2], "big"), flush=True)
        if data[:2] == b"\0\x05":
            break
except socket.timeout:
    print("no ERROR within 40 s")
PY
silent_pid=$!

# curl fetches the three boot files meanwhile.
names=(1/booter:usr/standalone/i386/boot.efi 1/mach.orvane:mach_kernel
       1/mach.orvane.mkext:System/Library/Extensions.mkext)
failed=0
started=$(date +%s)
for entry in "${names[@]}"; do
  name=${entry%%:*} path=${entry#*:}
  out="$work/$(basename "$name")"
  "$disc_tool" cat "$image#2" "$path" >"$out.expected"
  if ! in_ns curl -sS --max-time 90 --tftp-blksize 32768 -o "$out" "tftp://127.0.0.1:$port/$name" \
       2>"$out.err"; then
    echo "FAILED: curl $name: $(cat "$out.err")"; failed=1; continue
  fi
  if ! cmp -s "$out" "$out.expected"; then
    echo "FAILED: $name differs from the disc's $path"; failed=1
  else
    echo "ok: $name, $(stat -c %s "$out") bytes"
  fi
done
echo "curl done in $(( $(date +%s) - started )) s"

# The silent session gives up by its retry limit (kStatusTimeout, -6722)
# within about twenty seconds of its request (a time-out of one tick
# resends about every two seconds). curl's sessions end complete (0),
# except one whose final ACK was lost: it resends its last block to a
# client that has gone, for the rest of its retry limit (TFTP's usual end;
# five-second time-outs, so well after the silent one).
for _ in $(seq 1 300); do
  grep -q 'Reason=-6722' "$work/serve.err" && break
  sleep 0.1
done
wait "$silent_pid" 2>/dev/null || true
# One session (one port) sent nine option acknowledgements (6), then ERROR (5).
sessions=$(cut -d' ' -f1 "$work/silent.out" | sort -u | wc -l)
opcodes=$(cut -d' ' -f2 "$work/silent.out" | paste -sd ' ')
echo "silent client: $sessions session port(s), opcodes $opcodes"
if [ "$sessions" -ne 1 ]; then
  echo "FAILED: the repeated request made $sessions sessions: $(cat "$work/silent.out")"; failed=1
fi
if [ "$opcodes" != "6 6 6 6 6 6 6 6 6 5" ]; then
  echo "FAILED: the silent client was not sent nine OACKs and an ERROR"; failed=1
fi
timeouts=$(grep -c 'Reason=-6722' "$work/serve.err" || true)
ends=$(grep -c 'Reason=0' "$work/serve.err" || true)
closes=$(grep -c 'Message="TFTPClose"' "$work/serve.err" || true)
echo "sessions ended: $closes, $ends complete, $timeouts by the retry limit"
echo "dropped: $(in_ns nft list chain inet loss input | sed -n 's/.*counter packets \([0-9]*\).*/\1/p') datagrams"
if [ "$timeouts" -lt 1 ]; then echo "FAILED: the silent client's session did not give up"; failed=1; fi
if [ "$ends" -lt 1 ]; then echo "FAILED: no transfer reported complete"; failed=1; fi
if [ $failed -ne 0 ]; then echo "--- server's events:"; tail -n 60 "$work/serve.err"; fi
exit $failed
