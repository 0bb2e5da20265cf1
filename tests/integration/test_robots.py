"""The mail robots in the real server: requests go in by SMTP, replies come back by POP3."""

import glob
import os
import signal
import threading
import time
import unittest

from pvharness import Conversation, Installation, proper_mail, wait_listening, wait_until, without_generated

HELP = "HELP-TEXT: write to postvane@example.test with your mailbox and password"


class RobotTest(unittest.TestCase):
    def setUp(self):
        self.inst = Installation()
        self.addCleanup(self.inst.cleanup)
        self.inst.configure()
        help_file = os.path.join(self.inst.dir, "help.txt")
        with open(help_file, "w") as f:
            f.write(HELP + "\nsecond help line\n")
        self.inst.set_string("", "HelpFile", help_file)
        self.admin("mailbox", "add", "alice", "--password", "alicepw")
        self.server = None

    def admin(self, *args):
        self.inst.run("postvane-admin", *args)

    def start(self):
        self.server = self.inst.start()
        self.server.wait_for("Starting Postvane")
        self.addCleanup(self.server.stop)
        wait_listening(self.inst.ports["smtpinport"])
        wait_listening(self.inst.ports["popport"])
        return self.server

    def responder(self, name, simple, display, text):
        self.admin("mailbox", "add", name, "--type", "responder", "--password", name + "pw")
        self.inst.set_dword("mailbox\\" + name, "Option1", 1 if simple else 0)
        self.inst.set_string("mailbox\\" + name, "Str2", display)
        self.inst.set_string("mailbox\\" + name, "Str3", text)

    def members(self, listname):
        path = os.path.join(self.inst.folder(listname), "rcpt.pvg")
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read().decode().split("\r\n")[:-1]

    def ask(self, robot, body, subject=None, sender="alice@example.test", header_from=None, expect=1,
            user="alice", password="alicepw"):
        """Sends one request and returns the replies collected (each a list of lines)."""
        head = f"From: {header_from or sender}\r\n"
        if subject is not None:
            head += f"Subject: {subject}\r\n"
        self.inst.send_mail(sender, [robot], head + "\r\n" + body)
        replies = self.inst.collect(user, password, expect)
        for reply in replies:
            proper_mail(reply)
        return [without_generated(reply) for reply in replies]

    @staticmethod
    def body(reply):
        return reply[reply.index("") + 1:]

    def robot_folders_empty(self, *names):
        return all(not glob.glob(os.path.join(self.inst.folder(n), "*.txt")) for n in names)


class ListServerTest(RobotTest):
    def test_join_leave_and_list(self):
        self.admin("mailbox", "add", "bob", "--password", "bobpw")
        self.admin("mailbox", "add", "club", "--type", "list")
        self.admin("mailbox", "list-options", "club", "--description", "The Club", "--join-by-mail", "on")
        self.admin("mailbox", "add", "quiet", "--type", "list")
        self.admin("mailbox", "list-options", "quiet", "--description", "Hidden one", "--hidden", "on",
                   "--join-by-mail", "on")
        self.admin("mailbox", "add", "closed", "--type", "list")
        self.admin("mailbox", "list-options", "closed", "--description", "Closed list")
        self.responder("echo", True, "Echo", "hello")
        self.start()

        # A request in capitals from an address in capitals: the list and the member in lower case.
        [reply] = self.ask("pvlist@example.test", "JOIN Club\r\n", subject="join",
                           header_from="Alice <Alice@Example.Test>")
        self.assertEqual(reply[:5], ['From: "PVList" <pvlist@example.test>', "To:  alice <alice@example.test>",
                                     "Subject: join club", "Auto-Submitted: auto-replied", ""])
        self.assertEqual(self.body(reply), ["Command executed OK", "to leave the list send the line", "leave club",
                                            "to pvlist@example.test"])
        self.assertEqual(self.members("club"), ["alice@example.test"])

        [reply] = self.ask("pvlist@example.test", "join club\r\n", subject="again")
        self.assertEqual(self.body(reply), ["Command failed", "alice@example.test is already a member of this list"])
        self.assertEqual(self.members("club"), ["alice@example.test"])

        # A copied subject header before the command, and an address of someone else.
        [reply] = self.ask("pvlist@example.test", "Subject: join club Bob@Example.Test\r\n", subject="x")
        self.assertEqual(self.body(reply)[0], "Command executed OK")
        self.assertEqual(self.members("club"), ["alice@example.test", "bob@example.test"])

        for request, expected in [
            ("join closed", ["Command failed"]),
            ("join echo", ["Command failed"]),
            ("join club @example.test", ["Command failed", "@example.test is not a valid email address"]),
            ("leave closed", []),
            ("leave nosuch", ["Command failed", "No such list"]),
            ("leave club", ["Command executed OK", "alice@example.test is no longer in the list"]),
            ("leave club", []),
        ]:
            [reply] = self.ask("pvlist@example.test", request + "\r\n", subject="s")
            self.assertEqual(self.body(reply), expected, request)
        self.assertEqual(self.members("club"), ["bob@example.test"])
        self.assertIsNone(self.members("closed"))

        # A list with no members file yet gets one at the first join; hidden lists stay out of "list".
        [reply] = self.ask("pvlist@example.test", "join quiet\r\n", subject="s")
        self.assertEqual(self.members("quiet"), ["alice@example.test"])
        [reply] = self.ask("pvlist@example.test", "list\r\n", subject="s")
        self.assertEqual(self.body(reply), ["lists available at this site are:", "club - The Club",
                                            "closed - Closed list"])

        # No command: the help text follows.
        [reply] = self.ask("pvlist@example.test", "", subject="s")
        self.assertEqual(self.body(reply), ["Unrecognised command", "", "", HELP, "second help line"])


