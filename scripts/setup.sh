#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Postvane need.
set -euo pipefail

PACKAGES=(
  g++ cmake ninja-build pkg-config
  libsqlite3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-aiosmtpd
  swaks
  fetchmail
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
