"""Mail survives the server being killed: every acknowledged message reaches its mailbox and the
outbound queue exactly once, and nothing half-received is left behind."""

import glob
import os
import re
import signal
import smtplib
import threading
import time
import unittest

from pvharness import Installation, wait_listening, wait_until

CLIENTS = 10
KILLS = 3


class DurabilityTest(unittest.TestCase):
    def setUp(self):
        self.inst = Installation()
        self.addCleanup(self.inst.cleanup)
        self.inst.configure()
        self.inst.run("postvane-admin", "mailbox", "add", "load")
        self.port = self.inst.ports["smtpinport"]
        self.inbox = os.path.join(self.inst.spool, "inbox")

    def start(self):
        server = self.inst.start()
        server.wait_for("Starting Postvane")
        wait_listening(self.port)
        return server

    def tokens_in(self, paths):
        counts = {}
        for path in paths:
            try:
                with open(path, "rb") as f:
                    text = f.read()
            except FileNotFoundError:
                continue
            for token in re.findall(rb"Subject: (t\d+-\d+)", text):
                counts[token.decode()] = counts.get(token.decode(), 0) + 1
        return counts

    def test_a_batch_decided_before_a_kill_is_finished_at_start_before_anything_is_removed(self):
        """The state a kill leaves right after the spooler's journal is renamed into place: the
        inbox pair, the mailbox copy under its staged name, and the journal. Start-up must finish
        the journal before it removes unfinished files (the staged copy would be one of them), or
        the next sweep finishes the journal on a copy that is gone and the message is lost."""
        inst = self.inst
        os.makedirs(self.inbox, exist_ok=True)
        folder = inst.folder("load")
        os.makedirs(folder, exist_ok=True)
        base = os.path.join(self.inbox, "f0000123")
        text = b"Subject: decided\r\n\r\nacknowledged before the kill\r\n"
        with open(base + ".txt", "wb") as f:
            f.write(text)
        with open(base + ".wrk", "wb") as f:
            f.write(b"sender@example.test\r\nload\r\n")
        staged, final = os.path.join(folder, "f0000123.tmp"), os.path.join(folder, "f0000123.txt")
        os.link(base + ".txt", staged)
        with open(os.path.join(self.inbox, "spooler.jnl"), "wb") as f:
            f.write(("\r\n".join(["R", staged, final, "F", folder, "D", base + ".wrk", "D", base + ".txt"]) +
                     "\r\n").encode())
        server = self.start()
        try:
            wait_until(lambda: not os.path.exists(os.path.join(self.inbox, "spooler.jnl")), what="the journal finished")
            time.sleep(1)  # a sweep after start-up
        finally:
            self.assertEqual(server.stop(), 0)
        with open(final, "rb") as f:
            self.assertEqual(f.read(), text)
        self.assertEqual(sorted(os.listdir(folder)), ["f0000123.txt"])
        self.assertFalse(glob.glob(base + ".*"))
        self.assertFalse([l for l in server.output() if "unfinished queue files" in l])

    def test_a_stall_count_cut_off_by_a_kill_is_removed_and_the_message_stays(self):
        outbox = os.path.join(self.inst.spool, "outbox")
        os.makedirs(outbox, exist_ok=True)
        base = os.path.join(outbox, "f000000F")
        for suffix, text in ((".txt", b"Subject: far\r\n\r\nx\r\n"), (".wrk", b"a@example.test\r\nb@remote.test\r\n"),
                             (".cnt", b"1\r\n"), (".cnn", b"2\r\n")):
            with open(base + suffix, "wb") as f:
                f.write(text)
        server = self.start()
        self.assertEqual(server.stop(), 0)
        self.assertEqual(sorted(os.listdir(outbox)), ["f000000F.cnt", "f000000F.txt", "f000000F.wrk"])

    def test_kill_under_load_delivers_every_acknowledged_message_exactly_once(self):
        server = self.start()
        acked, lock, stop = set(), threading.Lock(), threading.Event()

        def client(n):
            k = 0
            while not stop.is_set():
                try:
                    with smtplib.SMTP("127.0.0.1", self.port, timeout=10) as c:
                        while not stop.is_set():
                            k += 1
                            token = f"t{n}-{k}"
                            c.sendmail("sender@example.test", ["load", "far@remote.test"],
                                       f"Subject: {token}\r\n\r\nload test\r\n".encode())
                            with lock:
                                acked.add(token)
                except (OSError, smtplib.SMTPException):
                    time.sleep(0.05)  # the server is down: try again

        threads = [threading.Thread(target=client, args=(n,)) for n in range(CLIENTS)]
        for t in threads:
            t.start()
        try:
            for _ in range(KILLS):
                wait_until(lambda: len(acked) > 0, what="some mail")
                time.sleep(1.5)
                server.kill()
                server = self.start()
            time.sleep(1.5)
        finally:
            stop.set()
            for t in threads:
                t.join(timeout=30)

        def delivered():
            return not glob.glob(os.path.join(self.inbox, "*.wrk"))
        wait_until(delivered, timeout=60, what="the inbox to be delivered")
        self.assertEqual(server.stop(), 0)

        self.assertGreater(len(acked), 100)
        mailbox = self.tokens_in(glob.glob(os.path.join(self.inst.spool, "mailbox", "M*", "*.txt")))
        outbound = self.tokens_in(p[:-4] + ".txt" for p in glob.glob(os.path.join(self.inst.spool, "outbox", "*.wrk")))
        for where, counts in (("mailbox", mailbox), ("outbox", outbound)):
            missing = sorted(acked - counts.keys())
            doubled = sorted(t for t, c in counts.items() if c > 1)
            self.assertEqual(missing, [], f"acknowledged but not in the {where}")
            self.assertEqual(doubled, [], f"more than once in the {where}")
        # Nothing half-received or half-delivered is left.
        self.assertEqual(sorted(os.listdir(self.inbox)), [])
        self.assertEqual(glob.glob(os.path.join(self.inst.spool, "mailbox", "M*", "*.tmp")), [])

    def test_sigterm_in_the_middle_of_the_text_leaves_nothing_behind(self):
        server = self.start()
        c = smtplib.SMTP("127.0.0.1", self.port)
        c.helo("client")
        c.mail("sender@example.test")
        c.rcpt("load")
        c.putcmd("data")
        self.assertEqual(c.getreply()[0], 354)
        c.send(b"Subject: cut off\r\n\r\n" + b"x" * 100000 + b"\r\n")
        wait_until(lambda: glob.glob(os.path.join(self.inbox, "*.txt")), what="the message file")
        self.assertEqual(server.stop(signal.SIGTERM), 0)
        c.close()
        self.assertEqual(os.listdir(self.inbox), [])


if __name__ == "__main__":
    unittest.main()
