"""The load and fault runs: many SMTP clients send mail to local and remote recipients while POP3
clients collect it, the connection manager sends the remote part on to a real relay (aiosmtpd,
relay.py) over the LAN and SmartPop collects from a real provider (Dovecot); the server may be
killed and restarted at random moments, the relay and the provider may drop connections. Every
message carries a unique id and a checksum of its body, so that at the end every copy can be
counted and checked: sent, acknowledged, delivered, relayed, lost, duplicated, corrupt.

bench/load.py runs it at full size and prints the figures; tests/integration/test_reliability.py
runs short versions and asserts on them."""

import glob
import hashlib
import os
import poplib
import random
import re
import signal
import smtplib
import subprocess
import threading
import time

from pvharness import Dovecot, Installation, wait_listening, wait_until
from relay import Relay

PASSWORD = "loadpass"
PROVIDER_PASSWORD = "provpass"
ID_RE = re.compile(rb"^X-Load-Id: (\S+)\r?$", re.M)


def make_message(ident, rng, big_share=0.02):
    """A message whose last body line is the SHA-256 of the body lines above it, so that any
    cut, join or change of the text shows. Some lines start with "." (transparency), some
    messages are large (so that a kill or drop often lands in the middle of the text)."""
    lines = []
    count = rng.randint(200, 2000) if rng.random() < big_share else rng.randint(1, 40)
    for i in range(count):
        width = rng.randint(0, 120)
        line = "".join(rng.choice("abcdefghijklmnopqrstuvwxyz0123456789 ") for _ in range(width))
        if rng.random() < 0.05:
            line = "." + line
        lines.append(line)
    digest = hashlib.sha256("\n".join(lines).encode()).hexdigest()
    text = (f"From: load@client.test\r\nSubject: load {ident}\r\nX-Load-Id: {ident}\r\n\r\n" +
            "".join(line + "\r\n" for line in lines) + f"X-Body-Checksum: {digest}\r\n")
    return text.encode()


def examine(content):
    """(id, intact) of a message as delivered, collected or relayed; id None when it carries
    none (a failure report, say). Line ends may be LF or CR LF; headers may have been added."""
    content = content.replace(b"\r\n", b"\n")
    m = ID_RE.search(content)
    if not m:
        return None, True
    ident = m.group(1).decode()
    head, sep, body = content.partition(b"\n\n")
    if not sep:
        return ident, False
    lines = body.split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    if not lines or not lines[-1].startswith(b"X-Body-Checksum: "):
        return ident, False
    digest = lines[-1][len(b"X-Body-Checksum: "):].decode()
    return ident, hashlib.sha256(b"\n".join(lines[:-1])).hexdigest() == digest


