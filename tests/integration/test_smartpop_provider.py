"""SmartPop against a careless or hostile provider: a POP3 server written here that misbehaves
on cue (pvharness.ScriptedProvider). Whatever the provider does, no message is deleted before it
is stored here, and no message keeps the others from being collected."""

import os
import re
import unittest

from pvharness import Installation, ScriptedProvider, free_port

PASSWORD = "s3cret-Word"
ACCOUNT = "u@127.0.0.1"


def message(i, body=b""):
    return (b"From: Sender <sender@remote.test>\r\nTo: carol@example.test\r\nSubject: number %d\r\n\r\n" % i +
            b"Line one of %d.\r\n" % i + body)


class ProviderCase(unittest.TestCase):
    def setUp(self):
        self.inst = Installation()
        self.addCleanup(self.inst.cleanup)
        self.inst.configure()
        self.inst.set_dword("AdvCon", "SmartPoptimeout", 2)  # a silent provider is given up soon
        self.inbox = os.path.join(self.inst.spool, "inbox")

    def provider(self, messages, **cue):
        provider = ScriptedProvider("u", PASSWORD, messages, **cue)
        self.addCleanup(provider.stop)
        self.inst.run("postvane-admin", "smartpop", "add", ACCOUNT, "--password", PASSWORD,
                      "--port", str(provider.port))
        return provider

    def collected(self):
        """The texts of the collected files (.pop), in queue order."""
        names = sorted(n for n in os.listdir(self.inbox) if n.endswith(".pop")) if os.path.isdir(self.inbox) else []
        out = []
        for name in names:
            with open(os.path.join(self.inbox, name), "rb") as f:
                out.append(f.read())
        return out

    def closing(self, out):
        """Every line that says how the run ended."""
        return [l for l in out if re.match(f"SmartPop connection to {re.escape(ACCOUNT)} (closed|ended) after", l)]


class UidRecordTest(ProviderCase):
    def test_one_uid_for_two_messages_fetches_both(self):
        texts = [message(1), message(2)]
        provider = self.provider([["same", texts[0]], ["same", texts[1]]])
        # Even a UID an earlier run stored names neither message once it is listed twice.
        with open(os.path.join(self.inst.spool, ACCOUNT + ".uidl"), "w") as f:
            f.write("same\r\n")
        self.inst.smartpop_run()
        self.assertEqual(self.collected(), texts, "the second message was deleted unread")
        self.assertEqual(provider.texts(), [])
        self.assertFalse(any(c.startswith("DELE") and "RETR " + c[5:] not in provider.commands()
                             for c in provider.commands()))

    def test_uids_reused_after_a_confirmed_quit_are_new_mail(self):
        provider = self.provider([["a", message(1)], ["b", message(2)]])
        self.inst.smartpop_run()
        self.assertEqual(provider.texts(), [])
        # The provider hands the same UIDs to new mail.
        provider.messages = [["a", message(3)], ["b", message(4)]]
        out = self.inst.smartpop_run()
        self.assertEqual(self.collected(), [message(i) for i in (1, 2, 3, 4)], out)
        self.assertEqual(provider.texts(), [])

    def test_unconfirmed_deletion_is_recognised_not_fetched_twice(self):
        provider = self.provider([["a", message(1)]], quit_reply=False)
        self.inst.smartpop_run()
        self.assertEqual(len(provider.texts()), 1, "no answered QUIT: the provider deleted nothing")
        provider.quit_reply = True
        self.inst.smartpop_run()
        self.assertEqual(self.collected(), [message(1)], "stored once")
        self.assertEqual(provider.texts(), [])
        self.assertNotIn("RETR 1", provider.sessions[1])


class BigMessageTest(ProviderCase):
    def notices(self):
        """Committed pairs for the postmaster: their texts."""
        found = []
        for name in sorted(n for n in os.listdir(self.inbox) if n.endswith(".wrk")):
            with open(os.path.join(self.inbox, name), "rb") as f:
                if f.read().split(b"\r\n")[1:2] == [b"postmaster"]:
                    with open(os.path.join(self.inbox, name[:-4] + ".txt"), "rb") as t:
                        found.append(t.read())
        return found

    def test_long_lines_arrive_whole(self):
        # 300 KiB lines: one that the provider dot-stuffs, one with CRs inside, then an ordinary message.
        long_text = message(1, b"." + b"x" * 300 * 1024 + b"\r\n" + b"ab\rcd" * 60000 + b"\r\nend\r\n")
        provider = self.provider([["a", long_text], ["b", message(2)]])
        out = self.inst.smartpop_run()
        self.assertEqual(self.collected(), [long_text, message(2)])
        self.assertEqual(self.closing(out), [f"SmartPop connection to {ACCOUNT} closed after 2 messages"])
        self.assertEqual(provider.texts(), [])

    def test_over_size_message_stays_skipped_and_postmaster_hears_once(self):
        self.inst.set_dword("AdvCon", "SmartPopMaxMessageSize", 100000)
        big = b"From: Big Sender <big@remote.test>\r\nSubject: the holiday photos\r\n\r\n" + b"y" * 76 * 2000
        provider = self.provider([["a", message(1)], ["big", big], ["c", message(3)]])
        out = self.inst.smartpop_run()
        self.assertEqual(self.collected(), [message(1), message(3)])
        self.assertEqual(provider.texts(), [big])
        self.assertEqual(self.closing(out), [f"SmartPop connection to {ACCOUNT} closed after 2 messages"])
        notices = self.notices()
        self.assertEqual(len(notices), 1)
        for text in (b"Big Sender <big@remote.test>", b"the holiday photos", b"%d bytes" % (len(big) + 2),
                     b"Date: ", b"Message-ID: <", b"To: postmaster"):
            self.assertIn(text, notices[0])
        # Later runs skip it without fetching it, and say nothing more to the postmaster.
        provider.messages.append(["d", message(4)])
        self.inst.smartpop_run()
        self.assertNotIn("RETR 1", provider.sessions[1])
        self.assertEqual(self.collected(), [message(1), message(3), message(4)])
        self.assertEqual(len(self.notices()), 1)
        self.assertEqual(provider.texts(), [big])

    def test_endless_message_ends_the_run_and_later_runs_skip_it(self):
        self.inst.set_dword("AdvCon", "SmartPopMaxMessageSize", 1000)
        endless = b"Subject: never ends\r\n\r\n" + b"z" * 1022 * 1024 * 17 + b"\r\n"  # past the drain bound
        provider = self.provider([["e", endless], ["f", message(2)]])
        out = self.inst.smartpop_run()
        self.assertEqual(self.closing(out), [f"SmartPop connection to {ACCOUNT} ended after 0 messages: an "
                                             "over-size message did not end; later runs skip it"])
        self.assertEqual(self.collected(), [])
        self.assertIn(b"more than", self.notices()[0])
        self.inst.smartpop_run()
        self.assertEqual(self.collected(), [message(2)])
        self.assertEqual(len(self.notices()), 1)
        self.assertEqual(provider.texts(), [endless])


