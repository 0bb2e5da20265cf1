"""A SmartPop account made in the property sheet, collected by the real server: the sheet's
SmartPop page (driven by pv-applet-driver through the control panel's loading code) writes the
account and "Use SmartPop"; the running server, asked to poll, fetches the provider's mail from
a private Dovecot and delivers it to the account's local recipient."""

import os
import subprocess
import unittest

from pvharness import Dovecot, Installation, program, wait_until

PASSWORD = "sheet-Made-1"


def message(i):
    return (b"From: Sender <sender@remote.test>\r\nTo: someone@provider.test\r\nSubject: sheet %d\r\n\r\n" % i +
            b"Collected through an account the sheet made, number %d.\r\n" % i)


class SheetAccountTest(unittest.TestCase):
    def setUp(self):
        self.inst = Installation()
        self.addCleanup(self.inst.cleanup)
        self.dc = Dovecot(self.inst.dir, {"kim": PASSWORD})
        self.addCleanup(self.dc.stop)
        self.inst.configure()

    def sheet(self, *args):
        env = dict(self.inst.env, QT_QPA_PLATFORM="offscreen")
        return subprocess.run([program("pv-applet-driver"), *args], env=env, capture_output=True, text=True,
                              timeout=120)

    def test_account_added_in_the_sheet_is_collected_by_the_server(self):
        self.inst.run("postvane-admin", "mailbox", "add", "carol")
        self.dc.deliver("kim", [message(1), message(2)])
        account = "kim@127.0.0.1"
        done = self.sheet("add-smartpop", account, PASSWORD, "carol", str(self.dc.port))
        self.assertEqual(done.returncode, 0, done.stderr)
        # What the page wrote is what the server's own tool lists.
        listed = self.inst.run("postvane-admin", "smartpop", "list").stdout
        self.assertIn("SmartPop: enabled", listed)
        self.assertIn(f"{account}  port {self.dc.port}  security none  deliver to carol", listed)

        self.inst.set_dword("", "UseLan", 1)
        server = self.inst.start()
        self.addCleanup(server.stop)
        server.wait_for("Starting Postvane")
        self.inst.ctl("poll")
        server.wait_for(f"SmartPop connection to {account} closed after 2 messages", 20)
        delivered = wait_until(lambda: self.inst.mailbox_messages("carol") if
                               len(self.inst.mailbox_messages("carol")) == 2 else None, 15, "both delivered")
        self.assertEqual(sorted(b"Subject: sheet 1" in m for m in delivered), [False, True])
        self.assertEqual(self.dc.waiting("kim"), [])

    def test_refused_account_writes_nothing(self):
        # A name that would leave the spool folder never gets a key, and the driver sees no row.
        done = self.sheet("add-smartpop", "../kim@127.0.0.1", PASSWORD, "", str(self.dc.port))
        self.assertNotEqual(done.returncode, 0)
        self.assertIn("not in the list", done.stderr)
        listed = self.inst.run("postvane-admin", "smartpop", "list").stdout
        self.assertNotIn("kim", listed)


if __name__ == "__main__":
    unittest.main()
