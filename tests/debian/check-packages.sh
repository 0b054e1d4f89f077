#!/usr/bin/env bash
# Looks at the packages that `make deb` built, as a user installing them
# would get them, without installing anything: each one is listed and
# unpacked into a folder of its own (dpkg-deb), then checked.
#
#   tests/debian/check-packages.sh DEB_DIR [SCREENSHOTS_DIR]
#
# tamsor: the console programs with their manual pages and unit, and no
# GUI library among its dependencies. tamsor-wizard: the program, its menu
# entry, hicolor icons, a compiled catalog per language and the software
# centre entry; desktop-file-validate and appstreamcli validate pass, and
# the entry and the metainfo agree (program, icon, image types). With
# SCREENSHOTS_DIR (make screenshots' folder) every screenshot the metainfo
# names must be one of its pictures.
set -euo pipefail

debs="${1:?usage: check-packages.sh DEB_DIR [SCREENSHOTS_DIR]}"
shots="${2:-}"
root="$(cd "$(dirname "$0")/../.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

unpack() {  # NAME: the newest NAME_*.deb, listed and unpacked to $work/NAME
  local deb
  deb="$(ls -t "$debs"/"$1"_*.deb 2>/dev/null | head -n 1)"
  [ -n "$deb" ] || { fail "no $1 package in $debs"; return 1; }
  echo "== $(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"
  dpkg-deb -c "$deb" | awk '{ print "   " $NF }' | grep -v '/$'
  dpkg-deb -x "$deb" "$work/$1"
  dpkg-deb -f "$deb" Depends > "$work/$1.depends"
}

expect() {  # NAME PATH...: files the package must hold
  local package="$1" path
  shift
  for path in "$@"; do [ -f "$work/$package/$path" ] || fail "$package lacks /$path"; done
}

if unpack tamsor; then
  expect tamsor usr/bin/tamsor-serve usr/bin/tamsor-disc usr/bin/tamsor-plist \
    usr/bin/tamsor-mkimage lib/systemd/system/tamsor-serve@.service \
    lib/systemd/system/tamsor-library.service usr/lib/tmpfiles.d/tamsor.conf \
    usr/share/man/man1/tamsor-serve.1.gz
  if grep -E -q 'libgtk|libgdk|libglib|libudev' "$work/tamsor.depends"; then
    fail "tamsor depends on a desktop library: $(cat "$work/tamsor.depends")"
  fi
fi

if unpack tamsor-wizard; then
  w="$work/tamsor-wizard"
  desktop=usr/share/applications/org.tamsor.Tamsor.desktop
  metainfo=usr/share/metainfo/org.tamsor.Tamsor.metainfo.xml
  expect tamsor-wizard usr/bin/tamsor-wizard usr/share/man/man1/tamsor-wizard.1.gz \
    "$desktop" "$metainfo" usr/share/icons/hicolor/scalable/apps/org.tamsor.Tamsor.svg
  for size in 16 32 48 128 256; do
    expect tamsor-wizard "usr/share/icons/hicolor/${size}x${size}/apps/org.tamsor.Tamsor.png"
  done
  for catalog in "$root"/assistant/po/*.po; do
    expect tamsor-wizard "usr/share/locale/$(basename "$catalog" .po)/LC_MESSAGES/tamsor.mo"
  done
  grep -q 'libgtk-4' "$w.depends" || fail "tamsor-wizard does not depend on GTK 4"

  echo "== desktop-file-validate $desktop"
  desktop-file-validate "$w/$desktop" || fail "desktop-file-validate"
  echo "== appstreamcli validate $metainfo"
  appstreamcli validate --no-net --pedantic "$w/$metainfo" || fail "appstreamcli validate"

  key() { sed -n "s/^$1=//p" "$w/$desktop" | head -n 1; }
  exec_name="$(key Exec | cut -d' ' -f1)"
  [ -x "$w/usr/bin/$exec_name" ] || fail "the menu entry starts $exec_name, which is not in usr/bin"
  grep -q "<binary>$exec_name</binary>" "$w/$metainfo" || fail "the metainfo does not provide $exec_name"
  [ -f "$w/usr/share/icons/hicolor/48x48/apps/$(key Icon).png" ] || fail "no icon named $(key Icon)"
  grep -q '<launchable type="desktop-id">org.tamsor.Tamsor.desktop</launchable>' "$w/$metainfo" \
    || fail "the metainfo does not launch org.tamsor.Tamsor.desktop"
  entry_types="$(key MimeType | tr ';' '\n' | sed '/^$/d' | sort)"
  info_types="$(sed -n 's:.*<mediatype>\(.*\)</mediatype>.*:\1:p' "$w/$metainfo" | sort)"
  [ -n "$entry_types" ] || fail "the menu entry lists no image types (MimeType)"
  [ "$entry_types" = "$info_types" ] || fail "the image types differ: menu entry" \
    $entry_types "/ metainfo" $info_types
  named="$(sed -n 's:.*<image>.*/\([^/]*/[^/]*\)</image>.*:\1:p' "$w/$metainfo")"
  [ -n "$named" ] || fail "the metainfo names no screenshot"
  if [ -n "$shots" ]; then
    for name in $named; do
      [ -f "$shots/$name" ] || fail "screenshot $name is not among $shots's pictures"
    done
  else
    echo "== NOT CHECKED: the screenshots the metainfo names (no SCREENSHOTS_DIR; make screenshots)"
  fi
fi

[ $failed -eq 0 ] && echo "== both packages as expected"
exit $failed
