#!/usr/bin/env bash
# Sets up, builds and runs Postvane on a working default configuration. The hive and the spool
# live in ./var unless POSTVANE_HIVE says otherwise; the first run writes the defaults.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPOSTVANE_TESTS=OFF -DPOSTVANE_BENCH=OFF >/dev/null
cmake --build build
export POSTVANE_HIVE="${POSTVANE_HIVE:-$PWD/var/registry.db}"
if ! build/bin/postvane-reg query "" /v Gateway >/dev/null 2>&1; then
  build/bin/postvane-wizard --defaults
fi
exec build/bin/postvane --headless "$@"
