#!/usr/bin/env python3
"""A burst of join requests to the list server: N messages submitted by SMTP as fast as they
are accepted, timed until the last reply is committed to the inbound queue (the robot's log
line, which follows the commit), with the server's peak thread count and resident memory
sampled during the burst.

    bench/robot_burst.py [requests] [sessions]

Uses the Release build in build-rel (built by this script), or the programs in $POSTVANE_BIN."""

import os
import smtplib
import socket
import subprocess
import sys
import tempfile
import threading
import time
import shutil

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main():
    requests = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    sessions = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    binary = os.environ.get("POSTVANE_BIN")
    if not binary:
        binary = os.path.join(ROOT, "build-rel", "bin")
        subprocess.run(["cmake", "-S", ROOT, "-B", os.path.join(ROOT, "build-rel"), "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=Release", "-DPOSTVANE_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", os.path.join(ROOT, "build-rel"), "-j2"], check=True,
                       stdout=subprocess.DEVNULL)

    work = tempfile.mkdtemp(prefix="pv-robots-")
    env = dict(os.environ, POSTVANE_HIVE=os.path.join(work, "registry.db"))
    run = lambda *a: subprocess.run([os.path.join(binary, a[0]), *a[1:]], env=env, check=True,
                                    stdout=subprocess.DEVNULL)
    ports = []
    for _ in range(3):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            ports.append(s.getsockname()[1])
    run("postvane-wizard", "--defaults", "--maildrop", os.path.join(work, "spool"), "--domain", "example.test")
    for name, port in zip(("smtpinport", "popport", "fingerport"), ports):
        run("postvane-reg", "add", "AdvCon", "/v", name, "/t", "REG_DWORD", "/d", str(port))
    run("postvane-reg", "add", "AdvCon", "/v", "BindAddress", "/t", "REG_SZ", "/d", "127.0.0.1")
    run("postvane-admin", "mailbox", "add", "alice", "--password", "alicepw")
    run("postvane-admin", "mailbox", "add", "big", "--type", "list")
    run("postvane-admin", "mailbox", "list-options", "big", "--join-by-mail", "on")

    server = subprocess.Popen([os.path.join(binary, "postvane"), "--headless"], env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, text=True)
    answered = [0]
    last_answer = [0.0]
    started = threading.Event()

    def read():
        for line in server.stdout:
            if "Starting Postvane" in line:
                started.set()
            if "The list server answered" in line:
                answered[0] += 1
                last_answer[0] = time.monotonic()
    threading.Thread(target=read, daemon=True).start()
    started.wait(20)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", ports[0]), timeout=1).close()
            break
        except OSError:
            time.sleep(0.05)

    peak = {"threads": 0, "rss": 0}
    sampling = [True]

    def sample():
        while sampling[0]:
            try:
                with open(f"/proc/{server.pid}/status") as f:
                    for line in f:
                        if line.startswith("Threads:"):
                            peak["threads"] = max(peak["threads"], int(line.split()[1]))
                        elif line.startswith("VmRSS:"):
                            peak["rss"] = max(peak["rss"], int(line.split()[1]))
            except OSError:
                pass
            time.sleep(0.02)
    sampler = threading.Thread(target=sample)
    sampler.start()

    def client(n):
        with smtplib.SMTP("127.0.0.1", ports[0], timeout=60) as smtp:
            for i in range(n, requests, sessions):
                smtp.sendmail("alice@example.test", ["pvlist@example.test"],
                              (f"From: alice@example.test\r\nSubject: join\r\n\r\n"
                               f"join big m{i}@remote.test\r\n").encode())
    begin = time.monotonic()
    clients = [threading.Thread(target=client, args=(n,)) for n in range(sessions)]
    for t in clients:
        t.start()
    for t in clients:
        t.join()
    submitted = time.monotonic()
    deadline = submitted + 300
    while answered[0] < requests and time.monotonic() < deadline:
        time.sleep(0.02)
    sampling[0] = False
    sampler.join()
    server.terminate()
    server.wait(30)
    members = 0
    for folder in os.listdir(os.path.join(work, "spool", "mailbox")):
        path = os.path.join(work, "spool", "mailbox", folder, "rcpt.pvg")
        if os.path.exists(path):
            with open(path, "rb") as f:
                members = max(members, f.read().count(b"\r\n"))
    shutil.rmtree(work, ignore_errors=True)

    total = last_answer[0] - begin
    print(f"requests                 {requests} over {sessions} SMTP sessions")
    print(f"submission took          {submitted - begin:.2f} s")
    print(f"replies committed        {answered[0]} (members on the list: {members})")
    print(f"last reply after         {total:.2f} s from the first submission")
    print(f"replies per second       {answered[0] / total:.0f}" if total > 0 else "replies per second       -")
    print(f"peak threads             {peak['threads']} (robot workers: 4)")
    print(f"peak resident memory     {peak['rss'] / 1024:.1f} MiB")


if __name__ == "__main__":
    main()
