#!/usr/bin/env bash
# A .dmg of the demo disc, served by tamsor-serve as it is: for a zlib, a
# bzip2, an ADC and a mixed image, a client boots as a real one does: BSDP
# LIST and SELECT (python3 over UDP), the three boot files by TFTP (curl,
# byte for byte against the raw disc's files), then the root image by HTTP
# ranges and whole (curl, byte for byte against the raw disc, with the
# decoded size as Content-Length). Then a disc swap from one .dmg to the
# next at the installer's Eject. Images Tamsor cannot read are refused with
# their sentence and exit code 1.
#
#   dmg-serve-test.sh TAMSOR-SERVE TAMSOR-DISC TAMSOR-MKDMG DEMO-DISC-IMAGE
#
# Loopback only, as any user: every port is chosen by the system (BSDP's
# too, --bsdp-port 0) and read from the server's ports line. Only processes
# started here are stopped, by their process ids.
set -euo pipefail

disc_tool=$2 mkdmg=$3 raw=$4
. "$(dirname "$0")/serve-support.sh" "$1" tamsor-dmg
failed=0
fail() { echo "FAILED: $*"; failed=1; }

bsdp() {  # PORT KIND(1 list, 2 select): prints the reply's BSDP option kinds
  python3 - "$@" <<'PY'
import socket, struct, sys
port, kind = int(sys.argv[1]), int(sys.argv[2])
packet = bytearray(240)
packet[0:4] = bytes([1, 1, 6, 0])
packet[4:8] = struct.pack('>I', 0x7a3c0000 + kind)
packet[28:34] = bytes.fromhex('0016cbabcdef')
packet[236:240] = bytes([99, 130, 83, 99])
vendor = b'VRNXBSDPC/i386/TestModel1,1'
packet += bytes([53, 1, 8, 60, len(vendor)]) + vendor + bytes([43, 3, 1, 1, kind, 255])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(('127.0.0.1', 0))
s.settimeout(3)
s.sendto(bytes(packet), ('127.0.0.1', port))
data = s.recv(2048)
i, found = 240, []
while i < len(data) and data[i] != 255:
    if data[i] == 0:
        i += 1
        continue
    code, n = data[i], data[i + 1]
    if code == 43:
        j, value = 0, data[i + 2:i + 2 + n]
        while j + 1 < len(value):
            found.append(str(value[j]))
            j += 2 + value[j + 1]
    i += 2 + n
print(','.join(found))
PY
}

# The boot files as the raw disc holds them.
names=(1/booter:usr/standalone/i386/boot.efi 1/mach.orvane:mach_kernel
       1/mach.orvane.mkext:System/Library/Extensions.mkext)
for entry in "${names[@]}"; do
  "$disc_tool" cat "$raw#2" "${entry#*:}" >"$work/$(basename "${entry%%:*}").expected"
done
size=$(stat -c %s "$raw")

