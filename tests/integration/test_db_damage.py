"""A database file damaged while the agent is stopped or running is moved aside, and a new one carries the work in
hand: nothing waiting is lost, no install runs twice, no row stays processing, and new orders are stored."""
import glob
import json
import os
import signal
import sqlite3
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cycle_support import SCALE, Cycle, cycle_settings, local_text, order, wait_row  # noqa: E402
from sandbox import Sandbox, main_binary, merge, wait_until  # noqa: E402
from service import LocalService  # noqa: E402

BINARY = None
PAGE = 4096
FAR = 4070908800  # 2099


def populate(path):
    """Work in hand first: a waiting update with two packages (101), an install cut off by a stop (102), a
    report never delivered (103) and a boot time never acknowledged; then 60 finished orders."""
    past, far = local_text(time.time() - 60), local_text(FAR)
    conn = sqlite3.connect(path)
    with conn:
        ex = conn.execute
        for oid, number, status, order_status, when in ((1, 101, 0, -1, far), (2, 102, 21, -1, past),
                                                        (3, 103, 22, 11, past)):
            ex("INSERT INTO order_info (id, receive_json, order_kind, order_status, response_json) VALUES "
               "(?, ?, 2, ?, ?)", (oid, json.dumps({"sw_upd_no": number}), order_status,
                                   '{"undelivered":%d}' % number if order_status == 11 else None))
            ex("INSERT INTO update_info (id, order_info_id, sw_upd_no, update_status, download_start_time, "
               "download_end_time, update_start_time, update_end_time) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
               (oid, oid, number, status, when, far, when, far))
        for number, name in ((101, "curl"), (101, "zlib"), (102, "vim")):
            ex("INSERT INTO update_package (sw_upd_no, package_name, package_version, package_url, target_flag) "
               "VALUES (?, ?, '9.9', 'http://x/p.deb', 1)", (number, name))
        ex("INSERT INTO os_boot_time (boot_time, is_send) VALUES ('2026-11-30 07:00:00', 0)")
        for n in range(4, 64):
            ex("INSERT INTO order_info (id, receive_json, order_kind, order_status) VALUES (?, ?, 2, 12)",
               (n, "f" * 2000))
            ex("INSERT INTO update_info (order_info_id, sw_upd_no, update_status) VALUES (?, ?, 22)", (n, n + 1000))
            ex("INSERT INTO update_package (sw_upd_no, package_name, package_version, package_url) VALUES "
               "(?, 'old', '1', 'http://x/o.deb')", (n + 1000,))
    conn.close()


def leaves(path, table):
    conn = sqlite3.connect(path)
    try:
        return [p for (p,) in conn.execute("SELECT pageno FROM dbstat WHERE name = ? AND pagetype = 'leaf' "
                                           "ORDER BY path", (table,))]
    finally:
        conn.close()


def zero(path, *pages):
    with open(path, "r+b") as f:
        for page in pages:
            f.seek((page - 1) * PAGE)
            f.write(b"\0" * PAGE)


