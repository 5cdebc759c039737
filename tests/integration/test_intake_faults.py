"""Orders that arrive while the database folder is full or read-only wait, kept on disk or in memory, and are
stored once the disk takes them, in arrival order; unsent boot times go out with the first poll of every start."""
import os
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sandbox import Sandbox, main_binary, merge, wait_until  # noqa: E402
from service import LocalService  # noqa: E402

BINARY = None


def order(number):
    return {"item": "sw_update", "mode": "new", "sw_upd_no": number,
            "download_start_date": "2099/01/01 00:00:00", "download_end_date": "2099/01/01 01:00:00",
            "install_start_date": "2099-01-02 00:00:00", "install_end_date": "2099-01-02 01:00:00",
            "pkg_update": [{"pkg_name": "curl", "pkg_version": "9.9", "pkg_url": "http://x/curl.deb"}]}


def fill(folder, room=0):
    """Takes every free block of the filesystem but `room` bytes; returns the filler's end."""
    with open(os.path.join(folder, "reserve"), "wb") as out:
        out.write(b"\0" * room)
    subprocess.call(["dd", "if=/dev/zero", "of=" + os.path.join(folder, "filler"), "bs=4k"],
                    stderr=subprocess.DEVNULL)
    os.remove(os.path.join(folder, "reserve"))
    return lambda: os.path.exists(os.path.join(folder, "filler")) and os.remove(os.path.join(folder, "filler"))


def remount(folder, mode):
    # The agent holds no file there between its steps; one caught mid-step only delays the remount.
    deadline = time.monotonic() + 10
    while subprocess.call(["mount", "-o", "remount," + mode, folder], stderr=subprocess.DEVNULL) != 0:
        if time.monotonic() > deadline:
            raise AssertionError("remount %s of %s failed" % (mode, folder))
        time.sleep(0.05)


class IntakeFaults(unittest.TestCase):
    @unittest.skipUnless(os.geteuid() == 0, "mounting a small tmpfs for the database folder needs root")
    def test_orders_wait_out_a_full_or_read_only_database_folder(self):
        with LocalService() as svc, Sandbox(BINARY) as box:
            folder = box.path("db")
            os.makedirs(folder)
            subprocess.check_call(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", folder])
            self.addCleanup(subprocess.call, ["umount", "-l", folder])
            box.write_config(merge(svc.service.agent_settings(), {"order_check": {"check_interval_sec": 600}}))
            box.start()
            svc.service.queue_items([order(1)])
            box.wait_for_log("update success : insert order info")
            cases = [  # name, fault (returning its end), whether a signalled poll follows the end
                ("full", lambda: fill(folder), True),
                ("room for the answer only", lambda: fill(folder, 8192), True),
                # Stored by the agent's own retry, long before the next poll.
                ("read-only", lambda: remount(folder, "ro") or (lambda: remount(folder, "rw")), False),
            ]
            rows = lambda n: box.query("SELECT update_status FROM update_info WHERE sw_upd_no = ?", (n,))  # noqa
            for number, (name, fault, poll) in enumerate(cases, start=2):
                with self.subTest(name):
                    waits = len([ln for ln in box.log_lines() if "orders wait for the database" in ln])
                    end = fault()
                    try:
                        svc.service.queue_items([order(number), dict(order(number), mode="cancel")])
                        box.signal(signal.SIGUSR1)
                        box.wait_for_log("orders wait for the database", count=waits + 1)
                        self.assertEqual(rows(number), [])
                    finally:
                        end()
                    if poll:
                        box.signal(signal.SIGUSR1)
                    wait_until(lambda: (98,) in rows(number), what="order %d stored" % number, box=box)
                    # Stored once, and the cancel after the order.
                    self.assertEqual(rows(number), [(98,)])
                    self.assertEqual([f for f in os.listdir(folder) if f.startswith("order-spool-")], [])
            self.assertTrue("held in memory until its orders are stored" in box.log_text())
            self.assertEqual(box.stop(), 0)

    def test_unsent_boot_time_goes_out_with_the_first_poll_of_every_start(self):
        with LocalService() as svc, Sandbox(BINARY) as box:
            # Stored, then stopped before any poll, as when a package install restarts the agent.
            box.write_config(merge(svc.service.agent_settings(), {"order_check": {"delay_start_time": 300}}))
            box.start()
            box.wait_for_log("Add OS Boot Time : DB save success")
            self.assertEqual(box.stop(), 0)
            box.write_config(svc.service.agent_settings())
            box.start()
            box.wait_for_log("update os boot time send flag")
            self.assertIn('"item":"boot_time"', svc.poll_bodies()[0])
            self.assertEqual(box.query("SELECT is_send FROM os_boot_time"), [(1,)])
            self.assertEqual(box.stop(), 0)


if __name__ == "__main__":
    BINARY = main_binary()
    unittest.main(verbosity=2)
