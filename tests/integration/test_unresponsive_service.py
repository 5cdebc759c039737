"""SIGTERM while the real agent waits on a service that never answers ends it in order."""
import os
import signal
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sandbox import Sandbox, emulated, main_binary, merge  # noqa: E402
from service import LocalService  # noqa: E402

BINARY = None


class UnresponsiveService(unittest.TestCase):
    def test_sigterm_ends_a_poll_that_never_gets_an_answer(self):
        with LocalService() as svc, Sandbox(BINARY) as box:
            poll_path = svc.service.config["poll_path"]
            svc.service.script(poll_path, [{"delay": 900}] * 4)
            # Without the stop, the poll alone would hold the agent for (3 + 1) x 300 s plus pauses.
            box.write_config(merge(svc.agent_settings(), {"http_access": {
                "retry_num": 3, "retry_interval_sec": 120, "http_timeout": 300}}))
            box.start()
            svc.wait_until(lambda: svc.requests_to(poll_path), what="the poll")
            box.signal(signal.SIGTERM)
            # One transfer slice, the executor's 5-second stop wait, and room for a loaded machine.
            self.assertEqual(box.wait_exit(timeout=60 if emulated() else 25), 0)
            text = box.log_text()
            self.assertIn("in http_access : stopped before attempt 2", text)
            self.assertIn("main end (Receive Signal : signal num=15)", text)
            self.assertEqual(len(svc.requests_to(poll_path)), 1)


if __name__ == "__main__":
    BINARY = main_binary()
    unittest.main(verbosity=2)
