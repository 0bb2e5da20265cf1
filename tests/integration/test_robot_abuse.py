"""The lists and robots tried as an outsider would: storms, takeovers, ping-pong, and what the
system writes itself must be proper mail."""

import glob
import os
import time
import unittest

from pvharness import Conversation, proper_mail, wait_until, without_generated
from test_robots import RobotTest


class ListStormTest(RobotTest):
    def setUp(self):
        super().setUp()
        self.inbox = os.path.join(self.inst.spool, "inbox")
        self.outbox = os.path.join(self.inst.spool, "outbox")
        self.admin("mailbox", "add", "bob", "--password", "bobpw")

    def list_with(self, name, members):
        """A list whose members file was written by hand (the robot and the admin tool refuse these)."""
        self.admin("mailbox", "add", name, "--type", "list")
        self.admin("mailbox", "list-options", name, "--join-by-mail", "on")
        with open(os.path.join(self.inst.folder(name), "rcpt.pvg"), "wb") as f:
            f.write("".join(m + "\r\n" for m in members).encode())

    def settled(self):
        """Waits for an empty inbox that stays empty, then returns the outbound recipients."""
        def empty():
            return not glob.glob(os.path.join(self.inbox, "*.wrk"))
        wait_until(empty, timeout=10, what="an empty inbox")
        time.sleep(1.5)  # a storm would refill it here
        self.assertTrue(empty(), os.listdir(self.inbox))
        recipients = []
        for path in glob.glob(os.path.join(self.outbox, "*.wrk")):
            with open(path, "rb") as f:
                recipients += f.read().decode().split("\r\n")[1:-1]
        return sorted(recipients)

    def test_lists_that_name_themselves_or_each_other_send_one_copy_per_recipient(self):
        self.list_with("solo", ["solo", "SOLO@Example.Test", "out@remote.test", "bob"])
        self.list_with("ping", ["pong", "a@remote.test", "shared@remote.test"])
        self.list_with("pong", ["ping@example.test", "b@remote.test", "Shared@remote.test", "bob", "pvlist"])
        # A mailbox whose stored forward names itself keeps its mail.
        self.inst.set_string("mailbox\\alice", "Str1", "Alice@example.test")
        self.inst.set_dword("mailbox\\alice", "Option1", 1)
        server = self.start()
        self.inst.send_mail("poster@remote.test", ["solo@example.test"], "Subject: one\r\n\r\nhello\r\n",
                            header_from="poster@remote.test")
        self.assertEqual(self.settled(), ["out@remote.test"])
        self.assertEqual(len(self.inst.mailbox_messages("bob")), 1)
        for path in glob.glob(os.path.join(self.outbox, "*")):
            os.remove(path)

        self.inst.send_mail("poster@remote.test", ["ping@example.test"], "Subject: two\r\n\r\nhello\r\n",
                            header_from="poster@remote.test")
        self.assertEqual(self.settled(), ["a@remote.test", "b@remote.test", "shared@remote.test"])
        self.assertEqual(len(self.inst.mailbox_messages("bob")), 2)
        self.assertEqual(self.inst.mailbox_messages("PVList"), [])
        self.assertIn("List pong does not send list mail to the robot pvlist", "\n".join(server.output()))

        # A distribution that comes back to its list (an alias, a collected copy) stops there.
        self.inst.run("postvane-admin", "alias", "set", "back", "loop")
        self.list_with("loop", ["back@example.test", "c@remote.test"])
        self.inst.send_mail("poster@remote.test", ["loop@example.test"], "Subject: three\r\n\r\nhello\r\n",
                            header_from="poster@remote.test")
        self.settled()
        server.wait_for("List loop has distributed this message already")

        self.inst.send_mail("poster@remote.test", ["alice@example.test"], "Subject: me\r\n\r\nhello\r\n")
        self.settled()
        self.assertEqual(len(self.inst.mailbox_messages("alice")), 1)
        self.assertEqual(server.count("forwards to itself"), 1)

    def test_no_list_or_robot_joins_a_list_and_no_mailbox_forwards_to_itself(self):
        self.list_with("staff", [])
        self.responder("desk", True, "Desk", "hello")
        self.start()
        for address in ("staff@example.test", "STAFF", "desk@Example.Test", "pvlist", "postvane@example.test"):
            [reply] = self.ask("pvlist@example.test", f"join staff {address}\r\n", subject="s")
            self.assertEqual(self.body(reply), ["Command failed", address.lower() + " is not a valid email address"])
        self.assertEqual(self.members("staff"), [])
        [reply] = self.ask("postvane@example.test", "set forward ALICE@example.test\r\n", subject="alice,alicepw")
        self.assertIn("Command failed: a mailbox cannot forward to itself; nothing was changed", reply)
        self.assertEqual(self.inst.read_dword("mailbox\\alice", "Option1"), 0)


