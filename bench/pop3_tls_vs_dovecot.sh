#!/usr/bin/env bash
# POP3 retrieval over TLS: the same messages served by Postvane and, in the same run, by a
# private Dovecot instance, both with STLS on the same self-signed certificate (P-256). One
# client logs in to each, switches to TLS, retrieves every message with RETR, checks the byte
# count and quits; the servers take turns over several rounds and the medians are compared.
# Then 1,000 clients each open a POP3 conversation with Postvane, finish the TLS handshake and
# stay idle, and the server's resident memory is read before and after.
#
#   bench/pop3_tls_vs_dovecot.sh [messages] [size in bytes] [idle conversations]
set -euo pipefail
cd "$(dirname "$0")/.."
MESSAGES=${1:-1000}
SIZE=${2:-102400}
IDLE=${3:-1000}
ROUNDS=${ROUNDS:-3}

[ "$(id -u)" -eq 0 ] || { echo "The Dovecot side needs root (it changes user for mail access); run as root." >&2; exit 1; }
if [ ! -x /usr/sbin/dovecot ] || [ ! -e /usr/lib/dovecot/pop3 ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends dovecot-pop3d
fi

cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DPOSTVANE_TESTS=OFF >/dev/null
cmake --build build-rel >/dev/null

WORK=$(mktemp -d /tmp/pv-poptlsbench-XXXXXX)
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

CERT="$WORK/cert.pem"
KEY="$WORK/key.pem"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=localhost \
  -addext subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout "$KEY" -out "$CERT" 2>/dev/null
chmod 644 "$KEY"  # both servers read it; the folder is the bench's own

# Postvane on its own hive and spool, with one mailbox, the certificate and room for the idle
# conversations.
PV_PORT=$(free_port)
export POSTVANE_HIVE="$WORK/pv/registry.db"
build-rel/bin/postvane-wizard --defaults --maildrop "$WORK/pv/spool" --domain example.test >/dev/null
reg() { build-rel/bin/postvane-reg add "$@" >/dev/null; }
reg AdvCon /v popport /t REG_DWORD /d "$PV_PORT"
reg AdvCon /v smtpinport /t REG_DWORD /d "$(free_port)"
reg AdvCon /v fingerport /t REG_DWORD /d "$(free_port)"
reg AdvCon /v BindAddress /t REG_SZ /d 127.0.0.1
reg AdvCon /v TlsCertificate /t REG_SZ /d "$CERT"
reg AdvCon /v TlsKey /t REG_SZ /d "$KEY"
reg AdvCon /v MaxConnections /t REG_DWORD /d $((IDLE + 100))
reg "" /v Poptimeout /t REG_DWORD /d 600
reg "" /v LogAll /t REG_DWORD /d 0
build-rel/bin/postvane-admin mailbox add bench --password secret >/dev/null
NUMBER=$(build-rel/bin/postvane-reg query 'mailbox\bench' /v Number | awk '/Number/ {print $NF}')
PV_BOX=$(printf '%s/pv/spool/mailbox/M%07X' "$WORK" "$((NUMBER))")

# Dovecot, private, with STLS required on the same certificate.
private_dovecot_config "$WORK/dc"
sed -i "s|^ssl = no|ssl = required\nssl_cert = <$CERT\nssl_key = <$KEY|" "$DC/dovecot.conf"
mkdir -p "$DC/home/bench/Maildir/cur" "$DC/home/bench/Maildir/new" "$DC/home/bench/Maildir/tmp"

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
  python3 - "$1" "$2" "$MESSAGES" "$SIZE" "$CERT" <<'PY'
import poplib, socket, ssl, sys, time
port, client, count, size, cert = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
context = ssl.create_default_context(cafile=cert)
expected = count * (size + 3)  # every message, then ".\r\n" after each
start = time.perf_counter()
if client == "poplib":
    p = poplib.POP3("127.0.0.1", port, timeout=60)
    p.stls(context)
    p.user("bench")
    p.pass_("secret")
    got = sum(p.retr(i)[2] + 3 for i in range(1, count + 1))
    p.quit()
else:
    plain = socket.create_connection(("127.0.0.1", port), timeout=60)
    plain.recv(1024)
    plain.sendall(b"STLS\r\n")
    if not plain.recv(1024).startswith(b"+OK"):
        sys.exit("STLS refused")
    s = context.wrap_socket(plain, server_hostname="localhost")
    f = s.makefile("rb")
    for command in (b"USER bench\r\n", b"PASS secret\r\n"):
        s.sendall(command)
        if not f.readline().startswith(b"+OK"):
            sys.exit("login refused")
    f.close()
    got = 0
    buffer = bytearray(1 << 20)
    for i in range(1, count + 1):
        s.sendall(b"RETR %d\r\n" % i)
        head = b""  # the first bytes are the status line, not the message; it may come in pieces
        tail = b""
        while tail != b"\r\n.\r\n":
            n = s.recv_into(buffer)
            if n == 0:
                sys.exit("connection closed during RETR")
            got += n
            if head is not None:
                head += bytes(buffer[:n])
                if b"\r\n" in head:
                    if not head.startswith(b"+OK"):
                        sys.exit(f"RETR {i} refused: {head[:80]!r}")
                    got -= head.index(b"\r\n") + 2
                    head = None
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
echo "$MESSAGES messages of $SIZE bytes over TLS (STLS), retrieved by one client, $ROUNDS rounds each"
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

# Idle TLS conversations: each finishes its handshake and then says nothing.
python3 - "$PV_PORT" "$IDLE" "$CERT" "$PV_PID" <<'PY'
import resource, socket, ssl, sys, time
port, count, cert, pid = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, max(soft, count + 100)), hard))
context = ssl.create_default_context(cafile=cert)

def rss():
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0

def threads():
    with open(f"/proc/{pid}/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith("Threads:"))

before = rss()
held = []
start = time.perf_counter()
for i in range(count):
    plain = socket.create_connection(("127.0.0.1", port), timeout=30)
    plain.recv(1024)
    plain.sendall(b"STLS\r\n")
    if not plain.recv(1024).startswith(b"+OK"):
        sys.exit(f"STLS refused for conversation {i + 1}")
    s = context.wrap_socket(plain, server_hostname="localhost")
    s.sendall(b"NOOP\r\n")  # answered under TLS: the conversation is really up
    if not s.recv(1024).startswith(b"-ERR"):
        sys.exit("no answer under TLS")
    held.append(s)
elapsed = time.perf_counter() - start
time.sleep(2)
after = rss()
print(f"{count} idle TLS conversations (opened in {elapsed:.1f} s, {count / elapsed:.0f} handshakes/s): "
      f"server resident memory {before / 2**20:.1f} MiB before, {after / 2**20:.1f} MiB after "
      f"({(after - before) / count / 1024:.1f} KiB each), {threads()} threads")
for s in held:
    s.close()
PY
