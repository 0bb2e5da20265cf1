"""The web console in a real browser (headless chromium driven by puppeteer-core): an
administrator logs in, adds a mailbox that then takes mail by SMTP and gives it out by POP3,
watches the live log, sends a set-aside message again through a relay the console sets, and
presses Connect; a change without the page's token, a client outside the allowed networks and a
guessed password are refused. Screenshots of every page land in build-test/artefacts/web."""

import json
import os
import smtplib
import ssl
import unittest
import urllib.error
import urllib.request

from authserver import CLIENT_ID, AuthServer
from pvharness import Installation, wait_until
from relay import Relay
from webconsole import PASSWORD, Browser, enable_console

ARTEFACTS = os.environ.get("POSTVANE_ARTEFACTS") or os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "build-test", "artefacts", "web")


class WebConsoleCase(unittest.TestCase):
    def setUp(self):
        self.inst = Installation()
        self.addCleanup(self.inst.cleanup)
        self.inst.configure()
        self.url = enable_console(self.inst)
        self.server = self.inst.start()
        self.server.wait_for("Web console listening")
        self.browser = Browser()
        self.addCleanup(self.browser.close)

    def login(self):
        self.browser.do("open", self.url + "/")
        self.assertEqual(self.browser.do("login", PASSWORD), "")

    def plain_request(self, path, data=None, headers=None):
        """A request without a browser: (status, body)."""
        context = ssl.create_default_context()
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE  # the wizard's self-signed certificate
        request = urllib.request.Request(self.url + path, data=data, headers=headers or {})
        try:
            with urllib.request.urlopen(request, context=context, timeout=20) as r:
                return r.status, r.read().decode()
        except urllib.error.HTTPError as e:
            return e.code, e.read().decode()

    def mailbox_exists(self, name):
        return self.inst.reg("query", "mailbox\\" + name, check=False).returncode == 0


