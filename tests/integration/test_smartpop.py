"""SmartPop against a real provider: a private Dovecot on loopback, collected by one run at a
time (pv-smartpop-run, the collectors exactly as the connection manager starts them, with no
spooler beside them so the inbox can be looked at), and a poll request to the real server in
LAN mode."""

import os
import socket
import ssl
import subprocess
import threading
import time
import unittest
import urllib.request

from pvharness import Dovecot, Installation, program, wait_until
from webconsole import enable_console

PASSWORD = "s3cret-Word"


def message(i, to=b"carol@example.test", body=b""):
    return (b"From: Sender <sender@remote.test>\r\nTo: " + to + b"\r\nSubject: number %d\r\n\r\n" % i +
            b"Line one of %d.\r\n" % i + body)


class SmartPopCase(unittest.TestCase):
    users = ["alice", "bob", "carol", "dave", "erin", "frank", "gina", "hank", "ivan", "jill", "kate"]

    @classmethod
    def setUpClass(cls):
        cls.base = Installation()  # only its folder: the provider's files live there
        try:
            cls.dc = Dovecot(cls.base.dir, {u: PASSWORD for u in cls.users})
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
        self.inbox = os.path.join(self.inst.spool, "inbox")

    def account(self, user, deliver_to=None, password=PASSWORD):
        name = f"{user}@127.0.0.1"
        args = ["smartpop", "add", name, "--password", password, "--port", str(self.dc.port)]
        if deliver_to:
            args += ["--deliver-to", deliver_to]
        self.inst.run("postvane-admin", *args)
        return name

    def files(self, suffix=None):
        names = sorted(os.listdir(self.inbox)) if os.path.isdir(self.inbox) else []
        return [n for n in names if suffix is None or n.endswith(suffix)]

    def read(self, name):
        with open(os.path.join(self.inbox, name), "rb") as f:
            return f.read()

    def transcript(self, account):
        with open(os.path.join(self.inst.spool, account + ".log")) as f:
            return [line.rstrip("\r\n")[9:] for line in f]


