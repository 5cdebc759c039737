"""Whole update cycles through the sandbox agent: recording scripts and their settings and orders."""
import json
import os
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sandbox import Sandbox, emulated, merge, wait_until  # noqa: E402
from service import LocalService  # noqa: E402

# Deadlines stretch under an emulator; the agent's own intervals stay as configured.
SCALE = 4 if emulated() else 1
CODE = "SUBSTRATE-0001"

# The download and install scripts. Each call appends a "start" and an "end" record to calls.jsonl
# (arguments, list file, every update row's status as the script saw it) and behaves as behaviour.json
# says for its kind: "exit" code, "sleep" seconds, or "hold" until the file "release-<kind>" exists. The
# database is read as an immutable snapshot so the script never holds a lock the agent could trip over.
UPDATE_SCRIPT = r'''#!/usr/bin/env python3
import json, os, sqlite3, sys, time
ROOT = os.path.dirname(os.path.abspath(__file__))
KIND = os.path.splitext(os.path.basename(__file__))[0]

def rows():
    try:
        conn = sqlite3.connect("file:%s?immutable=1" % os.path.join(ROOT, "db", "velk.db"), uri=True)
        try:
            return {str(k): v for k, v in conn.execute("SELECT id, update_status FROM update_info")}
        finally:
            conn.close()
    except sqlite3.Error as e:
        return {"error": str(e)}

def record(entry):
    with open(os.path.join(ROOT, "calls.jsonl"), "a") as out:
        out.write(json.dumps(entry) + "\n")

try:
    with open(os.path.join(ROOT, "behaviour.json")) as f:
        how = json.load(f).get(KIND, {})
except (OSError, ValueError):
    how = {}
try:
    with open(sys.argv[2], newline="") as f:
        listing = f.read()
except (IndexError, OSError):
    listing = None
entry = {"kind": KIND, "pid": os.getpid(), "args": sys.argv[1:], "list": listing, "rows": rows()}
record(dict(entry, phase="start", time=time.time()))
print("%s of %s" % (KIND, " ".join(sys.argv[1:])), flush=True)
if how.get("hold"):
    deadline = time.time() + 60
    while not os.path.exists(os.path.join(ROOT, "release-" + KIND)) and time.time() < deadline:
        time.sleep(0.05)
time.sleep(how.get("sleep", 0))
code = how.get("exit", 0)
record(dict(entry, phase="end", time=time.time(), rows=rows(), exit=code))
sys.exit(code)
'''


def local_text(seconds, sep="/"):
    return time.strftime("%Y{0}%m{0}%d %H:%M:%S".format(sep), time.localtime(seconds))


def parse_local(text):
    return time.mktime(time.strptime(text.replace("-", "/"), "%Y/%m/%d %H:%M:%S"))


def cycle_settings(svc, overrides=None):
    """Fast intervals: the executor looks again every 2 s in 1 s slices; polls come by signal."""
    base = merge(svc.service.agent_settings(), {
        "order_check": {"check_interval_sec": 60, "check_slice_interval_sec": 1, "delay_start_time": 1},
        "instruction_thread": {"loop_interval_sec": 2, "loop_slice_interval_sec": 1,
                               "delay_start_thread_time": 1},
        "server_alive": {"pint_retry_num": 1, "ping_retry_interval": 1},
        "software_update": {"proc_retry_num": 1, "proc_retry_wait_sec": 1},
    })
    return merge(base, overrides or {})


def order(number, download_at, install_at, packages, sep="/"):
    return {
        "item": "sw_update", "mode": "new", "sw_upd_no": number,
        "download_start_date": local_text(download_at, sep), "download_end_date": local_text(download_at + 3600, sep),
        "install_start_date": local_text(install_at, sep), "install_end_date": local_text(install_at + 3600, sep),
        "pkg_update": [{"pkg_name": n, "pkg_version": v, "pkg_url": u} for n, v, u in packages],
    }


class Cycle:
    """The update scripts, fake ping and dpkg-query of one sandbox, and what they recorded."""

    def __init__(self, box):
        self.box = box
        for kind in ("download", "install"):
            box.write_command(kind + ".sh", UPDATE_SCRIPT)
        box.write_command("ping", "#!/bin/sh\necho \"$@\" >> '%s'\n" % box.path("pings.txt"))
        box.write_command("dpkg-query", "#!/bin/sh\nprintf 'curl\\tinstall ok installed\\t7.74.0\\n'\n")
        self.behave()

    def behave(self, download=None, install=None):
        with open(self.box.path("behaviour.json"), "w") as out:
            json.dump({"download": download or {}, "install": install or {}}, out)

    def release(self, kind):
        open(self.box.path("release-" + kind), "w").close()

    def calls(self, kind=None, phase="start"):
        try:
            with open(self.box.path("calls.jsonl")) as f:
                entries = [json.loads(line) for line in f if line.strip()]
        except FileNotFoundError:
            entries = []
        return [e for e in entries if e["phase"] == phase and (kind is None or e["kind"] == kind)]

    def wait_calls(self, kind, count):
        wait_until(lambda: len(self.calls(kind)) >= count, 30 * SCALE, "%s script x%d" % (kind, count), self.box)
        return self.calls(kind)

    def kill_scripts(self):
        """Ends script processes of this sandbox that are still running (only pids it recorded)."""
        for entry in self.calls():
            pid = entry["pid"]
            try:
                with open("/proc/%d/cmdline" % pid, "rb") as f:
                    mine = self.box.root.encode() in f.read()
            except OSError:
                continue
            if mine:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass


def wait_row(box, sql, expected):
    wait_until(lambda: box.query(sql) == expected, 30 * SCALE, "%s to give %r" % (sql, expected), box)


class CycleCase(unittest.TestCase):
    """A local service, a sandbox and its recording scripts for each test; the script's main sets `binary`."""
    binary = None

    def setUp(self):
        self.svc = LocalService()
        self.box = Sandbox(self.binary)
        self.cycle = Cycle(self.box)

    def tearDown(self):
        self.cycle.kill_scripts()
        self.box.close()
        self.svc.close()
