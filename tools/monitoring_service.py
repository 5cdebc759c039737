#!/usr/bin/env python3
"""A local monitoring service for velk agents: login, poll, reports and package files over HTTPS.

It listens on this machine only (127.0.0.1), with a CA and server certificate it makes in --dir on
every start; --host names the address devices reach it by (through a port forward), which its URLs
and certificate carry. `make demo` runs it, an operator points an agent at it, and the tests drive it
(in their own process, or as a child with --info-json --stop-on-eof).

  service port (HTTPS)
    GET  <login path>?unm=U&upw=P  a token of `token_length` characters, or 401
                                   {"message":"Unauthenticated."} for wrong credentials
    POST <poll path>      {"response": [queued items]}, each handed out once; a poll that
                          reports boot times gets {"item": "boot_time"} first (`ack_boot_time`);
                          to a device that acknowledges orders ({"item": "order_ack"}) or with
                          `order_ack` on, an order is handed out again until acknowledged
    POST <report path>    the agent's result report, kept per device; {"result":"ok"}
    GET  /packages/NAME   the file NAME from the --packages folder (no token needed)
    *    other paths      under the API path: `api_body` with a valid Bearer token, 401 without;
                          elsewhere 404

  status and control port (plain HTTP)
    GET  /                a status page: devices (substrate codes), orders, reports, timeline
    GET  /status          the same as JSON
    GET  /requests        {"requests": [record, ...]} in arrival order; ?since=SEQ only those after SEQ
    GET  /downloads       package downloads in progress: {"active", "peak", "series": [[time, active]]}
    GET  /polls, /reports the poll bodies and the result reports received
    GET  /state           {"config": {...}, "tokens": [...], "tls_errors": n}
    POST /orders          queue orders: an order object, a list of them or {"orders": [...]}
    POST /poll-items      {"items": [...]} raw response items for the next poll
    POST /config          merge a JSON object into the configuration
    POST /script          {"path": P, "responses": [action, ...]} queue answers for path P
    POST /broadcast       {"orders": [...]}: every device gets each of them once, at its next poll
                          (devices that first poll later too)
    POST /refuse          {"seconds": S}: close the service port, so connections are refused, and
                          listen again on it S seconds later (0: at once); tokens and state stay
    POST /throttle        {"seconds": S, "retry_after": V, "status": 429}: for S seconds (0: stop)
                          answer every request but package files with that status and a
                          Retry-After header V (seconds, or a text sent as it is)
    POST /reset           forget records, scripts, tokens, polls and reports
    POST /shutdown        stop serving

The configuration (`--config`, POST /config) holds "user", "password", "token_length" (60),
"login_path", "api_path", "api_body", "poll_path", "report_path", "ack_boot_time" (true) and
"order_ack" (false).

Fault switches: a scripted action answers the next request to its path instead of the route.
An action is a JSON object: "status" (default 200), "body", "content_type", "headers" (extra
answer headers), "delay" (seconds before answering), "drop" (close without answering, after
reading the body), "drop_before_body" (close right after the request head) and, on the login
path, "token_length" (a fresh token of that length). Every request is recorded before it is
answered, dropped ones too: {"seq", "time" (seconds since the epoch, on arrival), "method",
"path" (query included), "headers", "body", "body_hex"}, and "status" once answered. A package
download counts as in progress from its request until the client closes the connection.

What happens is written to standard output as a timeline, one line per event (--quiet: not).

An order is a "sw_update" item as the agent expects it. Two short forms are resolved when the
order is queued: a date "+N" means N seconds from now, and a package URL that begins with "/" is
taken on this service (for example "/packages/hello_1.0_all.deb"). A package served from --packages
gets the file's "pkg_sha256" unless the order gives one. With --signing-key (an Ed25519 private key in
PEM) every order queued is signed: "substratecode" ("*" unless the order names a device) and
"signature"; an order that already carries a signature goes out as given, and so do the raw items
of POST /poll-items. --generate-key DIR makes such a key pair (DIR/order-signing.pem, private, and
DIR/order-signing.pub.pem) and exits.

  tools/monitoring_service.py --dir /tmp/svc --port 8443 --status-port 8080 \\
      --packages build/demo/packages --update-order 5 --install-in 20 \\
      --agent-settings /tmp/svc/agent-settings.json

serves the .deb files of build/demo/packages, queues update order 5 for all of them (download
now, install 20 s later) and writes the "web_api", "http_access" and "server_alive" settings
that point an agent at this service (with --signing-key also "order_signature": "required" and a
"trusted_keys_dir" holding the public key). `--make-ca NAME` only makes a further CA (DIR/NAME.pem)
and exits.
"""

