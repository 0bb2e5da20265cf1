"""Attacks from an address outside AdvCon\\RelayNets, made as an enemy would make them, against
the real server: factory passwords, guessing across connections, floods, slow clients and
oversized texts. The office is 127.0.0.1 (RelayNets is set to it alone); the stranger is
127.0.0.2."""

import os
import re
import socket
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
        self.wizard = self.inst.run("postvane-wizard", "--defaults", "--maildrop", self.inst.spool,
                                    "--domain", "example.test").stdout
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


if __name__ == "__main__":
    unittest.main()
