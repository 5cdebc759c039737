"""Runs a built sandbox agent (velk-sandbox) in a private folder with short intervals: its configuration,
its fake commands ("./substratecode-generator", "./uptime", "./ping", "./dpkg-query"), its log and
database. The benchmarks and the integration tests use it. Every scratch folder goes when the script
ends, unless VELK_KEEP_TEST_DIRS=1 keeps it (named on stderr)."""
import atexit
import json
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time

from monitoring_service import MonitoringService

KEEP_DIRS = os.environ.get("VELK_KEEP_TEST_DIRS") == "1"
_closers = []


def on_exit(close):
    """close() runs when the script ends unless forget(close) came first; latest first."""
    _closers.append(close)


def forget(close):
    if close in _closers:
        _closers.remove(close)


@atexit.register
def _close_all():
    while _closers:
        try:
            _closers.pop()()
        except Exception as e:  # one failed close must not keep the others from running
            print("cleanup: %s" % e, file=sys.stderr)


def scratch_dir(prefix):
    path = tempfile.mkdtemp(prefix=prefix)
    if KEEP_DIRS:
        print("kept: " + path, file=sys.stderr)
    else:
        on_exit(lambda: shutil.rmtree(path, ignore_errors=True))
    return path


def remove_dir(path):
    if not KEEP_DIRS:
        shutil.rmtree(path, ignore_errors=True)


def wait_until(predicate, timeout=30, what="condition", box=None):
    """Polls predicate() until it holds; a timeout names `what` and, given a sandbox, its log tail."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            tail = "; log tail:\n" + "\n".join(box.log_lines()[-30:]) if box else ""
            raise AssertionError("timed out waiting for %s%s" % (what, tail))
        time.sleep(0.05)


def fast_settings(root):
    """Settings with short intervals and every path inside the sandbox."""
    return {
        # Large enough that no rotation hides lines a test counts.
        "log": {"log_dir": os.path.join(root, "logs"), "log_file": "velk.log", "log_level": 0,
                "log_max_bytes": 64 * 1024 * 1024},
        "database": {"db_path": os.path.join(root, "db"), "db_file": "velk.db"},
        "order_check": {"check_interval_sec": 30, "check_slice_interval_sec": 1, "delay_start_time": 1},
        "instruction_thread": {"loop_interval_sec": 30, "loop_slice_interval_sec": 1,
                               "delay_start_thread_time": 1},
        "server_alive": {"ping_server_fqdn": "localhost", "ping_server_ipaddr": "127.0.0.1",
                         "pint_retry_num": 1, "ping_retry_interval": 1},
        # Nothing listens there: a sandbox never reaches past this machine.
        "web_api": {"api_base_url": "https://127.0.0.1:1/monitoring/api/",
                    "api_login_url": "https://127.0.0.1:1/monitoring/api_user/"},
        "http_access": {"retry_num": 0, "retry_interval_sec": 1, "http_timeout": 5, "http_connect_timeout": 2},
        "software_update": {
            "package_dir": os.path.join(root, "pkgs"),
            "upd_log_dir": os.path.join(root, "upd_logs"),
            "target_pkg_list_dir": os.path.join(root, "pkg_list"),
            "script_download_pkg": os.path.join(root, "download.sh"),
            "script_install_pkg": os.path.join(root, "install.sh"),
            "proc_retry_num": 1, "proc_retry_wait_sec": 1,
        },
    }


def merge(base, overrides):
    for key, value in overrides.items():
        if isinstance(value, dict) and isinstance(base.get(key), dict):
            merge(base[key], value)
        else:
            base[key] = value
    return base


class Sandbox:
    def __init__(self, binary):
        self.binary = os.path.abspath(binary)
        self.root = scratch_dir("velk-it-")
        self.proc = None
        on_exit(self.close)
        self.stderr_path = os.path.join(self.root, "stderr.txt")
        self.write_command("substratecode-generator", "#!/bin/sh\necho SUBSTRATE-0001\n")
        self.write_command("uptime", "#!/bin/sh\necho '2026-12-01 08:00:00'\n")

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def write_command(self, name, script):
        target = self.path(name)
        with open(target, "w") as out:
            out.write(script)
        os.chmod(target, 0o755)

    def write_config(self, overrides=None):
        with open(self.path("velk.conf"), "w") as out:
            json.dump(merge(fast_settings(self.root), overrides or {}), out, indent=2)

    def start(self, env=None):
        self.stderr_file = open(self.stderr_path, "w")
        self.proc = subprocess.Popen([self.binary], cwd=self.root, env=env,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=self.stderr_file)
        return self.proc

    def signal(self, signum):
        self.proc.send_signal(signum)

    def wait_exit(self, timeout):
        try:
            return self.proc.wait(timeout=timeout)
        finally:
            self.stderr_file.close()

    def stop(self, timeout=30):
        """SIGTERM and wait; returns the exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        return self.wait_exit(timeout)

    def close(self):
        forget(self.close)
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.wait_exit(None)
        remove_dir(self.root)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def log_text(self):
        try:
            with open(self.path("logs", "velk.log"), errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def log_lines(self):
        return self.log_text().splitlines()

    def stderr_text(self):
        with open(self.stderr_path, errors="replace") as f:
            return f.read()

    def wait_for_log(self, fragment, timeout=30, count=1):
        """Waits until the log holds the fragment `count` times; returns the matching lines."""
        deadline = time.monotonic() + timeout
        while True:
            # Whether the agent still runs is read first, so its last lines count too.
            exited = self.proc is not None and self.proc.poll() is not None
            hits = [line for line in self.log_lines() if fragment in line]
            if len(hits) >= count:
                return hits
            if exited or time.monotonic() > deadline:
                raise AssertionError("log never showed %r (x%d)%s; log tail:\n%s" % (
                    fragment, count, " before the agent exited" if exited else "",
                    "\n".join(self.log_lines()[-40:])))
            time.sleep(0.1)

    def query(self, sql, args=(), patience=5):
        """Reads without any lock, so that watching the agent never delays its writes."""
        deadline = time.monotonic() + patience
        while True:
            try:
                conn = sqlite3.connect("file:%s?mode=ro&immutable=1" % self.path("db", "velk.db"), uri=True)
                try:
                    return conn.execute(sql, args).fetchall()
                finally:
                    conn.close()
            except sqlite3.Error:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)


class LocalService:
    """The local monitoring service, run inside this process, with its own scratch folder; options go
    to MonitoringService (packages_dir, signing_key, ...)."""

    def __init__(self, config=None, **options):
        self.dir = scratch_dir("velk-svc-")
        self.service = MonitoringService(self.dir, config=config, **options).start()
        on_exit(self.close)

    @property
    def base_url(self):
        return self.service.base_url()

    def agent_settings(self):
        return self.service.agent_settings()

    def requests_to(self, path):
        with self.service.lock:
            return [r for r in self.service.records if r["path"] == path]

    def poll_bodies(self):
        return [r["body"] for r in self.requests_to(self.service.config["poll_path"])]

    def reports(self):
        with self.service.lock:
            return list(self.service.reports)

    wait_until = staticmethod(wait_until)

    def close(self):
        forget(self.close)
        self.service.stop()
        remove_dir(self.dir)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
