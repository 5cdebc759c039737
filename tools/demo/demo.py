#!/usr/bin/env python3
"""The velk agent's main job, end to end, on this machine: what `make demo` runs.

It lays out a demo world in one folder (configuration, database, logs, package, list and log
folders, a private dpkg root and stand-ins for the device's commands), builds two small Debian
packages and an order signing key, starts the local monitoring service
(tools/monitoring_service.py, signing every order with that key) and the sandbox agent (taking
only signed orders), queues an update order for the packages (download now, install a few seconds
later), shows the run as it happens, stops the agent with SIGTERM and prints a summary. The install
script has `velkctl verify` check the order and the files before dpkg runs. Nothing is installed
outside the world folder; Ctrl-C stops everything it started.

  demo.py --binary build/velk-sandbox --dir build/demo
  demo.py --binary build/velk-sandbox --dir build/demo --prepare --port 8443
      only lays out the world for an agent that talks to a service on port 8443, and tells how
      to run both by hand
"""
import argparse
import heapq
import itertools
import json
import os
import shlex
import shutil
import signal
import sqlite3
import subprocess
import sys
import threading
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, TOOLS)
import debs  # noqa: E402
import monitoring_service  # noqa: E402

MARKER = ".velk-demo"
SUBSTRATE_CODE = "DEMO-DEVICE-0001"
UPDATE_NUMBER = 1
INSTALL_DELAY = 6
HOLD_BACK = 1.5

UPDATE_STATUS = {0: "waiting", 11: "downloading", 12: "downloaded", 19: "download failed", 21: "installing",
                 22: "installed", 29: "install failed", 98: "cancelled", 99: "superseded"}
ORDER_STATUS = {1: "download report not delivered", 2: "download report delivered",
                11: "install report not delivered", 12: "install report delivered"}

# The agent's log lines that tell the story, and how each is shown (None: the message itself).
AGENT_EVENTS = [
    ("  Corvane execution.", "started"),
    ("Main Thread Loop Start", "main loop started: it polls the service"),
    ("receive json : has OS Boot time and DB insert -> true", "boot time acknowledged by the service"),
    ("!!! Receive Order Signal !!!", None),
    ("in hasCheckOrderFromReceiveData : software update order : json->", "order received"),
    ("update success : insert order info", "order stored in the database (update_info status 0)"),
    ("update failed : insert order info", None),
    ("=================- execute order", "executor: an update stage is due"),
    ("in UpdateThread : download -> ", None),
    ("network access OK!", None),
    ("network access NG!", None),
    ("download command -> <<<", None),
    ("update command -> <<<", None),
    ("download success : exit code", None),
    ("update success : exit code", None),
    ("download failed : exit code", None),
    ("update failed : exit code", None),
    ("success to upload download result", "download result reported"),
    ("success to upload update result", "install result reported"),
    ("failed to upload", None),
    ("DOWNLOAD : SUCCESS", "download finished: update_info status 12"),
    ("DOWNLOAD : FAILED", None),
    ("UPDATE : SUCCESS", "install finished: update_info status 22"),
    ("UPDATE : FAILED", None),
    ("!!! Receive Exit Signal !!!", None),
    ("Main Thread Loop Finished", "main loop finished"),
    ("stop Instruction Thread : result", "executor asked to stop"),
    ("<ORDER> in LoopThread : end", "executor thread ended"),
    ("signature verified", None),
    (" refused : ", None),
    ("digest mismatch", None),
    ("main end", None),
]


class DemoError(Exception):
    pass


def _message(line):
    """The message of an agent log line without its time, level and source prefixes."""
    text = line.split(" : ", 1)[1] if " : " in line else line
    while text.startswith("["):
        end = text.find("] ")
        if end < 0:
            break
        text = text[end + 2:]
    return text.strip()