class CollectTest(SmartPopCase):
    def test_account_with_recipient_gives_pairs_and_a_transcript_without_the_password(self):
        self.inst.run("postvane-admin", "mailbox", "add", "carol")
        self.inst.set_dword("", "LogAll", 1)
        texts = [message(i, body=b"..starts with a dot\r\n.\r\n" if i == 2 else b"") for i in (1, 2, 3)]
        # The provider gets the second message's "." line stuffed; its ".." line arrives as "...".
        self.dc.deliver("alice", texts)
        account = self.account("alice", deliver_to="carol")
        out = self.inst.smartpop_run()

        self.assertEqual(self.files(".wrk"), ["f0000001.wrk", "f0000002.wrk", "f0000003.wrk"])
        self.assertEqual(self.files(".txt"), ["f0000001.txt", "f0000002.txt", "f0000003.txt"])
        self.assertEqual(self.files(".tmp") + self.files(".pop"), [])
        for n in (1, 2, 3):
            self.assertEqual(self.read(f"f000000{n}.wrk"), f"{account}\r\ncarol\r\n".encode())
        self.assertEqual(self.read("f0000001.txt"), texts[0])
        # The provider's dot-stuffing is undone: the lines are stored as they were written.
        self.assertIn(b"\r\n..starts with a dot\r\n.\r\n", self.read("f0000002.txt"))
        self.assertEqual(self.dc.waiting("alice"), [])

        log = [l for l in out if "SmartPop" in l]
        self.assertEqual(log[0], "Connecting SmartPop to " + account)
        self.assertEqual(log[-1], f"SmartPop connection to {account} closed after 3 messages")
        lines = self.transcript(account)
        commands = [l for l in lines if l.startswith("<")]
        self.assertEqual(commands, ["<USER alice", "<PASS ********", "<UIDL", "<RETR 1", "<DELE 1", "<RETR 2",
                                    "<DELE 2", "<RETR 3", "<DELE 3", "<RETR 4", "<QUIT"])
        self.assertFalse(any(PASSWORD in l for l in lines))
        self.assertNotIn(">Line one of 1.", lines, "message text is not copied into the transcript")
        # Six lines and the end of each message, two more lines in the second, the end of the UIDL list.
        self.assertEqual(lines.count(">."), 3 * 6 + 2 + 1)
        self.assertEqual(lines[-1], "Smartpop closed")

    def test_without_recipient_pop_files_are_delivered_by_their_headers(self):
        for box in ("carol", "dave"):
            self.inst.run("postvane-admin", "mailbox", "add", box)
        self.inst.run("postvane-admin", "smartpop", "domains", "add", "provider.test")
        self.inst.set_dword("", "LogAll", 0)
        self.dc.deliver("bob", [message(1, b"carol@example.test"), message(2, b"Dave <dave@provider.test>"),
                                message(3, b"stranger@remote.test")])
        self.account("bob")
        out = self.inst.smartpop_run()
        self.assertEqual(self.files(), ["f0000001.pop", "f0000002.pop", "f0000003.pop"])
        self.assertFalse(os.path.exists(os.path.join(self.inst.spool, "bob@127.0.0.1.log")), "LogAll is off")
        self.assertIn("SmartPop connection to bob@127.0.0.1 closed after 3 messages", out)

        server = self.inst.start()
        self.addCleanup(server.stop)
        wait_until(lambda: (self.inst.mailbox_messages("carol") and self.inst.mailbox_messages("dave")
                            and self.inst.mailbox_messages("postmaster")), 15, "the collected mail delivered")
        self.assertIn(b"number 1", self.inst.mailbox_messages("carol")[0])
        self.assertIn(b"number 2", self.inst.mailbox_messages("dave")[0])
        self.assertIn(b"number 3", self.inst.mailbox_messages("postmaster")[0])
        outbox = os.path.join(self.inst.spool, "outbox")
        self.assertEqual([n for n in os.listdir(outbox) if n.endswith(".wrk")], [], "never relayed")

    def test_fifty_messages_per_run_and_the_rest_wait(self):
        self.inst.set_dword("", "LogAll", 1)
        self.dc.deliver("carol", [message(i) for i in range(1, 61)])
        account = self.account("carol")
        out = self.inst.smartpop_run()
        self.assertEqual(len(self.files(".pop")), 50)
        self.assertEqual(len(self.dc.waiting("carol")), 10)
        commands = [l for l in self.transcript(account) if l.startswith("<")]
        self.assertEqual(commands[-3:], ["<RETR 50", "<DELE 50", "<QUIT"])
        self.assertIn("SmartPop Closing", out)
        self.assertIn(f"SmartPop connection to {account} closed after 50 messages", out)
        # The next run takes the other ten.
        out = self.inst.smartpop_run()
        self.assertIn(f"SmartPop connection to {account} closed after 10 messages", out)
        self.assertEqual(len(self.files(".pop")), 60)
        self.assertEqual(self.dc.waiting("carol"), [])

    def test_wrong_password_stores_nothing(self):
        self.dc.deliver("dave", [message(1)])
        account = self.account("dave", password="wrong")
        out = self.inst.smartpop_run()
        self.assertIn(f"SmartPop connection to {account} closed after 0 messages", out)
        self.assertEqual(self.files(), [])
        self.assertEqual(len(self.dc.waiting("dave")), 1)

    def test_two_accounts_at_once_and_the_event_clears_after_both(self):
        self.dc.deliver("erin", [message(i) for i in range(1, 41)])
        self.dc.deliver("frank", [message(1)])
        a, b = self.account("erin"), self.account("frank", password="wrong")
        out = self.inst.smartpop_run()
        closing = [out.index(f"SmartPop connection to {x} closed after {n} messages") for x, n in ((a, 40), (b, 0))]
        connecting = [out.index("Connecting SmartPop to " + x) for x in (a, b)]
        self.assertLess(max(connecting), min(closing), "both run at the same time")
        self.assertGreater(out.index("PVG:SMARTPOP clear"), max(closing), out)
        self.assertEqual(len(self.files(".pop")), 40)

    def test_names_that_are_not_accounts_are_refused_before_anything_happens(self):
        self.inst.set_dword("", "LogAll", 1)
        names = ["nobody", "a/../../escape@127.0.0.1", "..@127.0.0.1", "bell\x07@127.0.0.1"]
        for name in names:
            self.inst.set_string("SmartPop\\" + name, "pwd", PASSWORD)
            # The tool refuses them too.
            refused = self.inst.run("postvane-admin", "smartpop", "add", name, check=False)
            self.assertEqual(refused.returncode, 2, name)
        before = sorted(os.listdir(self.inst.dir))
        spool_before = set(os.listdir(self.inst.spool)) | {"postvane.log"}
        out = self.inst.smartpop_run()
        self.assertEqual(sorted(l for l in out if "SmartPop" in l),
                         sorted("Invalid SmartPop mailbox " + n.replace("\x07", "?") for n in names))
        self.assertEqual(sorted(os.listdir(self.inst.dir)), before)
        # No transcript and no UID record: nothing named after them was made anywhere.
        self.assertEqual(set(os.listdir(self.inst.spool)) | {"postvane.log"}, spool_before)

    def test_one_run_per_account(self):
        self.dc.deliver("gina", [message(i) for i in range(1, 4)])
        account = self.account("gina")
        out = self.inst.smartpop_run("--twice")
        self.assertEqual(out.count("Connecting SmartPop to " + account), 1)
        self.assertEqual(sum("is still being collected by an earlier run" in l for l in out), 1)
        self.assertEqual(len(self.files(".pop")), 3, "each message stored once")


