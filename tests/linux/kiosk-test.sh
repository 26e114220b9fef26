#!/bin/sh
# The kiosk recipe's display path: `vorn` under the cage compositor on wlroots' headless backend
# (no screen needed), as an unprivileged user (cage refuses to run as root), playing the packaged
# demo programme. Passes once the first frame of the video is on cage's screen: a screenshot taken
# through the compositor (grim) shows the demo's colour bars.
# Usage: kiosk-test.sh VORN-BINARY DATA-DIR
set -u

fail() {
  echo "kiosk-test: $*" >&2
  exit 1
}
[ $# -eq 2 ] || fail "usage: $0 VORN-BINARY DATA-DIR"
vorn=$1
data=$2
for tool in cage grim Xwayland convert; do
  command -v "$tool" >/dev/null 2>&1 || fail "$tool is missing (packages cage grim xwayland imagemagick)"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
mkdir -m 700 "$work/runtime"
as_user=""
if [ "$(id -u)" -eq 0 ]; then
  chown nobody:nogroup "$work" "$work/runtime"
  as_user="setpriv --reuid=nobody --regid=nogroup --clear-groups"
fi
# The channel plays the demo streams where the build made them, so that user must reach them. A
# build tree it cannot reach (a clone inside a private home folder) is copied where it can, with
# the playlist's stream addresses moved along.
if ! $as_user sh -c 'test -x "$1" && test -r "$2/vorn-vimeo-playlist.json"' _ "$vorn" "$data"; then
  mkdir -p "$work/copy/bin"
  cp "$vorn" "$work/copy/bin/vorn"
  cp -R "$data" "$work/copy/data"
  sed -i "s|file://$data/|file://$work/copy/data/|g" "$work/copy/data/vorn-vimeo-playlist.json"
  chmod -R a+rX "$work/copy"
  vorn=$work/copy/bin/vorn
  data=$work/copy/data
  $as_user sh -c 'test -x "$1" && test -r "$2/vorn-vimeo-playlist.json"' _ "$vorn" "$data" ||
    fail "the unprivileged user cannot run $vorn or read $data"
fi

# Inside the session: start the channel, wait for its first frame, then take screenshots until
# one shows the picture (a slow machine may show the black cover, or the slate of a stream that
# stalled at its start, for a few seconds).
cat >"$work/session.sh" <<'SESSION'
#!/bin/sh
work=$1
"$VORN" --developer-mode --state-dir "$work/state" >"$work/vorn.log" 2>&1 &
channel=$!
tries=0
until grep -q "firstVideoLoaded: " "$work/vorn.log"; do
  tries=$((tries + 1))
  if [ $tries -gt 600 ] || ! kill -0 $channel 2>/dev/null; then
    echo "no first frame" >"$work/result"
    kill $channel 2>/dev/null
    exit 1
  fi
  sleep 0.1
done
for shot in $(seq 1 20); do
  sleep 1
  grim "$work/shot.png" 2>>"$work/grim.log" || continue
  # The first bar of the test card is red, the third yellow.
  left=$(convert "$work/shot.png" -crop 1x1+60+600 -depth 8 txt:- | grep -o '#[0-9A-F]\{6\}')
  third=$(convert "$work/shot.png" -crop 1x1+530+600 -depth 8 txt:- | grep -o '#[0-9A-F]\{6\}')
  echo "$shot: $left $third" >>"$work/pixels"
  case "$left $third" in
    "#F"?"0"?"0"?" #F"?"F"?"0"?|"#E"?"0"?"0"?" #E"?"E"?"0"?)
      echo "picture" >"$work/result"
      break
      ;;
  esac
done
kill $channel
wait $channel
echo "exit $?" >>"$work/result"
SESSION
chmod 755 "$work/session.sh"

# The pixman renderer draws without a GPU; the software-only output test of the default one fails.
env -i PATH=/usr/bin:/bin HOME="$work" XDG_RUNTIME_DIR="$work/runtime" WLR_BACKENDS=headless \
  WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 VORN_DATA_DIR="$data" VORN="$vorn" \
  DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/vorn-test-bus \
  timeout 120 $as_user cage -- "$work/session.sh" "$work" >"$work/cage.log" 2>&1

result=$(cat "$work/result" 2>/dev/null)
case "$result" in
  "picture
exit 0") echo "kiosk-test: the first frame is on cage's screen"; exit 0 ;;
esac
echo "kiosk-test: result: $result" >&2
echo "pixels: $(cat "$work/pixels" 2>/dev/null)" >&2
tail -n 20 "$work/vorn.log" "$work/cage.log" >&2 2>/dev/null
exit 1
