#!/usr/bin/env bash
# A real UEFI firmware as the TFTP client: OVMF in qemu (TCG) with the NIC's
# option ROM left out, so that the firmware's own PXE stack runs. In a
# network namespace of its own, a tap device carries the guest, dnsmasq is
# its DHCP server and names this server and 1/booter, and tamsor-serve
# serves on port 69 a disc whose booter is iPXE's EFI program (which prints
# "iPXE" on the serial console as soon as it runs). The firmware must fetch
# the booter and run it; the server's events must show the block size and
# window it negotiated (1468 and 4 for this firmware) and the whole file
# sent.
#
#   uefi-firmware-test.sh TAMSOR-SERVE TAMSOR-MKIMAGE
#
# Needs root, qemu-system-x86, ovmf, ipxe and dnsmasq; exits 77 (skipped)
# with the reason without them. Bounded: the guest gets UEFI_GUEST_SECONDS
# (150 by default; it runs its booter after about 20 to 40 s under TCG).
set -euo pipefail

serve=$1 mkimage=$2
guest_seconds=${UEFI_GUEST_SECONDS:-150}
code=/usr/share/OVMF/OVMF_CODE.fd vars=/usr/share/OVMF/OVMF_VARS.fd booter=/boot/ipxe.efi
for need in "$code" "$vars" "$booter"; do
  [ -r "$need" ] || { echo "SKIPPED: $need is missing (packages ovmf and ipxe)"; exit 77; }
done
for tool in qemu-system-x86_64 dnsmasq; do
  command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is missing"; exit 77; }
done
if [ -z "${TAMSOR_IN_NETNS:-}" ]; then
  if ! unshare -n true 2>/dev/null; then
    echo "SKIPPED: cannot make a network namespace (unshare -n); needs root"
    exit 77
  fi
  exec env TAMSOR_IN_NETNS=1 unshare -n "$0" "$@"
fi
[ -c /dev/net/tun ] || { echo "SKIPPED: no /dev/net/tun for the guest's tap device"; exit 77; }

work=$(mktemp -d /tmp/tamsor-uefi.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
failed=0
fail() { echo "FAILED: $*"; failed=1; }

ip link set lo up
ip tuntap add dev tap0 mode tap
ip addr add 10.27.3.1/24 dev tap0
ip link set tap0 up

cat >"$work/manifest" <<MANIFEST
folder System/Installation
file usr/standalone/i386/boot.efi $booter
pattern mach_kernel 65536
pattern System/Library/Extensions.mkext 65536
text System/Library/CoreServices/SystemVersion.plist "<plist version=\"1.0\"/>"
MANIFEST
"$mkimage" -o "$work/disc.img" --name "Firmware Install" --manifest "$work/manifest" >/dev/null

"$serve" --json --tftp-port 69 --keep-booting "$work/disc.img" >"$work/serve.out" 2>"$work/serve.err" &
pids+=($!)
for _ in $(seq 100); do grep -q '"event":"start"' "$work/serve.out" && break; sleep 0.1; done
grep -q '"tftp":69' "$work/serve.out" || { fail "tamsor-serve did not start on port 69"; cat "$work/serve.err"; exit 1; }

dnsmasq --no-daemon --port=0 --interface=tap0 --bind-interfaces --user=root \
  --dhcp-range=10.27.3.50,10.27.3.99,255.255.255.0,1h --dhcp-boot=1/booter,,10.27.3.1 \
  --dhcp-leasefile="$work/leases" --pid-file="$work/dnsmasq.pid" >"$work/dnsmasq.out" 2>&1 &
pids+=($!)

cp "$vars" "$work/vars.fd"
qemu-system-x86_64 -machine q35 -accel tcg -m 256 -display none -no-reboot \
  -drive if=pflash,format=raw,file="$code",readonly=on \
  -drive if=pflash,format=raw,file="$work/vars.fd" \
  -boot n -netdev tap,id=n0,ifname=tap0,script=no,downscript=no \
  -device virtio-net-pci,netdev=n0,romfile= \
  -serial file:"$work/console" >"$work/qemu.out" 2>&1 &
pids+=($!)
started=$(date +%s)
while [ $(( $(date +%s) - started )) -lt "$guest_seconds" ]; do
  grep -q 'iPXE' "$work/console" 2>/dev/null && break
  kill -0 "${pids[-1]}" 2>/dev/null || break
  sleep 1
done
echo "guest ran for $(( $(date +%s) - started )) s"
# Let the server's last event out before looking.
sleep 1

tr -d '\r' <"$work/console" | grep -a -E 'Station IP|NBP|iPXE' | head -n 5 | sed 's/^/  console: /' || true
grep -q 'iPXE' "$work/console" 2>/dev/null || fail "the firmware did not run the booter it fetched"
size=$(stat -c %s "$booter")
grep '"transfer"' "$work/serve.out" | sed 's/^/  /'
grep -q "\"event\":\"transfer\".*\"file\":\"1/booter\",\"size\":$size,\"bytes\":$size,.*\"blksize\":1468,\"windowsize\":4,\"reason\":0" \
  "$work/serve.out" || fail "no complete transfer of the booter with blksize 1468 and window 4"
if [ $failed -ne 0 ]; then
  echo "--- console"; tr -d '\r' <"$work/console" | tail -n 30
  echo "--- dnsmasq"; tail -n 10 "$work/dnsmasq.out"
  echo "--- qemu"; tail -n 10 "$work/qemu.out"
fi
exit $failed
