#!/usr/bin/env bash
# Builds the third-party libraries of the Windows build with mingw-w64 into a
# prefix that the win64 build finds through CMAKE_PREFIX_PATH:
#   - expat, static, from Debian's source package (no mingw package exists);
#   - zlib, libdeflate and bzip2, static, from Debian's source packages (the
#     .dmg reader);
#   - GoogleTest (gtest, gtest_main, gmock) from /usr/src/googletest.
# The prefix is reused while it holds the newest expat source version apt
# knows, and the GoogleTest version and this recipe stay the same. A prefix
# built from an older expat (the newest could not be fetched) is labelled
# with the version it holds: each run tries the newest again, and keeps the
# prefix as it is while the same older one is still the best to be had.
# Sources are fetched into a scratch folder under build/deps and deleted
# afterwards; none of them belongs in the repo.
#
#   scripts/build-win-deps.sh            build (or reuse) build/deps/win64
#   TAMSOR_DEPS_DIR=DIR ...              use DIR instead of build/deps
#
# Needs the packages of scripts/install-deps.sh (it enables deb-src).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
DEPS=${TAMSOR_DEPS_DIR:-$ROOT/build/deps}
PREFIX=$DEPS/win64
SCRATCH=$DEPS/win64-src
LOGS=$DEPS/logs
TOOLCHAIN=$ROOT/cmake/mingw-w64-x86_64.cmake
STAMP=$PREFIX/.tamsor-deps
# Bump when the steps below change in a way that needs a rebuild.
RECIPE=3

mkdir -p "$DEPS" "$LOGS"
exec 9>"$DEPS/.win64.lock"
flock 9

say() { echo "win-deps: $*"; }

# Runs a step with its output in a log; shows the end of the log on failure.
step() {
  local name=$1; shift
  if ! "$@" >"$LOGS/$name.log" 2>&1 </dev/null; then
    say "step '$name' failed; last lines of $LOGS/$name.log:" >&2
    tail -n 40 "$LOGS/$name.log" >&2
    exit 1
  fi
}

# The source versions of expat that apt knows, newest first, read from the
# local source lists (no download). The build takes the newest one that can
# actually be fetched (a mirror may lack some); the cache is keyed by what
# was built, and counts as up to date only when that is the newest.
expat_versions=$(apt-cache showsrc --only-source expat 2>/dev/null \
  | sed -n 's/^Version: //p' | sort -u || true)