class Proxy:
    """Stands between the collector and the provider and, at every DELE, notes what the
    collector had flushed by then (pv-smartpop-run --sync-trace) and which files the inbox held."""

    def __init__(self, target_port, trace, inbox):
        self.target_port, self.trace, self.inbox = target_port, trace, inbox
        self.at_dele = []  # (number, flushed paths, inbox names)
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        client, _ = self.listener.accept()
        server = socket.create_connection(("127.0.0.1", self.target_port))

        def back():
            while data := server.recv(65536):
                client.sendall(data)
            client.close()
        threading.Thread(target=back, daemon=True).start()
        pending = b""
        while data := client.recv(65536):
            pending += data
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                if line.startswith(b"DELE "):
                    with open(self.trace) as f:
                        flushed = [l.strip() for l in f]
                    self.at_dele.append((int(line.split()[1]), flushed, sorted(os.listdir(self.inbox))))
                server.sendall(line + b"\n")
        server.close()


class DurabilityTest(SmartPopCase):
    def check(self, deliver_to, final_suffixes):
        trace = os.path.join(self.inst.dir, "synced")
        open(trace, "w").close()
        user = "kate" if deliver_to else "alice"
        self.dc.deliver(user, [message(i) for i in (1, 2)])
        account = self.account(user, deliver_to=deliver_to)
        proxy = Proxy(self.dc.port, trace, self.inbox)
        self.inst.set_dword("SmartPop\\" + account, "port", proxy.port)
        self.inst.smartpop_run("--sync-trace", trace)
        self.assertEqual([n for n, _, _ in proxy.at_dele], [1, 2])
        for n, flushed, names in proxy.at_dele:
            base = "f%07X" % n
            for suffix in final_suffixes:
                self.assertIn(base + suffix, names, f"{base}{suffix} under its final name before DELE {n}")
            self.assertNotIn(base + ".tmp", names)
            # The text (written as .tmp, or as .txt for a pair) and, after it, the folder.
            text = [i for i, p in enumerate(flushed) if os.path.basename(p) in (base + ".tmp", base + ".txt")]
            folder = [i for i, p in enumerate(flushed) if os.path.normpath(p) == os.path.normpath(self.inbox)]
            self.assertTrue(text, f"message {n} flushed before its DELE: {flushed}")
            self.assertTrue(folder and folder[-1] > text[0], f"the inbox flushed after message {n}: {flushed}")
        self.assertEqual(self.dc.waiting(user), [])

    def test_collected_file_is_durable_before_its_dele(self):
        self.check(None, [".pop"])

    def test_pair_is_durable_before_its_dele(self):
        self.inst.run("postvane-admin", "mailbox", "add", "carol")
        self.check("carol", [".txt", ".wrk"])


