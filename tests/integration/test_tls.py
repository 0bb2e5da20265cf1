"""TLS on the LAN side against real clients: openssl s_client and swaks with STARTTLS, Python's
poplib and fetchmail with STLS, clients that inject commands before the handshake or send
garbage instead of one, the SIZE limit, a bad certificate setting and the wizard's certificate."""

import os
import poplib
import re
import smtplib
import ssl
import stat
import subprocess
import tempfile
import threading
import unittest

from pvharness import Conversation, Installation, free_port, listening, wait_until

SEPARATOR = b"From pv-test-separator"


def make_certificate(folder, name="localhost", extra_san=""):
    """A self-signed certificate for name and 127.0.0.1 (and extra_san, e.g. ",IP:::1"), made by
    openssl for this test."""
    cert, key = os.path.join(folder, f"{name}.crt"), os.path.join(folder, f"{name}.key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                    "-nodes", "-days", "2", "-subj", f"/CN={name}", "-keyout", key, "-out", cert,
                    "-addext", f"subjectAltName=DNS:{name},IP:127.0.0.1{extra_san}"],
                   check=True, capture_output=True)
    return cert, key


class LanTlsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.inst = Installation()
        cls.addClassCleanup(cls.inst.cleanup)
        cls.inst.configure()
        cls.cert, cls.key = make_certificate(cls.inst.dir)
        cls.inst.set_string("AdvCon", "TlsCertificate", cls.cert)
        cls.inst.set_string("AdvCon", "TlsKey", cls.key)
        cls.inst.set_dword("AdvCon", "MaxMessageSize", 20000)
        cls.smtps, cls.pops = free_port(), free_port()
        cls.inst.set_dword("AdvCon", "SmtpsPort", cls.smtps)
        cls.inst.set_dword("AdvCon", "Pop3sPort", cls.pops)
        cls.smtp = cls.inst.ports["smtpinport"]
        cls.pop = cls.inst.ports["popport"]
        for name in ("alice", "bob", "carol", "dave"):
            cls.inst.run("postvane-admin", "mailbox", "add", name, "--password", "pw-" + name)
        cls.server = cls.inst.start()
        cls.addClassCleanup(cls.server.stop)
        cls.server.wait_for("Starting Postvane")
        wait_until(lambda: all(listening(p) for p in (cls.smtp, cls.pop, cls.smtps, cls.pops)),
                   what="the listeners")
        cls.context = ssl.create_default_context(cafile=cls.cert)

    def ehlo(self, conv, name="client.test"):
        conv.send(f"EHLO {name}\r\n".encode())
        lines = []
        while True:
            line = conv.line()
            lines.append(line.decode())
            if not line.startswith(b"250-"):
                return lines

    def test_openssl_s_client_starttls_then_ehlo_lists_no_starttls(self):
        proc = subprocess.run(
            ["openssl", "s_client", "-starttls", "smtp", "-connect", f"127.0.0.1:{self.smtp}",
             "-CAfile", self.cert, "-verify_hostname", "localhost", "-verify_return_error", "-crlf",
             "-ign_eof", "-brief"],
            input=b"EHLO s-client.test\nNOOP\nQUIT\n", capture_output=True, timeout=30)
        out, err = proc.stdout.decode(), proc.stderr.decode()
        self.assertEqual(proc.returncode, 0, err)
        self.assertIn("Verification: OK", err)
        self.assertIn("250-PIPELINING", out)
        self.assertIn("250 SIZE 20000", out)  # STARTTLS is no longer offered: the last line
        self.assertNotIn("STARTTLS", out)
        self.assertIn("250 Ok, Twiddling thumbs", out)
        self.assertIn("221 ", out)

    def test_swaks_tls_message_is_collected_over_stls(self):
        proc = subprocess.run(
            ["swaks", "--tls", "--tls-verify", "--tls-ca-path", self.cert, "--server", "127.0.0.1",
             "--port", str(self.smtp), "--from", "me@example.org", "--to", "alice@example.test",
             "--header", "Subject: over tls", "--body", "sent under TLS"],
            capture_output=True, text=True, timeout=60)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.assertIn("<-  220 Ready to start TLS", proc.stdout)
        self.assertIn("=== TLS started", proc.stdout)
        self.assertRegex(proc.stdout, r"<~\s+250 Ok")

        def fetch():
            p = poplib.POP3("127.0.0.1", self.pop, timeout=10)
            try:
                self.assertIn("STLS", p.capa())
                self.assertEqual(p.stls(self.context), b"+OK Begin TLS negotiation")
                self.assertNotIn("STLS", p.capa())  # offered once, before TLS
                p.user("alice")
                p.pass_("pw-alice")
                found = []
                for i in range(1, len(p.list()[1]) + 1):
                    found.append(b"\n".join(p.retr(i)[1]))
                    p.dele(i)
                return found
            finally:
                p.quit()
        messages = wait_until(fetch, what="the message in alice's mailbox")
        self.assertEqual(len(messages), 1)
        self.assertIn(b"Subject: over tls", messages[0])
        self.assertIn(b"sent under TLS", messages[0])

    def test_fetchmail_with_stls_verifies_and_collects(self):
        with smtplib.SMTP("127.0.0.1", self.smtp, timeout=30) as s:
            s.starttls(context=self.context)
            s.sendmail("me@example.org", ["carol@example.test"], b"Subject: for fetchmail\r\n\r\nhello\r\n")
        def run():
            log, got = self.fetchmail("carol", self.pop, "sslproto 'tls1.2+'")
            self.assertIn("POP3> STLS", log)
            return got
        got = wait_until(run, timeout=30, what="fetchmail's message")
        self.assertEqual(len(got), 1)
        self.assertIn(b"Subject: for fetchmail", got[0])

    def fetchmail(self, user, port, security):
        """Runs fetchmail once for the user; the messages it delivered (possibly none yet)."""
        work = tempfile.mkdtemp(dir=self.inst.dir)
        mbox = os.path.join(work, "mbox")
        rc = os.path.join(work, "fetchmailrc")
        with open(rc, "w") as f:
            f.write(f'set no syslog\nset invisible\nset idfile "{work}/fetchids"\n'
                    f"poll 127.0.0.1 protocol POP3 service {port} auth password\n"
                    f'  user "{user}" there with password "pw-{user}" is "nobody" here\n'
                    f"  fetchall nokeep no rewrite {security} sslcertck sslcertfile '{self.cert}' sslcommonname localhost\n"
                    f'  mda "(echo {SEPARATOR.decode()}; cat) >> {mbox}"\n')
        os.chmod(rc, 0o600)
        proc = subprocess.run(["fetchmail", "-v", "-f", rc, "--pidfile", os.path.join(work, "pid")],
                              env=dict(os.environ, HOME=work, FETCHMAILHOME=work), capture_output=True, timeout=60)
        log = (proc.stdout + proc.stderr).decode(errors="replace")
        self.assertIn(proc.returncode, (0, 1), log)  # 1: nothing there yet
        return log, (open(mbox, "rb").read().split(SEPARATOR + b"\n")[1:] if os.path.exists(mbox) else [])

    def test_implicit_tls_ports_with_smtp_ssl_pop3_ssl_and_fetchmail_ssl(self):
        with smtplib.SMTP_SSL("127.0.0.1", self.smtps, context=self.context,
                              timeout=30) as s:
            s.ehlo()
            self.assertFalse(s.has_extn("starttls"))  # already in TLS
            s.sendmail("me@example.org", ["dave@example.test"], b"Subject: one\r\n\r\nvia smtps\r\n")
            s.sendmail("me@example.org", ["dave@example.test"], b"Subject: two\r\n\r\nvia smtps\r\n")

        def first():
            p = poplib.POP3_SSL("127.0.0.1", self.pops, context=self.context, timeout=10)
            try:
                self.assertNotIn("STLS", p.capa())
                p.user("dave")
                p.pass_("pw-dave")
                if len(p.list()[1]) < 2:
                    return None
                text = b"\n".join(p.retr(1)[1])
                p.dele(1)
                return text
            finally:
                p.quit()
        self.assertIn(b"via smtps", wait_until(first, what="dave's messages"))
        log, got = self.fetchmail("dave", self.pops, "ssl")
        self.assertEqual(len(got), 1, log)
        self.assertIn(b"via smtps", got[0])

    def test_commands_sent_with_starttls_or_stls_are_dropped(self):
        conv = Conversation(self.smtp)
        self.addCleanup(conv.close)
        self.assertTrue(conv.line().startswith(b"220 "))
        self.ehlo(conv)
        # An attacker's line in the same packet as STARTTLS must not count as said under TLS.
        conv.send(b"STARTTLS\r\nHELO injected.test\r\n")
        self.assertEqual(conv.line(), b"220 Ready to start TLS")
        conv.start_tls(self.context)
        self.assertEqual(conv.command("MAIL FROM:<me@example.org>"), b"550 who are you")
        self.assertEqual(conv.command("NOOP"), b"250 Ok, Twiddling thumbs")
        self.assertEqual(conv.command("STARTTLS"), b"503 TLS is already active")

        pop = Conversation(self.pop)
        self.addCleanup(pop.close)
        self.assertTrue(pop.line().startswith(b"+OK "))
        pop.send(b"STLS\r\nUSER alice\r\n")
        self.assertEqual(pop.line(), b"+OK Begin TLS negotiation")
        pop.start_tls(self.context)
        self.assertEqual(pop.command("PASS pw-alice"), b"-ERR I need a USER")
        self.assertEqual(pop.command("STLS"), b"-ERR TLS is already active")
        self.assertTrue(pop.command("USER alice").startswith(b"+OK "))
        self.assertEqual(pop.command("STLS"), b"-ERR invalid command")  # only before USER

    def test_garbage_instead_of_a_handshake_drops_only_that_client(self):
        other = Conversation(self.smtp)
        self.addCleanup(other.close)
        self.assertTrue(other.line().startswith(b"220 "))
        self.assertEqual(other.command("HELO other.test"), b"250 example.test")
        self.assertTrue(other.command("MAIL FROM:<me@example.org>").startswith(b"250 "))

        bad = Conversation(self.smtp)
        self.addCleanup(bad.close)
        bad.line()
        self.assertEqual(bad.command("STARTTLS"), b"220 Ready to start TLS")
        bad.send(b"this is not a client hello\r\n" * 20)
        self.assertTrue(bad.closed())
        self.server.wait_for("TLS handshake with [127.0.0.1] failed: handshake failed")

        # The session beside it goes on as if nothing had happened.
        self.assertEqual(other.command("RCPT TO:<bob@example.test>"), b"250 Recipient Ok")
        self.assertEqual(other.command("DATA")[:3], b"354")
        other.send(b"Subject: undisturbed\r\n\r\nstill here\r\n.\r\n")
        self.assertEqual(other.line(), b"250 Ok")
        self.assertEqual(other.command("QUIT")[:3], b"221")

    def test_size_limit_refuses_before_the_text_and_stops_text_over_it(self):
        conv = Conversation(self.smtp)
        self.addCleanup(conv.close)
        conv.line()
        lines = self.ehlo(conv)
        self.assertEqual(lines[1:], ["250-PIPELINING", "250-8BITMIME", "250-SIZE 20000", "250 STARTTLS"])
        self.assertEqual(conv.command("MAIL FROM:<me@example.org> SIZE=20001"),
                         b"552 Message size exceeds the limit of 20000 bytes")
        self.assertEqual(conv.command("MAIL FROM:<me@example.org> SIZE=x"), b"501 SIZE needs a number of bytes")
        self.assertEqual(conv.command("MAIL FROM:<me@example.org> SMUGGLE=1")[:4], b"555 ")
        self.assertEqual(conv.command("MAIL FROM:<me@example.org> SIZE=100 BODY=8BITMIME"),
                         b"250 <me@example.org> Sender Ok")
        self.assertEqual(conv.command("RCPT TO:<alice@example.test>"), b"250 Recipient Ok")
        self.assertEqual(conv.command("DATA")[:3], b"354")
        inbox = os.path.join(self.inst.spool, "inbox")
        before = set(os.listdir(inbox))
        # A client that declared less, or nothing, is still held to the limit.
        conv.send(b"Subject: big\r\n\r\n" + (b"x" * 998 + b"\r\n") * 25 + b".\r\n")
        self.assertEqual(conv.line(), b"552 Message size exceeds the limit of 20000 bytes")
        self.assertEqual(set(os.listdir(inbox)) - before, set())

        # HELO clients are served as they always were: parameters are ignored.
        old = Conversation(self.smtp)
        self.addCleanup(old.close)
        old.line()
        self.assertEqual(old.command("HELO old.test"), b"250 example.test")
        self.assertEqual(old.command("MAIL FROM:<me@example.org> SIZE=99999999"), b"250 <me@example.org> Sender Ok")


