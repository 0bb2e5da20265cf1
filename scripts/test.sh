#!/usr/bin/env bash
# Sets up, builds with AddressSanitizer and UndefinedBehaviorSanitizer, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build-test -G Ninja -DPOSTVANE_SANITIZE=ON -DPOSTVANE_WERROR=ON -DCMAKE_BUILD_TYPE=Debug
cmake --build build-test
cd build-test
ctest --output-on-failure --timeout 600 -j2
