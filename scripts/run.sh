#!/usr/bin/env bash
# Installs what the channel needs, builds it, and runs it on its embedded default programme:
# full screen when there is a display, headless (log only) when there is none. Extra arguments go
# to vorn (for example --windowed).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target vorn vorn_demo_media
exec ./build/vorn "$@"