import argparse
import base64
import copy
import datetime
import hashlib
import html
import http.server
import ipaddress
import json
import os
import secrets
import signal
import socket
import ssl
import string
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

DEFAULT_CONFIG = {
    "user": "dtn",
    "password": "Io7ewb{A8cqG[}Ec",
    "token_length": 60,
    "login_path": "/monitoring/api_user/",
    "api_path": "/monitoring/api/",
    "api_body": '{"result":"ok"}',
    "poll_path": "/monitoring/api/poll",
    "report_path": "/monitoring/api/report",
    # Acknowledge reported boot times on its own, as the real service does.
    "ack_boot_time": True,
    # Hand an order out again until it is acknowledged, to every device (not only to those that
    # have acknowledged an order before).
    "order_ack": False,
}
DEFAULT_SAN = "IP:127.0.0.1,DNS:localhost"
UNAUTHENTICATED = {"status": 401, "body": '{"message":"Unauthenticated."}', "content_type": "application/json"}
TIME_FORMAT = "%Y/%m/%d %H:%M:%S"
PACKAGE_PATH = "/packages/"
DATE_KEYS = ("download_start_date", "download_end_date", "install_start_date", "install_end_date")
SIGNED_VERSION = "velk-order-v1"
PRIVATE_KEY_NAME = "order-signing.pem"
PUBLIC_KEY_NAME = "order-signing.pub.pem"


# --- certificates -------------------------------------------------------------------------

def _openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_ca(directory, name="ca"):
    """A self-signed CA: DIR/NAME.pem and DIR/NAME.key. Returns the certificate's path."""
    _openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
             "-nodes", "-keyout", name + ".key", "-out", name + ".pem", "-days", "2",
             "-subj", "/CN=velk local CA " + name,
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=directory)
    return os.path.join(directory, name + ".pem")


def _is_ip(name):
    try:
        ipaddress.ip_address(name)
        return True
    except ValueError:
        return False


def san_entries(san, host=None):
    """san as openssl takes it: a bare IP becomes "IP:...", a bare name "DNS:...", and host is added."""
    entries = []
    for entry in [e.strip() for e in san.split(",") if e.strip()] + ([host] if host else []):
        if _is_ip(entry):
            entry = "IP:" + entry
        elif entry.split(":", 1)[0] not in ("DNS", "IP", "email", "URI", "RID", "dirName", "otherName"):
            entry = "DNS:" + entry
        if entry not in entries:
            entries.append(entry)
    return ",".join(entries)


def make_server_cert(directory, ca_name="ca", san=DEFAULT_SAN):
    """A server certificate signed by the CA, for the names in san. Returns (cert, key)."""
    san = san_entries(san)
    _openssl("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
             "-nodes", "-keyout", "server.key", "-out", "server.csr",
             "-subj", "/CN=velk local server", cwd=directory)
    with open(os.path.join(directory, "server.ext"), "w", encoding="ascii") as ext:
        ext.write("subjectAltName=" + san + "\n")
        ext.write("basicConstraints=CA:FALSE\n")
        ext.write("extendedKeyUsage=serverAuth\n")
    _openssl("x509", "-req", "-in", "server.csr", "-CA", ca_name + ".pem", "-CAkey", ca_name + ".key",
             "-CAcreateserial", "-out", "server.pem", "-days", "2", "-extfile", "server.ext",
             cwd=directory)
    return os.path.join(directory, "server.pem"), os.path.join(directory, "server.key")


# --- order signing ------------------------------------------------------------------------

def generate_key(directory):
    """An Ed25519 key pair: DIR/order-signing.pem (0600) and DIR/order-signing.pub.pem. An existing
    private key is never overwritten. Returns (private, public)."""
    os.makedirs(directory, exist_ok=True)
    private = os.path.join(directory, PRIVATE_KEY_NAME)
    public = os.path.join(directory, PUBLIC_KEY_NAME)
    pem = subprocess.run(["openssl", "genpkey", "-algorithm", "ed25519"], check=True,
                         capture_output=True).stdout
    # Created 0600 before the key is in it, so no other user ever sees it readable.
    fd = os.open(private, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(fd, "wb") as f:
        f.write(pem)
    public_key(private, public)
    return private, public


def public_key(private, out):
    """Writes the public key of a private key file to out."""
    subprocess.run(["openssl", "pkey", "-in", private, "-pubout", "-out", out], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    return out


def signed_text(item, device="*"):
    """The text an order item's signature covers, one field per line, as the agent rebuilds it."""
    def text(source, key):
        value = source.get(key)
        return value if isinstance(value, str) else ""
    number = item.get("sw_upd_no")
    number = str(number) if isinstance(number, int) and not isinstance(number, bool) else ""
    code = item.get("substratecode")
    lines = [SIGNED_VERSION, code if isinstance(code, str) else device, text(item, "mode"), number]
    lines += [text(item, key) for key in DATE_KEYS + ("expires", "allow_downgrade")]
    packages = item.get("pkg_update") if isinstance(item.get("pkg_update"), list) else []
    lines += [" ".join(text(p, k) for k in ("pkg_name", "pkg_version", "pkg_url", "pkg_sha256"))
              for p in packages if isinstance(p, dict)]
    return "".join(line + "\n" for line in lines).encode("utf-8")


def sign_order(item, key_file, device="*"):
    """A copy of the item with "substratecode" and its Ed25519 "signature" (base64)."""
    item = copy.deepcopy(item)
    if not isinstance(item.get("substratecode"), str):
        item["substratecode"] = device
    with tempfile.NamedTemporaryFile(prefix="velk-order-") as text:
        text.write(signed_text(item))
        text.flush()
        signature = subprocess.run(["openssl", "pkeyutl", "-sign", "-inkey", key_file, "-rawin", "-in", text.name],
                                   check=True, capture_output=True).stdout
    item["signature"] = base64.b64encode(signature).decode("ascii")
    return item


def file_sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 16), b""):
            digest.update(block)
    return digest.hexdigest()


