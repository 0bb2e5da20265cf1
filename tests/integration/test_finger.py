"""The finger service of the real server, asked by the Debian `finger` client and by raw sockets:
status, a user's plan and message count, "all", dial requests from inside and outside the
office network, hostile names, over-long and missing request lines."""

import os
import threading
import time
import unittest

from pvharness import Conversation, Installation, listening, wait_listening, wait_until

def answer(port, request, source=None):
    """Every line of the answer to one raw request (bytes, sent as they are), read to the close."""
    c = Conversation(port, source=source)
    try:
        c.send(request)
        c.closed()
    finally:
        c.close()
    lines = c.buffer.decode("latin-1").split("\r\n")
    assert lines[-1] == "", f"the answer does not end with a line end: {c.buffer!r}"
    return lines[:-1]


class FingerQueryTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.inst = Installation()
        cls.addClassCleanup(cls.inst.cleanup)
        cls.inst.configure()
        # A relay is named (no schedule takes the server online), so waiting mail reads "Offline".
        cls.inst.set_string("", "Gateway", "relay.example.test")
        cls.port = cls.inst.ports["fingerport"]
        cls.server = cls.inst.start()
        cls.addClassCleanup(cls.server.stop)
        cls.server.wait_for("Starting Postvane")
        wait_until(lambda: listening(cls.port),
                   what=f"the finger listener on port {cls.port} (server output: {cls.server.lines!r})")
        cls.alice = cls.mailbox("alice", messages=2, fullname="Alice Example",
                                plan=b"Out of the office until Monday.\r\nAsk bob for the keys.   \r\n")
        cls.mailbox("bob")
        cls.mailbox("staff", kind="list", messages=3)

    @classmethod
    def mailbox(cls, name, kind="user", messages=0, fullname=None, plan=None):
        cls.inst.run("postvane-admin", "mailbox", "add", name, "--type", kind, "--password", "pw")
        if fullname:
            cls.inst.run("postvane-admin", "mailbox", "fullname", name, fullname)
        folder = cls.folder(name)
        os.makedirs(folder, exist_ok=True)
        for i in range(1, messages + 1):
            with open(os.path.join(folder, "f%07X.txt" % i), "wb") as f:
                f.write(b"Subject: %d\r\n\r\nText.\r\n" % i)
        # What the spooler and a POP3 client leave beside the messages is not counted.
        open(os.path.join(folder, "user.lck"), "wb").close()
        if plan is not None:
            with open(os.path.join(folder, "plan.pvg"), "wb") as f:
                f.write(plan)
        return folder

    @classmethod
    def folder(cls, name):
        number = cls.inst.reg("query", "mailbox\\" + name, "/v", "Number").stdout.split()[-1]
        return os.path.join(cls.inst.spool, "mailbox", "M%07X" % int(number, 16))

    def finger(self, query, *options):
        return self.inst.finger(query, *options).splitlines()

    def test_status_by_the_finger_client_in_any_case_and_a_leading_blank_is_a_name(self):
        outbox = os.path.join(self.inst.spool, "outbox")
        for i in range(1, 4):
            for suffix in (".txt", ".wrk"):
                open(os.path.join(outbox, "f%07X%s" % (0x100 + i, suffix)), "wb").close()
        open(os.path.join(outbox, "f0000200.tmp"), "wb").close()  # an envelope not yet committed
        waiting = len([n for n in os.listdir(outbox) if n.endswith(".wrk")])
        self.assertEqual(waiting, 3)
        wait_until(lambda: self.server.status_row(self.inst) == "Offline", 5, "the manager's first cycle")
        expected = ["Connection: Offline", "PopServer : Idle", "IMAP      : Idle", "Transmit  : Idle",
                    "Receive   : Idle", "SmartPop  : Idle", f"Waiting messages = {waiting}"]
        self.assertEqual(self.finger("status"), expected)
        self.assertEqual(self.finger("STATUS"), expected)
        self.assertEqual(self.finger("status", "-l"), expected, "the long form's /W switch")
        # A POP3 client connected right now makes its service active.
        pop = Conversation(self.inst.ports["popport"])
        try:
            self.assertTrue(pop.line().startswith(b"+OK"))
            self.assertEqual(answer(self.port, b"Status \r\n")[1], "PopServer : Active")
        finally:
            pop.close()
        for i in range(1, 4):
            for suffix in (".txt", ".wrk"):
                os.remove(os.path.join(outbox, "f%07X%s" % (0x100 + i, suffix)))
        self.assertEqual(answer(self.port, b"status\n")[6], "Waiting messages = 0")
        self.assertEqual(answer(self.port, b" status\r\n"), ["Mailbox :  status", "Unknown User"])

    def test_a_user_with_two_messages_and_a_two_line_plan(self):
        expected = ["Mailbox : alice", "Real Name :Alice Example", "Out of the office until Monday.",
                    "Ask bob for the keys.", "", "alice has 2 message(s) waiting"]
        self.assertEqual(answer(self.port, b"alice\r\n"), expected)
        self.assertEqual(answer(self.port, b"ALICE\n"), expected)
        self.assertEqual(self.finger("alice"), expected)
        self.assertEqual(self.finger("alice", "-l"), expected)
        # No plan: the empty line still separates the count.
        self.assertEqual(answer(self.port, b"bob\r\n"),
                         ["Mailbox : bob", "Real Name :", "", "bob has 0 message(s) waiting"])
        self.assertEqual(self.finger("carol"), ["Mailbox : carol", "Unknown User"])

    def test_all_lists_every_user_and_skips_lists_and_robots(self):
        lines = self.finger("all")
        self.assertEqual(lines, ["postmaster has 0 message(s) waiting",
                                 "alice has 2 message(s) waiting", "bob has 0 message(s) waiting"])
        self.assertEqual(answer(self.port, b"ALL\r\n"), lines)

    def test_names_with_path_characters_are_unknown_and_read_nothing(self):
        # A key below alice's own that looks like a mailbox, with a plan in "its" folder: only a
        # lookup that lets the name reach below mailbox\alice would show it.
        self.inst.set_dword("mailbox\\alice\\inner", "Number", 0x70)
        self.inst.set_dword("mailbox\\alice\\inner", "Type", 1)
        secret = os.path.join(self.inst.spool, "mailbox", "M0000070")
        os.makedirs(secret, exist_ok=True)
        with open(os.path.join(secret, "plan.pvg"), "w") as f:
            f.write("SECRET\n")
        for query, shown in [(b"alice\\inner", "alice\\inner"), (b"../alice", "../alice"),
                             (b"alice/..", "alice/.."), (b"..", ".."), (b"a/b", "a/b"),
                             (b"al\x01ice", "al?ice"), (b"/W ../etc", "../etc")]:
            with self.subTest(query=query):
                self.assertEqual(answer(self.port, query + b"\r\n"), [f"Mailbox : {shown}", "Unknown User"])
        self.assertEqual(self.finger("alice\\inner"), ["Mailbox : alice\\inner", "Unknown User"])

    def test_a_request_line_longer_than_the_limit_is_answered_and_closed(self):
        too_long = ["Request too long: at most 256 characters are allowed"]
        self.assertEqual(answer(self.port, b"a" * 256 + b"\r\n"), ["Mailbox : " + "a" * 256, "Unknown User"])
        self.assertEqual(answer(self.port, b"a" * 257 + b"\r\n"), too_long)
        # A client that never ends its line gets the answer at once and is closed.
        c = Conversation(self.port)
        try:
            flood = threading.Thread(target=self.flood, args=(c,), daemon=True)
            flood.start()
            self.assertEqual(c.line(), too_long[0].encode())
            self.assertTrue(c.closed())
            flood.join(10)
            self.assertFalse(flood.is_alive(), "the server reads the flood away or closes on it")
        finally:
            c.close()

    @staticmethod
    def flood(c):
        try:
            for _ in range(256):
                c.send(b"x" * 4096)
        except OSError:
            pass  # the server closed on it

    def test_a_client_that_never_sends_a_line_is_dropped_after_ten_seconds(self):
        c = Conversation(self.port, timeout=20)
        try:
            started = time.monotonic()
            wait_until(lambda: self.server.status_row(self.inst, "Finger") == "Active", 5, "finger active")
            self.assertTrue(c.closed())
            elapsed = time.monotonic() - started
        finally:
            c.close()
        self.assertGreaterEqual(elapsed, 9)
        self.assertLess(elapsed, 14)
        self.server.wait_for("Finger timeout talking to", 2)
        wait_until(lambda: self.server.status_row(self.inst, "Finger") == "Idle", 5, "finger idle again")


