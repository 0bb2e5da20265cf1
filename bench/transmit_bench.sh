#!/usr/bin/env bash
# Transmit rate: one run of the real transmitter (postvane-send) against Postfix's smtp-sink on
# loopback, first with many small messages (messages per second), then with a few large ones
# (bytes per second), beside what one plain TCP stream carries over loopback on this machine.
#
#   bench/transmit_bench.sh [small-count] [small-bytes] [large-count] [large-MiB]
#   (defaults: 2000 messages of 4 KiB, 20 messages of 10 MiB; BUILD=folder picks the build)
set -euo pipefail
cd "$(dirname "$0")/.."
SMALL=${1:-2000}
SMALL_BYTES=${2:-4096}
LARGE=${3:-20}
LARGE_MIB=${4:-10}
BUILD=${BUILD:-build-rel}

if ! command -v smtp-sink >/dev/null 2>&1 && [ ! -x /usr/sbin/smtp-sink ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends postfix
fi
PATH=$PATH:/usr/sbin

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPOSTVANE_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target postvane-send postvane-wizard postvane-reg >/dev/null

WORK=$(mktemp -d /tmp/pv-transmitbench-XXXXXX)
SINK_PID=""
cleanup() {
  [ -n "$SINK_PID" ] && kill "$SINK_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
SINK_USER=()
[ "$(id -u)" -eq 0 ] && SINK_USER=(-u nobody)  # smtp-sink refuses to keep root rights
smtp-sink "${SINK_USER[@]}" "127.0.0.1:$PORT" 256 &
SINK_PID=$!

export POSTVANE_HIVE="$WORK/registry.db"
"$BUILD/bin/postvane-wizard" --defaults --maildrop "$WORK/spool" --domain example.test >/dev/null
"$BUILD/bin/postvane-reg" add "" /v Gateway /t REG_SZ /d 127.0.0.1 >/dev/null
"$BUILD/bin/postvane-reg" add AdvCon /v smtpoutport /t REG_DWORD /d "$PORT" >/dev/null
"$BUILD/bin/postvane-reg" add "" /v LogAll /t REG_DWORD /d 0 >/dev/null
for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null && break; sleep 0.05; done

# Queues count messages of size bytes as the spooler leaves them: text lines of 76 characters.
queue() {
  python3 - "$WORK/spool/outbox" "$1" "$2" <<'PY'
import os, sys
outbox, count, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
os.makedirs(outbox, exist_ok=True)
line = (b"The quick brown fox jumps over the lazy dog while the queue drains steadily" + b"x")[:76] + b"\r\n"
body = b"Subject: bench\r\n\r\n" + line * ((size - 18) // len(line))
body += b"y" * (size - len(body) - 2) + b"\r\n"
for i in range(count):
    base = os.path.join(outbox, f"f{i + 1:07X}")
    with open(base + ".txt", "wb") as f:
        f.write(body)
    with open(base + ".wrk", "wb") as f:
        f.write(b"sender@example.test\r\nrcpt%d@remote.test\r\n" % i)
PY
}

# Runs postvane-send once and prints one line of figures: the wall time, the transmitter's own
# CPU time and smtp-sink's CPU time over the run (whichever is near the wall time is the limit).
# Fails when anything stays queued or fewer messages than queued were accepted.
run() {  # label count bytes-per-message
  sync
  python3 - "$BUILD/bin/postvane-send" "$SINK_PID" "$WORK/spool/outbox" "$@" <<'PY'
import glob, os, resource, subprocess, sys, time
send, sink, outbox, label, count, size = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5]), int(sys.argv[6])
tick = os.sysconf("SC_CLK_TCK")
def sink_cpu():
    fields = open(f"/proc/{sink}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / tick
sink_before = sink_cpu()
start = time.monotonic()
proc = subprocess.run([send], capture_output=True, text=True)
secs = time.monotonic() - start
usage = resource.getrusage(resource.RUSAGE_CHILDREN)
sent = proc.stdout.count("SMTP Send succeeded")
left = len(glob.glob(os.path.join(outbox, "*.wrk")))
if proc.returncode != 0 or sent != count or left:
    sys.exit(f"{label}: {sent} of {count} sent, {left} left, exit {proc.returncode}\n{proc.stdout}{proc.stderr}")
rate = f"{count / secs:.0f} messages/s" if size < 1 << 20 else f"{count * size / secs / 1e6:.0f} MB/s"
print(f"{label}: {count} x {size} bytes in {secs:.2f} s = {rate} "
      f"(transmitter CPU {usage.ru_utime + usage.ru_stime:.2f} s, smtp-sink CPU {sink_cpu() - sink_before:.2f} s)")
PY
}

queue "$SMALL" "$SMALL_BYTES"
run "small messages" "$SMALL" "$SMALL_BYTES"

LARGE_BYTES=$((LARGE_MIB * 1024 * 1024))
queue "$LARGE" "$LARGE_BYTES"
run "large messages" "$LARGE" "$LARGE_BYTES"

# The same machine's loopback, one TCP stream, 1 MiB writes and reads.
python3 - <<'PY'
import socket, threading, time
total = 2 * 1024 ** 3
srv = socket.socket()
srv.bind(("127.0.0.1", 0))
srv.listen(1)
got = [0]
def sink():
    c, _ = srv.accept()
    buf = bytearray(1 << 20)
    while (n := c.recv_into(buf)):
        got[0] += n
    c.close()
t = threading.Thread(target=sink)
t.start()
s = socket.create_connection(srv.getsockname())
chunk = b"x" * (1 << 20)
start = time.monotonic()
for _ in range(total // len(chunk)):
    s.sendall(chunk)
s.close()
t.join()
secs = time.monotonic() - start
print(f"loopback TCP stream: {got[0] / 2**20:.0f} MiB in {secs:.2f} s = {got[0] / secs / 1e6:.0f} MB/s")
PY