class KilledBetweenCommitAndRecordTest(SmartPopCase):
    """A run killed after it committed a message but before the UID reached the account's
    record leaves the UID noted beside the message; the next run records it instead of fetching
    the message again. A note beside an unfinished pair means the message was never stored."""

    def provider_uid(self, user):
        import poplib
        pop = poplib.POP3("127.0.0.1", self.dc.port, timeout=10)
        try:
            pop.user(user)
            pop.pass_(PASSWORD)
            return pop.uidl(1).split()[2].decode()
        finally:
            pop.quit()

    def note(self, base, account, uid, *unfinished):
        os.makedirs(self.inbox, exist_ok=True)
        with open(os.path.join(self.inbox, base + ".uid"), "wb") as f:
            f.write(f"{account}\r\n{uid}\r\n".encode())
        for suffix in unfinished:
            open(os.path.join(self.inbox, base + suffix), "wb").close()

    def test_committed_message_is_recognised_not_fetched_again(self):
        self.inst.run("postvane-admin", "mailbox", "add", "carol")
        self.dc.deliver("gina", [message(1)])
        account = self.account("gina", deliver_to="carol")
        # The pair was committed and the spooler has delivered it already: only the note is left.
        self.note("f0000100", account, self.provider_uid("gina"))
        out = self.inst.smartpop_run()
        self.assertEqual(self.files(".wrk"), [], f"fetched a second time: {out}")
        self.assertEqual(self.dc.waiting("gina"), [], "the provider's copy is deleted")
        self.assertEqual(self.files(".uid"), [])

    def test_note_beside_an_unfinished_pair_fetches_again(self):
        self.inst.run("postvane-admin", "mailbox", "add", "carol")
        self.dc.deliver("hank", [message(1)])
        account = self.account("hank", deliver_to="carol")
        self.note("f0000100", account, self.provider_uid("hank"), ".txt", ".tmp")
        self.inst.smartpop_run()
        self.assertEqual(len(self.files(".wrk")), 1, "the message was never stored: it is fetched again")
        self.assertEqual(self.dc.waiting("hank"), [])
        self.assertEqual(self.files(".uid"), [])

    def test_start_up_drops_the_note_of_an_unfinished_pair_only(self):
        self.note("f0000100", "x@127.0.0.1", "u1", ".txt", ".tmp")
        self.note("f0000101", "x@127.0.0.1", "u2", ".txt", ".wrk")
        self.note("f0000102", "x@127.0.0.1", "u3")
        server = self.inst.start()
        server.wait_for("Starting Postvane")
        self.assertEqual(server.stop(), 0)
        self.assertEqual(sorted(self.files(".uid")), ["f0000101.uid", "f0000102.uid"])


