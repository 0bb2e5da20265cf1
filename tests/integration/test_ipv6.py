"""Both address families: LAN clients on ::1 (smtplib, poplib, swaks -6, plain and TLS), relaying
by RelayNets entries of either family, a BindAddress that is not an address, the transmitter and
SmartPop reaching providers that listen on ::1 only, and a provider name whose address of one
family is dead reached quickly through the other."""

import os
import poplib
import smtplib
import socket
import ssl
import subprocess
import time
import unittest

from pvharness import Dovecot, Installation, free_port, listening, program, wait_until
from relay import Relay
from test_tls import make_certificate
from test_transmit import TransmitCase
from test_transmit_tls import TlsTransmitCase


def ipv6_listening(port):
    return listening(port, "::1")


class LanOverIpv6Test(unittest.TestCase):
    """One server listening on "::1, 127.0.0.1", with a certificate for STARTTLS and STLS."""

    @classmethod
    def setUpClass(cls):
        cls.inst = Installation()
        cls.addClassCleanup(cls.inst.cleanup)
        cls.inst.configure()
        cls.inst.set_string("AdvCon", "BindAddress", "::1, 127.0.0.1")
        cls.cert, cls.key = make_certificate(cls.inst.dir, extra_san=",IP:::1")
        cls.inst.set_string("AdvCon", "TlsCertificate", cls.cert)
        cls.inst.set_string("AdvCon", "TlsKey", cls.key)
        cls.smtp, cls.pop = cls.inst.ports["smtpinport"], cls.inst.ports["popport"]
        cls.smtps, cls.pops = free_port(), free_port()
        cls.inst.set_dword("AdvCon", "SmtpsPort", cls.smtps)
        cls.inst.set_dword("AdvCon", "Pop3sPort", cls.pops)
        for name in ("alice", "bob", "carol"):
            cls.inst.run("postvane-admin", "mailbox", "add", name, "--password", "pw-" + name)
        cls.server = cls.inst.start()
        cls.addClassCleanup(cls.server.stop)
        cls.server.wait_for("Starting Postvane")
        wait_until(lambda: all(f(p) for p in (cls.smtp, cls.pop, cls.smtps, cls.pops, cls.inst.ports["fingerport"])
                               for f in (listening, ipv6_listening)),
                   what="the listeners on both families")
        cls.context = ssl.create_default_context(cafile=cls.cert)

    def fetch(self, user, tls):
        """tls: False, True (STLS) or "implicit" (the POP3S port)."""
        if tls == "implicit":
            p = poplib.POP3_SSL("::1", self.pops, context=self.context, timeout=10)
        else:
            p = poplib.POP3("::1", self.pop, timeout=10)
        try:
            if tls is True:
                self.assertEqual(p.stls(self.context), b"+OK Begin TLS negotiation")
            p.user(user)
            p.pass_("pw-" + user)
            found = []
            for i in range(1, len(p.list()[1]) + 1):
                found.append(b"\n".join(p.retr(i)[1]))
                p.dele(i)
            return found
        finally:
            p.quit()

    def test_smtplib_relays_from_ipv6_loopback_and_poplib_collects_plain_and_over_stls(self):
        with smtplib.SMTP("::1", self.smtp, local_hostname="client6.test", timeout=30) as c:
            c.ehlo()
            self.assertEqual(c.docmd("MAIL FROM:<me@example.org>")[0], 250)
            self.assertEqual(c.docmd("RCPT TO:<alice@example.test>")[0], 250)
            # ::1 is in the default RelayNets: mail for another domain is taken.
            self.assertEqual(c.docmd("RCPT TO:<dave@elsewhere.test>")[0], 250)
            self.assertEqual(c.docmd("DATA")[0], 354)
            c.send(b"Subject: plain six\r\n\r\nbody\r\n.\r\n")
            self.assertEqual(c.getreply()[0], 250)
        with smtplib.SMTP("::1", self.smtp, local_hostname="client6.test", timeout=30) as c:
            c.starttls(context=self.context)
            c.sendmail("me@example.org", ["bob@example.test"], b"Subject: tls six\r\n\r\nunder TLS\r\n")

        alice = wait_until(lambda: self.fetch("alice", tls=False), what="alice's message")
        self.assertIn(b"Received: from client6.test ([IPv6:::1]) by example.test", alice[0])
        bob = wait_until(lambda: self.fetch("bob", tls=True), what="bob's message")
        self.assertIn(b"Subject: tls six", bob[0])
        self.assertIn(b"([IPv6:::1])", bob[0])

    def test_swaks_over_ipv6_with_starttls(self):
        proc = subprocess.run(
            ["swaks", "-6", "--tls", "--tls-verify", "--tls-ca-path", self.cert, "--server", "::1",
             "--port", str(self.smtp), "--from", "me@example.org", "--to", "alice@example.test",
             "--header", "Subject: swaks six", "--body", "sent over IPv6"],
            capture_output=True, text=True, timeout=60)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.assertIn("=== TLS started", proc.stdout)
        self.assertRegex(proc.stdout, r"<~\s+250 Ok")
        found = wait_until(lambda: [m for m in self.fetch("alice", tls=True) if b"swaks six" in m],
                           what="the swaks message")
        self.assertIn(b"sent over IPv6", found[0])

    def test_implicit_tls_ports_serve_ipv6(self):
        with smtplib.SMTP_SSL("::1", self.smtps, local_hostname="client6.test", context=self.context,
                              timeout=30) as c:
            c.sendmail("me@example.org", ["carol@example.test"], b"Subject: smtps six\r\n\r\nbody\r\n")
        found = wait_until(lambda: self.fetch("carol", tls="implicit"), what="carol's message")
        self.assertIn(b"Subject: smtps six", found[0])

    def test_finger_dialnow_over_ipv6_logs_the_address_in_rfc5952_form(self):
        with socket.create_connection(("::1", self.inst.ports["fingerport"]), timeout=10) as s:
            s.sendall(b"dialnow\r\n")
            while s.recv(4096):
                pass
        self.server.wait_for("Connecting due to a finger request from [::1]")

    def test_relaying_follows_the_entries_of_each_family(self):
        def remote_rcpt(host):
            with smtplib.SMTP(host, self.smtp, local_hostname="client.test", timeout=30) as c:
                c.ehlo()
                c.docmd("MAIL FROM:<me@example.org>")
                return c.docmd("RCPT TO:<dave@elsewhere.test>")[0]

        self.addCleanup(self.inst.reg, "delete", "AdvCon", "/v", "RelayNets", "/f", check=False)
        # IPv4 entries only: ::1 is a stranger.
        self.inst.set_string("AdvCon", "RelayNets", "127.0.0.0/8, 10.0.0.0/8")
        self.assertGreaterEqual(remote_rcpt("::1"), 500)
        self.assertEqual(remote_rcpt("127.0.0.1"), 250)
        # IPv6 entries only, even the widest: no IPv4 client matches them.
        self.inst.set_string("AdvCon", "RelayNets", "::/0")
        self.assertEqual(remote_rcpt("::1"), 250)
        self.assertGreaterEqual(remote_rcpt("127.0.0.1"), 500)


