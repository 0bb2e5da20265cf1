"""Start-up and shutdown of the real server on a throw-away hive."""

import os
import signal
import subprocess
import time
import unittest

from pvharness import Installation, free_port, program, wait_listening, wait_until

STARTED = "Starting Postvane 1.0 Pre-release"
TITLE = "Postvane configuration Error: "


class StartupTest(unittest.TestCase):
    def setUp(self):
        self.inst = Installation()
        self.addCleanup(self.inst.cleanup)

    def loopback_services(self):
        """Services on free loopback ports, for tests that do not run the whole configuration."""
        for name in ("smtpinport", "popport", "fingerport"):
            self.inst.set_dword("AdvCon", name, free_port())
        self.inst.set_string("AdvCon", "BindAddress", "127.0.0.1")

    def files_besides_lock_and_events(self):
        return sorted(f for f in os.listdir(self.inst.dir)
                      if not f.endswith((".lock", ".events")))

    def test_missing_or_empty_maildrop_stops_with_the_message_and_leaves_nothing(self):
        inst = self.inst
        inst.set_string("", "Gateway", "localhost")
        for value in (None, ""):
            if value is not None:
                inst.set_string("", "Maildrop", value)
            before = self.files_besides_lock_and_events()
            proc = inst.run("postvane", "--headless", check=False)
            self.assertEqual(proc.returncode, 1)
            self.assertIn(TITLE + "Cannot start Postvane. No path has been specified for temporary files",
                          proc.stderr)
            self.assertEqual(proc.stdout, "")
            self.assertEqual(self.files_besides_lock_and_events(), before)

    def test_empty_gateway_counts_as_configured(self):
        inst = self.inst
        os.mkdir(inst.spool)
        self.loopback_services()
        inst.set_string("", "Gateway", "")
        inst.set_string("", "Maildrop", inst.spool)
        server = inst.start()
        server.wait_for(STARTED)
        # The wizard would have written a domain; it was not started.
        self.assertNotEqual(inst.reg("query", "Domain", check=False).returncode, 0)
        for sub in ("inbox", "outbox", "mailbox"):
            self.assertTrue(os.path.isdir(os.path.join(inst.spool, sub)), sub)
        self.assertEqual(server.stop(signal.SIGTERM), 0)
        server.wait_for("Shutting Down Postvane")

    def test_missing_gateway_runs_the_wizard_first(self):
        inst = self.inst
        self.loopback_services()  # kept by the wizard
        server = inst.start()
        server.wait_for(STARTED)
        gateway = inst.reg("query", "", "/v", "Gateway").stdout
        self.assertIn("REG_SZ", gateway)
        spool = os.path.join(inst.dir, "spool")
        self.assertTrue(os.path.isdir(os.path.join(spool, "inbox")))
        self.assertEqual(server.stop(), 0)

    def test_missing_spool_root_is_created_only_after_a_yes(self):
        inst = self.inst
        self.loopback_services()
        inst.set_string("", "Gateway", "localhost")
        inst.set_string("", "Maildrop", inst.spool)
        proc = inst.run("postvane", "--headless", check=False)
        self.assertEqual(proc.returncode, 1)
        self.assertIn(TITLE + f"Temporary directory does not exist. Create directory '{inst.spool}'?",
                      proc.stderr)
        self.assertFalse(os.path.exists(inst.spool))

        server = inst.start("--yes")
        server.wait_for(STARTED)
        for sub in ("inbox", "outbox", "mailbox"):
            self.assertTrue(os.path.isdir(os.path.join(inst.spool, sub)), sub)
        self.assertEqual(server.stop(), 0)

        # One level only: a root whose parent is missing cannot be made.
        deep = os.path.join(inst.dir, "no", "such", "spool")
        inst.set_string("", "Maildrop", deep)
        proc = inst.run("postvane", "--headless", "--yes", check=False)
        self.assertEqual(proc.returncode, 1)
        self.assertIn(TITLE + "Cannot start Postvane. failed to create directory for temporary files",
                      proc.stderr)

    def test_second_copy_on_the_same_hive_shows_the_first_and_ends(self):
        inst = self.inst
        inst.configure()
        first = inst.start()
        first.wait_for(STARTED)
        second = inst.run("postvane", "--headless", check=False)
        self.assertEqual((second.returncode, second.stderr), (0, ""))
        self.assertIn("Postvane is already running on ", second.stdout)
        self.assertIn("asked to show its window", second.stdout)
        # The first copy took the request as postvane-ctl showui: without a window it prints
        # its status rows.
        first.wait_for("Waiting Messages: 0", 10)
        self.assertIsNone(first.proc.poll())
        # Nothing logged by the second copy: the file holds one start only.
        with open(os.path.join(inst.spool, "postvane.log"), newline="") as f:
            log = f.read()
        self.assertEqual(log.count(STARTED), 1)
        self.assertTrue(log.endswith("\r\n"))
        self.assertEqual(first.stop(), 0)

    def test_two_hives_run_side_by_side_and_a_killed_server_does_not_block(self):
        other = Installation()
        self.addCleanup(other.cleanup)
        self.inst.configure()
        other.configure()
        a = self.inst.start()
        b = other.start()
        a.wait_for(STARTED)
        b.wait_for(STARTED)
        b.stop()
        a.proc.kill()
        a.proc.wait()
        again = self.inst.start()
        again.wait_for(STARTED)
        self.assertEqual(again.stop(), 0)

    def test_relative_hive_path_names_the_same_hive_after_the_change_into_the_spool(self):
        import smtplib
        inst = self.inst
        inst.configure()
        inst.run("postvane-admin", "mailbox", "add", "uma")
        env = dict(inst.env, POSTVANE_HIVE="registry.db")
        server = inst.start(env=env, cwd=inst.dir)
        server.wait_for(STARTED)
        wait_listening(inst.ports["smtpinport"])
        with smtplib.SMTP("127.0.0.1", inst.ports["smtpinport"]) as c:
            c.sendmail("me@remote.test", ["uma@example.test"], b"Subject: relative\r\n\r\nhi\r\n")
        folder = os.path.join(inst.spool, "mailbox")
        wait_until(lambda: any(f.endswith(".txt") for _, _, files in os.walk(folder) for f in files),
                   what="the message in uma's mailbox")
        self.assertFalse(os.path.exists(os.path.join(inst.spool, "registry.db")))  # no second hive
        self.assertEqual(server.count("unknown local user"), 0)
        self.assertEqual(server.stop(), 0)

    def test_a_display_that_cannot_be_reached_runs_the_console_instead(self):
        self.inst.configure()
        env = dict(self.inst.env, DISPLAY=":987")  # no X server has this number
        env.pop("WAYLAND_DISPLAY", None)
        proc = subprocess.Popen([program("postvane")], env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            wait_listening(self.inst.ports["smtpinport"])
        finally:
            proc.send_signal(signal.SIGTERM)
            out, err = proc.communicate(timeout=30)
        self.assertEqual(proc.returncode, 0, err)
        self.assertIn(STARTED, out)
        self.assertIn("the display cannot be reached", err)

    def test_operator_ok_and_status_request(self):
        inst = self.inst
        inst.configure()
        server = inst.start()
        server.wait_for(STARTED)
        # The rows where the command runs, and in the server's output.
        shown = inst.run("postvane-ctl", "showui").stdout
        self.assertIn("Connection: Offline\n", shown)
        self.assertIn("Waiting Messages: 0\n", shown)
        server.wait_for("Waiting Messages: 0")
        # The request was consumed by the status display's test.
        deadline = time.monotonic() + 5
        while "PVG:SHOWUI: signalled" in inst.run("postvane-ctl", "status").stdout:
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.1)
        status = inst.run("postvane-ctl", "status").stdout
        self.assertIn("Server: running", status)
        # Ctrl-C with nothing moving needs no confirmation.
        self.assertEqual(server.stop(signal.SIGINT), 0)
        server.wait_for("Shutting Down Postvane")
        # Offline, there was nothing to disconnect.
        self.assertFalse([l for l in server.output() if "Disconnecting due to operator request" in l])
        self.assertIn("Server: not running", inst.run("postvane-ctl", "status").stdout)