class CommandRobotTest(RobotTest):
    def setUp(self):
        super().setUp()
        self.admin("mailbox", "add", "carol", "--password", "Secr3t")
        self.responder("desk", False, "Desk", "default")
        self.responder("away", True, "Away", "I am away")

    def command(self, subject, body, expect_help=False):
        [reply] = self.ask("postvane@example.test", body, subject=subject)
        self.assertEqual(reply[0], 'From: "Postvane Server" <postvane@example.test>')
        self.assertEqual(reply[1], "To: alice@example.test")
        self.assertEqual(reply[3:6], ["Auto-Submitted: auto-replied", "", ""])
        lines = reply[6:]
        if expect_help:
            self.assertEqual(lines[-4:], ["", "", HELP, "second help line"])
            return reply, lines[:-4]
        self.assertNotIn(HELP, lines)
        return reply, lines

    def test_every_command_with_access(self):
        server = self.start()
        folder = self.inst.folder("carol")
        ok = ["Command executed OK"]
        _, lines = self.command("carol,Secr3t", "set plan\r\nline one\r\n\r\nline three\r\n")
        self.assertEqual(lines, ok)
        with open(os.path.join(folder, "plan.pvg"), "rb") as f:
            self.assertEqual(f.read(), b"line one\r\n\r\nline three\r\n")
        # The plan the robot wrote is the one finger shows.
        c = Conversation(self.inst.ports["fingerport"])
        try:
            c.send(b"carol\r\n")
            c.closed()
        finally:
            c.close()
        self.assertIn(b"\r\nline one\r\n\r\nline three\r\n", c.buffer)
        self.assertEqual(self.command("carol, Secr3t", "delete plan\r\n")[1], ok)
        self.assertFalse(os.path.exists(os.path.join(folder, "plan.pvg")))

        self.assertEqual(self.command("carol,Secr3t", "set forward Carol@Home.Test\r\n")[1], ok)
        self.assertEqual(self.inst.read_dword("mailbox\\carol", "Option1"), 1)
        self.assertIn("carol@home.test", self.inst.reg("query", "mailbox\\carol", "/v", "Str1").stdout)
        self.assertEqual(self.command("carol,Secr3t", "delete forward\r\n")[1], ok)
        self.assertEqual(self.inst.read_dword("mailbox\\carol", "Option1"), 0)

        # The new password is taken as typed, never echoed, and POP3 takes it.
        reply, lines = self.command("carol,Secr3t", "set pass NewPass9\r\n")
        self.assertEqual((reply[2], lines), ("Subject: re:set pass (hidden)", ok))
        self.assertEqual(self.inst.pop_messages("carol", "NewPass9"), [])
        for user_command in ("add user x", "delete user x", "help", "frobnicate"):
            _, lines = self.command("carol,NewPass9", user_command + "\r\n", expect_help=True)
            expected = [] if "user" in user_command else ["Unknown command; the commands are described below"]
            self.assertEqual(lines, expected, user_command)
        _, lines = self.command("carol,NewPass9", "add title x,y\r\n", expect_help=True)
        self.assertEqual(lines, ["Command failed: this command is for auto-responder mailboxes only"])

        # Subject "help": headers, the empty lines and the help text only.
        _, lines = self.command("help", "set plan\r\n", expect_help=True)
        self.assertEqual(lines, [])

        refused = ["Access refused: the subject must name your mailbox and its password, separated by a comma"]
        for subject in ("carol,Secr3t", "carol,newpass9", "nobody,x", "carol"):
            _, lines = self.command(subject, "set forward evil@x.test\r\n", expect_help=True)
            self.assertEqual(lines, refused, subject)
        self.assertEqual(self.inst.read_dword("mailbox\\carol", "Option1"), 0)
        for secret in ("Secr3t", "NewPass9"):
            self.assertEqual([l for l in server.output() if secret in l], [])

    def test_titles_and_default_text(self):
        self.start()
        desk = self.inst.folder("desk")
        _, lines = self.command("desk,deskpw", "add title Greetings1234,The greeting\r\nHello there\r\n")
        self.assertEqual(lines, ["Command Succeeded"])
        with open(os.path.join(desk, "greeting.dat"), "rb") as f:
            self.assertEqual(f.read(), b"Hello there\r\n")
        self.assertIn("the greeting", self.inst.reg("query", "mailbox\\desk\\Titles", "/v", "greeting").stdout)
        _, lines = self.command("desk,deskpw", "add title two words,desc\r\ntext\r\n")
        self.assertEqual(lines, ["Command Succeeded"])
        self.assertTrue(os.path.exists(os.path.join(desk, "two.dat")))
        # Whatever its outcome, "add title" is answered without the help text.
        _, lines = self.command("desk,deskpw", "add title notitle\r\n")
        self.assertEqual(lines, ["Command Failed", "", "", "Correct format is", "ADD TITLE newtitle,description", ""])
        self.assertEqual(self.command("desk,deskpw", "delete title nosuch\r\n")[1], ["Command Succeeded"])
        self.assertEqual(self.command("desk,deskpw", "delete title two\r\n")[1], ["Command Succeeded"])
        self.assertFalse(os.path.exists(os.path.join(desk, "two.dat")))
        self.assertNotIn("two", self.inst.reg("query", "mailbox\\desk\\Titles", check=False).stdout)
        self.assertEqual(self.command("desk,deskpw", "set default\r\nNew default\r\nsecond\r\n")[1],
                         ["Command executed OK"])
        self.assertIn("New default", self.inst.reg("query", "mailbox\\desk", "/v", "Str3").stdout)

        # A simple responder keeps one text: "default".
        away = self.inst.folder("away")
        self.assertEqual(self.command("away,awaypw", "add title other,whatever\r\nadded text\r\n")[1],
                         ["Command Succeeded"])
        self.assertTrue(os.path.exists(os.path.join(away, "default.dat")))
        self.assertFalse(os.path.exists(os.path.join(away, "other.dat")))
        _, lines = self.command("away,awaypw", "delete title default\r\n")
        self.assertEqual(lines, ["Command Failed", "", "Cannot delete title from a simple auto-responder"])