def _log_time(line):
    """The time of an agent log line ("%Y-%m-%d %H:%M:%S.%e"), or None."""
    try:
        seconds = time.mktime(time.strptime(line[:19], "%Y-%m-%d %H:%M:%S"))
        # The log cuts to whole milliseconds; what the agent logs follows what the demo did
        # within the same millisecond.
        return seconds + (int(line[20:23]) + 1) / 1000.0
    except ValueError:
        return None


def _timeline_entry(line):
    """(time, event) of a service timeline line "%H:%M:%S.mmm  event" of the last day."""
    stamp, _, event = line.partition("  ")
    try:
        clock = time.strptime(stamp[:8], "%H:%M:%S")
        now = time.time()
        today = time.localtime(now)
        when = time.mktime(today[:3] + clock[3:6] + (0, 0, -1)) + int(stamp[9:12]) / 1000.0
    except ValueError:
        return None, line
    return (when - 86400 if when > now + 3600 else when), event.lstrip()


def write_file(path, text, mode=0o644):
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    os.chmod(path, mode)


def rel(path):
    """A path as short as it reads well: relative to the current folder when inside it."""
    relative = os.path.relpath(path)
    return path if relative.startswith(os.pardir) else relative


def find_velkctl(binary):
    """velkctl beside the agent, or a folder up (the cross build's test launcher sits in tests/),
    behind the emulator when the tests run emulated."""
    folder = os.path.dirname(os.path.abspath(binary))
    for candidate in (os.path.join(folder, "velkctl"), os.path.join(os.path.dirname(folder), "velkctl")):
        if os.access(candidate, os.X_OK):
            return " ".join(filter(None, [os.environ.get("VELK_EMULATOR", ""), shlex.quote(candidate)]))
    return None