def zero_last_page(path):
    zero(path, os.path.getsize(path) // PAGE)


def zero_two_middle_leaves(path):
    pages = leaves(path, "order_info")
    zero(path, pages[len(pages) // 2 - 1], pages[len(pages) // 2 + 1])


def cut_short(path):
    os.truncate(path, os.path.getsize(path) // PAGE * 3 // 4 * PAGE)


class DbDamage(unittest.TestCase):
    def prepared(self, svc, box, overrides=None):
        """A database the agent built, filled while it is stopped; its path."""
        box.write_config(merge(cycle_settings(svc), {"order_check": {"delay_start_time": 300}}))
        box.start()
        box.wait_for_log("Add OS Boot Time : DB save success")
        self.assertEqual(box.stop(), 0)
        path = box.path("db", "velk.db")
        populate(path)
        box.write_config(cycle_settings(svc, overrides))
        return path

    def check_work_in_hand(self, box, cycle, svc):
        wait_row(box, "SELECT id, update_status FROM update_info WHERE sw_upd_no IN (101, 102) ORDER BY id",
                 [(1, 0), (2, 22)])
        self.assertEqual(box.query("SELECT package_name FROM update_package WHERE sw_upd_no IN (101, 102) "
                                   "ORDER BY id"), [("curl",), ("zlib",), ("vim",)])
        self.assertEqual(box.query("SELECT COUNT(*) FROM os_boot_time WHERE boot_time = '2026-11-30 07:00:00'"),
                         [(1,)])
        wait_until(lambda: {"undelivered": 103} in [r["json"] for r in svc.reports()], 30 * SCALE,
                   "the undelivered report", box)
        self.assertEqual(len(cycle.calls("install")), 1)  # the cut-off install, once
        self.assertEqual(box.query("SELECT COUNT(*) FROM update_info WHERE update_status IN (11, 21)"), [(0,)])

    def test_damage_found_at_start(self):
        for name, damage in (("last page zeroed", zero_last_page),
                             ("two middle pages zeroed", zero_two_middle_leaves), ("file cut short", cut_short)):
            with self.subTest(name), LocalService() as svc, Sandbox(BINARY) as box:
                cycle = Cycle(box)
                path = self.prepared(svc, box)
                damage(path)
                with open(path, "rb") as f:
                    damaged = f.read()
                box.start()
                self.check_work_in_hand(box, cycle, svc)
                aside = glob.glob(path + ".broken-*")
                self.assertEqual(len(aside), 1)
                with open(aside[0], "rb") as f:
                    self.assertEqual(f.read(), damaged)
                self.assertIn("damaged db file moved aside -> " + aside[0], box.log_text())
                svc.service.queue_items([order(104, FAR, FAR, [("curl", "9.9", "http://x/c.deb")])])
                box.signal(signal.SIGUSR1)
                wait_row(box, "SELECT update_status FROM update_info WHERE sw_upd_no = 104", [(0,)])
                self.assertEqual(box.stop(), 0)

    def test_damage_met_while_running(self):
        with LocalService() as svc, Sandbox(BINARY) as box:
            cycle = Cycle(box)
            # One executor pass only, so that the damage is met by the order's own insert.
            path = self.prepared(svc, box, {"instruction_thread": {"loop_interval_sec": 600}})
            box.start()
            self.check_work_in_hand(box, cycle, svc)
            box.wait_for_log("update os boot time send flag")
            # The executor's pass after the install has ended; it sleeps until the order is stored.
            box.wait_for_log("id(DB) -> 1 : now status -> 0 : next time -> %d" % FAR)
            zero(path, leaves(path, "order_info")[-1])
            svc.service.queue_items([order(105, FAR, FAR, [("curl", "9.9", "http://x/c.deb")])])
            box.signal(signal.SIGUSR1)
            wait_row(box, "SELECT update_status FROM update_info WHERE sw_upd_no = 105", [(0,)])
            self.assertEqual(len(glob.glob(path + ".broken-*")), 1)
            self.assertIn("orders wait for the database", box.log_text())
            self.assertEqual(box.query("SELECT COUNT(*) FROM order_info WHERE receive_json LIKE "
                                       "'%\"sw_upd_no\":105%'"), [(1,)])
            # Finished by then, 102 is no longer work in hand.
            self.assertEqual(box.query("SELECT id, update_status FROM update_info WHERE sw_upd_no IN (101, 102)"),
                             [(1, 0)])
            self.assertEqual(box.query("SELECT COUNT(*) FROM update_package WHERE sw_upd_no = 101"), [(2,)])
            self.assertEqual([f for f in os.listdir(box.path("db")) if f.startswith("order-spool-")], [])
            self.assertEqual(len(cycle.calls("install")), 1)
            self.assertEqual(box.stop(), 0)


if __name__ == "__main__":
    BINARY = main_binary()
    unittest.main(verbosity=2)