# --- the agent's settings -----------------------------------------------------------------

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


def agent_settings(base_url, ca_file, config=None, trusted_keys_dir=None):
    """The settings sections that point an agent at a service at base_url; with trusted_keys_dir the
    agent takes only orders signed by a key of that folder."""
    config = dict(DEFAULT_CONFIG, **(config or {}))
    host = urllib.parse.urlsplit(base_url).hostname
    # The agent pings this before each download: the service's own host is the one that matters.
    alive = {"ping_server_fqdn": host}
    if _is_ip(host):
        alive["ping_server_ipaddr"] = host
    settings = {
        "server_alive": alive,
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
    if trusted_keys_dir:
        settings["software_update"] = {"order_signature": "required", "trusted_keys_dir": trusted_keys_dir}
    return settings


# --- orders -------------------------------------------------------------------------------

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


def describe(order):
    packages = order.get("pkg_update") or []
    names = ", ".join("%s %s" % (p.get("pkg_name"), p.get("pkg_version")) for p in packages if isinstance(p, dict))
    if order.get("mode") == "cancel":
        return "cancel"
    return "%s; download %s, install %s" % (names or "no packages", order.get("download_start_date"),
                                            order.get("install_start_date"))


def _json_or_none(body):
    try:
        return json.loads(body)
    except ValueError:
        return None


# --- the service --------------------------------------------------------------------------

class Request:
    """One request as the service saw it."""

    def __init__(self, method, raw_path, headers, body):
        self.method = method
        self.raw_path = raw_path
        self.path, _, self.query = raw_path.partition("?")
        self.headers = headers
        self.body = body
        self.arrival = time.time()

    def header(self, name):
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return None

    def record(self, seq):
        return {
            "seq": seq,
            "time": self.arrival,
            "method": self.method,
            "path": self.raw_path,
            "headers": [[k, v] for k, v in self.headers],
            "body": self.body.decode("utf-8", errors="replace"),
            "body_hex": self.body.hex(),
        }


class MonitoringService:
    """Configuration, routes, scripted answers, records, tokens, devices, orders and the timeline.

    Routes are added with add_route(path, handler); a handler takes (service, request) and returns
    an action, and a path ending in "/" is a prefix route. out receives the timeline (None: kept
    in memory only). With signing_key (an Ed25519 private key file) every order queued is signed,
    and DIR/trusted-keys/ holds its public key for the agent."""

    def __init__(self, directory, config=None, packages_dir=None, out=None, server_san=DEFAULT_SAN,
                 host=None, signing_key=None):
        self.directory = directory
        self.host = host or "127.0.0.1"
        self.packages_dir = packages_dir
        self.out = out
        self.lock = threading.Lock()
        self.out_lock = threading.Lock()
        self.config = dict(DEFAULT_CONFIG, **(config or {}))
        self.records = []
        self.scripts = {}
        self.tokens = []
        self.tls_errors = 0
        self.poll_items = []
        self.polls = []
        self.reports = []
        self.devices = {}
        self.orders = []
        self.unacked = {}  # per device: the orders handed out and not yet acknowledged
        self.acking = set()  # devices that have acknowledged an order
        self.timeline = []
        self.broadcast = []
        self.broadcast_seen = {}  # per device: how many broadcast orders it was handed
        self.throttle = None  # (until, status, Retry-After) while calls are turned away
        self.downloads = {"active": 0, "peak": 0, "series": []}
        self.reopen_at = None  # while the service port is closed
        self.ca_file = make_ca(directory)
        cert, key = make_server_cert(directory, san=san_entries(server_san, host))
        self.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.tls.minimum_version = ssl.TLSVersion.TLSv1_2
        self.tls.load_cert_chain(cert, key)
        self.signing_key = os.path.abspath(signing_key) if signing_key else None
        self.trusted_keys_dir = None
        if self.signing_key:
            self.trusted_keys_dir = os.path.join(directory, "trusted-keys")
            os.makedirs(self.trusted_keys_dir, exist_ok=True)
            public_key(self.signing_key, os.path.join(self.trusted_keys_dir, PUBLIC_KEY_NAME))
        self.routes = {}
        self.add_route(self.config["login_path"], MonitoringService.login)
        self.add_route(self.config["api_path"], MonitoringService.api_default)
        self.add_route(self.config["poll_path"], MonitoringService.poll)
        self.add_route(self.config["report_path"], MonitoringService.report)
        self.add_route(PACKAGE_PATH, MonitoringService.package_file)
        self.service = None
        self.control = None
        self.stopped = threading.Event()

    # --- the timeline -------------------------------------------------------------------

    def say(self, text):
        stamp = datetime.datetime.now().strftime("%H:%M:%S.%f")[:12]
        with self.lock:
            self.timeline.append({"time": local_time(time.time()), "event": text})
        if self.out is None:
            return
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

    def add_route(self, path, handler):
        self.routes[path] = handler

    def route_for(self, path):
        if path in self.routes:
            return self.routes[path]
        prefixes = [p for p in self.routes if p.endswith("/") and path.startswith(p)]
        return self.routes[max(prefixes, key=len)] if prefixes else None

    def new_token(self, length):
        alphabet = string.ascii_letters + string.digits
        length = max(length, 0)
        with self.lock:
            serial = "%04d" % (len(self.tokens) + 1)
            token = (serial + "".join(secrets.choice(alphabet) for _ in range(length)))[:length]
            self.tokens.append(token)
        return token

    def authorised(self, request):
        auth = request.header("Authorization") or ""
        with self.lock:
            return auth.startswith("Bearer ") and auth[len("Bearer "):] in self.tokens

    def login(self, request):
        user, sep, password = request.query.partition("&upw=")
        name = urllib.parse.unquote(user.partition("=")[2])
        if not (sep and user.startswith("unm=") and name == self.config["user"]
                and urllib.parse.unquote(password) == self.config["password"]):
            self.say("login      %s: refused (wrong user name or password)" % name)
            return UNAUTHENTICATED
        token = self.new_token(int(self.config["token_length"]))
        self.say("login      %s: token %s... issued" % (name, token[:8]))
        return {"status": 200, "body": token}

    def api_default(self, request):
        if not self.authorised(request):
            return UNAUTHENTICATED
        return {"status": 200, "body": self.config["api_body"], "content_type": "application/json"}

    def queue_items(self, items):
        """Response items for the next poll (each is answered once)."""
        with self.lock:
            self.poll_items.extend(items)

    def poll(self, request):
        if not self.authorised(request):
            self.say("poll       refused: no valid token")
            return UNAUTHENTICATED
        body = _json_or_none(request.body)
        fields = body if isinstance(body, dict) else {}
        asked = fields.get("request") if isinstance(fields.get("request"), list) else []
        asked = [i for i in asked if isinstance(i, dict)]
        code = str(fields.get("substratecode", "?"))
        boot_times = [t for i in asked if i.get("item") == "boot_time"
                      for t in (i.get("boot_datetime") if isinstance(i.get("boot_datetime"), list) else [])]
        acks = [n for i in asked if i.get("item") == "order_ack"
                for n in (i.get("sw_upd_no") if isinstance(i.get("sw_upd_no"), list) else [])]
        with self.lock:
            self.polls.append(body)
            answer = self.poll_items
            self.poll_items = []
            seen = self.broadcast_seen.get(code, 0)
            answer += copy.deepcopy(self.broadcast[seen:])
            self.broadcast_seen[code] = len(self.broadcast)
            unacked = self.unacked.setdefault(code, [])
            acknowledged = [i for i in unacked if i.get("sw_upd_no") in acks]
            unacked[:] = [i for i in unacked if i not in acknowledged]
            for entry in self.orders:
                if entry["device"] == code and entry["order"] in acknowledged:
                    entry["state"] = "acknowledged"
            if any(i.get("item") == "order_ack" for i in asked):
                self.acking.add(code)
            again = []
            if self.config.get("order_ack") or code in self.acking:
                again = [i for i in unacked if i not in answer]
                answer = again + answer
            acked = self.config.get("ack_boot_time") and any(i.get("item") == "boot_time" for i in asked)
            if acked:
                answer.insert(0, {"item": "boot_time"})
            handed = [i for i in answer if isinstance(i, dict) and i.get("item") == "sw_update"]
            device = self._device(code)
            device["polls"] += 1
            device["last_poll"] = local_time(time.time())
            device["boot_times"] += [b for b in boot_times if b not in device["boot_times"]]
            for item in handed:
                entry = next((o for o in self.orders if o["state"] == "queued" and o["order"] == item), None)
                if entry is not None:
                    entry.update(state="handed out", device=code, handed_out=local_time(time.time()))
                if item not in unacked:
                    unacked.append(item)
        parts = []
        if boot_times:
            parts.append("boot time %s %s" % (", ".join(boot_times), "acknowledged" if acked else "noted"))
        checks = any(i.get("item") == "chk_sw_upd" for i in asked)
        if checks:
            parts.append("asks for orders")
        self.say("poll       from %s: %s" % (code, "; ".join(parts) or "nothing asked"))
        for item in acknowledged:
            self.say("order      update %s acknowledged by %s" % (item.get("sw_upd_no"), code))
        for item in handed:
            self.say("order      update %s handed out %sto %s: %s"
                     % (item.get("sw_upd_no"), "again " if item in again else "", code, describe(item)))
        if not handed and checks:
            self.say("order      none for %s" % code)
        return {"status": 200, "body": json.dumps({"response": answer}), "content_type": "application/json"}

    def report(self, request):
        if not self.authorised(request):
            self.say("report     refused: no valid token")
            return UNAUTHENTICATED
        body = _json_or_none(request.body)
        with self.lock:
            self.reports.append({"text": request.body, "json": body})
            if isinstance(body, dict):
                self._device(str(body.get("substratecode", "?")))["reports"] += 1
        if not isinstance(body, dict):
            self.say("report     unreadable: %r" % request.body[:80])
        else:
            for item in body.get("request", []) if isinstance(body.get("request"), list) else []:
                if isinstance(item, dict):
                    self.say("report     from %s: update %s status %s \"%s\" at %s" % (
                        body.get("substratecode", "?"), item.get("sw_upd_no"), item.get("status"),
                        item.get("message"), item.get("report_datetime")))
        return {"status": 200, "body": '{"result":"ok"}', "content_type": "application/json"}

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

    def answer_for(self, request):
        with self.lock:
            throttle = self.throttle
        if throttle and time.time() < throttle[0] and not request.path.startswith(PACKAGE_PATH):
            return {"status": throttle[1], "body": "too many requests", "headers": {"Retry-After": throttle[2]}}
        with self.lock:
            queue = self.scripts.get(request.path)
            action = queue.pop(0) if queue else None
        if action is not None:
            if action.get("token_length") is not None:
                action = dict(action, body=self.new_token(int(action["token_length"])))
            return action
        handler = self.route_for(request.path)
        if handler is None:
            return {"status": 404, "body": "not found"}
        return handler(self, request)

    # --- records and fault switches -----------------------------------------------------

    def add_record(self, request):
        with self.lock:
            record = request.record(len(self.records) + 1)
            self.records.append(record)
        return record

    def set_throttle(self, seconds, retry_after=30, status=429):
        with self.lock:
            self.throttle = (time.time() + seconds, int(status), str(retry_after)) if seconds > 0 else None
        if seconds > 0:
            self.say("throttle   every request answered %s, Retry-After %s, for %g s" % (status, retry_after, seconds))
        else:
            self.say("throttle   off")

    def download_change(self, step):
        with self.lock:
            d = self.downloads
            d["active"] += step
            d["peak"] = max(d["peak"], d["active"])
            d["series"].append([time.time(), d["active"]])

    def script(self, path, responses):
        with self.lock:
            self.scripts.setdefault(path, []).extend(responses)

    def reset(self):
        with self.lock:
            self.records, self.scripts, self.tokens, self.tls_errors = [], {}, [], 0
            self.poll_items, self.polls, self.reports = [], [], []
            self.broadcast, self.broadcast_seen = [], {}
            self.downloads = {"active": self.downloads["active"], "peak": self.downloads["active"], "series": []}

    def state(self):
        with self.lock:
            return {"config": dict(self.config), "tokens": list(self.tokens), "tls_errors": self.tls_errors}

    # --- orders -------------------------------------------------------------------------

    def base_url(self):
        host = "[%s]" % self.host if ":" in self.host else self.host
        return "https://%s:%d" % (host, self.service.server_address[1])

    def resolve(self, order, now=None):
        """The order with "+N" dates and "/..." package URLs made absolute, and the digest of each
        package served here that has none."""
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
            served = self.served_file(package.get("pkg_url")) if isinstance(package, dict) else None
            # A digest the order gives stays, a wrong one too: tests send those.
            if served and "pkg_sha256" not in package:
                package["pkg_sha256"] = file_sha256(served)
        return order

    def served_file(self, url):
        """The file of --packages that url names on this service, or None."""
        prefix = self.base_url() + PACKAGE_PATH
        if not self.packages_dir or not isinstance(url, str) or not url.startswith(prefix):
            return None
        name = urllib.parse.unquote(url[len(prefix):])
        path = os.path.join(self.packages_dir, name)
        return path if name and "/" not in name and not name.startswith(".") and os.path.isfile(path) else None

    def queue_order(self, order):
        order = self.resolve(order)
        signed = self.signing_key and order.get("item") == "sw_update" and "signature" not in order
        if signed:
            order = sign_order(order, self.signing_key)
        with self.lock:
            self.orders.append({"order": order, "state": "queued", "queued": local_time(time.time()),
                                "device": "", "handed_out": ""})
        self.queue_items([order])
        self.say("order      update %s queued%s: %s" % (order.get("sw_upd_no"), " and signed" if signed else "",
                                                         describe(order)))
        return order

    def broadcast_orders(self, orders):
        """Orders every device gets once, at its next poll."""
        orders = [self.resolve(o) for o in orders]
        orders = [sign_order(o, self.signing_key) if self.signing_key and o.get("item") == "sw_update"
                  and "signature" not in o else o for o in orders]
        with self.lock:
            self.broadcast.extend(orders)
        for order in orders:
            self.say("order      update %s for every device: %s" % (order.get("sw_upd_no"), describe(order)))
        return orders

    def packages_order(self, number, download_in=0, install_in=10):
        """An update order for every .deb file in the packages folder."""
        files = sorted(f for f in os.listdir(self.packages_dir) if f.endswith(".deb"))
        packages = [deb_fields(os.path.join(self.packages_dir, f)) + (PACKAGE_PATH + f,) for f in files]
        return update_order(number, packages, "+%d" % download_in, "+%d" % install_in)

    # --- status -------------------------------------------------------------------------

    def status(self):
        with self.lock:
            return {
                "service": self.base_url(),
                "devices": [dict(d) for d in self.devices.values()],
                "orders": copy.deepcopy(self.orders),
                "reports": copy.deepcopy([r["json"] for r in self.reports]),
                "timeline": list(self.timeline),
            }

    def agent_settings(self):
        return agent_settings(self.base_url(), self.ca_file, self.config, self.trusted_keys_dir)

    # --- servers ------------------------------------------------------------------------

    def start(self, port=0, control_port=0):
        self.service = _TlsServer(self, port)
        self.control = _ControlServer(self, control_port)
        for server in (self.service, self.control):
            threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True).start()
        return self

    def refuse(self, seconds):
        """Closes the service port for `seconds`, then listens on it again."""
        with self.lock:
            closed = self.reopen_at is not None
            self.reopen_at = time.monotonic() + max(seconds, 0)
        if not closed:
            self.service.shutdown()
            self.service.server_close()
            self.say("refuse     service port closed for %g s" % seconds)
            threading.Thread(target=self._reopen, daemon=True).start()

    def _reopen(self):
        while not self.stopped.is_set():
            with self.lock:
                due = self.reopen_at <= time.monotonic()
            if due:
                break
            time.sleep(0.05)
        with self.lock:
            if self.stopped.is_set():
                return
            port = self.service.server_address[1]
            self.service = _TlsServer(self, port)
            self.reopen_at = None
        threading.Thread(target=self.service.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True).start()
        self.say("refuse     service port open again")

    def stop(self):
        with self.lock:
            self.stopped.set()
        for server in (self.service, self.control):
            if server is not None:
                server.shutdown()
                server.server_close()

    def info(self):
        control_port = self.control.server_address[1]
        return {
            "port": self.service.server_address[1],
            "control_port": control_port,
            "ca_file": self.ca_file,
            "base_url": self.base_url(),
            "status_url": "http://127.0.0.1:%d/" % control_port,
            "dir": self.directory,
        }


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


