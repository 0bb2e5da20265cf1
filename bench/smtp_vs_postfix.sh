#!/usr/bin/env bash
# SMTP intake rate: smtp-source sends the same load to Postvane (its spooler delivering into
# the local mailbox at the same time) and, in the same run, to a private Postfix instance (its own folders, mail discarded after queueing) on another loopback
# port. Both keep their durability settings: every message is on disk before its "250".
#
#   bench/smtp_vs_postfix.sh [messages] [sessions] [size]
set -euo pipefail
cd "$(dirname "$0")/.."
MESSAGES=${1:-5000}
SESSIONS=${2:-20}
SIZE=${3:-4096}

if ! command -v smtp-source >/dev/null 2>&1 && [ ! -x /usr/sbin/smtp-source ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends postfix
fi
PATH=$PATH:/usr/sbin
[ "$(id -u)" -eq 0 ] || { echo "The Postfix side needs root (its daemons change user); run as root." >&2; exit 1; }

cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DPOSTVANE_TESTS=OFF >/dev/null
cmake --build build-rel >/dev/null

WORK=$(mktemp -d /tmp/pv-smtpbench-XXXXXX)
PV_PID=""
cleanup() {
  [ -n "$PV_PID" ] && kill "$PV_PID" 2>/dev/null || true
  postfix -c "$WORK/pf/etc" stop >/dev/null 2>&1 || true
  sleep 1
  [ -n "${KEEP_WORK:-}" ] && echo "kept $WORK" || rm -rf "$WORK"
}
trap cleanup EXIT

source bench/lib.sh  # the script runs from the project root
rate() {  # port
  local start end
  start=$(date +%s.%N)
  smtp-source -s "$SESSIONS" -m "$MESSAGES" -l "$SIZE" -M bench.client -f sender@remote.test \
    -t alice@example.test "127.0.0.1:$1"
  end=$(date +%s.%N)
  python3 -c "print(f'{$MESSAGES / ($end - $start):.0f}')"
}

# Postvane on its own hive and spool.
PV_PORT=$(free_port)
export POSTVANE_HIVE="$WORK/pv/registry.db"
build-rel/bin/postvane-wizard --defaults --domain example.test >/dev/null
build-rel/bin/postvane-reg add AdvCon /v smtpinport /t REG_DWORD /d "$PV_PORT" >/dev/null
build-rel/bin/postvane-admin mailbox add alice >/dev/null
build-rel/bin/postvane-reg add "" /v LogAll /t REG_DWORD /d 0 >/dev/null
build-rel/bin/postvane --headless >/dev/null 2>&1 &
PV_PID=$!
wait_port "$PV_PORT"

# Postfix, private: its own configuration, queue and data folders; mail is discarded once
# queued, so what is measured is intake.
PF_PORT=$(free_port)
mkdir -p "$WORK/pf/etc" "$WORK/pf/queue" "$WORK/pf/data"
chown postfix "$WORK/pf/data"
chmod 755 "$WORK" "$WORK/pf"  # the Postfix daemons run as the postfix user
cat > "$WORK/pf/etc/main.cf" <<CF
compatibility_level = 3.6
queue_directory = $WORK/pf/queue
data_directory = $WORK/pf/data
mail_owner = postfix
myhostname = bench.example.test
mydestination =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
default_transport = discard
local_transport = discard
relay_transport = discard
smtpd_relay_restrictions = permit_mynetworks, reject
maillog_file = /dev/stdout
default_process_limit = 100
CF
cat > "$WORK/pf/etc/master.cf" <<CF
127.0.0.1:$PF_PORT inet n - n - - smtpd
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
discard   unix  -       -       n       -       -       discard
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
showq     unix  n       -       n       -       -       showq
postlog   unix-dgram n  -       n       -       1       postlogd
CF
postfix -c "$WORK/pf/etc" start-fg >"$WORK/pf/maillog" 2>&1 &
wait_port "$PF_PORT"

# The disk of a shared machine varies from minute to minute: the two servers take turns, and the
# medians are compared.
ROUNDS=${ROUNDS:-3}
echo "smtp-source: $MESSAGES messages of $SIZE bytes, $SESSIONS sessions, one message per connection, $ROUNDS rounds each"
# A short warm-up for each, not counted: first connections, fresh folders, a settling Postfix.
WARM=$((MESSAGES / 5)); smtp-source -s "$SESSIONS" -m "$WARM" -l "$SIZE" -M bench.client -f sender@remote.test \
  -t alice@example.test "127.0.0.1:$PV_PORT"; smtp-source -s "$SESSIONS" -m "$WARM" -l "$SIZE" -M bench.client \
  -f sender@remote.test -t alice@example.test "127.0.0.1:$PF_PORT"
PV_RATES=(); PF_RATES=()
for round in $(seq "$ROUNDS"); do
  PV_RATES+=("$(rate "$PV_PORT")")
  PF_RATES+=("$(rate "$PF_PORT")")
  echo "round $round: Postvane ${PV_RATES[-1]}/s, Postfix ${PF_RATES[-1]}/s"
done
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
PV_RATE=$(median "${PV_RATES[@]}")
PF_RATE=$(median "${PF_RATES[@]}")
# Postvane's spooler delivers alongside; every acknowledged message must reach the mailbox.
EXPECTED=$((ROUNDS * MESSAGES + WARM))
for _ in $(seq 600); do
  STORED=$(find "$WORK/pv/spool/mailbox" -name 'f*.txt' | wc -l)
  [ "$STORED" -ge "$EXPECTED" ] && break
  sleep 0.5
done
echo "Postvane: $PV_RATE messages/s median (its spooler delivering at the same time; $STORED of $EXPECTED messages in the mailbox)"
echo "Postfix:  $PF_RATE messages/s median"
python3 -c "print(f'ratio Postvane/Postfix: {$PV_RATE / $PF_RATE:.2f}')"