class TakeoverTest(RobotTest):
    REFUSED = "Access refused: the subject must name your mailbox and its password, separated by a comma"
    SYSTEM = "Command refused: lists, robots and the system's own mailboxes are set up by the administrator only"

    def settings(self, name):
        return self.inst.reg("query", "mailbox\\" + name).stdout

    def test_strangers_and_factory_passwords_change_nothing(self):
        try:
            self.admin("mailbox", "add", "postmaster")
        except AssertionError:
            pass  # made at the first start, with a random password
        self.inst.set_string("mailbox\\postmaster", "Password", "postmaster")  # as created long ago
        self.inst.reg("delete", "mailbox\\postmaster", "/v", "OPS")
        self.admin("mailbox", "add", "club", "--type", "list", "--password", "clubpw")
        self.responder("desk", False, "Desk", "default")
        server = self.start()
        before = {name: self.settings(name) for name in ("postmaster", "Postvane", "PVList", "club", "desk")}
        # The replies go to the stranger; what counts is the store and the log.
        for subject in ("postmaster,postmaster", "PostMaster,Postmaster", "postvane,postvane", "PVList,PVList"):
            self.inst.send_mail("x@evil.test", ["postvane@example.test"],
                                f"From: attacker@evil.test\r\nSubject: {subject}\r\n\r\nset forward attacker@evil.test\r\n")
        wait_until(lambda: server.count("refused access") >= 4, what="four refusals")
        self.assertIn("The command robot refused access to mailbox postmaster for <attacker@evil.test>: the factory "
                      "password opens nothing", "\n".join(server.output()))
        # A list or a responder with a password of its own: settings other than titles stay the administrator's.
        [reply] = self.ask("postvane@example.test", "set forward attacker@evil.test\r\n", subject="club,clubpw")
        self.assertIn(self.SYSTEM, reply)
        [reply] = self.ask("postvane@example.test", "set forward attacker@evil.test\r\n", subject="desk,deskpw")
        self.assertIn("Command refused: of an auto-responder only its titles and default text are changed by mail",
                      reply)
        [reply] = self.ask("postvane@example.test", "add title t,d\r\ntext\r\n", subject="desk,deskpw")
        self.assertIn("Command Succeeded", reply)
        self.inst.reg("delete", "mailbox\\desk\\Titles", check=False)
        self.assertEqual({name: self.settings(name) for name in before}, before)

    def test_failed_logins_block_a_mailbox_for_a_while(self):
        server = self.start()
        for attempt in range(4):
            [reply] = self.ask("postvane@example.test", "set plan\r\nx\r\n", subject=f"alice,guess{attempt}")
            self.assertIn(self.REFUSED, reply)
        # Blocked now: even the right password is refused, with the same reply, and nothing is written.
        [reply] = self.ask("postvane@example.test", "set plan\r\nx\r\n", subject="alice,alicepw")
        self.assertIn(self.REFUSED, reply)
        self.assertFalse(os.path.exists(os.path.join(self.inst.folder("alice"), "plan.pvg")))
        server.wait_for("Commands by mail for mailbox alice are not carried out for 60 seconds")
        wait_until(lambda: server.count("refused access to mailbox alice for <alice@example.test>") == 4,
                   what="four failed logins logged")
        self.assertEqual(server.count("Commands by mail for mailbox alice are not carried out"), 1)
        # Another mailbox is not affected.
        self.admin("mailbox", "add", "bob", "--password", "bobpw")
        [reply] = self.ask("postvane@example.test", "set plan\r\nx\r\n", subject="bob,bobpw")
        self.assertIn("Command executed OK", reply)