class Demo:
    def __init__(self, binary, world, out=None, scale=1.0, velkctl=None):
        self.binary = os.path.abspath(binary)
        # A command line: it may start with the emulator.
        self.velkctl = velkctl or find_velkctl(binary)
        self.world = os.path.abspath(world)
        self.out = out if out is not None else sys.stdout
        self.scale = scale
        self.print_lock = threading.Lock()
        self.service = None
        self.service_info = None
        self.agent = None
        self.agent_exit = None
        self.readers = []
        self.tail_stop = threading.Event()
        self.hurry = False
        self.packages = []
        self.pending = []
        self.sequence = itertools.count()
        self.printer_stop = threading.Event()
        self.final_reports = []

    # --- output -------------------------------------------------------------------------

    def show(self, source, text="", when=None):
        """Prints a line of the run. Lines of the run are held back a moment and printed in time
        order, since the agent writes its log in bursts; a line without a source (a heading)
        first prints everything held back."""
        with self.print_lock:
            if source:
                heapq.heappush(self.pending, (time.time() if when is None else when, next(self.sequence),
                                              source, text))
                if self.printer_stop.is_set():
                    self._print_pending(float("inf"))
                return
            self._print_pending(float("inf"))
            self.out.write(text + "\n")
            self.out.flush()

    def _print_pending(self, until):
        # Called with print_lock held.
        while self.pending and self.pending[0][0] <= until:
            when, _, source, text = heapq.heappop(self.pending)
            self.out.write("%s  %-7s  %s\n" % (time.strftime("%H:%M:%S", time.localtime(when)), source, text))
        self.out.flush()

    def _printer(self):
        while not self.printer_stop.wait(0.2):
            with self.print_lock:
                self._print_pending(time.time() - HOLD_BACK)

    def path(self, *parts):
        return os.path.join(self.world, *parts)

    # --- the world ----------------------------------------------------------------------

    def reset_world(self):
        if os.path.isdir(self.world) and os.listdir(self.world):
            if not os.path.exists(self.path(MARKER)):
                raise DemoError("%s exists and is not a demo world: not removing it" % self.world)
            shutil.rmtree(self.world)
        os.makedirs(self.world, exist_ok=True)
        write_file(self.path(MARKER), "The velk demo lays this folder out anew on every run.\n")

    def lay_out(self):
        """Stand-ins for the device's commands, the update scripts, the private dpkg root and the
        order signing key, whose public half is the agent's one trusted key."""
        if not self.velkctl:
            raise DemoError("no velkctl beside %s; build it first (make build)" % rel(self.binary))
        for folder in ("db", "logs", "pkgs", "pkg_list", "upd_logs", "service", "trusted-keys",
                       "dpkg-root/var/lib/dpkg/info", "dpkg-root/var/lib/dpkg/updates", "dpkg-root/var/log"):
            os.makedirs(self.path(folder), exist_ok=True)
        write_file(self.path("dpkg-root/var/lib/dpkg/status"), "")
        write_file(self.path("substratecode-generator"), "#!/bin/sh\necho %s\n" % SUBSTRATE_CODE, 0o755)
        write_file(self.path("uptime"),
                   "#!/bin/sh\n# This machine's boot time, or a fixed one where uptime is missing.\n"
                   "/usr/bin/uptime -s 2>/dev/null || echo '2026-01-01 00:00:00'\n", 0o755)
        write_file(self.path("ping"),
                   "#!/bin/sh\n# The monitoring service runs on this machine: it is always reachable.\nexit 0\n", 0o755)
        write_file(self.path("dpkg-query"),
                   "#!/bin/sh\n# The agent asks for installed versions: answer from the demo's own root.\n"
                   "exec dpkg-query --admindir=%s \"$@\"\n" % shlex.quote(self.path("dpkg-root/var/lib/dpkg")), 0o755)
        for script in ("download.sh", "install.sh"):
            shutil.copy(os.path.join(HERE, script), self.path(script))
            os.chmod(self.path(script), 0o755)
        write_file(self.path("demo.env"),
                   "VELK_DEMO_CA=%s\nVELK_DEMO_DPKG_ROOT=%s\nVELK_DEMO_VELKCTL=%s\nVELK_DEMO_CONFIG=%s\n" % tuple(
                       shlex.quote(v) for v in (self.path("service", "ca.pem"), self.path("dpkg-root"),
                                                self.path("velkctl"), self.path("velk.conf"))))
        write_file(self.path("velkctl"), "#!/bin/sh\nexec %s \"$@\"\n" % self.velkctl, 0o755)
        _, public = monitoring_service.generate_key(self.path("keys"))
        shutil.copy(public, self.path("trusted-keys"))
        self.show("demo", "order signing key made: %s; its public half in %s" % (
            rel(self.path("keys", monitoring_service.PRIVATE_KEY_NAME)), rel(self.path("trusted-keys"))))

    def build_packages(self):
        self.packages = []
        for recipe in debs.DEMO_PACKAGES:
            deb = debs.build_package(recipe, self.path("packages"), self.path("package-build"))
            self.packages.append((recipe["name"], recipe["version"], deb))
            self.show("demo", "built package %s %s -> %s" % (recipe["name"], recipe["version"], rel(deb)))

    def write_config(self, base_url):
        settings = {
            "log": {"log_dir": self.path("logs"), "log_file": "velk.log", "log_level": 0,
                    "log_max_bytes": 20000000, "log_counts": 2},
            "database": {"db_path": self.path("db"), "db_file": "velk.db"},
            "order_check": {"check_interval_sec": 30, "check_slice_interval_sec": 1, "delay_start_time": 1},
            "instruction_thread": {"loop_interval_sec": 2, "loop_slice_interval_sec": 1,
                                   "delay_start_thread_time": 1},
            "server_alive": {"ping_server_fqdn": "localhost", "ping_server_ipaddr": "127.0.0.1",
                             "pint_retry_num": 1, "ping_retry_interval": 1},
            "http_access": {"retry_num": 1, "retry_interval_sec": 1, "http_timeout": 20,
                            "http_connect_timeout": 5},
            "software_update": {
                "package_dir": self.path("pkgs"), "upd_log_dir": self.path("upd_logs"),
                "target_pkg_list_dir": self.path("pkg_list"),
                "script_download_pkg": self.path("download.sh"), "script_install_pkg": self.path("install.sh"),
                "proc_retry_num": 1, "proc_retry_wait_sec": 2,
                "order_signature": "required", "trusted_keys_dir": self.path("trusted-keys"),
            },
        }
        for section, values in monitoring_service.agent_settings(base_url, self.path("service", "ca.pem")).items():
            settings.setdefault(section, {}).update(values)
        write_file(self.path("velk.conf"), json.dumps(settings, indent=2) + "\n")

    # --- processes ----------------------------------------------------------------------

    def start_service(self):
        command = [sys.executable, os.path.join(TOOLS, "monitoring_service.py"), "--dir", self.path("service"),
                   "--packages", self.path("packages"), "--signing-key", self.signing_key(),
                   "--info-json", "--stop-on-eof"]
        self.service_stderr = open(self.path("service", "stderr.txt"), "w")
        # Its own session: Ctrl-C reaches only this driver, which then stops things in order.
        self.service = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=self.service_stderr, text=True, start_new_session=True)
        self.show("demo", "monitoring service started: %s (pid %d)" % (rel(command[1]), self.service.pid))
        first = self.service.stdout.readline()
        try:
            self.service_info = json.loads(first)
        except ValueError:
            raise DemoError("the monitoring service did not start; see %s" % self.path("service", "stderr.txt"))
        timeline = open(self.path("service", "timeline.log"), "w")

        def read():
            with timeline:
                for line in self.service.stdout:
                    timeline.write(line)
                    timeline.flush()
                    when, text = _timeline_entry(line.rstrip("\n"))
                    self.show("service", text, when)
        reader = threading.Thread(target=read, daemon=True)
        reader.start()
        self.readers.append(reader)

    def signing_key(self):
        return self.path("keys", monitoring_service.PRIVATE_KEY_NAME)

    def control(self, path, body=None):
        url = "http://127.0.0.1:%d%s" % (self.service_info["control_port"], path)
        data = None if body is None else json.dumps(body).encode("utf-8")
        with urllib.request.urlopen(urllib.request.Request(url, data=data), timeout=10) as answer:
            return json.loads(answer.read())

    def start_agent(self):
        command = [self.binary]
        if shutil.which("setpriv"):
            # Should this driver be killed outright, the agent still gets its SIGTERM.
            command = ["setpriv", "--pdeathsig", "TERM", "--"] + command
        self.agent_stderr = open(self.path("logs", "agent-stderr.txt"), "w")
        self.agent = subprocess.Popen(command, cwd=self.world, stdin=subprocess.DEVNULL,
                                      stdout=subprocess.DEVNULL, stderr=self.agent_stderr, start_new_session=True)
        self.show("demo", "agent started: %s (pid %d) in %s" % (rel(self.binary), self.agent.pid, rel(self.world)))
        tail = threading.Thread(target=self._follow_logs, daemon=True)
        tail.start()
        self.readers.append(tail)

    def _agent_line(self, line):
        for fragment, label in AGENT_EVENTS:
            if fragment in line:
                self.show("agent", label or _message(line), _log_time(line))
                return

    def _install_line(self, line):
        # install.sh writes the velkctl verify call and its answer, indented, before dpkg.
        if line.startswith(("velkctl ", "    ")):
            self.show("install", line.strip())

    def _follow_logs(self):
        """The agent's log, and the install script's logs as they appear."""
        positions = {}
        pending = {}
        while True:
            finishing = self.tail_stop.is_set()
            logs = [(self.path("logs", "velk.log"), self._agent_line)]
            try:
                logs += [(self.path("upd_logs", name), self._install_line)
                         for name in sorted(os.listdir(self.path("upd_logs"))) if name.startswith("update_")]
            except FileNotFoundError:
                pass
            for log, handle in logs:
                try:
                    with open(log, encoding="utf-8", errors="replace") as f:
                        f.seek(positions.get(log, 0))
                        chunk = f.read()
                        positions[log] = f.tell()
                except FileNotFoundError:
                    chunk = ""
                *lines, pending[log] = (pending.get(log, "") + chunk).split("\n")
                for line in lines:
                    handle(line)
            if finishing:
                return
            time.sleep(0.1)

    def wait_for(self, what, predicate, timeout):
        deadline = time.monotonic() + timeout * self.scale
        while True:
            if self.agent is not None and self.agent.poll() is not None and self.agent_exit is None:
                raise DemoError("the agent ended (status %s) while waiting for %s; see %s" % (
                    self.agent.returncode, what, rel(self.path("logs"))))
            value = predicate()
            if value:
                return value
            if time.monotonic() > deadline:
                raise DemoError("gave up waiting for %s" % what)
            time.sleep(0.2)

    def stop_agent(self, timeout=30):
        if self.agent is None or self.agent_exit is not None:
            return
        started = time.monotonic()
        if self.agent.poll() is None:
            self.agent.send_signal(signal.SIGTERM)
        deadline = started + timeout * self.scale
        while self.agent.poll() is None and not self.hurry and time.monotonic() < deadline:
            time.sleep(0.1)
        if self.agent.poll() is None:
            self.show("demo", "the agent did not end in time: killing it")
            self.agent.kill()
            self.agent.wait()
        self.agent_exit = (self.agent.returncode, time.monotonic() - started)
        self.show("demo", "agent ended with exit status %d after %.1f s" % self.agent_exit)

    def cleanup(self):
        """Stops whatever is still running; a second Ctrl-C makes it quick."""
        previous = {}
        if threading.current_thread() is threading.main_thread():
            for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
                previous[signum] = signal.signal(signum, self._hurry)
        try:
            if self.agent is not None:
                self.stop_agent()
                # Its update scripts share its process group; none may outlive it.
                try:
                    os.killpg(self.agent.pid, signal.SIGKILL)
                except (ProcessLookupError, PermissionError):
                    pass
                self.agent_stderr.close()
            if self.service is not None and self.service.poll() is None:
                # The end of its input stops the service; SIGTERM, then SIGKILL if that is not enough.
                try:
                    self.service.stdin.close()
                except OSError:
                    pass
                for ask in (None, signal.SIGTERM, signal.SIGKILL):
                    if ask is not None:
                        self.service.send_signal(ask)
                    try:
                        self.service.wait(timeout=1 if self.hurry else 5)
                        break
                    except subprocess.TimeoutExpired:
                        pass
            if self.service is not None:
                self.service_stderr.close()
            self.tail_stop.set()
            for reader in self.readers:
                reader.join(timeout=5)
            if self.service is not None:
                self.service.stdout.close()
            self.printer_stop.set()
            with self.print_lock:
                self._print_pending(float("inf"))
        finally:
            for signum, handler in previous.items():
                signal.signal(signum, handler)

    def _hurry(self, *_):
        self.hurry = True

    # --- the scenario -------------------------------------------------------------------

    def reports(self):
        return [r["json"] for r in self.control("/reports")["reports"] if isinstance(r.get("json"), dict)]

    def report_statuses(self):
        return [item.get("status") for r in self.reports() for item in r.get("request", [])
                if item.get("sw_upd_no") == UPDATE_NUMBER]

    def run(self):
        """The whole scenario; returns the exit status (0 when the packages are installed and both
        reports reached the service)."""
        self.show("", "velk demo: the agent's main job, end to end, on this machine")
        self.show("", "world: %s (configuration, database, logs, scripts, dpkg root)" % rel(self.world))
        self.show("", "")
        printer = threading.Thread(target=self._printer, daemon=True)
        printer.start()
        try:
            self.reset_world()
            self.lay_out()
            self.build_packages()
            self.start_service()
            self.write_config(self.service_info["base_url"])
            self.start_agent()
            self.wait_for("the agent's first poll",
                          lambda: any(d["polls"] for d in self.control("/status")["devices"]), 30)
            time.sleep(0.3)  # lets the agent's lines about that poll come first
            order = monitoring_service.update_order(
                UPDATE_NUMBER, [(name, version, monitoring_service.PACKAGE_PATH + os.path.basename(deb))
                                for name, version, deb in self.packages], "+0", "+%d" % INSTALL_DELAY)
            self.control("/orders", order)
            self.show("demo", "update order %d queued (download now, install in %d s); SIGUSR1 asks the agent "
                              "to poll now" % (UPDATE_NUMBER, INSTALL_DELAY))
            self.agent.send_signal(signal.SIGUSR1)
            finished = self.wait_for("the install report", lambda: {19, 22, 29} & set(self.report_statuses()), 90)
            time.sleep(0.5)
            self.show("demo", "update %d finished (%s); SIGTERM asks the agent to stop" % (
                UPDATE_NUMBER, ", ".join(UPDATE_STATUS[s] for s in sorted(finished))))
            self.stop_agent()
            self.final_reports = self.reports()
        finally:
            self.cleanup()
        return self.summary(self.final_reports)

    def installed(self):
        admin = self.path("dpkg-root", "var", "lib", "dpkg")
        out = subprocess.run(["dpkg-query", "--admindir=" + admin, "-W",
                              "-f=${db:Status-Abbrev}${Package} ${Version}\n"], capture_output=True, text=True).stdout
        return [line.split()[1:] for line in out.splitlines() if line.startswith("ii ")]

    def database(self):
        connection = sqlite3.connect(self.path("db", "velk.db"))
        try:
            return {
                "update_info": connection.execute(
                    "SELECT id, sw_upd_no, update_status, download_start_time, update_start_time FROM update_info "
                    "ORDER BY id").fetchall(),
                "update_package": connection.execute(
                    "SELECT package_name, package_version, old_version, target_flag, download_flag "
                    "FROM update_package ORDER BY id").fetchall(),
                "order_info": connection.execute(
                    "SELECT id, order_kind, order_status, response_json FROM order_info ORDER BY id").fetchall(),
                "os_boot_time": connection.execute(
                    "SELECT boot_time, is_send FROM os_boot_time ORDER BY id").fetchall(),
            }
        finally:
            connection.close()

    def summary(self, reports):
        db = self.database()
        installed = self.installed()
        statuses = [item.get("status") for r in reports for item in r.get("request", [])]
        show = self.show
        show("", "")
        show("", "Summary")
        show("", "  agent exit status %d (SIGTERM, orderly shutdown in %.1f s)" % self.agent_exit)
        show("", "  database %s" % rel(self.path("db", "velk.db")))
        for row_id, number, status, download, install in db["update_info"]:
            show("", "    update_info    id %d  update %d  status %d (%s)  download %s  install %s" % (
                row_id, number, status, UPDATE_STATUS.get(status, "?"), download, install))
        for name, version, old, target, downloaded in db["update_package"]:
            show("", "    update_package %s %s (installed before: %s)  target_flag %s  download_flag %s" % (
                name, version, old or "none", target, downloaded))
        for row_id, kind, status, _ in db["order_info"]:
            show("", "    order_info     id %d  kind %d  order_status %s (%s)" % (
                row_id, kind, status, ORDER_STATUS.get(status, "no report")))
        for boot, sent in db["os_boot_time"]:
            show("", "    os_boot_time   %s  %s" % (boot, "acknowledged" if sent else "not acknowledged"))
        show("", "  reports at the service: %d" % len(statuses))
        for report in reports:
            for item in report.get("request", []):
                show("", "    %s  update %s  status %s  \"%s\"  at %s" % (
                    report.get("substratecode"), item.get("sw_upd_no"), item.get("status"), item.get("message"),
                    item.get("report_datetime")))
        root = self.path("dpkg-root")
        show("", "  installed in the demo's dpkg root (dpkg --root=%s -l):" % rel(root))
        for name, version in installed:
            show("", "    %s %s" % (name, version))
        hello = os.path.join(root, "usr", "bin", "velk-demo-hello")
        if os.access(hello, os.X_OK):
            said = subprocess.run([hello], capture_output=True, text=True).stdout.strip()
            show("", "    %s says: %s" % (rel(hello), said))
        show("", "  orders signed with %s; the agent takes only those its key in %s verifies" % (
            rel(self.signing_key()), rel(self.path("trusted-keys"))))
        show("", "  logs")
        show("", "    agent            %s" % rel(self.path("logs", "velk.log")))
        show("", "    update scripts   %s" % ", ".join(rel(self.path("upd_logs", f))
                                                       for f in sorted(os.listdir(self.path("upd_logs")))))
        show("", "    service timeline %s" % rel(self.path("service", "timeline.log")))
        wanted = sorted((name, version) for name, version, _ in self.packages)
        ok = (self.agent_exit[0] == 0 and statuses == [12, 22] and sorted(tuple(p) for p in installed) == wanted)
        show("", "")
        show("", "demo %s" % ("done: both packages installed, both reports at the service" if ok else "FAILED"))
        return 0 if ok else 1

    def prepare(self, port):
        """The world alone, for an agent and a service started by hand."""
        self.reset_world()
        self.lay_out()
        self.build_packages()
        self.write_config("https://127.0.0.1:%d" % port)
        service = [rel(os.path.join(TOOLS, "monitoring_service.py")), "--dir", rel(self.path("service")),
                   "--port", str(port), "--status-port", str(port + 1), "--packages", rel(self.path("packages")),
                   "--signing-key", rel(self.signing_key()), "--update-order", str(UPDATE_NUMBER),
                   "--install-in", "30"]
        show = self.show
        show("", "")
        show("", "The world is ready. In one terminal start the service (it queues update order %d):" % UPDATE_NUMBER)
        show("", "  " + " ".join(shlex.quote(a) for a in service))
        show("", "In another, the agent:")
        show("", "  cd %s && %s" % (shlex.quote(rel(self.world)), shlex.quote(self.binary)))
        show("", "Watch %s and http://127.0.0.1:%d/ ; kill -USR1 polls at once, kill -TERM stops the agent." % (
            rel(self.path("logs", "velk.log")), port + 1))
        return 0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0], epilog=__doc__.split("\n\n", 1)[1],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--binary", required=True, help="the sandbox agent (build/velk-sandbox)")
    parser.add_argument("--dir", required=True, help="the demo world's folder (laid out anew)")
    parser.add_argument("--prepare", action="store_true", help="only lay out the world; see above")
    parser.add_argument("--port", type=int, default=8443, help="service port for --prepare")
    parser.add_argument("--time-scale", type=float, default=1.0, help="stretches every time limit (emulators)")
    parser.add_argument("--velkctl", help="velkctl for the install script (default: beside --binary)")
    args = parser.parse_args(argv)
    if not os.access(args.binary, os.X_OK):
        parser.error("%s is not an executable; build it first (make build)" % args.binary)

    def interrupted(signum, _frame):
        raise KeyboardInterrupt(signum)
    # SIGINT too: a shell that starts the demo in the background would have it ignored.
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, interrupted)

    demo = Demo(args.binary, args.dir, scale=args.time_scale,
                velkctl=shlex.quote(os.path.abspath(args.velkctl)) if args.velkctl else None)
    try:
        return demo.prepare(args.port) if args.prepare else demo.run()
    except DemoError as e:
        demo.show("demo", "FAILED: %s" % e)
        return 1
    except KeyboardInterrupt:
        demo.show("demo", "interrupted: everything the demo started is stopped")
        return 130


if __name__ == "__main__":
    sys.exit(main())
