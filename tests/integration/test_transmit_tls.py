"""Transmit runs (postvane-send) to a relay that wants TLS and a login: aiosmtpd on loopback with
STARTTLS or TLS from the first byte, AUTH required, and certificates the test makes. The
program trusts only the test's own authority (SSL_CERT_FILE); nothing touches the system's
trust store. Also the admin tool's relay commands."""

import os
import subprocess
import unittest

from pvharness import program

from test_transmit import SENDER, TransmitCase
from testcerts import TestCertificates

USER = "jo@provider.test"
PASSWORD = "pa55 w0rd with blanks"
BODY = b"Subject: over TLS\r\n\r\n.leading dot\r\nsecret text\r\n"


class TlsTransmitCase(TransmitCase):
    @classmethod
    def setUpClass(cls):
        cls.certdir = __import__("tempfile").mkdtemp(prefix="pvcerts-")
        cls.certs = TestCertificates(cls.certdir)
        cls.good = cls.certs.server("relay-ip", "IP:127.0.0.1")
        cls.wrong_host = cls.certs.server("relay-wrong", "DNS:wrong.test")
        cls.self_signed = cls.certs.self_signed("relay.selfsigned")

    @classmethod
    def tearDownClass(cls):
        __import__("shutil").rmtree(cls.certdir, ignore_errors=True)

    def setUp(self):
        super().setUp()
        self.certs.trust(self.inst.env)

    def admin(self, *args, input=None, check=True):
        return self.inst.run("postvane-admin", *args, input=input, check=check)

    def login(self, security="starttls", password=PASSWORD):
        self.admin("relay", "security", security)
        self.admin("relay", "user", USER)
        self.admin("relay", "password", "-", input=password + "\n")

    def tls_relay(self, cert, **behaviour):
        return self.relay(tls={"cert": cert[0], "key": cert[1]}, auth={USER: PASSWORD}, **behaviour)

    def assert_stays_queued(self, name, rc, log, out, text):
        """One log line names the setting; nothing reached the relay's MAIL; no report."""
        self.assertEqual(rc, 1, out)
        lines = [line for line in log if line.startswith("SMTP send")]
        self.assertEqual(len(lines), 1, log)
        self.assertIn(text, lines[0])
        self.assertEqual(self.outbox_files(name), [name + ".txt", name + ".wrk"])
        self.assertEqual(self.reports(), [])
        self.assertNotIn(PASSWORD, out)


class SecuredRelayTest(TlsTransmitCase):
    def test_starttls_and_login_deliver_over_tls(self):
        relay = self.tls_relay(self.good)
        self.login()
        name = self.queue(SENDER, ["dave@remote.test"], BODY)
        rc, log, out = self.send()
        self.assertEqual(rc, 0, out)
        self.assertEqual(relay.commands(), [
            ("EHLO", "example.test"), ("STARTTLS", None), ("EHLO", "example.test"), ("AUTH", "PLAIN"),
            ("MAIL", SENDER), ("RCPT", "dave@remote.test"), ("DATA", None), ("QUIT", None)])
        (auth,) = relay.events("AUTH")
        self.assertEqual((auth["user"], auth["ok"], auth["tls"]), (USER, True, True))
        (mail,) = relay.events("MAIL")
        self.assertTrue(mail["tls"] and mail["authenticated"], mail)
        self.assertEqual(relay.messages(), [(SENDER, ["dave@remote.test"], BODY)])
        self.assertEqual(self.outbox_files(name), [])
        self.assertNotIn(PASSWORD, out)

    def test_a_wrong_password_ends_the_run_and_keeps_the_mail(self):
        relay = self.tls_relay(self.good)
        self.login(password="not it")
        name = self.queue(SENDER, ["dave@remote.test"], BODY)
        rc, log, out = self.send()
        self.assert_stays_queued(name, rc, log, out, f'refused the login of "{USER}"')
        self.assertIn("AdvCon\\RelayPassword", out)
        self.assertEqual([e["ok"] for e in relay.events("AUTH")], [False])
        self.assertEqual(relay.events("MAIL"), [])

        # The same queue goes once the password is right.
        self.admin("relay", "password", PASSWORD)
        rc, log, out = self.send()
        self.assertEqual(rc, 0, out)
        self.assertEqual(self.outbox_files(name), [])

    def test_certificates_that_fail_their_check_are_refused(self):
        # Signed by the trusted authority but for another host; then one nobody vouches for.
        for cert, why in ((self.wrong_host, "wrong host"), (self.self_signed, "self-signed")):
            with self.subTest(why):
                relay = self.tls_relay(cert)
                self.login()
                name = self.queue(SENDER, ["dave@remote.test"], BODY)
                rc, log, out = self.send()
                self.assert_stays_queued(name, rc, log, out, "SMTP send: TLS with 127.0.0.1 failed: ")
                self.assertIn("AdvCon\\RelayFingerprint", out)
                # Nothing after the refused handshake: no login, no message.
                self.assertEqual(relay.commands(), [("EHLO", "example.test")])
                for path in (os.path.join(self.outbox, name + ".txt"), os.path.join(self.outbox, name + ".wrk")):
                    os.remove(path)

    def test_a_pinned_self_signed_certificate_is_accepted_by_its_fingerprint_alone(self):
        # TLS from the first byte, a relay that offers LOGIN only, and a pin written as openssl
        # prints it.
        relay = self.tls_relay(self.self_signed, implicit_tls=True, auth_exclude=["PLAIN"])
        self.login(security="tls")
        self.admin("relay", "fingerprint", self.certs.fingerprint(self.self_signed[0]))
        name = self.queue(SENDER, ["dave@remote.test"], BODY)
        rc, log, out = self.send()
        self.assertEqual(rc, 0, out)
        self.assertEqual([c for c in relay.commands() if c[0] in ("EHLO", "STARTTLS", "AUTH", "MAIL")],
                         [("EHLO", "example.test"), ("AUTH", "LOGIN"), ("MAIL", SENDER)])
        self.assertTrue(relay.events("AUTH")[0]["ok"])
        self.assertEqual(relay.messages(), [(SENDER, ["dave@remote.test"], BODY)])
        self.assertEqual(self.outbox_files(name), [])

        # A pin for another certificate refuses even one the system would trust.
        relay = self.tls_relay(self.good, implicit_tls=True)
        self.admin("relay", "fingerprint", self.certs.fingerprint(self.wrong_host[0]))
        name = self.queue(SENDER, ["erin@remote.test"], BODY)
        rc, log, out = self.send()
        self.assert_stays_queued(name, rc, log, out, "SMTP send: TLS with 127.0.0.1 failed: ")
        self.assertEqual(relay.commands(), [])


