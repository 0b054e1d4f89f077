#!/usr/bin/env bash
# TFTP over paths that are not loopback, against independent peers, each
# in network namespaces of its own (tamsor-serve on port 69 there):
#
#   window  a user-space wire with 1 ms of delay and 3 % loss each way
#           (tests/support/netwire.py); atftp's client asks for blksize 1468
#           and windowsize 16 and must get every file byte for byte, one of
#           them an exact number of windows long (so it ends with an empty
#           block), and the server's "transfer" events must name 1468 and 16.
#   mtu     a veth pair of MTU 1400 whose client side drops IP fragments, as
#           firmware that cannot reassemble does; atftp asks for 1468-byte
#           blocks and must get the file whole in blocks of 1368, while
#           in.tftpd, which grants 1468, must stall on the same path (the
#           proof that the path really drops what does not fit; in a user
#           namespace a datagram of each block size shows it instead).
#
#   tftp-path-test.sh TAMSOR-SERVE TAMSOR-MKIMAGE TAMSOR-DISC
#
# Without root it runs itself in a user namespace of its own (with network
# and mount namespaces: root there, nothing outside); the window phase also
# needs the tap device (/dev/net/tun), which many systems let only root
# open, and is then skipped with that reason while the mtu phase runs.
# Exits 77 (skipped) when neither can run. Namespaces and processes started
# here are removed whatever happens.
set -euo pipefail

if [ "$(id -u)" -ne 0 ] && [ -z "${TAMSOR_PATH_TEST_INNER:-}" ]; then
  if ! unshare --user --map-root-user --net --mount true 2>/dev/null; then
    echo "SKIPPED: not root, and no user namespace can be made"
    exit 77
  fi
  # A private /run holds the namespaces' names (ip netns add).
  export TAMSOR_PATH_TEST_INNER=1
  exec unshare --user --map-root-user --net --mount \
    sh -c 'mount -t tmpfs tmpfs /run && exec "$0" "$@"' "$0" "$@"
fi

