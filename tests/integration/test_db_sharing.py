"""The database folder shared with others: operators reading it, a lock file left by someone else, a
second agent started on it."""
import collections
import os
import signal
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cycle_support import CycleCase, SCALE, Cycle, cycle_settings, order  # noqa: E402
from sandbox import Sandbox, main_binary, wait_until  # noqa: E402

BINARY = None
PACKAGES = [("curl", "7.88.1", "http://pkgs.example/curl_7.88.1_armhf.deb")]


class DbSharing(CycleCase):
    def start(self, box, orders=()):
        self.svc.service.queue_items(list(orders))
        box.write_config(cycle_settings(self.svc, {"database": {"db_path": self.box.path("db")}}))
        box.start()
        box.wait_for_log("Main Thread Loop Start", timeout=20 * SCALE)

    def test_status_loops_never_fail_the_agents_commits(self):
        velkctl = os.environ.get("VELK_EMULATOR", "").split() + [os.path.join(os.path.dirname(BINARY), "velkctl")]
        now = time.time()
        self.start(self.box, [order(n, now, now + 1, PACKAGES) for n in range(1, 11)])
        stop = threading.Event()

        def read_loop():
            while not stop.is_set():
                subprocess.run(velkctl + ["--config", self.box.path("velk.conf"), "status"],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        readers = [threading.Thread(target=read_loop, daemon=True) for _ in range(2)]
        for reader in readers:
            reader.start()
        try:
            self.svc.wait_until(lambda: len(self.svc.reports()) >= 20, timeout=120 * SCALE, what="20 reports")
            time.sleep(2)  # a stage run twice would report once more meanwhile
        finally:
            stop.set()
            for reader in readers:
                reader.join()
        messages = collections.Counter((r["json"]["request"][0]["sw_upd_no"], r["json"]["request"][0]["message"])
                                       for r in self.svc.reports())
        self.assertEqual(messages, {(n, m): 1 for n in range(1, 11) for m in ("download success", "update success")})
        installs = collections.Counter(os.path.basename(c["args"][0]) for c in self.cycle.calls("install"))
        self.assertEqual(installs, {str(n): 1 for n in range(1, 11)})
        self.assertEqual(self.box.query("SELECT COUNT(*) FROM update_info WHERE update_status <> 22"), [(0,)])
        # Mends that retry hide a refused write from the figures above, not from the log.
        refused = [line for line in self.box.log_lines() if " E : " in line or "failed to commit" in line
                   or "not stored" in line or "processing status : failed" in line]
        self.assertEqual(refused, [])
        self.assertEqual(self.box.stop(), 0)

    def test_foreign_lock_file_does_not_hold_the_exit(self):
        self.start(self.box)
        open(self.box.path("db", "db_rw.lock"), "w").close()
        # The poll brings an order to store: the main thread then waits for the lock as well.
        self.svc.service.queue_items([order(1, time.time() + 3600, time.time() + 7200, PACKAGES)])
        self.box.signal(signal.SIGUSR1)
        time.sleep(2)
        began = time.monotonic()
        self.box.signal(signal.SIGTERM)
        self.assertEqual(self.box.wait_exit(timeout=20 * SCALE), 0)
        self.assertLess(time.monotonic() - began, 5 * SCALE)
        self.assertIn("main end (Receive Signal : signal num=15)", self.box.log_text())

    def test_second_agent_on_the_same_folder_exits_at_once(self):
        self.start(self.box)
        polls = len(self.svc.poll_bodies())
        # As if the first agent were inside a transaction: the second must leave its lock alone.
        lock = self.box.path("db", "db_rw.lock")
        wait_until(lambda: not os.path.exists(lock), 10 * SCALE, "the lock free")
        open(lock, "w").close()
        with Sandbox(BINARY) as second:
            second.write_config(cycle_settings(self.svc, {"database": {"db_path": self.box.path("db")}}))
            second.start()
            status = second.wait_exit(timeout=10 * SCALE)
            self.assertNotEqual(status, 0)
            line = "another agent runs on the database folder %s" % self.box.path("db")
            self.assertIn(line, second.stderr_text())
            self.assertIn(line, second.log_text())
            self.assertNotIn("called main method", second.log_text())
        self.assertTrue(os.path.exists(lock))
        os.remove(lock)
        self.box.signal(signal.SIGUSR1)
        self.svc.wait_until(lambda: len(self.svc.poll_bodies()) > polls, timeout=20 * SCALE, what="a poll")
        self.assertEqual(self.box.stop(), 0)


if __name__ == "__main__":
    BINARY = CycleCase.binary = main_binary()
    unittest.main(verbosity=2)
