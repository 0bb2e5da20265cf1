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
        inst.run("postvane-ctl", "showui")
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
        server.wait_for("Disconnecting due to operator request")
        server.wait_for("Shutting Down Postvane")
        self.assertIn("Server: not running", inst.run("postvane-ctl", "status").stdout)


if __name__ == "__main__":
    unittest.main()