class DialNowTest(unittest.TestCase):
    """"dialnow" from inside AdvCon\\RelayNets (here 127.0.0.1 alone) and from outside it
    (127.0.0.2, a stranger)."""

    def setUp(self):
        self.inst = Installation()
        self.addCleanup(self.inst.cleanup)
        self.inst.configure()
        self.inst.set_string("", "Gateway", "127.0.0.1")
        self.inst.set_string("AdvCon", "RelayNets", "127.0.0.1/32")
        self.port = self.inst.ports["fingerport"]

    def start(self):
        server = self.inst.start()
        self.addCleanup(server.kill)
        wait_listening(self.port)
        return server

    def refused_from_outside(self, server):
        self.assertEqual(answer(self.port, b"dialnow\r\n", source="127.0.0.2"),
                         ["Dial refused: only the office network may ask for a connection"])
        server.wait_for("Finger dial request from [127.0.0.2] refused", 2)
        time.sleep(2.5)  # two cycles of the manager
        self.assertEqual(server.status_row(self.inst), "Offline")

    def test_dialnow_makes_the_manager_dial_and_a_stranger_cannot(self):
        self.inst.set_dword("", "UseLan", 0)
        self.inst.set_string("AdvCon", "Dialer", "simulator")
        self.inst.set_string("", "Connection", "isp")
        self.inst.simulate("isp", ConnectAfter=2)
        server = self.start()
        self.refused_from_outside(server)
        self.assertEqual(server.count("Dialed isp"), 0)
        self.assertEqual(self.inst.finger("dialnow").splitlines(), ["Dial requested"])
        server.wait_for("Connecting due to a finger request from [127.0.0.1]", 2)
        server.wait_for("Dialed isp", 5)
        server.wait_for("Online: connected to isp", 10)
        self.assertEqual(server.status_row(self.inst), "Online")
        self.assertEqual(answer(self.port, b"status\r\n")[0], "Connection: Online")
        self.assertEqual(server.stop(), 0)

    def test_dialnow_over_the_lan(self):
        server = self.start()  # the wizard chose the LAN
        self.refused_from_outside(server)
        self.assertEqual(answer(self.port, b"DialNow\r\n"), ["Dial requested"])
        server.wait_for("Online: the provider is reached over the LAN", 5)
        self.assertEqual(server.count("Online:"), 1)


if __name__ == "__main__":
    unittest.main()
