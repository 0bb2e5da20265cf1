#!/usr/bin/env python3
"""Load and faults: concurrent SMTP clients send mail to local and remote recipients while POP3
clients collect it and the connection manager (LAN mode) sends the remote part on to a real relay
(aiosmtpd) on loopback; optionally the server is killed (SIGKILL) and restarted at random
moments, the relay drops connections at random points and a real provider (Dovecot) holding mail
for SmartPop is killed while it is being collected. Every message carries an id and a body
checksum; at the end every copy is counted and checked by content, and the figures printed:
sent, acknowledged, delivered, relayed, lost, duplicated, corrupt; peak resident memory and
thread count of the server.

    bench/load.py [--clients 200] [--messages 50] [--users 20] [--kills 0]
                  [--relay-drops 0] [--provider 0] [--provider-drops 0] [--seed 1] [--asan]
    bench/load.py --disk-full [--asan]

--relay-drops N: at most N relay connections are dropped (each with probability 0.3) after MAIL,
RCPT or DATA, in the middle of the text, or after the whole text before its "250". --provider M:
M messages wait at the provider for SmartPop (delivered to user0); --provider-drops K kills and
restarts the provider K times while it is collected.

--disk-full puts the spool on a small file system (a loop-mounted ext4 image, else a tmpfs with
a size limit; made and removed here, so root only), fills it while clients send, frees it again
and checks that only temporary errors were given, that everything acknowledged arrives and that
the server took up its work again by itself.

Uses the Release build in build-rel (built by this script); --asan runs build-test instead.
Exit status 1 when anything was lost, corrupt or duplicated (other than by a kill between the
relay's acceptance and the server hearing it, which is counted apart)."""

import argparse
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--clients", type=int, default=200)
    ap.add_argument("--messages", type=int, default=50, help="acknowledged messages per client")
    ap.add_argument("--users", type=int, default=20, help="local mailboxes, each with a POP3 collector")
    ap.add_argument("--kills", type=int, default=0)
    ap.add_argument("--relay-drops", type=int, default=0)
    ap.add_argument("--provider", type=int, default=0)
    ap.add_argument("--provider-drops", type=int, default=0)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--disk-full", action="store_true")
    ap.add_argument("--asan", action="store_true", help="run the sanitizer build (build-test)")
    args = ap.parse_args()

    if args.asan:
        os.environ["POSTVANE_BIN"] = os.path.join(ROOT, "build-test", "bin")
    else:
        build = os.path.join(ROOT, "build-rel")
        subprocess.run(["cmake", "-S", ROOT, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                        "-DPOSTVANE_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", build], check=True, stdout=subprocess.DEVNULL)
        os.environ["POSTVANE_BIN"] = os.path.join(build, "bin")
    sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))
    import pvload

    if args.disk_full:
        figures = pvload.disk_full_run(seed=args.seed)
        for name, value in figures.items():
            print(f"{name:24} {value}")
        if "skipped" in figures:
            return 0
        bad = figures["lost"] or figures["duplicated"] or figures["corrupt"] or figures["leftovers"]
        return 1 if bad else 0

    print(f"{args.clients} clients x {args.messages} messages, {args.users} mailboxes, {args.kills} kills, "
          f"{args.relay_drops} relay drops, {args.provider} provider messages, {args.provider_drops} provider drops")
    run = pvload.LoadRun(clients=args.clients, messages=args.messages, users=args.users, kills=args.kills,
                         relay_drop_rate=0.3 if args.relay_drops else 0.0, relay_drops=args.relay_drops,
                         provider_messages=args.provider, provider_drops=args.provider_drops, seed=args.seed)
    figures = run.run()
    pvload.report(figures)
    unexplained = [d for d in figures["duplicated"] if d not in figures["duplicated_in_kill_window"]]
    bad = figures["lost"] or unexplained or figures["corrupt"] or figures["leftovers"]
    return 1 if bad or not figures["settled"] else 0


if __name__ == "__main__":
    sys.exit(main())
