"""Short load and fault runs (bench/load.py runs them at full size): nothing acknowledged is lost,
nothing is delivered, collected or sent twice or half-written, across kills of the server, a relay
and a provider that drop connections, and a spool whose file system fills up."""

import unittest

import pvload


class ReliabilityTest(unittest.TestCase):
    def assertExact(self, f):
        self.assertTrue(f["settled"], f"the queues never emptied: {f}")
        self.assertEqual(f["lost"], [], "acknowledged but never delivered or relayed")
        unexplained = [d for d in f["duplicated"] if d not in f["duplicated_in_kill_window"]]
        self.assertEqual(unexplained, [], "delivered or relayed more than once")
        self.assertLessEqual(len(f["duplicated_in_kill_window"]), f["kills"])
        self.assertEqual(f["corrupt"], [], "a copy whose text was cut or changed")
        self.assertEqual(f["misplaced"] + f["unknown"], [])
        self.assertEqual(f["leftovers"], [], "files left in the spool after an orderly stop")
        self.assertEqual(f["exit_code"], 0)

    def test_kills_and_a_dropping_relay_lose_and_double_nothing(self):
        run = pvload.LoadRun(clients=12, messages=40, users=3, kills=4, kill_spacing=(0.5, 1.5),
                             relay_drop_rate=1.0, relay_drops=5, seed=17, log=lambda *_: None,
                             relay_drop_points=["data-middle", "data-end", "MAIL", "RCPT", "DATA"])
        f = run.run()
        pvload.report(f, out=lambda *_: None)
        self.assertExact(f)
        self.assertEqual(f["acknowledged"], 12 * 40)
        self.assertEqual(f["kills"], 4)
        self.assertEqual(f["relay_drops"].get("data-middle"), 1, f["relay_drops"])
        self.assertEqual(f["delivered_local"], f["expected_local"])
        self.assertEqual(f["relayed"], f["expected_relayed"])
        # Only the kills cut conversations off: no refusal of good mail.
        self.assertEqual(f["error_replies"], 0, f["error_codes"])

    def test_provider_dropping_while_collected_loses_and_doubles_nothing(self):
        run = pvload.LoadRun(clients=4, messages=10, users=2, provider_messages=60, provider_drops=4,
                             relay_drop_rate=0.5, relay_drops=3, seed=23, log=lambda *_: None)
        f = run.run()
        self.assertExact(f)
        self.assertEqual(f["provider_collected"], 60)

    def test_full_spool_gives_temporary_errors_and_recovers_by_itself(self):
        f = pvload.disk_full_run()
        if "skipped" in f:
            self.skipTest(f["skipped"])
        full, nearly = f["replies"]["full"], f["replies"]["nearly"]
        self.assertIn(451, full, f"no temporary error while full: {f}")
        self.assertIn(451, nearly, f"space never ran out again: {f}")
        # "250" only for a message that is then delivered (checked below), else "451".
        for phase in (full, nearly):
            self.assertLessEqual(set(phase), {250, 451}, f"a refusal other than 451 for a full disk: {f}")
        self.assertEqual(f["replies"]["after"], {250: 20}, f"not recovered once space returned: {f}")
        self.assertEqual(f["lost"], [], f"acknowledged while full but never delivered: {f}")
        self.assertEqual(f["duplicated"], [])
        self.assertEqual(f["corrupt"], [])
        self.assertEqual(f["leftovers"], [], f)
        self.assertEqual(f["exit_code"], 0)
        # No retry loop without a pause: a handful of log lines per second at most.
        self.assertLess(f["log_lines_while_full"], 200, f["log_sample"])


if __name__ == "__main__":
    unittest.main()
