"""Attacks from an address outside AdvCon\\RelayNets, made as an enemy would make them, against
the real server: factory passwords, guessing across connections, floods, slow clients and
oversized texts. The office is 127.0.0.1 (RelayNets is set to it alone); the stranger is
127.0.0.2."""

import os
import re
import selectors
import smtplib
import socket
import threading
import time
import unittest

from pvharness import Conversation, Installation, wait_listening, wait_until

OFFICE = "127.0.0.1"
STRANGER = "127.0.0.2"
OTHER_STRANGER = "127.0.0.3"


class Gateway(unittest.TestCase):
    """A configured installation whose office network is 127.0.0.1 alone."""

    def setUp(self):
        self.inst = Installation()
        self.addCleanup(self.inst.cleanup)
        self.wizard = self.inst.run("postvane-wizard", "--defaults", "--show-password", "--maildrop",
                                    self.inst.spool, "--domain", "example.test").stdout
        self.inst.configure()
        self.inst.set_string("AdvCon", "RelayNets", OFFICE + "/32")
        self.smtp = self.inst.ports["smtpinport"]
        self.pop = self.inst.ports["popport"]

    def start(self):
        # The sanitizer keeps freed memory aside (256 MiB by default), which would hide what the
        # server itself holds: a small quarantine lets memory tests see it.
        asan = os.environ.get("ASAN_OPTIONS", "")
        server = self.inst.start(env=dict(self.inst.env, ASAN_OPTIONS=asan + ":quarantine_size_mb=8"))
        self.addCleanup(server.stop)
        server.wait_for("Starting Postvane")
        wait_listening(self.smtp)
        wait_listening(self.pop)
        return server

    def pop_login(self, user, password, source=OFFICE):
        """USER and PASS from source: the answer to PASS."""
        c = Conversation(self.pop, source=source)
        self.addCleanup(c.close)
        self.assertTrue(c.line().startswith(b"+OK"))
        self.assertEqual(c.command("USER " + user), f"+OK {user.lower()} gets mail here".encode())
        return c.command("PASS " + password)


class NoGuessableSecrets(Gateway):
    def test_factory_and_name_passwords_are_refused_from_outside(self):
        # The wizard made the postmaster's mailbox and printed its password once.
        found = re.search(r"postmaster mailbox\s+postmaster, password (\S+)", self.wizard)
        self.assertIsNotNone(found, self.wizard)
        printed = found.group(1)
        self.assertGreaterEqual(len(printed), 12)
        # Run by the server on a first start its output goes to the journal: no password there.
        quiet = Installation()
        self.addCleanup(quiet.cleanup)
        out = quiet.run("postvane-wizard", "--defaults", "--maildrop", quiet.spool).stdout
        self.assertIn("postmaster mailbox   postmaster, with a random password; set one with", out)
        # A store from an earlier version: a mailbox whose password is its name.
        self.inst.run("postvane-admin", "mailbox", "add", "oldtimer", "--password", "oldtimer")
        # The robots' mailboxes take no logins, even with the right password from inside.
        self.inst.run("postvane-admin", "mailbox", "add", "PVList", "--type", "listserver", "--password", "robotpw1")
        server = self.start()
        server.wait_for("Mailbox oldtimer still has its name as password")
        self.assertFalse(any(printed in line for line in server.output()), "the server logged a password")

        self.assertEqual(self.pop_login("postmaster", "postmaster", STRANGER), b"-ERR invalid password")
        self.assertEqual(self.pop_login("postmaster", printed, STRANGER), b"+OK mailbox locked and ready")
        self.assertEqual(self.pop_login("oldtimer", "oldtimer", STRANGER), b"-ERR invalid password")
        self.assertEqual(self.pop_login("oldtimer", "oldtimer", OFFICE), b"+OK mailbox locked and ready")
        self.assertEqual(self.pop_login("pvlist", "robotpw1", OFFICE), b"-ERR invalid password")


