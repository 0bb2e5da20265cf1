#!/usr/bin/env bash
# The status window's refresh cost on a private Xvfb display (a real X11 window, real painting).
#     bench/status_window_cost.sh [seconds]      (default 60)
# Builds the Release programs into build-rel (BUILD=folder picks another).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build-rel}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" -j2 --target status_window_bench >/dev/null
exec 3< <(Xvfb -displayfd 1 -screen 0 900x640x24 -nolisten tcp 2>/dev/null & echo "pid $!")
# Two lines arrive, in either order: "pid N" and the display number Xvfb chose.
for _ in 1 2; do
  read -r first second <&3
  if [ "$first" = pid ]; then XVFB_PID=$second; else DISPLAY_NUMBER=$first; fi
done
trap 'kill "$XVFB_PID" 2>/dev/null || true' EXIT
DISPLAY=":$DISPLAY_NUMBER" QT_QPA_PLATFORM=xcb "$BUILD/bin/status_window_bench" "${1:-60}"