class LoadRun:
    """One run. The knobs are constructor arguments; run() returns a dict of figures, with the
    lists of ids behind the bad ones."""

    KILL_WINDOW = 0.05  # seconds around a kill in which the relay's acceptance may go unheard

    def __init__(self, clients=200, messages=50, users=20, kills=0, relay_drop_rate=0.0,
                 relay_drops=0, relay_drop_points=None, provider_messages=0, provider_drops=0, seed=1, log=print,
                 kill_spacing=(0.5, 3.0), settle_timeout=300, big_share=0.02):
        self.clients, self.messages, self.users = clients, messages, users
        self.kills, self.kill_spacing = kills, kill_spacing
        self.relay_drop_rate, self.relay_drops = relay_drop_rate, relay_drops
        self.relay_drop_points = relay_drop_points
        self.provider_messages, self.provider_drops = provider_messages, provider_drops
        self.seed, self.log, self.settle_timeout, self.big_share = seed, log, settle_timeout, big_share
        self.lock = threading.Lock()
        self.sent = {}        # id -> recipients, every message whose DATA was started
        self.acked = {}       # id -> recipients, those that got "250"
        self.errors = {}      # id -> reply code of a refusal (4xx/5xx)
        self.cut_off = set()  # ids whose conversation broke before the reply to the text
        self.collected = {}   # id -> copies collected in POP3 sessions that ended with QUIT +OK
        self.after_quit = set()  # ids retrieved in sessions cut off after QUIT was sent
        self.corrupt = []     # (where, id) of copies whose checksum failed
        self.stop_clients = threading.Event()
        self.stop_collectors = threading.Event()
        self.kills_done = 0
        self.kill_times = []
        self.peak_rss_kib = 0
        self.peak_threads = 0
        self.server = None
        self.server_lock = threading.Lock()

    # --- set-up ----------------------------------------------------------------------------

    def setup(self):
        self.inst = Installation()
        inst = self.inst
        inst.configure()
        inst.set_string("", "Gateway", "127.0.0.1")
        inst.set_dword("", "UseLan", 1)
        inst.set_dword("Schedule", "CheckWaiting", 1)
        inst.set_dword("", "LogAll", 0)
        for u in range(self.users):
            inst.run("postvane-admin", "mailbox", "add", f"user{u}", "--password", PASSWORD)
        behaviour = {}
        if self.relay_drop_rate > 0:
            behaviour["drop_random"] = {"rate": self.relay_drop_rate, "max": self.relay_drops, "seed": self.seed,
                                        "points": self.relay_drop_points}
        self.relay = Relay(inst.dir, **behaviour)
        inst.set_dword("AdvCon", "smtpoutport", self.relay.port)
        self.provider = None
        if self.provider_messages:
            self.provider = Dovecot(inst.dir, {"far": PROVIDER_PASSWORD})
            inst.run("postvane-admin", "smartpop", "add", "far@127.0.0.1", "--password", PROVIDER_PASSWORD,
                     "--port", str(self.provider.port), "--deliver-to", "user0")
            inst.run("postvane-admin", "smartpop", "enable")

    def cleanup(self):
        if self.provider:
            self.provider.stop()
        self.relay.stop()
        self.inst.cleanup()

    def start_server(self):
        server = self.inst.start()
        server.wait_for("Starting Postvane", 30)
        wait_listening(self.inst.ports["smtpinport"], 30)
        wait_listening(self.inst.ports["popport"], 30)
        return server

    # --- the actors -------------------------------------------------------------------------

    def recipients(self, rng, n):
        local = f"user{rng.randrange(self.users)}@example.test"
        remote = f"far{n}@remote.test"
        r = rng.random()
        if r < 0.7:
            return [local]
        if r < 0.9:
            return [remote]
        return [local, remote]

    def smtp_client(self, n):
        rng = random.Random(self.seed * 100003 + n)
        port = self.inst.ports["smtpinport"]
        acked, k = 0, 0
        while acked < self.messages and not self.stop_clients.is_set():
            try:
                with smtplib.SMTP("127.0.0.1", port, timeout=60) as smtp:
                    while acked < self.messages and not self.stop_clients.is_set():
                        k += 1
                        ident = f"c{n}m{k}s{self.seed}"
                        rcpts = self.recipients(rng, n)
                        text = make_message(ident, rng, self.big_share)
                        with self.lock:
                            self.sent[ident] = rcpts
                        try:
                            refused = smtp.sendmail(f"sender{n}@client.test", rcpts, text)
                        except smtplib.SMTPRecipientsRefused as e:
                            code = min(c for c, _ in e.recipients.values())
                            with self.lock:
                                self.errors[ident] = code
                            smtp.rset()
                            continue
                        except (smtplib.SMTPSenderRefused, smtplib.SMTPDataError) as e:
                            with self.lock:
                                self.errors[ident] = e.smtp_code
                            if e.smtp_code == -1:  # no reply at all: the connection broke
                                raise smtplib.SMTPServerDisconnected("no reply")
                            smtp.rset()
                            continue
                        except (OSError, smtplib.SMTPException):
                            with self.lock:
                                self.cut_off.add(ident)
                            raise
                        with self.lock:
                            if refused:
                                self.errors[ident] = min(c for c, _ in refused.values())
                            self.acked[ident] = rcpts
                        acked += 1
            except (OSError, smtplib.SMTPException):
                time.sleep(rng.uniform(0.05, 0.3))  # the server is down or restarting

    def pop_session(self, user, final=False):
        """One POP3 session that retrieves and deletes everything; True when it ended with +OK
        to QUIT (only then are its deletions done, and its messages counted)."""
        got, quit_sent = [], False
        try:
            pop = poplib.POP3("127.0.0.1", self.inst.ports["popport"], timeout=60)
            try:
                pop.user(user)
                try:
                    pop.pass_(PASSWORD)
                except poplib.error_proto as e:
                    if b"locked" in str(e).encode() and not final:
                        return False
                    raise
                for i in range(1, len(pop.list()[1]) + 1):
                    got.append(b"\r\n".join(pop.retr(i)[1]))
                    pop.dele(i)
                quit_sent = True
                pop.quit()
            finally:
                pop.close()
        except (OSError, poplib.error_proto, EOFError):
            if final:
                raise
            with self.lock:
                if quit_sent:
                    for content in got:
                        self.after_quit.add(examine(content)[0])
            return False
        with self.lock:
            for content in got:
                ident, intact = examine(content)
                if not intact:
                    self.corrupt.append(("collected", ident))
                self.collected[ident] = self.collected.get(ident, 0) + 1
        return True

    def pop_collector(self, u):
        rng = random.Random(self.seed * 7919 + u)
        while not self.stop_collectors.is_set():
            self.pop_session(f"user{u}")
            time.sleep(rng.uniform(0.1, 0.5))

    def killer(self):
        rng = random.Random(self.seed * 31337)
        for _ in range(self.kills):
            time.sleep(rng.uniform(*self.kill_spacing))
            with self.server_lock:
                self.kill_times.append(time.time())
                self.server.kill()
                self.server = self.start_server()
            self.kills_done += 1
            self.log(f"  kill {self.kills_done}/{self.kills}: killed and restarted")

    def provider_chaos(self):
        """The provider dies at random moments while SmartPop collects, and comes back."""
        rng = random.Random(self.seed * 4241)
        for _ in range(self.provider_drops):
            time.sleep(rng.uniform(0.2, 1.5))
            self.provider.kill()
            time.sleep(rng.uniform(0.1, 0.5))
            self.provider.start()

    def sampler(self):
        while not self.stop_collectors.is_set():
            with self.server_lock:
                server = self.server
            try:
                self.peak_rss_kib = max(self.peak_rss_kib, server.status("VmRSS"))
                with open(f"/proc/{server.proc.pid}/status") as f:
                    for line in f:
                        if line.startswith("Threads:"):
                            self.peak_threads = max(self.peak_threads, int(line.split()[1]))
            except (OSError, AssertionError, ValueError):
                pass
            time.sleep(0.2)

    def poll_smartpop(self):
        """Asks the server to collect the provider's mail, again and again until it is all in."""
        while not self.stop_collectors.is_set():
            self.inst.ctl("poll", check=False)
            time.sleep(1)

    # --- the run ----------------------------------------------------------------------------

    def queued(self):
        for pattern in ("inbox/*.wrk", "inbox/*.pop", "outbox/*.wrk"):
            if glob.glob(os.path.join(self.inst.spool, pattern)):
                return True
        return bool(self.provider and self.provider.waiting("far"))

    def run(self):
        self.setup()
        try:
            return self._run()
        finally:
            self.cleanup()

    def _run(self):
        started = time.monotonic()
        if self.provider:
            rng = random.Random(self.seed * 1009)
            self.provider_ids = [f"p{i}s{self.seed}" for i in range(self.provider_messages)]
            self.provider.deliver("far", [make_message(i, rng, self.big_share) for i in self.provider_ids])
        self.server = self.start_server()
        threads = [threading.Thread(target=self.smtp_client, args=(n,), daemon=True) for n in range(self.clients)]
        collectors = [threading.Thread(target=self.pop_collector, args=(u,), daemon=True) for u in range(self.users)]
        helpers = [threading.Thread(target=self.sampler, daemon=True)]
        if self.provider:
            helpers.append(threading.Thread(target=self.poll_smartpop, daemon=True))
            helpers.append(threading.Thread(target=self.provider_chaos, daemon=True))
        killer = threading.Thread(target=self.killer, daemon=True)
        for t in threads + collectors + helpers + [killer]:
            t.start()
        for t in threads:
            t.join()
        sent_done = time.monotonic()
        self.log(f"  clients done: {len(self.acked)} acknowledged in {sent_done - started:.1f} s")
        killer.join()
        # Everything acknowledged is delivered, sent on and collected by itself; wait for it.
        deadline = time.monotonic() + self.settle_timeout
        while self.queued() and time.monotonic() < deadline:
            time.sleep(0.25)
        settled = not self.queued()
        self.stop_collectors.set()
        for t in collectors + helpers:
            t.join(timeout=120)
        # What is left in the mailboxes is collected now, and the server stops in order.
        for u in range(self.users):
            self.pop_session(f"user{u}", final=True)
        with self.server_lock:
            rc = self.server.stop(timeout=60)
        return self.tally(settled, rc, time.monotonic() - started)

    def tally(self, settled, exit_code, seconds):
        relayed, accepted_at = {}, {}
        for e in self.relay.events("MESSAGE"):
            if not e["reply"].startswith("250"):
                continue
            ident, intact = examine(e["content"].encode("latin-1"))
            if not intact:
                self.corrupt.append(("relayed", ident))
            relayed[ident] = relayed.get(ident, 0) + 1
            accepted_at.setdefault(ident, e["t"])
        drops = self.relay.events("dropped")
        unanswered = set()  # whole text taken, connection dropped before "250"
        for d in drops:
            if d["where"] == "data-end":
                unanswered.add(examine(d["data"].encode("latin-1"))[0])
        # A session cut off after QUIT may have done its deletions: such copies count once, where
        # no session that ended properly took them.
        collected = dict(self.collected)
        for ident in self.after_quit - collected.keys():
            collected[ident] = 1

        lost, duplicated, misplaced = [], [], []
        expected = dict(self.acked)
        if self.provider:
            for ident in self.provider_ids:
                expected[ident] = ["user0@example.test"]
        for ident, rcpts in expected.items():
            want_local = any(r.endswith("@example.test") for r in rcpts)
            want_remote = any(r.endswith("@remote.test") for r in rcpts)
            for want, counts, where in ((want_local, collected, "mailbox"), (want_remote, relayed, "relay")):
                n = counts.get(ident, 0)
                if want and n == 0:
                    lost.append((where, ident))
                elif n > 1:
                    duplicated.append((where, ident))
                elif not want and n:
                    misplaced.append((where, ident))
        # Messages that never got their "250" may or may not have been stored; never twice.
        unacked_seen = 0
        for ident in set(self.sent) - set(self.acked):
            for counts, where in ((collected, "mailbox"), (relayed, "relay")):
                if counts.get(ident, 0) > 1:
                    duplicated.append((where, ident))
                elif counts.get(ident, 0) == 1:
                    unacked_seen += 1
        # A kill that lands after the relay took a text but before the transmitter heard its
        # "250" makes the next run send it again: no SMTP sender can close that window. Such a
        # duplicate is told apart by the relay having accepted the first copy at the moment of a
        # kill (the relay records the text just before it answers).
        in_kill_window = [d for d in duplicated if d[0] == "relay" and any(
            -self.KILL_WINDOW <= accepted_at[d[1]] - k <= self.KILL_WINDOW for k in self.kill_times)]
        unknown = [i for i in list(collected) + list(relayed) if i is not None and i not in self.sent and i not in expected]
        leftovers = self.leftovers()
        return {
            "sent": len(self.sent),
            "acknowledged": len(self.acked),
            "error_replies": len(self.errors),
            "error_codes": sorted(set(self.errors.values())),
            "cut_off": len(self.cut_off),
            "delivered_local": sum(1 for i, r in expected.items() if any(x.endswith("@example.test") for x in r)
                                   and collected.get(i)),
            "expected_local": sum(1 for r in expected.values() if any(x.endswith("@example.test") for x in r)),
            "relayed": sum(1 for i, r in expected.items() if any(x.endswith("@remote.test") for x in r)
                           and relayed.get(i)),
            "expected_relayed": sum(1 for r in expected.values() if any(x.endswith("@remote.test") for x in r)),
            "provider_collected": sum(1 for i in getattr(self, "provider_ids", []) if collected.get(i)),
            "unacknowledged_but_stored": unacked_seen,
            "lost": lost,
            "duplicated": duplicated,
            "duplicated_in_kill_window": in_kill_window,
            "duplicated_after_unanswered_text": [d for d in duplicated if d[0] == "relay" and d[1] in unanswered],
            "misplaced": misplaced,
            "unknown": unknown,
            "corrupt": self.corrupt,
            "other_at_relay": relayed.get(None, 0),
            "relay_drops": {w: sum(1 for d in drops if d["where"] == w) for w in sorted({d["where"] for d in drops})},
            "relay_unanswered_texts": len(unanswered),
            "kills": self.kills_done,
            "settled": settled,
            "exit_code": exit_code,
            "leftovers": leftovers,
            "peak_rss_mib": round(self.peak_rss_kib / 1024, 1),
            "peak_threads": self.peak_threads,
            "seconds": round(seconds, 1),
        }

    def leftovers(self):
        """Files in the spool that no finished transaction explains (after an orderly stop)."""
        found = []
        for name in os.listdir(os.path.join(self.inst.spool, "inbox")):
            found.append("inbox/" + name)
        outbox = os.path.join(self.inst.spool, "outbox")
        if os.path.isdir(outbox):
            for name in os.listdir(outbox):
                if not name.endswith((".old", ".err", ".cnt")):
                    found.append("outbox/" + name)
        for path in glob.glob(os.path.join(self.inst.spool, "mailbox", "M*", "*")):
            if not path.endswith((".txt", ".lst", ".lck")) or path.endswith(".tmp"):
                found.append(os.path.relpath(path, self.inst.spool))
        return sorted(found)


