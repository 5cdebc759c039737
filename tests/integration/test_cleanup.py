"""A test script leaves no folder and no agent behind: not when it ends, not on SIGTERM, not at its
own deadline; only VELK_KEEP_TEST_DIRS=1 keeps its folders."""
import os
import signal
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from sandbox import main_binary, scratch_dir  # noqa: E402

BINARY = None
# A script that makes a sandbox with a running agent and a service, then ends or hangs.
SCRIPT = r'''
import sys, time
sys.path.insert(0, %r)
from sandbox import Sandbox, main_binary
from service import LocalService
binary = main_binary()
svc, box = LocalService(), Sandbox(binary)
box.write_config()
box.start()
print(box.proc.pid, box.root, svc.dir, flush=True)
if sys.argv[1] == "hang":
    time.sleep(60)
''' % HERE


class Cleanup(unittest.TestCase):
    def test_folders_and_agent_go_however_the_script_ends(self):
        for how, env, left in [("end", {}, False), ("sigterm", {}, False),
                               ("deadline", {"VELK_TEST_DEADLINE": "5"}, False),
                               ("sigterm", {"VELK_KEEP_TEST_DIRS": "1"}, True)]:
            tmp = scratch_dir("velk-clean-")
            proc = subprocess.Popen([sys.executable, "-c", SCRIPT, BINARY, "hang" if how != "end" else "end"],
                                    env=dict(os.environ, TMPDIR=tmp, **env), stdout=subprocess.PIPE,
                                    stderr=subprocess.DEVNULL, text=True)
            with proc:
                pid, *made = proc.stdout.readline().split()
                if how == "sigterm":
                    proc.send_signal(signal.SIGTERM)
                proc.wait(timeout=30)
            self.assertEqual(sorted(os.listdir(tmp)), sorted(os.path.basename(d) for d in made) if left else [],
                             (how, env))
            self.assertFalse(os.path.exists("/proc/" + pid), (how, env))


if __name__ == "__main__":
    BINARY = main_binary()
    unittest.main(verbosity=2)
