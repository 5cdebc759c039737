"""With the acknowledgement on, the service hands an order out until a later poll names it, and the
agent stores it once however often it comes."""
import os
import signal
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cycle_support import order  # noqa: E402
from sandbox import Sandbox, main_binary, merge  # noqa: E402
from service import LocalService, dumps  # noqa: E402

BINARY = None
CHECK = {"item": "chk_sw_upd"}


def request(*items):
    return dumps({"request": list(items), "substratecode": "SUBSTRATE-0001"})


class OrderAck(unittest.TestCase):
    def test_order_handed_out_again_after_a_kill_is_stored_once_and_acknowledged(self):
        with LocalService({"order_ack": True}) as svc, Sandbox(BINARY) as box:
            svc.service.queue_order(order(7, 4070908800, 4070908800, [("curl", "9.9", "http://x/c.deb")]))
            box.write_config(merge(svc.service.agent_settings(),
                                   {"order_check": {"check_interval_sec": 60, "order_ack": 1}}))
            box.start()
            box.wait_for_log("has order info  DB insert-> true")
            # Killed after the commit and before any poll could acknowledge it.
            box.proc.kill()
            box.wait_exit(10)
            box.start()
            box.wait_for_log("already held unchanged : acknowledged again")
            for count in (3, 4):
                box.signal(signal.SIGUSR1)
                svc.wait_until(lambda: len(svc.poll_bodies()) >= count, what="poll %d" % count)
            bodies = svc.poll_bodies()
            self.assertEqual(bodies[1:], [request(CHECK), request(CHECK, {"item": "order_ack", "sw_upd_no": [7]}),
                                          request(CHECK)])
            timeline = [t["event"] for t in svc.service.status()["timeline"]]
            self.assertEqual(len([t for t in timeline if "update 7 handed out again" in t]), 1)
            self.assertEqual(len([t for t in timeline if "update 7 acknowledged" in t]), 1)
            self.assertEqual([o["state"] for o in svc.service.status()["orders"]], ["acknowledged"])
            self.assertEqual(box.query("SELECT sw_upd_no, update_status FROM update_info"), [(7, 0)])
            self.assertEqual(box.query("SELECT COUNT(*) FROM order_info"), [(1,)])
            self.assertEqual(box.stop(), 0)


if __name__ == "__main__":
    BINARY = main_binary()
    unittest.main(verbosity=2)