class StoreAndRelayTest(unittest.TestCase):
    """A damaged configuration store is refused everywhere and left as it is; the wizard's relay
    is never this server; mail for other domains without a relay waits and says so."""

    ADVICE = "Postvane leaves it as it is. Restore it from a backup"

    def setUp(self):
        self.inst = Installation()
        self.addCleanup(self.inst.cleanup)

    def damaged_copy(self, what):
        """A copy of a configured store with one b-tree page overwritten, or with no bytes."""
        import sqlite3
        good = self.inst.hive
        con = sqlite3.connect(good)
        con.execute("PRAGMA wal_checkpoint(TRUNCATE)")
        con.close()
        path = os.path.join(self.inst.dir, f"damaged-{what}.db")
        if what == "empty":
            open(path, "wb").close()
            return path
        with open(good, "rb") as f:
            data = bytearray(f.read())
        con = sqlite3.connect(good)
        size = con.execute("PRAGMA page_size").fetchone()[0]
        root = con.execute("SELECT rootpage FROM sqlite_master WHERE name = ?", (what,)).fetchone()[0]
        con.close()
        data[size * (root - 1):size * root] = b"\xa5" * size
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_each_damaged_store_is_refused_with_its_message_and_left_as_it_is(self):
        inst = self.inst
        inst.configure()
        inst.run("postvane-admin", "mailbox", "add", "alice", "--password", "secret")
        # The index of the keys, the values, the keys themselves, and a store with no bytes.
        for what in ("keys_parent", "vals", "keys", "empty"):
            path = self.damaged_copy(what)
            with open(path, "rb") as f:
                before = f.read()
            env = dict(inst.env, POSTVANE_HIVE=path)
            for args in (["postvane", "--headless"], ["postvane-wizard", "--defaults"],
                         ["postvane-admin", "mailbox", "list"], ["postvane-ctl", "status"],
                         ["postvane-reg", "query", "."]):
                proc = subprocess.run([program(args[0]), *args[1:]], env=env, capture_output=True, text=True,
                                      timeout=60, stdin=subprocess.DEVNULL)
                self.assertEqual(proc.returncode, 1, (what, args, proc.stdout, proc.stderr))
                self.assertIn(f"the configuration store {path} is " + ("empty" if what == "empty" else "damaged"),
                              proc.stderr, (what, args))
                self.assertIn(self.ADVICE, proc.stderr)
                self.assertNotIn("Postvane is configured", proc.stdout)
            with open(path, "rb") as f:
                self.assertEqual(f.read(), before, what)
            # The export saves what can still be read, and says the store is damaged.
            rescued = os.path.join(inst.dir, f"rescued-{what}.reg")
            proc = subprocess.run([program("postvane-reg"), "export", rescued], env=env, capture_output=True,
                                  text=True, timeout=60)
            if what == "empty":
                self.assertEqual(proc.returncode, 1)
                continue
            self.assertEqual(proc.returncode, 0, proc.stderr)
            self.assertIn("is damaged: the export holds only what can still be read", proc.stderr)
            with open(rescued, encoding="utf-8", errors="replace") as f:
                # The values' own page is gone in one case: the keys are still saved.
                self.assertIn("mailbox\\alice" if what == "vals" else "Maildrop", f.read(), what)

    def test_the_wizard_never_makes_this_server_the_relay(self):
        inst = self.inst
        inst.run("postvane-wizard", "--defaults", "--maildrop", inst.spool)
        # No relay unless one is named.
        self.assertEqual(inst.reg("query", "", "/v", "Gateway").stdout.split()[-1], "REG_SZ")
        self.assertIsNone(inst.read_dword("Schedule", "CheckWaiting"))
        # This server's own receiver: its address and its port, by name or by address.
        smtp = inst.read_dword("AdvCon", "smtpinport")
        inst.set_dword("AdvCon", "smtpoutport", smtp)
        for host in ("localhost", "127.0.0.1", "127.0.1.1"):
            proc = inst.run("postvane-wizard", "--defaults", "--gateway", host, check=False)
            self.assertEqual(proc.returncode, 2, host)
            self.assertIn("is this server's own SMTP receiver", proc.stderr)
        self.assertEqual(inst.reg("query", "", "/v", "Gateway").stdout.split()[-1], "REG_SZ")
        # The same host on another port is a relay; over the LAN mail then leaves at once.
        inst.set_dword("AdvCon", "smtpoutport", free_port())
        inst.run("postvane-wizard", "--defaults", "--gateway", "localhost")
        self.assertEqual(inst.reg("query", "", "/v", "Gateway").stdout.split()[-1], "localhost")
        self.assertEqual((inst.read_dword("Schedule", "CheckWaiting"), inst.read_dword("Schedule", "CountWaiting")),
                         (1, 1))

    def test_without_a_relay_remote_mail_waits_and_the_status_says_so_once(self):
        inst = self.inst
        inst.configure()
        inst.set_dword("Schedule", "CheckWaiting", 1)
        server = inst.start()
        server.wait_for(STARTED)
        wait_listening(inst.ports["smtpinport"])
        inst.send_mail("alice@example.test", ["bob@elsewhere.example"], "Subject: out\r\n\r\nhi\r\n")
        inst.send_mail("alice@example.test", ["carol@elsewhere.example"], "Subject: out\r\n\r\nhi\r\n")
        wait_until(lambda: "No relay is configured: 2 messages wait" in inst.run("postvane-ctl", "showui").stdout,
                   what="the status row")
        time.sleep(2)
        self.assertEqual(server.stop(), 0)
        out = server.output()
        logged = [l for l in out if "No relay is configured" in l and not l.startswith("Connection:")]
        self.assertEqual(len(logged), 1, out)
        self.assertFalse([l for l in out if "Connecting" in l], out)
        self.assertEqual(len([n for n in os.listdir(os.path.join(inst.spool, "outbox")) if n.endswith(".wrk")]), 2)


if __name__ == "__main__":
    unittest.main()
