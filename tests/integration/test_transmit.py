"""Transmit runs of the real code (postvane-send) against a real relay on loopback: aiosmtpd,
told how to misbehave, and a private Postfix instance with refusals and a size limit."""

import glob
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

from pvharness import (POSTFIX, Installation, Postfix, free_port, program, proper_mail, wait_listening, wait_until,
                       without_generated)
from relay import Relay

SENDER = "carol@example.test"


class TransmitCase(unittest.TestCase):
    """A throw-away installation with an outbound queue, and what the tests look at."""

    def setUp(self):
        self.inst = Installation()
        self.addCleanup(self.inst.cleanup)
        self.inst.configure()
        self.outbox = os.path.join(self.inst.spool, "outbox")
        self.inbox = os.path.join(self.inst.spool, "inbox")
        os.makedirs(self.outbox, exist_ok=True)
        os.makedirs(self.inbox, exist_ok=True)
        self.inst.set_string("", "Gateway", "127.0.0.1")
        self.number = 0x100

    # --- helpers ----------------------------------------------------------------------

    def relay(self, **behaviour):
        relay = Relay(self.inst.dir, **behaviour)
        self.addCleanup(relay.stop)
        self.inst.set_dword("AdvCon", "smtpoutport", relay.port)
        return relay

    def queue(self, sender, recipients, body, text=True):
        """An outbound pair as the spooler leaves it; returns its queue name."""
        self.number += 1
        name = f"f{self.number:07X}"
        if text:
            with open(os.path.join(self.outbox, name + ".txt"), "wb") as f:
                f.write(body)
        with open(os.path.join(self.outbox, name + ".wrk"), "wb") as f:
            f.write("".join(line + "\r\n" for line in [sender, *recipients]).encode())
        return name

    def send(self):
        proc = self.inst.run("postvane-send", check=False, timeout=120)
        log = [line[19:] for line in proc.stdout.splitlines() if re.match(r"\d\d/\d\d/\d\d,", line)]
        return proc.returncode, log, proc.stdout + proc.stderr

    def outbox_files(self, name):
        return sorted(os.path.basename(p) for p in glob.glob(os.path.join(self.outbox, name + ".*")))

    def reports(self):
        """Committed pairs in the inbound queue: (message lines, work file bytes)."""
        found = []
        for wrk in sorted(glob.glob(os.path.join(self.inbox, "*.wrk"))):
            with open(wrk[:-4] + ".txt", "rb") as f:
                text = f.read()
            proper_mail(text)
            with open(wrk, "rb") as f:
                found.append((without_generated(text.split(b"\r\n")), f.read()))
        return found

    def assert_in_order(self, log, expected):
        pos = 0
        for line in expected:
            self.assertIn(line, log[pos:], f"{line!r} missing (in order) from {log!r}")
            pos = log.index(line, pos) + 1

    def report_head(self, subject, transcript):
        return [b'From: "mail-deamon" <postvane@example.test>', b"To: " + SENDER.encode(), b"Subject: " + subject,
                b"Auto-Submitted: auto-replied", b"",
                b"Transcript of session follows", b"---------", *transcript, b"---------", b"",
                b"Origional message follows", b""]



