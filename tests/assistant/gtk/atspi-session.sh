#!/usr/bin/env bash
# Runs one command in a desktop session of its own, as a screen reader sees
# it: Xvfb on a display of its own, a private session D-Bus, the
# accessibility bus (at-spi-bus-launcher) and its registry. Nothing is shared
# with the caller's session, so a GApplication started inside is the only
# one of its id. Everything started here is stopped when the command ends,
# fails, or the time limit runs out; the exit status is the command's (124
# after the time limit). Works as root and without standard input.
#
#   atspi-session.sh [--display :N|auto] [--timeout SECONDS] [--size WxH] -- COMMAND...
#
# The display is $TAMSOR_ATSPI_DISPLAY or, by default, the first free one
# (auto: Xvfb picks it itself, so parallel runs never share one).
#
# Not done here: a window manager (GTK 4 draws its own decorations).
set -euo pipefail

display="${TAMSOR_ATSPI_DISPLAY:-auto}"
limit=0
size=1280x900
while [ $# -gt 0 ]; do
  case "$1" in
    --display) display="$2"; shift 2 ;;
    --timeout) limit="$2"; shift 2 ;;
    --size) size="$2"; shift 2 ;;
    --) shift; break ;;
    -*) echo "atspi-session: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
if [ $# -eq 0 ]; then
  echo "usage: atspi-session.sh [--display :N|auto] [--timeout SECONDS] [--size WxH] -- COMMAND..." >&2
  exit 2
fi
for tool in Xvfb dbus-daemon dbus-send /usr/libexec/at-spi-bus-launcher /usr/libexec/at-spi2-registryd; do
  if ! command -v "$tool" >/dev/null; then
    echo "atspi-session: $tool is missing (Debian: xvfb dbus at-spi2-core)" >&2
    exit 2
  fi
done

work="$(mktemp -d /tmp/tamsor-atspi.XXXXXX)"
pids=()

# Stops what we started, newest first, then anything they left behind that is
# still our descendant (the launcher's own bus daemon, say).
children() {  # without procps where the kernel lists them
  if [ -r "/proc/$1/task/$1/children" ]; then
    cat /proc/"$1"/task/*/children 2>/dev/null
  else
    ps -o pid= --ppid "$1" 2>/dev/null
  fi
}
descendants() {
  local child
  for child in $(children "$1"); do
    descendants "$child"
    echo "$child"
  done
}
stop_all() {
  local status=$?
  trap - EXIT INT TERM HUP
  local left=() i pid
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    pid="${pids[$i]}"
    left+=($(descendants "$pid") "$pid")
  done
  if [ ${#left[@]} -gt 0 ]; then
    kill -TERM "${left[@]}" 2>/dev/null || true
    for _ in $(seq 50); do
      kill -0 "${left[@]}" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "${left[@]}" 2>/dev/null || true
    wait 2>/dev/null || true
  fi
  rm -rf "$work"
  exit "$status"
}
trap stop_all EXIT
trap 'exit 143' TERM
trap 'exit 130' INT
trap 'exit 129' HUP

wait_for() {  # wait_for WHAT SECONDS COMMAND...: polls until COMMAND succeeds
  local what="$1" seconds="$2"
  shift 2
  local tries=$((seconds * 10))
  until "$@" >/dev/null 2>&1; do
    tries=$((tries - 1))
    if [ $tries -le 0 ]; then
      echo "atspi-session: $what did not come up within $seconds s" >&2
      for log in "$work"/*.log; do
        echo "--- $(basename "$log"):" >&2
        tail -n 20 "$log" >&2
      done
      exit 1
    fi
    sleep 0.1
  done
}

# ---- X server -------------------------------------------------------------------
if [ "$display" = auto ]; then
  # Xvfb writes the number it took once it accepts connections.
  Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp -noreset \
    3>"$work/display" </dev/null >"$work/xvfb.log" 2>&1 &
  pids+=($!)
  wait_for "Xvfb" 20 grep -q '^[0-9]' "$work/display"
  display=":$(head -n 1 "$work/display")"
else
  number="${display#:}"
  if [ -e "/tmp/.X$number-lock" ] && kill -0 "$(tr -d ' ' <"/tmp/.X$number-lock")" 2>/dev/null; then
    echo "atspi-session: display $display is in use by another X server" >&2
    exit 1
  fi
  Xvfb "$display" -screen 0 "${size}x24" -nolisten tcp -noreset </dev/null >"$work/xvfb.log" 2>&1 &
  pids+=($!)
  wait_for "Xvfb $display" 20 test -S "/tmp/.X11-unix/X$number"
fi
export DISPLAY="$display"

# ---- Session bus and accessibility bus ------------------------------------------------
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/session-bus"
dbus-daemon --session --nofork --nopidfile --address="$DBUS_SESSION_BUS_ADDRESS" \
  </dev/null >"$work/dbus.log" 2>&1 &
pids+=($!)
wait_for "the session bus" 20 dbus-send --session --dest=org.freedesktop.DBus --print-reply \
  /org/freedesktop/DBus org.freedesktop.DBus.ListNames

/usr/libexec/at-spi-bus-launcher --launch-immediately </dev/null >"$work/bus-launcher.log" 2>&1 &
pids+=($!)
wait_for "the accessibility bus" 20 dbus-send --session --dest=org.a11y.Bus --print-reply \
  /org/a11y/bus org.a11y.Bus.GetAddress
a11y_address="$(dbus-send --session --dest=org.a11y.Bus --print-reply=literal \
  /org/a11y/bus org.a11y.Bus.GetAddress | tr -d ' ')"
/usr/libexec/at-spi2-registryd </dev/null >"$work/registryd.log" 2>&1 &
pids+=($!)
wait_for "the accessibility registry" 20 dbus-send --bus="$a11y_address" \
  --dest=org.a11y.atspi.Registry --print-reply /org/a11y/atspi/accessible/root \
  org.freedesktop.DBus.Properties.Get string:org.a11y.atspi.Accessible string:Name

# ---- The command --------------------------------------------------------------------
export GTK_A11Y=atspi GSETTINGS_BACKEND=memory GDK_BACKEND=x11
unset NO_AT_BRIDGE WAYLAND_DISPLAY
if [ "$limit" -gt 0 ]; then
  timeout --signal=TERM --kill-after=10 "$limit" "$@" </dev/null &
else
  "$@" </dev/null &
fi
pids+=($!)
set +e
wait "${pids[-1]}"
status=$?
set -e
unset 'pids[-1]'
exit "$status"
