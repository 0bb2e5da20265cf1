"""postvane-admin writes the layout the server reads; start-up makes the system mailboxes."""

import os
import re
import sqlite3
import unittest

from pvharness import Installation


class AdminTest(unittest.TestCase):
    def setUp(self):
        self.inst = Installation()
        self.addCleanup(self.inst.cleanup)
        self.inst.configure()

    def admin(self, *args, check=True, input=None):
        return self.inst.run("postvane-admin", *args, check=check, input=input)

    def query(self, key, name):
        out = self.inst.reg("query", key, "/v", name, check=False)
        if out.returncode != 0:
            return None
        fields = out.stdout.strip().splitlines()[-1].split("    ")
        return fields[-1]

    def snapshot(self):
        con = sqlite3.connect(self.inst.hive)
        try:
            return (con.execute("SELECT path FROM keys ORDER BY id").fetchall(),
                    con.execute("SELECT key, name, type, data FROM vals ORDER BY id").fetchall())
        finally:
            con.close()

    def test_mailboxes_aliases_domains_and_members(self):
        added = self.admin("mailbox", "add", "alice").stdout
        self.admin("mailbox", "add", "team", "--type", "list")
        # The wizard made the postmaster's mailbox first.
        self.assertEqual(self.query(r"mailbox\alice", "Number"), "0x2")
        self.assertEqual(self.query(r"mailbox\team", "Type"), "0x2")
        self.assertEqual(self.query("mailbox", "MbxCount"), "0x3")
        # Without --password: a random first password, printed once, never the name.
        printed = re.search(r"^Password:  (\S+)$", added, re.M).group(1)
        self.assertRegex(printed, r"^[a-zA-Z2-9]{12}$")
        ops = bytes.fromhex(self.query(r"mailbox\alice", "OPS"))
        self.assertEqual(ops, printed.encode() + bytes(20 - len(printed)))
        again = self.admin("mailbox", "add", "alice2").stdout
        self.assertNotEqual(re.search(r"^Password:  (\S+)$", again, re.M).group(1), printed)
        self.assertNotIn("Password:", self.admin("mailbox", "add", "alice3", "--password", "chosen").stdout)
        self.assertTrue(os.path.isdir(os.path.join(self.inst.spool, "mailbox", "M0000002")))

        self.admin("mailbox", "password", "alice", "-", input="n3w pass\n")
        ops = self.query(r"mailbox\alice", "OPS")
        self.assertEqual(ops, "6E33772070617373" + "00" * 12)
        self.admin("mailbox", "forward", "alice", "alice@home.test")
        self.admin("mailbox", "forward-only", "alice", "on")
        self.admin("mailbox", "fullname", "alice", "Alice Example")
        self.assertEqual(self.query(r"mailbox\alice", "Str1"), "alice@home.test")
        self.assertEqual(self.query(r"mailbox\alice", "Option1"), "0x1")
        self.assertEqual(self.query(r"mailbox\alice", "Option2"), "0x1")
        self.assertEqual(self.query(r"mailbox\alice", "Str2"), "Alice Example")

        self.admin("mailbox", "list-options", "team", "--owner", "alice", "--description", "The team",
                   "--reply-to", "on", "--members-only", "on", "--archive", "on")
        self.assertEqual(self.query(r"mailbox\team", "Option3"), "0x9")
        self.assertEqual(self.query(r"mailbox\team", "Option1"), "0x1")
        self.assertEqual(self.query(r"mailbox\team", "Str1"), "alice")

        self.admin("members", "add", "team", "Bob@Remote.Test")
        self.admin("members", "add", "team", "carol@example.test")
        self.admin("members", "remove", "team", "bob@remote.test")
        with open(os.path.join(self.inst.spool, "mailbox", "M0000003", "rcpt.pvg"), "rb") as f:
            self.assertEqual(f.read(), b"carol@example.test\r\n")
        self.assertEqual(self.admin("members", "show", "team").stdout, "carol@example.test\n")

        self.admin("alias", "set", "sales", "alice", "bob@remote.test")
        self.assertEqual(self.query("Alias", "sales"), "alice,bob@remote.test,")
        self.admin("domain", "add", "branch.test")
        self.admin("domain", "primary", "branch.test")
        self.assertEqual(self.query("Domain", "branch.test"), "0x1")
        self.assertEqual(self.query("Domain", "example.test"), "0x0")
        self.assertIn("branch.test  (primary)", self.admin("domain", "list").stdout)

        show = self.admin("mailbox", "show", "alice").stdout
        self.assertIn("Forward:   alice@home.test (no local copy)", show)
        self.assertIn("Password:  set", show)

    def test_bad_input_is_refused_and_changes_nothing(self):
        self.admin("mailbox", "add", "alice")
        before = self.snapshot()
        cases = [
            (("mailbox", "add", "../evil"), "not a valid mailbox name"),
            (("mailbox", "add", "a\\b"), "not a valid mailbox name"),
            (("mailbox", "add", "alice"), "exists already"),
            (("mailbox", "add", "bob", "--password", "x" * 20), "at most 19 fit"),
            (("mailbox", "add", "bob", "--type", "robot"), "unknown mailbox type"),
            (("mailbox", "password", "alice", "y" * 25), "at most 19 fit"),
            (("mailbox", "show", "nobody"), "there is no mailbox 'nobody'"),
            (("mailbox", "list-options", "alice", "--reply-to", "on"), "is not a list"),
            (("members", "add", "alice", "x@y.test"), "is not a list"),
            (("alias", "set", "sales", "a,b"), "is not an address"),
            (("domain", "remove", "nowhere.test"), "is not listed"),
        ]
        for args, message in cases:
            proc = self.admin(*args, check=False)
            self.assertNotEqual(proc.returncode, 0, args)
            self.assertIn(message, proc.stderr, args)
        self.assertEqual(self.snapshot(), before)

    def test_start_up_makes_the_system_mailboxes_once(self):
        self.inst.set_string("Alias", "postmaster", "boss,alice")
        server = self.inst.start()
        server.wait_for("Starting Postvane")
        server.stop()
        self.assertEqual(self.query(r"mailbox\Postvane", "Type"), "0x5")
        self.assertEqual(self.query(r"mailbox\PVList", "Type"), "0x6")
        self.assertEqual(self.query(r"mailbox\boss", "Type"), "0x1")
        # A random password, never the name, and never in the log.
        ops = bytes.fromhex(self.query(r"mailbox\boss", "OPS")).rstrip(b"\0").decode()
        self.assertRegex(ops, r"^[a-zA-Z2-9]{12}$")
        self.assertIn("Created the postmaster's mailbox boss with a random password", "\n".join(server.lines))
        self.assertFalse(any(ops in line for line in server.lines))
        self.assertIsNone(self.query(r"mailbox\alice", "Type"))
        before = self.snapshot()
        again = self.inst.start()
        again.wait_for("Starting Postvane")
        again.stop()
        self.assertEqual(self.snapshot()[0], before[0])
        self.assertEqual(self.query("mailbox", "MbxCount"), "0x4")


if __name__ == "__main__":
    unittest.main()