class BindAddressTest(unittest.TestCase):
    def test_an_entry_that_is_not_an_address_starts_no_service_and_is_named_once(self):
        inst = Installation()
        self.addCleanup(inst.cleanup)
        inst.configure()
        inst.set_string("AdvCon", "BindAddress", "127.0.0.1, office-lan")
        server = inst.start()
        self.addCleanup(server.stop)
        server.wait_for("Starting Postvane")
        server.wait_for("AdvCon\\BindAddress holds \"office-lan\"")
        time.sleep(0.5)
        self.assertEqual(server.count("BindAddress"), 1, server.output())
        for port in inst.ports.values():
            self.assertFalse(listening(port), port)


class ToolsTest(unittest.TestCase):
    """The wizard and the admin tool take the new forms through the same checks the server uses,
    and store them as the server reads them."""

    def setUp(self):
        self.inst = Installation()
        self.addCleanup(self.inst.cleanup)
        self.inst.configure()

    def value(self, key, name):
        out = self.inst.reg("query", key, "/v", name, check=False).stdout
        for line in out.splitlines():
            parts = line.split(None, 2)
            if len(parts) == 3 and parts[0].lower() == name.lower():
                return parts[2]
        return None

    def admin(self, *args):
        return self.inst.run("postvane-admin", *args, check=False)

    def test_gateway_listen_addresses_and_relay_networks_of_either_family(self):
        self.inst.run("postvane-wizard", "--defaults", "--maildrop", self.inst.spool, "--gateway", "2001:DB8:0::25")
        self.assertEqual(self.value("", "Gateway"), "[2001:db8::25]")
        self.assertEqual(self.inst.run("postvane-wizard", "--defaults", "--maildrop", self.inst.spool,
                                       "--gateway", "relay.example:25", check=False).returncode, 2)
        self.assertEqual(self.admin("relay", "gateway", "[::1]").returncode, 0)
        self.assertEqual(self.value("", "Gateway"), "[::1]")
        self.assertEqual(self.admin("relay", "gateway", "2001:db8::1::2").returncode, 2)

        self.assertEqual(self.admin("network", "listen", "127.0.0.1,", "[::1]").returncode, 0)
        self.assertEqual(self.value("AdvCon", "BindAddress"), "127.0.0.1, ::1")
        bad = self.admin("network", "listen", "127.0.0.1", "office-lan")
        self.assertEqual(bad.returncode, 2)
        self.assertIn("'office-lan'", bad.stderr)
        self.assertEqual(self.value("AdvCon", "BindAddress"), "127.0.0.1, ::1")

        self.assertEqual(self.admin("network", "relaynets", "192.168.1.0/24", "fd00:1:2:3::/64").returncode, 0)
        self.assertEqual(self.value("AdvCon", "RelayNets"), "192.168.1.0/24, fd00:1:2:3::/64")
        self.assertEqual(self.admin("network", "relaynets", "fd00::/129").returncode, 2)
        self.assertEqual(self.admin("network", "relaynets", "--default").returncode, 0)
        self.assertIn("::1/128,fc00::/7,fe80::/10", self.admin("network", "show").stdout)

        self.assertEqual(self.admin("smartpop", "add", "alice@host:110", "--password", "x").returncode, 2)


