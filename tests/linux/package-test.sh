#!/bin/sh
# The Debian package as a fresh machine gets it: unpacked into an empty root, its own binary runs
# from there and finds its data beside itself, its unit passes systemd-analyze, its man page
# renders cleanly and its settings file is a conffile naming every key the man page documents, at
# its default, and accepted by the channel once uncommented.
# Reuses the package of the build (scripts/test.sh makes it before the tests); makes it only when
# it is missing or older than what goes into it.
# Usage: package-test.sh SOURCE_DIR BUILD_DIR COMMANDS   (COMMANDS: 1 when vorn has schedule/check)
set -eu
src=$1
build=$2
commands=$3

fail() {
  echo "package-test: $*" >&2
  exit 1
}

deb=$(ls -t "$build"/vorn_*.deb 2>/dev/null | head -n 1 || true)
if [ -z "$deb" ] || [ -n "$(find "$build/vorn" "$src/dist" "$build/share/vorn" -newer "$deb" | head -n 1)" ]; then
  echo "package-test: making the package"
  (cd "$build" && cpack -G DEB >/dev/null) || fail "cpack failed"
  deb=$(ls -t "$build"/vorn_*.deb | head -n 1)
fi
echo "package-test: $deb"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$work/control"

for file in usr/bin/vorn etc/vorn/vorn.toml usr/lib/systemd/user/vorn.service \
            usr/share/man/man1/vorn.1.gz usr/share/doc/vorn/copyright \
            usr/share/vorn/vorn-vimeo-playlist.json usr/share/bash-completion/completions/vorn \
            usr/share/applications/vorn.desktop; do
  [ -f "$root/$file" ] || fail "/$file is not in the package"
done
grep -qx /etc/vorn/vorn.toml "$work/control/conffiles" || fail "/etc/vorn/vorn.toml is not a conffile"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libmpv libcurl libsystemd; do
  echo "$depends" | grep -q "$library" || fail "Depends lacks $library: $depends"
done

# The packaged playlist names streams that the package installs.
playlist=$root/usr/share/vorn/vorn-vimeo-playlist.json
streams=$(grep -o '"file://[^"]*"' "$playlist" | tr -d '"' | sed 's|^file://||')
[ -n "$streams" ] || fail "no stream in the packaged playlist"
for stream in $streams; do
  case $stream in
    /usr/share/vorn/*) [ -f "$root$stream" ] || fail "the package lacks $stream" ;;
    *) fail "the packaged playlist names $stream, outside the package" ;;
  esac
done

# Every settings key is in the settings file, commented out, and in the man page.
keys=$(sed -n 's/^#\([a-z_]*\) = .*/\1/p' "$root/etc/vorn/vorn.toml")
# One line per key, set or not.
key_count=$(env -u HOME -u XDG_STATE_HOME XDG_CONFIG_HOME="$work/none" "$root/usr/bin/vorn" \
  --config /dev/null --print-config | wc -l)
[ "$(echo "$keys" | wc -l)" -eq "$key_count" ] ||
  fail "the settings file has keys: $keys (the channel has $key_count)"
if grep -q '^[a-z_]* *=' "$root/etc/vorn/vorn.toml"; then
  fail "the settings file sets a key instead of showing its default"
fi
page=$(gzip -dc "$root/usr/share/man/man1/vorn.1.gz")
for key in $keys; do
  echo "$page" | grep -q "^\.BR* $key\b" || fail "the man page does not describe $key"
