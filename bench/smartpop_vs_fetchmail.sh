#!/usr/bin/env bash
# SmartPop collection rate: MESSAGES messages of SIZE bytes collected from a private Dovecot in
# one run by Postvane (pv-smartpop-run: the collectors as the connection manager starts them;
# every message flushed, renamed and its folder flushed before its DELE), and, in the same
# script, the same messages collected by fetchmail into a batch file (--bsmtp) from the same
# Dovecot. Each side gets a fresh copy of the mailbox for every round; medians are compared.
#
#   bench/smartpop_vs_fetchmail.sh [messages] [size in bytes]
set -euo pipefail
cd "$(dirname "$0")/.."
MESSAGES=${1:-50}
SIZE=${2:-102400}
ROUNDS=${ROUNDS:-5}

[ "$(id -u)" -eq 0 ] || { echo "The Dovecot side needs root (it changes user for mail access); run as root." >&2; exit 1; }
[ -x /usr/sbin/dovecot ] && [ -e /usr/lib/dovecot/pop3 ] || scripts/setup.sh
command -v fetchmail >/dev/null || scripts/setup.sh

cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DPOSTVANE_TESTS=ON >/dev/null
cmake --build build-rel -j2 --target pv-smartpop-run postvane-wizard postvane-reg postvane-admin >/dev/null

WORK=$(mktemp -d /tmp/pv-spbench-XXXXXX)
chmod 755 "$WORK"
DC_PID=""
cleanup() {
  [ -n "$DC_PID" ] && kill "$DC_PID" 2>/dev/null || true
  sleep 0.5
  [ -n "${KEEP_WORK:-}" ] && echo "kept $WORK" || rm -rf "$WORK"
}
trap cleanup EXIT
source bench/lib.sh

# Dovecot, private: everything below $WORK/dc, mail in maildirs owned by nobody.
private_dovecot_config "$WORK/dc"

# The messages once, kept aside; each round copies them into the maildir afresh.
mkdir -p "$WORK/messages"
python3 - "$MESSAGES" "$SIZE" "$WORK/messages" <<'PY'
import base64, os, random, sys
count, size, folder = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
rng = random.Random(1)
for i in range(1, count + 1):
    head = f"From: sender@remote.test\nTo: bench@example.test\nSubject: message {i}\n\n".encode()
    lines, total = [head], len(head)
    while total < size:
        line = base64.b64encode(rng.randbytes(57)) + b"\n"
        line = line[: size - total - 1] + b"\n" if total + len(line) > size else line
        lines.append(line)
        total += len(line)
    with open(os.path.join(folder, f"{1700000000 + i}.M{i}P1.bench"), "wb") as f:
        f.write(b"".join(lines))
PY
refill() {
  rm -rf "$DC/home/bench"
  mkdir -p "$DC/home/bench/Maildir/cur" "$DC/home/bench/Maildir/tmp"
  cp -r "$WORK/messages" "$DC/home/bench/Maildir/new"
  chown -R nobody:nogroup "$DC/home"
}
left() { ls "$DC/home/bench/Maildir/new" "$DC/home/bench/Maildir/cur" | grep -c '^1' || true; }

/usr/sbin/dovecot -F -c "$DC/dovecot.conf" &
DC_PID=$!
wait_port "$DC_PORT"

# Postvane: its own hive and spool; one account without a recipient (the messages stay as
# collected files in the inbox, since no spooler runs).
export POSTVANE_HIVE="$WORK/pv/registry.db"
build-rel/bin/postvane-wizard --defaults --maildrop "$WORK/pv/spool" --domain example.test >/dev/null
build-rel/bin/postvane-reg add "" /v LogAll /t REG_DWORD /d 0 >/dev/null
build-rel/bin/postvane-admin smartpop add bench@127.0.0.1 --password secret --port "$DC_PORT"

postvane_round() {
  refill
  rm -rf "$WORK/pv/spool/inbox" "$WORK/pv/spool/bench@127.0.0.1.uidl"
  local out
  out=$(build-rel/bin/pv-smartpop-run)
  grep -q "closed after $MESSAGES messages" <<<"$out" || { echo "Postvane run failed: $out" >&2; exit 1; }
  [ "$(ls "$WORK/pv/spool/inbox" | grep -c '\.pop$')" -eq "$MESSAGES" ] && [ "$(left)" -eq 0 ] ||
    { echo "Postvane did not collect every message" >&2; exit 1; }
  awk '/^elapsed_ms/ {printf "%.1f\n", '"$MESSAGES"' * 1000 / $2}' <<<"$out"
}

fetchmail_round() {
  refill
  rm -f "$WORK/batch.bsmtp"
  local start end
  start=$(date +%s.%N)
  # Every message, each deleted after it is written, no size or count limits.
  HOME=$WORK fetchmail --nosyslog -f "$WORK/fetchmailrc" --idfile "$WORK/fetchids" --pidfile "$WORK/fetchmail.pid" \
    --bsmtp "$WORK/batch.bsmtp" --fetchall --nokeep --limit 0 --batchlimit 0 --fetchlimit 0 \
    --fetchsizelimit 0 127.0.0.1 >/dev/null 2>"$WORK/fetchmail.err" || true
  end=$(date +%s.%N)
  [ "$(grep -c '^MAIL FROM' "$WORK/batch.bsmtp")" -eq "$MESSAGES" ] && [ "$(left)" -eq 0 ] ||
    { echo "fetchmail did not collect every message: $(cat "$WORK/fetchmail.err")" >&2; exit 1; }
  python3 -c "print(f'{$MESSAGES / ($end - $start):.1f}')"
}

cat > "$WORK/fetchmailrc" <<RC
poll 127.0.0.1 protocol POP3 service $DC_PORT auth password
  user "bench" there with password "secret" is "nobody" here
  no rewrite sslproto ''
RC
chmod 600 "$WORK/fetchmailrc"

median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
echo "$MESSAGES messages of $SIZE bytes collected from Dovecot in one run, $ROUNDS rounds each"
postvane_round >/dev/null; fetchmail_round >/dev/null  # warm-up
PV=(); FM=()
for _ in $(seq "$ROUNDS"); do
  PV+=("$(postvane_round)")
  FM+=("$(fetchmail_round)")
done
PV_RATE=$(median "${PV[@]}")
FM_RATE=$(median "${FM[@]}")
echo "  Postvane SmartPop (durable before each DELE): $PV_RATE messages/s, median of ${PV[*]}"
echo "  fetchmail --bsmtp:                           $FM_RATE messages/s, median of ${FM[*]}"
python3 -c "print(f'  ratio Postvane/fetchmail: {$PV_RATE / $FM_RATE:.2f}')"
echo "  load average (1, 5, 15 min): $(cut -d' ' -f1-3 /proc/loadavg)"