class TlsSettingsTest(unittest.TestCase):
    def setUp(self):
        self.inst = Installation()
        self.addCleanup(self.inst.cleanup)
        self.inst.configure()

    def test_wizard_makes_a_private_key_and_a_certificate_for_this_host(self):
        cert = self.inst.reg("query", "AdvCon", "/v", "TlsCertificate").stdout
        key = self.inst.reg("query", "AdvCon", "/v", "TlsKey").stdout
        cert = re.search(r"REG_SZ\s+(\S+)", cert).group(1)
        key = re.search(r"REG_SZ\s+(\S+)", key).group(1)
        self.assertEqual(os.path.dirname(cert), self.inst.dir)
        self.assertEqual(stat.S_IMODE(os.stat(key).st_mode), 0o600)
        text = subprocess.run(["openssl", "x509", "-in", cert, "-noout", "-ext", "subjectAltName"],
                              capture_output=True, text=True, check=True).stdout
        self.assertIn("DNS:" + os.uname().nodename, text)
        # Run again, it keeps what is there.
        before = open(cert, "rb").read()
        self.inst.run("postvane-wizard", "--defaults")
        self.assertEqual(open(cert, "rb").read(), before)

        server = self.inst.start()
        self.addCleanup(server.stop)
        wait_until(lambda: listening(self.inst.ports["smtpinport"]), what="the SMTP listener")
        with smtplib.SMTP("127.0.0.1", self.inst.ports["smtpinport"], timeout=30) as s:
            s.ehlo()
            self.assertTrue(s.has_extn("starttls"))
            s.starttls(context=self._host_context(cert))
            s.ehlo()
            self.assertFalse(s.has_extn("starttls"))

    def _host_context(self, cert):
        context = ssl.create_default_context(cafile=cert)
        context.check_hostname = False  # the name is this machine's; the certificate itself is checked
        return context

    def test_bad_certificate_setting_is_logged_and_the_services_run_without_tls(self):
        missing = os.path.join(self.inst.dir, "no-such.pem")
        self.inst.set_string("AdvCon", "TlsCertificate", missing)
        server = self.inst.start()
        self.addCleanup(server.stop)
        line = server.wait_for("TLS is off for SMTP and POP3")
        self.assertIn(missing + " could not be read", line)
        self.assertIn("AdvCon\\TlsCertificate", line)
        wait_until(lambda: listening(self.inst.ports["smtpinport"]) and listening(self.inst.ports["popport"]),
                   what="the listeners")
        conv = Conversation(self.inst.ports["smtpinport"])
        self.addCleanup(conv.close)
        conv.line()
        conv.send(b"EHLO c.test\r\n")
        lines = []
        while not lines or lines[-1].startswith(b"250-"):
            lines.append(conv.line())
        self.assertNotIn(b"250-STARTTLS", lines)
        self.assertNotIn(b"250 STARTTLS", lines)
        self.assertEqual(conv.command("STARTTLS"), b"550 Syntax Error")
        p = poplib.POP3("127.0.0.1", self.inst.ports["popport"], timeout=10)
        self.addCleanup(p.close)
        self.assertNotIn("STLS", p.capa())
        with self.assertRaises(poplib.error_proto):
            p._shortcmd("STLS")


if __name__ == "__main__":
    unittest.main()