class GuessingAcrossConnections(Gateway):
    def test_reconnecting_guesser_is_refused_and_the_owner_is_not(self):
        self.inst.run("postvane-admin", "mailbox", "add", "alice", "--password", "pw-alice")
        server = self.start()
        # A guesser that hangs up 50 ms after each guess, as the fast attack did.
        for i in range(5):
            c = Conversation(self.pop, source=STRANGER)
            c.line()
            c.send(f"USER alice\r\nPASS guess{i}\r\n".encode())
            time.sleep(0.05)
            c.close()
        server.wait_for("POP3: 5 failed logins from [127.0.0.2]")
        # The right password from the guessing address: answered exactly as a wrong one, after
        # the same pause; from another address the owner gets in at once.
        started = time.monotonic()
        self.assertEqual(self.pop_login("alice", "pw-alice", STRANGER), b"-ERR invalid password")
        refused_after = time.monotonic() - started
        started = time.monotonic()
        self.assertEqual(self.pop_login("alice", "wrong", OTHER_STRANGER), b"-ERR invalid password")
        wrong_after = time.monotonic() - started
        self.assertAlmostEqual(refused_after, wrong_after, delta=0.5)
        self.assertEqual(self.pop_login("alice", "pw-alice", OTHER_STRANGER), b"+OK mailbox locked and ready")
        # One line for the address, not one per guess once its refusal started.
        lines = server.output()
        self.assertEqual(sum("failed logins from [127.0.0.2]" in l for l in lines), 1)
        self.assertEqual(sum("invalid password for mailbox alice" in l for l in lines), 5)


class NullSender(Gateway):
    def test_a_bounce_from_the_null_sender_is_delivered_once_and_relays_nowhere(self):
        self.inst.run("postvane-admin", "mailbox", "add", "alice", "--password", "pw-alice")
        self.start()
        c = Conversation(self.smtp, source=STRANGER)
        self.addCleanup(c.close)
        self.assertTrue(c.line().startswith(b"220 "))
        self.assertTrue(c.command("HELO mx.remote.test").startswith(b"250 "))
        self.assertEqual(c.command("MAIL FROM:<>"), b"250 <> Sender Ok")
        self.assertEqual(c.command("RCPT TO:<someone@remote.test>"), b"550 Relaying denied")
        self.assertEqual(c.command("RCPT TO:<alice@example.test>"), b"250 Recipient Ok")
        self.assertEqual(c.command("DATA"), b"354 Start mail input; end with <CRLF>.<CRLF>")
        c.send(b"From: MAILER-DAEMON@remote.test\r\nSubject: Undelivered Mail Returned to Sender\r\n"
               b"Auto-Submitted: auto-replied\r\n\r\nYour message could not be delivered.\r\n.\r\n")
        self.assertEqual(c.line(), b"250 Ok")
        self.assertEqual(c.command("QUIT")[:4], b"221 ")
        wait_until(lambda: self.inst.mailbox_messages("alice"), what="the bounce in alice's mailbox")
        time.sleep(1)
        [bounce] = self.inst.mailbox_messages("alice")
        self.assertIn(b"Your message could not be delivered.", bounce)
        self.assertEqual(os.listdir(os.path.join(self.inst.spool, "outbox")), [])  # nothing answered it


class SizeAfterHelo(Gateway):
    def test_a_60_mib_text_after_helo_is_refused_with_nothing_stored(self):
        self.inst.run("postvane-admin", "mailbox", "add", "alice", "--password", "pw-alice")
        server = self.start()
        c = Conversation(self.smtp, source=STRANGER, timeout=60)
        self.addCleanup(c.close)
        c.line()
        self.assertEqual(c.command("HELO stranger.test"), b"250 example.test")
        c.command("MAIL FROM:<x@stranger.test>")
        self.assertEqual(c.command("RCPT TO:<alice@example.test>"), b"250 Recipient Ok")
        self.assertEqual(c.command("DATA")[:4], b"354 ")
        before = server.status("VmRSS")
        line = b"x" * 1022 + b"\r\n"
        chunk = line * 1024  # 1 MiB
        for _ in range(60):
            c.send(chunk)
        c.send(b".\r\n")
        self.assertEqual(c.line(), b"552 Message size exceeds the limit of 52428800 bytes")
        grown = server.status("VmRSS") - before
        self.assertLess(grown, 16 * 1024, f"the server grew by {grown} KiB")
        self.assertEqual(c.command("QUIT")[:4], b"221 ")
        inbox = os.path.join(self.inst.spool, "inbox")
        self.assertEqual([f for f in os.listdir(inbox) if not f.startswith(".")], [])
        time.sleep(0.5)
        self.assertEqual(self.inst.mailbox_messages("alice"), [])