done
warnings=$(LC_ALL=C.UTF-8 man -l --warnings -E UTF-8 "$root/usr/share/man/man1/vorn.1.gz" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "the man page renders with warnings: $warnings"

# The unit as systemd reads it. systemd-analyze checks that ExecStart's program exists and that
# Documentation's man page opens, so both are pointed into the unpacked root.
mkdir -m 700 "$work/runtime"
sed "s|^ExecStart=/usr/bin/vorn|ExecStart=$root/usr/bin/vorn|" \
  "$root/usr/lib/systemd/user/vorn.service" >"$work/vorn.service"
grep -q "^ExecStart=$root/usr/bin/vorn" "$work/vorn.service" || fail "ExecStart is not /usr/bin/vorn"
(cd "$work" && XDG_RUNTIME_DIR=$work/runtime MANPATH=$root/usr/share/man \
  systemd-analyze verify --user "$work/vorn.service") || fail "systemd-analyze verify failed"

# The packaged binary, run from the unpacked root with nothing of the build around.
unset VORN_DATA_DIR VORN_PLAYLIST_URL VORN_CA_FILE
export XDG_CONFIG_HOME=$work/config XDG_STATE_HOME=$work/state
run() {
  status=0
  out=$("$root/usr/bin/vorn" "$@" 2>"$work/stderr") || status=$?
  if [ "$status" -ne 0 ]; then
    cat "$work/stderr" >&2
    fail "vorn $* exited with status $status"
  fi
  [ -n "$out" ] || fail "vorn $* printed nothing"
  printf '%s\n' "$out" | head -n 5
}
run --version
version=$("$root/usr/bin/vorn" --version)
for library in git mpv FFmpeg curl; do
  echo "$version" | grep -q "^$library [^ ]" || fail "--version does not name $library: $version"
done

# Completion in bash, as installed: a prefix completes, and a value after its option (which
# options each command is offered, the command test checks against their help). The helpers of
# the bash-completion package are stood in for, so the check needs only bash.
completion=$root/usr/share/bash-completion/completions/vorn
bash -n "$completion" || fail "the completion file is not valid bash"
completed=$(bash -c '
  _init_completion() { cur=${COMP_WORDS[COMP_CWORD]}; prev=${COMP_WORDS[COMP_CWORD-1]};
    words=("${COMP_WORDS[@]}"); cword=$COMP_CWORD; }
  _filedir() { :; }
  source "$1"
  COMP_WORDS=(vorn --inact); COMP_CWORD=1; _vorn; echo "${COMPREPLY[*]}"
  COMP_WORDS=(vorn schedule --format x); COMP_CWORD=3; _vorn; echo "${COMPREPLY[*]}"
  COMP_WORDS=(vorn --hwdec vaapi-c); COMP_CWORD=2; _vorn; echo "${COMPREPLY[*]}"' _ "$completion")
[ "$completed" = "$(printf '%s\n' --inactivity-pause xmltv vaapi-copy)" ] ||
  fail "completion offers: $completed"

# The settings file with every key uncommented is one the channel accepts, every line of it read,
# and a key that has a built-in default shows exactly that default.
sed 's/^#\([a-z_]* = \)/\1/' "$root/etc/vorn/vorn.toml" >"$work/uncommented.toml"
status=0
effective=$(env -u HOME -u XDG_STATE_HOME "$root/usr/bin/vorn" --config "$work/uncommented.toml" \
  --print-config 2>&1) || status=$?
[ "$status" -eq 0 ] || fail "the uncommented settings file is refused ($status): $effective"
read_keys=$(echo "$effective" | grep -c "# config file $work/uncommented.toml\$" || true)
[ "$read_keys" -eq "$key_count" ] || fail "the uncommented settings file sets $read_keys keys: $effective"
defaults=$(env -u HOME -u XDG_STATE_HOME "$root/usr/bin/vorn" --config /dev/null --print-config |
  sed -n 's/^\([a-z_]* = .*[^ ]\)  *# default$/\1/p')
[ "$(echo "$defaults" | wc -l)" -ge 9 ] || fail "too few defaults printed: $defaults"
echo "$defaults" | while IFS= read -r line; do
  grep -qxF "#$line" "$root/etc/vorn/vorn.toml" || fail "the settings file does not show the default $line"
done
if [ "$commands" = 1 ]; then
  run check --playlist "$playlist"
  run schedule --playlist "$playlist" --from 2026-12-06T00:00:00Z --hours 1
else
  echo "package-test: this build has no schedule and check commands yet"
fi
echo "package-test: ok"
