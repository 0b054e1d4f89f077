#!/usr/bin/env bash
# Runs one command in a desktop session of its own, as a screen reader sees
# it: Xvfb, a private session D-Bus and the accessibility bus. Nothing is
# shared with the caller's session, so a GApplication started inside is the
# only one of its id. Everything started here is stopped when the command
# ends, fails or runs out of time; the exit status is the command's (124
# after the time limit).
#
#   atspi-session.sh [--display :N|auto] [--screen WxH] [--timeout SECONDS] -- COMMAND...
#
# The display is $TAMSOR_ATSPI_DISPLAY or, by default, the first free one;
# its screen 1280x900 unless --screen says otherwise (scale 2 needs more).
# No window manager: GTK 4 draws its own decorations.
set -euo pipefail

display="${TAMSOR_ATSPI_DISPLAY:-auto}"
limit=0
screen=1280x900
while [ $# -gt 0 ]; do
  case "$1" in
    --display) display="$2"; shift 2 ;;
    --timeout) limit="$2"; shift 2 ;;
    --screen) screen="$2"; shift 2 ;;
    --) shift; break ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || { echo "usage: atspi-session.sh [--display :N|auto] [--screen WxH]" \
  "[--timeout SECONDS] -- COMMAND..." >&2; exit 2; }

work="$(mktemp -d /tmp/tamsor-atspi.XXXXXX)"
# Each background job gets a process group of its own, which is stopped as a
# whole: the bus launcher's own bus daemon, the wizards the command started.
set -m
groups=()
stop_all() {
  local status=$?
  trap - EXIT INT TERM HUP
  if [ ${#groups[@]} -gt 0 ]; then
    for group in "${groups[@]}"; do kill -TERM -- "-$group" 2>/dev/null || true; done
    for _ in $(seq 50); do
      pgrep -g "$(IFS=,; echo "${groups[*]}")" >/dev/null || break
      sleep 0.1
    done
    for group in "${groups[@]}"; do kill -KILL -- "-$group" 2>/dev/null || true; done
  fi
  rm -rf "$work"
  exit "$status"
}
trap stop_all EXIT
trap 'exit 143' TERM; trap 'exit 130' INT; trap 'exit 129' HUP

start() {  # start NAME COMMAND...: in the background, its output in NAME.log
  local name="$1"
  shift
  "$@" </dev/null >"$work/$name.log" 2>&1 &
  groups+=($!)
}

wait_for() {  # wait_for WHAT COMMAND...: polls COMMAND for 20 s
  local what="$1" tries=200
  shift
  until "$@" >/dev/null 2>&1; do
    tries=$((tries - 1))
    if [ $tries -le 0 ]; then
      echo "atspi-session: $what did not come up within 20 s (Debian: xvfb dbus at-spi2-core)" >&2
      tail -n 20 "$work"/*.log >&2 || true
      exit 1
    fi
    sleep 0.1
  done
}

# Xvfb writes the display's number once it takes connections.
number="${display#auto}"
number="${number#:}"
start xvfb Xvfb ${number:+":$number"} -displayfd 3 -screen 0 "${screen}x24" -nolisten tcp \
  -noreset 3>"$work/display"
wait_for "Xvfb $display" test -s "$work/display"
DISPLAY=":$(head -n 1 "$work/display")"; export DISPLAY

export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/session-bus"
start dbus dbus-daemon --session --nofork --nopidfile --address="$DBUS_SESSION_BUS_ADDRESS"
wait_for "the session bus" dbus-send --session --dest=org.freedesktop.DBus \
  /org/freedesktop/DBus org.freedesktop.DBus.Peer.Ping
# The accessibility bus; its registry starts on the first call.
start bus-launcher /usr/libexec/at-spi-bus-launcher --launch-immediately
wait_for "the accessibility bus" dbus-send --session --print-reply --dest=org.a11y.Bus \
  /org/a11y/bus org.a11y.Bus.GetAddress
a11y="$(dbus-send --session --dest=org.a11y.Bus --print-reply=literal /org/a11y/bus \
  org.a11y.Bus.GetAddress | tr -d ' ')"
wait_for "the accessibility registry" dbus-send --bus="$a11y" --print-reply \
  --dest=org.a11y.atspi.Registry /org/a11y/atspi/accessible/root org.freedesktop.DBus.Peer.Ping

export GTK_A11Y=atspi GSETTINGS_BACKEND=memory GDK_BACKEND=x11
unset NO_AT_BRIDGE WAYLAND_DISPLAY
# In the foreground of its group: what the command leaves behind is stopped
# above. A limit of 0 is none.
timeout --foreground --kill-after=10 "$limit" "$@" </dev/null &
groups+=($!)
wait "${groups[-1]}"
