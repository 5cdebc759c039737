#!/usr/bin/env python3
"""Fleet simulation: N sandbox agents against one local monitoring service, each scenario run twice,
with the fleet settings off (start and check jitter, backoff, end dates and rate limit all 0) and on.

  (a) every device starts at once: peak polls per second (1-s bins) against the mean N/interval, and
      the spread of the first polls;
  (b) in steady state the service refuses connections for several intervals: the peak at its
      return and the time until every device has polled again with success;
  (c) the service answers every call with 429 and Retry-After for a while: the calls it gets;
  (d) one update order with download and install windows for every device, a quarter of the fleet
      stopped (SIGSTOP) from before the order until after the windows: the peak of concurrent
      package downloads and the installs that ran outside the install window.

A poll is a request to the poll path; "API calls" are every request to the HTTPS port but package
files: login, poll and report. Writes OUT/fleet.md (the table), OUT/fleet.json, OUT/fleet.png (with
gnuplot) and prints the table. Every agent, the service and the scratch folder go on exit, also
on SIGINT and SIGTERM.

  tools/fleet.py --binary build/velk-sandbox --velkctl build/velkctl --n 200 --out build/fleet
"""
import argparse
import json
import math
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
SERVICE = os.path.join(HERE, "monitoring_service.py")
DOWNLOAD_SCRIPT = os.path.join(HERE, "package", "download-packages")
POLL_PATH = "/monitoring/api/poll"
REPORT_PATH = "/monitoring/api/report"
PACKAGE = ("velk-fleet-blob", "1.0")
# The install stand-in notes when it ran; no dpkg.
INSTALL = "#!/bin/sh\ndate +%s.%N >> \"$(dirname \"$0\")/installs.txt\"\nexit 0\n"
FINAL = (19, 22, 29)
# The kernel ends what the driver starts when the driver ends, however it ends.
DIE_WITH_PARENT = ["setpriv", "--pdeathsig", "KILL", "--"]


def fleet_settings(mode, interval, rate_limit):
    on = mode == "on"
    return {
        "order_check": {"start_jitter_sec": interval if on else 0,
                        "check_jitter_sec": interval // 2 if on else 0,
                        "max_backoff_sec": 6 * interval if on else 0},
        "software_update": {"honour_end_dates": 1 if on else 0, "download_rate_limit": rate_limit if on else 0},
    }


