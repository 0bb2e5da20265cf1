"""The connection manager in the real server: mail for other domains reaches a real relay
(aiosmtpd) with no operator action, over the LAN and over the dial-up simulator, and the
operator's connect and disconnect from postvane-ctl."""

import fcntl
import os
import smtplib
import time
import unittest

from pvharness import Installation, wait_listening, wait_until
from relay import Relay


class DialupCase(unittest.TestCase):
    def setUp(self):
        self.inst = Installation()
        self.addCleanup(self.inst.cleanup)
        self.inst.configure()
        self.inst.set_string("", "Gateway", "127.0.0.1")
        self.outbox = os.path.join(self.inst.spool, "outbox")

    def relay(self, **behaviour):
        relay = Relay(self.inst.dir, **behaviour)
        self.addCleanup(relay.stop)
        self.inst.set_dword("AdvCon", "smtpoutport", relay.port)
        return relay

    def start(self):
        server = self.inst.start()
        self.addCleanup(server.kill)
        wait_listening(self.inst.ports["smtpinport"])
        return server

    def submit(self, subject="hello"):
        with smtplib.SMTP("127.0.0.1", self.inst.ports["smtpinport"]) as client:
            client.sendmail("carol@example.test", ["dave@remote.test"],
                            f"Subject: {subject}\r\n\r\nA line.\r\n")

    def work_files(self):
        return [n for n in os.listdir(self.outbox) if n.endswith(".wrk")] if os.path.isdir(self.outbox) else []

    def log(self, server):
        return [line[19:] for line in server.output() if line[:2].isdigit()]


class LanTest(DialupCase):
    def test_remote_mail_goes_out_by_itself_once(self):
        relay = self.relay()
        self.inst.set_dword("", "UseLan", 1)
        self.inst.set_dword("Schedule", "CheckWaiting", 1)
        server = self.start()
        self.submit()
        wait_until(lambda: relay.messages(), 10, "the message at the relay")
        server.wait_for("SMTP Send succeeded", 5)
        # The session ends in the first pass in which nothing is busy.
        wait_until(lambda: server.status_row(self.inst) == "Offline", 5, "offline again")
        time.sleep(1.5)  # a few more cycles: nothing is sent twice
        self.assertEqual(len(relay.messages()), 1)
        self.assertEqual(self.work_files(), [])
        log = self.log(server)
        self.assertEqual(sum("reached over the LAN" in l for l in log), 1, log)
        self.assertFalse(any(l.startswith("Dialed") or l.startswith("Disconnected") for l in log), log)
        self.assertEqual(server.stop(), 0)

    def test_waits_while_another_transmitter_holds_the_queue(self):
        relay = self.relay()
        self.inst.set_dword("", "UseLan", 1)
        self.inst.set_dword("Schedule", "CheckWaiting", 1)
        server = self.start()
        # Another transmitter (postvane-send, say) holds the outbound queue's lock.
        with open(os.path.join(self.inst.spool, "outbox.lck"), "a+") as lock:
            fcntl.lockf(lock, fcntl.LOCK_EX)
            self.submit()
            server.wait_for("reached over the LAN", 5)
            time.sleep(2)
            self.assertEqual(relay.messages(), [])
            self.assertEqual(server.count("SMTP transmit connecting"), 0)
            self.assertEqual(server.status_row(self.inst), "Online", "the session waits for the other run")
        wait_until(lambda: relay.messages(), 10, "the message once the queue is free")
        time.sleep(1)
        self.assertEqual(len(relay.messages()), 1)
        self.assertEqual(server.count("reached over the LAN"), 1)


class DialTest(DialupCase):
    def setUp(self):
        super().setUp()
        self.inst.set_dword("", "UseLan", 0)  # the wizard chooses the LAN
        self.inst.set_string("AdvCon", "Dialer", "simulator")
        self.inst.set_string("", "Connection", "isp")

    def test_line_dropped_during_the_run_sends_in_the_next_session(self):
        # The relay is slow to take the sender; the line drops a second into the first session.
        relay = self.relay(mail_delay=2)
        self.inst.simulate("isp", ConnectAfter=2, DropAfter=4, DropTimes=1)
        self.inst.set_dword("Schedule", "CheckWaiting", 1)
        server = self.start()
        self.submit()
        server.wait_for("Disconnected from isp", 15)
        self.assertEqual(relay.messages(), [])
        self.assertEqual(len(self.work_files()), 1, "the message stays queued")
        wait_until(lambda: relay.messages(), 20, "the message in the next session")
        server.wait_for("SMTP Send succeeded", 5)
        self.assertEqual(server.count("Dialed isp"), 2)
        self.assertEqual(server.count("Online: connected to isp"), 2)
        self.assertEqual(server.count("The line was dropped"), 0, "a drop ends the session, it is no dial error")
        self.assertEqual(server.status_row(self.inst), "Online")
        self.assertEqual(server.stop(), 0)
        self.assertEqual(len(relay.messages()), 1)
        self.assertEqual(self.work_files(), [])

    def test_operator_connect_and_disconnect_while_dialing(self):
        self.inst.simulate("isp", Dummy=0)  # an entry nobody answers
        self.inst.set_dword("AdvCon", "Retries", 3)
        server = self.start()
        self.inst.ctl("connect")
        server.wait_for("Connecting due to operator request", 5)
        server.wait_for("Dialed isp", 5)
        wait_until(lambda: server.status_row(self.inst) == "Connecting Device", 5, "the dial's progress")
        self.inst.ctl("disconnect")
        server.wait_for("Disconnecting due to operator request", 5)
        server.wait_for("Disconnected from isp", 5)
        self.assertEqual(server.status_row(self.inst), "Offline/Pausing")
        self.assertEqual(server.count("Connection timeout during dial"), 0)
        self.assertEqual(server.stop(), 0)
        self.assertEqual(server.count("Dialed isp"), 1)

    def test_connection_made_by_another_program(self):
        relay = self.relay()
        self.inst.simulate("isp", External=1)
        server = self.start()
        server.wait_for("made by another program", 5)
        self.assertEqual(server.status_row(self.inst), "Online/External")
        self.submit()  # the external form sends whatever waits
        wait_until(lambda: relay.messages(), 10, "the message over the external connection")
        self.inst.simulate("isp", External=0)
        server.wait_for("The connection isp made by another program has ended", 5)
        wait_until(lambda: server.status_row(self.inst) == "Offline", 5, "offline")
        self.assertEqual(server.stop(), 0)
        self.assertEqual(server.count("Dialed"), 0)
        self.assertEqual(server.count("Disconnected from"), 0)

    def test_ctl_refuses_without_a_server(self):
        proc = self.inst.ctl("connect", check=False)
        self.assertEqual(proc.returncode, 1)
        self.assertIn("no server runs", proc.stderr)


if __name__ == "__main__":
    unittest.main()
