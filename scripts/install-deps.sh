#!/usr/bin/env bash
# Installs, quietly and only when missing, every package that the build and
# the tests need, and enables Debian's source packages so that
# scripts/build-win-deps.sh can fetch expat's source for the Windows build.
# Safe to run again; needs root (or sudo) and no standard input.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev libexpat1-dev uuid-dev zlib1g-dev libdeflate-dev libbz2-dev
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  mingw-w64-tools googletest dpkg-dev
  wine64 xvfb
  python3 curl
  unicode-data sleuthkit 7zip
  python3-scapy tftp-hpa tftpd-hpa dnsmasq-base atftp ovmf ipxe
  qemu-utils qemu-block-extra qemu-system-x86 busybox-static file dmg2img nginx-light
  librsvg2-bin icoutils imagemagick fonts-wine x11-utils
  wixl msitools gcab libmspack-dev
  clang-14 libclang-rt-14-dev nftables iproute2 wrk isc-dhcp-relay
  gettext fonts-wqy-microhei
  debhelper lintian scdoc desktop-file-utils appstream
  libgtk-4-dev libudev-dev dbus dbus-x11 at-spi2-core python3-pyatspi gir1.2-atspi-2.0
  xdotool python3-dbusmock procps gir1.2-gdkpixbuf-2.0 python3-dbus
  chromium chromium-driver python3-selenium prometheus
  podman buildah runc catatonit python3-yaml
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

need_update=0
[ ${#missing[@]} -gt 0 ] && need_update=1

# expat's source comes from Debian's source packages (no mingw build exists).
sources=/etc/apt/sources.list.d/debian.sources
if [ -f "$sources" ] && ! grep -q 'deb-src' "$sources"; then
  $SUDO sed -i -E 's/^Types: deb$/Types: deb deb-src/' "$sources"
  need_update=1
elif [ ! -f "$sources" ] && ! grep -rqs '^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  if [ -f /etc/apt/sources.list ]; then
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list | $SUDO tee /etc/apt/sources.list.d/tamsor-src.list >/dev/null
    need_update=1
  fi
fi

# Source lists never fetched (deb-src enabled by hand, say) also need one.
if ! compgen -G '/var/lib/apt/lists/*_Sources*' >/dev/null; then
  need_update=1
fi

if [ $need_update -eq 1 ]; then
  $SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq </dev/null >/dev/null
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" </dev/null >/dev/null
fi