def dead_listener(family, host, port=0):
    """A socket that listens but never completes a handshake: its accept queue is full, so the
    kernel drops every further SYN, as a broken path does. Returns (sockets to close, port)."""
    listener = socket.socket(family, socket.SOCK_STREAM)
    if family == socket.AF_INET6:
        listener.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
    listener.bind((host, port))
    listener.listen(0)
    port = listener.getsockname()[1]
    held = [listener]
    for _ in range(2):
        filler = socket.socket(family, socket.SOCK_STREAM)
        filler.setblocking(False)
        filler.connect_ex((host, port))
        held.append(filler)
    time.sleep(0.2)
    probe = socket.socket(family, socket.SOCK_STREAM)
    probe.settimeout(0.5)
    try:
        probe.connect((host, port))
        raise AssertionError("the dead listener still completes handshakes")
    except socket.timeout:
        pass
    finally:
        probe.close()
    return held, port


class OutgoingTest(TransmitCase):
    """The transmitter and SmartPop against providers on ::1 only, and a provider name with a
    dead address in one family."""

    def send_with_hosts(self, lines):
        """postvane-send in a mount namespace of its own whose /etc/hosts has the given lines too;
        the machine's file is never changed. Returns (seconds taken, output)."""
        hosts = os.path.join(self.inst.dir, "hosts")
        with open("/etc/hosts") as f:
            original = f.read()
        with open(hosts, "w") as f:
            f.write(original + "\n" + "".join(line + "\n" for line in lines))
        namespace = ["unshare", "--mount"] + ([] if os.geteuid() == 0 else ["--map-root-user"])
        script = 'hosts=$1; shift; mount --bind "$hosts" /etc/hosts && exec "$@"'
        started = time.monotonic()
        proc = subprocess.run([*namespace, "sh", "-c", script, "sh", hosts, program("postvane-send")],
                              env=self.inst.env, capture_output=True, text=True, timeout=120)
        return time.monotonic() - started, proc.stdout + proc.stderr

    def test_transmitter_reaches_a_relay_listening_on_ipv6_loopback_only(self):
        relay = self.relay(host="::1")
        self.inst.set_string("", "Gateway", "[::1]")
        name = self.queue("carol@example.test", ["dave@elsewhere.test"], b"Subject: six\r\n\r\nover IPv6\r\n")
        code, log, out = self.send()
        self.assertEqual(self.outbox_files(name), [], out)
        self.assertEqual([e["to"] for e in relay.events("MESSAGE")], [["dave@elsewhere.test"]], out)

    def check_dead_family_is_passed_over(self, dead_family):
        if dead_family == socket.AF_INET6:
            held, port = dead_listener(socket.AF_INET6, "::1")
            relay = self.relay(host="127.0.0.1", port=port)
        else:
            held, port = dead_listener(socket.AF_INET, "127.0.0.1")
            relay = self.relay(host="::1", port=port)
        for s in held:
            self.addCleanup(s.close)
        self.inst.set_string("", "Gateway", "relay.dual.test")
        name = self.queue("carol@example.test", ["dave@elsewhere.test"], b"Subject: dual\r\n\r\nbody\r\n")
        seconds, out = self.send_with_hosts(["::1 relay.dual.test", "127.0.0.1 relay.dual.test"])
        self.assertEqual(self.outbox_files(name), [], out)
        self.assertEqual(len(relay.events("MESSAGE")), 1, out)
        self.assertLess(seconds, 2.0, out)

    def test_a_dead_ipv6_address_gives_way_to_the_live_ipv4_one_within_two_seconds(self):
        self.check_dead_family_is_passed_over(socket.AF_INET6)

    def test_a_dead_ipv4_address_gives_way_to_the_live_ipv6_one_within_two_seconds(self):
        self.check_dead_family_is_passed_over(socket.AF_INET)

    def test_smartpop_collects_from_a_dovecot_listening_on_ipv6_loopback_only(self):
        dc = Dovecot(self.inst.dir, {"alice": "provider-pw"}, address="::1")
        self.addCleanup(dc.stop)
        self.assertFalse(listening(dc.port, "127.0.0.1"))
        dc.deliver("alice", [b"From: a@provider.test\r\nTo: carol@example.test\r\nSubject: six\r\n\r\nhello\r\n"])
        self.inst.run("postvane-admin", "mailbox", "add", "carol")
        self.inst.run("postvane-admin", "smartpop", "add", "alice@[::1]", "--password", "provider-pw",
                      "--deliver-to", "carol", "--port", str(dc.port))
        out = self.inst.smartpop_run()
        self.assertEqual(dc.waiting("alice"), [], "\n".join(out))
        stored = [n for n in os.listdir(self.inbox) if n.endswith(".txt")]
        self.assertEqual(len(stored), 1, "\n".join(out))


class TlsRelayOverIpv6Test(TlsTransmitCase):
    def test_starttls_to_a_bracketed_ipv6_gateway_checks_the_certificate_for_that_address(self):
        cert = self.certs.server("relay-ip6", "IP:::1")
        relay = self.tls_relay(cert, host="::1")
        self.login()
        self.inst.set_string("", "Gateway", "[::1]")
        name = self.queue("carol@example.test", ["dave@elsewhere.test"], b"Subject: six\r\n\r\nover TLS\r\n")
        rc, log, out = self.send()
        self.assertEqual(self.outbox_files(name), [], out)
        self.assertEqual([e["to"] for e in relay.events("MESSAGE")], [["dave@elsewhere.test"]], out)
        # A certificate for another address is refused: the address was really checked.
        relay.stop()
        relay = self.tls_relay(self.good, host="::1")
        name = self.queue("carol@example.test", ["dave@elsewhere.test"], b"Subject: six\r\n\r\nagain\r\n")
        rc, log, out = self.send()
        self.assertEqual(self.outbox_files(name), [name + ".txt", name + ".wrk"], out)
        self.assertEqual(relay.events("MESSAGE"), [])


if __name__ == "__main__":
    unittest.main()
