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

# Wanted but not needed: the metrics test also runs Prometheus's own linter (promtool) when
# it is there, and falls back to its own strict reader when it is not.
optional=(prometheus)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
missing_optional=()
for package in "${optional[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing_optional+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ] && [ ${#missing_optional[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
"${sudo_cmd[@]}" apt-get update -qq
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
fi
if [ ${#missing_optional[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing_optional[*]} (optional)"
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing_optional[@]}" || echo "install-deps: ${missing_optional[*]} not installed; going on"
fi
