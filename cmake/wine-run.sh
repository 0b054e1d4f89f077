#!/usr/bin/env bash
# Runs a Windows program under wine and exits with the program's own exit
# code; ctest uses it as the emulator of the win64 build.
#
#   wine-run.sh PROGRAM.exe [ARGS...]   run a program
#   wine-run.sh --init BUILD_DIR        create the wine prefix of a build,
#                                       quietly, start a virtual X display and
#                                       keep wine's server up meanwhile
#   wine-run.sh --stop BUILD_DIR        stop that display and server
#
# Each build directory gets its own wine prefix (BUILD_DIR/wineprefix), found
# by walking up from the program to the folder holding CMakeCache.txt, so
# wine never touches the user's ~/.wine. TAMSOR_WINEPREFIX overrides it.
#
# Wine creates no window, not even a hidden one, without an X display; the
# run loop's hidden window needs one. --init starts Xvfb and programs run
# later use it while it is up; otherwise they get the caller's DISPLAY.
set -uo pipefail

WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
export WINEDEBUG=-all
# No Mono or Gecko: nothing of ours uses them, and their installers would ask
# questions nobody is there to answer. No crash debugger either: with it
# attached, a program that crashes sometimes ends with exit code 0; without
# it, the exit code is the exception's (5 for an access violation).
export WINEDLLOVERRIDES="mscoree=;mshtml=;winedbg.exe=d${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"

if [ ! -x "$WINE" ]; then
  echo "wine-run: $WINE is missing (run scripts/install-deps.sh)" >&2
  exit 127
fi

build_dir_of() {
  local dir
  dir=$(cd "$(dirname "$1")" 2>/dev/null && pwd) || return 1
  while [ "$dir" != "/" ]; do
    if [ -f "$dir/CMakeCache.txt" ]; then echo "$dir"; return 0; fi
    dir=$(dirname "$dir")
  done
  return 1
}

# The Xvfb started by --init: its state file holds "PID DISPLAY".
xvfb_state() { echo "$1/wine-xvfb"; }

# Prints the display of a build's Xvfb if that server is still running.
xvfb_display() {
  local state pid display
  state=$(xvfb_state "$1")
  [ -f "$state" ] || return 1
  read -r pid display <"$state" || return 1
  if [ -n "$pid" ] && grep -qs Xvfb "/proc/$pid/cmdline"; then
    echo "$display"
    return 0
  fi
  return 1
}

stop_xvfb() {
  local state pid display
  state=$(xvfb_state "$1")
  [ -f "$state" ] || return 0
  read -r pid display <"$state" || true
  if [ -n "${pid:-}" ] && grep -qs Xvfb "/proc/$pid/cmdline"; then
    kill "$pid" 2>/dev/null
  fi
  rm -f "$state"
}

start_xvfb() {
  local build=$1 fifo number pid
  if ! command -v Xvfb >/dev/null; then
    echo "wine-run: no Xvfb (package xvfb); programs that open windows will fail" >&2
    return 1
  fi
  fifo=$(mktemp -u "${TMPDIR:-/tmp}/wine-run-xvfb.XXXXXX")
  mkfifo "$fifo" || return 1
  # Xvfb picks a free display itself and writes its number when ready.
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp \
    3>"$fifo" </dev/null >/dev/null 2>&1 &
  pid=$!
  number=$(timeout 20 head -n 1 "$fifo")
  rm -f "$fifo"
  if [ -z "$number" ]; then
    kill "$pid" 2>/dev/null
    echo "wine-run: Xvfb did not start" >&2
    return 1
  fi
  echo "$pid :$number" >"$(xvfb_state "$build")"
  echo ":$number"
}

case "${1:-}" in
  --init|--stop)
    build=$(cd "${2:?usage: wine-run.sh $1 BUILD_DIR}" && pwd) || exit 1
    export WINEPREFIX="${TAMSOR_WINEPREFIX:-$build/wineprefix}"
    if [ "$1" = "--stop" ]; then
      [ -d "$WINEPREFIX" ] && "$WINESERVER" -k >/dev/null 2>&1
      stop_xvfb "$build"
      exit 0
    fi
    stop_xvfb "$build"
    if display=$(start_xvfb "$build"); then export DISPLAY="$display"; fi
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      mkdir -p "$WINEPREFIX"
      "$WINE" wineboot --init </dev/null >/dev/null 2>&1
      status=$?
      # Let the prefix be written out completely before anyone uses it.
      "$WINESERVER" -w
      if [ $status -ne 0 ] || [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "wine-run: could not create the wine prefix $WINEPREFIX" >&2
        stop_xvfb "$build"
        exit 1
      fi
    fi
    # Starting the server and wine's own background processes costs a second
    # or more per program; keep them up until 30 s after the last program
    # ends (or --stop). They are started here, with their output going
    # nowhere: started by a test program they would inherit its output pipe,
    # and ctest would wait for them to go away.
    "$WINESERVER" -p30 >/dev/null 2>&1 || true
    "$WINE" wineboot </dev/null >/dev/null 2>&1 || true
    exit 0
    ;;
esac

if [ $# -lt 1 ]; then
  echo "usage: wine-run.sh PROGRAM.exe [ARGS...] | --init BUILD_DIR | --stop BUILD_DIR" >&2
  exit 2
fi

build=""
if build=$(build_dir_of "$1"); then :; else build=""; fi
if [ -n "${TAMSOR_WINEPREFIX:-}" ]; then
  export WINEPREFIX="$TAMSOR_WINEPREFIX"
elif [ -n "$build" ]; then
  export WINEPREFIX="$build/wineprefix"
else
  export WINEPREFIX="${XDG_CACHE_HOME:-$HOME/.cache}/tamsor/wineprefix"
fi
mkdir -p "$WINEPREFIX"
if [ -n "$build" ] && display=$(xvfb_display "$build"); then
  export DISPLAY="$display"
fi

exec "$WINE" "$@"
