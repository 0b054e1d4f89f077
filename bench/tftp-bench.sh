#!/usr/bin/env bash
# How fast boot files go out over TFTP: curl fetches an 8 MiB and a 30 MiB
# file with blksize 1468 from tamsor-serve and, in the same run, the same
# bytes from tftp-hpa's in.tftpd, both on loopback (Linux, release build).
#
#   1/booter        8 MiB   usr/standalone/i386/boot.efi on the image
#   1/mach.orvane   30 MiB  mach_kernel on the image
#
# The disc image comes from tamsor-mkimage (self-describing generated
# bytes); in.tftpd serves copies taken out with tamsor-disc. Every fetch is
# compared with those copies before anything is timed. Each fetch runs RUNS
# times per server; the best time counts. The server's stderr (one event
# dump per transfer) goes to a file.
#
#   bench/tftp-bench.sh                         build build/tftp-bench and run
#   BUILD=DIR RUNS=N BLKSIZE=N bench/tftp-bench.sh
#   TAMSOR_SERVE=PROGRAM bench/tftp-bench.sh    any server that takes
#       "--bsdp-port N IMAGE" and prints "tamsor-serve: bsdp=B tftp=T http=H"
#       as its first line
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BUILD:-$ROOT/build/tftp-bench}
RUNS=${RUNS:-5}
BLKSIZE=${BLKSIZE:-1468}
SMALL=$((8 * 1024 * 1024))
LARGE=$((30 * 1024 * 1024))

for tool in cmake ninja curl in.tftpd cmp; do
  command -v "$tool" >/dev/null || { echo "tftp-bench: $tool is missing (apt-get install tftpd-hpa curl)" >&2; exit 1; }
done

echo "==> release build in $BUILD"
cmake -S "$ROOT" -B "$BUILD" -G Ninja --log-level=WARNING -Wno-dev \
  -DCMAKE_BUILD_TYPE=Release -DTAMSOR_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j 2 --target tamsor-disc tamsor-mkimage >/dev/null
MKIMAGE=$BUILD/tools/hfswriter/tamsor-mkimage
DISC=$BUILD/tools/tamsor-disc
SERVE=${TAMSOR_SERVE:-}
if [ -z "$SERVE" ]; then
  cmake --build "$BUILD" -j 2 --target tamsor-serve >/dev/null 2>&1 || true
  SERVE=$(find "$BUILD" -name tamsor-serve -type f -perm -u+x 2>/dev/null | head -1)
fi
if [ -z "$SERVE" ] || [ ! -x "$SERVE" ]; then
  echo "tftp-bench: tamsor-serve is not built (or set TAMSOR_SERVE=PROGRAM)" >&2
  exit 1
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tamsor-tftp-bench.XXXXXX")
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

echo "==> install disc image with 8 MiB and 30 MiB boot files"
cat >"$WORK/manifest" <<EOF
folder System/Installation
pattern usr/standalone/i386/boot.efi $SMALL
pattern mach_kernel $LARGE
pattern System/Library/Extensions.mkext 65536
text System/Library/CoreServices/SystemVersion.plist "<plist version=\"1.0\"/>"
EOF
IMAGE=$WORK/disc.img
"$MKIMAGE" -o "$IMAGE" --name "Bench Install" --manifest "$WORK/manifest" >/dev/null
mkdir -p "$WORK/root/1"
"$DISC" cat "$IMAGE#2" usr/standalone/i386/boot.efi >"$WORK/root/1/booter"
"$DISC" cat "$IMAGE#2" mach_kernel >"$WORK/root/1/mach.orvane"
# Read once so that both servers work from the page cache.
cat "$IMAGE" "$WORK/root/1/"* >/dev/null

# A UDP port nobody listens on (as far as ss can tell).
free_port() {
  local port
  for _ in $(seq 50); do
    port=$((20000 + RANDOM % 40000))
    if ! ss -Hlun "sport = :$port" 2>/dev/null | grep -q .; then echo "$port"; return; fi
  done
  echo "$port"
}

echo "==> starting the servers"
"$SERVE" --bsdp-port "$(free_port)" "$IMAGE" >"$WORK/serve.out" 2>"$WORK/serve.err" &
PIDS+=($!)
TAMSOR_PORT=
for _ in $(seq 100); do
  TAMSOR_PORT=$(head -1 "$WORK/serve.out" 2>/dev/null |
    sed -n 's/^tamsor-serve: .*tftp=\([0-9]*\).*/\1/p' || true)
  [ -n "$TAMSOR_PORT" ] && break
  sleep 0.1
done
if [ -z "$TAMSOR_PORT" ]; then
  echo "tftp-bench: the server did not come up:" >&2
  cat "$WORK/serve.err" >&2
  exit 1
fi
HPA_PORT=$(free_port)
in.tftpd -L -a "127.0.0.1:$HPA_PORT" -s "$WORK/root" &
PIDS+=($!)
sleep 0.3
echo "    tamsor-serve tftp=$TAMSOR_PORT, in.tftpd $HPA_PORT"

# fetch PORT NAME: the file into $WORK/got; fails when curl does.
fetch() {
  rm -f "$WORK/got"
  curl -s -S --max-time 120 --tftp-blksize "$BLKSIZE" -o "$WORK/got" \
    "tftp://127.0.0.1:$1/$2"
}

# best_seconds PORT NAME: the best of RUNS fetches, checked against the copy.
best_seconds() {
  local best= start end seconds
  for _ in $(seq "$RUNS"); do
    start=$(date +%s%N)
    fetch "$1" "$2"
    end=$(date +%s%N)
    cmp -s "$WORK/got" "$WORK/root/$2" || { echo "tftp-bench: wrong bytes for $2 from port $1" >&2; exit 1; }
    seconds=$(awk -v ns=$((end - start)) 'BEGIN { printf "%.3f", ns / 1e9 }')
    if [ -z "$best" ] || awk -v a="$seconds" -v b="$best" 'BEGIN { exit !(a < b) }'; then
      best=$seconds
    fi
  done
  echo "$best"
}

echo "==> curl --tftp-blksize $BLKSIZE, best of $RUNS"
printf '    %-14s %8s %14s %10s %7s\n' file MiB tamsor-serve in.tftpd ratio
for name in 1/booter 1/mach.orvane; do
  size=$(stat -c %s "$WORK/root/$name")
  ours=$(best_seconds "$TAMSOR_PORT" "$name")
  theirs=$(best_seconds "$HPA_PORT" "$name")
  awk -v n="$name" -v s="$size" -v a="$ours" -v b="$theirs" 'BEGIN {
    printf "    %-14s %8.1f %13.3fs %9.3fs %7.2f\n", n, s / 1048576, a, b, (a > 0 ? b / a : 0) }'
done
echo "    (ratio = in.tftpd seconds / tamsor-serve seconds; above 1 means faster)"