serve=$1 mkimage=$2 disc_tool=$3
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
netwire=$here/../support/netwire.py
prefix=tamsor-path-$$
server_ns=$prefix-s client_ns=$prefix-c
work=$(mktemp -d /tmp/tamsor-path.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  ip netns del "$server_ns" 2>/dev/null || true
  ip netns del "$client_ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
failed=0
fail() { echo "FAILED: $*"; failed=1; }

for tool in atftp in.tftpd nft; do
  command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is missing"; exit 77; }
done
if ! ip netns add "$server_ns" 2>"$work/netns.err"; then
  echo "SKIPPED: cannot create a network namespace ($(head -n 1 "$work/netns.err")); needs root"
  exit 77
fi
ip netns add "$client_ns"
if ! ip netns exec "$server_ns" true 2>"$work/netns.err"; then
  echo "SKIPPED: cannot enter a network namespace ($(head -n 1 "$work/netns.err"))"
  exit 77
fi
in_server() { ip netns exec "$server_ns" "$@"; }
in_client() { ip netns exec "$client_ns" "$@"; }
in_server ip link set lo up
in_client ip link set lo up

# A disc with a 1 MiB kernel, and an extension cache of exactly 16 windows
# of 16 blocks of 1468 bytes.
exact=$((1468 * 16 * 16))
cat >"$work/manifest" <<MANIFEST
folder System/Installation
pattern usr/standalone/i386/boot.efi 300001
pattern mach_kernel 1048576
pattern System/Library/Extensions.mkext $exact
text System/Library/CoreServices/SystemVersion.plist "<plist version=\"1.0\"/>"
MANIFEST
image=$work/disc.img
"$mkimage" -o "$image" --name "Path Install" --manifest "$work/manifest" >/dev/null
mkdir -p "$work/root/1"
"$disc_tool" cat "$image#2" usr/standalone/i386/boot.efi >"$work/root/1/booter"
"$disc_tool" cat "$image#2" mach_kernel >"$work/root/1/mach.orvane"
"$disc_tool" cat "$image#2" System/Library/Extensions.mkext >"$work/root/1/mach.orvane.mkext"

# start_server: tamsor-serve in the server namespace on TFTP port 69, JSON
# events to $work/serve.out; waits for its start line.
# in_server_background COMMAND...: started in the server namespace, its
# process id last in pids. `ip netns exec` may stay as the command's parent,
# so the command writes its own process id.
in_server_background() {
  rm -f "$work/started.pid"
  in_server sh -c 'echo $$ >"$1"; shift; exec "$@"' sh "$work/started.pid" "$@" &
  pids+=($!)
  for _ in $(seq 50); do [ -s "$work/started.pid" ] && break; sleep 0.1; done
  pids+=("$(cat "$work/started.pid")")
}
stop_last() {
  kill "${pids[-1]}" 2>/dev/null || true
  wait "${pids[-2]}" 2>/dev/null || true
}
start_server() {
  : >"$work/serve.out"
  in_server_background "$serve" --json --tftp-port 69 --keep-booting "$image" \
    >"$work/serve.out" 2>"$work/serve.err"
  for _ in $(seq 100); do
    grep -q '"event":"start"' "$work/serve.out" && return 0
    sleep 0.1
  done
  echo "FAILED: tamsor-serve did not start"; cat "$work/serve.err"; exit 1
}

# fetch HOST NAME OPTION...: atftp in the client namespace, the file into
# $work/got; fails with atftp (bounded to a minute). atftp gives up when
# the wire loses its acknowledgement of the server's OACK: the server sends
# the OACK again, as it must, and atftp aborts with "unexpected OACK"
# before a byte has moved. Only that is tried again, twice at most.
fetch() {
  local host=$1 name=$2; shift 2
  local args=() attempt
  for option in "$@"; do args+=(--option "$option"); done
  for attempt in 1 2 3; do
    rm -f "$work/got"
    in_client timeout 60 atftp --tftp-timeout 1 "${args[@]}" -g -r "$name" -l "$work/got" "$host" 69 \
      >"$work/atftp.out" 2>&1 && return 0
    grep -q "unexpected OACK" "$work/atftp.out" && [ ! -s "$work/got" ] || return 1
    echo "note: atftp aborted on a repeated OACK for $name (attempt $attempt)"
  done
  return 1
}

# --- window: delay and loss both ways ---------------------------------------
if ! python3 -c 'import os; os.close(os.open("/dev/net/tun", os.O_RDWR))' 2>/dev/null; then
  echo "skipped: the window phase needs the tap device /dev/net/tun, which this user cannot open"
else
python3 "$netwire" "$server_ns" wire0 "$client_ns" wire0 --delay-ms 1 --loss 0.03 --seconds 300 \
  >"$work/wire.out" 2>&1 &
pids+=($!)
for _ in $(seq 50); do grep -q ready "$work/wire.out" && break; sleep 0.1; done
in_server ip addr add 10.27.1.1/24 dev wire0
in_server ip link set wire0 up
in_client ip addr add 10.27.1.2/24 dev wire0
in_client ip link set wire0 up
start_server
started=$(date +%s)
for name in 1/booter 1/mach.orvane 1/mach.orvane.mkext; do
  if ! fetch 10.27.1.1 "$name" "blksize 1468" "windowsize 16" "timeout 1"; then
    fail "atftp $name over the lossy wire: $(tail -n 3 "$work/atftp.out")"
  elif ! cmp -s "$work/got" "$work/root/$name"; then
    fail "$name over the lossy wire differs"
  else
    echo "ok: $name, $(stat -c %s "$work/got") bytes, window 16 with loss"
  fi
done
echo "window phase: $(( $(date +%s) - started )) s"
grep '"transfer"' "$work/serve.out" | sed 's/^/  /' 
# A transfer whose final ACK was lost is still resending its last block to
# a client that has gone (TFTP's usual end), so two complete ones suffice.
complete=$(grep -c '"event":"transfer".*"blksize":1468,"windowsize":16,"reason":0' \
  "$work/serve.out" || true)
[ "$complete" -ge 2 ] || fail "expected transfers with blksize 1468 and window 16, saw:
$(grep '"transfer"' "$work/serve.out")"
stop_last
fi

# --- mtu: a path of MTU 1400 that drops fragments ----------------------------
ip link add "tp$$-0" mtu 1400 type veth peer name "tp$$-1" mtu 1400
ip link set "tp$$-0" netns "$server_ns"
ip link set "tp$$-1" netns "$client_ns"
in_server ip addr add 10.27.2.1/24 dev "tp$$-0"
in_server ip link set "tp$$-0" up
in_client ip addr add 10.27.2.2/24 dev "tp$$-1"
in_client ip link set "tp$$-1" up
in_client nft add table inet fragdrop
in_client nft add chain inet fragdrop pre '{ type filter hook prerouting priority -400; policy accept; }'
in_client nft add rule inet fragdrop pre 'ip frag-off & 0x3fff != 0 counter drop'
start_server
if ! fetch 10.27.2.1 1/mach.orvane "blksize 1468"; then
  fail "atftp over the MTU 1400 path: $(tail -n 3 "$work/atftp.out")"
elif ! cmp -s "$work/got" "$work/root/1/mach.orvane"; then
  fail "1/mach.orvane over the MTU 1400 path differs"
else
  echo "ok: 1/mach.orvane whole over the MTU 1400 path"
fi
grep -q '"event":"transfer".*"blksize":1368,"windowsize":1,"reason":0' "$work/serve.out" ||
  fail "the transfer did not use blocks of 1368: $(grep '"transfer"' "$work/serve.out")"
stop_last

# The same request to a server that grants 1468 goes nowhere. In a user
# namespace in.tftpd cannot run (it must drop to its own user, and groups
# cannot be set there): a DATA-sized datagram of each size makes the proof.
if [ -z "${TAMSOR_PATH_TEST_INNER:-}" ]; then
  in_server_background in.tftpd -L -a 10.27.2.1:69 -s "$work/root" >/dev/null 2>&1
  sleep 0.3
  rm -f "$work/got"
  if in_client timeout 15 atftp --tftp-timeout 1 --option "blksize 1468" -g -r 1/mach.orvane -l "$work/got" \
       10.27.2.1 69 >"$work/atftp.out" 2>&1 && cmp -s "$work/got" "$work/root/1/mach.orvane"; then
    fail "in.tftpd's 1468-byte blocks crossed the path: fragments are not dropped"
  else
    echo "ok: in.tftpd granting 1468 stalls on the same path"
  fi
else
  in_client python3 -c '
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("10.27.2.2", 5069)); s.settimeout(3)
try:
    while True: print(len(s.recv(70000)), flush=True)
except socket.timeout: pass' >"$work/probe.out" &
  probe=$!
  sleep 0.5
  in_server python3 -c '
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for size in (1468, 1368, 1468): s.sendto(b"\0\3\0\1" + bytes(size), ("10.27.2.2", 5069))'
  wait "$probe" || true
  if [ "$(paste -sd ' ' "$work/probe.out")" = 1372 ]; then
    echo "ok: a 1468-byte block does not cross the same path, a 1368-byte one does"
  else
    fail "datagrams of 1472 and 1372 bytes over the path arrived as: $(paste -sd ' ' "$work/probe.out")"
  fi
fi
dropped=$(in_client nft list chain inet fragdrop pre | sed -n 's/.*counter packets \([0-9]*\).*/\1/p')
echo "fragments dropped: $dropped"
[ "${dropped:-0}" -gt 0 ] || fail "no fragment was dropped"
exit $failed
