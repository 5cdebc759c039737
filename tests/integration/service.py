"""The local monitoring service (tools/monitoring_service.py), run inside the test's own process,
and the settings that point a sandbox agent at it."""
import json
import os
import sys

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "tools")
sys.path.insert(0, os.path.abspath(TOOLS))
from monitoring_service import MonitoringService  # noqa: E402
from sandbox import forget, on_exit, remove_dir, scratch_dir, wait_until  # noqa: E402


class LocalService:
    def __init__(self, config=None):
        self.dir = scratch_dir("velk-svc-")
        self.service = MonitoringService(self.dir, config=config).start()
        on_exit(self.close)

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


def dumps(obj):
    """Compact JSON with keys in byte order, as the agent writes it."""
    return json.dumps(obj, separators=(",", ":"), sort_keys=True)