class _ServiceHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "VelkMonitoring/1.0"

    def log_message(self, fmt, *args):  # the timeline tells what matters
        pass

    def _handle(self):
        service = self.server.owner
        length = int(self.headers.get("Content-Length") or 0)
        with service.lock:
            queue = service.scripts.get(self.path.partition("?")[0])
            early_drop = bool(queue and queue[0].get("drop_before_body"))
            if early_drop:
                queue.pop(0)
        if early_drop:
            service.add_record(Request(self.command, self.path, list(self.headers.items()), b""))
            self._drop()
            return
        body = self.rfile.read(length) if length > 0 else b""
        request = Request(self.command, self.path, list(self.headers.items()), body)
        record = service.add_record(request)
        download = request.path.startswith(PACKAGE_PATH)
        if download:
            service.download_change(1)
        try:
            self._answer(service, request, record, download)
        finally:
            if download:
                service.download_change(-1)

    def _answer(self, service, request, record, download):
        action = service.answer_for(request)
        if action.get("delay"):
            time.sleep(float(action["delay"]))
        if action.get("drop"):
            self._drop()
            return
        payload = action.get("body", "")
        if not isinstance(payload, bytes):
            payload = payload.encode("utf-8")
        with service.lock:
            record["status"] = int(action.get("status", 200))
        self.send_response(int(action.get("status", 200)))
        self.send_header("Content-Type", action.get("content_type", "text/plain"))
        self.send_header("Content-Length", str(len(payload)))
        for name, value in action.get("headers", {}).items():
            self.send_header(name, value)
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(payload)
        self.close_connection = True
        if download:
            # The kernel buffers what a slow client has not read yet: the download lasts until it hangs up.
            try:
                self.wfile.flush()
                self.connection.shutdown(socket.SHUT_WR)
                self.connection.settimeout(300)
                while self.connection.recv(4096):
                    pass
            except (OSError, ValueError):
                pass

    def _drop(self):
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    do_GET = _handle
    do_POST = _handle
    do_PUT = _handle
    do_DELETE = _handle


