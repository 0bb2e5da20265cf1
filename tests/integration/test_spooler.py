"""The spooler in the real server: pairs put into the inbox reach mailboxes, aliases,
forwards, lists and the outbound queue."""

import glob
import os
import shutil
import time
import unittest

from pvharness import Installation, wait_until


class SpoolerTest(unittest.TestCase):
    def setUp(self):
        self.inst = Installation()
        self.addCleanup(self.inst.cleanup)
        self.inst.configure()
        self.inbox = os.path.join(self.inst.spool, "inbox")
        self.outbox = os.path.join(self.inst.spool, "outbox")
        self.counter = 0x100000
        self.server = None

    def start(self):
        self.server = self.inst.start()
        self.server.wait_for("Starting Postvane")
        self.addCleanup(self.server.stop)

    def admin(self, *args):
        self.inst.run("postvane-admin", *args)

    def folder(self, mailbox):
        number = self.inst.reg("query", "mailbox\\" + mailbox, "/v", "Number").stdout.split()[-1]
        return os.path.join(self.inst.spool, "mailbox", "M%07X" % int(number, 16))

    def messages(self, mailbox):
        result = []
        for path in sorted(glob.glob(os.path.join(self.folder(mailbox), "*.txt"))):
            with open(path, "rb") as f:
                result.append(f.read())
        return result

    def queue(self, sender, recipients, text):
        """Commits a pair into the inbox the way every producer does: message, envelope, rename."""
        self.counter += 1
        base = os.path.join(self.inbox, "f%07X" % self.counter)
        with open(base + ".txt", "wb") as f:
            f.write(text)
        with open(base + ".tmp", "wb") as f:
            f.write(("\r\n".join([sender] + recipients) + "\r\n").encode())
        os.rename(base + ".tmp", base + ".wrk")
        return base

    def outbound(self):
        """Envelopes waiting in the outbound queue, as lists of lines."""
        result = []
        for path in sorted(glob.glob(os.path.join(self.outbox, "*.wrk"))):
            with open(path, "rb") as f:
                result.append(f.read().decode().split("\r\n")[:-1])
        return result

    def inbox_empty(self):
        return not glob.glob(os.path.join(self.inbox, "*.wrk")) and not glob.glob(os.path.join(self.inbox, "*.txt"))

    def test_aliases_resolve_in_one_walk_and_unknown_names_go_out(self):
        for name in ("bob", "carol", "dave", "erin", "alice"):
            self.admin("mailbox", "add", name)
        self.admin("alias", "set", "first", "bob", "second", "carol")
        self.admin("alias", "set", "second", "dave")
        self.admin("alias", "set", "loop", "loop", "alice")
        self.start()
        self.queue("x@remote.test", ["first@example.test", "erin", "ghost@example.test", "y@remote.test"],
                   b"Subject: walk\r\n\r\nhi\r\n")
        wait_until(self.inbox_empty, what="the pair to be spooled")
        self.server.wait_for("Delivering to <dave>")
        order = [line.split("<")[1].split(">")[0] for line in self.server.lines if "Delivering to <" in line]
        self.assertEqual(order, ["erin", "bob", "carol", "dave"])
        self.assertEqual(self.outbound(), [["x@remote.test", "ghost@example.test", "y@remote.test"]])
        for name in ("bob", "carol", "dave", "erin"):
            self.assertEqual(len(self.messages(name)), 1, name)
        with open(glob.glob(os.path.join(self.outbox, "*.wrk"))[0][:-4] + ".txt", "rb") as f:
            self.assertEqual(f.read(), b"Subject: walk\r\n\r\nhi\r\n")

        # An alias that names itself is expanded once, with a log line.
        self.queue("x@remote.test", ["loop"], b"Subject: loop\r\n\r\n")
        wait_until(self.inbox_empty, what="the loop to end")
        self.server.wait_for("Alias loop refers to itself")
        self.assertEqual(len(self.messages("alice")), 1)

    def test_forwarding_with_and_without_a_local_copy(self):
        self.admin("mailbox", "add", "fay")
        self.admin("mailbox", "add", "gus")
        self.admin("mailbox", "forward", "fay", "fay@home.test")
        self.admin("mailbox", "forward", "gus", "gus@home.test")
        self.admin("mailbox", "forward-only", "gus", "on")
        self.start()
        self.queue("x@remote.test", ["fay", "gus"], b"Subject: fw\r\n\r\nbody\r\n")
        wait_until(lambda: len(self.outbound()) == 2 and self.inbox_empty(), what="two forwards")
        self.assertEqual(len(self.messages("fay")), 1)
        self.assertEqual(self.messages("gus"), [])
        self.assertEqual(sorted(self.outbound()), [["x@remote.test", "fay@home.test"],
                                                   ["x@remote.test", "gus@home.test"]])
        self.server.wait_for("Forwarding to gus@home.test from x@remote.test")

    def test_keepfiles_keeps_the_processed_pair_and_never_takes_it_again(self):
        self.admin("mailbox", "add", "hal")
        self.inst.set_dword("", "KeepFiles", 1)
        self.start()
        base = self.queue("x@remote.test", ["hal"], b"Subject: keep\r\n\r\n")
        wait_until(lambda: os.path.exists(base + ".tmp"), what="the kept envelope")
        time.sleep(2.5)  # two more sweeps
        self.assertTrue(os.path.exists(base + ".txt"))
        self.assertFalse(os.path.exists(base + ".wrk"))
        self.assertEqual(len(self.messages("hal")), 1)

    def test_lists_members_only_moderated_reply_to_and_notices(self):
        for name in ("owner", "ann", "ben"):
            self.admin("mailbox", "add", name)
        self.admin("mailbox", "add", "club", "--type", "list")
        self.admin("mailbox", "list-options", "club", "--owner", "owner", "--description", "The Club",
                   "--members-only", "on", "--reply-to", "on")
        for member in ("ann", "ben", "far@remote.test"):
            self.admin("members", "add", "club", member)
        self.admin("mailbox", "add", "modlist", "--type", "list")
        self.admin("mailbox", "list-options", "modlist", "--owner", "owner", "--moderated", "on")
        self.admin("members", "add", "modlist", "ann")
        self.admin("mailbox", "add", "empty", "--type", "list")
        self.admin("mailbox", "list-options", "empty", "--description", "Nobody here")
        self.inst.set_dword("", "KeepFiles", 1)
        self.start()

        posting = b"Subject: hello club\r\nFrom: ann\r\n\r\nfirst line\r\n"
        base = self.queue("ann", ["club"], posting)
        wait_until(lambda: self.messages("ben"), what="ben's copy")
        (copy,) = self.messages("ben")
        # The distribution carries the list's trace line, so that lists cannot loop for ever.
        self.assertRegex(copy, rb"^Received: by example.test \(Postvane\) for <club@example.test>; [^\r\n]+\r\n")
        copy = copy.split(b"\r\n", 1)[1]
        self.assertEqual(copy, b"Subject: hello club\r\nFrom: ann\r\n"
                               b"reply-to: \"The Club\" <club@example.test>\r\n\r\nfirst line\r\n")
        self.assertEqual(self.messages("ann"), [])  # never the poster
        wait_until(lambda: self.outbound(), what="the remote member's copy")
        self.assertEqual(self.outbound(), [["owner@example.test", "far@remote.test"]])
        with open(base + ".txt", "rb") as f:
            self.assertEqual(f.read(), posting)  # the inbound message stays as it came

        # A stranger is turned away with a notice addressed to him.
        self.queue("stranger@remote.test", ["club"], b"Subject: let me in\r\n\r\n")
        wait_until(lambda: len(self.outbound()) == 2, what="the notice")
        notice = [e for e in self.outbound() if e[0] == "club@example.test"]
        self.assertEqual(notice, [["club@example.test", "stranger@remote.test"]])
        self.assertEqual(len(self.messages("ben")), 1)

        # A moderated list passes a stranger's posting to the owner only.
        self.queue("stranger@remote.test", ["modlist"], b"Subject: moderate me\r\n\r\n")
        wait_until(lambda: self.messages("owner"), what="the owner's copy")
        self.assertIn(b"moderate me", self.messages("owner")[0])
        self.assertEqual(len(self.messages("ann")), 0)

        # No members: every posting gets the notice.
        self.queue("ben", ["empty"], b"Subject: anyone?\r\n\r\n")
        wait_until(lambda: self.messages("ben") and len(self.messages("ben")) == 2, what="ben's notice")
        self.assertIn(b"SUBJECT: Your posting to Nobody here", self.messages("ben")[1])
        self.assertIn(b"empty@example.test", self.messages("ben")[1])

    def test_collected_files_and_robot_mailboxes(self):
        self.admin("mailbox", "add", "ivy")
        self.inst.set_dword("SmartPop_Domains", "provider.test", 1)
        self.start()
        with open(os.path.join(self.inbox, "f0000A01.pop"), "wb") as f:
            f.write(b"From: \"Doe, John\" <John@Remote.Test>\r\nTo: \"Ivy, I.\" <ivy@provider.test>,\r\n"
                    b"\tstranger@remote.test\r\n\r\ncollected\r\n")
        with open(os.path.join(self.inbox, "f0000A02.pop"), "wb") as f:
            f.write(b"From: nobody@remote.test\r\nTo: someone@remote.test\r\n\r\nfor the postmaster\r\n")
        wait_until(lambda: self.messages("ivy") and self.messages("postmaster"), what="collected mail")
        self.assertIn(b"collected", self.messages("ivy")[0])
        self.assertIn(b"for the postmaster", self.messages("postmaster")[0])
        self.assertEqual(self.outbound(), [])  # collected mail is never relayed
        # Mail for the robots is kept in their mailboxes.
        self.queue("x@remote.test", ["postvane@example.test", "pvlist"], b"Subject: help\r\n\r\nhelp\r\n")
        wait_until(lambda: self.messages("Postvane") and self.messages("PVList"), what="robot copies")

    def test_unwritable_mailbox_is_retried_and_delivered_exactly_once(self):
        self.admin("mailbox", "add", "jim")
        self.admin("mailbox", "add", "kim")
        folder = self.folder("jim")
        self.start()
        # Root writes through permission bits, so the folder is swapped for a plain file.
        shutil.rmtree(folder)
        with open(folder, "w") as f:
            f.write("in the way")
        self.queue("x@remote.test", ["jim", "kim", "far@remote.test"], b"Subject: retry\r\n\r\n")
        self.server.wait_for("Could not store a copy for <jim>")
        wait_until(lambda: self.messages("kim") and self.outbound(), what="the other copies")
        time.sleep(1.5)
        self.assertEqual(len(self.messages("kim")), 1)
        self.assertEqual(len(self.outbound()), 1)
        os.remove(folder)
        os.mkdir(folder)
        wait_until(lambda: self.messages("jim"), what="the retried copy")
        wait_until(self.inbox_empty, what="the inbox to empty")
        time.sleep(1.5)
        self.assertEqual(len(self.messages("jim")), 1)
        self.assertEqual(len(self.messages("kim")), 1)
        self.assertEqual(len(self.outbound()), 1)

    def test_work_file_without_message_is_set_aside(self):
        self.start()
        with open(os.path.join(self.inbox, "f0000B01.tmp"), "wb") as f:
            f.write(b"x@remote.test\r\nalice\r\n")
        os.rename(os.path.join(self.inbox, "f0000B01.tmp"), os.path.join(self.inbox, "f0000B01.wrk"))
        wait_until(lambda: os.path.exists(os.path.join(self.inbox, "f0000B01.err")), what=".err")
        self.server.wait_for("Found an inbox *.wrk file without associated *.txt")


if __name__ == "__main__":
    unittest.main()
