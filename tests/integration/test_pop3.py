"""The POP3 server against real clients: Python's poplib, fetchmail and getmail6, and mail sent
with smtplib that travels through the spooler to fetchmail."""

import glob
import os
import poplib
import smtplib
import socket
import subprocess
import tempfile
import time
import unittest

from pvharness import Installation, listening, wait_until

SEPARATOR = b"From pv-test-separator"


class PopServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.inst = Installation()
        # Runs even when setUpClass fails, so no server outlives the tests.
        cls.addClassCleanup(cls.inst.cleanup)
        cls.inst.configure()
        cls.port = cls.inst.ports["popport"]
        cls.smtp_port = cls.inst.ports["smtpinport"]
        cls.server = cls.inst.start()
        cls.addClassCleanup(cls.server.stop)
        cls.server.wait_for("Starting Postvane")
        wait_until(lambda: listening(cls.port),
                   what=f"the POP3 listener on port {cls.port} (server output: {cls.server.lines!r})")

    def mailbox(self, name, messages=()):
        """A new mailbox (password "pw-" + name) holding the messages as f0000001.txt, ..."""
        self.inst.run("postvane-admin", "mailbox", "add", name, "--password", "pw-" + name)
        folder = self.folder(name)
        for i, text in enumerate(messages, 1):
            with open(os.path.join(folder, "f%07X.txt" % i), "wb") as f:
                f.write(text)
        return folder

    def folder(self, name):
        number = self.inst.reg("query", "mailbox\\" + name, "/v", "Number").stdout.split()[-1]
        return os.path.join(self.inst.spool, "mailbox", "M%07X" % int(number, 16))

    def files(self, folder):
        return sorted(os.path.basename(p) for p in glob.glob(os.path.join(folder, "*")))

    def login(self, name):
        p = poplib.POP3("127.0.0.1", self.port, timeout=10)
        self.addCleanup(p.close)
        self.assertEqual(p.user(name), f"+OK {name.lower()} gets mail here".encode())
        self.assertEqual(p.pass_("pw-" + name.lower()), b"+OK mailbox locked and ready")
        return p

    def refused(self, call, *args):
        with self.assertRaises(poplib.error_proto) as caught:
            call(*args)
        return caught.exception.args[0]

    def fetchmail(self, user, options="fetchall nokeep"):
        """Runs fetchmail once for the user; returns the messages it delivered to its mbox."""
        work = tempfile.mkdtemp(dir=self.inst.dir)
        mbox = os.path.join(work, "mbox")
        rc = os.path.join(work, "fetchmailrc")
        with open(rc, "w") as f:
            f.write(f'set no syslog\nset invisible\nset idfile "{work}/fetchids"\n'
                    f"poll 127.0.0.1 protocol POP3 service {self.port} auth password\n"
                    f'  user "{user}" there with password "pw-{user}" is "nobody" here\n'
                    f"  {options} no rewrite no stripcr sslproto ''\n"
                    f'  mda "(echo {SEPARATOR.decode()}; cat) >> {mbox}"\n')
        os.chmod(rc, 0o600)
        proc = subprocess.run(["fetchmail", "-v", "-f", rc, "--pidfile", os.path.join(work, "pid")],
                              env=dict(os.environ, HOME=work, FETCHMAILHOME=work),
                              capture_output=True, timeout=60)
        self.assertEqual(proc.returncode, 0, (proc.stdout + proc.stderr).decode(errors="replace"))
        with open(mbox, "rb") as f:
            parts = f.read().split(SEPARATOR + b"\n")
        self.assertEqual(parts[0], b"")
        return parts[1:]

    def getmail(self, user):
        """Runs getmail6 once for the user; returns (exit status, output, collected mbox bytes)."""
        work = tempfile.mkdtemp(dir=self.inst.dir)
        mbox = os.path.join(work, "mbox")
        open(mbox, "wb").close()
        rc = os.path.join(work, "getmailrc")
        with open(rc, "w") as f:
            f.write(f"[retriever]\ntype = SimplePOP3Retriever\nserver = 127.0.0.1\nport = {self.port}\n"
                    f"username = {user}\npassword = pw-{user}\n\n"
                    # An external command, which getmail also runs for root (the tests may be root).
                    f"[destination]\ntype = MDA_external\npath = /bin/sh\n"
                    f"arguments = (\"-c\", \"cat >> {mbox}\")\nallow_root_commands = true\n\n"
                    f"[options]\nread_all = true\ndelete = true\nverbose = 1\n")
        proc = subprocess.run(["getmail", f"--rcfile={rc}", f"--getmaildir={work}"],
                              env=dict(os.environ, HOME=work), capture_output=True, timeout=60)
        with open(mbox, "rb") as f:
            return proc.returncode, (proc.stdout + proc.stderr).decode(errors="replace"), f.read()

    def test_transaction_commands(self):
        sizes = [10, 20, 30, 40]
        self.mailbox("tina", [b"x" * (n - 2) + b"\r\n" for n in sizes])
        p = self.login("TiNa")
        self.assertEqual(p._shortcmd("stat"), b"+OK 4 100")
        self.assertEqual(p._shortcmd("LaSt"), b"+OK 0")
        self.assertEqual(p.retr(3)[1], [b"x" * 28])
        self.assertEqual(p._longcmd("retr")[1], [b"x" * 8])  # no number: message 1
        self.assertEqual(p._shortcmd("last"), b"+OK 3")
        self.assertEqual(p._shortcmd("dele"), b"+OK")  # no number: message 1
        self.assertEqual(self.refused(p.list, 1), b"-ERR message deleted")
        self.assertEqual(self.refused(p.retr, 1), b"-ERR invalid message number")
        self.assertEqual(p.stat(), (3, 90))
        self.assertEqual(p.list()[1], [b"2 20", b"3 30", b"4 40"])
        self.assertEqual(p.uidl()[1], [b"1 f0000001.txt", b"2 f0000002.txt", b"3 f0000003.txt", b"4 f0000004.txt"])
        self.assertEqual(p.uidl(2), b"+OK 2 f0000002.txt")
        self.assertEqual(p.rset(), b"+OK")
        self.assertEqual(p.stat(), (4, 100))
        self.assertEqual(p.list()[1], [b"1 10", b"2 20", b"3 30", b"4 40"])
        for n in range(1, 5):
            p.dele(n)
        self.assertEqual(p.list(), (b"+OK ", [], 0))
        self.assertEqual(len(p.uidl()[1]), 4)
        self.assertEqual(self.refused(p.user, "tina"), b"-ERR invalid command")
        self.assertEqual(self.refused(p._shortcmd, "XTND 1"), b"-ERR unknown command")
        p.rset()
        self.assertEqual(p.quit(), b"+OK")
        self.assertEqual(self.files(self.folder("tina")), ["f0000001.txt", "f0000002.txt", "f0000003.txt", "f0000004.txt"])

    def test_dots_are_stuffed_on_the_wire_and_an_empty_file_still_ends(self):
        self.mailbox("dora", [b".leading\r\n..two\r\nmiddle . dot\r\n.\r\n", b""])
        p = self.login("dora")
        p._putcmd("RETR 1")
        raw = [p._getline()[0] for _ in range(6)]
        self.assertEqual(raw, [b"+OK", b"..leading", b"...two", b"middle . dot", b"..", b"."])
        self.assertEqual(p.retr(2), (b"+OK", [], 0))
        self.assertEqual(p.retr(1)[1], [b".leading", b"..two", b"middle . dot", b"."])

    def test_quit_before_the_transaction_deletes_nothing_and_leaves_no_lock(self):
        folder = self.mailbox("quinn", [b"one\r\n"])
        p = poplib.POP3("127.0.0.1", self.port, timeout=10)
        self.assertEqual(self.refused(p.pass_, "pw-quinn"), b"-ERR I need a USER")
        self.assertEqual(self.refused(p.stat), b"-ERR invalid command")
        # USER answers alike for every name; the unknown one fails at PASS.
        self.assertEqual(p.user("nobody-here"), b"+OK nobody-here gets mail here")
        self.assertEqual(self.refused(p.pass_, "pw-quinn"), b"-ERR invalid password")
        self.assertEqual(p.quit(), b"+OK")
        p = poplib.POP3("127.0.0.1", self.port, timeout=10)
        p.user("quinn")
        self.assertEqual(self.refused(p.pass_, "wrong"), b"-ERR invalid password")
        self.server.wait_for("-ERR invalid password for mailbox quinn")
        self.assertEqual(self.refused(p.dele, 1), b"-ERR invalid command")
        self.assertEqual(p.quit(), b"+OK")
        self.assertEqual(self.files(folder), ["f0000001.txt"])
        p = self.login("quinn")  # a wrong password may be followed by the right one
        p.quit()

    def test_a_second_client_is_refused_and_leaves_the_holders_lock(self):
        folder = self.mailbox("lena", [b"one\r\n", b"two\r\n"])
        holder = self.login("lena")
        lock = os.path.join(folder, "user.lck")
        with open(lock, "rb") as f:
            self.assertEqual(f.read(), b"Mailbox is locked")
        self.assertEqual(self.inst.run("postvane-ctl", "test", "PVG:POPSERVER", check=False).returncode, 0)
        second = poplib.POP3("127.0.0.1", self.port, timeout=10)
        second.user("lena")
        self.assertEqual(self.refused(second.pass_, "pw-lena"), b"-ERR Mailbox is locked")
        second.quit()
        third = poplib.POP3("127.0.0.1", self.port, timeout=10)
        third.user("lena")
        self.assertEqual(self.refused(third.pass_, "pw-lena"), b"-ERR Mailbox is locked")
        third.close()  # cut off without QUIT
        time.sleep(0.3)
        self.assertTrue(os.path.exists(lock))
        holder.dele(2)
        self.assertEqual(holder.quit(), b"+OK")
        self.assertFalse(os.path.exists(lock), "the lock outlived the answer to QUIT")
        self.assertEqual(self.files(folder), ["f0000001.txt"])
        wait_until(lambda: self.inst.run("postvane-ctl", "test", "PVG:POPSERVER", check=False).returncode != 0,
                   what="PVG:POPSERVER to be reset")

    def test_fetchmail_takes_every_message_into_its_mbox(self):
        texts = [b"Subject: one\r\n\r\nfirst\r\n", b"Subject: two\r\n\r\n.dotted\r\n..twice\r\n"]
        folder = self.mailbox("fred", texts)
        self.assertEqual(self.fetchmail("fred"), texts)
        self.assertEqual(self.files(folder), [])

    def test_fetchmail_in_its_default_mode_collects(self):
        # Without --all fetchmail asks for each message's header with TOP first.
        texts = [b"Subject: one\r\n\r\nfirst\r\n", b"Subject: two\r\nX-Long: " + b"y" * 3000 + b"\r\n\r\n.dot\r\n"]
        folder = self.mailbox("fern", texts)
        self.assertEqual(self.fetchmail("fern", options="nokeep"), texts)
        self.assertEqual(self.files(folder), [])

    def test_getmail_polls_an_empty_mailbox_without_an_error_and_then_collects(self):
        folder = self.mailbox("gina")
        rc, out, mbox = self.getmail("gina")
        self.assertEqual((rc, mbox), (0, b""), out)
        self.assertNotIn("error", out.lower())
        self.assertIn("0 messages", out)
        with open(os.path.join(folder, "f0000001.txt"), "wb") as f:
            f.write(b"Subject: hello\r\n\r\nFrom the start\r\n")
        rc, out, mbox = self.getmail("gina")
        self.assertEqual(rc, 0, out)
        self.assertTrue(mbox.endswith(b"Subject: hello\n\nFrom the start\n"), mbox)
        self.assertEqual(self.files(folder), [])

    def test_mail_sent_to_two_local_users_arrives_byte_for_byte_through_fetchmail(self):
        folders = {name: self.mailbox(name) for name in ("ann", "ben")}
        sent = {}
        with smtplib.SMTP("127.0.0.1", self.smtp_port, timeout=10) as s:
            s.helo("client.lan")
            for name in folders:
                body = (f"Subject: for {name}\r\nTo: {name}@example.test\r\n\r\n"
                        f".a line that begins with a dot\r\n..and two\r\n.\r\nend of {name}\r\n").encode()
                s.sendmail("carol@remote.test", [f"{name}@example.test"], body)
                sent[name] = body
        for name, folder in folders.items():
            wait_until(lambda: glob.glob(os.path.join(folder, "*.txt")), what=f"mail in {name}'s mailbox")
            (path,) = glob.glob(os.path.join(folder, "*.txt"))
            with open(path, "rb") as f:
                stored = f.read()
            self.assertTrue(stored.endswith(sent[name]), stored)
            self.assertEqual(self.fetchmail(name), [stored])
            self.assertEqual(self.files(folder), [])


if __name__ == "__main__":
    unittest.main()
