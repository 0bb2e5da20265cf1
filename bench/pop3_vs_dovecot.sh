#!/usr/bin/env bash
# POP3 retrieval rate: the same messages served by Postvane and, in the same run, by a private
# Dovecot instance (its own configuration, folders and log, on another loopback port). One
# client logs in to each, retrieves every message with RETR, checks the byte count and quits;
# nothing is deleted, so the servers take turns over several rounds and the medians are
# compared. Two clients are measured: Python's poplib (a real client, line by line) and a raw
# socket reader that takes whole buffers, which shows the servers' own speed.
#
#   bench/pop3_vs_dovecot.sh [messages] [size in bytes]
set -euo pipefail
cd "$(dirname "$0")/.."
MESSAGES=${1:-1000}
SIZE=${2:-102400}
ROUNDS=${ROUNDS:-3}

[ "$(id -u)" -eq 0 ] || { echo "The Dovecot side needs root (it changes user for mail access); run as root." >&2; exit 1; }
if [ ! -x /usr/sbin/dovecot ] || [ ! -e /usr/lib/dovecot/pop3 ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends dovecot-pop3d
fi

cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DPOSTVANE_TESTS=OFF >/dev/null
cmake --build build-rel >/dev/null

WORK=$(mktemp -d /tmp/pv-popbench-XXXXXX)
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

# Postvane on its own hive and spool, with one mailbox.
PV_PORT=$(free_port)
export POSTVANE_HIVE="$WORK/pv/registry.db"
build-rel/bin/postvane-wizard --defaults --maildrop "$WORK/pv/spool" --domain example.test >/dev/null
build-rel/bin/postvane-reg add AdvCon /v popport /t REG_DWORD /d "$PV_PORT" >/dev/null
build-rel/bin/postvane-reg add AdvCon /v smtpinport /t REG_DWORD /d "$(free_port)" >/dev/null
build-rel/bin/postvane-reg add AdvCon /v fingerport /t REG_DWORD /d "$(free_port)" >/dev/null
build-rel/bin/postvane-reg add "" /v LogAll /t REG_DWORD /d 0 >/dev/null
build-rel/bin/postvane-admin mailbox add bench --password secret >/dev/null
NUMBER=$(build-rel/bin/postvane-reg query 'mailbox\bench' /v Number | awk '/Number/ {print $NF}')
PV_BOX=$(printf '%s/pv/spool/mailbox/M%07X' "$WORK" "$((NUMBER))")

# Dovecot, private: everything below $WORK/dc, mail in maildirs owned by nobody.
private_dovecot_config "$WORK/dc"
mkdir -p "$DC/home/bench/Maildir/cur" "$DC/home/bench/Maildir/new" "$DC/home/bench/Maildir/tmp"

# The same messages for both: Postvane keeps CR LF on disk, a maildir keeps LF; both send
# CR LF, so the bytes on the wire are the same.
python3 - "$MESSAGES" "$SIZE" "$PV_BOX" "$DC/home/bench/Maildir/cur" <<'PY'
import base64, os, random, sys
count, size, pv_box, maildir = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
rng = random.Random(1)
for i in range(1, count + 1):
    head = f"From: sender@remote.test\r\nTo: bench@example.test\r\nSubject: message {i}\r\n\r\n".encode()
    lines = [head]
    total = len(head)
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
import poplib, socket, sys, time
port, client, count, size = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
expected = count * (size + 3)  # every message, then ".\r\n" after each
start = time.perf_counter()
if client == "poplib":
    p = poplib.POP3("127.0.0.1", port, timeout=60)
    p.user("bench")
    p.pass_("secret")
    got = sum(p.retr(i)[2] + 3 for i in range(1, count + 1))
    p.quit()
else:
    s = socket.create_connection(("127.0.0.1", port), timeout=60)
    f = s.makefile("rb")
    f.readline()
    for command in (b"USER bench\r\n", b"PASS secret\r\n"):
        s.sendall(command)
        if not f.readline().startswith(b"+OK"):
            sys.exit("login refused")
    f.close()
    got = 0
    buffer = bytearray(1 << 20)
    for i in range(1, count + 1):
        s.sendall(b"RETR %d\r\n" % i)
        status = True  # the first bytes are the status line, not the message
        tail = b""
        while tail != b"\r\n.\r\n":
            n = s.recv_into(buffer)
            if n == 0:
                sys.exit("connection closed during RETR")
            got += n
            if status:
                got -= bytes(buffer[:n]).index(b"\r\n") + 2
                status = False
            tail = (tail + bytes(buffer[max(0, n - 5):n]))[-5:]
    s.sendall(b"QUIT\r\n")
    s.close()
elapsed = time.perf_counter() - start
if got != expected:
    sys.exit(f"received {got} bytes of messages, expected {expected}")
print(f"{got / elapsed:.0f}")
PY
}

median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
mb() { python3 -c "print(f'{$1 / 1e6:.1f} MB/s')"; }
echo "$MESSAGES messages of $SIZE bytes, retrieved by one client, $ROUNDS rounds each"
rate "$PV_PORT" raw >/dev/null; rate "$DC_PORT" raw >/dev/null  # warm-up: page cache, first logins
for client in raw poplib; do
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