class AutoResponderTest(RobotTest):
    def test_titled_and_simple(self):
        self.responder("desk", False, "Front Desk", "Default answer\nsecond line")
        self.inst.set_string("mailbox\\desk\\Titles", "prices", "Our prices")
        self.responder("away", True, "Away", "I am away")
        self.start()
        with open(os.path.join(self.inst.folder("desk"), "prices.dat"), "w") as f:
            f.write("Prices are low\n")
        [reply] = self.ask("desk@example.test", "hi\r\n", subject="Prices")
        self.assertEqual(reply[:5], ['From: "Front Desk" <desk@example.test>', "To: alice@example.test",
                                     "Subject: re:prices", "Auto-Submitted: auto-replied", ""])
        self.assertEqual(self.body(reply), ["Prices are low"])
        [reply] = self.ask("desk@example.test", "hi\r\n", subject="unknown")
        self.assertEqual(self.body(reply), ["Default answer", "second line"])
        [reply] = self.ask("desk@example.test", "hi\r\n", subject="list")
        self.assertEqual(self.body(reply), ["Titles available here (send one of them as the subject):",
                                            "prices , Our prices"])
        [reply] = self.ask("away@example.test", "hi\r\n", subject="prices")
        self.assertEqual(self.body(reply), ["I am away"])

    def test_a_subject_never_leaves_the_mailbox_folder(self):
        self.responder("desk", False, "Desk", "Default answer")
        self.start()
        # A title file two folders up, where "../../x" would lead.
        outside = os.path.join(self.inst.spool, "x.dat")
        with open(outside, "w") as f:
            f.write("LEAKED\n")
        [reply] = self.ask("desk@example.test", "hi\r\n", subject="../../x")
        self.assertEqual(self.body(reply), [
            "Your subject cannot name a title: a title has no /, \\, .. or control characters.", "Default answer"])
        [reply] = self.ask("postvane@example.test", "add title ../../y,evil\r\nEVIL\r\n", subject="desk,deskpw")
        self.assertIn("A title must be 1 to 8 characters without /, \\, .. or control characters", reply)
        [reply] = self.ask("postvane@example.test", "delete title ../../x\r\n", subject="desk,deskpw")
        self.assertIn("A title must be 1 to 8 characters without /, \\, .. or control characters", reply)
        self.assertTrue(os.path.exists(outside))
        self.assertEqual(glob.glob(os.path.join(self.inst.spool, "**", "y.dat"), recursive=True), [])


