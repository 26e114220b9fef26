#!/bin/sh
# Runs a command on a private virtual display (Xvfb, 1280x720) with a window manager (openbox, so
# that windows can be minimised and closed as a user would), then tears both down.
# Usage: run-window-test.sh COMMAND [ARGS...]
set -u

if [ $# -lt 1 ]; then
  echo "usage: $0 COMMAND [ARGS...]" >&2
  exit 2
fi
for tool in Xvfb openbox xdotool import; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "$0: $tool is missing (packages xvfb openbox xdotool imagemagick)" >&2
    exit 1
  fi
done

work=$(mktemp -d)
xvfb=""
wm=""
cleanup() {
  [ -z "$wm" ] || kill "$wm" 2>/dev/null
  [ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null
  [ -z "$wm" ] || wait "$wm" 2>/dev/null
  [ -z "$xvfb" ] || wait "$xvfb" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# -displayfd picks a free display number and reports it once the server accepts clients.
Xvfb -displayfd 3 -screen 0 1280x720x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
tries=0
while [ ! -s "$work/display" ]; do
  tries=$((tries + 1))
  if [ $tries -gt 100 ] || ! kill -0 "$xvfb" 2>/dev/null; then
    echo "$0: Xvfb did not start" >&2
    cat "$work/xvfb.log" >&2
    exit 1
  fi
  sleep 0.1
done
DISPLAY=":$(cat "$work/display")"
export DISPLAY
# OpenGL through software rendering wants a runtime folder.
XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
export XDG_RUNTIME_DIR

openbox --sm-disable >"$work/openbox.log" 2>&1 &
wm=$!
# The window manager is ready once it has taken the screen.
tries=0
until xdotool getactivewindow >/dev/null 2>&1 || [ $tries -gt 20 ]; do
  tries=$((tries + 1))
  sleep 0.1
done
sleep 0.3

"$@"
status=$?
exit $status
