#!/usr/bin/env bash
# Builds Tamsor's container image with buildah, from no base and no
# registry: the image holds tamsor-serve and tamsor-health (built already,
# Release) and exactly the libraries they load, copied from this machine's
# Debian packages with those packages' copyright files, plus the few files a
# non-root user needs. No shell, no package manager, no compiler.
#
#   build-image.sh BUILD_DIR VERSION NAME SOURCE
#
#   BUILD_DIR  a build tree holding tools/tamsor-serve and tools/oci/tamsor-health
#   VERSION    the image is tagged NAME:VERSION and NAME:latest
#   SOURCE     where the sources are (the org.opencontainers.image.source label)
#
# What a container of it does (the image's configuration):
#
#   entry point     /usr/bin/tamsor-serve
#   command         --library /srv/tamsor --state-dir /var/lib/tamsor
#                   --status 0.0.0.0:7780 --json
#   user            tamsor, 7780:7780 (numeric, so that a cluster can tell it is not root)
#   volume          /var/lib/tamsor (the image IDs; owned by that user)
#   ports           7799/udp (BSDP), 7780/tcp (status page, /status.json, /metrics);
#                   TFTP and the disc image service on ports the system picks
#   health check    tamsor-health http://127.0.0.1:7780/status.json
#                   (docker format: the OCI format has no health check)
#   stop signal     SIGTERM (tamsor-serve stops its services and exits 0)
#
# The image's files are the same on every build of the same programs (their
# times are the commit's), and a label holds a digest of them and of the
# configuration: when the image already has that digest, nothing is built.
set -euo pipefail

build=${1:?usage: build-image.sh BUILD_DIR VERSION NAME SOURCE}
version=${2:?usage: build-image.sh BUILD_DIR VERSION NAME SOURCE}
name=${3:?usage: build-image.sh BUILD_DIR VERSION NAME SOURCE}
source=${4:?usage: build-image.sh BUILD_DIR VERSION NAME SOURCE}
root=$(cd "$(dirname "$0")/../.." && pwd)

USER_ID=7780
programs=("$build/tools/tamsor-serve" "$build/tools/oci/tamsor-health")
for program in "${programs[@]}"; do
  [ -x "$program" ] || { echo "build-image: $program is missing (build it first)" >&2; exit 1; }
done
for tool in buildah podman ldd dpkg-query; do
  command -v "$tool" >/dev/null || { echo "build-image: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done

revision=$(git -C "$root" rev-parse HEAD 2>/dev/null || echo unknown)
if [ "$revision" != unknown ] && [ -n "$(git -C "$root" status --porcelain --untracked-files=no 2>/dev/null)" ]; then
  revision="$revision-modified"
fi
# The files' times: the last commit's, so that rebuilding the same sources
# gives the same files.
epoch=$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 0)

