#!/usr/bin/env bash
# Builds the Debian packages postvane and postvane-desktop (and their -dbgsym packages) in
# build-rel/, with Debian's hardening flags, from a Release build without tests.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "${POSTVANE_SKIP_SETUP:-}" = 1 ] || scripts/setup.sh
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(dpkg-buildflags --export=sh)"
# CMake reads CXXFLAGS and LDFLAGS, not CPPFLAGS (where _FORTIFY_SOURCE is).
export CXXFLAGS="$CXXFLAGS $CPPFLAGS"
cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPOSTVANE_TESTS=OFF -DPOSTVANE_BENCH=OFF \
      ${CMAKE_CXX_COMPILER_LAUNCHER:+-DCMAKE_CXX_COMPILER_LAUNCHER=$CMAKE_CXX_COMPILER_LAUNCHER} >/dev/null
cmake --build build-rel
(cd build-rel && cpack -G DEB >/dev/null)
ls build-rel/*.deb build-rel/*.ddeb 2>/dev/null || true