class RefusalFlood(Gateway):
    def test_3000_refused_connections_give_a_bounded_number_of_log_lines(self):
        self.inst.set_dword("AdvCon", "MaxPerAddress", 1)
        server = self.start()
        held = Conversation(self.smtp, source=STRANGER)
        self.addCleanup(held.close)
        self.assertTrue(held.line().startswith(b"220 "))
        refused = 0
        for _ in range(3000):
            s = socket.socket()
            s.bind((STRANGER, 0))
            s.settimeout(10)
            s.connect(("127.0.0.1", self.smtp))
            if s.recv(200).startswith(b"421 "):
                refused += 1
            s.close()
        self.assertEqual(refused, 3000)
        # The office is still served, and its own line shows the log is not stuck.
        office = Conversation(self.smtp, source=OFFICE)
        self.addCleanup(office.close)
        self.assertTrue(office.line().startswith(b"220 "))
        self.inst.run("postvane-admin", "mailbox", "add", "probe", "--password", "pw-probe")
        self.assertEqual(self.pop_login("probe", "wrong"), b"-ERR invalid password")
        server.wait_for("invalid password for mailbox probe")
        lines = [l for l in server.output() if "connection from [127.0.0.2] refused" in l]
        self.assertEqual(len(lines), 1, lines[:5])
        with open(os.path.join(self.inst.spool, "postvane.log"), newline="") as f:
            self.assertLess(len(f.read().splitlines()), 50)


class Drippers:
    """count connections from the addresses 127.0.0.10 upwards (per_address each) that send one
    byte of a never-ending line every `every` seconds, as the attack did; a connection the
    server closes is made again a second later, so the pressure never lets up."""

    def __init__(self, port, count, per_address=20, every=2.0):
        self.port, self.every = port, every
        self.sources = [f"127.0.0.{10 + i // per_address}" for i in range(count)]
        self.stop_flag = threading.Event()
        self.closed_by_server = 0
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def connect(self, sel, source):
        s = socket.socket()
        s.setblocking(False)
        s.bind((source, 0))
        s.connect_ex(("127.0.0.1", self.port))
        sel.register(s, selectors.EVENT_READ, source)
        return s

    def run(self):
        sel = selectors.DefaultSelector()
        live = {self.connect(sel, source): time.monotonic() for source in self.sources}
        again = []  # (when, source)
        while not self.stop_flag.is_set():
            now = time.monotonic()
            for s in list(live):
                if now - live[s] >= self.every:
                    try:
                        s.send(b"X")
                    except OSError:
                        pass
                    live[s] = now
            for when, source in [a for a in again if a[0] <= now]:
                again.remove((when, source))
                live[self.connect(sel, source)] = now
            for key, _ in sel.select(timeout=0.1):
                s = key.fileobj
                try:
                    data = s.recv(4096)
                except (BlockingIOError, InterruptedError):
                    continue
                except OSError:
                    data = b""
                if not data:
                    self.closed_by_server += 1
                    sel.unregister(s)
                    s.close()
                    live.pop(s, None)
                    again.append((time.monotonic() + 1.0, key.data))
        for s in live:
            s.close()

    def stop(self):
        self.stop_flag.set()
        self.thread.join(10)


