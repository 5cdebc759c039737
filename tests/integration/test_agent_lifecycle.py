"""The real agent starts, builds its database, reacts to signals and shuts down in order."""
import os
import signal
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sandbox import Sandbox, main_binary, wait_until  # noqa: E402

BINARY = None


class AgentLifecycle(unittest.TestCase):
    def test_start_dump_database_signals_and_orderly_shutdown(self):
        with Sandbox(BINARY) as box:
            box.write_config({"web_api": {"header": ["X-One: 1"]}})
            box.start()
            box.wait_for_log("Main Thread Loop Start")
            lines = box.log_lines()
            self.assertRegex(lines[0], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} I : =+ >>>$")
            self.assertTrue(lines[1].endswith(" I :   Corvane execution."))
            begin = next(i for i, l in enumerate(lines) if l.endswith("Display Setting Data >>>"))
            end = next(i for i, l in enumerate(lines) if l.endswith("Display Setting Data <<<"))
            dump = [l.split(" I : ", 1)[1] for l in lines[begin:end + 1]]
            # 65 fixed lines (ca_cert_file and proxy included) and the one header entry; "=" in one
            # column, and the password shown only as stars.
            self.assertEqual(len(dump), 66)
            self.assertEqual({l.find(" = ") for l in dump if "=" in l}, {28})
            self.assertIn("    api_u2                   = ****", dump)
            self.assertIn("    order_ack                = 0", dump)
            at = dump.index("    proc_retry_wait_sec      = 1")
            self.assertEqual(dump[at + 1:at + 5], ["    download_allow_http      = 0",
                                                   "    keep_closed_orders       = -1",
                                                   "    keep_run_files           = 20",
                                                   "    download_timeout_sec     = 3600"])
            self.assertIn("    log_level                = 0 (VERBOSE)", dump)
            self.assertIn("    db_dir/db_file           = %s/velk.db" % box.path("db"), dump)
            self.assertIn("                             = X-One: 1", dump)
            at = dump.index("    http_connect_timeout     = 2")
            self.assertEqual(dump[at + 1:at + 3], ["    ca_cert_file             = ",
                                                   "    proxy                    = "])

            box.signal(signal.SIGUSR1)
            box.wait_for_log("!!! Receive Order Signal !!! (10)")
            box.wait_for_log("Stop sleep to receive order command (2)")
            box.wait_for_log("execute remote order (2)")

            box.signal(signal.SIGTERM)
            # One slice (1 s) plus at most the 5-second pause, with room for a loaded machine.
            self.assertEqual(box.wait_exit(timeout=20), 0)
            text = box.log_text()
            self.assertIn("!!! Receive Exit Signal !!! (15)", text)
            self.assertIn("Stop sleep to receive exit command (2)", text)
            self.assertRegex(text, r"end main loop:\d \(\d:2\)")
            self.assertIn("Main Thread Loop Finished", text)
            self.assertIn("main end (Receive Signal : signal num=15)", text)
            self.assertTrue(box.log_lines()[-1].endswith(" I : =========================================== <<<"))
            self.assertFalse(os.path.exists(box.path("db", "db_rw.lock")))

    def test_database_that_cannot_be_initialised_ends_without_loop(self):
        with Sandbox(BINARY) as box:
            with open(box.path("db"), "w") as blocker:
                blocker.write("a file where the database folder should be")
            box.write_config()
            box.start()
            self.assertEqual(box.wait_exit(timeout=20), 1)
            text = box.log_text()
            self.assertIn("in _initDb : DB init -> failed (2)", text)
            self.assertIn("Failed to initialize Database", text)
            self.assertNotIn("=========================================== <<<", text)
            self.assertNotIn("called main method", text)

    def test_unusable_config_and_log_folder_still_run(self):
        with Sandbox(BINARY) as box:
            box.write_config({"log": {"log_dir": box.path("velk.conf", "logs")}})
            box.start()
            wait_until(lambda: "Main Thread Loop Start" in box.stderr_text(), 20, "the loop on stderr")
            self.assertEqual(box.stop(timeout=30), 0)
            err = box.stderr_text()
            self.assertIn("cannot open log file", err)
            self.assertIn("Main Thread Loop Start", err)
            self.assertIn("<<<", err)


if __name__ == "__main__":
    BINARY = main_binary()
    unittest.main(verbosity=2)