for method in zlib bzip2 adc mixed; do
  image="$work/Install Disc ($method).dmg"
  extra=()
  if [ "$method" = mixed ]; then extra=(--tables 3 --data-offset 4096 --table-offsets); fi
  "$mkdmg" --method "$method" --chunk 64 "${extra[@]}" "$raw" "$image" >/dev/null
  if ! start_server "$image"; then
    fail "$method: tamsor-serve did not start: $(cat "$work/serve.err")"; stop_server; continue
  fi
  grep -q '"Orvane Demo Install"' "$work/serve.out" || fail "$method: the volume is not named"

  [ "$(bsdp "$bsdp_port" 1)" = "1,4,7,8,9" ] || fail "$method: BSDP LIST"
  [ "$(bsdp "$bsdp_port" 2)" = "1,8,12" ] || fail "$method: BSDP SELECT"
  for entry in "${names[@]}"; do
    name=${entry%%:*} out="$work/$(basename "${entry%%:*}")"
    if ! curl -sS --max-time 30 -o "$out" "tftp://127.0.0.1:$tftp_port/$name" 2>"$out.err"; then
      fail "$method: TFTP $name: $(cat "$out.err")"
    elif ! cmp -s "$out" "$out.expected"; then
      fail "$method: TFTP $name differs from the raw disc's file"
    fi
  done

  url="http://127.0.0.1:$http_port/CdRom0.dmg"
  length=$(curl -sS -I "$url" | tr -d '\r' | sed -n 's/^Content-Length: //p')
  [ "$length" = "$size" ] || fail "$method: HEAD says $length bytes, the disc has $size"
  for range in 0-2047 1000-70000 131000-263000 $((size / 2))- -777 $((size - 1))-; do
    curl -sS -r "$range" -o "$work/range" "$url"
    first=${range%-*} last=${range#*-}
    if [ -z "$first" ]; then first=$((size - last)); last=$((size - 1)); fi
    [ -z "$last" ] && last=$((size - 1))
    if ! cmp -s "$work/range" <(tail -c +$((first + 1)) "$raw" | head -c $((last - first + 1))); then
      fail "$method: HTTP range $range differs from the raw disc"
    fi
  done
  curl -sS -o "$work/whole" "$url"
  cmp -s "$work/whole" "$raw" || fail "$method: the whole image over HTTP differs from the raw disc"
  stop_server
  [ $failed -eq 0 ] && echo "ok: $method .dmg booted byte-exact (BSDP, TFTP, HTTP)"
done

# A disc swap from one .dmg to the next: the installer's Eject asks for the
# next disc by name; the second image is then the one served.
first="$work/Install Disc (zlib).dmg" second="$work/Install Disc 2.dmg"
"$mkdmg" --method bzip2 --chunk 128 "$raw" "$second" >/dev/null
start_server "$first" "$second" || fail "swap: tamsor-serve did not start: $(cat "$work/serve.err")"
curl -sS -o /dev/null -H 'Content-Type: text/xml' --data-binary \
  '<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict><key>Message</key><string>Eject</string><key>NextDisc</key><string>Orvane Demo Install</string></dict></plist>' \
  "http://127.0.0.1:$http_port/"
for _ in $(seq 1 100); do grep -q "Taking the disc image" "$work/serve.out" && break; sleep 0.1; done
if ! grep -q "Taking the disc image $second" "$work/serve.out"; then
  fail "swap: the second .dmg was not taken: $(cat "$work/serve.out")"
else
  curl -sS -o "$work/whole" "http://127.0.0.1:$http_port/CdRom0.dmg"
  if cmp -s "$work/whole" "$raw"; then echo "ok: swapped to the next .dmg, served byte-exact"
  else fail "swap: the next .dmg over HTTP differs from the raw disc"; fi
fi
stop_server

# A run that does not decode, late on the disc: the disc is served, and a
# read that reaches that run fails (the connection ends short, or 500 for a
# range inside it); every byte before that run arrives, and is the disc's
# own. The damaged run is the last compressed one: the last 32 KiB run
# (--chunk 64) that is not all zeros.
late="$work/late.dmg"
"$mkdmg" --damage bad-stream-last --chunk 64 "$raw" "$late" >/dev/null
good=$(python3 - "$raw" <<'PY'
import sys
data = open(sys.argv[1], "rb").read()
run = 64 * 512
start = (len(data) - 1) // run * run
while start > 0 and not any(data[start:start + run]):
    start -= run
print(start)
PY
)
if start_server "$late"; then
  url="http://127.0.0.1:$http_port/CdRom0.dmg"
  set +e
  curl -sS -o "$work/whole" "$url" 2>/dev/null
  code=$?
  set -e
  got=$(stat -c %s "$work/whole")
  if [ $code -eq 0 ] || [ "$got" -ge "$size" ]; then
    fail "late damage: the whole read did not fail ($got bytes, curl $code)"
  elif [ "$got" -ne "$good" ]; then
    fail "late damage: $got bytes arrived; the $good before the damaged run were due"
  elif ! cmp -s "$work/whole" <(head -c "$got" "$raw"); then
    fail "late damage: the bytes before the damaged run differ from the disc"
  else
    echo "ok: a run that does not decode ends the body after $got good bytes"
  fi
  stop_server
else
  fail "late damage: tamsor-serve did not start: $(cat "$work/serve.err")"
fi

# The first run damaged: the map cannot be read, and the server says why.
"$mkdmg" --damage bad-stream "$raw" "$work/early.dmg" >/dev/null
set +e
"$serve" --bsdp-port 0 "$work/early.dmg" >"$work/serve.out" 2>"$work/serve.err"
code=$?
set -e
if [ $code -ne 1 ] || ! grep -q "damaged: its first bytes do not decode" "$work/serve.err"; then
  fail "early damage: exit $code, said: $(cat "$work/serve.err")"
else
  echo "ok: early damage refused: $(head -n 1 "$work/serve.err")"
fi

# Kinds Tamsor cannot read, and damage: one line naming the problem, exit 1.
for damage in lzfse-run:"compressed with LZFSE" encrypted:"encrypted" \
              no-plist:"without an XML property list" run-count-wrap:"run count"; do
  kind=${damage%%:*} says=${damage#*:}
  image="$work/$kind.dmg"
  "$mkdmg" --damage "$kind" "$raw" "$image" >/dev/null
  set +e
  "$serve" --bsdp-port 0 "$image" >"$work/serve.out" 2>"$work/serve.err"
  code=$?
  set -e
  if [ $code -ne 1 ] || ! grep -q "$says" "$work/serve.err"; then
    fail "$kind: exit $code, said: $(cat "$work/serve.err")"
  else
    echo "ok: $kind refused: $(head -n 1 "$work/serve.err")"
  fi
done
exit $failed
