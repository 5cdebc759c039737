#!/usr/bin/env python3
"""A local monitoring service for velk agents: login, poll, reports and package files over HTTPS.

It runs on this machine only (127.0.0.1), with a certificate it makes for itself on start, and
grows from the fake service the integration tests use (tests/integration/fake_service.py):

  service port (HTTPS)
    GET  /monitoring/api_user/?unm=U&upw=P   a 60-character token, or 401 for wrong credentials
    POST <poll path>      the queued orders, each handed out once; boot times are acknowledged
    POST <report path>    the agent's result report, kept per device
    GET  /packages/NAME   the file NAME from the packages folder (no token needed)

  status port (plain HTTP)
    GET  /                a status page: devices (substrate codes), orders, reports, timeline
    GET  /status          the same as JSON
    POST /orders          queue orders: an order object, a list of them or {"orders": [...]}
    and the test service's control paths (/reports, /polls, /requests, ...)

What happens is written to standard output as a timeline, one line per event.

An order is a "sw_update" item as the agent expects it. Two short forms are resolved when the
order is queued: a date "+N" means N seconds from now, and a package URL that begins with "/" is
taken on this service (for example "/packages/hello_1.0_all.deb").

  tools/monitoring_service.py --dir /tmp/svc --port 8443 --status-port 8080 \\
      --packages build/demo/packages --update-order 5 --install-in 20 \\
      --agent-settings /tmp/svc/agent-settings.json

serves the .deb files of build/demo/packages, queues update order 5 for all of them (download
now, install 20 s later) and writes the "web_api" and "http_access" settings that point an
agent at this service.
"""

import argparse
import copy
import datetime
import html
import json
import os
import signal
import subprocess
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests", "integration"))
import fake_service  # noqa: E402

TIME_FORMAT = "%Y/%m/%d %H:%M:%S"
PACKAGE_PATH = "/packages/"
DATE_KEYS = ("download_start_date", "download_end_date", "install_start_date", "install_end_date")

# The agent's decipher step (a position-dependent shift within "," .. "~"); the service only
# needs its inverse to write settings for credentials other than the built-in ones.
_CIPHER_KEY, _CIPHER_LOW, _CIPHER_HIGH = 3, 44, 126


def _decipher_char(value, position):
    c = (value + (_CIPHER_KEY + position) % 256) % 256
    if c > _CIPHER_HIGH:
        c = (c + _CIPHER_LOW - _CIPHER_HIGH) % 256
    if c < _CIPHER_LOW:
        c = (c + _CIPHER_HIGH - _CIPHER_LOW) % 256
    return c


def encipher(plain):
    """The text that the agent deciphers into `plain` (ValueError if there is none)."""
    result = []
    for position, char in enumerate(plain):
        candidates = [b for b in range(32, 127) if _decipher_char(b, position) == ord(char)]
        if not candidates:
            raise ValueError("the agent cannot be given %r at position %d" % (char, position))
        preferred = [b for b in candidates if b >= _CIPHER_LOW]
        result.append(chr((preferred or candidates)[0]))
    return "".join(result)


def local_time(seconds):
    return time.strftime(TIME_FORMAT, time.localtime(seconds))


def deb_fields(path):
    """(Package, Version) of a .deb file."""
    out = subprocess.run(["dpkg-deb", "--show", "--showformat=${Package} ${Version}\\n", path],
                         check=True, capture_output=True, text=True).stdout
    name, version = out.split()
    return name, version


def update_order(number, packages, download_at="+0", install_at="+10", window=3600):
    """A "sw_update" order. packages: (name, version, url) triples; times: "+N" or texts."""
    def end(start):
        return "+%d" % (int(start[1:]) + window) if start.startswith("+") else start
    return {
        "item": "sw_update", "mode": "new", "sw_upd_no": number,
        "download_start_date": download_at, "download_end_date": end(download_at),
        "install_start_date": install_at, "install_end_date": end(install_at),
        "pkg_update": [{"pkg_name": n, "pkg_version": v, "pkg_url": u} for n, v, u in packages],
    }


