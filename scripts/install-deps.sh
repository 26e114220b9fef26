#!/usr/bin/env bash
# Installs the Debian packages Vorn Channel needs to build, run and test. Idempotent; needs root
# (or sudo). Skips the package-list update when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git clang-format
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libsimdjson-dev libasio-dev libcurl4-openssl-dev ca-certificates
  libmpv-dev mpv ffmpeg libavformat-dev libxml2-utils libsdbus-c++-dev libcpp-httplib-dev libssl-dev
  openssl libcli11-dev libtomlplusplus-dev
  xvfb openbox xdotool imagemagick x11-utils dbus dbus-x11 playerctl fonts-dejavu-core libx11-dev
  libsystemd-dev systemd dpkg-dev file man-db
  clang libclang-rt-dev
  xmltv-util cage xwayland grim
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
echo "install-deps: installing ${missing[*]}"
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
  "${missing[@]}"
