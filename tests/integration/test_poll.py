"""The real agent polls the local monitoring service over HTTPS: boot time, order check, signals, failures, hangs,
and an exit while a report hangs."""
import os
import signal
import sqlite3
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sandbox import Sandbox, emulated, merge, main_binary  # noqa: E402
from service import LocalService, dumps  # noqa: E402

BINARY = None
BOOT = "2026-12-01 08:00:00"
CODE = "SUBSTRATE-0001"
# A download stage that is due, so every start sends one report at once.
DUE_STAGE = """DELETE FROM order_info; DELETE FROM update_info; DELETE FROM update_package;
INSERT INTO order_info (id, receive_json, order_kind) VALUES (1, '{}', 2);
INSERT INTO update_info (order_info_id, sw_upd_no, update_status, download_start_time, download_end_time,
  update_start_time, update_end_time) VALUES (1, 5, 0, '2020/01/01 00:00:00', '2099/01/01 00:00:00',
  '2099/01/01 00:00:00', '2099/01/02 00:00:00');
INSERT INTO update_package (sw_upd_no, package_name, package_version, package_url, target_flag)
  VALUES (5, 'curl', '1.0', 'http://127.0.0.1:1/c.deb', 1);"""


class Poll(unittest.TestCase):
    def test_boot_time_signal_poll_failed_send_orders_and_bad_answers(self):
        # Credentials of the service's own choosing: the agent logs in with what the service enciphered.
        with LocalService({"user": "operator-7", "password": "s{3}cr[e]t~xZ"}) as svc, Sandbox(BINARY) as box:
            poll_path = svc.service.config["poll_path"]
            # The first poll is dropped mid-request: a failed send that keeps both kinds pending.
            svc.service.script(poll_path, [{"drop": True}])
            box.write_config(merge(svc.service.agent_settings(), {"order_check": {"check_interval_sec": 60}}))
            box.start()
            box.wait_for_log("send request failed : result -> 1")
            self.assertEqual(box.query("SELECT boot_time, is_send FROM os_boot_time"), [(BOOT, 0)])

            box.signal(signal.SIGUSR1)
            svc.wait_until(lambda: len(svc.poll_bodies()) >= 3, what="the order poll and the one after it")
            box.wait_for_log("receive json : has order info  DB insert-> true", count=2)

            with_boot = dumps({"request": [{"boot_datetime": [BOOT], "item": "boot_time"},
                                           {"item": "chk_sw_upd"}], "substratecode": CODE})
            only_check = dumps({"request": [{"item": "chk_sw_upd"}], "substratecode": CODE})
            self.assertEqual(svc.poll_bodies()[:3], [with_boot, with_boot, only_check])

            self.assertEqual(box.stop(), 0)
            # A second start within the same boot stores nothing new, and the acknowledged boot time stays sent.
            box.write_command("dpkg-query", "#!/bin/sh\nprintf 'curl\\thold ok installed\\t7.88.1\\n'\n")
            svc.service.queue_items([{
                "item": "sw_update", "mode": "new", "sw_upd_no": 7,
                "download_start_date": "2099/01/01 00:00:00", "download_end_date": "2099/01/01 01:00:00",
                "install_start_date": "2099-01-02 00:00:00", "install_end_date": "2099-01-02 01:00:00",
                "pkg_update": [
                    {"pkg_name": "curl", "pkg_version": "7.88.1", "pkg_url": "http://x/curl.deb"},
                    {"pkg_name": "nano", "pkg_version": "7.2", "pkg_url": "http://x/nano.deb"},
                    {"pkg_name": "evil", "pkg_version": "1.0\nrm -rf /", "pkg_url": "http://x/e.deb"},
                ]}])
            box.start()
            box.wait_for_log("Add OS Boot Time : already added to DB (row_id=1)")
            svc.wait_until(lambda: len(svc.poll_bodies()) >= 4, what="the poll after the restart")
            self.assertEqual(svc.poll_bodies()[3], only_check)

            # The order that answer carried is stored, the unsafe package skipped.
            box.wait_for_log("update success : insert order info")
            rows = box.query("SELECT sw_upd_no, update_status, download_start_time, update_start_time "
                             "FROM update_info")
            self.assertEqual(rows, [(7, 0, "2099/01/01 00:00:00", "2099-01-02 00:00:00")])
            packages = box.query("SELECT package_name, package_version, target_flag, old_version "
                                 "FROM update_package ORDER BY id")
            self.assertEqual(packages, [("curl", "7.88.1", 81, "7.88.1"), ("nano", "7.2", 1, "")])
            self.assertIn("no have package data", box.log_text())

            # Answers that are not usable change nothing and do not stop the agent.
            svc.service.script(poll_path, [{"body": "not json"}, {"body": "[1,2]"}, {"body": '{"x":1}'}])
            for _ in range(3):
                count = len(svc.poll_bodies())
                box.signal(signal.SIGUSR1)
                svc.wait_until(lambda: len(svc.poll_bodies()) >= count + 1, what="a signalled poll")
            box.wait_for_log("json parse error", count=2)
            self.assertEqual(box.query("SELECT COUNT(*) FROM order_info"), [(1,)])
            self.assertEqual(box.stop(), 0)

    def test_sigterm_ends_a_poll_that_never_gets_an_answer(self):
        with LocalService() as svc, Sandbox(BINARY) as box:
            poll_path = svc.service.config["poll_path"]
            svc.service.script(poll_path, [{"delay": 900}] * 4)
            # Without the stop, the poll alone would hold the agent for (3 + 1) x 300 s plus pauses.
            box.write_config(merge(svc.service.agent_settings(), {"http_access": {
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

    def test_sigterm_during_a_hanging_report_ends_with_status_0_and_no_exit_handlers(self):
        # Again and again: the exit races the update thread. A preloaded probe marks any exit handler run.
        with LocalService() as svc, Sandbox(BINARY) as box:
            box.write_command("ping", "#!/bin/sh\nexit 0\n")
            box.write_command("download.sh", "#!/bin/sh\nexit 0\n")
            box.write_config(merge(svc.service.agent_settings(), {
                "instruction_thread": {"delay_start_thread_time": 0},
                "http_access": {"http_timeout": 60}}))
            box.start()
            box.wait_for_log("wait before main processing > end")
            self.assertEqual(box.stop(), 0)
            reports = lambda: len(svc.requests_to(svc.service.config["report_path"]))  # noqa: E731
            mark = box.path("exit-handlers-ran")
            probe = dict(os.environ, LD_PRELOAD=os.environ.get("VELK_EXIT_PROBE", ""), VELK_EXIT_MARK=mark)
            for run in range(20):
                conn = sqlite3.connect(box.path("db", "velk.db"))
                conn.executescript(DUE_STAGE)
                conn.close()
                sent = reports()
                svc.service.script(svc.service.config["report_path"], [{"delay": 60, "body": "{}"}])
                box.start(env=probe)
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