def orders_from_json(data):
    """Orders from a JSON value: an order, a list of orders, {"orders": [...]} or {"response": [...]}."""
    if isinstance(data, dict):
        for key in ("orders", "response"):
            if isinstance(data.get(key), list):
                return data[key]
        return [data]
    if isinstance(data, list) and all(isinstance(o, dict) for o in data):
        return data
    raise ValueError("an order is a JSON object")


class MonitoringService(fake_service.FakeMonitoringService):
    """The test service plus what a person watching an agent wants: a timeline, devices, orders,
    reports and package files."""

    def __init__(self, directory, config=None, packages_dir=None, out=None):
        super().__init__(directory, config=config)
        self.packages_dir = packages_dir
        self.out = out if out is not None else sys.stdout
        self.out_lock = threading.Lock()
        self.devices = {}
        self.orders = []
        self.timeline = []
        # The base class registered its own handlers; these wrap them to keep the story.
        self.add_route(self.config["login_path"], MonitoringService.login)
        self.add_route(self.config["poll_path"], MonitoringService.poll)
        self.add_route(self.config["report_path"], MonitoringService.report)
        self.add_route(PACKAGE_PATH, MonitoringService.package_file)

    # --- the timeline -------------------------------------------------------------------

    def say(self, text):
        stamp = datetime.datetime.now().strftime("%H:%M:%S.%f")[:12]
        with self.lock:
            self.timeline.append({"time": local_time(time.time()), "event": text})
        with self.out_lock:
            try:
                self.out.write("%s  %s\n" % (stamp, text))
                self.out.flush()
            except (OSError, ValueError):
                pass  # nobody reads the timeline any more; serving goes on

    def _device(self, code):
        # Called with self.lock held.
        return self.devices.setdefault(code, {"substratecode": code, "polls": 0, "last_poll": "",
                                              "boot_times": [], "reports": 0})

    # --- routes -------------------------------------------------------------------------

    def login(self, request):
        action = fake_service.FakeMonitoringService.login(self, request)
        user = urllib.parse.unquote(request.query.partition("&")[0].partition("=")[2])
        if action.get("status") == 200:
            self.say("login      %s: token %s... issued" % (user, action["body"][:8]))
        else:
            self.say("login      %s: refused (wrong user name or password)" % user)
        return action

    def poll(self, request):
        action = fake_service.FakeMonitoringService.poll(self, request)
        if action.get("status") != 200:
            self.say("poll       refused: no valid token")
            return action
        try:
            body = json.loads(request.body)
        except ValueError:
            body = {}
        if not isinstance(body, dict):
            body = {}
        code = str(body.get("substratecode", "?"))
        asked = [i for i in body.get("request", []) if isinstance(i, dict)]
        answer = json.loads(action["body"])["response"]
        handed = [i for i in answer if isinstance(i, dict) and i.get("item") == "sw_update"]
        boot_times = [t for i in asked if i.get("item") == "boot_time" for t in i.get("boot_datetime", [])]
        with self.lock:
            device = self._device(code)
            device["polls"] += 1
            device["last_poll"] = local_time(time.time())
            for boot in boot_times:
                if boot not in device["boot_times"]:
                    device["boot_times"].append(boot)
            for item in handed:
                entry = next((o for o in self.orders if o["state"] == "queued" and o["order"] == item), None)
                if entry is not None:
                    entry.update(state="handed out", device=code, handed_out=local_time(time.time()))
        parts = []
        if boot_times:
            acked = any(isinstance(i, dict) and i.get("item") == "boot_time" for i in answer)
            parts.append("boot time %s %s" % (", ".join(boot_times), "acknowledged" if acked else "noted"))
        if any(i.get("item") == "chk_sw_upd" for i in asked):
            parts.append("asks for orders")
        self.say("poll       from %s: %s" % (code, "; ".join(parts) or "nothing asked"))
        for item in handed:
            self.say("order      update %s handed out to %s: %s" % (item.get("sw_upd_no"), code, describe(item)))
        if not handed and any(i.get("item") == "chk_sw_upd" for i in asked):
            self.say("order      none for %s" % code)
        return action

    def report(self, request):
        action = fake_service.FakeMonitoringService.report(self, request)
        if action.get("status") != 200:
            self.say("report     refused: no valid token")
            return action
        try:
            body = json.loads(request.body)
        except ValueError:
            body = None
        if not isinstance(body, dict):
            self.say("report     unreadable: %r" % request.body[:80])
            return action
        code = str(body.get("substratecode", "?"))
        with self.lock:
            self._device(code)["reports"] += 1
        for item in body.get("request", []):
            if isinstance(item, dict):
                self.say("report     from %s: update %s status %s \"%s\" at %s" % (
                    code, item.get("sw_upd_no"), item.get("status"), item.get("message"),
                    item.get("report_datetime")))
        return action

    def package_file(self, request):
        name = urllib.parse.unquote(request.path[len(PACKAGE_PATH):])
        path = os.path.join(self.packages_dir, name) if self.packages_dir else None
        if not name or "/" in name or name.startswith(".") or path is None or not os.path.isfile(path):
            self.say("package    %s: not found" % name)
            return {"status": 404, "body": "not found"}
        with open(path, "rb") as f:
            data = f.read()
        self.say("package    %s sent (%d bytes)" % (name, len(data)))
        return {"status": 200, "body": data, "content_type": "application/vnd.debian.binary-package"}

    # --- orders -------------------------------------------------------------------------

    def base_url(self):
        return "https://127.0.0.1:%d" % self.service.server_address[1]

    def resolve(self, order, now=None):
        """The order with "+N" dates and "/..." package URLs made absolute."""
        now = time.time() if now is None else now
        order = copy.deepcopy(order)
        for key in DATE_KEYS:
            value = order.get(key)
            if isinstance(value, str) and value.startswith("+"):
                if not value[1:].isdigit():
                    raise ValueError("%s: %r is neither a date nor +SECONDS" % (key, value))
                order[key] = local_time(now + int(value[1:]))
        for package in order.get("pkg_update", []) if isinstance(order.get("pkg_update"), list) else []:
            if isinstance(package, dict) and str(package.get("pkg_url", "")).startswith("/"):
                package["pkg_url"] = self.base_url() + package["pkg_url"]
        return order

    def queue_order(self, order):
        order = self.resolve(order)
        with self.lock:
            self.orders.append({"order": order, "state": "queued", "queued": local_time(time.time()),
                                "device": "", "handed_out": ""})
        self.queue_items([order])
        self.say("order      update %s queued: %s" % (order.get("sw_upd_no"), describe(order)))
        return order

    def packages_order(self, number, download_in=0, install_in=10):
        """An update order for every .deb file in the packages folder."""
        files = sorted(f for f in os.listdir(self.packages_dir) if f.endswith(".deb"))
        packages = [deb_fields(os.path.join(self.packages_dir, f)) + (PACKAGE_PATH + f,) for f in files]
        return update_order(number, packages, "+%d" % download_in, "+%d" % install_in)

    # --- status -------------------------------------------------------------------------

    def status(self):
        with self.lock:
            reports = [r["json"] for r in self.reports]
            return {
                "service": self.base_url(),
                "devices": [dict(d) for d in self.devices.values()],
                "orders": copy.deepcopy(self.orders),
                "reports": copy.deepcopy(reports),
                "timeline": list(self.timeline),
            }

    def agent_settings(self):
        return agent_settings(self.base_url(), self.ca_file, self.config)


