#!/usr/bin/env python3
"""Kill storm: the sandbox agent against the local monitoring service, killed with SIGKILL at random
moments (order intake, stage marking, script runs, outcome saves, report sends) and restarted.

After every kill and restart, and at the end, it checks:
  - PRAGMA integrity_check is ok;
  - every order the service handed out is stored exactly once (after the restart's replay);
  - no update row stays in 11/21 after the restart's reset;
and at the end, once the agent has worked off its orders: every finished stage was reported at least
once or is still queued, and no update was installed twice unless a kill cut its install short. It
prints the counts and exits 1 on any violation.

Faults beside the kills (--faults, comma-separated):
  reader  two loops of `velkctl status` read the database all the time;
  disk    the database folder is a small tmpfs (root only) that is filled to the last byte for a
          while in most rounds; before the kill that ends the round the space returns, and every
          order handed out meanwhile must get stored (an answer held in memory dies with the kill).

An order handed out less than --in-flight-ms before a kill, or after it (to a request of the killed
agent), may be lost before the agent could keep it: the protocol has no acknowledgement. Such orders
are counted apart, not as violations.

  tools/stress.py --binary build/velk-sandbox --kills 300 [--faults reader,disk]
"""
import argparse
import json
import os
import random
import re
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import monitoring_service  # noqa: E402

FINISHED = (12, 19, 22, 29)
SCRIPT = "#!/bin/sh\nsleep 0.%d\nexit 0\n"
# Notes each finished install run, by the first package line of its list, outside the database folder.
INSTALL = "#!/bin/sh\nsleep 0.3\ngrep -m 1 '^pkg' \"$2\" >> \"$(dirname \"$0\")/installs.txt\"\nexit 0\n"
FAULTS = ("reader", "disk")


