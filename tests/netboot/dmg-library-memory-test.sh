#!/usr/bin/env bash
# Ten .dmg in one library under one decode cache bound: every image is read
# whole over HTTP by a client of its own, one after another, all ten still
# connected at the end, and the server's resident size then stays within
# the bound (64 MiB) plus 64 MiB over what it was before the first read,
# where a bound per image would let ten times the bound stay.
#
#   dmg-library-memory-test.sh TAMSOR-SERVE TAMSOR-MKDMG DEMO-DISC-IMAGE
#
# Loopback only, every port chosen by the system. The readers all come from
# 127.0.0.1, one at a time.
set -euo pipefail

mkdmg=$2 demo=$3
python=/usr/bin/python3
. "$(dirname "$0")/serve-support.sh" "$1" tamsor-dmgmem
# Freed buffers held back by the address sanitizer would count as resident.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}quarantine_size_mb=8"

# The demo disc and 80 MiB behind it of lines that name their offset.
raw="$work/disc.img" lab="$work/lab"
mkdir "$lab" "$work/state"
"$python" - "$demo" "$raw" <<'PY'
import sys
data = bytearray(open(sys.argv[1], 'rb').read())
line = 32
while len(data) % line: data += b'\0'
base = len(data)
data += b''.join(b'%031d\n' % (base + i * line) for i in range((80 << 20) // line))
open(sys.argv[2], 'wb').write(data)
PY
"$mkdmg" --method zlib --chunk 2048 "$raw" "$lab/disc0.dmg" >/dev/null
for i in 1 2 3 4 5 6 7 8 9; do cp "$lab/disc0.dmg" "$lab/disc$i.dmg"; done
size=$(stat -c %s "$raw")

start_server --library "$lab" --state-dir "$work/state" --dmg-cache 64 \
  --max-connections-per-client 0 || { echo "FAILED: tamsor-serve did not start: $(cat "$work/serve.err")"; exit 1; }
for _ in $(seq 1 100); do grep -q disc9 "$work/serve.out" && break; sleep 0.1; done
rss() { awk '/^VmRSS:/{print $2}' "/proc/$server_pid/status"; }
before=$(rss)
# Each image read whole by a client of its own that then stays connected,
# so that all ten images are in use when the size is taken.
said=$("$python" - "$http_port" "$size" "$server_pid" <<'PY'
import http.client, sys
port, size, pid = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
clients, problems = [], []
for i in range(10):
    c = http.client.HTTPConnection('127.0.0.1', port, timeout=120)
    clients.append(c)
    for at in range(0, size, 1 << 20):
        c.request('GET', '/disc%d.dmg' % i, headers={'Range': 'bytes=%d-%d' % (at, min(at + (1 << 20), size) - 1)})
        body = c.getresponse().read()
        if len(body) != min(1 << 20, size - at):
            problems.append('disc%d.dmg: %d bytes at %d' % (i, len(body), at)); break
rss = [l.split()[1] for l in open('/proc/%s/status' % pid) if l.startswith('VmRSS:')][0]
print('\n'.join(problems) if problems else rss)
PY
)
failed=0
case $said in
  *[!0-9]*|'') echo "FAILED: $said"; failed=1; after=$before ;;
  *) after=$said ;;
esac
stop_server
grown=$(( (after - before) / 1024 ))
if [ "$grown" -gt 128 ]; then
  echo "FAILED: resident size grew by $grown MiB reading ten .dmg under a 64 MiB bound"; failed=1
else
  echo "ok: ten .dmg read whole; resident size grew by $grown MiB (bound 64 MiB)"
fi
exit $failed