class _TlsServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    # A whole fleet may connect in the same instant.
    request_queue_size = 1024

    def __init__(self, owner, port=0):
        self.owner = owner
        super().__init__(("127.0.0.1", port), _ServiceHandler)

    def finish_request(self, request, client_address):
        # The handshake runs in the connection's own thread, so a stalled client blocks no one.
        request.settimeout(10)
        try:
            tls = self.owner.tls.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            with self.owner.lock:
                self.owner.tls_errors += 1
            return
        try:
            super().finish_request(tls, client_address)
        finally:
            try:
                tls.close()
            except OSError:
                pass

    def handle_error(self, request, client_address):
        pass  # a client that hung up is not an error here


class _ControlHandler(http.server.BaseHTTPRequestHandler):
    def log_message(self, fmt, *args):
        pass

    def _send(self, status, payload, content_type):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        self.wfile.write(payload)

    def _reply(self, status, obj):
        self._send(status, json.dumps(obj).encode("utf-8"), "application/json")

    def do_GET(self):
        service = self.server.owner
        if self.path in ("/", "/index.html"):
            self._send(200, _status_page(service.status()).encode("utf-8"), "text/html; charset=utf-8")
            return
        if self.path == "/status":
            self._reply(200, service.status())
            return
        if self.path == "/state":
            self._reply(200, service.state())
            return
        path, _, query = self.path.partition("?")
        since = urllib.parse.parse_qs(query).get("since", ["0"])[0]
        with service.lock:
            if path == "/requests":
                # Copies: a record gains its "status" while the answer is written out.
                answer = {"requests": [dict(r) for r in service.records[int(since) if since.isdigit() else 0:]]}
            elif path == "/downloads":
                answer = copy.deepcopy(service.downloads)
            elif self.path == "/polls":
                answer = {"polls": list(service.polls)}
            elif self.path == "/reports":
                answer = {"reports": [{"text": r["text"].decode("utf-8", errors="replace"), "json": r["json"]}
                                      for r in service.reports]}
            else:
                answer = None
        if answer is None:
            self._reply(404, {"error": "unknown control path"})
        else:
            self._reply(200, answer)

    def do_POST(self):
        service = self.server.owner
        length = int(self.headers.get("Content-Length") or 0)
        try:
            data = json.loads(self.rfile.read(length) or b"null")
            # Every order is checked before any is queued.
            orders = orders_from_json(data) if self.path in ("/orders", "/broadcast") else []
            orders = [service.resolve(o) for o in orders] if self.path == "/orders" else orders
            if self.path == "/script" and not isinstance(data.get("path"), str):
                raise ValueError("a script needs a path")
        except (ValueError, AttributeError) as e:
            self._reply(400, {"error": str(e)})
            return
        data = data if isinstance(data, dict) else {}
        if self.path == "/orders":
            try:
                self._reply(200, {"orders": [service.queue_order(o) for o in orders]})
            except (OSError, subprocess.CalledProcessError) as e:
                self._reply(500, {"error": "cannot queue: %s" % e})
            return
        if self.path == "/broadcast":
            try:
                self._reply(200, {"orders": service.broadcast_orders(orders)})
            except (OSError, ValueError, subprocess.CalledProcessError) as e:
                self._reply(400, {"error": "cannot queue: %s" % e})
            return
        if self.path == "/config":
            with service.lock:
                service.config.update(data)
        elif self.path == "/refuse":
            service.refuse(float(data.get("seconds", 0)))
        elif self.path == "/throttle":
            service.set_throttle(float(data.get("seconds", 0)), data.get("retry_after", 30), data.get("status", 429))
        elif self.path == "/script":
            service.script(data["path"], data.get("responses", []))
        elif self.path == "/poll-items":
            service.queue_items(data.get("items", []))
        elif self.path == "/reset":
            service.reset()
        elif self.path == "/shutdown":
            threading.Thread(target=service.stop, daemon=True).start()
        else:
            self._reply(404, {"error": "unknown control path"})
            return
        self._reply(200, {"ok": True})