class StressService(monitoring_service.MonitoringService):
    """Notes when each order text was handed out, on the clock the kills are timed with."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.handed = {}
        self.add_route(self.config["poll_path"], StressService.poll)

    def poll(self, request):
        action = super().poll(request)
        if action.get("status") == 200:
            now = time.monotonic()
            for item in json.loads(action["body"]).get("response", []):
                if isinstance(item, dict) and item.get("item") == "sw_update":
                    self.handed[json.dumps(item, sort_keys=True, separators=(",", ":"))] = now
        return action


class Storm:
    def __init__(self, args):
        self.args = args
        self.rng = random.Random(args.seed)
        self.root = tempfile.mkdtemp(prefix="velk-stress-")
        os.makedirs(os.path.join(self.root, "svc"))
        self.service = StressService(os.path.join(self.root, "svc"))
        self.proc = None
        self.starts = 0
        self.kills = []
        self.violations = []
        self.in_flight = set()
        self.lost = set()
        self.doubled = set()
        self.next_number = 1
        self.stop_feeding = threading.Event()
        self.faults = set(filter(None, args.faults.split(",")))
        self.readers = []
        self.reads = 0
        self.fills = 0
        # Updates whose install a kill may have cut short: a second install run of those is expected.
        self.cut_installs = set()
        self.db_dir = os.path.join(self.root, "db")

    # -- set-up -------------------------------------------------------------------------------
    def prepare(self):
        self.service.start(0, 0)
        for name, text in (("substratecode-generator", "#!/bin/sh\necho STRESS-0001\n"),
                           ("uptime", "#!/bin/sh\necho '2026-12-01 08:00:00'\n"),
                           ("ping", "#!/bin/sh\nexit 0\n"),
                           ("dpkg-query", "#!/bin/sh\nexit 1\n"),
                           ("download.sh", SCRIPT % 2), ("install.sh", INSTALL)):
            path = os.path.join(self.root, name)
            with open(path, "w") as out:
                out.write(text)
            os.chmod(path, 0o755)
        join = lambda *p: os.path.join(self.root, *p)  # noqa: E731
        settings = {
            "log": {"log_dir": join("logs"), "log_file": "velk.log", "log_level": 2, "log_max_bytes": 2000000,
                    "log_counts": 2},
            "database": {"db_path": join("db"), "db_file": "velk.db"},
            "order_check": {"check_interval_sec": 1, "check_slice_interval_sec": 1, "delay_start_time": 1},
            # The executor starts its first stage a second after the main loop's first poll, so the
            # checks after a restart see the replay and the reset before anything new happens.
            "instruction_thread": {"loop_interval_sec": 1, "loop_slice_interval_sec": 1,
                                   "delay_start_thread_time": 2},
            "server_alive": {"ping_server_fqdn": "localhost", "ping_server_ipaddr": "127.0.0.1",
                             "pint_retry_num": 1, "ping_retry_interval": 1},
            "http_access": {"retry_num": 0, "retry_interval_sec": 1, "http_timeout": 5, "http_connect_timeout": 2},
            "software_update": {"package_dir": join("pkgs"), "upd_log_dir": join("upd_logs"),
                                "target_pkg_list_dir": join("pkg_list"), "script_download_pkg": join("download.sh"),
                                "script_install_pkg": join("install.sh"), "proc_retry_num": 0,
                                "proc_retry_wait_sec": 1},
        }
        for key, value in self.service.agent_settings().items():
            settings.setdefault(key, {}).update(value)
        with open(join("velk.conf"), "w") as out:
            json.dump(settings, out, indent=1)
        if "disk" in self.faults:
            os.makedirs(self.db_dir)
            subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dm" % self.args.disk_mb, "velk-stress", self.db_dir],
                           check=True)

    # -- faults beside the kills --------------------------------------------------------------
    def read_loop(self, stop):
        command = [self.args.velkctl, "--config", os.path.join(self.root, "velk.conf"), "status"]
        while not stop.is_set():
            subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.reads += 1

    def fill_disk(self):
        """Takes every free byte of the database folder; space() gives it back."""
        self.fills += 1
        try:
            with open(os.path.join(self.db_dir, "filler"), "ab") as out:
                free = os.statvfs(self.db_dir)
                if free.f_bavail > 1:
                    os.posix_fallocate(out.fileno(), out.tell(), (free.f_bavail - 1) * free.f_frsize)
                while True:
                    out.write(b"\0" * 4096)
                    out.flush()
        except OSError:
            pass

    def free_disk(self):
        try:
            os.remove(os.path.join(self.db_dir, "filler"))
        except FileNotFoundError:
            pass

    def missing(self):
        """Orders handed out and not stored, but those excused as in flight at a kill or already counted."""
        stored = {json.dumps(json.loads(t), sort_keys=True, separators=(",", ":"))
                  for (t,) in self.query("SELECT receive_json FROM order_info")}
        excused = self.in_flight | self.lost
        return [k for k in list(self.service.handed) if k not in stored and k not in excused]

    def live_round(self):
        """One life of the agent between two kills, with the disk fault when asked for."""
        life = self.rng.uniform(0.0, self.args.max_life)
        if "disk" not in self.faults or self.rng.random() < 0.3:
            time.sleep(life)
            return
        time.sleep(life / 2)
        self.fill_disk()
        time.sleep(self.rng.uniform(0.2, self.args.max_life))
        self.free_disk()
        # Held answers are stored at the next poll; give a loaded machine some room.
        if not self.wait_for(15, lambda: not self.missing()):
            self.violate("orders handed out while the disk was full were not stored once space returned: %s"
                         % ", ".join(str(json.loads(k)["sw_upd_no"]) for k in self.missing()))
        time.sleep(life / 2)

    def feed(self):
        """Queues a new order now and then, and sometimes a cancel or a replacement."""
        while not self.stop_feeding.wait(self.rng.uniform(0.5, 2.5)):
            number = self.next_number
            self.next_number += 1
            if self.rng.random() < 0.1 and number > 2:
                # An extra key keeps each cancel its own order; the agent ignores it.
                order = {"item": "sw_update", "mode": "cancel", "sw_upd_no": self.rng.randrange(1, number),
                         "stress_id": number}
            else:
                packages = [("pkg%d-%d" % (number, i), "1.%d" % i, "http://127.0.0.1:1/p%d.deb" % i)
                            for i in range(self.rng.randint(1, 3))]
                order = monitoring_service.update_order(number, packages, "+0", "+%d" % self.rng.randint(0, 2))
            self.service.queue_order(order)

    # -- the agent ----------------------------------------------------------------------------
    def start(self):
        # Each run starts a fresh log, so the checks read only this run's lines; the last one stays.
        logs = os.path.join(self.root, "logs")
        if os.path.exists(os.path.join(logs, "velk.log")):
            os.replace(os.path.join(logs, "velk.log"), os.path.join(logs, "previous-run.log"))
        if os.path.exists(os.path.join(logs, "velk.1.log")):
            os.remove(os.path.join(logs, "velk.1.log"))
        self.starts += 1
        self.proc = subprocess.Popen([self.args.binary], cwd=self.root, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)

    def kill(self):
        os.killpg(self.proc.pid, signal.SIGKILL)
        self.proc.wait()
        self.kills.append(time.monotonic())
        if "disk" in self.faults:
            self.free_disk()
        if os.path.exists(os.path.join(self.db_dir, "velk.db")):
            for (number,) in self.query("SELECT sw_upd_no FROM update_info WHERE update_status = 21"):
                self.cut_installs.add(number)

    def run_log(self):
        """The log of the running agent."""
        text = ""
        for name in ("velk.1.log", "velk.log"):
            try:
                with open(os.path.join(self.root, "logs", name), errors="replace") as f:
                    text += f.read()
            except FileNotFoundError:
                pass
        return text

    def wait_log(self, fragment, timeout=10):
        deadline = time.monotonic() + timeout
        while fragment not in self.run_log():
            if time.monotonic() > deadline or self.proc.poll() is not None:
                return False
            time.sleep(0.02)
        return True

    # -- checks -------------------------------------------------------------------------------
    def query(self, sql):
        conn = sqlite3.connect(os.path.join(self.root, "db", "velk.db"), timeout=10)
        try:
            return conn.execute(sql).fetchall()
        finally:
            conn.close()

    def violate(self, text):
        self.violations.append(text)
        print("VIOLATION after kill %d: %s" % (len(self.kills), text), flush=True)

    def check_store(self, all_handed_out=True):
        if not os.path.exists(os.path.join(self.root, "db", "velk.db")):
            return
        result = self.query("PRAGMA integrity_check")
        if result != [("ok",)]:
            self.violate("integrity_check: %r" % (result,))
        stored = {}
        for (text,) in self.query("SELECT receive_json FROM order_info"):
            key = json.dumps(json.loads(text), sort_keys=True, separators=(",", ":"))
            stored[key] = stored.get(key, 0) + 1
        last_kill = self.kills[-1] if self.kills else None
        for key, count in stored.items():
            if count > 1 and key not in self.doubled:
                self.doubled.add(key)
                self.violate("order stored %d times: %s" % (count, key))
        for key, handed_at in list(self.service.handed.items()) if all_handed_out else []:
            if stored.get(key, 0) == 0 and key not in self.in_flight | self.lost:
                if last_kill is not None and last_kill - handed_at < self.args.in_flight_ms / 1000.0:
                    self.in_flight.add(key)
                else:
                    self.lost.add(key)
                    self.violate("order handed out but not stored: %s" % key)
                    # The killed run's log, for a look with --keep.
                    previous = os.path.join(self.root, "logs", "previous-run.log")
                    if os.path.exists(previous):
                        shutil.copy(previous, os.path.join(self.root, "logs", "lost-at-kill-%d.log" % len(self.kills)))

    def check_after_restart(self):
        # Kept answers are stored before the first wait, and the first poll comes a second later.
        if not self.wait_log("wait before main processing > start"):
            self.violate("restart %d never reached its first wait" % self.starts)
            return
        self.check_store()
        # The reset runs as the executor starts; its first stage waits for the thread's start delay.
        if not self.wait_log("end : reset running state of the process"):
            self.violate("no reset after restart %d" % self.starts)
            return
        stuck = self.query("SELECT id, update_status FROM update_info WHERE update_status IN (11, 21)")
        if stuck:
            self.violate("rows in 11/21 after the reset: %r" % (stuck,))

    def check_reports(self):
        sent = set()
        for report in self.service.status()["reports"]:
            for item in (report or {}).get("request", []) if isinstance(report, dict) else []:
                sent.add((item.get("sw_upd_no"), item.get("status")))
        queued = 0
        rows = self.query("SELECT u.sw_upd_no, u.update_status, o.order_status, o.response_json FROM update_info u "
                          "LEFT JOIN order_info o ON o.id = u.order_info_id WHERE u.update_status IN (12, 19, 22, 29)")
        for number, status, order_status, response in rows:
            if (number, status) in sent:
                continue
            if order_status in (1, 11) and response and '"status":%d' % status in response:
                queued += 1
            else:
                self.violate("stage %d of update %d neither reported nor queued" % (status, number))
        return len(rows), queued

    def check_installs(self):
        runs = {}
        try:
            with open(os.path.join(self.root, "installs.txt")) as f:
                for number in re.findall(r"^pkg(\d+)-", f.read(), re.M):
                    runs[int(number)] = runs.get(int(number), 0) + 1
        except FileNotFoundError:
            pass
        twice = sorted(n for n, count in runs.items() if count > 1 and n not in self.cut_installs)
        if twice:
            self.violate("installed twice without a cut install: updates %r" % twice)
        return sum(runs.values()), len(twice)

    def running(self):
        return self.query("SELECT id, update_status FROM update_info WHERE update_status IN (11, 21)")

    def settled(self):
        with self.service.lock:
            if self.service.poll_items:
                return False
        stored = {json.dumps(json.loads(t), sort_keys=True, separators=(",", ":"))
                  for (t,) in self.query("SELECT receive_json FROM order_info")}
        if any(k not in stored and k not in self.in_flight | self.lost for k in list(self.service.handed)):
            return False
        open_rows = self.query("SELECT COUNT(*) FROM update_info WHERE update_status NOT IN (19, 22, 29, 98, 99)")
        unsent = self.query("SELECT COUNT(*) FROM order_info WHERE order_status IN (1, 11)")
        return open_rows[0][0] == 0 and unsent[0][0] == 0

    @staticmethod
    def wait_for(seconds, done):
        deadline = time.monotonic() + seconds
        while not done():
            if time.monotonic() > deadline:
                return False
            time.sleep(0.2)
        return True

    # -- the storm ----------------------------------------------------------------------------
    def run(self):
        self.prepare()
        feeder = threading.Thread(target=self.feed, daemon=True)
        feeder.start()
        began = time.monotonic()
        stop_readers = threading.Event()
        if "reader" in self.faults:
            self.readers = [threading.Thread(target=self.read_loop, args=(stop_readers,), daemon=True)
                            for _ in range(2)]
            for reader in self.readers:
                reader.start()
        self.start()
        for _ in range(self.args.kills):
            self.live_round()
            self.kill()
            self.check_store(all_handed_out=False)
            self.start()
            self.check_after_restart()
            if len(self.kills) % 100 == 0:
                print("%d kills: orders handed out %d, lost %d, in flight %d; violations %d" % (
                    len(self.kills), len(self.service.handed), len(self.lost), len(self.in_flight),
                    len(self.violations)), flush=True)
        self.stop_feeding.set()
        feeder.join()
        # Let the agent work off what it holds: every order handed out and stored, no stage still open.
        settled = self.wait_for(self.args.settle, self.settled)
        # A run interrupted by the exit signal legitimately stays in 11/21 (the next start resets it), so
        # the end is judged before the signal: a row whose run has ended never leaves 11/21 and blocks.
        # Under load new runs may keep starting; each of those in progress now must end in time.
        in_progress = set(self.running())
        if not self.wait_for(self.args.idle, lambda: not in_progress & set(self.running())):
            self.violate("rows stayed in 11/21 for %.0f s at the end: %r" % (
                self.args.idle, sorted(in_progress & set(self.running()))))
        self.proc.send_signal(signal.SIGTERM)
        status = self.proc.wait(timeout=60)
        if status != 0:
            self.violate("exit status %s at the end" % status)
        self.check_store()
        # Once settled, nothing can start a stage, so a row in 11/21 now was left by a run that ended.
        stuck = self.running()
        if settled and stuck:
            self.violate("%d rows in 11/21 at the end: %r" % (len(stuck), stuck))
        if not settled:
            print("not settled within %.0f s: the end checks saw work still open" % self.args.settle, flush=True)
        stop_readers.set()
        for reader in self.readers:
            reader.join()
        stages, queued = self.check_reports()
        installs, twice = self.check_installs()
        counts = self.query("SELECT update_status, COUNT(*) FROM update_info GROUP BY update_status")
        print("kills %d in %.0f s; orders handed out %d, stored %d, lost %d, stored twice %d, in flight at a kill %d; "
              "finished stages %d (still queued %d); reports received %d; install runs %d, twice without a cut "
              "install %d; update rows by status %s; faults %s (status reads %d, disk fills %d); violations %d" % (
                  len(self.kills), time.monotonic() - began, len(self.service.handed),
                  self.query("SELECT COUNT(*) FROM order_info")[0][0], len(self.lost), len(self.doubled),
                  len(self.in_flight), stages, queued, len(self.service.status()["reports"]), installs, twice,
                  dict(counts), ",".join(sorted(self.faults)) or "none", self.reads, self.fills,
                  len(self.violations)), flush=True)
        return 1 if self.violations else 0

    def close(self):
        if self.proc is not None and self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
        self.service.stop()
        if "disk" in self.faults and os.path.ismount(self.db_dir):
            if self.args.keep:
                shutil.copytree(self.db_dir, self.db_dir + "-kept")
            subprocess.run(["umount", self.db_dir])
        if self.args.keep:
            print("kept %s" % self.root)
        else:
            shutil.rmtree(self.root, ignore_errors=True)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", required=True, help="the sandbox agent (velk-sandbox)")
    parser.add_argument("--kills", type=int, default=300)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--max-life", type=float, default=1.5, help="longest run between kills, seconds")
    parser.add_argument("--settle", type=float, default=60, help="seconds to work off the orders at the end")
    parser.add_argument("--idle", type=float, default=20, help="seconds for the last runs to end before the exit")
    parser.add_argument("--in-flight-ms", type=float, default=100)
    parser.add_argument("--keep", action="store_true", help="keep the working folder")
    parser.add_argument("--faults", default="", help="faults beside the kills: reader, disk (comma-separated)")
    parser.add_argument("--velkctl", default=None, help="velkctl for the reader fault (default: beside --binary)")
    parser.add_argument("--disk-mb", type=int, default=32, help="size of the database folder's tmpfs (disk fault)")
    args = parser.parse_args(argv)
    unknown = set(filter(None, args.faults.split(","))) - set(FAULTS)
    if unknown:
        parser.error("unknown faults: %s" % ",".join(sorted(unknown)))
    if "disk" in args.faults and os.geteuid() != 0:
        parser.error("the disk fault mounts a tmpfs: run it as root")
    args.velkctl = os.path.abspath(args.velkctl or os.path.join(os.path.dirname(args.binary), "velkctl"))
    if args.seed is None:
        args.seed = random.randrange(1 << 30)
    args.binary = os.path.abspath(args.binary)
    print("seed %d" % args.seed, flush=True)
    storm = Storm(args)
    # A stop from outside still kills the agent and removes the folder.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(2))
    try:
        return storm.run()
    finally:
        storm.close()


if __name__ == "__main__":
    sys.exit(main())