class ResponderLoopTest(RobotTest):
    def outbound(self):
        """Messages in the outbound queue: {name: (recipients, text)}."""
        found = {}
        for path in glob.glob(os.path.join(self.inst.spool, "outbox", "*.wrk")):
            with open(path, "rb") as f:
                envelope = f.read().decode().split("\r\n")[1:-1]
            with open(path[:-4] + ".txt", "rb") as f:
                found[os.path.basename(path)] = (envelope, f.read())
        return found

    def test_an_outside_responder_without_headers_gets_one_answer_per_period(self):
        self.responder("desk", False, "Desk", "I am away")  # titled: the subject is the request
        server = self.start()
        self.inst.send_mail("outside@remote.test", ["desk@example.test"],
                            "From: outside@remote.test\r\nSubject: hello\r\n\r\nhi\r\n")
        # The outside responder answers whatever comes, marking nothing.
        answered = set()
        deadline = time.monotonic() + 4
        while time.monotonic() < deadline:
            for name, (recipients, text) in self.outbound().items():
                if name not in answered and recipients == ["outside@remote.test"]:
                    answered.add(name)
                    subject = text.split(b"Subject: ", 1)[1].split(b"\r\n", 1)[0].decode()
                    self.inst.send_mail("outside@remote.test", ["desk@example.test"],
                                        f"From: outside@remote.test\r\nSubject: re: {subject}\r\n\r\nback\r\n")
            time.sleep(0.1)
        self.assertEqual(len(answered), 1)
        server.wait_for("The auto-responder desk answered <outside@remote.test> less than 7 days ago")
        # Another sender has its own answer; the memory survives a restart.
        [reply] = self.ask("desk@example.test", "hi\r\n", subject="x")
        server.stop()
        server = self.start()
        self.inst.send_mail("alice@example.test", ["desk@example.test"],
                            "From: alice@example.test\r\nSubject: RE: Fwd: X\r\n\r\nhi\r\n")
        server.wait_for("answered <alice@example.test> less than 7 days ago")
        self.assertEqual(self.inst.pop_messages("alice", "alicepw"), [])

    def test_marked_mail_gets_no_answer_and_each_outsider_a_bounded_number(self):
        self.responder("desk", True, "Desk", "I am away")
        self.admin("mailbox", "add", "club", "--type", "list")
        server = self.start()
        for robot, header in (("desk", "Precedence: bulk"), ("pvlist", "Auto-Submitted: auto-generated"),
                              ("postvane", "PRECEDENCE: list"), ("desk", "Auto-Submitted: auto-notified")):
            self.inst.send_mail("alice@example.test", [robot + "@example.test"],
                                f"From: alice@example.test\r\n{header}\r\nSubject: help\r\n\r\nlist\r\n")
        wait_until(lambda: server.count("leaves unanswered") == 4, what="four messages left unanswered")
        self.assertEqual(self.inst.pop_messages("alice", "alicepw"), [])
        for i in range(23):
            self.inst.send_mail("stranger@remote.test", ["pvlist@example.test"], "Subject: s\r\n\r\nlist\r\n",
                                header_from="stranger@remote.test")
        server.wait_for("The list server has answered <stranger@remote.test> 20 times this hour")
        wait_until(lambda: self.robot_folders_empty("PVList"), what="the requests to go")
        self.assertEqual(len(self.outbound()), 20)
        self.assertEqual(server.count("20 times this hour"), 1)


