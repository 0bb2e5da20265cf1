#!/usr/bin/env bash
# IMAP figures: FETCH of every message by one client, from Postvane and, in the same run, from
# a private Dovecot instance (its own configuration, folders and log, on another loopback
# port) holding the same messages; then the time from the SMTP "250" for a new message to the
# "* n EXISTS" an IDLE client on Postvane hears.
#
#   bench/imap_vs_dovecot.sh [messages] [size in bytes] [IDLE samples]
set -euo pipefail
cd "$(dirname "$0")/.."
MESSAGES=${1:-1000}
SIZE=${2:-102400}
SAMPLES=${3:-200}
ROUNDS=${ROUNDS:-3}

[ "$(id -u)" -eq 0 ] || { echo "The Dovecot side needs root (it changes user for mail access); run as root." >&2; exit 1; }
if [ ! -x /usr/sbin/dovecot ] || [ ! -e /usr/lib/dovecot/imap ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends dovecot-imapd
fi

cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DPOSTVANE_TESTS=OFF >/dev/null
cmake --build build-rel >/dev/null

WORK=$(mktemp -d /tmp/pv-imapbench-XXXXXX)
chmod 755 "$WORK"  # Dovecot reads its user's mail as that user
PV_PID=""
DC_PID=""
cleanup() {
  [ -n "$PV_PID" ] && kill "$PV_PID" 2>/dev/null || true
  [ -n "$DC_PID" ] && kill "$DC_PID" 2>/dev/null || true
  sleep 1
  [ -n "${KEEP_WORK:-}" ] && echo "kept $WORK" || rm -rf "$WORK"
}
trap cleanup EXIT

source bench/lib.sh  # the script runs from the project root

PV_PORT=$(free_port)
SMTP_PORT=$(free_port)
export POSTVANE_HIVE="$WORK/pv/registry.db"
build-rel/bin/postvane-wizard --defaults --maildrop "$WORK/pv/spool" --domain example.test >/dev/null
build-rel/bin/postvane-reg add AdvCon /v imapport /t REG_DWORD /d "$PV_PORT" >/dev/null
build-rel/bin/postvane-reg add AdvCon /v smtpinport /t REG_DWORD /d "$SMTP_PORT" >/dev/null
build-rel/bin/postvane-reg add AdvCon /v popport /t REG_DWORD /d "$(free_port)" >/dev/null
build-rel/bin/postvane-reg add AdvCon /v fingerport /t REG_DWORD /d "$(free_port)" >/dev/null
build-rel/bin/postvane-reg add "" /v LogAll /t REG_DWORD /d 0 >/dev/null
build-rel/bin/postvane-admin mailbox add bench --password secret >/dev/null
build-rel/bin/postvane-admin mailbox add idle --password secret >/dev/null
NUMBER=$(build-rel/bin/postvane-reg query 'mailbox\bench' /v Number | awk '/Number/ {print $NF}')
PV_BOX=$(printf '%s/pv/spool/mailbox/M%07X' "$WORK" "$((NUMBER))")

private_dovecot_config "$WORK/dc" imap
mkdir -p "$DC/home/bench/Maildir/cur" "$DC/home/bench/Maildir/new" "$DC/home/bench/Maildir/tmp"

# The same messages for both: Postvane keeps CR LF on disk, a maildir keeps LF; both send CR LF.
python3 - "$MESSAGES" "$SIZE" "$PV_BOX" "$DC/home/bench/Maildir/cur" <<'PY'
import base64, os, random, sys
count, size, pv_box, maildir = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
rng = random.Random(1)
for i in range(1, count + 1):
    head = f"From: sender@remote.test\r\nTo: bench@example.test\r\nSubject: message {i}\r\n\r\n".encode()
    lines, total = [head], len(head)
    while total < size:
        line = base64.b64encode(rng.randbytes(57)) + b"\r\n"
        line = line[: size - total - 2] + b"\r\n" if total + len(line) > size else line
        lines.append(line)
        total += len(line)
    text = b"".join(lines)
    with open(os.path.join(pv_box, "f%07X.txt" % i), "wb") as f:
        f.write(text)
    with open(os.path.join(maildir, f"1700000000.M{i}P1.bench:2,S"), "wb") as f:
        f.write(text.replace(b"\r\n", b"\n"))
PY
chown -R nobody:nogroup "$DC/home"

build-rel/bin/postvane --headless >/dev/null 2>&1 &
PV_PID=$!
/usr/sbin/dovecot -F -c "$DC/dovecot.conf" &
DC_PID=$!
wait_port "$PV_PORT"
wait_port "$DC_PORT"

rate() {  # port client
  python3 - "$1" "$2" "$MESSAGES" "$SIZE" <<'PY'
import imaplib, re, socket, sys, time
port, client, count, size = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
start = time.perf_counter()
if client == "imaplib":
    m = imaplib.IMAP4("127.0.0.1", port, timeout=120)
    m.login("bench", "secret")
    m.select("INBOX", readonly=True)
    typ, data = m.uid("FETCH", "1:*", "(BODY.PEEK[])")
    got = sum(len(d[1]) for d in data if isinstance(d, tuple))
    m.logout()
else:
    # Whole buffers, counting the literals' announced sizes: the servers' own speed.
    s = socket.create_connection(("127.0.0.1", port), timeout=120)
    f = s.makefile("rb", buffering=1 << 20)
    f.readline()
    s.sendall(b"a LOGIN bench secret\r\nb EXAMINE INBOX\r\nc UID FETCH 1:* (BODY.PEEK[])\r\n")
    got = 0
    while True:
        line = f.readline()
        if not line or line.startswith(b"c "):
            break
        literal = re.search(rb"\{(\d+)\}\r\n$", line)
        if literal:
            n = int(literal.group(1))
            got += len(f.read(n))
    s.close()
elapsed = time.perf_counter() - start
if got != count * size:
    sys.exit(f"received {got} bytes of messages, expected {count * size}")
print(f"{got / elapsed:.0f}")
PY
}

median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
mb() { python3 -c "print(f'{$1 / 1e6:.1f} MB/s')"; }
echo "$MESSAGES messages of $SIZE bytes, fetched by one client, $ROUNDS rounds each"
rate "$PV_PORT" raw >/dev/null; rate "$DC_PORT" raw >/dev/null  # warm-up: page cache, UIDs, indexes
for client in raw imaplib; do
  PV=(); DCR=()
  for round in $(seq "$ROUNDS"); do
    PV+=("$(rate "$PV_PORT" "$client")")
    DCR+=("$(rate "$DC_PORT" "$client")")
  done
  PV_RATE=$(median "${PV[@]}")
  DC_RATE=$(median "${DCR[@]}")
  echo "client $client:"
  echo "  Postvane: $PV_RATE bytes/s ($(mb "$PV_RATE")) median of ${PV[*]}"
  echo "  Dovecot:  $DC_RATE bytes/s ($(mb "$DC_RATE")) median of ${DCR[*]}"
  python3 -c "print(f'  ratio Postvane/Dovecot: {$PV_RATE / $DC_RATE:.2f}')"
  echo "  load average (1, 5, 15 min): $(cut -d' ' -f1-3 /proc/loadavg)"
done

# From "250" to EXISTS: one IDLE client, one message at a time through SMTP and the spooler.
python3 - "$PV_PORT" "$SMTP_PORT" "$SAMPLES" <<'PY'
import imaplib, smtplib, sys, time
port, smtp_port, samples = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
m = imaplib.IMAP4("127.0.0.1", port, timeout=30)
m.login("idle", "secret")
m.select("INBOX")
smtp = smtplib.SMTP("127.0.0.1", smtp_port, timeout=30)
times = []
for i in range(samples):
    m.send(b"i%d IDLE\r\n" % i)
    assert m.readline().startswith(b"+")
    smtp.sendmail("bench@remote.test", ["idle@example.test"], f"Subject: idle {i}\r\n\r\nbody\r\n")
    accepted = time.perf_counter()  # sendmail returns on the "250" after the text
    while not m.readline().endswith(b"EXISTS\r\n"):
        pass
    times.append((time.perf_counter() - accepted) * 1000)
    m.send(b"DONE\r\n")
    while not m.readline().startswith(b"i%d " % i):
        pass
smtp.quit()
times.sort()
pick = lambda q: times[min(len(times) - 1, int(q * len(times)))]
print(f"SMTP 250 to IDLE EXISTS, {samples} messages: p50 {pick(0.5):.1f} ms, p99 {pick(0.99):.1f} ms, max {times[-1]:.1f} ms")
PY