class DotTest(ProviderCase):
    def test_provider_that_does_not_double_dots_loses_nothing(self):
        dotted = message(1, b".signature dash\r\n. a dot and a blank\r\n.\tdot tab\r\nlast line\r\n")
        provider = self.provider([["a", dotted], ["b", message(2)]], stuff_dots=False)
        out = self.inst.smartpop_run()
        self.assertEqual(self.collected(), [dotted, message(2)])
        self.assertEqual(self.closing(out), [f"SmartPop connection to {ACCOUNT} closed after 2 messages"])
        self.assertEqual(provider.texts(), [])


class LineBreakTest(ProviderCase):
    def test_password_with_a_line_break_never_reaches_the_wire(self):
        evil = "abc\r\nDELE 1"
        refused = [self.inst.run("postvane-admin", "smartpop", "add", ACCOUNT, "--password", evil, check=False),
                   self.inst.run("postvane-admin", "relay", "user", "x\ry", check=False),
                   self.inst.run("postvane-admin", "relay", "password", evil, check=False)]
        for proc in refused:
            self.assertEqual(proc.returncode, 2, proc.stderr)
            self.assertIn("control characters", proc.stderr)
        provider = self.provider([["a", message(1)]])
        self.inst.run("postvane-admin", "smartpop", "password", ACCOUNT, "tab\there", check=False)
        # Written straight into the store, past every tool.
        self.inst.set_string("SmartPop\\" + ACCOUNT, "pwd", evil)
        out = self.inst.smartpop_run()
        self.assertEqual(provider.commands(), ["USER u", "QUIT"])
        self.assertEqual(len(provider.texts()), 1)
        self.assertEqual(sum("holds a line break" in l for l in out), 1, out)
        self.assertFalse(any("DELE" in l or "abc" in l for l in out), "the secret stays out of the log")
        self.assertEqual(self.closing(out), [f"SmartPop connection to {ACCOUNT} closed after 0 messages"])


class ClosingLineTest(ProviderCase):
    def test_every_run_ends_with_exactly_one_line(self):
        provider = self.provider([["a", message(1)], ["b", message(2)]], quit_reply=False)
        key = "SmartPop\\" + ACCOUNT
        ends = {}
        out = self.inst.smartpop_run()
        ends["no answer to QUIT"] = self.closing(out)
        provider.quit_reply, provider.hang_up_at = True, "RETR"
        out = self.inst.smartpop_run()
        ends["dropped"] = self.closing(out)
        provider.hang_up_at = None
        self.inst.run("postvane-admin", "smartpop", "security", ACCOUNT, "tls")
        out = self.inst.smartpop_run()
        ends["TLS"] = self.closing(out)
        self.inst.run("postvane-admin", "smartpop", "security", ACCOUNT, "none")
        self.inst.set_dword(key, "port", free_port())
        out = self.inst.smartpop_run()
        ends["refused"] = self.closing(out)
        self.assertEqual(ends, {
            "no answer to QUIT": [f"SmartPop connection to {ACCOUNT} ended after 2 messages: the provider did not "
                                  "answer QUIT, so it may keep the messages marked for deletion (they are not "
                                  "fetched twice)"],
            "dropped": [f"SmartPop connection to {ACCOUNT} ended after 0 messages: the provider closed the "
                        "connection"],
            "TLS": [f"SmartPop connection to {ACCOUNT} ended after 0 messages: TLS could not be set up, so nothing "
                    "was asked"],
            "refused": [f"SmartPop connection to {ACCOUNT} ended after 0 messages: no connection to the provider "
                        "could be made"],
        })
        self.assertEqual(len(provider.texts()), 2, "nothing was deleted without an answered QUIT")


if __name__ == "__main__":
    unittest.main()
