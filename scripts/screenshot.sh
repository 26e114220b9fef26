#!/bin/sh
# Takes docs/screenshot-paused.png for the README: the channel, windowed on a private virtual
# display, plays its packaged demo programme; once the picture is up a click pauses it, and the
# window is captured with the paused band at its foot.
# Usage: scripts/screenshot.sh [BUILD_DIR]   (default: build; needs targets vorn and vorn_demo_media)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" != "--on-display" ]; then
  build=$(cd "${1:-$root/build}" && pwd)
  if [ ! -f "$build/share/vorn/vorn-vimeo-playlist.json" ] || [ ! -x "$build/vorn" ]; then
    echo "$0: build first: cmake --build $build --target vorn vorn_demo_media" >&2
    exit 1
  fi
  exec "$root/tests/linux/run-window-test.sh" "$0" --on-display "$build"
fi

# On the virtual display (DISPLAY set by run-window-test.sh).
build=$2
vorn=$build/vorn
VORN_DATA_DIR=$build/share/vorn
export VORN_DATA_DIR
log=$(mktemp)
"$vorn" --windowed 2>"$log" &
vorn=$!
stop() {
  kill "$vorn" 2>/dev/null || true
  wait "$vorn" 2>/dev/null || true
  rm -f "$log"
}
trap stop EXIT

# The first picture is in once the channel has lifted its cover.
tries=0
until grep -q "boundaryTimeObserver callback for first video" "$log"; do
  tries=$((tries + 1))
  if [ $tries -gt 600 ] || ! kill -0 "$vorn" 2>/dev/null; then
    echo "$0: no picture from vorn; its log:" >&2
    cat "$log" >&2
    exit 1
  fi
  sleep 0.1
done
sleep 2
window=$(xdotool search --sync --name 'Vorn Channel' | head -n 1)
xdotool windowactivate --sync "$window" mousemove --window "$window" 200 150 click 1
tries=0
until grep -q "handleAllGestureRecognizers: pausing" "$log"; do
  tries=$((tries + 1))
  if [ $tries -gt 100 ]; then
    echo "$0: the click did not pause the channel; its log:" >&2
    cat "$log" >&2
    exit 1
  fi
  sleep 0.1
done
sleep 1
mkdir -p "$root/docs"
import -window "$window" "$root/docs/screenshot-paused.png"
echo "wrote $root/docs/screenshot-paused.png"
