"""SmartPop against a provider that requires TLS: a private Dovecot with `ssl = required`, STLS on
its POP3 port and TLS from the first byte on its POP3S port, both ephemeral. Its certificate
comes from the test's own authority, which the collector is told to trust with SSL_CERT_FILE,
or is pinned by its fingerprint; the system's trust store is never touched."""

import os
import unittest

from pvharness import Dovecot, Installation
from testcerts import TestCertificates

PASSWORD = "s3cret-Word"


def message(i):
    return b"From: Sender <sender@remote.test>\r\nTo: carol@example.test\r\nSubject: number %d\r\n\r\nover TLS\r\n" % i


class SmartPopTlsTest(unittest.TestCase):
    users = ["alice", "bob", "carol", "dave", "erin"]

    @classmethod
    def setUpClass(cls):
        cls.base = Installation()  # only its folder: the provider's files live there
        try:
            cls.certs = TestCertificates(cls.base.dir)
            cls.cert = cls.certs.server("pop", "IP:127.0.0.2")
            cls.dc = Dovecot(cls.base.dir, {u: PASSWORD for u in cls.users}, tls=cls.cert)
        except BaseException:
            cls.base.cleanup()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.dc.stop()
        cls.base.cleanup()

    def setUp(self):
        self.inst = Installation()
        self.addCleanup(self.inst.cleanup)
        self.inst.configure()
        self.inst.run("postvane-admin", "mailbox", "add", "carol")
        self.inst.set_dword("", "LogAll", 1)
        self.inbox = os.path.join(self.inst.spool, "inbox")

    def account(self, user, security, port=None):
        """port None: the account's default for its security."""
        name = f"{user}@{self.dc.address}"
        args = ["smartpop", "add", name, "--password", PASSWORD, "--deliver-to", "carol"]
        if port:
            args += ["--port", str(port)]
        self.inst.run("postvane-admin", *args)
        self.inst.run("postvane-admin", "smartpop", "security", name, security)
        return name

    def stored(self):
        names = sorted(os.listdir(self.inbox)) if os.path.isdir(self.inbox) else []
        found = []
        for name in names:
            if name.endswith(".txt"):
                with open(os.path.join(self.inbox, name), "rb") as f:
                    found.append(f.read())
        return found

    def transcript(self, account):
        with open(os.path.join(self.inst.spool, account + ".log")) as f:
            return [line.rstrip("\r\n")[9:] for line in f]

    def commands(self, account):
        return [line for line in self.transcript(account) if line.startswith("<")]

    def test_stls_with_a_trusted_certificate_collects_and_plain_text_is_refused(self):
        self.dc.deliver("alice", [message(1), message(2)])
        # The provider really wants TLS: without it the password is refused and nothing moves.
        account = self.account("alice", "none", port=self.dc.port)
        self.inst.smartpop_run()
        lines = self.transcript(account)
        self.assertEqual(lines[3:6], ["<USER alice", lines[4], "<QUIT"])
        self.assertTrue(lines[4].startswith(">-ERR"), lines)
        self.assertEqual(self.stored(), [])
        self.assertEqual(len(self.dc.waiting("alice")), 2)

        self.certs.trust(self.inst.env)
        self.inst.run("postvane-admin", "smartpop", "security", account, "stls")
        out = self.inst.smartpop_run()
        self.assertEqual(self.stored(), [message(1), message(2)], out)
        self.assertEqual(self.dc.waiting("alice"), [])
        self.assertEqual(self.commands(account)[:3], ["<STLS", "<USER alice", "<PASS ********"])
        self.assertIn(f"SmartPop connection to {account} closed after 2 messages", out)
        self.assertIn("user=<alice>, method=PLAIN, rip=127.0.0.1, lip=127.0.0.2, mpid=", self.dc.log())

    def test_tls_from_the_first_byte_with_a_pinned_certificate(self):
        self.dc.deliver("bob", [message(3)])
        account = self.account("bob", "tls", port=self.dc.tls_port)
        # Not trusted, and a pin for some other certificate: refused, the mail stays there.
        other = self.certs.self_signed("other.test")[0]
        for pin in (None, self.certs.fingerprint(other)):
            with self.subTest(pin=pin):
                if pin:
                    self.inst.run("postvane-admin", "smartpop", "fingerprint", account, pin)
                out = self.inst.smartpop_run()
                failed = [line for line in out if line.startswith(f"SmartPop: TLS with {self.dc.address} for {account} failed: ")]
                self.assertEqual(len(failed), 1, out)
                self.assertIn("postvane-admin smartpop fingerprint", failed[0])
                self.assertEqual(self.stored(), [])
                self.assertEqual(len(self.dc.waiting("bob")), 1)
                self.assertEqual(self.commands(account), [])

        self.inst.run("postvane-admin", "smartpop", "fingerprint", account,
                      self.certs.fingerprint(self.cert[0]).replace(":", "").lower())
        out = self.inst.smartpop_run()
        self.assertEqual(self.stored(), [message(3)])
        self.assertEqual(self.dc.waiting("bob"), [])
        self.assertEqual(self.commands(account)[:2], ["<USER bob", "<PASS ********"])
        self.assertIn(f"SmartPop connection to {account} closed after 1 messages", out)

    def test_account_settings_are_checked_where_they_are_set_and_where_they_are_read(self):
        account = self.account("carol", "TLS")
        listed = self.inst.run("postvane-admin", "smartpop", "list").stdout
        self.assertIn(f"{account}  port 995  security tls  deliver to carol", listed)
        for args in (("security", account, "ssl"), ("fingerprint", account, "12:34")):
            proc = self.inst.run("postvane-admin", "smartpop", *args, check=False)
            self.assertEqual(proc.returncode, 2, args)
        self.assertEqual(self.inst.run("postvane-admin", "smartpop", "list").stdout, listed)
        # A value the admin tool would refuse, written by hand: the account is left alone.
        self.inst.set_string(f"SmartPop\\{account}", "security", "ssl")
        out = self.inst.smartpop_run()
        self.assertIn(f'SmartPop: {account} has security "ssl"; set it to none, stls or tls', "\n".join(out))
        self.assertFalse(any("Connecting SmartPop" in line for line in out), out)


if __name__ == "__main__":
    unittest.main()