sorted=()
for v in $expat_versions; do
  i=0
  while [ $i -lt ${#sorted[@]} ] && dpkg --compare-versions "${sorted[$i]}" gt "$v"; do
    i=$((i + 1))
  done
  sorted=("${sorted[@]:0:$i}" "$v" "${sorted[@]:$i}")
done
if [ ${#sorted[@]} -eq 0 ]; then
  say "cannot find Debian's expat source package; run scripts/install-deps.sh (it enables deb-src)" >&2
  exit 1
fi
expat_version=${sorted[0]}
gtest_version=$(dpkg-query -W -f='${Version}' googletest 2>/dev/null || true)
if [ -z "$gtest_version" ] || [ ! -f /usr/src/googletest/CMakeLists.txt ]; then
  say "GoogleTest sources missing in /usr/src/googletest; run scripts/install-deps.sh" >&2
  exit 1
fi
# zlib and bzip2: the source versions apt knows of each, newest first; the
# build takes the newest one that can be fetched, as for expat.
sources_newest_first() {
  local list=() v i
  for v in $(apt-cache showsrc --only-source "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -u); do
    i=0
    while [ $i -lt ${#list[@]} ] && dpkg --compare-versions "${list[$i]}" gt "$v"; do i=$((i + 1)); done
    list=("${list[@]:0:$i}" "$v" "${list[@]:$i}")
  done
  echo "${list[*]}"
}
zlib_versions=$(sources_newest_first zlib)
libdeflate_versions=$(sources_newest_first libdeflate)
bzip2_versions=$(sources_newest_first bzip2)
zlib_version=${zlib_versions%% *}
libdeflate_version=${libdeflate_versions%% *}
bzip2_version=${bzip2_versions%% *}
if [ -z "$zlib_version" ] || [ -z "$libdeflate_version" ] || [ -z "$bzip2_version" ]; then
  say "cannot find Debian's zlib, libdeflate or bzip2 source package; run scripts/install-deps.sh (it enables deb-src)" >&2
  exit 1
fi
toolchain_sum=$(sha256sum "$TOOLCHAIN" | cut -c1-16)
stamp_key() { echo "recipe=$RECIPE expat=$1 zlib=$zlib_version libdeflate=$libdeflate_version bzip2=$bzip2_version googletest=$gtest_version toolchain=$toolchain_sum"; }

# Both lines must name the newest: stamps of earlier recipes put the newest
# known version in the key whatever was built.
if [ -f "$STAMP" ] && [ "$(head -n 1 "$STAMP")" = "$(stamp_key "$expat_version")" ] &&
   [ "$(sed -n 's/^built: expat //p' "$STAMP")" = "$expat_version" ]; then
  say "up to date in $PREFIX: the Windows build carries expat $expat_version (googletest $gtest_version)"
  exit 0
fi
if [ -f "$STAMP" ]; then
  say "cache holds $(sed -n 's/^built: //p' "$STAMP"); the newest known is expat $expat_version: trying to fetch it"
fi

started=$(date +%s)
rm -rf "$SCRATCH"
mkdir -p "$SCRATCH"

common=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release
        -DCMAKE_INSTALL_PREFIX="$PREFIX" -DCMAKE_INSTALL_LIBDIR=lib
        -Wno-dev)

# --- expat ---------------------------------------------------------------
# apt's download user must be able to write here, or apt warns about it.
chmod 777 "$SCRATCH" 2>/dev/null || true
built_expat=""
for v in "${sorted[@]}"; do
  rm -rf "${SCRATCH:?}"/expat*
  if (cd "$SCRATCH" && apt-get source -qq "expat=$v") >"$LOGS/expat-source.log" 2>&1 </dev/null; then
    built_expat=$v
    break
  fi
  say "expat $v could not be fetched; trying an older one"
done
if [ -z "$built_expat" ]; then
  say "no expat source package could be fetched; last lines of $LOGS/expat-source.log:" >&2
  tail -n 20 "$LOGS/expat-source.log" >&2
  exit 1
fi
# The newest could not be fetched, but the cache already holds the best one
# that can: keep it. Rebuilding would only wipe a prefix that other builds
# on this machine may be reading.
if [ -f "$STAMP" ] && [ "$(head -n 1 "$STAMP")" = "$(stamp_key "$built_expat")" ]; then
  rm -rf "$SCRATCH"
  say "expat $expat_version could not be fetched; keeping the cache in $PREFIX, which holds expat $built_expat, the newest that can be (the next run tries again)"
  exit 0
fi
say "building expat $built_expat (static, mingw-w64)"
rm -rf "$PREFIX"
mkdir -p "$PREFIX"
expat_src=$(ls -d "$SCRATCH"/expat-*/expat 2>/dev/null | head -n 1 || true)
if [ -z "$expat_src" ] || [ ! -f "$expat_src/CMakeLists.txt" ]; then
  say "expat's sources were not unpacked under $SCRATCH" >&2
  exit 1
fi
step expat-configure cmake -S "$expat_src" -B "$SCRATCH/build-expat" "${common[@]}" \
  -DEXPAT_SHARED_LIBS=OFF -DEXPAT_BUILD_TOOLS=OFF -DEXPAT_BUILD_EXAMPLES=OFF \
  -DEXPAT_BUILD_TESTS=OFF -DEXPAT_BUILD_DOCS=OFF -DEXPAT_BUILD_PKGCONFIG=OFF \
  -DEXPAT_BUILD_FUZZERS=OFF
# Debian's patches test `#if XML_DTD == 1`, but expat's CMake writes the macro
# with no value, which the preprocessor rejects.
config_h=$SCRATCH/build-expat/expat_config.h
sed -i -E 's/^#define XML_DTD[[:space:]]*$/#define XML_DTD 1/' "$config_h"
if ! grep -q '^#define XML_DTD 1$' "$config_h"; then
  say "expat_config.h has no XML_DTD line to fix; expat's build may have changed" >&2
  exit 1
fi
step expat-build cmake --build "$SCRATCH/build-expat" -j 2
step expat-install cmake --install "$SCRATCH/build-expat"

# --- zlib, libdeflate and bzip2 -------------------------------------------
# Each is a handful of C files: compiled straight into static archives
# (libz.a, libdeflate.a, libbz2.a) so that CMake's FindZLIB and FindBZip2
# and the image layer's find_library find them and no DLL comes along.
MINGW_CC=x86_64-w64-mingw32-gcc-posix
MINGW_AR=x86_64-w64-mingw32-gcc-ar-posix
build_static() {  # name versions library headers... -- sources...
  local name=$1 versions=$2 library=$3 version=""; shift 3
  local headers=() sources=() seen=0 f
  for f in "$@"; do
    if [ "$f" = "--" ]; then seen=1; elif [ $seen = 0 ]; then headers+=("$f"); else sources+=("$f"); fi
  done
  local v
  for v in $versions; do
    rm -rf "${SCRATCH:?}/$name"*
    if (cd "$SCRATCH" && apt-get source -qq "$name=$v") >"$LOGS/$name-source.log" 2>&1 </dev/null; then
      version=$v
      break
    fi
    say "$name $v could not be fetched; trying an older one"
  done
  if [ -z "$version" ]; then
    say "no $name source package could be fetched; last lines of $LOGS/$name-source.log:" >&2
    tail -n 20 "$LOGS/$name-source.log" >&2
    exit 1
  fi
  say "building $name $version (static, mingw-w64)"
  eval "built_$name=\$version"
  local src
  src=$(ls -d "$SCRATCH/$name"-*/ 2>/dev/null | head -n 1)
  mkdir -p "$SCRATCH/build-$name" "$PREFIX/include" "$PREFIX/lib"
  local objects=()
  for f in "${sources[@]}"; do
    local object=${f%.c}
    object=${object//\//-}
    step "$name-$object" "$MINGW_CC" -O2 -I"$src" -c "$src/$f" -o "$SCRATCH/build-$name/$object.o"
    objects+=("$SCRATCH/build-$name/$object.o")
  done
  step "$name-archive" "$MINGW_AR" rcs "$PREFIX/lib/$library" "${objects[@]}"
  for f in "${headers[@]}"; do cp "$src/$f" "$PREFIX/include/"; done
}
build_static zlib "$zlib_versions" libz.a zlib.h zconf.h -- \
  adler32.c compress.c crc32.c deflate.c gzclose.c gzlib.c gzread.c gzwrite.c \
  infback.c inffast.c inflate.c inftrees.c trees.c uncompr.c zutil.c
# Only what decompression needs, with its CPU-feature detection.
build_static libdeflate "$libdeflate_versions" libdeflate.a libdeflate.h -- \
  lib/utils.c lib/adler32.c lib/crc32.c lib/deflate_decompress.c lib/zlib_decompress.c \
  lib/x86/cpu_features.c
build_static bzip2 "$bzip2_versions" libbz2.a bzlib.h -- \
  blocksort.c huffman.c crctable.c randtable.c compress.c decompress.c bzlib.c

# --- GoogleTest ----------------------------------------------------------
say "building googletest $gtest_version (mingw-w64)"
step gtest-configure cmake -S /usr/src/googletest -B "$SCRATCH/build-gtest" "${common[@]}" \
  -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON -DBUILD_SHARED_LIBS=OFF
step gtest-build cmake --build "$SCRATCH/build-gtest" -j 2
step gtest-install cmake --install "$SCRATCH/build-gtest"

for lib in libexpat.a libz.a libdeflate.a libbz2.a libgtest.a libgtest_main.a; do
  if [ ! -f "$PREFIX/lib/$lib" ]; then
    say "$PREFIX/lib/$lib is missing after the build" >&2
    exit 1
  fi
done

rm -rf "$SCRATCH"
printf '%s\nbuilt: expat %s\n' "$(stamp_key "$built_expat")" "$built_expat" >"$STAMP"
# zlib, libdeflate and bzip2 are not retried while the newest cannot be fetched (their
# line is for people): the key holds the newest known of each.
printf 'also built: zlib %s, libdeflate %s, bzip2 %s\n' "$built_zlib" "$built_libdeflate" \
  "$built_bzip2" >>"$STAMP"
say "expat $built_expat, zlib $built_zlib, libdeflate $built_libdeflate, bzip2 $built_bzip2 and googletest $gtest_version built in $(( $(date +%s) - started )) s into $PREFIX"
if [ "$built_expat" != "$expat_version" ]; then
  say "the Windows build carries expat $built_expat, NOT the newest known ($expat_version, which could not be fetched); the next run tries again"
fi