class SlowClients(Gateway):
    def test_400_dripping_connections_do_not_shut_out_1000_messages(self):
        self.inst.run("postvane-admin", "mailbox", "add", "alice", "--password", "pw-alice")
        server = self.start()
        drippers = Drippers(self.smtp, 400)
        self.addCleanup(drippers.stop)
        time.sleep(6)  # the slots fill and the first drippers have been idle past the eviction age
        results = {}

        def client(n):
            for attempt in range(600):
                try:
                    with smtplib.SMTP("127.0.0.1", self.smtp, timeout=30, source_address=(OFFICE, 0)) as smtp:
                        smtp.helo("office.lan")
                        for m in range(len(results.get(n, [])), 10):
                            body = f"Subject: load {n}-{m}\r\nMessage-ID: <{n}-{m}@office>\r\n\r\nmessage {n}-{m}\r\n"
                            self.assertEqual(smtp.mail("bob@example.test")[0], 250)
                            self.assertEqual(smtp.rcpt("alice@example.test")[0], 250)
                            code, _ = smtp.data(body.encode())
                            self.assertEqual(code, 250)
                            results.setdefault(n, []).append(code)
                    return
                except (smtplib.SMTPConnectError, smtplib.SMTPServerDisconnected, ConnectionError):
                    time.sleep(0.2)  # 421 at a full moment: a real client tries again

        threads = [threading.Thread(target=client, args=(n,)) for n in range(100)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        drippers.stop()
        self.assertEqual(sum(len(r) for r in results.values()), 1000)
        self.assertGreater(drippers.closed_by_server, 0)
        # Each message arrives once.
        ids = []
        def delivered():
            ids[:] = [re.search(rb"Message-ID: <([^>]+)>", m).group(1) for m in self.inst.mailbox_messages("alice")]
            return len(ids) >= 1000
        wait_until(delivered, timeout=120, what="the 1,000 messages in alice's mailbox")
        self.assertEqual(len(ids), len(set(ids)))
        self.assertEqual(len(ids), 1000)
        server.wait_for("closed to admit a new client")

    def test_a_finger_query_dripped_byte_by_byte_meets_its_deadline_from_connecting(self):
        self.start()
        c = Conversation(self.inst.ports["fingerport"], source=STRANGER, timeout=1)
        self.addCleanup(c.close)
        started = time.monotonic()
        closed = False
        while time.monotonic() - started < 20 and not closed:
            try:
                c.send(b"a")
                closed = c.sock.recv(100) == b""
            except socket.timeout:
                pass
            except OSError:
                closed = True
        self.assertTrue(closed, "a client dripping its first line was never dropped")
        self.assertLess(time.monotonic() - started, 13)


class PollWithSmartPopOff(Gateway):
    def test_a_poll_while_smartpop_is_off_is_consumed_with_one_line(self):
        self.inst.set_dword("", "UseLan", 1)
        self.inst.set_dword("SmartPop", "Enable", 0)
        server = self.start()
        time.sleep(1.5)
        sessions_before = server.count("Online")
        self.inst.ctl("poll")
        server.wait_for("A SmartPop poll was asked for, but SmartPop is off")
        wait_until(lambda: self.inst.ctl("test", "PVG:POLLSMARTPOP", check=False).returncode == 1, 5,
                   "the poll request to be taken away")
        time.sleep(5)  # the manager decides once a second: a kept request would show by now
        self.assertEqual(server.count("A SmartPop poll was asked for"), 1)
        self.assertEqual(self.inst.ctl("test", "PVG:POLLSMARTPOP", check=False).returncode, 1)
        self.assertEqual(server.count("Online"), sessions_before)


class PortTaken(Gateway):
    def test_headless_server_whose_port_is_taken_fails_to_start_and_names_the_holder(self):
        holder = socket.socket()
        self.addCleanup(holder.close)
        holder.bind(("127.0.0.1", self.smtp))
        holder.listen()
        server = self.inst.start()
        rc = server.proc.wait(timeout=30)
        stderr = server.proc.stderr.read()
        self.assertEqual(rc, 1, stderr)
        self.assertIn(f"The SMTP service cannot listen on port {self.smtp}: the port is already in use by "
                      f"process {os.getpid()} (", stderr)
        self.assertIn("AdvCon\\smtpinport", stderr)


if __name__ == "__main__":
    unittest.main()
