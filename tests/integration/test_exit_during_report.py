"""Through the real binary: SIGTERM while an update thread's report hangs ends the process with status 0
and its closing lines, without running its exit handlers (a preloaded probe leaves a mark), again and again."""
import os
import signal
import sqlite3
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sandbox import Sandbox, main_binary  # noqa: E402
from service import LocalService  # noqa: E402

# A download stage that is due, so every start sends one report at once.
DUE_STAGE = """DELETE FROM order_info; DELETE FROM update_info; DELETE FROM update_package;
INSERT INTO order_info (id, receive_json, order_kind) VALUES (1, '{}', 2);
INSERT INTO update_info (order_info_id, sw_upd_no, update_status, download_start_time, download_end_time,
  update_start_time, update_end_time) VALUES (1, 5, 0, '2020/01/01 00:00:00', '2099/01/01 00:00:00',
  '2099/01/01 00:00:00', '2099/01/02 00:00:00');
INSERT INTO update_package (sw_upd_no, package_name, package_version, package_url, target_flag)
  VALUES (5, 'curl', '1.0', 'http://127.0.0.1:1/c.deb', 1);"""


class ExitDuringReport(unittest.TestCase):
    def test_sigterm_during_a_hanging_report(self):
        with LocalService() as svc, Sandbox(BINARY) as box:
            box.write_command("ping", "#!/bin/sh\nexit 0\n")
            box.write_command("download.sh", "#!/bin/sh\nexit 0\n")
            box.write_config(dict(svc.service.agent_settings(), instruction_thread={"delay_start_thread_time": 0},
                                  log={"log_max_bytes": 1 << 24},  # no rotation cuts a run's closing lines apart
                                  http_access={"ca_cert_file": svc.service.ca_file, "http_timeout": 60}))
            box.start()
            box.wait_for_log("wait before main processing > end")
            self.assertEqual(box.stop(), 0)
            reports = lambda: len(svc.requests_to(svc.service.config["report_path"]))  # noqa: E731
            mark = box.path("exit-handlers-ran")
            os.environ.update(LD_PRELOAD=os.environ.get("VELK_EXIT_PROBE", ""), VELK_EXIT_MARK=mark)
            for run in range(20):
                conn = sqlite3.connect(box.path("db", "velk.db"))
                conn.executescript(DUE_STAGE)
                conn.close()
                sent = reports()
                svc.service.script(svc.service.config["report_path"], [{"delay": 60, "body": "{}"}])
                box.start()
                svc.wait_until(lambda: reports() > sent, what="a report")
                box.signal(signal.SIGTERM)
                self.assertEqual(box.wait_exit(30), 0, "run %d" % run)
                # Update threads are not waited for: a line of theirs may follow the closing lines.
                run_log = box.log_text().rsplit("Corvane execution.")[-1]
                self.assertIn("main end (Receive Signal : signal num=15)", run_log)
                self.assertIn("=========================================== <<<", run_log.split("signal num=15")[-1])
                self.assertFalse(os.path.exists(mark), "exit handlers ran in run %d" % run)


if __name__ == "__main__":
    BINARY = main_binary()
    unittest.main(verbosity=2)
