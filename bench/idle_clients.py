#!/usr/bin/env python3
"""What idle SMTP clients cost the server: opens N connections (default 10,000) to a Release
`postvane --headless` with AdvCon\\MaxConnections and MaxPerAddress raised, reads every
greeting, lets them sit, and prints the server's resident memory against the 128 MiB budget
(both figures and the ratio from the one run), per connection, and where it lies (summed from
/proc/PID/smaps: conversation thread stacks, heap, other anonymous memory, mapped files).

    bench/idle_clients.py [connections] [idle-seconds]     (defaults: 10000 and 5)

Builds the Release programs into build-rel (BUILD=folder picks another). Prints its figures;
it is no test and has no pass mark."""

import os
import resource
import socket
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("BUILD") or os.path.join(ROOT, "build-rel")
os.environ["POSTVANE_BIN"] = os.path.join(BUILD, "bin")
sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))
from pvharness import Installation, wait_listening  # noqa: E402

BUDGET_MIB = 128
STACK_KIB = 256  # kConversationStackSize: a conversation's stack mapping is this plus a guard page


def build():
    subprocess.run(["cmake", "-S", ROOT, "-B", BUILD, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DPOSTVANE_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "-j2", "--target", "postvane", "postvane-wizard", "postvane-reg",
                    "postvane-admin", "postvane-ctl"], check=True, stdout=subprocess.DEVNULL)


def smaps(pid):
    """Resident KiB by kind of mapping."""
    kinds = {"thread stacks": 0, "heap": 0, "other anonymous": 0, "files": 0}
    name, size = "", 0
    with open(f"/proc/{pid}/smaps") as f:
        for line in f:
            parts = line.split()
            if "-" in parts[0] and len(parts[0]) > 8 and not parts[0].endswith(":"):
                lo, hi = (int(x, 16) for x in parts[0].split("-"))
                size = (hi - lo) // 1024
                name = parts[5] if len(parts) > 5 else ""
            elif parts[0] == "Rss:":
                rss = int(parts[1])
                if name == "[heap]":
                    kinds["heap"] += rss
                elif name.startswith("/"):
                    kinds["files"] += rss
                elif name == "" and size == STACK_KIB:
                    kinds["thread stacks"] += rss
                else:
                    kinds["other anonymous"] += rss
    return kinds


def status(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def connect_all(port, count, socks):
    """Opens count connections into socks and reads each greeting, in batches so that the
    listener is not flooded."""
    greeted = 0
    for i in range(count):
        socks.append(socket.create_connection(("127.0.0.1", port), timeout=120))
        if i % 200 == 199 or i == count - 1:
            for t in socks[greeted:]:
                if not t.recv(512).startswith(b"220"):
                    raise SystemExit(f"client {greeted + 1} was not greeted")
                greeted += 1
    return greeted


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 10000
    idle = float(sys.argv[2]) if len(sys.argv) > 2 else 5
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    # The server inherits the limit: a conversation holds its socket and a wake-up descriptor.
    want = 3 * count + 1000
    if hard < want:
        print(f"note: the open-file limit ({hard}) holds about {(hard - 100) // 2} conversations")
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, want)), hard))
    build()
    inst = Installation()
    try:
        inst.configure()
        inst.set_dword("AdvCon", "MaxConnections", count + 100)
        inst.set_dword("AdvCon", "MaxPerAddress", count + 100)
        inst.set_dword("", "LogAll", 0)
        inst.set_dword("AdvCon", "SMTPintimeout", 3600)  # held open while the rest connect
        port = inst.ports["smtpinport"]
        server = inst.start()
        server.wait_for("Starting Postvane")
        wait_listening(port)
        time.sleep(1)
        pid = server.proc.pid
        before = status(pid, "VmRSS")
        socks, greeted = [], 0
        try:
            greeted = connect_all(port, count, socks)
        except OSError as e:
            said = []
            while not server._queue.empty():
                said.append(server._queue.get_nowait())
            raise SystemExit(f"after {len(socks)} connections: {e}; the server said:\n" +
                             "\n".join(str(x) for x in said[-5:]))
        time.sleep(idle)
        closed = 0
        for t in socks:  # a conversation the server ended meanwhile reads as end of stream
            t.setblocking(False)
            try:
                closed += t.recv(512) == b""
            except BlockingIOError:
                pass
        rss = status(pid, "VmRSS")
        threads = status(pid, "Threads")
        kinds = smaps(pid)
        load = os.getloadavg()
        print(f"idle SMTP clients         {count} greeted, {count - closed} still open, {threads} server threads, load average "
              f"{load[0]:.2f} {load[1]:.2f} {load[2]:.2f}")
        print(f"resident with the clients {rss / 1024:.1f} MiB (before them {before / 1024:.1f} MiB), "
              f"budget {BUDGET_MIB} MiB, ratio {rss / 1024 / BUDGET_MIB:.2f} of the budget")
        print(f"per idle client           {(rss - before) / count:.1f} KiB")
        for kind, kib in kinds.items():
            print(f"  {kind:<22}  {kib / 1024:.1f} MiB ({kib / count:.1f} KiB per client)")
        if os.environ.get("DETAIL"):  # the largest mappings other than thread stacks
            os.system(f"awk '/^[0-9a-f]+-/ {{m=$0}} /^Rss:/ {{print $2, m}}' /proc/{pid}/smaps | sort -rn | head -25")
        for s in socks:
            s.close()
        server.stop()
    finally:
        inst.cleanup()


if __name__ == "__main__":
    main()
