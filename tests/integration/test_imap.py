"""The IMAP server against real clients: Python's imaplib and mbsync, with mail sent by SMTP and
collected by POP3 from the same mailbox at the same time; kills in the middle of changes, and
hostile input."""

import base64
import imaplib
import os
import poplib
import re
import shutil
import socket
import ssl
import subprocess
import threading
import time
import unittest

from pvharness import Installation, free_port, listening, wait_until
from test_tls import make_certificate

# Lines a mail client would never split: one with a leading dot, a long one, 8-bit text.
BODY = ("Subject: %s\r\nFrom: Bob <bob@example.test>\r\nTo: alice@example.test\r\n\r\n"
        "first line\r\n.a line with a leading dot\r\n" + "x" * 3000 + "\r\n\u00e9t\u00e9\r\n")


class ImapTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.inst = Installation()
        cls.addClassCleanup(cls.inst.cleanup)
        cls.inst.configure()
        cls.port = cls.inst.ports["imapport"]
        cls.cert, key = make_certificate(cls.inst.dir)
        cls.inst.set_string("AdvCon", "TlsCertificate", cls.cert)
        cls.inst.set_string("AdvCon", "TlsKey", key)
        cls.imaps = free_port()
        cls.inst.set_dword("AdvCon", "ImapsPort", cls.imaps)
        cls.start_server()

    @classmethod
    def start_server(cls):
        cls.server = cls.inst.start()
        cls.server.wait_for("Starting Postvane")
        wait_until(lambda: listening(cls.port) and listening(cls.imaps),
                   what=f"the IMAP listeners (output: {cls.server.lines!r})")

    def mailbox(self, name):
        self.inst.run("postvane-admin", "mailbox", "add", name, "--password", "pw-" + name)
        return self.inst.folder(name)

    def login(self, name):
        m = imaplib.IMAP4("127.0.0.1", self.port, timeout=20)
        self.addCleanup(self.quietly_close, m)
        self.assertEqual(m.login(name, "pw-" + name)[0], "OK")
        return m

    @staticmethod
    def quietly_close(m):
        try:
            m.shutdown()
        except OSError:
            pass

    def send(self, name, subject):
        text = (BODY % subject).encode()
        self.inst.send_mail("bob@example.test", [f"{name}@example.test"], text)
        return text

    def wait_messages(self, folder, count):
        wait_until(lambda: len([f for f in os.listdir(folder) if f.endswith(".txt")]) >= count,
                   what=f"{count} messages in {folder}")

    @staticmethod
    def read(path):
        with open(path, "rb") as f:
            return f.read()

    def uid_fetch(self, m, uids, what):
        typ, data = m.uid("FETCH", uids, what)
        self.assertEqual(typ, "OK", data)
        return [d for d in data if isinstance(d, tuple)]

    # --- a mail client's day ---------------------------------------------------------------

    def test_whole_messages_flags_copy_move_expunge_append(self):
        folder = self.mailbox("alice")
        sent = [self.send("alice", f"message {i}") for i in range(3)]
        self.wait_messages(folder, 3)
        on_disk = [self.read(os.path.join(folder, f)) for f in sorted(os.listdir(folder)) if f.endswith(".txt")]
        m = self.login("alice")
        typ, data = m.select("INBOX")
        self.assertEqual((typ, data), ("OK", [b"3"]))
        # Whole messages, byte for byte as stored (what SMTP accepted below the server's
        # Received line), with RFC822.SIZE telling their exact length.
        got = self.uid_fetch(m, "1:*", "(UID RFC822.SIZE BODY.PEEK[])")
        self.assertEqual([g[1] for g in got], on_disk)
        for g, text in zip(got, sent):
            self.assertTrue(g[1].endswith(text))
            self.assertIn(b"RFC822.SIZE %d " % len(g[1]), g[0])
        uids = [int(re.search(rb"UID (\d+)", g[0]).group(1)) for g in got]
        self.assertEqual(uids, sorted(uids))
        # A peek leaves the messages unseen; flags stick, and another client hears of them.
        other = self.login("alice")
        other.select("INBOX")
        self.assertEqual(m.search(None, "UNSEEN")[1], [b"1 2 3"])
        self.assertEqual(m.uid("STORE", str(uids[0]), "+FLAGS", r"(\Flagged $Important)")[0], "OK")
        other.noop()
        self.assertIn(b"FLAGS (\\Flagged $Important)", b" ".join(other.untagged_responses.pop("FETCH")))
        self.assertEqual(other.search(None, "FLAGGED")[1], [b"1"])
        self.assertEqual(other.search(None, "KEYWORD", "$Important")[1], [b"1"])
        self.assertEqual(other.search(None, "SUBJECT", "\"message 2\"")[1], [b"3"])
        # COPY keeps the flags and tells the new UIDs; MOVE takes the message out of INBOX.
        typ, data = m.uid("COPY", str(uids[0]), "Archive")
        self.assertEqual(typ, "OK")
        self.assertRegex(m.untagged_responses.pop("COPYUID")[0], rb"^\d+ %d 1$" % uids[0])
        typ, data = m.status("Archive", "(MESSAGES UNSEEN)")
        self.assertIn(b"MESSAGES 1 UNSEEN 1", data[0])
        self.assertEqual(m.uid("MOVE", str(uids[1]), "Junk")[0], "OK")
        self.assertEqual(m.uid("SEARCH", None, "ALL")[1], [f"{uids[0]} {uids[2]}".encode()])
        m.select("Archive")
        copied = self.uid_fetch(m, "1:*", "(FLAGS BODY.PEEK[])")
        self.assertEqual(copied[0][1], on_disk[0])
        self.assertIn(b"\\Flagged", copied[0][0])
        # EXPUNGE removes the file POP3 would have served, and the other client hears it.
        m.select("INBOX")
        m.uid("STORE", str(uids[2]), "+FLAGS", r"(\Deleted)")
        self.assertEqual(m.expunge()[0], "OK")
        self.assertEqual(len([f for f in os.listdir(folder) if f.endswith(".txt")]), 1)
        other.noop()
        self.assertEqual(other.untagged_responses.pop("EXPUNGE"), [b"3", b"2"])  # the moved one, the expunged one
        # APPEND to Sent with flags; the answer names the UID.
        typ, data = m.append("Sent", r"(\Seen)", None, sent[0])
        self.assertEqual(typ, "OK")
        uid = int(re.search(rb"APPENDUID \d+ (\d+)", data[0]).group(1))
        shown = self.inst.run("postvane-admin", "mailbox", "show", "alice").stdout
        self.assertIn("  INBOX: 1 messages\n  Archive: 1 messages\n", shown)
        self.assertIn("  Sent: 1 messages\n", shown)
        m.select("Sent")
        appended = self.uid_fetch(m, str(uid), "(FLAGS BODY.PEEK[])")
        self.assertEqual(appended[0][1], sent[0])
        self.assertIn(b"\\Seen", appended[0][0])
        # A folder deleted under another client's feet ends that client's conversation.
        junk = self.login("alice")
        junk.select("Junk")
        self.assertEqual(m.delete("Junk")[0], "OK")
        with self.assertRaises(imaplib.IMAP4.abort):
            junk.noop()
        # The state survives a restart: same UIDVALIDITY, same UIDs and flags.
        validity = m.status("INBOX", "(UIDVALIDITY UIDNEXT)")[1][0]
        self.server.stop()
        self.start_server()
        m2 = self.login("alice")
        self.assertEqual(m2.status("INBOX", "(UIDVALIDITY UIDNEXT)")[1][0], validity)
        m2.select("INBOX")
        self.assertIn(b"$Important", self.uid_fetch(m2, str(uids[0]), "(FLAGS BODY.PEEK[HEADER])")[0][0])

    def test_bare_line_feeds_go_out_as_crlf_whole_and_in_part(self):
        """A file with bare LFs (readers accept them) goes out with CR LF; a CR LF split across
        the server's reads gains no second CR; a partial fetch counts the octets as sent."""
        folder = self.mailbox("lfuser")
        self.send("lfuser", "lf")
        self.wait_messages(folder, 1)
        path = [os.path.join(folder, f) for f in os.listdir(folder) if f.endswith(".txt")][0]
        head = b"Subject: lf\nX: y\r\n\na\nb\r\n"
        # The server reads 16 KiB at a time and sends a piece once 32 KiB are ready.
        raw = head + b"z" * (16383 - len(head)) + b"\r\n" + b"y" * 16382 + b"\r\n" + b"x" * 30000 + b"\n\nend\n"
        self.assertEqual((raw[16383:16385], raw[32767:32769]), (b"\r\n", b"\r\n"))  # across reads, across pieces
        with open(path, "wb") as f:
            f.write(raw)
        wire = re.sub(rb"(?<!\r)\n", b"\r\n", raw)
        m = self.login("lfuser")
        m.select("INBOX")
        self.assertEqual(self.uid_fetch(m, "1:*", "(BODY.PEEK[])")[0][1], wire)
        self.assertEqual(self.uid_fetch(m, "1:*", "(BODY.PEEK[]<9.40010>)")[0][1], wire[9:9 + 40010])
        self.assertEqual(self.uid_fetch(m, "1:*", "(BODY.PEEK[]<32760.20>)")[0][1], wire[32760:32780])

    def test_idle_hears_a_message_delivered_by_smtp(self):
        folder = self.mailbox("idler")
        m = self.login("idler")
        m.select("INBOX")
        tag = m._new_tag()
        m.send(tag + b" IDLE\r\n")
        self.assertTrue(m.readline().startswith(b"+"))
        m.sock.settimeout(10)
        started = time.monotonic()
        self.send("idler", "while idling")
        line = m.readline()
        elapsed = time.monotonic() - started
        self.assertEqual(line, b"* 1 EXISTS\r\n")
        self.assertLess(elapsed, 5)
        m.send(b"DONE\r\n")
        self.assertTrue(m.readline().startswith(tag + b" OK"))
        # The status shows the service at work while a client is connected.
        self.assertEqual(self.server.status_row(self.inst, "IMAP Server"), "Active")
        self.wait_messages(folder, 1)

    def test_multipart_structure_and_parts(self):
        folder = self.mailbox("iris")
        plain, html, attachment = "Hello in plain text.\r\n", "<p>Hello</p>\r\n", b"\x00\x01binary" * 50
        text = ("Subject: parts\r\nMIME-Version: 1.0\r\n"
                'Content-Type: multipart/mixed; boundary="outer"\r\n\r\n'
                "preamble\r\n--outer\r\n"
                'Content-Type: multipart/alternative; boundary="inner"\r\n\r\n'
                "--inner\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n" + plain +
                "--inner\r\nContent-Type: text/html\r\n\r\n" + html + "--inner--\r\n"
                "--outer\r\nContent-Type: application/octet-stream; name=\"a.bin\"\r\n"
                "Content-Transfer-Encoding: base64\r\n\r\n" +
                base64.encodebytes(attachment).decode().replace("\n", "\r\n") + "--outer--\r\nepilogue\r\n")
        self.inst.send_mail("bob@example.test", ["iris@example.test"], text.encode())
        self.wait_messages(folder, 1)
        m = self.login("iris")
        m.select("INBOX")
        got = self.uid_fetch(m, "1", "(BODYSTRUCTURE BODY.PEEK[1.1] BODY.PEEK[1.2] BODY.PEEK[2] BODY.PEEK[2.MIME])")
        structure = got[0][0].decode()
        self.assertRegex(structure, r'BODYSTRUCTURE \(\(\("text" "plain" \("charset" "utf-8"\) NIL NIL "7bit" 20 1\)'
                                    r'\("text" "html" \("charset" "us-ascii"\) NIL NIL "7bit" 12 1\) "alternative"\)'
                                    r'\("application" "octet-stream" \("name" "a.bin"\) NIL NIL "base64" \d+\) "mixed"\)')
        bodies = [g[1] for g in got]
        self.assertEqual(bodies[0], plain.encode().rstrip(b"\r\n"))
        self.assertEqual(bodies[1], html.encode().rstrip(b"\r\n"))
        self.assertEqual(base64.b64decode(bodies[2]), attachment)
        self.assertTrue(bodies[3].startswith(b"Content-Type: application/octet-stream") and bodies[3].endswith(b"\r\n\r\n"))

    def test_pop3_and_imap_share_the_mailbox(self):
        folder = self.mailbox("carol")
        for i in range(3):
            self.send("carol", f"shared {i}")
        self.wait_messages(folder, 3)
        names = sorted(f for f in os.listdir(folder) if f.endswith(".txt"))
        m = self.login("carol")
        m.select("INBOX")
        m.store("1", "+FLAGS", r"(\Seen)")
        # POP3 still sees its own view: UIDL is the file name, unchanged by IMAP's state.
        pop = poplib.POP3("127.0.0.1", self.inst.ports["popport"], timeout=10)
        pop.user("carol")
        pop.pass_("pw-carol")
        uidl = [line.split()[1].decode() for line in pop.uidl()[1]]
        self.assertEqual(uidl, names)
        self.assertFalse([f for f in os.listdir(folder) if not f.endswith(".txt") and f not in (".imap", "user.lck")])
        pop.dele(2)
        pop.quit()
        # The deletion reaches IMAP as an EXPUNGE of the second message.
        m.noop()
        self.assertEqual(m.untagged_responses.pop("EXPUNGE"), [b"2"])
        self.assertEqual(m.search(None, "ALL")[1], [b"1 2"])
        # And an IMAP expunge takes the message from POP3.
        m.store("1", "+FLAGS", r"(\Deleted)")
        m.expunge()
        pop = poplib.POP3("127.0.0.1", self.inst.ports["popport"], timeout=10)
        pop.user("carol")
        pop.pass_("pw-carol")
        self.assertEqual([line.split()[1].decode() for line in pop.uidl()[1]], [names[2]])
        pop.quit()
        # A message delivered after the deletions gets a UID never used before in the folder.
        before = [int(u) for u in m.uid("SEARCH", None, "ALL")[1][0].split()]
        m.untagged_responses.pop("EXISTS", None)
        self.send("carol", "after the deletions")
        m.sock.settimeout(10)
        wait_until(lambda: m.noop() and m.untagged_responses.pop("EXISTS", None), what="the new message")
        after = [int(u) for u in m.uid("SEARCH", None, "ALL")[1][0].split()]
        self.assertEqual(after[:-1], before)
        self.assertEqual(after[-1], 4)

    def test_login_needs_tls_outside_the_office_networks(self):
        self.mailbox("dave")
        self.inst.set_string("AdvCon", "RelayNets", "10.0.0.0/8")
        self.addCleanup(self.inst.set_string, "AdvCon", "RelayNets", "127.0.0.0/8")
        m = imaplib.IMAP4("127.0.0.1", self.port, timeout=10)
        self.addCleanup(self.quietly_close, m)
        self.assertIn("LOGINDISABLED", m.capabilities)
        with self.assertRaises(imaplib.IMAP4.error) as caught:
            m.login("dave", "pw-dave")
        self.assertIn("PRIVACYREQUIRED", str(caught.exception))
        # A command sent in plain text along with STARTTLS is dropped, not run under TLS.
        context = ssl.create_default_context(cafile=self.cert)
        raw = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        self.addCleanup(raw.close)
        f = raw.makefile("rb")
        f.readline()
        raw.sendall(b"a STARTTLS\r\nb LOGIN dave pw-dave\r\n")
        self.assertTrue(f.readline().startswith(b"a OK"))
        tls = context.wrap_socket(raw, server_hostname="localhost")
        tls.sendall(b"c NOOP\r\n")
        self.assertTrue(tls.makefile("rb").readline().startswith(b"c OK"))
        # After STARTTLS, and on the implicit-TLS port, the login works.
        m.starttls(context)
        self.assertNotIn("LOGINDISABLED", m.capabilities)
        self.assertEqual(m.login("dave", "pw-dave")[0], "OK")
        s = imaplib.IMAP4_SSL("127.0.0.1", self.imaps, ssl_context=context, timeout=10)
        self.addCleanup(self.quietly_close, s)
        self.assertEqual(s.login("dave", "pw-dave")[0], "OK")
        self.assertEqual(s.select("INBOX")[0], "OK")

    def test_wrong_passwords_are_slowed_and_end_the_conversation(self):
        self.mailbox("erin")
        m = imaplib.IMAP4("127.0.0.1", self.port, timeout=20)
        self.addCleanup(self.quietly_close, m)
        started = time.monotonic()
        for _ in range(2):
            with self.assertRaises(imaplib.IMAP4.error):
                m.login("erin", "wrong")
        self.assertGreater(time.monotonic() - started, 2.5)  # one second, then two
        with self.assertRaises((imaplib.IMAP4.abort, imaplib.IMAP4.error, OSError)):
            m.login("erin", "wrong")
            m.noop()

    # --- hostile input -----------------------------------------------------------------------

    def raw(self, user):
        s = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        self.addCleanup(s.close)
        f = s.makefile("rb")
        f.readline()
        s.sendall(f"a LOGIN {user} pw-{user}\r\n".encode())
        self.assertIn(b"a OK", f.readline())
        return s, f

    def closed(self, s, f):
        try:
            while f.readline():
                pass
            return True
        except OSError:
            return True

    def test_hostile_input(self):
        folder = self.mailbox("mallory")
        s, f = self.raw("mallory")
        # A literal larger than the message size limit is refused before a byte of it is sent.
        s.sendall(b"b APPEND Sent {99999999999}\r\n")
        self.assertTrue(f.readline().startswith(b"b NO [TOOBIG]"))
        # Folder names that could leave their folder, or name a wildcard, are refused.
        for name in ("../escape", "a/../../b", "..", "x\\y", "bad*name", "INBOX/child"):
            s.sendall(b'c CREATE "' + name.replace("\\", "\\\\").encode() + b'"\r\n')
            self.assertTrue(f.readline().startswith(b"c NO"), name)
        self.assertFalse(os.path.exists(os.path.join(os.path.dirname(folder), "escape")))
        self.assertFalse(os.path.exists(os.path.join(folder, ".imap", "escape")))
        # Many folders stop at the cap with a clear answer.
        batch = b"".join(b"d%d CREATE f%05d\r\n" % (i, i) for i in range(520))
        s.sendall(batch)
        answers = [f.readline() for _ in range(520)]
        created = sum(b"OK" in a for a in answers)
        self.assertEqual(created, 500 - 5)  # the five made at first login count too
        self.assertIn(b"[LIMIT]", answers[-1])
        # A megabyte on one line is answered and dropped; the conversation goes on.
        s.sendall(b"e NOOP " + b"A" * (1024 * 1024) + b"\r\nf NOOP\r\n")
        self.assertTrue(f.readline().startswith(b"e BAD [TOOBIG]"))
        self.assertTrue(f.readline().startswith(b"f OK"))
        # A non-synchronising literal past the limit ends the conversation too.
        s2, f2 = self.raw("mallory")
        s2.sendall(b"g APPEND Sent {99999999999+}\r\n")
        self.assertTrue(f2.readline().startswith(b"g NO [TOOBIG]"))
        self.assertTrue(self.closed(s2, f2))
        # An endless literal within the limit stops being read at its announced size.
        s3, f3 = self.raw("mallory")
        s3.sendall(b"h NOOP {5+}\r\nABCDE\r\n")
        self.assertTrue(f3.readline().startswith(b"h "))
        # The server still serves, up to ten conversations on one mailbox at once.
        sessions = [self.login("mallory") for _ in range(10 - 2)]  # s and s3 still hold one each
        extra = imaplib.IMAP4("127.0.0.1", self.port, timeout=10)
        self.addCleanup(self.quietly_close, extra)
        with self.assertRaises(imaplib.IMAP4.error) as caught:
            extra.login("mallory", "pw-mallory")
        self.assertIn("[LIMIT]", str(caught.exception))
        sessions.pop().logout()
        wait_until(lambda: self.try_login(extra, "mallory"), what="a place after a logout")
        self.assertEqual(extra.select("INBOX")[0], "OK")

    @staticmethod
    def try_login(m, name):
        try:
            return m.login(name, "pw-" + name)[0] == "OK"
        except imaplib.IMAP4.error:
            return False

    # --- kills -----------------------------------------------------------------------------

    def kill_while(self, work):
        """Runs work(results) on a thread, kills the server with SIGKILL during it, restarts it."""
        results = []
        t = threading.Thread(target=lambda: self.swallow(work, results), daemon=True)
        t.start()
        wait_until(lambda: len(results) >= 5, timeout=30, what="some answered changes")
        self.server.proc.kill()
        self.server.proc.wait()
        t.join(timeout=10)
        self.start_server()
        return results

    @staticmethod
    def swallow(work, results):
        try:
            work(results)
        except (OSError, imaplib.IMAP4.abort, imaplib.IMAP4.error):
            pass

    def test_kill_during_flag_changes_and_appends(self):
        folder = self.mailbox("frank")
        self.send("frank", "to flag")
        self.wait_messages(folder, 1)
        m = self.login("frank")
        m.select("INBOX")
        validity = m.status("INBOX", "(UIDVALIDITY)")[1][0]

        def flag(results):
            for i in range(100000):
                if m.store("1", "+FLAGS", f"(kw{i})")[0] == "OK":
                    results.append(f"kw{i}")

        answered = self.kill_while(flag)
        m = self.login("frank")
        self.assertEqual(m.status("INBOX", "(UIDVALIDITY)")[1][0], validity)
        m.select("INBOX")
        flags = self.uid_fetch(m, "1:*", "(FLAGS BODY.PEEK[HEADER])")[0][0].decode()
        # Keywords are capped per folder; every one answered OK before the cap is there.
        for kw in answered[:60]:
            self.assertIn(kw, flags)

        text = (BODY % "appended").encode()

        def append(results):
            a = self.login("frank")
            while True:
                typ, data = a.append("Drafts", None, None, text)
                if typ == "OK":
                    results.append(int(re.search(rb"APPENDUID \d+ (\d+)", data[0]).group(1)))

        answered = self.kill_while(append)
        m = self.login("frank")
        m.select("Drafts")
        stored = self.uid_fetch(m, "1:*", "(UID BODY.PEEK[])")
        uids = [int(re.search(rb"UID (\d+)", s[0]).group(1)) for s in stored]
        # Every answered APPEND is there, whole; nothing half written ever shows.
        self.assertTrue(set(answered) <= set(uids), (answered, uids))
        self.assertTrue(all(s[1] == text for s in stored))
        self.assertFalse(os.listdir(os.path.join(folder, ".imap", "tmp")) and
                         [f for f in os.listdir(os.path.join(folder, ".imap", "tmp")) if not f.endswith(".tmp")])

    # --- collectors ------------------------------------------------------------------------

    @unittest.skipUnless(shutil.which("fetchmail") and shutil.which("getmail"), "fetchmail or getmail6 missing")
    def test_fetchmail_and_getmail_collect_over_imap(self):
        folder = self.mailbox("hank")
        sent = [self.send("hank", f"collect {i}") for i in range(2)]
        self.wait_messages(folder, 2)
        stored = [self.read(os.path.join(folder, f)) for f in sorted(os.listdir(folder)) if f.endswith(".txt")]
        work = os.path.join(self.inst.dir, "collect")
        os.makedirs(work)
        # getmail6 reads without deleting: every message once, whole.
        mbox = os.path.join(work, "getmail.mbox")
        open(mbox, "wb").close()
        with open(os.path.join(work, "getmailrc"), "w") as f:
            f.write(f"[retriever]\ntype = SimpleIMAPRetriever\nserver = 127.0.0.1\nport = {self.port}\n"
                    f"username = hank\npassword = pw-hank\nmailboxes = (\"INBOX\",)\n\n"
                    f"[destination]\ntype = MDA_external\npath = /bin/sh\n"
                    f"arguments = (\"-c\", \"(echo SEPARATOR; cat) >> {mbox}\")\nallow_root_commands = true\n\n"
                    f"[options]\nread_all = true\ndelete = false\nverbose = 1\n")
        proc = subprocess.run(["getmail", f"--rcfile={work}/getmailrc", f"--getmaildir={work}"],
                              env=dict(os.environ, HOME=work), capture_output=True, text=True, timeout=60)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        got = self.read(mbox).split(b"SEPARATOR\n")[1:]
        self.assertEqual(len(got), 2, got)
        for g, text in zip(got, sent):  # getmail adds header fields of its own
            body = text.split(b"\r\n\r\n", 1)[1].replace(b"\r\n", b"\n")
            self.assertTrue(g.replace(b"\r\n", b"\n").endswith(b"\n\n" + body), g[-200:])
        # fetchmail takes them and deletes them: the mailbox folder is then empty for POP3 too.
        mbox = os.path.join(work, "fetchmail.mbox")
        rc = os.path.join(work, "fetchmailrc")
        with open(rc, "w") as f:
            f.write(f'set no syslog\nset invisible\nset idfile "{work}/fetchids"\n'
                    f"poll 127.0.0.1 protocol IMAP service {self.port} auth password\n"
                    f'  user "hank" there with password "pw-hank" is "nobody" here\n'
                    f"  fetchall nokeep no rewrite no stripcr sslproto ''\n"
                    f'  mda "(echo SEPARATOR; cat) >> {mbox}"\n')
        os.chmod(rc, 0o600)
        proc = subprocess.run(["fetchmail", "-v", "-f", rc, "--pidfile", os.path.join(work, "pid")],
                              env=dict(os.environ, HOME=work, FETCHMAILHOME=work), capture_output=True, timeout=60)
        self.assertEqual(proc.returncode, 0, (proc.stdout + proc.stderr).decode(errors="replace"))
        self.assertEqual(self.read(mbox).split(b"SEPARATOR\n")[1:], stored)
        self.assertEqual([f for f in os.listdir(folder) if f.endswith(".txt")], [])

    # --- mbsync ------------------------------------------------------------------------------

    @unittest.skipUnless(shutil.which("mbsync"), "mbsync (isync) is not installed")
    def test_mbsync_syncs_both_ways(self):
        folder = self.mailbox("gina")
        for i in range(3):
            self.send("gina", f"sync {i}")
        self.wait_messages(folder, 3)
        local = os.path.join(self.inst.dir, "gina-maildir")
        os.makedirs(local)
        rc = os.path.join(self.inst.dir, "mbsyncrc")
        with open(rc, "w") as f:
            f.write(f"""IMAPAccount pv
Host 127.0.0.1
Port {self.port}
User gina
Pass pw-gina
SSLType None
AuthMechs LOGIN

IMAPStore remote
Account pv

MaildirStore local
Path {local}/
Inbox {local}/INBOX
SubFolders Verbatim

Channel pv
Far :remote:
Near :local:
Patterns *
Create Both
Expunge Both
SyncState *
""")

        def sync():
            proc = subprocess.run(["mbsync", "-c", rc, "-a"], capture_output=True, text=True, timeout=60)
            self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)

        sync()
        inbox = os.path.join(local, "INBOX", "cur")
        names = sorted(os.listdir(inbox)) + sorted(os.listdir(os.path.join(local, "INBOX", "new")))
        self.assertEqual(len(names), 3)
        self.assertTrue(os.path.isdir(os.path.join(local, "Archive")))
        # Near side: flag one message, move another into Archive; far side: flag a third.
        files = []
        for sub in ("cur", "new"):
            files += [os.path.join(local, "INBOX", sub, n) for n in os.listdir(os.path.join(local, "INBOX", sub))]
        files.sort()
        subjects = {p: re.search(rb"Subject: (.*)\r?\n", self.read(p)).group(1).decode() for p in files}
        flagged, moved = files[0], files[1]
        base = os.path.basename(flagged).split(":2,")[0]
        os.rename(flagged, os.path.join(local, "INBOX", "cur", base + ":2,FS"))
        os.rename(moved, os.path.join(local, "Archive", "cur", os.path.basename(moved).split(",U=")[0] + ":2,S"))
        m = self.login("gina")
        m.select("INBOX")
        uid3 = m.uid("SEARCH", None, "SUBJECT", '"' + subjects[files[2]] + '"')[1][0].decode()
        m.uid("STORE", uid3, "+FLAGS", r"(\Answered)")
        sync()
        m.select("INBOX")
        self.assertEqual(m.search(None, "ALL")[1][0].count(b" ") + 1, 2)
        self.assertEqual(m.search(None, "FLAGGED")[1], [b"1"])
        self.assertIn(subjects[flagged].encode(), self.uid_fetch(m, "1:*", "(BODY.PEEK[HEADER.FIELDS (Subject)])")[0][1])
        m.select("Archive")
        archived = self.uid_fetch(m, "1:*", "(FLAGS BODY.PEEK[])")
        self.assertEqual(len(archived), 1)
        self.assertIn(subjects[moved].encode(), archived[0][1])
        self.assertIn(b"\\Seen", archived[0][0])
        answered = [n for sub in ("cur", "new") for n in os.listdir(os.path.join(local, "INBOX", sub)) if re.search(":2,.*R", n)]
        self.assertEqual(len(answered), 1)


if __name__ == "__main__":
    unittest.main()
