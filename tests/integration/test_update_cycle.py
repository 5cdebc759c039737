"""Whole update cycles through the real agent: an order travels from the local service through the
database, the executor and the update scripts, and every outcome comes back as a report."""
import os
import re
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cycle_support import CycleCase, CODE, SCALE, Cycle, cycle_settings, local_text, order, parse_local, wait_row  # noqa: E402
from sandbox import main_binary  # noqa: E402
from service import dumps  # noqa: E402

BINARY = None
PACKAGES = [("curl", "7.88.1", "http://pkgs.example/curl_7.88.1_armhf.deb"),
            ("nano", "7.2-1", "http://pkgs.example/nano_7.2-1_armhf.deb")]


def report_text(number, message, status, when):
    item = {"item": "sw_upd", "message": message, "report_datetime": when, "status": status, "sw_upd_no": number}
    # The agent's JSON writer escapes every "/" as "\/".
    return dumps({"request": [item], "substratecode": CODE}).replace("/", "\\/")


class UpdateCycle(CycleCase):
    def start(self, orders, overrides=None):
        self.svc.service.queue_items(orders)
        self.box.write_config(cycle_settings(self.svc, overrides))
        self.box.start()

    def wait_log(self, fragment, count=1, timeout=30):
        return self.box.wait_for_log(fragment, timeout=timeout * SCALE, count=count)

    def wait_reports(self, count, timeout=30):
        self.svc.wait_until(lambda: len(self.svc.reports()) >= count, timeout=timeout * SCALE,
                            what="%d delivered reports" % count)
        return self.svc.reports()

    def assert_list_file(self, call, kind, number):
        directory, list_file = call["args"]
        self.assertEqual(directory, self.box.path("pkgs", str(number)))
        match = re.fullmatch(re.escape(self.box.path("pkg_list", "package_info_%s_" % kind))
                             + r"(\d{8}-\d{6})_id-%d\.list" % number, list_file)
        self.assertIsNotNone(match, list_file)
        self.assertEqual(call["list"],
                         "###################\n# %s package list\n#   create date: %s\n#\n" % (kind, match[1])
                         + "".join("%s %s %s\n" % p for p in PACKAGES))
        # The script's output went to the pass's own log file.
        log_file = self.box.path("upd_logs", "%s_%s_id-%d.log" % (kind, match[1], number))
        with open(log_file) as f:
            self.assertIn("%s of %s %s" % (kind.replace("update", "install"), directory, list_file), f.read())

    def test_order_downloads_then_installs_and_reports_each_stage(self):
        now = time.time()
        self.start([order(5, now, now + 7 * SCALE, PACKAGES, sep="/")])
        reports = self.wait_reports(2)
        (row_id,), = self.box.query("SELECT id FROM update_info")

        download, = self.cycle.calls("download")
        install, = self.cycle.calls("install")
        self.assert_list_file(download, "download", 5)
        self.assert_list_file(install, "update", 5)
        # Each script ran while its own stage was marked as running.
        self.assertEqual(download["rows"], {str(row_id): 11})
        self.assertEqual(install["rows"], {str(row_id): 21})

        self.assertEqual(len(reports), 2)
        ends = {e["kind"]: e["time"] for e in self.cycle.calls(phase="end")}
        for report, (message, status, kind) in zip(reports, [("download success", 12, "download"),
                                                             ("update success", 22, "install")]):
            when = report["json"]["request"][0]["report_datetime"]
            self.assertEqual(report["text"].decode(), report_text(5, message, status, when))
            # The second in which the stage's outcome was stored, right after its script ended.
            self.assertLessEqual(int(ends[kind]), parse_local(when))
            self.assertLessEqual(parse_local(when), ends[kind] + 2)
        # The install waited for its time.
        self.assertGreaterEqual(install["time"], int(now + 7 * SCALE))

        installed_at = reports[1]["json"]["request"][0]["report_datetime"].replace("/", "-")
        self.assertEqual(self.box.query("SELECT update_status, status_change_time FROM update_info"),
                         [(22, installed_at)])
        self.assertEqual(self.box.query("SELECT package_name, target_flag, old_version, download_flag, "
                                        "download_time FROM update_package ORDER BY id"),
                         [("curl", 1, "7.74.0", 21, installed_at), ("nano", 1, "", 21, installed_at)])
        wait_row(self.box, "SELECT order_status, response_json FROM order_info", [(12, reports[1]["text"].decode())])
        self.assertEqual(self.box.stop(), 0)

    def test_download_failing_every_trial_is_stored_reported_and_drops_the_install(self):
        now = time.time()
        self.cycle.behave(download={"exit": 3})
        # The install is due as well, so the same run would go on to it after a good download.
        self.start([order(6, now, now, PACKAGES, sep="-")],
                   {"software_update": {"proc_retry_num": 2, "proc_retry_wait_sec": 1}})
        self.wait_log("in UpdateThread : end : end result -> 4")
        reports = self.wait_reports(1)

        starts = self.cycle.calls("download")
        ends = self.cycle.calls("download", phase="end")
        self.assertEqual(len(starts), 3)
        for before, after in zip(ends, starts[1:]):
            self.assertGreaterEqual(after["time"] - before["time"], 0.9)
        self.assertEqual(self.cycle.calls("install"), [])

        # Trials before the last fail as warnings, the last as an error.
        retries = self.wait_log("download processing failed :ret -> 768 : retry after 1 seconds")
        self.assertEqual([" W : " in line for line in retries], [True, True])
        last, = self.wait_log("DOWNLOAD : FAILED! (4) : number of trials -> 2/2")
        self.assertIn(" E : ", last)
        self.wait_log("download -> execute : update -> execute")

        when = reports[0]["json"]["request"][0]["report_datetime"]
        self.assertEqual(reports[0]["text"].decode(), report_text(6, "download failed", 19, when))
        wait_row(self.box, "SELECT order_status, response_json FROM order_info", [(2, reports[0]["text"].decode())])
        self.assertEqual(self.box.query("SELECT update_status, status_change_time FROM update_info"),
                         [(19, when.replace("/", "-"))])
        self.assertEqual(self.box.stop(), 0)

    def test_second_due_update_waits_until_the_first_leaves_processing(self):
        now = time.time()
        self.cycle.behave(download={"sleep": 1.0})
        far = order(10, now, now, PACKAGES)
        # An install time past what 32-bit seconds hold is still a time to wait for.
        far.update(install_start_date="2099/01/01 00:00:00", install_end_date="2099/01/01 01:00:00")
        self.start([order(9, now, now + 3600, PACKAGES), far])
        self.wait_reports(2)
        ids = dict(self.box.query("SELECT sw_upd_no, id FROM update_info"))
        first_end = self.cycle.calls("download", phase="end")[0]
        second = self.cycle.calls("download")[1]
        self.assertEqual(first_end["rows"], {str(ids[9]): 11, str(ids[10]): 0})
        self.assertEqual(second["rows"], {str(ids[9]): 12, str(ids[10]): 11})
        self.assertGreater(second["time"], first_end["time"])
        wait_row(self.box, "SELECT update_status FROM update_info ORDER BY sw_upd_no", [(12,), (12,)])
        self.assertEqual(self.cycle.calls("install"), [])
        self.assertEqual(len([l for l in self.box.log_lines() if "download -> execute : update -> none" in l]), 2)
        self.assertEqual(self.box.stop(), 0)

    def test_kill_during_download_then_restart_runs_the_update_to_the_end(self):
        now = time.time()
        self.cycle.behave(download={"hold": True})
        self.start([order(11, now, now + 10 * SCALE, PACKAGES)])
        killed, = self.cycle.wait_calls("download", 1)
        (row_id,), = self.box.query("SELECT id FROM update_info")
        self.assertEqual(killed["rows"], {str(row_id): 11})
        self.box.proc.kill()
        self.assertEqual(self.box.wait_exit(timeout=10 * SCALE), -signal.SIGKILL)
        self.cycle.kill_scripts()
        self.assertEqual(self.box.query("SELECT update_status FROM update_info"), [(11,)])
        # As if the kill had caught the agent between opening and closing the database.
        lock = self.box.path("db", "db_rw.lock")
        open(lock, "w").close()

        # The restart puts the interrupted download back to wait; left at 11, nothing would run again.
        self.cycle.behave()
        self.box.start()
        self.wait_log("in init : remove lock file! [RW]")
        reports = self.wait_reports(2)
        wait_row(self.box, "SELECT order_status FROM order_info", [(12,)])

        self.assertEqual([r["json"]["request"][0]["message"] for r in reports],
                         ["download success", "update success"])
        first, again = self.cycle.calls("download")
        self.assertEqual(again["rows"], {str(row_id): 11})
        self.assertEqual(again["args"][0], first["args"][0])
        self.assertEqual(again["list"].splitlines()[4:], first["list"].splitlines()[4:])
        self.assertEqual(len(self.cycle.calls("install")), 1)
        self.assertEqual(self.box.query("SELECT COUNT(*) FROM order_info"), [(1,)])
        self.assertEqual(self.box.query("SELECT id, update_status FROM update_info"), [(row_id, 22)])
        self.assertEqual(self.box.stop(), 0)
        self.assertFalse(os.path.exists(lock))

    def test_cancel_before_the_download_time_runs_nothing(self):
        now = time.time()
        download_at = now + 7 * SCALE
        # The executor first looks after the order is stored and then waits for its download
        # time without looking again, so the cancel lands while the order is its chosen next step.
        self.start([order(12, download_at, now + 3600, PACKAGES)],
                   {"instruction_thread": {"delay_start_thread_time": 3, "loop_interval_sec": 30}})
        self.wait_log("update success : insert order info")
        (row_id,), = self.box.query("SELECT id FROM update_info")
        self.wait_log("<ORDER> find next order info  : type ->  : id(DB) -> %d : now status -> 0 : next time -> %d"
                      % (row_id, int(parse_local(local_text(download_at)))))
        self.svc.service.queue_items([{"item": "sw_update", "mode": "cancel", "sw_upd_no": 12}])
        self.box.signal(signal.SIGUSR1)
        self.wait_log("update success : insert order info", count=2)
        self.assertEqual(self.box.query("SELECT target_flag FROM update_package"), [(98,), (98,)])
        self.assertLess(time.time(), download_at, "the cancel came too late to test anything")

        # The stored cancel wakes the executor, which finds nothing left; the download time passes idle.
        self.wait_log("<ORDER> not find next order info")
        time.sleep(max(0.0, download_at + 2 - time.time()))
        self.assertEqual(self.cycle.calls(), [])
        self.assertEqual(self.svc.requests_to(self.svc.service.config["report_path"]), [])
        self.assertFalse(os.path.exists(self.box.path("pings.txt")))
        self.assertEqual(self.box.query("SELECT update_status FROM update_info"), [(98,)])
        self.assertEqual(self.box.query("SELECT order_status FROM order_info ORDER BY id"), [(-1,), (-1,)])
        self.assertEqual(self.box.stop(), 0)

    def test_sigterm_while_a_script_runs_ends_in_order(self):
        now = time.time()
        self.cycle.behave(download={"hold": True}, install={"hold": True})
        self.start([order(13, now, now + 8 * SCALE, PACKAGES)])
        self.cycle.wait_calls("download", 1)
        self.box.signal(signal.SIGTERM)
        self.wait_log("Main Thread Loop Finished")
        # The script ends while the agent closes: the update thread finishes its stages meanwhile.
        self.cycle.release("download")
        self.assertEqual(self.box.wait_exit(timeout=20 * SCALE), 0)

        # Next start: the install is due and its script is still running when the agent exits.
        self.box.start()
        installing, = self.cycle.wait_calls("install", 1)
        self.box.signal(signal.SIGTERM)
        self.assertEqual(self.box.wait_exit(timeout=20 * SCALE), 0)
        self.assertTrue(os.path.exists("/proc/%d" % installing["pid"]))
        self.assertEqual(self.cycle.calls("install", phase="end"), [])

        text = self.box.log_text()
        self.assertEqual(text.count("<ORDER> in LoopThread : end : end result -> 0"), 2)
        self.assertEqual(text.count("main end (Receive Signal : signal num=15)"), 2)
        self.assertEqual(text.count(" I : =========================================== <<<"), 2)
        self.assertTrue(self.box.log_lines()[-1].endswith(" I : =========================================== <<<"))
        self.assertEqual(self.box.stderr_text(), "")
        self.assertEqual(self.box.query("SELECT update_status FROM update_info"), [(21,)])

    def test_kill_during_a_slow_report_then_restart_delivers_it(self):
        now = time.time()
        report_path = self.svc.service.config["report_path"]
        self.svc.service.script(report_path, [{"delay": 20 * SCALE}])
        self.start([order(21, now, now + 3600, PACKAGES)], {"http_access": {"http_timeout": 60}})
        self.svc.wait_until(lambda: self.svc.requests_to(report_path), timeout=30 * SCALE, what="the slow report")
        self.box.proc.kill()
        self.assertEqual(self.box.wait_exit(timeout=10 * SCALE), -signal.SIGKILL)
        self.cycle.kill_scripts()
        # The outcome and its report were stored together, queued to be sent.
        (status, report), = self.box.query("SELECT order_status, response_json FROM order_info")
        self.assertEqual(status, 1)
        self.assertIn("download success", report)

        self.box.start()
        self.svc.wait_until(lambda: [r["text"].decode() for r in self.svc.reports()] == [report],
                            timeout=30 * SCALE, what="the report after the restart")
        self.wait_log("success to send unsent result", timeout=10)
        self.assertEqual(self.box.stop(), 0)
        self.assertEqual(self.box.query("SELECT order_status FROM order_info"), [(2,)])


if __name__ == "__main__":
    BINARY = CycleCase.binary = main_binary()
    unittest.main(verbosity=2)
