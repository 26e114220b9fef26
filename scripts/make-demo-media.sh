#!/bin/sh
# Generates the demo programme that ships with the channel: three short HLS (VOD) streams, each
# with a visible label, a running clock and a tone, and the playlist document naming them by
# absolute file:// address. The channel then plays offline out of the box.
#
# Usage: make-demo-media.sh OUTDIR [SECONDS...]
#   OUTDIR   folder to write (demo-1/, demo-2/, ... and vorn-vimeo-playlist.json)
#   SECONDS  lengths of the streams (default: 24 30 36), one stream per value
set -eu

if [ $# -lt 1 ]; then
  echo "usage: $0 OUTDIR [SECONDS...]" >&2
  exit 2
fi
out=$1
shift
[ $# -gt 0 ] || set -- 24 30 36

command -v ffmpeg >/dev/null 2>&1 || { echo "$0: ffmpeg not found" >&2; exit 1; }
mkdir -p "$out"
out=$(cd "$out" && pwd)

# drawtext needs a font file when ffmpeg is built without a fontconfig default.
font=""
for f in /usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf \
         /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf; do
  if [ -f "$f" ]; then font="fontfile=$f:"; break; fi
done

# Pictures differ per stream so that a change of item is visible at a glance.
source_for() {
  case $1 in
    1) echo "testsrc2=size=640x360:rate=25" ;;
    2) echo "smptebars=size=640x360:rate=25" ;;
    *) echo "rgbtestsrc=size=640x360:rate=25" ;;
  esac
}

# Percent-encodes what is not safe in a file URL path.
file_url() {
  printf 'file://'
  printf '%s' "$1" | od -An -tx1 -v | tr -s ' \n' '  ' | tr ' ' '\n' | grep -v '^$' |
    while read -r h; do
      c=$(printf "\\$(printf '%03o' "0x$h")")
      case $c in
        [A-Za-z0-9/._~-]) printf '%s' "$c" ;;
        *) printf '%%%s' "$(echo "$h" | tr a-f A-F)" ;;
      esac
    done
}

json_entries=""
n=0
for seconds in "$@"; do
  n=$((n + 1))
  dir="$out/demo-$n"
  rm -rf "$dir"
  mkdir -p "$dir"
  freq=$((330 + 110 * n))
  label="${font}text='Demo $n':fontsize=56:fontcolor=white:box=1:boxcolor=black@0.6:boxborderw=12:x=(w-tw)/2:y=h/3-th"
  clock="${font}text='%{pts\\:hms}':fontsize=36:fontcolor=yellow:box=1:boxcolor=black@0.6:boxborderw=8:x=(w-tw)/2:y=h*2/3"
  ffmpeg -nostdin -hide_banner -loglevel error -y \
    -f lavfi -i "$(source_for "$n"):duration=$seconds" \
    -f lavfi -i "sine=frequency=$freq:sample_rate=48000:duration=$seconds" \
    -vf "drawtext=$label,drawtext=$clock" \
    -c:v libx264 -preset veryfast -pix_fmt yuv420p -g 50 -keyint_min 50 -sc_threshold 0 \
    -c:a aac -b:a 96k -ac 2 -shortest \
    -f hls -hls_time 2 -hls_playlist_type vod \
    -hls_segment_filename "$dir/segment-%03d.ts" "$dir/index.m3u8"
  # The listed length is what the media really lasts, read back from the stream itself.
  duration=$(ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 "$dir/index.m3u8")
  duration=$(printf '%.3f' "$duration")
  url=$(file_url "$dir/index.m3u8")
  [ -z "$json_entries" ] || json_entries="$json_entries,"
  json_entries="$json_entries
  {
    \"hls_url\": \"$url\",
    \"duration\": $duration,
    \"play_count\": 1,
    \"description_attribution\": \"Demo $n: test card, running clock and a $freq Hz tone ($seconds s). Generated locally with ffmpeg.\"
  }"
done

tmp="$out/vorn-vimeo-playlist.json.tmp"
printf '[%s\n]\n' "$json_entries" >"$tmp"
mv "$tmp" "$out/vorn-vimeo-playlist.json"
echo "demo programme: $n streams in $out"