work=$(mktemp -d "${TMPDIR:-/tmp}/tamsor-oci.XXXXXX")
container=""
cleanup() {
  [ -n "$container" ] && buildah rm "$container" >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
rootfs="$work/rootfs"
mkdir -p "$rootfs"/{usr/bin,usr/lib,usr/lib64,etc,srv/tamsor,var/lib/tamsor,tmp,usr/share/doc/tamsor}
# Merged /usr, as Debian's own: /lib and /lib64 lead into /usr.
ln -s usr/lib "$rootfs/lib"
ln -s usr/lib64 "$rootfs/lib64"

# The programs, stripped, and every library they load at the path the
# loader looks for it (the loader itself included), with the copyright file
# of the Debian package it comes from.
packages=()
for program in "${programs[@]}"; do
  strip --strip-unneeded -o "$rootfs/usr/bin/$(basename "$program")" "$program"
  while read -r library; do
    [ -n "$library" ] || continue
    target="$rootfs/usr${library#/usr}"
    mkdir -p "$(dirname "$target")"
    [ -e "$target" ] || cp -L "$library" "$target"
    package=$(dpkg-query -S "$(readlink -f "$library")" 2>/dev/null | head -n 1 | cut -d: -f1) ||
      package=""
    [ -z "$package" ] && package=$(dpkg-query -S "$library" 2>/dev/null | head -n 1 | cut -d: -f1)
    if [ -z "$package" ]; then
      echo "build-image: $library belongs to no Debian package" >&2
      exit 1
    fi
    packages+=("$package")
  done < <(ldd "$program" | sed -n -E 's#.*=> (/[^ ]+) .*#\1#p; s#^[[:space:]]*(/[^ ]+) \(.*#\1#p')
done
for package in $(printf '%s\n' "${packages[@]}" | sort -u); do
  mkdir -p "$rootfs/usr/share/doc/$package"
  cp "/usr/share/doc/$package/copyright" "$rootfs/usr/share/doc/$package/copyright"
done
cp "$root/debian/copyright" "$rootfs/usr/share/doc/tamsor/copyright"

# The user the server runs as; root exists only as the owner of the files.
printf 'root:x:0:0:root:/root:/usr/sbin/nologin\ntamsor:x:%d:%d:Tamsor:/var/lib/tamsor:/usr/sbin/nologin\n' \
  "$USER_ID" "$USER_ID" >"$rootfs/etc/passwd"
printf 'root:x:0:\ntamsor:x:%d:\n' "$USER_ID" >"$rootfs/etc/group"
chmod 1777 "$rootfs/tmp"
chown "$USER_ID:$USER_ID" "$rootfs/var/lib/tamsor"
chmod 0750 "$rootfs/var/lib/tamsor"
find "$rootfs" -exec touch -h -d "@$epoch" {} +

# The configuration, one argument a line, so that it enters the digest.
config=(
  --entrypoint '["/usr/bin/tamsor-serve"]'
  --cmd '["--library","/srv/tamsor","--state-dir","/var/lib/tamsor","--status","0.0.0.0:7780","--json"]'
  --user "$USER_ID:$USER_ID"
  --workingdir /var/lib/tamsor
  --env PATH=/usr/bin
  --volume /var/lib/tamsor
  --port 7799/udp --port 7780/tcp
  --stop-signal SIGTERM
  --healthcheck 'CMD /usr/bin/tamsor-health http://127.0.0.1:7780/status.json'
  --healthcheck-interval 30s --healthcheck-timeout 10s --healthcheck-start-period 10s
  --healthcheck-retries 3
  --label "org.opencontainers.image.title=Tamsor"
  --label "org.opencontainers.image.description=Network boot server for a library of install and diagnostics discs (BSDP, TFTP, HTTP)"
  --label "org.opencontainers.image.version=$version"
  --label "org.opencontainers.image.source=$source"
  --label "org.opencontainers.image.revision=$revision"
  --created-by "make oci (tools/oci/build-image.sh)"
)
digest=$({ (cd "$rootfs" && find . -printf '%p %U:%G %m %y %l\n' | LC_ALL=C sort) &&
           (cd "$rootfs" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum) &&
           printf '%s\n' "${config[@]}"; } | sha256sum | cut -c1-64)

have=$(podman image inspect "localhost/$name:$version" \
         --format '{{index .Config.Labels "org.tamsor.content-digest"}}' 2>/dev/null || true)
if [ "$have" = "$digest" ]; then
  podman tag "localhost/$name:$version" "localhost/$name:latest"
  echo "build-image: $name:$version is up to date ($(podman image inspect "localhost/$name:$version" --format '{{.Size}}') bytes)"
  exit 0
fi

previous=$(podman image inspect "localhost/$name:$version" --format '{{.Id}}' 2>/dev/null || true)
container=$(buildah from --quiet --format docker scratch)
mount=$(buildah mount "$container")
cp -a "$rootfs/." "$mount/"
buildah umount "$container" >/dev/null
buildah config "${config[@]}" --label "org.tamsor.content-digest=$digest" "$container"
buildah commit --quiet --format docker --timestamp "$epoch" --rm "$container" \
  "localhost/$name:$version" >/dev/null
container=""
buildah tag "localhost/$name:$version" "localhost/$name:latest"
# The image this one replaced, once no tag and no container holds it.
if [ -n "$previous" ] &&
   [ -z "$(podman image inspect "$previous" --format '{{join .RepoTags ""}}' 2>/dev/null)" ]; then
  podman image rm "$previous" >/dev/null 2>&1 || true
fi
size=$(podman image inspect "localhost/$name:$version" --format '{{.Size}}')
echo "build-image: $name:$version and $name:latest, $size bytes ($((size / 1048576)) MiB)"
