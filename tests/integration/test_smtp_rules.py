"""The SMTP receiver's rules for what it takes: the end of the text, addresses, the life of a
transaction and storing the message, in scripted conversations against the real server."""

import glob
import os
import shutil
import time
import unittest

from pvharness import Conversation, Installation, KeptInboxTest, wait_listening, wait_until

OK = b"250 Ok"
NOT_STORED = b"451 Error: the message could not be stored, please try again later"
TOO_LONG = b"501 Address too long: at most 254 characters"
CONTROL = b"501 Address contains control characters"


class SmtpRulesTest(KeptInboxTest):
    def open(self):
        c = Conversation(self.port)
        self.addCleanup(c.close)
        self.assertTrue(c.line().startswith(b"220 "))
        self.assertEqual(c.command("HELO client.lan"), b"250 example.test")
        return c

    def begin(self, c, sender="carol@remote.test", *recipients):
        self.assertEqual(c.command(f"MAIL FROM:<{sender}>"), b"250 <" + sender.encode() + b"> Sender Ok")
        for r in recipients or ("alice",):
            self.assertEqual(c.command(f"RCPT TO:<{r}>"), b"250 Recipient Ok", r)

    def current_queue_name(self):
        """The queue name the last accepted MAIL took (the counter in the hive)."""
        return self.inst.queue_file_name(self.inst.read_dword("", "FileNum"))

    def test_only_crlf_dot_crlf_ends_the_text_so_nothing_is_smuggled(self):
        before = self.pairs()
        c = self.open()
        self.begin(c)
        self.assertEqual(c.command("DATA"), b"354 Start mail input; end with <CRLF>.<CRLF>")
        smuggled = b"MAIL FROM:<evil@remote.test>\r\nRCPT TO:<bob>\r\nDATA\r\nSubject: smuggled\r\n\r\n"
        # A "." ended by a bare LF, a "." after a bare LF, both, and a "." after a bare CR: each
        # is text, and the commands after it are text too.
        c.send(b"Subject: outer\r\n\r\nbody\n.\n" + smuggled +
               b"one\n.\r\n" + smuggled +
               b"two\r\n.\n" + smuggled +
               b"three\r.\r\n" + smuggled +
               b"end\r\n.\r\n")
        self.assertEqual(c.line(), OK)
        # Exactly one reply came: the next one answers the NOOP.
        self.assertEqual(c.command("NOOP"), b"250 Ok, Twiddling thumbs")
        (name,) = self.pairs() - before
        self.assertEqual(self.read(name, ".wrk"), b"carol@remote.test\r\nalice\r\n")
        text = self.read(name, ".txt")
        self.assertEqual(text.count(b"Subject: smuggled"), 4)
        self.assertTrue(text.endswith(b"\r\nend\r\n"), text[-40:])
        # A bare LF still ends an ordinary line; the "." lines lose their stuffing dot.
        self.assertIn(b"\r\nbody\r\n\r\nMAIL FROM:<evil@remote.test>\r\n", text)
        # "." straight after DATA is the end of an (empty) text.
        self.begin(c)
        self.assertEqual(c.command("DATA")[:3], b"354")
        c.send(b".\r\n")
        self.assertEqual(c.line(), b"550 Error")

    def test_overlong_and_control_character_addresses_are_refused(self):
        before = self.pairs()
        c = self.open()
        longest = "s" * 242 + "@remote.test"  # 254 characters: what a work file line holds
        self.assertEqual(len(longest), 254)
        for bad, reply in (("x" + longest, TOO_LONG), ("car\0ol@remote.test", CONTROL),
                           ("carol@remote\x1b.test", CONTROL), ("carol\x7f@remote.test", CONTROL),
                           ("carol@remote.test\t", CONTROL)):
            self.assertEqual(c.command(f"MAIL FROM:<{bad}>"), reply, repr(bad))
            self.assertEqual(c.command("RCPT TO:<alice>"), b"550 who is the MAIL from")
        self.begin(c, longest, "alice")
        far = "r" * 243 + "@remote.test"
        for bad, reply in ((far, TOO_LONG), ("al\0ice", CONTROL), ("bob\x0b@example.test", CONTROL),
                           ("bob\x01", CONTROL), ("bob\r@example.test", CONTROL)):
            self.assertEqual(c.command(f"RCPT TO:<{bad}>"), reply, repr(bad))
        self.assertEqual(c.command(f"RCPT TO:<{far[1:]}>"), b"250 Recipient Ok")
        self.assertEqual(c.command("DATA")[:3], b"354")
        c.send(b"Subject: long names\r\n\r\nbody\r\n.\r\n")
        self.assertEqual(c.line(), OK)
        (name,) = self.pairs() - before
        # Exactly what was accepted, whole, and nothing that was refused.
        self.assertEqual(self.read(name, ".wrk"), f"{longest}\r\nalice\r\n{far[1:]}\r\n".encode())

        # The HELO name goes into the Received: line: control bytes there are refused too.
        self.assertEqual(c.command("HELO evil\0host"), b"501 Host name contains control characters")
        self.assertEqual(c.command("HELO ok.lan"), b"250 example.test")

    def test_transaction_outlives_an_empty_text_and_a_recipient_named_twice_gets_one_copy(self):
        before = self.pairs()
        c = self.open()
        self.begin(c, "carol@remote.test", "alice", "alice", "ALICE", "bob")
        self.assertEqual(c.command("DATA")[:3], b"354")
        c.send(b".\r\n")
        self.assertEqual(c.line(), b"550 Error")
        # Sender and recipients are still there.
        self.assertEqual(c.command("DATA")[:3], b"354")
        c.send(b"Subject: once\r\n\r\nbody\r\n.\r\n")
        self.assertEqual(c.line(), OK)
        (name,) = self.pairs() - before
        self.assertEqual(self.read(name, ".wrk"), b"carol@remote.test\r\nalice\r\nbob\r\n")
        # A stored message ends the transaction.
        self.assertEqual(c.command("DATA"), b"550 who is the mail to")
        # So does a new MAIL: the recipients of an unfinished transaction do not carry over.
        self.begin(c, "dave@remote.test", "bob")
        self.begin(c, "erin@remote.test", "alice")
        self.assertEqual(c.command("DATA")[:3], b"354")
        c.send(b"Subject: erin\r\n\r\nbody\r\n.\r\n")
        self.assertEqual(c.line(), OK)
        (second,) = self.pairs() - before - {name}
        self.assertEqual(self.read(second, ".wrk"), b"erin@remote.test\r\nalice\r\n")

    def test_failed_commit_answers_451_leaves_nothing_and_keeps_the_transaction(self):
        before = self.pairs()
        c = self.open()
        self.begin(c)
        base = self.current_queue_name()
        self.assertEqual(c.command("DATA")[:3], b"354")
        c.send(b"Subject: blocked\r\n\r\nfirst line\r\n")
        txt = os.path.join(self.inbox(), base + ".txt")
        wait_until(lambda: os.path.exists(txt), what="the message file")
        # A folder where the envelope would go makes the commit fail.
        blocker = os.path.join(self.inbox(), base + ".tmp")
        os.mkdir(blocker)
        self.addCleanup(shutil.rmtree, blocker, True)
        c.send(b"last line\r\n.\r\n")
        self.assertEqual(c.line(), NOT_STORED)
        self.server.wait_for(f"SMTP Server could not store a message from <carol@remote.test> in")
        self.assertEqual(sorted(os.path.basename(p) for p in glob.glob(os.path.join(self.inbox(), base + ".*"))),
                         [base + ".tmp"])
        self.assertTrue(os.path.isdir(blocker))
        # The client tries again in the same transaction, and the message goes in under a new name.
        self.assertEqual(c.command("DATA")[:3], b"354")
        c.send(b"Subject: again\r\n\r\nbody\r\n.\r\n")
        self.assertEqual(c.line(), OK)
        (name,) = self.pairs() - before
        self.assertNotEqual(name, base)
        self.assertEqual(self.read(name, ".wrk"), b"carol@remote.test\r\nalice\r\n")

    def test_message_file_is_created_never_replaced(self):
        before = self.pairs()
        c = self.open()
        self.begin(c)
        base = self.current_queue_name()
        # Something already lies under the name the transaction took.
        theirs = os.path.join(self.inbox(), base + ".txt")
        with open(theirs, "wb") as f:
            f.write(b"someone else's\r\n")
        self.addCleanup(lambda: os.path.exists(theirs) and os.remove(theirs))
        self.assertEqual(c.command("DATA")[:3], b"354")
        c.send(b"Subject: mine\r\n\r\nbody\r\n.\r\n")
        self.assertEqual(c.line(), NOT_STORED)
        with open(theirs, "rb") as f:
            self.assertEqual(f.read(), b"someone else's\r\n")
        self.assertFalse(os.path.exists(os.path.join(self.inbox(), base + ".wrk")))
        self.assertEqual(self.pairs() - before, set())
        self.assertEqual(c.command("DATA")[:3], b"354")
        c.send(b"Subject: mine\r\n\r\nbody\r\n.\r\n")
        self.assertEqual(c.line(), OK)
        (name,) = self.pairs() - before
        self.assertIn(b"Subject: mine", self.read(name, ".txt"))


if __name__ == "__main__":
    unittest.main()