class TransmitTest(TransmitCase):
    # --- the conversation -------------------------------------------------------------

    def test_two_line_greeting_gets_one_helo_after_its_first_line(self):
        relay = self.relay(greeting=["220-relay.test first line", "220 relay.test second line"])
        body = b"Subject: hi\r\n\r\nhello\r\n"
        name = self.queue(SENDER, ["dave@remote.test"], body)
        rc, log, out = self.send()
        self.assertEqual(rc, 0, out)
        (first,) = relay.events("greeting-line")
        self.assertTrue(first["client_spoke"], "HELO did not follow the first greeting line")
        self.assertEqual(relay.commands(), [("HELO", "example.test"), ("MAIL", SENDER), ("RCPT", "dave@remote.test"),
                                            ("DATA", None), ("QUIT", None)])
        self.assertEqual(relay.messages(), [(SENDER, ["dave@remote.test"], body)])
        self.assert_in_order(log, ["SMTP transmit connecting to 127.0.0.1",
                                   f"Sending to <dave@remote.test> from <{SENDER}>", "SMTP Send succeeded"])
        self.assertEqual(self.outbox_files(name), [])  # KeepFiles missing: 0
        self.assertEqual(self.reports(), [])
        self.assertEqual(self.inst.run("postvane-ctl", "test", "PVG:SMTPTR", check=False).returncode, 1)

    def test_refused_recipients_are_reported_once_and_the_rest_delivered(self):
        # Three recipients, the second refused.
        relay = self.relay(refuse_rcpt={"b@remote.test": "550 5.1.1 <b@remote.test> unknown"})
        body = b"Subject: three\r\n\r\nfor a, b and c\r\n"
        name = self.queue(SENDER, ["a@remote.test", "b@remote.test", "c@remote.test"], body)
        rc, log, out = self.send()
        self.assertEqual(rc, 4, out)  # everything left the queue, with a refusal reported
        self.assert_in_order(log, [f"Sending to <a@remote.test> from <{SENDER}>", "Sending to b@remote.test",
                                   "Sending to c@remote.test", "SMTP Send succeeded"])
        self.assertEqual(relay.messages(), [(SENDER, ["a@remote.test", "c@remote.test"], body)])
        (report,) = self.reports()
        transcript = [b"<MAIL FROM: <carol@example.test>", b">250 OK", b"<RCPT TO: <a@remote.test>", b">250 OK",
                      b"<RCPT TO: <b@remote.test>", b">550 5.1.1 <b@remote.test> unknown",
                      b"<RCPT TO: <c@remote.test>", b">250 OK", b"<DATA", b">354 End data with <CR><LF>.<CR><LF>",
                      b">250 OK"]
        self.assertEqual(report[0], self.report_head(b"Recipient rejected by receiver", transcript) +
                         body.split(b"\r\n"))
        self.assertEqual(report[1], b"postvane\r\ncarol@example.test\r\n")
        self.assertEqual(self.outbox_files(name), [])

        # Every recipient refused: RSET, the report, then the next message.
        for wrk in glob.glob(os.path.join(self.inbox, "*")):
            os.remove(wrk)
        relay = self.relay(refuse_rcpt={"x@remote.test": "550 no x", "y@remote.test": "550 no y"})
        refused = self.queue(SENDER, ["x@remote.test", "y@remote.test"], b"Subject: nobody\r\n\r\nlost\r\n")
        fine = self.queue("erin@example.test", ["z@remote.test"], b"Subject: fine\r\n\r\nok\r\n")
        rc, log, out = self.send()
        self.assertEqual(rc, 4, out)
        self.assertEqual(relay.commands(), [
            ("HELO", "example.test"), ("MAIL", SENDER), ("RCPT", "x@remote.test"), ("RCPT", "y@remote.test"),
            ("RSET", None), ("MAIL", "erin@example.test"), ("RCPT", "z@remote.test"), ("DATA", None),
            ("QUIT", None)])
        self.assertEqual([m[0] for m in relay.messages()], ["erin@example.test"])
        (report,) = self.reports()
        self.assertEqual(report[0][2], b"Subject: Recipient rejected by receiver")
        self.assertEqual(report[0][7:15], [b"<MAIL FROM: <carol@example.test>", b">250 OK", b"<RCPT TO: <x@remote.test>",
                                           b">550 no x", b"<RCPT TO: <y@remote.test>", b">550 no y", b"<RSET",
                                           b">250 OK"])
        # Taken out of the queue, kept beside its text; a later run leaves it alone.
        self.assertEqual(self.outbox_files(refused), [refused + ".old", refused + ".txt"])
        self.assertEqual(self.outbox_files(fine), [])

    def test_last_message_is_reported_before_quit_and_keepfiles_decides_what_stays(self):
        for keep in (0, 1):
            self.inst.set_dword("", "KeepFiles", keep)
            relay = self.relay(refuse_rcpt={"gone@remote.test": "550 gone"}, watch_dir=self.inbox)
            name = self.queue(SENDER, ["here@remote.test", "gone@remote.test"], b"Subject: last\r\n\r\ntext\r\n")
            before = set(os.listdir(self.inbox))
            rc, log, out = self.send()
            self.assertEqual(rc, 4, out)
            (quit_event,) = relay.events("QUIT")
            new = sorted(set(quit_event["files"]) - before)
            self.assertEqual([f[-4:] for f in new], [".txt", ".wrk"], "the report was not written before QUIT")
            with open(os.path.join(self.inbox, new[0]), "rb") as f:
                self.assertIn(b"\r\nSubject: last\r\n\r\ntext\r\n", f.read())
            expected = [name + ".old", name + ".txt"] if keep else []
            self.assertEqual(self.outbox_files(name), expected, f"KeepFiles {keep}")

    def test_body_lines_are_stuffed_sent_whole_and_copied_unchanged_into_the_report(self):
        relay = self.relay(refuse_rcpt={"refused@remote.test": "550 refused"})
        long_line = bytes(ord("a") + i % 26 for i in range(3000))
        body = (b"Subject: 100% \\odd\\ %s%n%d\r\n\r\n.\r\n.leading dot\r\n..two\r\n" + long_line +
                b"\r\ntrailing blanks   \r\nC:\\path\\100%\r\n\r\nlast line without end")
        name = self.queue(SENDER, ["ok@remote.test", "refused@remote.test"], body)
        rc, log, out = self.send()
        self.assertEqual(rc, 4, out)
        ((_, to, content),) = relay.messages()
        self.assertEqual(to, ["ok@remote.test"])
        self.assertEqual(content.split(b"\r\n"), [
            b"Subject: 100% \\odd\\ %s%n%d", b"", b".", b".leading dot", b"..two",
            long_line, b"trailing blanks   ", b"C:\\path\\100%", b"",
            b"last line without end", b""])
        (report,) = self.reports()
        self.assertEqual(b"\r\n".join(report[0]).split(b"Origional message follows\r\n\r\n", 1)[1], body)
        self.assertFalse(any(line in (b"<.", b"<..") or long_line[:50] in line for line in report[0][:20]),
                         "body lines leaked into the transcript")
        self.assertEqual(self.outbox_files(name), [])

    # --- messages that cannot be sent -------------------------------------------------

    def test_broken_queue_entries_are_set_aside_and_the_run_goes_on(self):
        relay = self.relay()
        missing = self.queue(SENDER, ["a@remote.test"], b"", text=False)
        empty = self.queue(SENDER, [], b"Subject: nobody\r\n\r\n")
        good = self.queue(SENDER, ["b@remote.test"], b"Subject: good\r\n\r\nok\r\n")
        rc, log, out = self.send()
        self.assertEqual(rc, 0, out)
        self.assert_in_order(log, ["Missing txt file in output queue", "wrk file in output queue has no recipients",
                                   f"Sending to <b@remote.test> from <{SENDER}>", "SMTP Send succeeded"])
        self.assertEqual(self.outbox_files(missing), [missing + ".err"])
        self.assertEqual(self.outbox_files(empty), [empty + ".err", empty + ".txt"])
        self.assertEqual(relay.commands(), [("HELO", "example.test"), ("MAIL", SENDER), ("RCPT", "b@remote.test"),
                                            ("DATA", None), ("QUIT", None)])

        # Only broken entries: nothing is sent, QUIT follows HELO.
        relay = self.relay()
        self.queue(SENDER, ["a@remote.test"], b"", text=False)
        rc, log, out = self.send()
        self.assertEqual(rc, 0, out)
        self.assertEqual(relay.commands(), [("HELO", "example.test"), ("QUIT", None)])

    def test_temporary_refusals_keep_messages_queued_and_permanent_ones_set_them_aside(self):
        relay = self.relay(refuse_mail={"m1@example.test": "451 try later"},
                           refuse_data={"m2@example.test": "451 no data now"},
                           refuse_end={"m3@example.test": "554 content refused"})
        names = [self.queue(f"m{i}@example.test", [f"r{i}@remote.test"], f"Subject: {i}\r\n\r\n{i}\r\n".encode())
                 for i in range(1, 5)]
        rc, log, out = self.send()
        self.assertEqual(rc, 3, out)  # the conversation ended well, three messages wait
        self.assertEqual(relay.commands(), [
            ("HELO", "example.test"), ("MAIL", "m1@example.test"), ("RSET", None),
            ("MAIL", "m2@example.test"), ("RCPT", "r2@remote.test"), ("DATA", None), ("RSET", None),
            ("MAIL", "m3@example.test"), ("RCPT", "r3@remote.test"), ("DATA", None),
            ("MAIL", "m4@example.test"), ("RCPT", "r4@remote.test"), ("DATA", None), ("QUIT", None)])
        for name in names[:2]:
            self.assertEqual(self.outbox_files(name), [name + ".txt", name + ".wrk"])
        # 554 at the end of the text: reported once and set aside, not tried again.
        self.assertEqual(self.outbox_files(names[2]), [names[2] + ".old", names[2] + ".txt"])
        (report,) = self.reports()
        self.assertEqual(report[0][1:3], [b"To: m3@example.test", b"Subject: Failed mail"])
        self.assertIn(b">554 content refused", report[0])
        self.assertEqual(self.outbox_files(names[3]), [])
        for path in glob.glob(os.path.join(self.inbox, "*")):
            os.remove(path)

        # The refused greeting: QUIT at once, nothing reported, nothing lost.
        relay = self.relay(greeting=["554 relay.test not now"])
        rc, log, out = self.send()
        self.assertEqual(rc, 3, out)
        self.assertEqual(relay.commands(), [("QUIT", None)])
        self.assertEqual(self.reports(), [])

        # A refused RSET ends the conversation, and the message it followed is reported.
        relay = self.relay(refuse_mail={"m1@example.test": "550 sender refused"}, refuse_rset="554 no reset")
        rc, log, out = self.send()
        self.assertEqual(relay.commands(), [("HELO", "example.test"), ("MAIL", "m1@example.test"), ("RSET", None),
                                            ("QUIT", None)])
        (report,) = self.reports()
        self.assertEqual(report[0][2], b"Subject: Failed mail")
        self.assertEqual(report[0][7:13], [b"<MAIL FROM: <m1@example.test>", b">550 sender refused", b"<RSET",
                                           b">554 no reset", b"<QUIT", b">221 Bye"])
        self.assertEqual(self.outbox_files(names[0]), [names[0] + ".old", names[0] + ".txt"])
        self.assertEqual(self.outbox_files(names[1]), [names[1] + ".txt", names[1] + ".wrk"])

    # --- runs that fail ---------------------------------------------------------------

    def test_failed_runs_set_the_flag_and_leave_the_queue_alone(self):
        name = self.queue(SENDER, ["a@remote.test"], b"Subject: waits\r\n\r\n")

        self.inst.set_string("", "Gateway", "relay.postvane.invalid")
        rc, log, out = self.send()
        self.assertEqual(rc, 1, out)
        self.assert_in_order(log, ["SMTP transmit connecting to relay.postvane.invalid",
                                   "Failed to initialise SMTP, No buffer space is available,Error Code =10022,",
                                   "Halting Mail Transmission"])
        self.assertEqual(self.outbox_files(name), [name + ".txt", name + ".wrk"])

        self.inst.set_string("", "Gateway", "127.0.0.1")
        relay = self.relay(greeting="never")
        self.inst.set_dword("AdvCon", "SMTPouttimeout", 1)
        rc, log, out = self.send()
        self.assertEqual(rc, 1, out)
        self.assertRegex(log[-2], r"^SMTP Send timeout talking to \[127\.0\.0\.1\] on port \d+$")
        self.assertEqual(log[-1], "SMTP send connection failed")
        self.assertEqual(relay.commands(), [])
        self.assertEqual(self.outbox_files(name), [name + ".txt", name + ".wrk"])
        self.assertEqual(self.inst.run("postvane-ctl", "test", "PVG:SMTPTR", check=False).returncode, 1)

    def test_a_connection_dropped_in_the_body_delivers_the_message_once_next_run(self):
        relay = self.relay(drop_after=200000)
        body = b"Subject: big\r\n\r\n" + b"".join(b"line %06d of a long message\r\n" % i for i in range(40000))
        name = self.queue(SENDER, ["a@remote.test"], body)
        rc, log, out = self.send()
        self.assertEqual(rc, 3, out)
        self.assertEqual(len(relay.events("dropped")), 1)
        self.assertEqual(relay.messages(), [])
        # The lost conversation counts against the message once (it goes after the others).
        self.assertEqual(self.outbox_files(name), [name + ".cnt", name + ".txt", name + ".wrk"])
        self.assertEqual(self.reports(), [])

        rc, log, out = self.send()
        self.assertEqual(rc, 0, out)
        self.assertEqual(relay.messages(), [(SENDER, ["a@remote.test"], body)])
        self.assertEqual(self.outbox_files(name), [])


    # --- one transmitter at a time ---------------------------------------------------

    def test_two_runs_at_once_send_every_message_once(self):
        relay = self.relay(mail_delay=0.3)  # the first run is still busy when the second starts
        bodies = {self.queue(SENDER, [f"r{i}@remote.test"], f"Subject: {i}\r\n\r\n{i}\r\n".encode()): i
                  for i in range(4)}
        runs = [subprocess.Popen([program("postvane-send")], env=self.inst.env, stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, text=True) for _ in range(2)]
        outputs = [run.communicate(timeout=60)[0] for run in runs]
        self.assertEqual(sorted(run.returncode for run in runs), [0, 5], outputs)
        busy = outputs[[run.returncode for run in runs].index(5)]
        self.assertIn("another transmitter is working on the outbound queue", busy)
        self.assertEqual(sorted(to[0] for _, to, _ in relay.messages()), [f"r{i}@remote.test" for i in range(4)])
        for name in bodies:
            self.assertEqual(self.outbox_files(name), [])
        self.assertFalse(glob.glob(os.path.join(self.outbox, "*.lck")), "the lock belongs beside the queue")



