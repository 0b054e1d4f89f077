#!/usr/bin/env bash
# A lab installing from one bzip2 .dmg: 16 clients read their own regions
# of the disc in order, in 64 KiB ranges on keep-alive connections, while a
# BSDP client asks for the list and a TFTP client fetches the booter. Every
# byte must be the raw disc's, and BSDP and TFTP must be done while the
# readers are still reading (decoding stays off the run loop). Then the
# server is stopped with readers waiting for runs: it must exit cleanly
# (under the sanitizers: no leak, no use after free). Between the two, 64
# clients connect at once and are all held until the server accepts them.
#
#   dmg-lab-test.sh TAMSOR-SERVE TAMSOR-MKDMG DEMO-DISC-IMAGE
#
# Loopback only, every port chosen by the system, so it runs as any user.
set -euo pipefail

mkdmg=$2 demo=$3
python=/usr/bin/python3
. "$(dirname "$0")/serve-support.sh" "$1" tamsor-dmglab

# The demo disc and 32 MiB behind it whose every line names its offset, so
# a wrong range shows; 1 MiB bzip2 runs.
raw="$work/lab.img" image="$work/lab.dmg"
"$python" - "$demo" "$raw" <<'PY'
import sys
data = bytearray(open(sys.argv[1], 'rb').read())
line = 32
while len(data) % line: data += b'\0'
base = len(data)
data += b''.join(b'%031d\n' % (base + i * line) for i in range((32 << 20) // line))
open(sys.argv[2], 'wb').write(data)
PY
"$mkdmg" --method bzip2 --chunk 2048 "$raw" "$image" >/dev/null

# READERS MODE: MODE "lab" checks bytes and the side clients' timing;
# "stop" only starts reading (the server is stopped under the readers).
lab() {
  "$python" - "$raw" "$http_port" "$bsdp_port" "$tftp_port" "$work" "$@" <<'PY'
import http.client, os, socket, struct, subprocess, sys, threading, time
raw, http_port, bsdp_port, tftp_port, work, readers, mode = sys.argv[1:8]
readers = int(readers)
disc = open(raw, 'rb').read()
region = len(disc) // readers // 65536 * 65536
finished, problems = [], []

def read(index):
    try:
        c = http.client.HTTPConnection('127.0.0.1', int(http_port), timeout=60)
        for at in range(index * region, (index + 1) * region, 65536):
            c.request('GET', '/CdRom0.dmg', headers={'Range': 'bytes=%d-%d' % (at, at + 65535)})
            body = c.getresponse().read()
            if body != disc[at:at + 65536]:
                problems.append('reader %d: bytes at %d differ' % (index, at))
                return
    except Exception as e:
        if mode == 'lab': problems.append('reader %d: %s' % (index, e))
    finished.append(time.monotonic())

threads = [threading.Thread(target=read, args=(i,)) for i in range(readers)]
for t in threads: t.start()
if mode == 'stop':
    time.sleep(0.5)
    print('reading', flush=True)
    sys.exit(0)
time.sleep(0.2)
packet = bytearray(240)
packet[0:4] = bytes([1, 1, 6, 0])
packet[4:8] = struct.pack('>I', 0x7a3c0001)
packet[28:34] = bytes.fromhex('0016cbabcdef')
packet[236:240] = bytes([99, 130, 83, 99])
vendor = b'VRNXBSDPC/i386/TestModel1,1'
packet += bytes([53, 1, 8, 60, len(vendor)]) + vendor + bytes([43, 3, 1, 1, 1, 255])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(('127.0.0.2', 0))  # another machine than the readers'
s.settimeout(2)
for attempt in range(5):  # as a client does, it asks again when no answer comes
    s.sendto(bytes(packet), ('127.0.0.1', int(bsdp_port)))
    try:
        s.recv(2048)
        break
    except socket.timeout:
        pass
else:
    problems.append('BSDP LIST was not answered')
bsdp_done = time.monotonic()
booter = os.path.join(work, 'booter')
subprocess.run(['curl', '-sS', '--max-time', '60', '--interface', '127.0.0.2', '-o', booter,
                'tftp://127.0.0.1:%s/1/booter' % tftp_port], check=True)
tftp_done = time.monotonic()
for t in threads: t.join()
if len(finished) != readers: problems.append('%d of %d readers finished' % (len(finished), readers))
elif bsdp_done >= max(finished) or tftp_done >= max(finished):
    problems.append('BSDP or TFTP finished only after the readers had read everything')
print('\n'.join(problems) if problems else 'ok')
PY
}

failed=0
# The readers all come from 127.0.0.1: the server is told to give one
# address no share of its own (each start below).
if ! start_server --keep-booting --max-connections-per-client 0 "$image"; then
  echo "FAILED: tamsor-serve did not start: $(cat "$work/serve.err")"; exit 1
fi
said=$(lab 16 lab 2>&1 || true)
if [ "$said" != ok ]; then echo "FAILED: $said: $(tail -n 5 "$work/serve.out")"; failed=1
else echo "ok: 16 readers byte-exact; BSDP and TFTP answered while they read"; fi
"$(dirname "$serve")/tamsor-disc" cat "$raw#2" usr/standalone/i386/boot.efi >"$work/booter.expected" 2>/dev/null &&
  { cmp -s "$work/booter" "$work/booter.expected" || { echo "FAILED: the booter differs"; failed=1; }; }
kill "$server_pid"; wait "$server_pid" || { echo "FAILED: tamsor-serve exited with $?"; failed=1; }
server_pid=""

# A room switched on at once: 64 machines connect while the server is busy
# (here: stopped). The system must hold all 64 connections until it
# accepts them; one it cannot hold is refused, and its client tries again
# only a second or more later. Then each gets its range.
room() {
  "$python" - "$raw" "$http_port" "$server_pid" <<'PY'
import os, select, signal, socket, sys, time
raw, port, pid = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
disc = open(raw, 'rb').read()
os.kill(pid, signal.SIGSTOP)
try:
    clients = []
    for _ in range(64):
        c = socket.socket(); c.setblocking(False)
        c.connect_ex(('127.0.0.1', port))
        clients.append(c)
    time.sleep(0.5)
    _, writable, _ = select.select([], clients, [], 0)
    held = sum(1 for c in writable if c.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) == 0)
finally:
    os.kill(pid, signal.SIGCONT)
problems = [] if held == 64 else ['the system held %d of 64 connections' % held]
region = len(disc) // 64 // 512 * 512
for i, c in enumerate(clients):
    c.setblocking(True); c.settimeout(30)
    at = i * region
    c.sendall(b'GET /CdRom0.dmg HTTP/1.1\r\nHost: x\r\nRange: bytes=%d-%d\r\n\r\n' % (at, at + 65535))
for i, c in enumerate(clients):
    reply = b''
    while b'\r\n\r\n' not in reply or len(reply.split(b'\r\n\r\n', 1)[1]) < 65536:
        more = c.recv(1 << 20)
        if not more: break
        reply += more
    if reply.split(b'\r\n\r\n', 1)[-1][:65536] != disc[i * region:i * region + 65536]:
        problems.append('client %d: wrong bytes' % i)
print('\n'.join(problems[:5]) if problems else 'ok')
PY
}

start_server --keep-booting --max-connections-per-client 0 "$image" || { echo "FAILED: tamsor-serve did not start again"; exit 1; }
said=$(room 2>&1 || true)
if [ "$said" != ok ]; then echo "FAILED: a room at once: $said"; failed=1
else echo "ok: 64 connections at once were all held, and each got its bytes"; fi
stop_server

# Stopped while 16 readers wait for their runs.
start_server --keep-booting --max-connections-per-client 0 "$image" || { echo "FAILED: tamsor-serve did not start again"; exit 1; }
lab 16 stop >/dev/null
kill "$server_pid"
code=0
wait "$server_pid" || code=$?
server_pid=""
if [ $code -ne 0 ] || grep -q "Sanitizer" "$work/serve.err"; then
  echo "FAILED: stopped under readers: exit $code: $(head -n 20 "$work/serve.err")"; failed=1
else
  echo "ok: stopped cleanly with readers waiting"
fi
exit $failed