class Service:
    """The monitoring service as a child process, driven through its control port."""

    def __init__(self, root, packages):
        self.dir = os.path.join(root, "svc")
        self.settings_file = os.path.join(root, "service-settings.json")
        command = [sys.executable, SERVICE, "--dir", self.dir, "--packages", packages, "--quiet", "--info-json",
                   "--stop-on-eof", "--agent-settings", self.settings_file]
        self.proc = subprocess.Popen(DIE_WITH_PARENT + command,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.info = json.loads(self.proc.stdout.readline())
        self.control = "http://127.0.0.1:%d" % self.info["control_port"]
        with open(self.settings_file) as f:
            self.agent_settings = json.load(f)
        self.records = []
        self.seq = 0

    def get(self, path):
        with urllib.request.urlopen(self.control + path, timeout=60) as answer:
            return json.load(answer)

    def post(self, path, data):
        request = urllib.request.Request(self.control + path, json.dumps(data).encode(), method="POST")
        with urllib.request.urlopen(request, timeout=60) as answer:
            return json.load(answer)

    def fetch(self):
        """New records, boiled down to (time, path, status, device, report items)."""
        for r in self.get("/requests?since=%d" % self.seq)["requests"]:
            if "status" not in r and time.time() - r["time"] < 30:
                break  # still being answered: taken on the next fetch
            self.seq = r["seq"]
            path = r["path"].partition("?")[0]
            code, items = None, []
            if path in (POLL_PATH, REPORT_PATH):
                try:
                    body = json.loads(r["body"])
                    code = body.get("substratecode")
                    items = [i for i in body.get("request", []) if isinstance(i, dict)] if path == REPORT_PATH else []
                except (ValueError, AttributeError):
                    pass
            self.records.append((r["time"], path, r.get("status"), code, items))
        return self.records

    def close(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class Fleet:
    def __init__(self, args, mode, root, packages):
        self.args, self.mode, self.root = args, mode, root
        self.interval = args.interval
        self.service = Service(root, packages)
        self.devices = []
        self.procs = []
        self.stopped = set()
        for i in range(args.n):
            self.devices.append(self.prepare(i))

    def prepare(self, i):
        code = "FLEET-%05d" % (i + 1)
        d = os.path.join(self.root, code)
        os.makedirs(d)
        j = lambda *p: os.path.join(d, *p)  # noqa: E731
        # Boot times differ too: the jitter is seeded by substrate code and boot time.
        boot = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(1796112000 + 37 * i))
        commands = {"substratecode-generator": "#!/bin/sh\necho %s\n" % code,
                    "uptime": "#!/bin/sh\necho '%s'\n" % boot,
                    "ping": "#!/bin/sh\nexit 0\n", "dpkg-query": "#!/bin/sh\nexit 1\n", "install.sh": INSTALL}
        for name, text in commands.items():
            with open(j(name), "w") as f:
                f.write(text)
            os.chmod(j(name), 0o755)
        settings = {
            "log": {"log_dir": j("logs"), "log_file": "velk.log", "log_level": 2, "log_max_bytes": 1000000,
                    "log_counts": 1},
            "database": {"db_path": j("db"), "db_file": "velk.db"},
            "order_check": {"check_interval_sec": self.interval, "check_slice_interval_sec": 1, "delay_start_time": 1},
            "instruction_thread": {"loop_interval_sec": self.interval, "loop_slice_interval_sec": 1,
                                   "delay_start_thread_time": 1},
            "http_access": {"retry_num": 0, "retry_interval_sec": 1, "http_timeout": 30, "http_connect_timeout": 5},
            "software_update": {"package_dir": j("pkgs"), "upd_log_dir": j("upd_logs"),
                                "target_pkg_list_dir": j("pkg_list"), "script_download_pkg": self.args.download_script,
                                "script_install_pkg": j("install.sh"), "proc_retry_num": 1, "proc_retry_wait_sec": 1},
        }
        for source in (self.service.agent_settings, fleet_settings(self.mode, self.interval, self.args.rate_limit)):
            for key, value in source.items():
                settings.setdefault(key, {}).update(value)
        settings["server_alive"].update({"pint_retry_num": 1, "ping_retry_interval": 1})
        with open(j("velk.conf"), "w") as f:
            json.dump(settings, f, indent=1)
        return {"code": code, "dir": d}

    def start(self):
        """Starts every agent in the same instant; returns that instant."""
        binary = os.path.abspath(self.args.binary)
        # Each waits on a FIFO, so forking them one by one does not spread their start.
        gate = os.path.join(self.root, "gate")
        os.mkfifo(gate)
        # Held open until all are at their read: none blocks in open(), all read the end at once.
        held = os.open(gate, os.O_RDWR)
        for dev in self.devices:
            env = dict(os.environ, VELKCTL=os.path.abspath(self.args.velkctl),
                       VELK_CONFIG=os.path.join(dev["dir"], "velk.conf"))
            err = open(os.path.join(dev["dir"], "stderr.txt"), "w")
            self.procs.append(subprocess.Popen(
                DIE_WITH_PARENT + ["sh", "-c", 'read _ < "$0"; exec "$1"', gate, binary],
                cwd=dev["dir"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err))
            err.close()
        deadline = time.monotonic() + 120
        waiting = list(self.procs)
        while waiting and time.monotonic() < deadline:
            waiting = [p for p in waiting if not self._at_gate(p.pid, gate)]
            time.sleep(0.1)
        if waiting:
            say("%d agents not at the start gate after 120 s: they do not start" % len(waiting))
        started = time.time()
        os.close(held)
        return started

    @staticmethod
    def _at_gate(pid, gate):
        try:
            return os.readlink("/proc/%d/fd/0" % pid) == gate
        except OSError:
            return False


    def signal(self, indexes, signum):
        for i in indexes:
            if self.procs[i].poll() is None:
                self.procs[i].send_signal(signum)
        if signum == signal.SIGSTOP:
            self.stopped.update(indexes)
        elif signum == signal.SIGCONT:
            self.stopped.difference_update(indexes)

    def close(self):
        self.signal(list(self.stopped), signal.SIGCONT)
        for p in self.procs:
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
        deadline = time.monotonic() + 20
        for p in self.procs:
            try:
                p.wait(max(deadline - time.monotonic(), 0.1))
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        self.service.close()

    def dead(self):
        return [d["code"] for d, p in zip(self.devices, self.procs) if p.poll() is not None]

    # --- measures ---------------------------------------------------------------------------

    def polls_after(self, since, ok_only=True):
        """First poll time per device at or after `since` (answered 200 when ok_only)."""
        first = {}
        for t, path, status, code, _ in self.service.records:
            if path == POLL_PATH and t >= since and code and (status == 200 or not ok_only):
                first.setdefault(code, t)
        return first

    def wait_all_polled(self, since, timeout):
        """Seconds from `since` until every device has polled with success, or None."""
        deadline = time.time() + timeout
        while True:
            first = self.polls_after(since)
            if len(first) >= len(self.devices):
                return max(first.values()) - since
            if time.time() > deadline:
                return None
            time.sleep(1)
            self.service.fetch()

    def bins(self, start, end, what):
        """Per-second counts in [start, end) of polls ("polls") or of every API call ("api")."""
        counts = [0] * max(int(math.ceil(end - start)), 1)
        for t, path, _, _, _ in self.service.records:
            if start <= t < end and not path.startswith("/packages/") and (what == "api" or path == POLL_PATH):
                counts[min(int(t - start), len(counts) - 1)] += 1
        return counts

    def calls(self, start, end):
        return sum(self.by_path(start, end).values())

    def by_path(self, start, end):
        """API calls in [start, end) per path."""
        counts = {}
        for t, path, _, _, _ in self.service.records:
            if start <= t < end and not path.startswith("/packages/"):
                counts[path] = counts.get(path, 0) + 1
        return counts

    def reports(self, since):
        """Per device: the report items (status, message) sent since `since`."""
        got = {}
        for t, path, _, code, items in self.service.records:
            if path == REPORT_PATH and t >= since and code:
                got.setdefault(code, []).extend((i.get("status"), i.get("message")) for i in items)
        return got


def build_package(work, out_dir, size):
    """A package of `size` random bytes, stored uncompressed so that the download is that long."""
    stage = os.path.join(work, "stage")
    os.makedirs(os.path.join(stage, "DEBIAN"))
    os.makedirs(os.path.join(stage, "usr", "share", "velk-fleet"))
    with open(os.path.join(stage, "usr", "share", "velk-fleet", "blob"), "wb") as f:
        f.write(os.urandom(size))
    with open(os.path.join(stage, "DEBIAN", "control"), "w") as f:
        f.write("Package: %s\nVersion: %s\nArchitecture: all\nMaintainer: velk fleet <velk-fleet@localhost>\n"
                "Description: payload for the velk fleet simulation\n" % PACKAGE)
    for folder, _, _ in os.walk(stage):
        os.chmod(folder, 0o755)
    os.makedirs(out_dir)
    deb = os.path.join(out_dir, "%s_%s_all.deb" % PACKAGE)
    subprocess.run(["dpkg-deb", "-Znone", "--root-owner-group", "--build", stage, deb], check=True,
                   stdout=subprocess.DEVNULL)
    shutil.rmtree(stage)
    return deb


def outcomes(reports):
    """How many devices ended on each final status and message."""
    counts = {}
    for items in reports.values():
        final = [(s, m) for s, m in items if s in FINAL]
        if final:
            key = "%s %s" % (final[-1][0], (final[-1][1] or "")[:80])
            counts[key] = counts.get(key, 0) + 1
    return counts


def say(text):
    print("%s  %s" % (time.strftime("%H:%M:%S"), text), flush=True)


def local_epoch(text):
    return time.mktime(time.strptime(text, "%Y/%m/%d %H:%M:%S"))


def run_mode(args, mode, root, packages, deb):
    """Runs the four scenarios on a fresh fleet; returns the figures and the per-second series."""
    I, n = args.interval, args.n
    fleet = Fleet(args, mode, root, packages)
    out, series = {}, {}
    try:
        # (a) all at once
        t0 = fleet.start()
        say("%s: %d agents started" % (mode, n))
        time.sleep(4 * I)
        fleet.service.fetch()
        first = fleet.polls_after(t0, ok_only=False)
        polls = fleet.bins(t0, t0 + 4 * I, "polls")
        series["a"] = (t0, polls)
        times = sorted(first.values())
        out["a"] = {"devices_polled": len(first), "peak_polls": max(polls),
                    "peak_api": max(fleet.bins(t0, t0 + 4 * I, "api")),
                    "first_spread": times[-1] - times[0] if times else None,
                    "first_stdev": statistics.pstdev(times) if len(times) > 1 else None}
        out["a"]["load"] = os.getloadavg()[0]
        say("%s (a): %s" % (mode, out["a"]))

        # (b) connections refused for 4 intervals
        tb = time.time()
        fleet.service.post("/refuse", {"seconds": 4 * I})
        time.sleep(4 * I)
        tr = tb + 4 * I
        back = fleet.wait_all_polled(tr, 6 * I + 30)
        window = 6 * I
        time.sleep(max(tr + window - time.time(), 0))
        fleet.service.fetch()
        polls = fleet.bins(tr, tr + window, "polls")
        series["b"] = (tb, fleet.bins(tb, tr + window, "polls"))
        out["b"] = {"peak_polls": max(polls), "peak_api": max(fleet.bins(tr, tr + window, "api")),
                    "all_back_after": back, "calls_by_path": fleet.by_path(tr, tr + window)}
        out["b"]["load"] = os.getloadavg()[0]
        say("%s (b): %s" % (mode, out["b"]))

        # (c) 429 with Retry-After for 4 intervals
        tc = time.time()
        fleet.service.post("/throttle", {"seconds": 4 * I, "retry_after": 3 * I})
        time.sleep(4 * I)
        te = tc + 4 * I
        back = fleet.wait_all_polled(te, 6 * I + 30)
        time.sleep(max(te + 2 * I - time.time(), 0))
        fleet.service.fetch()
        series["c"] = (tc, fleet.bins(tc, max(time.time(), te + 2 * I), "polls"))
        out["c"] = {"calls_during": fleet.calls(tc, te), "all_back_after": back,
                    "calls_by_path": fleet.by_path(tc, te)}
        out["c"]["load"] = os.getloadavg()[0]
        say("%s (c): %s" % (mode, out["c"]))

        # (d) an order with windows; a quarter of the fleet away from before it until after them
        late = list(range(0, n, 4))
        fleet.signal(late, signal.SIGSTOP)
        time.sleep(2)
        name, version = PACKAGE
        order = {"item": "sw_update", "mode": "new", "sw_upd_no": 7,
                 "download_start_date": "+0", "download_end_date": "+%d" % (3 * I),
                 "install_start_date": "+%d" % (4 * I), "install_end_date": "+%d" % (6 * I),
                 "pkg_update": [{"pkg_name": name, "pkg_version": version,
                                 "pkg_url": "/packages/" + os.path.basename(deb)}]}
        td = time.time()
        sent = fleet.service.post("/broadcast", {"orders": [order]})["orders"][0]
        install_from = local_epoch(sent["install_start_date"])
        install_to = local_epoch(sent["install_end_date"]) + 1  # the end date's whole second counts
        time.sleep(max(install_to + 5 - time.time(), 0))
        fleet.signal(late, signal.SIGCONT)
        say("%s (d): %d devices back after the windows" % (mode, len(late)))
        deadline = time.time() + 8 * I
        while time.time() < deadline:
            time.sleep(1)
            fleet.service.fetch()
            done = [c for c, items in fleet.reports(td).items() if any(s in FINAL for s, _ in items)]
            if len(done) >= n:
                break
        time.sleep(2)
        fleet.service.fetch()
        downloads = fleet.service.get("/downloads")
        installs = []
        for dev in fleet.devices:
            try:
                with open(os.path.join(dev["dir"], "installs.txt")) as f:
                    installs += [float(line) for line in f if line.strip()]
            except FileNotFoundError:
                pass
        reports = fleet.reports(td)
        late_codes = {fleet.devices[i]["code"] for i in late}
        series["d"] = (td, fleet.bins(td, time.time(), "polls"),
                       [(t - td, a) for t, a in downloads["series"] if t >= td])
        out["d"] = {
            "peak_downloads": max([a for t, a in downloads["series"] if t >= td] or [0]),
            "downloads": sum(1 for t, p, s, _, _ in fleet.service.records
                             if t >= td and p.startswith("/packages/") and s == 200),
            "installs": len(installs),
            "installs_outside": sum(1 for t in installs if not install_from <= t < install_to),
            "late_window_ended": sum(1 for c in late_codes
                                     if any(m == "download window ended" for _, m in reports.get(c, []))),
            "late": len(late), "finished": sum(1 for c, items in reports.items()
                                               if any(s in FINAL for s, _ in items)),
            "outcomes": outcomes(reports),
        }
        out["d"]["load"] = os.getloadavg()[0]
        say("%s (d): %s" % (mode, out["d"]))
        out["dead"] = fleet.dead()
        return out, series
    finally:
        fleet.close()


def fmt(value, digits=1):
    if value is None:
        return "-"
    if isinstance(value, float):
        return "%.*f" % (digits, value)
    return str(value)


def table(args, results):
    mean = args.n / args.interval
    off, on = results.get("off", {}), results.get("on", {})

    def row(scenario, measure, key, sub, digits=1):
        return "| %s | %s | %s | %s |" % (scenario, measure, fmt(off.get(key, {}).get(sub), digits),
                                          fmt(on.get(key, {}).get(sub), digits))
    loads = ["%s %s" % (mode, "/".join("%.1f" % r[k]["load"] for k in "abcd" if "load" in r.get(k, {})))
             for mode, r in results.items()]
    lines = [
        "N = %d agents, check interval %d s: mean %.0f polls/s; twice the mean: %.0f." % (
            args.n, args.interval, mean, 2 * mean),
        "Load average (1 min, %d cores) after (a)/(b)/(c)/(d): %s." % (os.cpu_count(), "; ".join(loads)),
        "",
        "| scenario | measure | off | on |",
        "|---|---|---|---|",
        row("(a) all start at once", "peak polls/s (1-s bins, first %d s)" % (4 * args.interval), "a", "peak_polls"),
        row("", "peak API calls/s (login, poll, report)", "a", "peak_api"),
        row("", "first polls: first to last (s)", "a", "first_spread"),
        row("", "first polls: standard deviation (s)", "a", "first_stdev"),
        row("(b) connections refused %d s" % (4 * args.interval), "peak polls/s after the return (%d s)"
            % (6 * args.interval), "b", "peak_polls"),
        row("", "peak API calls/s after the return", "b", "peak_api"),
        row("", "every device polled again after (s)", "b", "all_back_after"),
        row("(c) 429, Retry-After %d s, for %d s" % (3 * args.interval, 4 * args.interval),
            "API calls received meanwhile", "c", "calls_during"),
        row("", "every device polled again after (s)", "c", "all_back_after"),
        row("(d) order with windows, 1/4 away", "peak concurrent downloads", "d", "peak_downloads"),
        row("", "downloads served", "d", "downloads"),
        row("", "installs run", "d", "installs"),
        row("", "installs outside the install window", "d", "installs_outside"),
        row("", "away devices closed \"download window ended\" (of %d)" % len(range(0, args.n, 4)),
            "d", "late_window_ended"),
    ]
    return "\n".join(lines) + "\n"


def plot(out_dir, args, series):
    names = {"a": "(a) all devices start at once", "b": "(b) connections refused, then back",
             "c": "(c) 429 with Retry-After", "d": "(d) order with windows"}
    plots = []
    for key in "abcd":
        lines = []
        for mode in ("off", "on"):
            if key not in series.get(mode, {}):
                continue
            data = os.path.join(out_dir, "%s-%s.dat" % (key, mode))
            with open(data, "w") as f:
                f.writelines("%d %d\n" % (s, c) for s, c in enumerate(series[mode][key][1]))
            lines.append("'%s' using 1:2 with steps lw 1.5 title 'polls/s, %s'" % (data, mode))
            if key == "d":
                dl = os.path.join(out_dir, "d-%s-downloads.dat" % mode)
                with open(dl, "w") as f:
                    f.writelines("%.2f %d\n" % row for row in series[mode][key][2])
                lines.append("'%s' using 1:2 with steps dt 2 title 'downloads in progress, %s'" % (dl, mode))
        # Grey: the outage, the 429s, the install window.
        span = {"b": (0, 4), "c": (0, 4), "d": (4, 6)}.get(key)
        shade = ("set object 1 rect from %d,graph 0 to %d,graph 1 fc rgb '#e8e8e8' fs solid noborder behind\n"
                 % (span[0] * args.interval, span[1] * args.interval) if span else "unset object 1\n")
        plots.append("%sset title '%s'\nplot %s, %g with lines lc 'gray' dt 3 title 'twice N/interval'\n"
                     % (shade, names[key], ", ".join(lines), 2 * args.n / args.interval))
    script = ("set terminal png size 1200,800\nset output '%s/fleet.png'\nset multiplot layout 2,2\n"
              "set xlabel 's'\nset grid\nset key top right font ',8'\nset yrange [0:*]\n%sunset multiplot\n"
              % (out_dir, "".join(plots)))
    if not shutil.which("gnuplot"):
        print("gnuplot not found: no plot", file=sys.stderr)
        return
    subprocess.run(["gnuplot"], input=script, text=True, check=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0], epilog=__doc__.split("\n\n", 1)[1],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--binary", required=True, help="the sandbox agent (velk-sandbox)")
    parser.add_argument("--velkctl", required=True, help="velkctl, for the download script's settings")
    parser.add_argument("--n", type=int, default=200, help="agents (default 200)")
    parser.add_argument("--interval", type=int, default=10, help="check interval in seconds (default 10)")
    parser.add_argument("--rate-limit", type=int, default=200000, help="download_rate_limit when on (bytes/s)")
    parser.add_argument("--package-kb", type=int, default=1500, help="size of the package (kB)")
    parser.add_argument("--download-script", default=DOWNLOAD_SCRIPT)
    parser.add_argument("--modes", default="off,on")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    args.download_script = os.path.abspath(args.download_script)

    def stop(signum, _frame):
        raise KeyboardInterrupt("signal %d" % signum)
    signal.signal(signal.SIGTERM, stop)
    os.makedirs(args.out, exist_ok=True)
    # Memory-backed when there is one: 200 databases syncing at once on a shared disk would measure the disk.
    base = tempfile.mkdtemp(prefix="velk-fleet-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    started = time.time()
    results, series = {}, {}
    try:
        packages = os.path.join(base, "packages")
        deb = build_package(base, packages, args.package_kb * 1000)
        say("package %s: %d bytes" % (os.path.basename(deb), os.path.getsize(deb)))
        for mode in args.modes.split(","):
            root = os.path.join(base, mode)
            os.makedirs(root)
            results[mode], series[mode] = run_mode(args, mode, root, packages, deb)
            shutil.rmtree(root, ignore_errors=True)
    except KeyboardInterrupt:
        print("interrupted: cleaning up", file=sys.stderr)
        return 130
    finally:
        shutil.rmtree(base, ignore_errors=True)
    text = table(args, results)
    with open(os.path.join(args.out, "fleet.md"), "w") as f:
        f.write(text)
    with open(os.path.join(args.out, "fleet.json"), "w") as f:
        json.dump({"n": args.n, "interval": args.interval, "seconds": time.time() - started, "results": results},
                  f, indent=1)
    plot(args.out, args, series)
    print(text, end="")
    print("fleet: %d agents, %.0f s; %s/fleet.md, fleet.png" % (args.n, time.time() - started, args.out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
