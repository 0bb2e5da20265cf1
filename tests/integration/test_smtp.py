"""The SMTP receiver against real clients: Python's smtplib and swaks."""

import glob
import os
import re
import signal
import smtplib
import socket
import subprocess
import threading
import time
import unittest

from pvharness import Installation, KeptInboxTest, wait_listening


class SmtpServerTest(KeptInboxTest):
    aliases = {"sales": ("alice", "bob")}

    def client(self):
        c = smtplib.SMTP("127.0.0.1", self.port, timeout=10)
        self.addCleanup(c.close)
        return c

    def test_preconditions_and_syntax_replies(self):
        c = self.client()
        self.assertEqual(c.docmd("MAIL FROM:<x@remote.test>"), (550, b"who are you"))
        self.assertEqual(c.docmd("HELO"), (250, b"Why do you wish to remain anonymous"))
        self.assertEqual(c.docmd("RCPT TO:<alice>"), (550, b"who is the MAIL from"))
        self.assertEqual(c.docmd("DATA"), (550, b"who is the mail to"))
        self.assertEqual(c.docmd("MAIL FROM: x@remote.test"), (500, b"Syntax Error"))
        # The null sender is a sender: its recipients are taken (see test_security).
        self.assertEqual(c.docmd("MAIL FROM:<>"), (250, b"<> Sender Ok"))
        self.assertEqual(c.docmd("RCPT TO:<alice>"), (250, b"Recipient Ok"))
        self.assertEqual(c.docmd("RSET"), (250, b"Ok"))
        for line in ("EHLOX me", "VRFY alice", "HEL me", "MAI FROM:<x>", "DATAX", ""):
            self.assertEqual(c.docmd(line), (550, b"Syntax Error"), line)
        # EHLO is answered with the extensions (see test_tls); HELO below ends its mode again.
        self.assertEqual(c.docmd("EHLO me")[0], 250)
        self.assertEqual(c.docmd("noop"), (250, b"Ok, Twiddling thumbs"))
        self.assertEqual(c.docmd("HELO client.lan"), (250, b"example.test"))
        self.assertEqual(c.docmd("MAIL FROM:<@relay.test:carol@remote.test>"), (250, b"<carol@remote.test> Sender Ok"))
        self.assertEqual(c.docmd("RCPT TO:<nobody@example.test>"), (550, b"Recipient unknown"))
        self.assertEqual(c.docmd("RCPT TO:alice"), (500, b"Syntax Error"))
        self.assertEqual(c.docmd("RSET"), (250, b"Ok"))
        self.assertEqual(c.docmd("RCPT TO:<alice>"), (550, b"who is the MAIL from"))
        self.assertEqual(c.docmd("x" * 5000), (500, b"Line too long"))
        self.assertEqual(c.docmd("QUIT"), (221, b"example.test Service closing transmission channel"))

    def test_messages_are_stored_with_trace_lines_and_unstuffed(self):
        before = set(self.pairs())
        c = self.client()
        c.helo("client.lan")
        self.assertEqual(c.docmd("MAIL FROM:<carol@remote.test>")[0], 250)
        self.assertEqual(c.docmd("RCPT TO:<@hop.test:alice@example.test>"), (250, b"Recipient Ok"))
        self.assertEqual(c.docmd("DATA")[0], 354)
        c.send(b"Subject: one\r\n\r\n..\r\n..x\r\n.x\r\nlast\r\n.\r\n")
        self.assertEqual(c.getreply(), (250, b"Ok"))
        # A second message on the same connection, to two recipients.
        self.assertEqual(c.docmd("MAIL FROM:<carol@remote.test>")[0], 250)
        c.docmd("RCPT TO:<sales>")
        c.docmd("RCPT TO:<dave@elsewhere.test>")
        self.assertEqual(c.docmd("DATA")[0], 354)
        c.send(b"Subject: two\r\n\r\nbody\r\n.\r\n")
        self.assertEqual(c.getreply(), (250, b"Ok"))
        # DATA then "." alone writes nothing.
        c.docmd("MAIL FROM:<carol@remote.test>")
        c.docmd("RCPT TO:<alice>")
        c.docmd("DATA")
        c.send(b".\r\n")
        self.assertEqual(c.getreply(), (550, b"Error"))
        c.quit()

        new = sorted(set(self.pairs()) - before)
        self.assertEqual(len(new), 2)
        first, second = (self.read(n, ".txt").split(b"\r\n") for n in new)
        self.assertEqual(first[0], b"Received: from client.lan by example.test")
        self.assertRegex(first[1].decode(),
                         r"^     [A-Z][a-z]+day,[A-Z][a-z]+ \d\d, \d{4}, \d\d:\d\d:\d\d  for alice@example.test$")
        self.assertEqual(first[2:], [b"Subject: one", b"", b".", b".x", b"x", b"last", b""])
        self.assertRegex(second[1].decode(), r"^     [A-Z][a-z]+day,[A-Z][a-z]+ \d\d, \d{4}, \d\d:\d\d:\d\d $")  # two recipients: no "for"
        self.assertEqual(self.read(new[0], ".wrk"), b"carol@remote.test\r\nalice@example.test\r\n")
        self.assertEqual(self.read(new[1], ".wrk"), b"carol@remote.test\r\nsales\r\ndave@elsewhere.test\r\n")
        self.assertEqual(len(glob.glob(os.path.join(self.inbox(), "*.txt"))), len(self.pairs()))
        self.assertEqual(glob.glob(os.path.join(self.inbox(), "*.err")), [])

    def test_long_text_lines_are_stored_whole(self):
        before = set(self.pairs())
        c = self.client()
        c.helo("client")
        c.mail("carol@remote.test")
        c.rcpt("alice")
        long_line = b"y" * (3 * 1024 * 1024)
        self.assertEqual(c.data(b"Subject: long\r\n\r\n" + long_line + b"\r\nend\r\n")[0], 250)
        (name,) = set(self.pairs()) - before
        body = self.read(name, ".txt").split(b"\r\n")
        self.assertEqual(body[4], long_line)
        self.assertEqual(body[5], b"end")

    def test_swaks_delivers_and_the_activity_event_follows_conversations(self):
        before = set(self.pairs())
        proc = subprocess.run(["swaks", "--protocol", "SMTP", "--server", "127.0.0.1", "--port", str(self.port),
                               "--helo", "swaks.lan", "--from", "erin@remote.test", "--to", "bob@example.test",
                               "--header", "Subject: via swaks", "--body", "hello"],
                              capture_output=True, text=True, timeout=30)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        (name,) = set(self.pairs()) - before
        self.assertEqual(self.read(name, ".wrk"), b"erin@remote.test\r\nbob@example.test\r\n")
        self.assertIn(b"Subject: via swaks", self.read(name, ".txt"))

        a, b = self.client(), self.client()
        a.helo("a")
        b.helo("b")
        self.assertEqual(self.inst.run("postvane-ctl", "test", "PVG:SMTPRC", check=False).returncode, 0)
        a.quit()
        time.sleep(0.3)
        self.assertEqual(self.inst.run("postvane-ctl", "test", "PVG:SMTPRC", check=False).returncode, 0)
        b.quit()
        deadline = time.monotonic() + 5
        while self.inst.run("postvane-ctl", "test", "PVG:SMTPRC", check=False).returncode == 0:
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.05)

    def test_many_clients_at_once_give_complete_distinct_pairs(self):
        before = set(self.pairs())
        errors = []

        def client(i):
            try:
                c = smtplib.SMTP("127.0.0.1", self.port, timeout=60)
                c.helo(f"client{i}")
                for j in range(20):
                    token = f"c{i}m{j}"
                    c.sendmail(f"{token}@remote.test", ["alice", f"{token}@elsewhere.test"],
                               f"Subject: {token}\r\n\r\n{token} body\r\n".encode())
                c.quit()
            except Exception as e:  # noqa: BLE001 - collected and reported below
                errors.append(f"{i}: {e!r}")

        threads = [threading.Thread(target=client, args=(i,)) for i in range(50)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(errors, [])
        new = set(self.pairs()) - before
        self.assertEqual(len(new), 1000)
        tokens = set()
        for name in new:
            envelope = self.read(name, ".wrk").decode().split("\r\n")
            token = envelope[0].split("@")[0]
            self.assertEqual(envelope, [f"{token}@remote.test", "alice", f"{token}@elsewhere.test", ""])
            self.assertIn(f"Subject: {token}\r\n\r\n{token} body\r\n".encode(), self.read(name, ".txt"))
            tokens.add(token)
        self.assertEqual(len(tokens), 1000)


class SmtpServerLifecycleTest(unittest.TestCase):
    def setUp(self):
        self.inst = Installation()
        self.addCleanup(self.inst.cleanup)
        self.inst.configure()
        self.inst.set_dword("", "KeepFiles", 1)
        self.inst.run("postvane-admin", "mailbox", "add", "alice")
        self.port = self.inst.ports["smtpinport"]

    def start(self):
        server = self.inst.start()
        server.wait_for("Starting Postvane")
        wait_listening(self.port)
        return server

    def test_silent_client_is_dropped_without_a_reply(self):
        self.inst.set_dword("AdvCon", "SMTPintimeout", 1)
        server = self.start()
        s = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        self.addCleanup(s.close)
        self.assertTrue(s.recv(200).startswith(b"220 example.test Postvane server ready"))
        start = time.monotonic()
        self.assertEqual(s.recv(200), b"")  # closed, and no reply came first
        self.assertLess(time.monotonic() - start, 4)
        server.wait_for(f"SMTP server timeout talking to [127.0.0.1] on port {self.port}")
        server.stop()

    def test_abandoned_transactions_leave_no_mail_and_kill_loses_nothing_acknowledged(self):
        server = self.start()
        inbox = os.path.join(self.inst.spool, "inbox")
        c = smtplib.SMTP("127.0.0.1", self.port, timeout=10)
        c.helo("client")
        for i in range(5):
            c.sendmail("carol@remote.test", ["alice"], f"Subject: kept {i}\r\n\r\nbody\r\n".encode())
        # A dropped connection in the middle of the text leaves nothing.
        d = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        d.recv(200)
        d.sendall(b"HELO d\r\nMAIL FROM:<x@remote.test>\r\nRCPT TO:<alice>\r\nDATA\r\nSubject: cut\r\n\r\npartial\r\n")
        time.sleep(0.5)
        d.close()
        # A kill in the middle of the text loses nothing that was acknowledged.
        c.docmd("MAIL FROM:<carol@remote.test>")
        c.docmd("RCPT TO:<alice>")
        c.docmd("DATA")
        c.send(b"Subject: interrupted\r\n\r\nhalf of it\r\n")
        time.sleep(0.5)
        server.proc.send_signal(signal.SIGKILL)
        server.proc.wait()

        # Every acknowledged message is a whole pair (its envelope waiting or already spooled).
        works = glob.glob(os.path.join(inbox, "*.wrk")) + glob.glob(os.path.join(inbox, "*.tmp"))
        self.assertEqual(len(works), 5)
        for w in works:
            with open(w[:-4] + ".txt", "rb") as f:
                self.assertRegex(f.read(), rb"Subject: kept \d\r\n\r\nbody\r\n$")
        for t in glob.glob(os.path.join(inbox, "*.txt")):
            with open(t, "rb") as f:
                self.assertNotIn(b"Subject: cut", f.read())
        again = self.start()
        self.assertEqual(smtplib.SMTP("127.0.0.1", self.port, timeout=10).noop()[0], 250)
        again.stop()

    def test_relaying_only_from_local_networks(self):
        self.inst.set_string("AdvCon", "RelayNets", "10.0.0.0/8, 192.168.0.0/16")
        server = self.start()
        c = smtplib.SMTP("127.0.0.1", self.port, timeout=10)
        c.helo("outsider")
        c.mail("carol@remote.test")
        self.assertEqual(c.rcpt("dave@elsewhere.test"), (550, b"Relaying denied"))
        self.assertEqual(c.rcpt("alice@example.test"), (250, b"Recipient Ok"))
        self.assertEqual(c.data(b"Subject: local\r\n\r\nok\r\n")[0], 250)
        c.quit()
        server.wait_for("SMTP Server rejected message for dave@elsewhere.test")
        server.stop()


if __name__ == "__main__":
    unittest.main()
