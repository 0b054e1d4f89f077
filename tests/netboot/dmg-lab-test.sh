#!/usr/bin/env bash
# A lab installing from one bzip2 .dmg: 16 clients read their own regions
# of the disc in order, in 64 KiB ranges on keep-alive connections, every
# byte the raw disc's. Then 64 clients connect at once and are all held
# until the server accepts them. Then the decoder pool is held (the test
# gate TAMSOR_HOLD_WORK_WHILE: a decode waits while a file exists): readers
# wait for runs that cannot be decoded, and meanwhile a BSDP LIST is
# answered, a TFTP client gets the booter, and a TFTP client that asks for
# a 1 s timeout and never acknowledges is sent its OACK again by the run
# loop's timer; no reader has had a byte until the pool is let go, and then
# each gets its bytes. Last, the server is stopped while readers wait for
# held decodes: it must exit cleanly (under the sanitizers: no leak, no use
# after free) and close their connections.
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

# READERS: each reads its own region in order and checks every byte.
lab() {
  "$python" - "$raw" "$http_port" "$@" <<'PY'
import http.client, sys, threading
raw, http_port, readers = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
disc = open(raw, 'rb').read()
region = len(disc) // readers // 65536 * 65536
finished, problems = [], []

def read(index):
    try:
        c = http.client.HTTPConnection('127.0.0.1', http_port, timeout=60)
        for at in range(index * region, (index + 1) * region, 65536):
            c.request('GET', '/CdRom0.dmg', headers={'Range': 'bytes=%d-%d' % (at, at + 65535)})
            body = c.getresponse().read()
            if body != disc[at:at + 65536]:
                problems.append('reader %d: bytes at %d differ' % (index, at))
                return
    except Exception as e:
        problems.append('reader %d: %s' % (index, e))
    finished.append(index)

threads = [threading.Thread(target=read, args=(i,)) for i in range(readers)]
for t in threads: t.start()
for t in threads: t.join()
if len(finished) != readers: problems.append('%d of %d readers finished' % (len(finished), readers))
print('\n'.join(problems) if problems else 'ok')
PY
}

# With the pool held: side clients answered, readers waiting (MODE
# "release": then let go and checked; "stop": the server is stopped under
# them, and they must see their connections closed).
held() {
  "$python" - "$raw" "$http_port" "$bsdp_port" "$tftp_port" "$work" "$server_pid" "$@" <<'PY'
import os, select, signal, socket, struct, subprocess, sys, time
raw, http_port, bsdp_port, tftp_port, work, pid, mode = sys.argv[1:8]
http_port, bsdp_port, tftp_port, pid = int(http_port), int(bsdp_port), int(tftp_port), int(pid)
disc = open(raw, 'rb').read()
hold, marker = os.path.join(work, 'hold'), os.path.join(work, 'hold.held')
problems = []

def fetch_booter(name):
    subprocess.run(['curl', '-sS', '--max-time', '30', '--interface', '127.0.0.2', '-o',
                    os.path.join(work, name), 'tftp://127.0.0.1:%d/1/booter' % tftp_port], check=True)

if mode == 'release':
    fetch_booter('booter')  # its runs decoded and cached before the pool is held
if os.path.exists(marker): os.unlink(marker)
open(hold, 'w').close()
# Four readers of runs far apart in the numbered part, none decoded yet.
readers, ranges = [], []
for i in range(4):
    at = (12 + 5 * i) << 20
    c = socket.create_connection(('127.0.0.1', http_port), timeout=30)
    c.sendall(b'GET /CdRom0.dmg HTTP/1.1\r\nHost: x\r\nRange: bytes=%d-%d\r\n\r\n' % (at, at + 65535))
    readers.append(c); ranges.append(at)
for _ in range(300):
    if os.path.exists(marker): break
    time.sleep(0.1)
else:
    print('no decode was held'); sys.exit(0)

if mode == 'release':
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
        s.sendto(bytes(packet), ('127.0.0.1', bsdp_port))
        try:
            s.recv(2048)
            break
        except socket.timeout:
            pass
    else:
        problems.append('BSDP LIST was not answered while a decode was held')
    fetch_booter('booter.again')
    if open(os.path.join(work, 'booter'), 'rb').read() != open(os.path.join(work, 'booter.again'), 'rb').read():
        problems.append('the booter fetched while a decode was held differs')
    # A client that asks for a 1 s timeout and never acknowledges: the OACK
    # comes again when the session's timer fires.
    t = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    t.bind(('127.0.0.2', 0))
    t.settimeout(10)
    t.sendto(b'\0\x011/booter\0octet\0timeout\x001\0', ('127.0.0.1', tftp_port))
    try:
        first, server = t.recvfrom(2048)
        again, _ = t.recvfrom(2048)
        if first[:2] != b'\0\x06' or again != first:
            problems.append('TFTP: %r then %r' % (first[:20], again[:20]))
        t.sendto(b'\0\x05\0\0done\0', server)
    except socket.timeout:
        problems.append('no TFTP resend while a decode was held (the timer did not fire)')

def body_begun(c):
    # The head may go out at once; no byte of the body may.
    if not select.select([c], [], [], 0)[0]: return False
    seen = c.recv(1 << 16, socket.MSG_PEEK)
    return not seen or (b'\r\n\r\n' in seen and len(seen.split(b'\r\n\r\n', 1)[1]) > 0)

answered = [i for i, c in enumerate(readers) if body_begun(c)]
if answered:
    problems.append('readers %s had bytes while their decodes were held' % answered)
if mode == 'release':
    os.unlink(hold)
    for c, at in zip(readers, ranges):
        reply = b''
        while b'\r\n\r\n' not in reply or len(reply.split(b'\r\n\r\n', 1)[1]) < 65536:
            more = c.recv(1 << 20)
            if not more: break
            reply += more
        if reply.split(b'\r\n\r\n', 1)[-1][:65536] != disc[at:at + 65536]:
            problems.append('reader at %d: wrong bytes after the pool was let go' % at)
else:
    os.kill(pid, signal.SIGTERM)
    for c in readers:
        reply = b''
        try:
            while True:
                more = c.recv(65536)
                if not more: break
                reply += more
        except ConnectionResetError:
            pass
        except socket.timeout:
            problems.append('a reader was left open')
        if len(reply.split(b'\r\n\r\n', 1)) > 1 and reply.split(b'\r\n\r\n', 1)[1]:
            problems.append('a reader got body bytes as the server stopped')
print('\n'.join(problems) if problems else 'ok')
PY
}

