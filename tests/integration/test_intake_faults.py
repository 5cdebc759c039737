"""Orders that arrive while the database folder is full or read-only wait, kept on disk or in memory, and are
stored once the disk takes them, in arrival order; unsent boot times go out with the first poll of every start."""
import os
import signal
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cycle_support import order, wait_row  # noqa: E402
from sandbox import Sandbox, main_binary, merge, wait_until  # noqa: E402
from service import LocalService  # noqa: E402

BINARY = None


def fill(folder, room=0):
    """Takes every free block of the filesystem but `room` bytes; returns the undoing."""
    filler, reserve = os.path.join(folder, "filler"), os.path.join(folder, "reserve")
    with open(reserve, "wb") as out:
        out.write(b"\0" * room)
    subprocess.call(["dd", "if=/dev/zero", "of=" + filler, "bs=4k"], stderr=subprocess.DEVNULL)
    os.remove(reserve)
    return lambda: os.path.exists(filler) and os.remove(filler)


def remount(folder, mode):
    # A file the agent holds open for a moment only delays the remount.
    wait_until(lambda: subprocess.call(["mount", "-o", "remount," + mode, folder], stderr=subprocess.DEVNULL) == 0,
               10, "remount " + mode)
    return lambda: remount(folder, "rw")


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
            box.wait_for_log("has order info  DB insert->")  # the first poll is over
            cases = [  # name, fault (returning its undoing), whether a signalled poll follows the undoing
                ("full", lambda: fill(folder), True),
                ("room for the answer only", lambda: fill(folder, 8192), True),
                ("read-only", lambda: remount(folder, "ro"), False),  # stored by the agent's own retry
            ]
            for number, (name, fault, poll) in enumerate(cases, start=1):
                with self.subTest(name):
                    waits = len([ln for ln in box.log_lines() if "orders wait for the database" in ln])
                    undo = fault()
                    try:
                        new = order(number, 4070908800, 4070908800, [("curl", "9.9", "http://x/c.deb")])
                        svc.service.queue_items([new, dict(new, mode="cancel")])
                        box.signal(signal.SIGUSR1)
                        box.wait_for_log("orders wait for the database", count=waits + 1)
                    finally:
                        undo()
                    if poll:
                        box.signal(signal.SIGUSR1)
                    # Stored once, the cancel after the order; the kept answer goes a moment later.
                    wait_row(box, "SELECT update_status FROM update_info WHERE sw_upd_no = %d" % number, [(98,)])
                    wait_until(lambda: not [f for f in os.listdir(folder) if f.startswith("order-spool-")], 30,
                               "the kept answer removed", box)
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
            self.assertEqual(box.stop(), 0)


if __name__ == "__main__":
    BINARY = main_binary()
    unittest.main(verbosity=2)