class ProviderFailureTest(SmartPopCase):
    def test_provider_killed_in_the_middle_of_a_message(self):
        body = b"".join(b"%07d 0123456789abcdefghijklmnopqrstuvwxyz0123456789abcdefghijklmnopqrstuvwxyz\r\n" % i
                        for i in range(120000))  # about 10 MB: long enough to be cut off
        big = message(1, body=body)
        self.dc.deliver("hank", [big])
        account = self.account("hank")
        run = subprocess.Popen([program("pv-smartpop-run")], env=self.inst.env, stdout=subprocess.PIPE, text=True)
        try:
            wait_until(lambda: self.files(".tmp"), 20, "the message on its way")
            self.dc.kill()
            out = run.communicate(timeout=30)[0].splitlines()
        finally:
            run.kill()
            run.wait()
            if self.dc.proc is None:
                self.dc.start()
        self.assertTrue(any(("SmartPop connection lost talking to " + account) in l for l in out), out)
        self.assertTrue(any("SmartPop timeout talking to 127.0.0.1[" in l for l in out), out)
        self.assertEqual(self.files(), [], "nothing half-written stays in the inbox")
        self.assertEqual(self.dc.waiting("hank"), [big.replace(b"\r\n", b"\n")])
        # The next run collects it, once.
        out = self.inst.smartpop_run()
        self.assertIn(f"SmartPop connection to {account} closed after 1 messages", out)
        self.assertEqual(self.files(), ["f0000002.pop"])
        self.assertEqual(self.read("f0000002.pop"), big)
        self.assertEqual(self.dc.waiting("hank"), [])

    def test_a_message_stored_before_a_lost_dele_is_not_fetched_again(self):
        self.dc.deliver("ivan", [message(1), message(2)])
        account = self.account("ivan")
        # What a run killed after committing message 1 but before its DELE reached the provider
        # leaves: the UID in the account's record, the message still listed.
        import poplib
        client = poplib.POP3("127.0.0.1", self.dc.port)
        client.user("ivan")
        client.pass_(PASSWORD)
        first_uid = client.uidl(1).split()[2].decode()
        client.quit()
        with open(os.path.join(self.inst.spool, account + ".uidl"), "w") as f:
            f.write(first_uid + "\r\nno-longer-listed\r\n")
        out = self.inst.smartpop_run()
        self.assertTrue(any("message 1 of ivan@127.0.0.1 was stored by an earlier run" in l for l in out), out)
        self.assertIn(f"SmartPop connection to {account} closed after 1 messages", out)
        self.assertEqual(len(self.files(".pop")), 1)
        self.assertIn(b"number 2", self.read(self.files(".pop")[0]))
        self.assertEqual(self.dc.waiting("ivan"), [])
        with open(os.path.join(self.inst.spool, account + ".uidl")) as f:
            record = f.read().split()
        self.assertNotIn("no-longer-listed", record, "UIDs the provider dropped leave the record")
        self.assertEqual(record, [], "the answered QUIT confirmed both deletions")


class ServerPollTest(SmartPopCase):
    def test_poll_request_in_lan_mode_collects(self):
        self.inst.run("postvane-admin", "mailbox", "add", "carol")
        self.dc.deliver("jill", [message(1), message(2)])
        self.account("jill", deliver_to="carol")
        self.inst.run("postvane-admin", "smartpop", "enable")
        self.inst.set_dword("", "UseLan", 1)
        console = enable_console(self.inst)  # for /metrics
        server = self.inst.start()
        self.addCleanup(server.stop)
        server.wait_for("Web console listening")
        time.sleep(1.5)
        self.assertEqual(server.count("Connecting SmartPop"), 0, "nothing collects without a request")
        self.inst.ctl("poll")
        server.wait_for("SmartPop connection to jill@127.0.0.1 closed after 2 messages", 15)
        wait_until(lambda: len(self.inst.mailbox_messages("carol")) == 2, 10, "both delivered")
        self.assertEqual(self.dc.waiting("jill"), [])
        wait_until(lambda: self.inst.ctl("test", "PVG:SMARTPOP", check=False).returncode == 1, 5, "idle")
        self.assertEqual(self.inst.ctl("test", "PVG:POLLSMARTPOP", check=False).returncode, 1)
        # Both are counted as collected, once each.
        context = ssl.create_default_context()
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE  # the wizard's self-signed certificate
        with urllib.request.urlopen(console + "/metrics", context=context, timeout=20) as r:
            self.assertIn("\npostvane_messages_collected_total 2\n", r.read().decode())


if __name__ == "__main__":
    unittest.main()
