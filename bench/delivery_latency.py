#!/usr/bin/env python3
"""Local delivery: messages sent over SMTP to local users, measured from the "250" reply to the
message file's appearance in the user's mailbox folder (the change time its rename into view
sets; the kernel keeps it to a few milliseconds), and the rate of local deliveries.

    bench/delivery_latency.py [messages] [sessions] [users] [size] [rate]

With a rate (messages per second over all sessions) the load is paced, which shows the
latency of a server that keeps up; without one every session sends as fast as it can.

Uses the Release build in build-rel (built by this script)."""

import glob
import os
import re
import shutil
import smtplib
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

P99_AIM_MS = 5.0  # "250" to the mailbox file, on a busy machine

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BIN = os.path.join(ROOT, "build-rel", "bin")


def main():
    messages = int(sys.argv[1]) if len(sys.argv) > 1 else 5000
    sessions = int(sys.argv[2]) if len(sys.argv) > 2 else 20
    users = int(sys.argv[3]) if len(sys.argv) > 3 else 50
    size = int(sys.argv[4]) if len(sys.argv) > 4 else 4096
    rate = float(sys.argv[5]) if len(sys.argv) > 5 else 0.0

    subprocess.run(["cmake", "-S", ROOT, "-B", os.path.join(ROOT, "build-rel"), "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=Release", "-DPOSTVANE_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", os.path.join(ROOT, "build-rel")], check=True, stdout=subprocess.DEVNULL)

    work = tempfile.mkdtemp(prefix="pv-delivery-")
    env = dict(os.environ, POSTVANE_HIVE=os.path.join(work, "registry.db"))
    run = lambda *a: subprocess.run([os.path.join(BIN, a[0]), *a[1:]], env=env, check=True,
                                    stdout=subprocess.DEVNULL)
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    run("postvane-wizard", "--defaults", "--domain", "example.test")
    run("postvane-reg", "add", "AdvCon", "/v", "smtpinport", "/t", "REG_DWORD", "/d", str(port))
    run("postvane-reg", "add", "", "/v", "LogAll", "/t", "REG_DWORD", "/d", "0")
    for u in range(users):
        run("postvane-admin", "mailbox", "add", f"user{u}")
    server = subprocess.Popen([os.path.join(BIN, "postvane"), "--headless"], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.05)
        acknowledged = {}
        lock = threading.Lock()
        body = ("x" * 76 + "\r\n") * (size // 78)

        def session(n):
            c = smtplib.SMTP("127.0.0.1", port, timeout=60)
            c.helo(f"bench{n}")
            for i in range(n, messages, sessions):
                if rate:
                    delay = start + i / rate - time.time()
                    if delay > 0:
                        time.sleep(delay)
                token = f"m{i:06d}"
                c.sendmail("load@remote.test", [f"user{i % users}@example.test"],
                           f"Subject: {token}\r\n\r\n{body}".encode())
                with lock:
                    acknowledged[token] = time.time()
            c.quit()

        start = time.time() + 0.2
        threads = [threading.Thread(target=session, args=(n,)) for n in range(sessions)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        sent = time.time()

        spool = os.path.join(work, "spool", "mailbox")
        deadline = time.time() + 120
        while time.time() < deadline:
            files = glob.glob(os.path.join(spool, "M*", "*.txt"))
            if len(files) >= messages:
                break
            time.sleep(0.1)
        files = glob.glob(os.path.join(spool, "M*", "*.txt"))
        arrived = {}
        for path in files:
            with open(path, "rb") as f:
                head = f.read(400)
            token = re.search(rb"Subject: (m\d{6})", head).group(1).decode()
            if token in arrived:
                raise SystemExit(f"{token} delivered twice")
            arrived[token] = os.stat(path).st_ctime  # the rename that made it visible
        missing = set(acknowledged) - set(arrived)
        latencies = sorted(max(0.0, arrived[t] - acknowledged[t]) * 1000 for t in acknowledged if t in arrived)
        last = max(arrived.values())
        print(f"{messages} messages of {size} bytes, {sessions} SMTP sessions, {users} local users"
              + (f", paced at {rate:.0f}/s" if rate else ", unpaced"))
        print(f"SMTP intake: {messages / (sent - start):.0f} messages/s")
        print(f"local deliveries: {len(arrived) / (last - start):.0f} per second (first 250 to last file)")
        print(f"latency 250 -> mailbox file: p50 {statistics.median(latencies):.1f} ms, "
              f"p99 {latencies[int(len(latencies) * 0.99) - 1]:.1f} ms, max {latencies[-1]:.1f} ms")
        p99 = latencies[int(len(latencies) * 0.99) - 1]
        print(f"p99 against the {P99_AIM_MS:.0f} ms aim: ratio {p99 / P99_AIM_MS:.2f}; load average (1, 5, 15 min) "
              + " ".join(f"{x:.2f}" for x in os.getloadavg()))
        print(f"delivered exactly once: {len(arrived)} of {messages}" + (f", MISSING {len(missing)}" if missing else ""))
    finally:
        server.terminate()
        server.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