@unittest.skipUnless(os.path.exists(POSTFIX), "postfix is not installed (scripts/setup.sh installs it)")
@unittest.skipUnless(os.geteuid() == 0, "a private Postfix needs root: its daemons change to the postfix user")
class PostfixRelayTest(TransmitCase):
    """A private Postfix on loopback as the provider's relay: it refuses some recipients, closes
    the conversation with 421 after five errors (as it does after twenty by default) and refuses
    messages over 20,000 bytes. It delivers what it takes to its discard service and logs each
    delivery."""

    HARD_ERROR_LIMIT = 5

    def setUp(self):
        super().setUp()
        etc = tempfile.mkdtemp(prefix="pv-refused-", dir=self.inst.dir)
        with open(os.path.join(etc, "refused"), "w") as f:
            f.write("/^refused[0-9]*@/ REJECT no such user here\n")
        self.postfix = Postfix(f"""mynetworks = 127.0.0.0/8
smtpd_relay_restrictions = permit_mynetworks, reject
smtpd_recipient_restrictions = check_recipient_access regexp:{etc}/refused, permit
message_size_limit = 20000
smtpd_hard_error_limit = {self.HARD_ERROR_LIMIT}
smtpd_error_sleep_time = 0
""")
        self.addCleanup(self.postfix.stop)
        self.inst.set_dword("AdvCon", "smtpoutport", self.postfix.port)

    def delivered(self):
        return self.postfix.delivered()

    def test_refusals_and_a_closing_relay_block_nothing_and_each_is_reported_once(self):
        refused_early = [f"refused{i}@remote.test" for i in range(1, 8)]  # two more than Postfix bears
        names = {
            "alice": self.queue("alice@example.test", refused_early + ["good1@remote.test"],
                                b"Subject: many\r\n\r\nto many\r\n"),
            "bob": self.queue("bob@example.test", ["good2@remote.test"],
                              b"Subject: big\r\n\r\n" + (b"x" * 76 + b"\r\n") * 400),
            "carol": self.queue("carol@example.test", ["good3@remote.test"], b"Subject: fine\r\n\r\nok\r\n"),
            "dave": self.queue("dave@example.test", ["refused8@remote.test", "good4@remote.test"],
                               b"Subject: one refused\r\n\r\nhi\r\n"),
        }
        # First run: Postfix gives up on alice's message after five refusals, with 421.
        rc, log, out = self.send()
        self.assertEqual(rc, 3, out)
        self.assertTrue(any("is closing the conversation (\"421" in line for line in log), log)
        # The refusals it did hear are reported now and leave the envelope: that is progress.
        with open(os.path.join(self.outbox, names["alice"] + ".wrk"), "rb") as f:
            self.assertEqual(f.read().split(b"\r\n")[1:-1], [b"refused6@remote.test", b"refused7@remote.test",
                                                              b"good1@remote.test"])
        # Second run: everything leaves the queue; bob's message is too big for good.
        rc, log, out = self.send()
        self.assertEqual(rc, 4, out)
        self.assertEqual(glob.glob(os.path.join(self.outbox, "*.wrk")), [])
        self.assertEqual(self.outbox_files(names["bob"]), [names["bob"] + ".old", names["bob"] + ".txt"])
        rc, log, out = self.send()
        self.assertEqual(rc, 0, out)  # nothing waits
        wait_until(lambda: len(self.delivered()) >= 3, what="Postfix's deliveries")
        time.sleep(0.5)
        self.assertEqual(sorted(self.delivered()), ["good1@remote.test", "good3@remote.test", "good4@remote.test"])

        # Every sender hears about every refusal exactly once.
        heard = {}
        for lines, work in self.reports():
            sender = work.split(b"\r\n")[1].decode()
            transcript = b"\r\n".join(lines).split(b"Origional message follows")[0].decode()
            heard.setdefault(sender, []).extend(re.findall(r">5\d\d [^\r\n]*", transcript))
        refusals = {sender: sorted(re.sub(r".*<(refused\d+)@.*", r"\1", r) if "refused" in r else "size" for r in replies)
                    for sender, replies in heard.items()}
        self.assertEqual(refusals, {"alice@example.test": sorted(f"refused{i}" for i in range(1, 8)),
                                    "bob@example.test": ["size"],
                                    "dave@example.test": ["refused8"]})