def report(figures, out=print):
    """The figures as lines a person reads."""
    f = figures
    out(f"messages sent (DATA started)      {f['sent']}")
    out(f"acknowledged with 250             {f['acknowledged']}")
    out(f"error replies                     {f['error_replies']} {f['error_codes']}")
    out(f"cut off before the reply          {f['cut_off']} (of these stored anyway: {f['unacknowledged_but_stored']})")
    out(f"delivered locally (POP3)          {f['delivered_local']} of {f['expected_local']}")
    out(f"relayed                           {f['relayed']} of {f['expected_relayed']}")
    if f["provider_collected"]:
        out(f"collected from the provider       {f['provider_collected']}")
    out(f"lost                              {len(f['lost'])} {f['lost'][:10]}")
    out(f"duplicated                        {len(f['duplicated'])} {f['duplicated'][:10]}")
    out(f"  of these at the relay, the first copy accepted at the moment of a kill (before the 250 could "
        f"be heard): {len(f['duplicated_in_kill_window'])}")
    out(f"  of these after a relay dropped the line after the whole text, before its 250: "
        f"{len(f['duplicated_after_unanswered_text'])}")
    out(f"corrupt (checksum)                {len(f['corrupt'])} {f['corrupt'][:10]}")
    out(f"misplaced / unknown               {len(f['misplaced'])} / {len(f['unknown'])}")
    out(f"other mail at the relay           {f['other_at_relay']} (failure reports)")
    out(f"relay drops                       {f['relay_drops']}; texts taken whole but unanswered: "
        f"{f['relay_unanswered_texts']}")
    out(f"kills survived                    {f['kills']}")
    out(f"peak resident memory / threads    {f['peak_rss_mib']} MiB / {f['peak_threads']}")
    out(f"spool left over after the stop    {f['leftovers'][:10]}")
    out(f"settled / exit code / seconds     {f['settled']} / {f['exit_code']} / {f['seconds']}")