class LoopTest(RobotTest):
    def test_robots_never_answer_robots(self):
        self.responder("ra", True, "A", "answer from a")
        self.responder("rb", True, "B", "answer from b")
        server = self.start()
        # ra answers rb; rb must not answer ra's auto-reply, or they would write for ever.
        self.inst.send_mail("rb@example.test", ["ra@example.test"], "Subject: hi\r\n\r\nhello\r\n",
                            header_from="rb@example.test")
        server.wait_for("The auto-responder ra answered <rb@example.test>")
        server.wait_for("auto-responder rb leaves unanswered a message from <ra@example.test>")
        # A failure report about a robot's reply (the receiver takes no empty sender, so it comes
        # as the transmitter's reports do), and a reply marked as automatic.
        self.inst.send_mail("postvane@example.test", ["pvlist@example.test"],
                            'From: "mail-deamon" <postvane>\r\nSubject: Failed mail\r\n\r\njoin club\r\n')
        server.wait_for("list server leaves unanswered a message from <postvane>")
        self.inst.send_mail("alice@example.test", ["postvane@example.test"],
                            "From: alice@example.test\r\nSubject: help\r\nAuto-Submitted: auto-replied\r\n\r\nx\r\n")
        server.wait_for("command robot leaves unanswered a message from <alice@example.test>")
        wait_until(lambda: self.robot_folders_empty("ra", "rb", "PVList", "Postvane"), what="the robots to finish")
        time.sleep(1.5)  # a loop would go on answering here
        self.assertEqual(server.count("answered <"), 1)
        self.assertEqual(self.inst.pop_messages("alice", "alicepw"), [])