class LineBreakTest(TransmitCase):
    def test_no_command_with_a_line_break_is_sent(self):
        relay = self.relay()
        bad = self.queue(SENDER, ["bob@remote.test\rRSET"], b"Subject: bad\r\n\r\nx\r\n")
        good = self.queue(SENDER, ["dan@remote.test"], b"Subject: good\r\n\r\nx\r\n")
        _, log, out = self.send()
        self.assertEqual(self.outbox_files(bad), [bad + ".err", bad + ".txt"], out)
        self.assertEqual([to for _, to, _ in relay.messages()], [["dan@remote.test"]])
        self.assertEqual(sum("holds control characters" in l for l in log), 1, log)
        self.assertEqual(self.outbox_files(good), [])
        # A greeting name with a line break, written straight into the store.
        self.inst.set_dword("Domain", "example.test", 0)
        self.inst.set_dword("Domain", "evil.test\r\nRSET", 1)
        waiting = self.queue(SENDER, ["dan@remote.test"], b"Subject: waits\r\n\r\nx\r\n")
        before = len(relay.commands())
        _, log, out = self.send()
        self.assertEqual(sum("holds a line break" in l for l in log), 1, out)
        self.assertEqual(relay.commands()[before:], [], "not a word reached the relay")
        self.assertEqual(self.outbox_files(waiting), [waiting + ".txt", waiting + ".wrk"])


if __name__ == "__main__":
    unittest.main()