class _ControlServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, owner, port=0):
        self.owner = owner
        super().__init__(("127.0.0.1", port), _ControlHandler)


def main(argv=None):
    defaults = DEFAULT_CONFIG
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0], epilog=__doc__.split("\n\n", 1)[1],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dir", help="folder for the certificate files (created); needed but for --generate-key")
    parser.add_argument("--port", type=int, default=0, help="HTTPS port (default: any free port)")
    parser.add_argument("--status-port", type=int, default=0, help="status page port (default: any free port)")
    parser.add_argument("--user", default=defaults["user"], help="login user name")
    parser.add_argument("--password", default=defaults["password"], help="login password")
    parser.add_argument("--poll-path", default=defaults["poll_path"])
    parser.add_argument("--report-path", default=defaults["report_path"])
    parser.add_argument("--config", default="{}", metavar="JSON", help="JSON object merged into the configuration")
    parser.add_argument("--host", metavar="NAME",
                        help="the name or IP devices reach this service by (default 127.0.0.1): its URLs and "
                        "certificate carry it (it still listens on 127.0.0.1 only)")
    parser.add_argument("--san", default=DEFAULT_SAN,
                        help="subjectAltName of the server certificate: NAME, IP, DNS:NAME or IP:ADDRESS, "
                        "comma-separated (--host, when given, is added)")
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
    parser.add_argument("--quiet", action="store_true", help="print no timeline")
    parser.add_argument("--stop-on-eof", action="store_true", help="stop when standard input closes")
    parser.add_argument("--make-ca", metavar="NAME", help="only make the CA DIR/NAME.pem, print its path and exit")
    parser.add_argument("--signing-key", metavar="FILE", help="sign every order with this Ed25519 private key (PEM)")
    parser.add_argument("--generate-key", metavar="KEYDIR",
                        help="only make an order signing key pair in KEYDIR (%s, %s) and exit"
                        % (PRIVATE_KEY_NAME, PUBLIC_KEY_NAME))
    args = parser.parse_args(argv)

    if args.generate_key:
        try:
            for path in generate_key(args.generate_key):
                print(path, flush=True)
        except FileExistsError as e:
            parser.error("--generate-key: %s exists; not replacing a key" % e.filename)
        return 0
    if not args.dir:
        parser.error("--dir is needed")
    os.makedirs(args.dir, exist_ok=True)
    if args.make_ca:
        print(make_ca(args.dir, args.make_ca), flush=True)
        return 0
    config = {"user": args.user, "password": args.password, "poll_path": args.poll_path,
              "report_path": args.report_path}
    try:
        config.update(json.loads(args.config))
    except (ValueError, TypeError) as e:
        parser.error("--config: %s" % e)
    packages = os.path.abspath(args.packages) if args.packages else None
    try:
        orders = [o for f in args.orders for o in orders_from_json(json.load(open(f, encoding="utf-8")))]
        orders += [o for text in args.order for o in orders_from_json(json.loads(text))]
    except (OSError, ValueError) as e:
        parser.error("orders: %s" % e)
    if args.update_order is not None and not packages:
        parser.error("--update-order needs --packages")

    if args.signing_key and not os.path.isfile(args.signing_key):
        parser.error("--signing-key: no file %s" % args.signing_key)
    try:
        service = MonitoringService(os.path.abspath(args.dir), config=config, packages_dir=packages,
                                    out=None if args.quiet else sys.stdout, server_san=args.san, host=args.host,
                                    signing_key=args.signing_key)
    except subprocess.CalledProcessError as e:
        print("cannot start: %s: %s" % (" ".join(e.cmd), (e.stderr or b"").decode(errors="replace").strip()),
              file=sys.stderr)
        return 1
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
    info = service.info()
    # The settings are there once the first line is: a reader of that line may read them at once.
    if args.agent_settings:
        with open(args.agent_settings, "w", encoding="utf-8") as f:
            json.dump(service.agent_settings(), f, indent=2)
    if args.info_json:
        print(json.dumps(info), flush=True)
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
