"""Whole update cycles through the real agent: an order travels from the fake service through the
database, the executor and the update scripts, and every outcome comes back as a report."""
import os
import re
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cycle_support import (CODE, SCALE, Cycle, ReportGate, StatusSampler, cycle_settings,  # noqa: E402
                           local_text, order, parse_local, report_bodies, snapshot, wait_row)
from sandbox import Sandbox  # noqa: E402
from service import LocalService, dumps  # noqa: E402

BINARY = None
PACKAGES = [("curl", "7.88.1", "http://pkgs.example/curl_7.88.1_armhf.deb"),
            ("nano", "7.2-1", "http://pkgs.example/nano_7.2-1_armhf.deb")]
UPDATE_ROW = "SELECT update_status FROM update_info WHERE id = ?"


def report_text(number, message, status, when):
    # The agent's JSON writer escapes every "/" as "\/".
    return dumps({"request": [{"item": "sw_upd", "message": message, "report_datetime": when,
                               "status": status, "sw_upd_no": number}], "substratecode": CODE}).replace("/", "\\/")


class UpdateCycle(unittest.TestCase):
    def setUp(self):
        self.svc = LocalService()
        self.box = Sandbox(BINARY)
        self.cycle = Cycle(self.box)

    def tearDown(self):
        self.cycle.kill_scripts()
        self.box.close()
        self.svc.close()

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
        self.cycle.behave(download={"sleep": 0.3}, install={"sleep": 0.3})
        with StatusSampler(self.box) as sampler:
            self.start([order(5, now, now + 7, PACKAGES, sep="/")])
            self.wait_log("update success : insert order info")
            (row_id, order_id), = snapshot(self.box, "SELECT id, order_info_id FROM update_info")
            reports = self.wait_reports(2)
            wait_row(self.box, "SELECT order_status FROM order_info WHERE id = ?", [(12,)], args=(order_id,))
            self.assertEqual(sampler.update_seq(row_id), [0, 11, 12, 21, 22])
            self.assertEqual(sampler.order_seq(order_id)[-2:], [2, 12])

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
            self.assertLessEqual(ends[kind] - 1, parse_local(when) + 1)
        self.assertLess(parse_local(reports[0]["json"]["request"][0]["report_datetime"]),
                        parse_local(reports[1]["json"]["request"][0]["report_datetime"]) + 1)

        installed_at = reports[1]["json"]["request"][0]["report_datetime"].replace("/", "-")
        self.assertEqual(snapshot(self.box, "SELECT update_status, status_change_time FROM update_info"),
                         [(22, installed_at)])
        self.assertEqual(snapshot(self.box, "SELECT package_name, target_flag, old_version, download_flag, "
                                            "download_time FROM update_package ORDER BY id"),
                         [("curl", 1, "7.74.0", 21, installed_at), ("nano", 1, "", 21, installed_at)])
        self.assertEqual(snapshot(self.box, "SELECT order_status, response_json FROM order_info"),
                         [(12, reports[1]["text"].decode())])
        text = self.box.log_text()
        self.assertIn("in UpdateThread : download -> execute : update -> none", text)
        self.assertIn("network access OK!", text)
        self.assertIn("===== ----- ===== ----- ===== ----- ===== UPDATE : SUCCESS", text)
        self.assertEqual(self.box.stop(), 0)


if __name__ == "__main__":
    BINARY = sys.argv.pop(1)
    unittest.main(verbosity=2)