class SmallFileSystem:
    """A small file system for the spool: a loop-mounted ext4 image, or failing that a tmpfs
    with a size limit; made here and removed by remove(). `reason` says why there is none
    (not root, mounts not allowed)."""

    def __init__(self, folder, size_mib=24):
        self.mount = os.path.join(folder, "smallfs")
        self.image = os.path.join(folder, "smallfs.img")
        self.kind = None
        self.reason = None
        if os.geteuid() != 0:
            self.reason = "a small file system for the spool needs root (mount)"
            return
        os.makedirs(self.mount, exist_ok=True)
        try:
            with open(self.image, "wb") as f:
                f.truncate(size_mib << 20)
            subprocess.run(["mkfs.ext4", "-q", "-F", self.image], check=True, capture_output=True)
            subprocess.run(["mount", "-o", "loop", self.image, self.mount], check=True, capture_output=True)
            self.kind = "ext4 image"
            return
        except (OSError, subprocess.CalledProcessError) as e:
            loop_error = getattr(e, "stderr", b"") or str(e).encode()
        try:
            subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size_mib}m", "tmpfs", self.mount],
                           check=True, capture_output=True)
            self.kind = "tmpfs"
        except (OSError, subprocess.CalledProcessError) as e:
            self.reason = (f"neither a loop mount ({loop_error.decode(errors='replace').strip()}) nor a tmpfs "
                           f"({(getattr(e, 'stderr', b'') or str(e).encode()).decode(errors='replace').strip()}) "
                           "can be mounted here")

    def fill(self, slack=0):
        """Takes every free block (as root, the reserved ones too); returns the bytes taken.
        `slack` bytes of it are in a file of their own that release_slack() gives back."""
        taken = 0
        if slack:
            with open(os.path.join(self.mount, "slack"), "wb") as f:
                f.write(b"\0" * slack)
        chunk = b"\0" * (1 << 20)
        for n in range(1 << 20):
            path = os.path.join(self.mount, f"filler{n}")
            try:
                with open(path, "wb", buffering=0) as f:
                    while True:
                        f.write(chunk)
                        taken += len(chunk)
            except OSError:
                pass
            if len(chunk) == 1:
                break
            chunk = chunk[: len(chunk) // 16] or b"\0"
        return taken

    def release_slack(self):
        os.remove(os.path.join(self.mount, "slack"))

    def free(self):
        for path in glob.glob(os.path.join(self.mount, "filler*")):
            os.remove(path)

    def remove(self):
        if self.kind:
            subprocess.run(["umount", "-l", self.mount], capture_output=True)
        if os.path.exists(self.image):
            os.remove(self.image)


def disk_full_run(full_seconds=8, clients=5, seed=1, log=print):
    """Mail sent while the spool's file system is full, then after space returns. Returns the
    figures, or {"skipped": reason}."""
    inst = Installation()
    fs = SmallFileSystem(inst.dir)
    if fs.reason:
        inst.cleanup()
        return {"skipped": fs.reason}
    try:
        inst.spool = os.path.join(fs.mount, "spool")
        inst.configure()
        inst.set_dword("", "LogAll", 0)
        for u in range(3):
            inst.run("postvane-admin", "mailbox", "add", f"user{u}", "--password", PASSWORD)
        # Mail for user2 goes on to user0: a forward is a new file (with its trace line), so the
        # spooler needs space of its own to deliver it.
        inst.run("postvane-admin", "mailbox", "forward", "user2", "user0@example.test")
        inst.run("postvane-admin", "mailbox", "forward-only", "user2", "on")
        server = inst.start()
        server.wait_for("Starting Postvane", 30)
        wait_listening(inst.ports["smtpinport"], 30)
        figures = {"file_system": fs.kind, "acked": {}, "replies": {}, "full_acked": 0}
        rng = random.Random(seed)

        def send_some(count, phase, spread_seconds=0.0):
            def one(n):
                r = random.Random(rng.random())
                for k in range(count):
                    ident = f"{phase}{n}m{k}s{seed}"
                    text = make_message(ident, r, big_share=0.2)
                    code = 0
                    try:
                        with smtplib.SMTP("127.0.0.1", inst.ports["smtpinport"], timeout=60) as smtp:
                            smtp.sendmail("sender@client.test", [f"user{n % 3}@example.test"], text)
                            code = 250
                    except smtplib.SMTPResponseException as e:
                        code = e.smtp_code
                    except smtplib.SMTPRecipientsRefused as e:
                        code = min(c for c, _ in e.recipients.values())
                    except (OSError, smtplib.SMTPException):
                        code = -1
                    with lock:
                        figures["replies"].setdefault(phase, {}).setdefault(code, 0)
                        figures["replies"][phase][code] += 1
                        if code == 250:
                            figures["acked"][ident] = n % 3
                    if spread_seconds:
                        time.sleep(spread_seconds / count)
            threads = [threading.Thread(target=one, args=(n,)) for n in range(clients)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()

        lock = threading.Lock()
        send_some(4, "before")
        figures["filled_bytes"] = fs.fill(slack=128 << 10)
        lines_before = len(server.output())
        send_some(5, "full", spread_seconds=full_seconds / 2)
        # A little space comes back and runs out again: some messages are taken, the spooler
        # meets the full disk while delivering them.
        fs.release_slack()
        send_some(5, "nearly", spread_seconds=full_seconds / 2)
        figures["log_lines_while_full"] = len(server.output()) - lines_before
        figures["log_sample"] = [line for line in server.output()[lines_before:]
                                 if "Mail for" not in line and "could not store" not in line][:12]
        fs.free()
        freed = time.monotonic()
        send_some(4, "after")
        # Everything acknowledged arrives, intact, once; nothing is left over.
        collected, corrupt = {}, []
        deadline = time.monotonic() + 45

        def pop_all():
            for u in range(3):
                try:
                    for lines in inst.pop_messages(f"user{u}", PASSWORD):
                        ident, intact = examine("\r\n".join(lines).encode())
                        if not intact:
                            corrupt.append(ident)
                        collected[ident] = collected.get(ident, 0) + 1
                except (OSError, poplib.error_proto):
                    pass
        while time.monotonic() < deadline:
            pop_all()
            if set(figures["acked"]) <= set(collected) and not glob.glob(os.path.join(inst.spool, "inbox", "*.wrk")):
                break
            time.sleep(0.5)
        figures["recovery_seconds"] = round(time.monotonic() - freed, 1)
        pop_all()
        figures["exit_code"] = server.stop(timeout=60)
        figures["lost"] = sorted(set(figures["acked"]) - set(collected))
        figures["duplicated"] = sorted(i for i, c in collected.items() if c > 1)
        figures["corrupt"] = corrupt
        figures["leftovers"] = sorted(os.listdir(os.path.join(inst.spool, "inbox")))
        figures["acked"] = len(figures["acked"])
        figures["output_tail"] = server.output()[-15:]
        return figures
    finally:
        for s in inst.servers:
            s.kill()
        fs.remove()
        inst.cleanup()