failed=0
# The readers all come from 127.0.0.1: the server is told to give one
# address no share of its own (each start below).
if ! start_server --keep-booting --max-connections-per-client 0 "$image"; then
  echo "FAILED: tamsor-serve did not start: $(cat "$work/serve.err")"; exit 1
fi
said=$(lab 16 2>&1 || true)
if [ "$said" != ok ]; then echo "FAILED: $said: $(tail -n 5 "$work/serve.out")"; failed=1
else echo "ok: 16 readers byte-exact"; fi
stop_server

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

# The pool held: the loop answers everything else, and readers wait.
export TAMSOR_HOLD_WORK_WHILE="$work/hold"
start_server --keep-booting --max-connections-per-client 0 "$image" || { echo "FAILED: tamsor-serve did not start again"; exit 1; }
said=$(held release 2>&1 || true)
if [ "$said" != ok ]; then echo "FAILED: with a decode held: $said"; failed=1
else echo "ok: BSDP, TFTP and a TFTP timer answered while decodes were held; readers got their bytes after"; fi
"$(dirname "$serve")/tamsor-disc" cat "$raw#2" usr/standalone/i386/boot.efi >"$work/booter.expected" 2>/dev/null &&
  { cmp -s "$work/booter" "$work/booter.expected" || { echo "FAILED: the booter differs"; failed=1; }; }
stop_server

# Stopped while readers wait for held decodes.
rm -f "$work/hold"
start_server --keep-booting --max-connections-per-client 0 "$image" || { echo "FAILED: tamsor-serve did not start again"; exit 1; }
said=$(held stop 2>&1 || true)
# The check stopped the server, unless it gave up before: then this does.
[ "$said" = ok ] || kill "$server_pid" 2>/dev/null || true
code=0
wait "$server_pid" || code=$?
server_pid=""
if [ "$said" != ok ] || [ $code -ne 0 ] || grep -q "Sanitizer" "$work/serve.err"; then
  echo "FAILED: stopped under waiting readers: $said; exit $code: $(head -n 20 "$work/serve.err")"; failed=1
else
  echo "ok: stopped cleanly with readers waiting for held decodes"
fi
exit $failed