def agent_settings(base_url, ca_file, config=None):
    """The settings sections that point an agent at a service at base_url."""
    config = dict(fake_service.DEFAULT_CONFIG, **(config or {}))
    return {
        "web_api": {
            "api_base_url": base_url + "/",
            "api_login_url": base_url + config["login_path"],
            "api_u1": encipher(config["user"]),
            "api_u2": encipher(config["password"]),
            "api_uri": {"order_check": config["poll_path"].lstrip("/"),
                        "report_result": config["report_path"].lstrip("/")},
        },
        "http_access": {"ca_cert_file": ca_file},
    }


def describe(order):
    packages = order.get("pkg_update") or []
    names = ", ".join("%s %s" % (p.get("pkg_name"), p.get("pkg_version")) for p in packages if isinstance(p, dict))
    if order.get("mode") == "cancel":
        return "cancel"
    return "%s; download %s, install %s" % (names or "no packages", order.get("download_start_date"),
                                            order.get("install_start_date"))


def _status_page(status):
    def table(headers, rows):
        head = "".join("<th>%s</th>" % html.escape(h) for h in headers)
        body = "".join("<tr>%s</tr>" % "".join("<td>%s</td>" % html.escape(str(c)) for c in row) for row in rows)
        return "<table><tr>%s</tr>%s</table>" % (head, body or "<tr><td colspan=%d>none</td></tr>" % len(headers))

    devices = [(d["substratecode"], d["polls"], d["last_poll"], ", ".join(d["boot_times"]), d["reports"])
               for d in status["devices"]]
    orders = [(o["order"].get("sw_upd_no"), o["state"], o["device"], o["queued"], o["handed_out"],
               describe(o["order"])) for o in status["orders"]]
    reports = []
    for report in status["reports"]:
        for item in (report or {}).get("request", []) if isinstance(report, dict) else []:
            reports.append((report.get("substratecode"), item.get("sw_upd_no"), item.get("status"),
                            item.get("message"), item.get("report_datetime")))
    events = [(e["time"], e["event"]) for e in status["timeline"][-40:]]
    return ("<!DOCTYPE html><html><head><meta charset='utf-8'><meta http-equiv='refresh' content='2'>"
            "<title>velk monitoring service</title><style>body{font-family:sans-serif}"
            "table{border-collapse:collapse;margin-bottom:1em}td,th{border:1px solid #999;padding:2px 6px;"
            "text-align:left}</style></head><body>"
            "<h1>velk monitoring service</h1><p>%s</p>"
            "<h2>Devices</h2>%s<h2>Orders</h2>%s<h2>Reports</h2>%s<h2>Timeline</h2>%s</body></html>" % (
                html.escape(status["service"]),
                table(["substrate code", "polls", "last poll", "boot times", "reports"], devices),
                table(["update", "state", "device", "queued", "handed out", "order"], orders),
                table(["device", "update", "status", "message", "reported at"], reports),
                table(["time", "event"], events)))