class SheetRelayTest(TlsTransmitCase):
    def test_security_set_in_the_sheet_reaches_a_tls_only_relay(self):
        # The relay speaks TLS from its first byte and nothing else; the sheet's Advanced
        # Connections dialog (worked through the control panel's loading code) sets it all.
        relay = self.tls_relay(self.good, implicit_tls=True)
        env = dict(self.inst.env, QT_QPA_PLATFORM="offscreen")
        done = subprocess.run([program("pv-applet-driver"), "relay", "tls", USER, PASSWORD, str(relay.port)],
                              env=env, capture_output=True, text=True, timeout=120)
        self.assertEqual(done.returncode, 0, done.stderr)
        name = self.queue(SENDER, ["dave@remote.test"], BODY)
        rc, log, out = self.send()
        self.assertEqual(rc, 0, out)
        self.assertEqual([c for c in relay.commands() if c[0] in ("EHLO", "STARTTLS", "AUTH", "MAIL")],
                         [("EHLO", "example.test"), ("AUTH", "PLAIN"), ("MAIL", SENDER)])
        (mail,) = relay.events("MAIL")
        self.assertTrue(mail["tls"] and mail["authenticated"], mail)
        self.assertEqual(self.outbox_files(name), [])
        self.assertIn("Security:    tls", self.admin("relay", "show").stdout)


class RelayAdminTest(TlsTransmitCase):
    def test_relay_settings_are_written_as_the_transmitter_reads_them(self):
        show = self.admin("relay", "show").stdout
        self.assertIn("Port:        25 (the usual one for the security)", show)
        self.assertIn("Security:    not set (none)", show)
        self.login(security="STARTTLS")
        self.admin("relay", "fingerprint", "AB:" * 31 + "CD")
        show = self.admin("relay", "show").stdout
        for line in ("Port:        587 (the usual one for the security)", "Security:    starttls",
                     f"User:        {USER}", "Password:    set", "Fingerprint: " + "ab" * 31 + "cd"):
            self.assertIn(line, show)
        self.assertNotIn(PASSWORD, show)
        # The password is kept as bytes, as the mailbox passwords are.
        self.assertIn("REG_BINARY", self.inst.reg("query", "AdvCon", "/v", "RelayPassword").stdout)
        self.admin("relay", "port", "2587")
        self.assertEqual(self.inst.read_dword("AdvCon", "smtpoutport"), 2587)
        show = self.admin("relay", "show").stdout
        self.assertIn("Port:        2587\n", show)

        # Refused input changes nothing.
        for args in (("security", "ssl"), ("fingerprint", "ab:cd"), ("port", "0"), ("password", "")):
            proc = self.admin("relay", *args, check=False)
            self.assertEqual(proc.returncode, 2, args)
            self.assertIn("postvane-admin: ", proc.stderr)
        self.assertEqual(self.admin("relay", "show").stdout, show)

        # Off again: no login, no pin, the usual port.
        for args in (("user", "--off"), ("fingerprint", "--off"), ("port", "--off")):
            self.admin("relay", *args)
        show = self.admin("relay", "show").stdout
        self.assertIn("User:        (none: no login)", show)
        self.assertIn("Password:    not set", show)
        self.assertIn("Fingerprint: (none: trusted certificates)", show)
        self.assertIn("Port:        587 (the usual one for the security)", show)


if __name__ == "__main__":
    unittest.main()