class WebConsoleTest(WebConsoleCase):
    def test_an_administrator_runs_the_gateway_from_a_browser(self):
        os.makedirs(ARTEFACTS, exist_ok=True)
        self.login()
        self.browser.do("shot", os.path.join(ARTEFACTS, "status.png"))

        # A mailbox made in the browser takes mail by SMTP and gives it out by POP3; the live
        # log shows the delivery without reloading the page.
        self.browser.do("page", "mailboxes")
        self.assertEqual(self.browser.form("/api/mailbox/add", name="carol", type="user", password="carol-pw-7"),
                         "Saved.")
        self.browser.do("wait_text", "#mailbox-list", "carol")
        # A list's members, kept as the list server keeps them.
        self.assertEqual(self.browser.form("/api/mailbox/add", name="team", type="list", password="team-pw-77"),
                         "Saved.")
        self.browser.do("wait_text", "#mailbox-list", "team")
        self.browser.do("press_in_row", "#mailbox-list", "team", "Members")
        self.browser.do("wait_text", "#members-title", "Members of team")
        self.browser.do("type_submit", "#members-form", "Dave@Far.Test")
        self.browser.do("wait_text", "#members-list", "dave@far.test")
        self.assertEqual(self.inst.run("postvane-admin", "members", "show", "team").stdout, "dave@far.test\n")
        self.assertEqual(self.browser.form("/api/list-options", owner="carol", moderated="on"), "Saved.")
        shown = self.inst.run("postvane-admin", "mailbox", "show", "team").stdout
        self.assertIn("Owner:     carol", shown)
        self.assertIn("Moderated: on", shown)
        # An auto-responder's reply text: line breaks as the responder splits them, nothing else.
        self.assertEqual(self.browser.form("/api/mailbox/add", name="away", type="responder", password="away-pw-77"),
                         "Saved.")
        self.browser.do("wait_text", "#mailbox-list", "away")
        self.browser.do("press_in_row", "#mailbox-list", "away", "Reply text")
        self.assertEqual(self.browser.form("/api/mailbox/reply-text", text="Back on Monday.\nThank you."), "Saved.")
        self.assertIn("Back on Monday.\nThank you.",
                      self.inst.reg("query", "mailbox\\away", "/v", "Str3").stdout.replace("\\n", "\n"))
        self.browser.do("shot", os.path.join(ARTEFACTS, "mailboxes.png"))
        self.browser.do("page", "status")
        self.inst.send_mail("sender@remote.test", ["carol@example.test"], "Subject: hello\r\n\r\nfrom the test\r\n")
        self.browser.do("wait_text", "#log", "Delivering to <carol>")
        (message,) = self.inst.collect("carol", "carol-pw-7", 1)
        self.assertIn("from the test", message)

        # The relay set in the browser is the one the next run uses.
        relay = Relay(self.inst.dir)
        self.addCleanup(relay.stop)
        self.browser.do("page", "provider")
        self.assertEqual(self.browser.form("/api/relay", gateway="127.0.0.1", port=str(relay.port), security="none"),
                         "Saved.")
        self.assertEqual(self.inst.read_dword("AdvCon", "smtpoutport"), relay.port)
        # A SmartPop account goes through postvane-admin's checks: collected mail stays here.
        self.assertIn("not a local mailbox or alias",
                      self.browser.form("/api/smartpop/add", account="office@pop.test", deliverTo="far@remote.test"))
        self.assertEqual(self.browser.form("/api/smartpop/add", account="office@pop.test", password="pw",
                                           deliverTo="carol"), "Saved.")
        self.assertIn("deliver to carol", self.inst.run("postvane-admin", "smartpop", "list").stdout)
        self.browser.do("shot", os.path.join(ARTEFACTS, "provider.png"))

        # A set-aside message sent again reaches that relay.
        outbox = os.path.join(self.inst.spool, "outbox")
        with open(os.path.join(outbox, "f0000ABC.txt"), "wb") as f:
            f.write(b"Subject: set aside\r\n\r\nsecond chance\r\n")
        with open(os.path.join(outbox, "f0000ABC.old"), "wb") as f:
            f.write(b"carol@example.test\r\nfar@remote.test\r\n")
        self.browser.do("page", "queue")
        self.browser.do("shot", os.path.join(ARTEFACTS, "queue.png"))
        self.assertIn("sent again", self.browser.do("click_in_row", "#queue-aside", "f0000ABC", "Send again"))
        self.assertEqual(sorted(os.listdir(outbox)), ["f0000ABC.txt", "f0000ABC.wrk"])
        self.inst.run("postvane-send", timeout=120)
        self.assertEqual([(s, r) for s, r, _ in relay.messages()], [("carol@example.test", ["far@remote.test"])])

        # Connect acts as the window's button does.
        self.browser.do("page", "status")
        self.browser.do("click", "[data-action=connect]")
        self.browser.do("wait_text", "#log", "Connecting due to operator request")
        # The session may already have ended (the queue is empty): the request is taken all the
        # same, and the log says "Disconnecting" only when there is something to end.
        self.assertEqual(self.browser.do("click", "[data-action=disconnect]"), "Disconnect requested.")

        # A failure report the relay refused on its way to a sender elsewhere: its sender,
        # refused recipient and reason are read from its text; it is deleted with its files.
        with open(os.path.join(outbox, "f0000ABD.txt"), "wb") as f:
            f.write(b"From: mail-deamon <postvane@example.test>\r\nSubject: Recipient rejected by receiver\r\n\r\n"
                    b"Transcript of session follows\r\n---------\r\n<MAIL FROM:<alice@far.test>\r\n>250 ok\r\n"
                    b"<RCPT TO:<gone@elsewhere.test>\r\n>550 5.1.1 no such user here\r\n---------\r\n\r\n"
                    b"Origional message follows\r\n\r\nSubject: lost\r\n")
        with open(os.path.join(outbox, "f0000ABD.old"), "wb") as f:
            f.write(b"postvane\r\nalice@far.test\r\n")
        self.browser.do("page", "queue")
        self.browser.do("wait_text", "#queue-reports", "550 5.1.1 no such user here")
        self.browser.do("wait_text", "#queue-reports", "gone@elsewhere.test")
        self.browser.do("wait_text", "#queue-reports", "alice@far.test")
        self.browser.do("shot", os.path.join(ARTEFACTS, "queue.png"))
        self.assertIn("deleted", self.browser.do("click_in_row", "#queue-reports", "f0000ABD", "Delete"))
        self.browser.do("wait_gone", "#queue-reports", "f0000ABD")
        self.assertEqual(os.listdir(outbox), [])
        # A message is not a report: deleting it as one is refused.
        with open(os.path.join(outbox, "f0000ABE.txt"), "wb") as f:
            f.write(b"Subject: kept\r\n\r\nkept\r\n")
        with open(os.path.join(outbox, "f0000ABE.old"), "wb") as f:
            f.write(b"carol@example.test\r\nfar@remote.test\r\n")
        self.assertEqual(self.browser.do("fetch", "POST", "/api/report/delete", "name=f0000ABE", "token"), 400)
        self.assertEqual(sorted(os.listdir(outbox)), ["f0000ABE.old", "f0000ABE.txt"])

        # Its port, security and pin are edited through the same checks; its other values stay.
        self.browser.do("page", "provider")
        self.browser.do("press_in_row", "#smartpop-list", "office@pop.test", "Edit")
        self.browser.do("wait_text", "#smartpop-edit-title", "office@pop.test")
        self.assertIn("65535", self.browser.form("/api/smartpop/edit", security="tls", port="99999"))
        self.assertIn("fingerprint", self.browser.form("/api/smartpop/edit", port="", fingerprint="12:34"))
        self.assertNotIn("security", self.inst.reg("query", "SmartPop\\office@pop.test").stdout)
        self.assertEqual(self.browser.form("/api/smartpop/edit", security="tls", port="",
                                           fingerprint="AB:" * 31 + "AB"), "Saved.")
        stored = self.inst.reg("query", "SmartPop\\office@pop.test").stdout
        self.assertRegex(stored, r"security\s+REG_SZ\s+tls")
        self.assertRegex(stored, r"fingerprint\s+REG_SZ\s+" + "ab" * 32)
        self.assertNotRegex(stored, r"\bport\b")
        self.assertRegex(stored, r"for\s+REG_SZ\s+carol")
        self.assertRegex(stored, r"pwd\s+REG_SZ\s+pw\b")

        # The schedule, through the applet's checks: nothing is written until every field passes.
        self.browser.do("page", "provider")
        self.assertIn("Monday is in both", self.browser.form("/api/schedule", **{
            "CountWaiting": "5", "a-day0": "on", "b-day0": "on"}))
        self.assertIn("'8:00' is not a time", self.browser.form("/api/schedule", **{
            "b-day0": "off", "a-times": "8:00"}))
        self.assertNotEqual(self.inst.read_dword("Schedule", "CountWaiting"), 5)
        self.assertEqual(self.browser.form("/api/schedule", **{
            "CheckWaiting": "on", "UseAdvanced": "on", "a-day0": "off", "a-day4": "on",
            "a-times": "08:00, 17:30"}), "Saved.")
        self.assertEqual(self.inst.read_dword("Schedule", "CountWaiting"), 5)
        self.assertEqual(self.inst.read_dword("Schedule\\a", "dow"), 1 << 4)
        self.assertRegex(self.inst.reg("query", "Schedule\\a", "/v", "Times").stdout, r"REG_SZ\s+08:00,17:30,")
        self.browser.do("wait_text", "#schedule-list", "Connect at 08:00,17:30, on Fri")

        # /metrics needs no session, and counts what happened (one STARTTLS handshake too).
        with smtplib.SMTP("127.0.0.1", self.inst.ports["smtpinport"], timeout=20) as smtp:
            context = ssl.create_default_context()
            context.check_hostname = False
            context.verify_mode = ssl.CERT_NONE
            smtp.starttls(context=context)
        status, text = self.plain_request("/metrics")
        self.assertEqual(status, 200)
        metrics = dict(line.rsplit(" ", 1) for line in text.splitlines() if not line.startswith("#"))
        self.assertGreaterEqual(int(metrics["postvane_messages_accepted_total"]), 1)
        self.assertGreaterEqual(int(metrics["postvane_messages_delivered_total"]), 1)
        self.assertGreaterEqual(int(metrics['postvane_connections_total{service="pop3"}']), 1)
        self.assertGreaterEqual(int(metrics['postvane_tls_handshakes_total{result="ok"}']), 1)

    def test_the_relay_signs_in_with_oauth2_from_the_console(self):
        auth = AuthServer()
        self.addCleanup(auth.stop)
        self.login()
        self.browser.do("page", "provider")
        self.inst.run("postvane-admin", "relay", "oauth", "setup", "--user", "olivia", "--provider", "custom",
                      "--client-id", CLIENT_ID, "--scope", "mail offline_access", "--device-url", auth.url + "/device",
                      "--token-url", auth.url + "/token")
        # A relay that logs in with a password starts no sign-in, whatever OAuth2 values it keeps.
        self.inst.set_string("AdvCon", "RelayAuth", "password")
        self.assertEqual(self.browser.do("fetch", "POST", "/api/oauth/start", "target=relay", "token"), 400)
        self.assertEqual([path for path, _ in auth.requests if path == "/device"], [])
        self.inst.set_string("AdvCon", "RelayAuth", "oauth2")
        self.browser.do("page", "status")
        self.browser.do("page", "provider")
        self.browser.do("press", "#relay-signin")
        self.browser.do("wait_text", "#signin", auth.url + "/devicelogin")
        code = self.browser.do("text", "#signin-code")
        self.browser.do("wait_text", "#signin-state", "Waiting")
        auth.approve(code, "olivia")
        self.browser.do("wait_text", "#signin-state", "Signed in: the relay is ready.")
        self.assertIn("Signed in:    yes", self.inst.run("postvane-admin", "relay", "oauth", "status").stdout)

    def test_a_change_without_the_page_token_is_refused(self):
        self.login()
        body = "name=mallory&type=user&password=mallory-pw"
        self.assertEqual(self.browser.do("fetch", "POST", "/api/mailbox/add", body, "none"), 403)
        self.assertFalse(self.mailbox_exists("mallory"))
        # Without a session at all, too.
        status, _ = self.plain_request("/api/mailbox/add", data=body.encode())
        self.assertEqual(status, 401)
        self.assertFalse(self.mailbox_exists("mallory"))
        # The same request with the token is taken: the refusal above was the token's.
        self.assertEqual(self.browser.do("fetch", "POST", "/api/mailbox/add", body, "token"), 200)
        self.assertTrue(self.mailbox_exists("mallory"))

    def test_a_client_outside_the_allowed_networks_sees_nothing(self):
        self.inst.set_string("AdvCon", "WebNets", "10.0.0.0/8")
        for path in ("/", "/metrics", "/console.js"):
            status, body = self.plain_request(path)
            self.assertEqual(status, 403, path)
            self.assertNotIn("Postvane", body)
        status, _ = self.plain_request("/login", data=("password=" + PASSWORD).encode())
        self.assertEqual(status, 403)
        # Said once in the log, not once per request.
        self.server.wait_for("Web console: refused 1 request(s) from 127.0.0.1")
        self.assertEqual(self.server.count("Web console: refused"), 1)
        self.browser.do("open", self.url + "/")
        self.assertFalse(self.browser.do("fetch", "GET", "/api/session", "", "none") == 200)
        # Back inside: the same client is served again.
        self.inst.set_string("AdvCon", "WebNets", "127.0.0.0/8")
        self.assertEqual(self.plain_request("/metrics")[0], 200)
        # Without WebNets, RelayNets decides.
        self.inst.reg("delete", "AdvCon", "/v", "WebNets", "/f")
        self.inst.set_string("AdvCon", "RelayNets", "192.168.0.0/16")
        self.assertEqual(self.plain_request("/metrics")[0], 403)

    def test_guessed_passwords_are_throttled_per_address(self):
        self.browser.do("open", self.url + "/")
        for _ in range(5):
            self.assertEqual(self.browser.do("login", "not-the-password"), "Wrong password.")
        # Now refused: even the right password is answered as a wrong one.
        self.assertEqual(self.browser.do("login", PASSWORD), "Wrong password.")
        self.assertEqual(self.browser.do("fetch", "GET", "/api/session", "", "none"), 401)
        self.server.wait_for("web console")
        status, text = self.plain_request("/metrics")
        self.assertIn("postvane_login_failures_total 6", text)


if __name__ == "__main__":
    unittest.main()
