"""The agent sandbox (tools/agent_sandbox.py) for test scripts, with the test's own deadline."""
import os
import signal
import sys

sys.path.insert(0, os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                                os.pardir, "tools")))
from agent_sandbox import (Sandbox, forget, merge, on_exit, remove_dir, scratch_dir,  # noqa: E402,F401
                           wait_until)


def main_binary():
    """The agent binary (first argument). ctest kills outright, so the script's own shorter deadline
    and termination signals end it like Ctrl-C and the clean-up at exit still runs."""
    def interrupt(signum, _frame):
        raise KeyboardInterrupt("signal %d" % signum)
    for signum in (signal.SIGTERM, signal.SIGHUP, signal.SIGALRM):
        signal.signal(signum, interrupt)
    signal.alarm(int(os.environ.get("VELK_TEST_DEADLINE") or 0))
    return os.path.abspath(sys.argv.pop(1))


def emulated():
    """True when the binary runs under an emulator (the cross build): timings stretch."""
    return bool(os.environ.get("VELK_EMULATOR"))