class DurabilityTest(RobotTest):
    def setUp(self):
        super().setUp()
        self.admin("mailbox", "add", "big", "--type", "list")
        self.admin("mailbox", "list-options", "big", "--join-by-mail", "on")

    def copy(self, name, body):
        """A committed copy in PVList's folder, as a killed run leaves it."""
        path = os.path.join(self.inst.folder("PVList"), name + ".txt")
        with open(path, "wb") as f:
            f.write(f"From: alice@example.test\r\nSubject: s\r\n\r\n{body}\r\n".encode())
        return path

    def test_copies_left_by_a_killed_run_are_answered_once(self):
        self.start()
        self.server.stop()
        pvlist = self.inst.folder("PVList")
        self.copy("f0F00001", "join big one@remote.test")
        # This one was answered before the kill, but the copy was not removed yet.
        self.copy("f0F00002", "join big two@remote.test")
        reply = os.path.join(self.inst.spool, "inbox", "r%s-f0F00002" % os.path.basename(pvlist))
        with open(reply + ".txt", "wb") as f:
            f.write(b"From: pvlist@example.test\r\nSubject: join big two@remote.test\r\n\r\nCommand executed OK\r\n")
        with open(reply + ".wrk", "wb") as f:
            f.write(b"pvlist@example.test\r\nalice@example.test\r\n")
        self.start()
        replies = self.inst.collect("alice", "alicepw", 2)
        self.assertEqual(sorted(r[r.index("") + 1] for r in replies), ["Command executed OK"] * 2)
        self.assertEqual(self.members("big"), ["one@remote.test"])
        wait_until(lambda: self.robot_folders_empty("PVList"), what="the copies to go")
        time.sleep(1)
        self.assertEqual(self.inst.pop_messages("alice", "alicepw"), [])

    def test_a_kill_during_a_burst_answers_every_request_exactly_once(self):
        server = self.start()
        count = 60
        for i in range(count):
            self.inst.send_mail("alice@example.test", ["pvlist@example.test"],
                                f"Subject: s\r\n\r\njoin big m{i}@remote.test\r\n", header_from="alice@example.test")
        wait_until(lambda: server.count("answered <") >= 5, what="the first answers")
        server.stop(signal.SIGKILL)
        self.start()
        replies = self.inst.collect("alice", "alicepw", count, timeout=40)
        time.sleep(1)
        self.assertEqual(self.inst.pop_messages("alice", "alicepw"), [])
        self.assertEqual(sorted(self.members("big")), sorted(f"m{i}@remote.test" for i in range(count)))
        # A request joined before the kill but answered after it says so; none is lost or doubled.
        results = [r[r.index("") + 1] for r in replies]
        self.assertEqual(results, ["Command executed OK"] * count)

    def test_a_reply_that_cannot_be_written_waits_and_is_tried_again(self):
        server = self.start()
        pvlist = self.inst.folder("PVList")
        blocker = os.path.join(self.inst.spool, "inbox", "r%s-f0F00003.txt" % os.path.basename(pvlist))
        os.mkdir(blocker)  # the reply's file name is taken by a folder that is not empty
        open(os.path.join(blocker, "keep"), "w").close()
        self.copy("f0F00003", "join big three@remote.test")
        server.wait_for("could not write its reply", timeout=15)
        time.sleep(3)
        self.assertLessEqual(server.count("could not write its reply"), 2)  # no tight loop
        self.assertIn("(attempt 1); it is tried again in 2 seconds", "\n".join(server.output()))
        os.remove(os.path.join(blocker, "keep"))
        os.rmdir(blocker)
        [reply] = self.inst.collect("alice", "alicepw", 1, timeout=30)
        # The join was made by the first attempt, and the answer says so.
        self.assertEqual(self.body(reply)[0], "Command executed OK")
        self.assertEqual(self.members("big"), ["three@remote.test"])

    def test_two_hundred_joins_from_ten_clients_at_once(self):
        self.start()
        errors = []

        def client(n):
            try:
                for i in range(20):
                    self.inst.send_mail("alice@example.test", ["pvlist@example.test"],
                                        f"Subject: s\r\n\r\njoin big c{n}-{i}@remote.test\r\n",
                                        header_from="alice@example.test")
            except Exception as e:  # reported below
                errors.append(e)
        threads = [threading.Thread(target=client, args=(n,)) for n in range(10)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(errors, [])
        self.inst.collect("alice", "alicepw", 200, timeout=50)
        members = self.members("big")
        self.assertEqual(len(members), 200)
        self.assertEqual(set(members), {f"c{n}-{i}@remote.test" for n in range(10) for i in range(20)})


if __name__ == "__main__":
    unittest.main()
