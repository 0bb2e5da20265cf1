"""The spooler in the real server: pairs put into the inbox reach mailboxes, aliases,
forwards, lists and the outbound queue."""

import glob
import os
import shutil
import time
import unittest

from pvharness import Installation, proper_mail, wait_until


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
        self.assertIn(b"Subject: Your posting to Nobody here", proper_mail(self.messages("ben")[1]).as_bytes())
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
        # Mail for the robots reaches them (it names nobody to answer in its From: line).
        self.queue("x@remote.test", ["postvane@example.test", "pvlist"], b"Subject: help\r\n\r\nhelp\r\n")
        self.server.wait_for("The command robot leaves unanswered a message from <>")
        self.server.wait_for("The list server leaves unanswered a message from <>")
        wait_until(lambda: not self.messages("Postvane") and not self.messages("PVList"), what="robot copies to go")

    def test_unwritable_mailbox_backs_off_and_is_delivered_exactly_once_when_repaired(self):
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
        names_before = self.file_num()
        time.sleep(6)
        # Attempts after 0, 1, 3 and perhaps 7 seconds, each logged once: not a flood.
        attempts = [l for l in self.server.output() if "Could not store a copy for <jim>" in l]
        self.assertLessEqual(len(attempts), 5)
        self.assertGreaterEqual(len(attempts), 2)
        self.assertTrue(any("is not complete (attempt 2); it is tried again in 2 seconds" in l
                            for l in self.server.output()))
        self.assertLessEqual(self.file_num() - names_before, 2)  # queue names are not used up
        self.assertEqual(len(self.messages("kim")), 1)
        self.assertEqual(len(self.outbound()), 1)
        os.remove(folder)
        os.mkdir(folder)
        wait_until(lambda: self.messages("jim"), timeout=30, what="the retried copy")
        wait_until(self.inbox_empty, what="the inbox to empty")
        time.sleep(1.5)
        self.assertEqual(len(self.messages("jim")), 1)
        self.assertEqual(len(self.messages("kim")), 1)
        self.assertEqual(len(self.outbound()), 1)

    def file_num(self):
        found = self.inst.reg("query", "", "/v", "FileNum", check=False)
        return int(found.stdout.split()[-1], 16) if found.returncode == 0 else 0

    def block_queue_names(self, count=1001):
        """Folders in the way of the next queue names: every new pair fails until unblock()."""
        start = self.file_num() + 1
        self.blocked = [os.path.join(self.inbox, "f%07X.txt" % (start + i)) for i in range(count)]
        for path in self.blocked:
            os.mkdir(path)

    def unblock(self):
        for path in self.blocked:
            os.rmdir(path)

    def test_only_the_failed_forward_is_retried_not_the_copy_made_before_it(self):
        self.admin("mailbox", "add", "lea")
        self.admin("mailbox", "forward", "lea", "lea@home.test")
        self.start()
        self.block_queue_names()
        base = self.queue("x@remote.test", ["lea"], b"Subject: part\r\n\r\n")
        self.server.wait_for("Could not queue the forward to lea@home.test")
        wait_until(lambda: self.messages("lea"), what="lea's copy")
        with open(base + ".wrk", "rb") as f:
            self.assertEqual(f.read(), b"x@remote.test\r\nlea\t2\r\n")  # only the forward is owed
        # Lea collects and deletes her copy before the retry: it must not come back.
        for path in glob.glob(os.path.join(self.folder("lea"), "*.txt")):
            os.remove(path)
        self.unblock()
        wait_until(lambda: self.outbound(), timeout=20, what="the forward")
        wait_until(self.inbox_empty, what="the inbox to empty")
        self.assertEqual(self.outbound(), [["x@remote.test", "lea@home.test"]])
        self.assertEqual(self.messages("lea"), [])
        self.assertEqual(self.server.count("Delivering to <lea>"), 1)

    def test_forwarding_loop_is_returned_to_its_sender_after_fifty_hops(self):
        for name in ("ann", "ben", "cy"):
            self.admin("mailbox", "add", name)
        self.admin("mailbox", "forward", "ann", "ben")
        self.admin("mailbox", "forward-only", "ann", "on")
        self.admin("mailbox", "forward", "ben", "ann")
        self.admin("mailbox", "forward-only", "ben", "on")
        self.start()
        self.queue("cy", ["ann"], b"Subject: round and round\r\n\r\nhello\r\n")
        wait_until(lambda: self.messages("cy"), timeout=30, what="the loop notice")
        wait_until(self.inbox_empty, what="the loop to stop")
        time.sleep(1.5)
        # Each forward adds a trace line; the message that has passed 50 systems goes no further.
        self.assertEqual(self.server.count("Forwarding to "), 50)
        (notice,) = self.messages("cy")
        self.assertEqual(proper_mail(notice)["Subject"], "Undelivered mail: mail loop")
        self.assertEqual(proper_mail(notice)["In-Reply-To"], None)  # the looping message had no Message-ID
        self.assertIn(b"it has passed 50 mail systems", notice)
        self.assertIn(b"Subject: round and round", notice)  # the message itself comes back
        self.assertEqual(self.messages("ann") + self.messages("ben"), [])
        self.server.wait_for("is going round in a loop")

    def test_alias_members_without_a_trailing_comma_all_count(self):
        for name in ("mo", "ned", "oz"):
            self.admin("mailbox", "add", name)
        self.inst.set_string("Alias", "duo", "mo,ned")  # as hand edits and imported files have it
        self.inst.set_string("Alias", "solo", "oz")
        self.start()
        self.queue("x@remote.test", ["duo", "solo"], b"Subject: team\r\n\r\n")
        wait_until(self.inbox_empty, what="the aliases")
        self.assertEqual([len(self.messages(n)) for n in ("mo", "ned", "oz")], [1, 1, 1])

    def test_one_copy_per_mailbox_however_often_it_is_named(self):
        self.admin("mailbox", "add", "pia")
        self.admin("alias", "set", "crew", "pia")
        self.start()
        self.queue("x@remote.test", ["pia", "PIA@example.test", "crew", "pia"], b"Subject: once\r\n\r\n")
        wait_until(self.inbox_empty, what="the message")
        self.assertEqual(len(self.messages("pia")), 1)

    def test_unknown_collected_user_and_ownerless_moderated_list_go_to_the_postmaster(self):
        self.admin("mailbox", "add", "quin")
        self.admin("mailbox", "add", "nomod", "--type", "list")
        self.admin("mailbox", "list-options", "nomod", "--moderated", "on")
        self.admin("members", "add", "nomod", "quin")
        self.inst.set_dword("SmartPop_Domains", "provider.test", 1)
        self.start()
        with open(os.path.join(self.inbox, "f0000C01.pop"), "wb") as f:
            f.write(b"From: someone@remote.test\r\nTo: ghost@provider.test\r\n\r\nfor nobody here\r\n")
        wait_until(lambda: self.messages("postmaster"), what="the postmaster's copy")
        self.server.wait_for("Collected mail for the unknown user ghost@provider.test goes to the postmaster")
        self.queue("x@remote.test", ["nomod"], b"Subject: moderate me\r\n\r\n")
        wait_until(lambda: len(self.messages("postmaster")) == 2, what="the unmoderated posting")
        self.server.wait_for("List nomod is moderated but has no owner")
        wait_until(self.inbox_empty, what="the inbox to empty")
        self.assertEqual(self.outbound(), [])
        self.assertEqual(self.messages("quin"), [])

    def test_unfinished_queue_files_are_removed_at_start(self):
        self.admin("mailbox", "add", "rae")
        os.makedirs(self.inbox, exist_ok=True)
        os.makedirs(self.outbox, exist_ok=True)
        kept = self.queue("x@remote.test", ["rae"], b"Subject: committed\r\n\r\n")
        leftovers = [os.path.join(self.inbox, "f0000D01.txt"),   # message without envelope
                     os.path.join(self.inbox, "f0000D02.txt"),   # envelope never committed
                     os.path.join(self.inbox, "f0000D02.tmp"),
                     os.path.join(self.outbox, "f0000D03.txt"),  # outbound pair never committed
                     os.path.join(self.outbox, "f0000D03.tmp"),
                     os.path.join(self.folder("rae"), "f0000D04.tmp")]  # copy never committed
        for path in leftovers:
            with open(path, "wb") as f:
                f.write(b"half\r\n")
        collected = os.path.join(self.inbox, "f0000D05.pop")  # collected: acknowledged, kept
        with open(collected, "wb") as f:
            f.write(b"From: a@remote.test\r\nTo: rae@example.test\r\n\r\ncollected\r\n")
        with open(os.path.join(self.inbox, "f0000D05.tmp"), "wb") as f:
            f.write(b"a@remote.test\r\n")
        self.start()
        self.server.wait_for("Removed 7 unfinished queue files")
        wait_until(lambda: len(self.messages("rae")) == 2, what="the committed and the collected message")
        self.assertEqual([p for p in leftovers if os.path.exists(p)], [])
        self.assertFalse(os.path.exists(kept + ".wrk"))

    def test_failure_report_left_staged_by_a_killed_transmitter_is_finished_at_start(self):
        self.admin("mailbox", "add", "sue")
        os.makedirs(self.inbox, exist_ok=True)
        os.makedirs(self.outbox, exist_ok=True)
        for name, data in (("f0000E01.txt", b"Subject: refused\r\n\r\n"), ("f0000E01.wrk", b"sue\r\nx@remote.test\r\n"),
                           ("f0000E01=f0000E02.rpw", b"postvane\r\nsue\r\n")):
            with open(os.path.join(self.outbox, name), "wb") as f:
                f.write(data)
        # The report's text waits in the inbox without an envelope: it must not be taken for
        # the leftover of a cut-off transaction.
        with open(os.path.join(self.inbox, "f0000E02.txt"), "wb") as f:
            f.write(b"Subject: Failed mail\r\n\r\nreport\r\n")
        self.start()
        wait_until(lambda: self.messages("sue"), what="the report")
        self.assertIn(b"Subject: Failed mail", self.messages("sue")[0])
        self.assertTrue(os.path.exists(os.path.join(self.outbox, "f0000E01.old")))
        self.assertEqual(self.outbound(), [])

    def test_work_file_without_message_is_set_aside(self):
        self.start()
        with open(os.path.join(self.inbox, "f0000B01.tmp"), "wb") as f:
            f.write(b"x@remote.test\r\nalice\r\n")
        os.rename(os.path.join(self.inbox, "f0000B01.tmp"), os.path.join(self.inbox, "f0000B01.wrk"))
        wait_until(lambda: os.path.exists(os.path.join(self.inbox, "f0000B01.err")), what=".err")
        self.server.wait_for("Found an inbox *.wrk file without associated *.txt")


if __name__ == "__main__":
    unittest.main()
