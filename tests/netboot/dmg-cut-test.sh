#!/usr/bin/env bash
# A .dmg cut short, as a download that stopped leaves it, is refused as an
# incomplete or damaged .dmg wherever the cut falls (inside its trailer,
# just before it, inside its property list, inside its data), and so is a
# file named .dmg that has no trailer at all; never as a disc without a
# volume. The whole .dmg is served, and the same raw bytes under another
# name are still just a disc without a volume.
#
#   dmg-cut-test.sh TAMSOR-SERVE TAMSOR-MKDMG DEMO-DISC-IMAGE
set -euo pipefail

serve=$1 mkdmg=$2 demo=$3
work=$(mktemp -d /tmp/tamsor-dmgcut.XXXXXX)
trap 'rm -rf "$work"' EXIT
"$mkdmg" --method zlib "$demo" "$work/whole.dmg" >/dev/null
size=$(stat -c %s "$work/whole.dmg")
plist=$(/usr/bin/python3 - "$work/whole.dmg" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
offset, length = struct.unpack('>QQ', data[-512 + 0xD8:-512 + 0xE8])
print(offset + length // 2)
PY
)

# The whole image starts (a timeout ends it: it is serving).
failed=0
out=$(timeout 5 "$serve" --bsdp-port 0 "$work/whole.dmg" 2>&1 || true)
grep -q 'http=' <<<"$out" || { echo "FAILED: the whole .dmg was not served: $out"; failed=1; }

refused() {  # NAME [BYTES-KEPT of the whole .dmg]
  [ $# -lt 2 ] || head -c "$2" "$work/whole.dmg" >"$work/$1"
  local said code=0
  said=$(timeout 20 "$serve" --bsdp-port 0 "$work/$1" 2>&1) || code=$?
  if [ $code -eq 0 ] || [ $code -eq 124 ] || ! grep -q 'incomplete or damaged .dmg' <<<"$said"; then
    echo "FAILED: $1 (exit $code): $said"; failed=1
  else
    echo "ok: $1 refused as an incomplete .dmg"
  fi
}
refused cut-200.dmg $((size - 200))
refused cut-500.dmg $((size - 500))
refused cut-before-trailer.dmg $((size - 512 - 100))
refused cut-in-plist.dmg "$plist"
refused cut-in-data.dmg $((size / 3))
head -c 1048576 /dev/zero >"$work/zeros.dmg"
refused zeros.dmg

# The same bytes as a disc by another name: a disc without a volume.
head -c 1048576 /dev/zero >"$work/zeros.img"
said=$(timeout 20 "$serve" --bsdp-port 0 "$work/zeros.img" 2>&1 || true)
if grep -q 'incomplete' <<<"$said" || ! grep -q 'no HFS+ volume' <<<"$said"; then
  echo "FAILED: a raw disc without a volume: $said"; failed=1
fi
exit $failed
