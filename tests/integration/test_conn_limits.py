"""What keeps one client from taking the server's memory, descriptors or conversations: output
back-pressure, the session limit, the caps per service and per client address, and the
descriptor limit, against the real server."""

import os
import resource
import socket
import subprocess
import threading
import time
import unittest

from pvharness import Conversation, Installation, wait_listening, wait_until

NOOP_REPLY = b"250 Ok, Twiddling thumbs\r\n"


class ConnectionLimitsTest(unittest.TestCase):
    def setUp(self):
        self.inst = Installation()
        self.addCleanup(self.inst.cleanup)
        self.inst.configure()
        self.inst.run("postvane-admin", "mailbox", "add", "alice")
        self.smtp = self.inst.ports["smtpinport"]
        self.pop = self.inst.ports["popport"]

    def start(self, **kwargs):
        server = self.inst.start(**kwargs)
        server.wait_for("Starting Postvane")
        wait_listening(self.smtp)
        # The probe connection has ended before a test counts conversations.
        wait_until(lambda: self.inst.run("postvane-ctl", "test", "PVG:SMTPRC", check=False).returncode != 0,
                   what="the probe conversation to end")
        self.addCleanup(server.stop)
        return server

    def conversation(self, port=None, source=None):
        c = Conversation(port or self.smtp, source=source)
        self.addCleanup(c.close)
        return c

    def test_client_that_never_reads_its_replies_leaves_server_memory_flat(self):
        server = self.start()
        warm = self.conversation()
        warm.line()
        self.assertEqual(warm.command("NOOP"), NOOP_REPLY[:-2])
        before = server.status("VmRSS")

        c = self.conversation()
        chunk = b"NOOP\r\n" * 10000
        sent = 0
        c.sock.settimeout(0.5)
        stalls = 0
        deadline = time.monotonic() + 15
        while sent < 64 * 2**20 and stalls < 3 and time.monotonic() < deadline:
            try:
                sent += c.sock.send(chunk)
                stalls = 0
            except socket.timeout:
                stalls += 1
        grown = server.status("VmRSS") - before
        # The server stopped reading: the client's sends blocked once the socket buffers were
        # full, and the server holds no more than a few replies. (The sanitizer keeps freed
        # memory aside for a while, so a few megabytes of growth remain; holding the replies
        # takes hundreds.)
        self.assertEqual(stalls, 3, f"the server went on reading: {sent} bytes of commands in 15 s")
        self.assertLess(grown, 32 * 1024, f"the server grew by {grown} KiB after {sent} bytes of commands")
        self.assertEqual(warm.command("NOOP"), NOOP_REPLY[:-2])  # others are still served

    def test_pipelined_commands_held_back_are_all_answered_in_order(self):
        self.start()
        c = Conversation(self.smtp, receive_buffer=65536)
        self.addCleanup(c.close)
        self.assertTrue(c.line().startswith(b"220 "))
        # About five megabytes of replies: more than the socket buffers take, so the server
        # holds input back and picks it up again as the client reads.
        count = 200000
        sender = threading.Thread(target=c.send, args=(b"NOOP\r\n" * count + b"HELO late\r\nQUIT\r\n",))
        sender.start()
        time.sleep(1)  # the client reads nothing for a while
        received = b""
        c.sock.settimeout(20)
        while True:
            chunk = c.sock.recv(1 << 20)
            if not chunk:
                break
            received += chunk
        sender.join()
        self.assertEqual(received, NOOP_REPLY * count + b"250 example.test\r\n"
                         b"221 example.test Service closing transmission channel\r\n")

    def test_conversations_end_at_the_session_limit_however_busy(self):
        self.inst.set_dword("AdvCon", "SessionLimit", 3)
        server = self.start()
        smtp = self.conversation()
        pop = self.conversation(self.pop)
        self.assertTrue(smtp.line().startswith(b"220 "))
        self.assertTrue(pop.line().startswith(b"+OK "))
        start = time.monotonic()
        # One byte at a time, well inside the inactivity time-out.
        for c in (smtp, pop):
            c.sock.settimeout(0.2)
        ended = {}
        while len(ended) < 2 and time.monotonic() - start < 10:
            for name, c in (("smtp", smtp), ("pop", pop)):
                if name in ended:
                    continue
                try:
                    c.send(b"N")
                    data = c.sock.recv(200)
                except socket.timeout:
                    continue
                except (ConnectionResetError, BrokenPipeError):
                    data = b""
                c.buffer += data
                if not data or b"\r\n" in c.buffer:
                    ended[name] = (time.monotonic() - start, c.buffer)
            time.sleep(0.3)
        self.assertEqual(set(ended), {"smtp", "pop"}, "a busy slow client was never dropped")
        for name, (elapsed, _) in ended.items():
            self.assertGreaterEqual(elapsed, 2.5, name)
            self.assertLess(elapsed, 5.5, name)
        self.assertEqual(ended["smtp"][1], b"421 example.test Session time limit reached, closing connection\r\n")
        self.assertTrue(smtp.closed())
        self.assertTrue(pop.closed())
        server.wait_for("SMTP session with [127.0.0.1] ended: it reached the session limit of 3 seconds")
        server.wait_for("POP3 session with [127.0.0.1] ended: it reached the session limit of 3 seconds")

    def test_caps_per_address_and_per_service_answer_421(self):
        self.inst.set_dword("AdvCon", "MaxConnections", 5)
        self.inst.set_dword("AdvCon", "MaxPerAddress", 2)
        # 127.0.0.1 counts as outside the office; 127.0.0.2 as one of its machines.
        self.inst.set_string("AdvCon", "RelayNets", "127.0.0.2/32")
        server = self.start()
        outside = [self.conversation(source="127.0.0.1") for _ in range(2)]
        for c in outside:
            self.assertTrue(c.line().startswith(b"220 "))
        third = self.conversation(source="127.0.0.1")
        self.assertEqual(third.line(), b"421 example.test Too many connections from your address, try again later")
        self.assertTrue(third.closed())
        server.wait_for("SMTP connection from [127.0.0.1] refused: 2 conversations from that address already run "
                        "(AdvCon\\MaxPerAddress)")
        # The office's own machine is not held to the per-address cap, only to the service's.
        inside = [self.conversation(source="127.0.0.2") for _ in range(3)]
        for c in inside:
            self.assertTrue(c.line().startswith(b"220 "))
        full = self.conversation(source="127.0.0.2")
        self.assertEqual(full.line(), b"421 example.test Too many connections, try again later")
        server.wait_for("SMTP connection from [127.0.0.2] refused: 5 conversations already run (AdvCon\\MaxConnections)")
        # A conversation that ends gives its place back.
        self.assertEqual(outside[0].command("QUIT")[:3], b"221")

        def served():
            c = Conversation(self.smtp, source="127.0.0.1")
            self.addCleanup(c.close)
            return c.line().startswith(b"220 ")
        wait_until(served, timeout=5, what="a place for a new client")

    def test_open_file_limit_is_raised_at_start_up(self):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        if hard != resource.RLIM_INFINITY and hard <= 256:
            self.skipTest(f"the hard limit is only {hard}")
        server = self.start(preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (256, hard)))
        with open(f"/proc/{server.proc.pid}/limits") as f:
            (line,) = [l for l in f if l.startswith("Max open files")]
        fields = line.split()
        self.assertGreater(int(fields[3]), 256, line)
        if hard != resource.RLIM_INFINITY:
            self.assertEqual(int(fields[3]), hard, line)


if __name__ == "__main__":
    unittest.main()
