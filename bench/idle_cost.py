#!/usr/bin/env python3
"""What an idle server costs, and how soon mail goes out by itself.

  1. CPU time of `postvane --headless` over an idle stretch (no mail) in three set-ups:
     offline with dial-up configured, on the LAN with the waiting check on, and online on a
     connection another program holds up (the simulator's external entry), where the manager
     polls every 250 ms.
  2. The delay from a message's "250" reply to its arrival at a real relay (aiosmtpd, as in the
     tests) on the LAN with CheckWaiting 1 and CountWaiting 1, over a few messages.

    bench/idle_cost.py [idle-seconds] [messages]     (defaults: 60 and 10)

Builds the Release programs into build-rel (BUILD=folder picks another). Prints its figures;
it is no test and has no pass mark."""

import os
import shutil
import smtplib
import socket
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("BUILD") or os.path.join(ROOT, "build-rel")
BIN = os.path.join(BUILD, "bin")
sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))
from relay import Relay  # noqa: E402  the tests' relay: aiosmtpd on loopback


def build():
    subprocess.run(["cmake", "-S", ROOT, "-B", BUILD, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DPOSTVANE_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "-j2", "--target", "postvane", "postvane-wizard", "postvane-reg",
                    "postvane-ctl"], check=True, stdout=subprocess.DEVNULL)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Setup:
    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="pv-idlebench-")
        self.env = dict(os.environ, POSTVANE_HIVE=os.path.join(self.dir, "registry.db"))
        self.run("postvane-wizard", "--defaults", "--maildrop", os.path.join(self.dir, "spool"),
                 "--domain", "example.test")
        self.smtp = free_port()
        for name, port in (("smtpinport", self.smtp), ("popport", free_port()), ("fingerport", free_port())):
            self.dword("AdvCon", name, port)
        self.string("AdvCon", "BindAddress", "127.0.0.1")
        self.dword("", "LogAll", 0)
        self.server = None

    def run(self, name, *args):
        subprocess.run([os.path.join(BIN, name), *args], env=self.env, check=True, stdout=subprocess.DEVNULL)

    def dword(self, key, name, value):
        self.run("postvane-reg", "add", key, "/v", name, "/t", "REG_DWORD", "/d", str(value))

    def string(self, key, name, value):
        self.run("postvane-reg", "add", key, "/v", name, "/t", "REG_SZ", "/d", value)

    def start(self):
        self.server = subprocess.Popen([os.path.join(BIN, "postvane"), "--headless"], env=self.env,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", self.smtp), timeout=1).close()
                return
            except OSError:
                time.sleep(0.1)
        raise SystemExit("the server did not start")

    def cpu(self):
        fields = open(f"/proc/{self.server.pid}/stat").read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def close(self):
        if self.server and self.server.poll() is None:
            self.server.terminate()
            self.server.wait(timeout=15)
        shutil.rmtree(self.dir, ignore_errors=True)


def idle(label, configure, seconds):
    s = Setup()
    try:
        configure(s)
        s.start()
        time.sleep(3)  # start-up is not idling
        before = s.cpu()
        time.sleep(seconds)
        used = s.cpu() - before
        print(f"idle {label:<40} {used:6.2f} s CPU in {seconds} s ({100 * used / seconds:.2f} %)")
    finally:
        s.close()


def offline(s):
    s.dword("", "UseLan", 0)
    s.string("", "Connection", "provider")
    for name in ("CheckWaiting", "CheckAge", "CheckIdle"):
        s.dword("Schedule", name, 1)


def lan(s):
    s.dword("", "UseLan", 1)
    s.dword("Schedule", "CheckWaiting", 1)


def external(s):
    s.dword("", "UseLan", 0)
    s.string("", "Connection", "provider")
    s.string("AdvCon", "Dialer", "simulator")
    s.dword("Simulator\\provider", "External", 1)


def delay(messages):
    s = Setup()
    relay = Relay(s.dir)
    try:
        s.string("", "Gateway", "127.0.0.1")
        s.dword("AdvCon", "smtpoutport", relay.port)
        lan(s)
        s.dword("Schedule", "CountWaiting", 1)
        s.start()
        delays = []
        for i in range(messages):
            with smtplib.SMTP("127.0.0.1", s.smtp) as client:
                client.sendmail("bench@example.test", ["far@remote.test"], f"Subject: {i}\r\n\r\nbody\r\n")
                accepted = time.monotonic()
            while len(relay.messages()) <= i:
                if time.monotonic() - accepted > 30:
                    raise SystemExit("a message did not reach the relay within 30 s")
                time.sleep(0.005)
            delays.append(time.monotonic() - accepted)
            time.sleep(1.3)  # the LAN session ends before the next message
        print(f"250 -> relay (LAN, CheckWaiting 1, CountWaiting 1), {messages} messages: "
              f"median {statistics.median(delays):.2f} s, min {min(delays):.2f} s, max {max(delays):.2f} s")
    finally:
        relay.stop()
        s.close()


def main():
    seconds = int(sys.argv[1]) if len(sys.argv) > 1 else 60
    messages = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    build()
    print(f"{os.cpu_count()} CPUs; Release build in {BUILD}")
    idle("offline (dial-up configured, all checks on)", offline, seconds)
    idle("LAN, waiting check on, no mail", lan, seconds)
    idle("online on another program's connection", external, seconds)
    delay(messages)


if __name__ == "__main__":
    main()
