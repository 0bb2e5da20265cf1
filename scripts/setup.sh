#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Postvane need.
set -euo pipefail

PACKAGES=(
  g++ cmake ninja-build pkg-config
  libsqlite3-dev
  libssl-dev openssl ca-certificates  # TLS for the LAN side and the provider; the tests' certificates
  libcurl4-openssl-dev nlohmann-json3-dev  # OAuth2 token calls to the provider (HTTPS and JSON)
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-aiosmtpd
  swaks libnet-ssleay-perl libio-socket-ssl-perl  # swaks --tls needs the Perl TLS modules
  libio-socket-inet6-perl  # swaks -6 (IPv6) needs it
  finger                  # a real finger client for the finger service's tests
  fetchmail getmail6      # real POP3 and IMAP clients for the tests
  isync                   # mbsync: a real IMAP client that syncs both ways, for the IMAP tests
  postfix                 # a real relay for the transmitter's tests (a private instance each time)
  dovecot-pop3d           # a real provider POP3 server for SmartPop's tests (a private instance each time)
  dpkg-dev file passwd systemd  # building and checking the .deb and its service unit
  lintian binutils        # the packages held to Debian's checks; stripped programs with their debug symbols apart
  logrotate               # the package recommends it: its install test in a throw-away root then needs no download
  qt6-base-dev libqt6svg6 # the status window (the SVG plugin draws its icon)
  xvfb xauth imagemagick  # the window under a virtual display, and its screenshot
  e2fsprogs mount         # the disk-full run puts the spool on a small loop-mounted ext4 image
  clang libclang-rt-14-dev  # libFuzzer and its sanitizer runtimes for bench/fuzz.sh
  libcpp-httplib-dev libsodium-dev  # the web console's HTTP server and its password hash
  chromium nodejs         # the web console's browser tests (puppeteer-core drives chromium)
)

missing=()
# Debian's nodejs comes without npm; some nodejs builds bring their own, which Debian's npm
# would conflict with.
command -v npm >/dev/null || PACKAGES+=(npm)
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  echo "Installing: ${missing[*]}"
  # The tests run their own Postfix on a loopback port; the package is not to set up (and start)
  # a mail system of its own on port 25.
  echo "postfix postfix/main_mailer_type select No configuration" | $SUDO debconf-set-selections
  # Nor is Dovecot to start a system service: the tests run their own instance on a free
  # loopback port. Where no policy says otherwise, services stay down during the install.
  POLICY=/usr/sbin/policy-rc.d
  OWN_POLICY=""
  if [ ! -e "$POLICY" ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$POLICY" >/dev/null
    $SUDO chmod 755 "$POLICY"
    OWN_POLICY=1
    trap '$SUDO rm -f "$POLICY"' EXIT  # also when the install fails
  fi
  # Another apt or dpkg run (an unattended upgrade, a second terminal) holds the dpkg lock for a
  # while: wait for it, up to LOCK_WAIT seconds, rather than give up.
  LOCK_WAIT=(-o DPkg::Lock::Timeout=900)
  $SUDO apt-get "${LOCK_WAIT[@]}" update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get "${LOCK_WAIT[@]}" install -y --no-install-recommends "${missing[@]}"
  # A system Dovecot already enabled by an earlier install stays as the operator left it; one
  # this script brought in is not to start at the next boot.
  if [[ " ${missing[*]} " == *" dovecot-pop3d "* ]] && command -v systemctl >/dev/null && [ -d /run/systemd/system ]; then
    $SUDO systemctl disable --now dovecot.service dovecot.socket >/dev/null 2>&1 || true
  fi
fi

# The browser tests' driver, at the version package-lock.json pins (the npm registry).
WEB_TESTS="$(cd "$(dirname "$0")/../tests/web" && pwd)"
if [ ! -d "$WEB_TESTS/node_modules/puppeteer-core" ]; then
  (cd "$WEB_TESTS" && npm ci --no-audit --no-fund)
fi
