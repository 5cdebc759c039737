"""The demo's scenario, end to end: an update order for two real Debian packages is downloaded
from the local monitoring service, installed into the demo's own dpkg root and reported, and
nothing the demo started outlives it, also when it is interrupted."""
import io
import os
import re
import signal
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
DEMO_DIR = os.path.join(HERE, os.pardir, os.pardir, "tools", "demo")
sys.path.insert(0, HERE)
sys.path.insert(0, DEMO_DIR)
import demo  # noqa: E402
from sandbox import emulated, main_binary, remove_dir, scratch_dir  # noqa: E402

BINARY = None
SCALE = 3.0 if emulated() else 1.0


def gone(pid):
    """True when neither the process nor any member of its process group is still running
    (zombies count as ended); the demo starts its service and agent as group leaders."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        state, group = fields[0], int(fields[2])
        if (int(entry) == pid or group == pid) and state != "Z":
            return False
    return True


class Demo(unittest.TestCase):
    def setUp(self):
        self.world = scratch_dir("velk-demo-")
        self.addCleanup(remove_dir, self.world)

    def test_update_order_installs_both_packages_and_reports_both_stages(self):
        out = io.StringIO()
        run = demo.Demo(BINARY, self.world, out=out, scale=SCALE)
        status = run.run()
        text = out.getvalue()
        self.assertEqual(status, 0, text)

        # The run as shown: the order goes from the service to the database, through both stages,
        # and both reports come back, in this order.
        story = ["service  login ", "handed out to " + demo.SUBSTRATE_CODE, "signature verified", "order stored in the database",
                 "download command -> <<<", "package    velk-demo-hello_1.0_all.deb sent",
                 'status 12 "download success"', "update command -> <<<", 'status 22 "update success"',
                 "SIGTERM asks the agent to stop", "main end", "agent ended with exit status 0", "demo done"]
        positions = [text.find(step) for step in story]
        self.assertNotIn(-1, positions, "%s\n%s" % (dict(zip(story, positions)), text))
        self.assertEqual(positions, sorted(positions), text)
        self.assertIn("verify: ok", text)  # the install log is shown when the demo reads it

        self.assertEqual([(item["sw_upd_no"], item["status"], item["message"])
                          for report in run.final_reports for item in report["request"]],
                         [(1, 12, "download success"), (1, 22, "update success")])

        # Installed into the demo's root, which dpkg knows, and nowhere else.
        self.assertEqual(sorted(run.installed()), [["velk-demo-hello", "1.0"], ["velk-demo-motd", "2.3"]])
        hello = os.path.join(self.world, "dpkg-root", "usr", "bin", "velk-demo-hello")
        self.assertIn("velk-demo-hello 1.0", subprocess.run([hello], capture_output=True, text=True).stdout)
        host = subprocess.run(["dpkg-query", "-W", "velk-demo-hello"], capture_output=True)
        self.assertNotEqual(host.returncode, 0, "the machine's own dpkg database got a demo package")

        for process in (run.agent, run.service):
            self.assertTrue(gone(process.pid), "pid %d still running" % process.pid)

    def test_interrupted_rerun_lays_the_world_anew_and_leaves_nothing_running(self):
        # A world from an earlier run, with something of its own in it.
        self.assertEqual(demo.Demo(BINARY, self.world, out=io.StringIO()).prepare(8443), 0)
        stray = os.path.join(self.world, "pkgs", "left-over.deb")
        with open(stray, "w") as f:
            f.write("x")

        driver = subprocess.Popen([sys.executable, os.path.join(DEMO_DIR, "demo.py"), "--binary", BINARY,
                                   "--dir", self.world, "--time-scale", str(SCALE)],
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        lines = []
        try:
            deadline = time.monotonic() + 30 * SCALE
            # Interrupted once the agent has polled: it is then busy in its main loop.
            for line in driver.stdout:
                lines.append(line)
                if "boot time acknowledged by the service" in line or time.monotonic() > deadline:
                    break
            self.assertFalse(os.path.exists(stray))
            driver.send_signal(signal.SIGINT)
            status = driver.wait(timeout=30 * SCALE)
            lines.extend(driver.stdout.read().splitlines(True))
        finally:
            if driver.poll() is None:
                driver.kill()
                driver.wait()
            driver.stdout.close()
        text = "".join(lines)
        self.assertEqual(status, 130, text)
        self.assertIn("interrupted: everything the demo started is stopped", text)
        self.assertIn("agent ended with exit status 0", text)
        pids = [int(p) for p in re.findall(r"\(pid (\d+)\)", text)]
        self.assertEqual(len(pids), 2, text)
        for pid in pids:
            self.assertTrue(gone(pid), "pid %d still running\n%s" % (pid, text))


if __name__ == "__main__":
    BINARY = main_binary()
    unittest.main(verbosity=2)
