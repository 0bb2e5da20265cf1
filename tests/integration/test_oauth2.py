"""OAuth2 logins to the provider, against a test authorization server on loopback
(authserver.py), a private Dovecot whose oauth2 passdb checks each token at that server's
introspection endpoint, and a private Postfix that offers XOAUTH2 and OAUTHBEARER through that
Dovecot's authentication service. The sign-ins run through postvane-admin as a person would,
with the test approving the device code or following the browser address; no test reaches a
real provider."""

import glob
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest
import urllib.request

from authserver import CLIENT_ID, AuthServer
from pvharness import POSTFIX, Dovecot, Installation, Postfix, free_port, program, wait_until
from testcerts import TestCertificates


def message(i):
    return b"From: Sender <sender@remote.test>\r\nTo: carol@example.test\r\nSubject: token %d\r\n\r\nbody\r\n" % i


class OAuthCase(unittest.TestCase):
    users = ["olivia", "paul", "quinn"]

    @classmethod
    def setUpClass(cls):
        cls.base = Installation()  # only its folder: the provider's files live there
        try:
            cls.certs = TestCertificates(cls.base.dir)
            cls.cert = cls.certs.server("provider", "IP:127.0.0.2", "IP:127.0.0.1")
            cls.auth = AuthServer()
            cls.dc = Dovecot(cls.base.dir, {u: "no passwords here" for u in cls.users}, tls=cls.cert,
                             introspection=cls.auth.url + "/introspect")
        except BaseException:
            cls.base.cleanup()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.dc.stop()
        cls.auth.stop()
        cls.base.cleanup()

    def setUp(self):
        self.inst = Installation()
        self.addCleanup(self.inst.cleanup)
        self.inst.configure()
        self.inst.run("postvane-admin", "mailbox", "add", "carol")
        self.inst.set_dword("", "LogAll", 1)
        self.certs.trust(self.inst.env)
        self.inbox = os.path.join(self.inst.spool, "inbox")
        with self.auth.lock:
            self.auth.requests.clear()

    def admin(self, *args, **kw):
        return self.inst.run("postvane-admin", *args, **kw)

    def endpoints(self, mechanism):
        return ["--provider", "custom", "--client-id", CLIENT_ID, "--scope", "mail offline_access",
                "--device-url", self.auth.url + "/device", "--auth-url", self.auth.url + "/authorize",
                "--token-url", self.auth.url + "/token", "--mechanism", mechanism]

    def account(self, user, mechanism="auto"):
        name = f"{user}@{self.dc.address}"
        self.admin("smartpop", "add", name, "--deliver-to", "carol", "--port", str(self.dc.port))
        self.admin("smartpop", "security", name, "stls")
        self.admin("smartpop", "oauth", "setup", name, *self.endpoints(mechanism))
        return name

    def device_sign_in(self, user, *command):
        """Runs `postvane-admin ... oauth login`; plays the user who enters the printed code."""
        proc = subprocess.Popen([program("postvane-admin"), *command], env=self.inst.env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        first = proc.stdout.readline()
        code = re.search(r"open (\S+) in a browser on any device and enter the code (\S+)", first)
        self.assertTrue(code, first)
        self.assertEqual(code.group(1), self.auth.url + "/devicelogin")
        time.sleep(1.5)  # the tool polls and is told to wait
        self.auth.approve(code.group(2), user)
        out, err = proc.communicate(timeout=30)
        self.assertEqual(proc.returncode, 0, err)
        self.assertIn("Signed in", out)
        return first + out + err

    def stored(self):
        found = []
        for name in sorted(glob.glob(os.path.join(self.inbox, "*.txt"))):
            with open(name, "rb") as f:
                found.append(f.read())
        return found

    def transcript(self, account):
        with open(os.path.join(self.inst.spool, account + ".log")) as f:
            return [line.rstrip("\r\n")[9:] for line in f]

    def everything_said(self, *more):
        """The log file, every transcript, and what the tools printed."""
        text = list(more)
        for path in glob.glob(os.path.join(self.inst.spool, "*.log")):
            with open(path, errors="replace") as f:
                text.append(f.read())
        return "\n".join(text)

    def assert_no_token_in(self, text):
        for secret in self.auth.secrets_issued():
            self.assertNotIn(secret, text)


class SmartPopOAuthTest(OAuthCase):
    def test_device_sign_in_then_collect_with_xoauth2_and_oauthbearer(self):
        said = []
        for user, mechanism in (("olivia", "xoauth2"), ("paul", "oauthbearer")):
            with self.subTest(mechanism=mechanism):
                account = self.account(user, mechanism)
                said.append(self.device_sign_in(user, "smartpop", "oauth", "login", account))
                status = self.admin("smartpop", "oauth", "status", account).stdout
                self.assertIn("Signed in:    yes (a refresh token is stored)", status)
                said.append(status)
                self.dc.deliver(user, [message(1), message(2)])
                out = self.inst.smartpop_run()
                said.append("\n".join(out))
                self.assertEqual(self.dc.waiting(user), [], out)
                self.assertIn(f"SmartPop connection to {account} closed after 2 messages", out)
                commands = [line for line in self.transcript(account) if line.startswith("<")]
                self.assertEqual(commands[:3], ["<STLS", f"<AUTH {mechanism.upper()}", "<********"])
                self.assertIn(f"user=<{user}>, method={mechanism.upper()}", self.dc.log())
                # One token from the sign-in, good for an hour: no refresh was needed.
                self.assertEqual(self.auth.grants("refresh_token"), [])
        self.assertEqual(len(self.stored()), 4)
        self.assert_no_token_in(self.everything_said(*said))

    def test_a_token_near_its_end_or_refused_early_is_refreshed_within_the_run(self):
        account = self.account("olivia")
        self.device_sign_in("olivia", "smartpop", "oauth", "login", account)
        # Near its end (the store says so): refreshed before the provider is called.
        self.inst.set_dword(f"SmartPop\\{account}", "oauthExpires", int(time.time()) + 60)
        self.dc.deliver("olivia", [message(1)])
        out = self.inst.smartpop_run()
        self.assertEqual(len(self.auth.grants("refresh_token")), 1)
        self.assertIn(f"SmartPop connection to {account} closed after 1 messages", out)
        self.assertEqual([line for line in self.transcript(account) if "AUTH" in line], ["<AUTH XOAUTH2"])
        # Refused by the provider though it should still be good: one refresh, a second AUTH,
        # and the same run collects.
        self.auth.expire_access("olivia")
        self.dc.deliver("olivia", [message(2)])
        out = self.inst.smartpop_run()
        self.assertEqual(len(self.auth.grants("refresh_token")), 2)
        self.assertIn(f"SmartPop connection to {account} closed after 1 messages", out)
        commands = [line for line in self.transcript(account) if line.startswith("<")]
        self.assertEqual(commands[:6], ["<STLS", "<AUTH XOAUTH2", "<********", "<", "<AUTH XOAUTH2", "<********"])
        self.assertEqual(len(self.stored()), 2)
        self.assert_no_token_in(self.everything_said("\n".join(out)))

    def test_a_revoked_sign_in_stops_only_that_account_and_tells_the_postmaster_once(self):
        kept, revoked = self.account("paul"), self.account("quinn")
        self.device_sign_in("paul", "smartpop", "oauth", "login", kept)
        self.device_sign_in("quinn", "smartpop", "oauth", "login", revoked)
        self.auth.revoke_user("quinn")
        self.inst.set_dword(f"SmartPop\\{revoked}", "oauthExpires", 1)  # due for a refresh
        self.dc.deliver("paul", [message(1)])
        self.dc.deliver("quinn", [message(2)])
        for run in range(2):
            out = self.inst.smartpop_run()
            self.assertIn(f"SmartPop connection to {kept} closed after {1 - run} messages", out)
            lines = [line for line in out if "refused the stored sign-in" in line]
            self.assertEqual(len(lines), 1 if run == 0 else 0, out)
            said = lines if run == 0 else said
            self.assertFalse(any(f"Connecting SmartPop to {revoked}" in line for line in out), out)
        self.assertIn(f"SmartPop account {revoked}: the provider refused the stored sign-in (invalid_grant", said[0])
        self.assertIn(f"postvane-admin smartpop oauth login {revoked}", said[0])
        self.assertEqual(len(self.dc.waiting("quinn")), 1)
        status = self.admin("smartpop", "oauth", "status", revoked).stdout
        self.assertIn("Signed in:    no (revoked by the provider)", status)
        listed = self.admin("smartpop", "list").stdout
        self.assertIn(f"login oauth2 (signed in)", listed.split(kept)[1].splitlines()[0])
        self.assertIn(f"login oauth2 (revoked by the provider: sign in again)", listed.split(revoked)[1].splitlines()[0])
        self.assertIn("signed out by the provider on", status)
        notices = []
        for wrk in glob.glob(os.path.join(self.inbox, "*.wrk")):
            with open(wrk, "rb") as f:
                envelope = f.read().split(b"\r\n")
            if envelope[1] == b"postmaster":
                with open(wrk[:-4] + ".txt", "rb") as f:
                    notices.append(f.read().decode())
        self.assertEqual(len(notices), 1)
        self.assertIn(f"Subject: Sign-in needed: SmartPop account {revoked}", notices[0])
        self.assertIn(f"postvane-admin smartpop oauth login {revoked}", notices[0])
        self.assertRegex(notices[0], r"\r\nDate: .+\r\nMessage-ID: <.+>\r\n")
        # The server's spooler hands it to the postmaster's mailbox like any mail.
        server = self.inst.start()
        self.addCleanup(server.stop)
        server.wait_for("Starting Postvane")
        delivered = wait_until(lambda: self.inst.mailbox_messages("postmaster"), 20, "the notice delivered")
        self.assertIn(b"Subject: Sign-in needed", delivered[0])

    def test_browser_sign_in_with_pkce_and_a_foreign_code_is_refused(self):
        account = self.account("olivia")
        port = free_port()
        command = [program("postvane-admin"), "smartpop", "oauth", "login", account, "--browser",
                   "--redirect-port", str(port)]

        def start():
            proc = subprocess.Popen(command, env=self.inst.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, text=True)
            for line in proc.stdout:
                if line.startswith(self.auth.url + "/authorize?"):
                    return proc, line.strip()
            self.fail(proc.stderr.read())

        # Someone else's code (made for another challenge) pasted into a sign-in: the provider
        # checks the verifier and refuses; nothing is stored.
        other, other_address = start()
        other.kill()
        other.communicate()
        proc, address = start()
        self.assertIn(f"redirect_uri=http%3A%2F%2F127.0.0.1%3A{port}%2F", address)
        foreign = self.auth.authorize(other_address, "olivia")
        state = re.search(r"state=([^&]+)", address).group(1)
        pasted = re.sub(r"state=[^&]+", "state=" + state, foreign)
        out, err = proc.communicate(pasted + "\n", timeout=30)
        self.assertEqual(proc.returncode, 1, out)
        self.assertIn("the provider refused the code: invalid_grant: PKCE verifier does not match", err)
        self.assertIn("Signed in:    no", self.admin("smartpop", "oauth", "status", account).stdout)

        # The browser on this machine: it follows the redirect to the tool's loopback port.
        proc, address = start()
        with urllib.request.urlopen(self.auth.authorize(address, "olivia"), timeout=10) as page:
            self.assertIn(b"You can close this window", page.read())
        out, err = proc.communicate(timeout=30)
        self.assertEqual(proc.returncode, 0, err)
        self.assertIn("Signed in:    yes", self.admin("smartpop", "oauth", "status", account).stdout)
        self.dc.deliver("olivia", [message(7)])
        self.assertIn(f"SmartPop connection to {account} closed after 1 messages", self.inst.smartpop_run())

    def test_the_property_sheet_signs_an_account_in(self):
        account = self.account("paul")
        env = dict(self.inst.env, QT_QPA_PLATFORM="offscreen")
        proc = subprocess.Popen([program("pv-applet-driver"), "smartpop-sign-in", account], env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        shown = proc.stdout.readline()
        code = re.search(r"open (\S+) in a browser on any device and enter the code (\S+)", shown)
        self.assertTrue(code, shown + proc.stderr.read() if proc.poll() is not None else shown)
        self.auth.approve(code.group(2), "paul")
        out, err = proc.communicate(timeout=90)
        self.assertEqual(proc.returncode, 0, out + err)
        self.assertIn(f"Signed in: SmartPop account {account} is ready.", out)
        self.assertIn("Signed in:    yes", self.admin("smartpop", "oauth", "status", account).stdout)
        self.dc.deliver("paul", [message(9)])
        self.assertIn(f"SmartPop connection to {account} closed after 1 messages", self.inst.smartpop_run())

    def test_oauth2_needs_tls_and_a_refusal_is_logged_in_the_providers_words(self):
        account = self.account("olivia")
        self.admin("smartpop", "security", account, "none")
        out = self.inst.smartpop_run()
        self.assertTrue(any("logs in with OAuth2, which is sent only over TLS" in line for line in out), out)
        self.assertFalse(any("Connecting SmartPop" in line for line in out), out)

        # A token for olivia presented as paul's: refused, refreshed once, refused again.
        self.admin("smartpop", "security", account, "stls")
        self.device_sign_in("olivia", "smartpop", "oauth", "login", account)
        self.inst.set_string(f"SmartPop\\{account}", "oauthUser", "paul")
        self.dc.deliver("olivia", [message(1)])
        out = self.inst.smartpop_run()
        refused = [line for line in out if "refused the OAuth2 login" in line]
        self.assertEqual(len(refused), 1, out)
        self.assertIn(f"{self.dc.address} refused the OAuth2 login (XOAUTH2) of {account}: status ", refused[0])
        self.assertEqual(len(self.auth.grants("refresh_token")), 1)
        self.assertEqual(len(self.dc.waiting("olivia")), 1)


@unittest.skipUnless(os.path.exists(POSTFIX), "postfix is not installed (scripts/setup.sh installs it)")
@unittest.skipUnless(os.geteuid() == 0, "a private Postfix needs root: its daemons change to the postfix user")
class RelayOAuthTest(OAuthCase):
    """The transmitter logs in to a Postfix that takes only OAuth2 logins over TLS, through the
    Dovecot's authentication service."""

    def setUp(self):
        super().setUp()
        self.postfix = Postfix(f"""mynetworks = 127.0.0.2/32
smtpd_tls_cert_file = {self.cert[0]}
smtpd_tls_key_file = {self.cert[1]}
smtpd_tls_security_level = may
smtpd_tls_auth_only = yes
smtpd_sasl_auth_enable = yes
smtpd_sasl_type = dovecot
smtpd_sasl_path = {self.dc.auth_socket}
smtpd_relay_restrictions = permit_sasl_authenticated, reject
""")
        self.addCleanup(self.postfix.stop)
        self.inst.set_string("", "Gateway", "127.0.0.1")
        self.inst.set_dword("AdvCon", "smtpoutport", self.postfix.port)
        self.outbox = os.path.join(self.inst.spool, "outbox")
        os.makedirs(self.outbox, exist_ok=True)
        self.number = 0

    def queue(self, recipient):
        self.number += 1
        name = f"f{self.number:07X}"
        with open(os.path.join(self.outbox, name + ".txt"), "wb") as f:
            f.write(b"Subject: by token\r\n\r\nhello\r\n")
        with open(os.path.join(self.outbox, name + ".wrk"), "wb") as f:
            f.write(f"alice@example.test\r\n{recipient}\r\n".encode())
        return name

    def send(self):
        proc = self.inst.run("postvane-send", check=False, timeout=120)
        return proc.returncode, proc.stdout + proc.stderr

    def test_the_transmitter_sends_with_oauthbearer_and_xoauth2_and_refreshes_a_refused_token(self):
        self.admin("relay", "security", "starttls")
        # Set up but nobody signed in: said once per run, nothing reaches the relay.
        self.admin("relay", "oauth", "setup", "--user", "olivia", *self.endpoints("auto"))
        waiting = self.queue("early@remote.test")
        rc, out = self.send()
        self.assertEqual(rc, 1, out)
        self.assertIn("the relay logs in with OAuth2 but nobody has signed in yet; run postvane-admin relay oauth login",
                      out)
        self.assertTrue(os.path.exists(os.path.join(self.outbox, waiting + ".wrk")))
        self.assertNotIn("client=localhost", self.postfix.log())
        said = []
        for mechanism, user in (("oauthbearer", "olivia"), ("xoauth2", "paul")):
            with self.subTest(mechanism=mechanism):
                self.admin("relay", "oauth", "setup", "--user", user, *self.endpoints(mechanism))
                said.append(self.device_sign_in(user, "relay", "oauth", "login"))
                recipient = f"{mechanism}@remote.test"
                self.queue(recipient)
                rc, out = self.send()
                said.append(out)
                self.assertEqual(rc, 0, out)
                self.assertEqual(glob.glob(os.path.join(self.outbox, "*.wrk")), [])
                self.assertIn(f"sasl_method={mechanism.upper()}, sasl_username={user}", self.postfix.log())
                self.assertIn("login oauth2 (signed in)", self.admin("relay", "show").stdout)
        # A token the relay refuses before its time: one refresh and the same run sends.
        self.auth.expire_access("paul")
        self.queue("late@remote.test")
        rc, out = self.send()
        said.append(out)
        self.assertEqual(rc, 0, out)
        self.assertEqual(len(self.auth.grants("refresh_token")), 1)
        self.assertEqual(glob.glob(os.path.join(self.outbox, "*.wrk")), [])
        self.assertEqual(self.postfix.log().count("sasl_method=XOAUTH2, sasl_username=paul"), 2)
        # paul's token presented for olivia: refused, refreshed once, refused again; the relay's
        # error status is in the one log line, and the mail stays queued.
        self.admin("relay", "user", "olivia")
        waiting = self.queue("never@remote.test")
        rc, out = self.send()
        said.append(out)
        self.assertEqual(rc, 1, out)
        refused = [line for line in out.splitlines() if "refused the OAuth2 login" in line]
        self.assertEqual(len(refused), 1, out)
        self.assertIn('127.0.0.1 refused the OAuth2 login (XOAUTH2) of "olivia": status 401', refused[0])
        self.assertEqual(len(self.auth.grants("refresh_token")), 2)
        self.assertTrue(os.path.exists(os.path.join(self.outbox, waiting + ".wrk")))
        self.assert_no_token_in(self.everything_said(*said))


if __name__ == "__main__":
    unittest.main()