class _StatusHandler(fake_service.FakeMonitoringService.control_handler):
    def do_GET(self):
        service = self.server.owner
        if self.path in ("/", "/index.html"):
            payload = _status_page(service.status()).encode("utf-8")
            self.send_response(200)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.send_header("Content-Length", str(len(payload)))
            self.end_headers()
            self.wfile.write(payload)
        elif self.path == "/status":
            self._reply(200, service.status())
        elif self.path == "/reports":
            with service.lock:
                reports = [{"text": r["text"].decode("utf-8", errors="replace"), "json": r["json"]}
                           for r in service.reports]
            self._reply(200, {"reports": reports})
        else:
            super().do_GET()

    def do_POST(self):
        if self.path != "/orders":
            super().do_POST()
            return
        service = self.server.owner
        length = int(self.headers.get("Content-Length") or 0)
        try:
            orders = [service.resolve(o) for o in orders_from_json(json.loads(self.rfile.read(length) or b"null"))]
        except ValueError as e:
            self._reply(400, {"error": str(e)})
            return
        self._reply(200, {"orders": [service.queue_order(o) for o in orders]})


MonitoringService.control_handler = _StatusHandler


def main(argv=None):
    defaults = fake_service.DEFAULT_CONFIG
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0], epilog=__doc__.split("\n\n", 1)[1],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dir", required=True, help="folder for the certificate files (created)")
    parser.add_argument("--port", type=int, default=0, help="HTTPS port (default: any free port)")
    parser.add_argument("--status-port", type=int, default=0, help="status page port (default: any free port)")
    parser.add_argument("--user", default=defaults["user"], help="login user name")
    parser.add_argument("--password", default=defaults["password"], help="login password")
    parser.add_argument("--poll-path", default=defaults["poll_path"])
    parser.add_argument("--report-path", default=defaults["report_path"])
    parser.add_argument("--packages", help="folder whose files are served under " + PACKAGE_PATH)
    parser.add_argument("--orders", action="append", default=[], metavar="FILE", help="queue the orders of a JSON file")
    parser.add_argument("--order", action="append", default=[], metavar="JSON", help="queue an order given as JSON")
    parser.add_argument("--update-order", type=int, metavar="NUMBER",
                        help="queue an update order with this number for every .deb in --packages")
    parser.add_argument("--download-in", type=int, default=0, metavar="SECONDS")
    parser.add_argument("--install-in", type=int, default=10, metavar="SECONDS")
    parser.add_argument("--agent-settings", metavar="FILE", help="write the agent's settings for this service")
    parser.add_argument("--info-json", action="store_true",
                        help="first print one JSON line with the addresses and the CA file")
    parser.add_argument("--stop-on-eof", action="store_true", help="stop when standard input closes")
    args = parser.parse_args(argv)

    os.makedirs(args.dir, exist_ok=True)
    config = {"user": args.user, "password": args.password, "poll_path": args.poll_path,
              "report_path": args.report_path}
    packages = os.path.abspath(args.packages) if args.packages else None
    try:
        orders = [o for f in args.orders for o in orders_from_json(json.load(open(f, encoding="utf-8")))]
        orders += [o for text in args.order for o in orders_from_json(json.loads(text))]
    except (OSError, ValueError) as e:
        parser.error("orders: %s" % e)
    if args.update_order is not None and not packages:
        parser.error("--update-order needs --packages")

    service = MonitoringService(os.path.abspath(args.dir), config=config, packages_dir=packages)
    try:
        service.start(args.port, args.status_port)
    except OSError as e:
        print("cannot listen: %s" % e, file=sys.stderr)
        return 1
    stopped = service.stopped
    # The handler only notes the signal: setting the event from it could deadlock on the event's
    # own lock, held by the main thread at the moment the signal comes.
    signalled = []
    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, lambda signum, _frame: signalled.append(signum))
    info = dict(service.info(), status_url="http://127.0.0.1:%d/" % service.control.server_address[1])
    if args.info_json:
        print(json.dumps(info), flush=True)
    if args.agent_settings:
        with open(args.agent_settings, "w", encoding="utf-8") as f:
            json.dump(service.agent_settings(), f, indent=2)
    service.say("ready      listening on %s (CA %s); status page %s" % (info["base_url"], info["ca_file"],
                                                                       info["status_url"]))
    if packages:
        service.say("packages   served from %s" % packages)
    try:
        for order in orders:
            service.queue_order(order)
        if args.update_order is not None:
            service.queue_order(service.packages_order(args.update_order, args.download_in, args.install_in))
    except (OSError, ValueError, subprocess.CalledProcessError) as e:
        print("cannot queue the orders: %s" % e, file=sys.stderr)
        service.stop()
        return 2
    if args.stop_on_eof:
        def watch():
            sys.stdin.read()
            stopped.set()
        threading.Thread(target=watch, daemon=True).start()
    while not signalled and not stopped.is_set():
        time.sleep(0.2)
    service.say("stop       no longer serving")
    service.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
