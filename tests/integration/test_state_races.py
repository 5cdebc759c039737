"""Faults between processes: the agent killed at the worst moment of a run, then started again.
Each case must end with every finished stage reported to the service, never with silence."""
import os
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cycle_support import SCALE, Cycle, cycle_settings, order, snapshot  # noqa: E402
from sandbox import Sandbox  # noqa: E402
from service import LocalService  # noqa: E402

BINARY = None
PACKAGES = [("curl", "7.88.1", "http://pkgs.example/curl_7.88.1_armhf.deb")]

# (name, install offset from now, the report that is slow when the kill comes, its message)
KILLS = [
    ("download report", 3600, 0, "download success"),
    ("install report", 0, 1, "update success"),
]


class StateRaces(unittest.TestCase):
    def test_kill_during_a_slow_report_then_restart_delivers_it(self):
        for name, install_in, slow_index, message in KILLS:
            with self.subTest(name), LocalService() as svc, Sandbox(BINARY) as box:
                cycle = Cycle(box)
                now = time.time()
                svc.service.queue_items([order(21, now, now + install_in, PACKAGES)])
                report_path = svc.service.config["report_path"]
                # Every report before the slow one is answered at once; the slow one never in time.
                svc.service.script(report_path, [{}] * slow_index + [{"delay": 20 * SCALE}])
                box.write_config(cycle_settings(svc, {"http_access": {"http_timeout": 60}}))
                box.start()
                svc.wait_until(lambda: len(svc.requests_to(report_path)) > slow_index, timeout=30 * SCALE,
                               what="the slow report")
                box.proc.kill()
                self.assertEqual(box.wait_exit(timeout=10 * SCALE), -signal.SIGKILL)
                cycle.kill_scripts()
                # The outcome and its report were stored together, queued to be sent.
                (status, report), = snapshot(box, "SELECT order_status, response_json FROM order_info")
                self.assertIn(status, (1, 11))
                self.assertIn(message, report)

                box.start()
                svc.wait_until(lambda: any(r["json"]["request"][0]["message"] == message for r in svc.reports()),
                               timeout=30 * SCALE, what="the report after the restart")
                box.wait_for_log("success to send unsent result", timeout=10 * SCALE)
                self.assertEqual(box.stop(), 0)
                self.assertEqual(snapshot(box, "SELECT order_status FROM order_info"), [(status + 1,)])


if __name__ == "__main__":
    BINARY = sys.argv.pop(1)
    unittest.main(verbosity=2)