class ProperMailTest(RobotTest):
    def test_replies_are_proper_mail_and_nothing_from_mail_reaches_them_raw(self):
        self.responder("desk", True, "Bureau Müller", "Ich bin weg")
        self.admin("mailbox", "add", "staff", "--type", "list")
        self.admin("mailbox", "list-options", "staff", "--join-by-mail", "on")
        server = self.start()
        # A reply names the message it answers; non-ASCII text goes out as MIME.
        self.inst.send_mail("alice@example.test", ["desk@example.test"],
                            "From: alice@example.test\r\nSubject: Grüße \x1b[31m\r\n"
                            "Message-ID: <req-1@remote.test>\r\n\r\nhallo\r\n".encode())
        [raw] = self.inst.collect("alice", "alicepw", 1)
        reply = proper_mail(raw)
        self.assertEqual((reply["In-Reply-To"], reply["References"]), ("<req-1@remote.test>", "<req-1@remote.test>"))
        self.assertEqual(str(reply["Subject"]), "re:grüße ?[31m")
        self.assertEqual(reply["From"].addresses[0].display_name, "Bureau Müller")
        self.assertEqual(reply.get_content_charset(), "utf-8")
        self.assertEqual(reply.get_content().strip(), "Ich bin weg")

        # Addresses with control characters are refused and never reach a file, the log or a header.
        for address, shown in (("e\x00vil@x.test", "e?vil@x.test"), ("\x1b[31mred@x.test", "?[31mred@x.test"),
                               ("x@y.test\x0bz", "x@y.test?z")):
            self.inst.send_mail("alice@example.test", ["pvlist@example.test"],
                                f"From: alice@example.test\r\nSubject: s\r\n\r\njoin staff {address}\r\n".encode())
            [reply] = self.inst.collect("alice", "alicepw", 1)
            proper_mail(reply)
            self.assertEqual(self.body(without_generated(reply)), ["Command failed", shown + " is not a valid email address"])
        self.assertIsNone(self.members("staff"))
        self.assertEqual([l for l in server.output() if "\x1b" in l or "\x00" in l or "\x0b" in l], [])

        # Values beyond the limits are refused with a reply that says so; nothing is cut and stored.
        [reply] = self.ask("pvlist@example.test", "join staff " + "a" * 10000 + "@x.test\r\n", subject="s")
        self.assertEqual(self.body(reply), ["Command failed",
                                            "The command line is longer than 254 characters; nothing was changed"])
        self.assertIsNone(self.members("staff"))
        too_long = ("Command failed: the text is longer than 65536 bytes or has a line longer than 998 characters; "
                    "nothing was changed")
        for text in ("line\r\n" * 200000, "x" * 5000 + "\r\n"):
            [reply] = self.ask("postvane@example.test", "set plan\r\n" + text, subject="alice,alicepw")
            self.assertIn(too_long, reply)
        self.assertFalse(os.path.exists(os.path.join(self.inst.folder("alice"), "plan.pvg")))

        # A plan with an escape sequence reaches finger's client without it.
        [reply] = self.ask("postvane@example.test", "set plan\r\n\x1b[2Jgone\r\n", subject="alice,alicepw")
        c = Conversation(self.inst.ports["fingerport"])
        try:
            c.send(b"alice\r\n")
            c.closed()
        finally:
            c.close()
        self.assertIn(b"\r\n?[2Jgone\r\n", c.buffer)
        self.assertNotIn(b"\x1b", c.buffer)

    def test_a_join_or_leave_made_before_a_kill_is_answered_as_made(self):
        self.admin("mailbox", "add", "big", "--type", "list")
        self.admin("mailbox", "list-options", "big", "--join-by-mail", "on")
        self.start().stop()  # the robot mailboxes are made at the first start
        folder = self.inst.folder("PVList")
        # What a run killed after its change and before its reply leaves: the copy, its note, the
        # changed members file. Beside it a request whose address someone else had joined already.
        for name, body, note in (("f0F00001", "join big one@remote.test", "join big one@remote.test"),
                                 ("f0F00002", "join big two@remote.test", None),
                                 ("f0F00003", "leave big", "leave big alice@example.test")):
            with open(os.path.join(folder, name + ".txt"), "wb") as f:
                f.write(f"From: alice@example.test\r\nSubject: s\r\n\r\n{body}\r\n".encode())
            if note:
                with open(os.path.join(folder, name + ".did"), "wb") as f:
                    f.write(note.encode() + b"\r\n")
        with open(os.path.join(self.inst.folder("big"), "rcpt.pvg"), "wb") as f:
            f.write(b"one@remote.test\r\ntwo@remote.test\r\n")
        self.start()
        replies = sorted(self.body(r) for r in self.inst.collect("alice", "alicepw", 3))
        self.assertEqual(replies, [
            ["Command executed OK", "alice@example.test is no longer in the list"],
            ["Command executed OK", "to leave the list send the line", "leave big", "to pvlist@example.test"],
            ["Command failed", "two@remote.test is already a member of this list"]])
        wait_until(lambda: not os.listdir(folder), what="the copies and notes to go")


if __name__ == "__main__":
    unittest.main()
