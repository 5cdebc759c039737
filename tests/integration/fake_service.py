#!/usr/bin/env python3
"""A local stand-in for the monitoring web service, standard library only.

It serves HTTPS on 127.0.0.1 with a throwaway CA and server certificate made with the
`openssl` command, and offers a plain-HTTP control port on 127.0.0.1 for the tests:

  service port (HTTPS)
    GET  <login_path>?unm=U&upw=P   a token of `token_length` characters, or 401
                                    {"message":"Unauthenticated."} for wrong credentials
    POST <poll_path>                {"response": [queued items]}, with {"item": "boot_time"}
                                    first when the poll reports boot times (ack_boot_time)
    POST <report_path>              records the result report, answers {"result":"ok"}
    *    any other path             the scripted answer queued for that path, else the
                                    route's default (API paths: 200 `api_body` with a valid
                                    Bearer token, 401 "Unauthenticated." without one; others 404)

  control port (HTTP)
    GET  /requests                  {"requests": [record, ...]} in arrival order
    GET  /state                     {"config": {...}, "tokens": [...], "tls_errors": n}
    POST /config                    merge a JSON object into the configuration
    POST /script                    {"path": P, "responses": [action, ...]} queue answers for P
    POST /poll-items                {"items": [...]} response items for the next poll
    GET  /polls, /reports           the poll bodies and the result reports received
    POST /reset                     forget records, scripts and tokens
    POST /shutdown                  stop serving

A record is {"seq", "method", "path" (raw, query included), "headers": [[name, value], ...],
"body" (text, undecodable bytes replaced), "body_hex"}. It is stored before the answer, so a
dropped or slow request is recorded too.

An action is a JSON object: "status" (default 200), "body" (text; a route may answer bytes),
"content_type", "headers" (an object of extra answer headers), "delay" (seconds before answering),
"drop" (close without answering, after reading the body), "drop_before_body" (close right after
the request head), and for the login path "token_length" (answer a fresh token of that length
instead of the body).

Start it with `fake_service.py serve --dir DIR`; once it listens it prints one JSON line
{"port", "control_port", "ca_file", "base_url", "dir"} on stdout. With --watch-stdin it stops
when its standard input closes, so it never outlives the test that started it.
`fake_service.py make-ca --dir DIR --name NAME` only makes a CA (DIR/NAME.pem) and exits.

New routes are added with FakeMonitoringService.add_route(path, handler); a handler takes
(service, request) and returns an action, and may be a prefix route (path ending in "/").
"""

import argparse
import http.server
import json
import os
import secrets
import signal
import socket
import ssl
import string
import subprocess
import sys
import threading
import time

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
}

UNAUTHENTICATED = '{"message":"Unauthenticated."}'


def _openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_ca(directory, name="ca"):
    """A self-signed CA: DIR/NAME.pem and DIR/NAME.key. Returns the certificate's path."""
    _openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
             "-nodes", "-keyout", name + ".key", "-out", name + ".pem", "-days", "2",
             "-subj", "/CN=velk test CA " + name,
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=directory)
    return os.path.join(directory, name + ".pem")


def make_server_cert(directory, ca_name="ca", san="IP:127.0.0.1,DNS:localhost"):
    """A server certificate signed by the CA, for the names in san. Returns (cert, key)."""
    _openssl("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
             "-nodes", "-keyout", "server.key", "-out", "server.csr",
             "-subj", "/CN=velk test server", cwd=directory)
    with open(os.path.join(directory, "server.ext"), "w", encoding="ascii") as ext:
        ext.write("subjectAltName=" + san + "\n")
        ext.write("basicConstraints=CA:FALSE\n")
        ext.write("extendedKeyUsage=serverAuth\n")
    _openssl("x509", "-req", "-in", "server.csr", "-CA", ca_name + ".pem", "-CAkey", ca_name + ".key",
             "-CAcreateserial", "-out", "server.pem", "-days", "2", "-extfile", "server.ext",
             cwd=directory)
    return os.path.join(directory, "server.pem"), os.path.join(directory, "server.key")


class Request:
    """One request as the service saw it."""

    def __init__(self, method, raw_path, headers, body):
        self.method = method
        self.raw_path = raw_path
        self.path, _, self.query = raw_path.partition("?")
        self.headers = headers
        self.body = body

    def header(self, name):
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return None

    def record(self, seq):
        return {
            "seq": seq,
            "method": self.method,
            "path": self.raw_path,
            "headers": [[k, v] for k, v in self.headers],
            "body": self.body.decode("utf-8", errors="replace"),
            "body_hex": self.body.hex(),
        }


class FakeMonitoringService:
    """The service's state: configuration, scripted answers, records, issued tokens."""

    def __init__(self, directory, server_san="IP:127.0.0.1,DNS:localhost", config=None):
        self.directory = directory
        self.lock = threading.Lock()
        self.config = dict(DEFAULT_CONFIG)
        self.config.update(config or {})
        self.records = []
        self.scripts = {}
        self.tokens = []
        self.tls_errors = 0
        self.routes = {}
        self.ca_file = make_ca(directory)
        cert, key = make_server_cert(directory, san=server_san)
        self.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.tls.minimum_version = ssl.TLSVersion.TLSv1_2
        self.tls.load_cert_chain(cert, key)
        self.add_route(self.config["login_path"], FakeMonitoringService.login)
        self.add_route(self.config["api_path"], FakeMonitoringService.api_default)
        self.add_route(self.config["poll_path"], FakeMonitoringService.poll)
        self.add_route(self.config["report_path"], FakeMonitoringService.report)
        self.poll_items = []
        self.polls = []
        self.reports = []
        self.service = None
        self.control = None
        self.stopped = threading.Event()

    # --- routes -------------------------------------------------------------------------

    def add_route(self, path, handler):
        self.routes[path] = handler

    def route_for(self, path):
        if path in self.routes:
            return self.routes[path]
        prefixes = [p for p in self.routes if p.endswith("/") and path.startswith(p)]
        if prefixes:
            return self.routes[max(prefixes, key=len)]
        return None

    def new_token(self, length):
        alphabet = string.ascii_letters + string.digits
        with self.lock:
            serial = "%04d" % (len(self.tokens) + 1)
            token = (serial + "".join(secrets.choice(alphabet) for _ in range(max(length, 0))))[:max(length, 0)]
            self.tokens.append(token)
        return token

    def login(self, request):
        user, sep, password = request.query.partition("&upw=")
        ok = (sep and user.startswith("unm=") and user[4:] == self.config["user"]
              and password == self.config["password"])
        if not ok:
            return {"status": 401, "body": UNAUTHENTICATED, "content_type": "application/json"}
        return {"status": 200, "body": self.new_token(int(self.config["token_length"]))}

    def api_default(self, request):
        auth = request.header("Authorization") or ""
        with self.lock:
            valid = auth.startswith("Bearer ") and auth[len("Bearer "):] in self.tokens
        if not valid:
            return {"status": 401, "body": UNAUTHENTICATED, "content_type": "application/json"}
        return {"status": 200, "body": self.config["api_body"], "content_type": "application/json"}

    def authorised(self, request):
        auth = request.header("Authorization") or ""
        with self.lock:
            return auth.startswith("Bearer ") and auth[len("Bearer "):] in self.tokens

    def queue_items(self, items):
        """Response items for the next poll (each is answered once)."""
        with self.lock:
            self.poll_items.extend(items)

    def poll(self, request):
        if not self.authorised(request):
            return {"status": 401, "body": UNAUTHENTICATED, "content_type": "application/json"}
        try:
            body = json.loads(request.body)
        except ValueError:
            body = None
        items = body.get("request", []) if isinstance(body, dict) else []
        with self.lock:
            self.polls.append(body)
            answer = list(self.poll_items)
            self.poll_items = []
            if self.config.get("ack_boot_time") and any(
                    isinstance(i, dict) and i.get("item") == "boot_time" for i in items):
                answer.insert(0, {"item": "boot_time"})
        return {"status": 200, "body": json.dumps({"response": answer}), "content_type": "application/json"}

    def report(self, request):
        if not self.authorised(request):
            return {"status": 401, "body": UNAUTHENTICATED, "content_type": "application/json"}
        try:
            body = json.loads(request.body)
        except ValueError:
            body = None
        with self.lock:
            self.reports.append({"text": request.body, "json": body})
        return {"status": 200, "body": '{"result":"ok"}', "content_type": "application/json"}

    def answer_for(self, request):
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

    # --- records and control ------------------------------------------------------------

    def add_record(self, request):
        with self.lock:
            self.records.append(request.record(len(self.records) + 1))

    def reset(self):
        with self.lock:
            self.records = []
            self.scripts = {}
            self.tokens = []
            self.tls_errors = 0
            self.poll_items = []
            self.polls = []
            self.reports = []

    def script(self, path, responses):
        with self.lock:
            self.scripts.setdefault(path, []).extend(responses)

    def state(self):
        with self.lock:
            return {"config": dict(self.config), "tokens": list(self.tokens), "tls_errors": self.tls_errors}

    # --- servers ------------------------------------------------------------------------

    def start(self, port=0, control_port=0):
        self.service = _TlsServer(self, port)
        self.control = _ControlServer(self, control_port)
        for server in (self.service, self.control):
            threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True).start()
        return self

    def stop(self):
        self.stopped.set()
        for server in (self.service, self.control):
            if server is not None:
                server.shutdown()
                server.server_close()

    def info(self):
        port = self.service.server_address[1]
        return {
            "port": port,
            "control_port": self.control.server_address[1],
            "ca_file": self.ca_file,
            "base_url": "https://127.0.0.1:%d" % port,
            "dir": self.directory,
        }


class _ServiceHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "FakeMonitoring/1.0"

    def log_message(self, fmt, *args):  # keep the test output clean
        pass

    def _handle(self):
        service = self.server.owner
        length = int(self.headers.get("Content-Length") or 0)
        scripted_early_drop = False
        with service.lock:
            queue = service.scripts.get(self.path.partition("?")[0])
            if queue and queue[0].get("drop_before_body"):
                queue.pop(0)
                scripted_early_drop = True
        if scripted_early_drop:
            service.add_record(Request(self.command, self.path, list(self.headers.items()), b""))
            self._drop()
            return
        body = self.rfile.read(length) if length > 0 else b""
        request = Request(self.command, self.path, list(self.headers.items()), body)
        service.add_record(request)
        action = service.answer_for(request)
        if action.get("delay"):
            time.sleep(float(action["delay"]))
        if action.get("drop"):
            self._drop()
            return
        payload = action.get("body", "")
        if not isinstance(payload, bytes):
            payload = payload.encode("utf-8")
        self.send_response(int(action.get("status", 200)))
        self.send_header("Content-Type", action.get("content_type", "text/plain"))
        self.send_header("Content-Length", str(len(payload)))
        for name, value in action.get("headers", {}).items():
            self.send_header(name, value)
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(payload)
        self.close_connection = True

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

    def _reply(self, status, obj):
        payload = json.dumps(obj).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        self.wfile.write(payload)

    def do_GET(self):
        service = self.server.owner
        if self.path == "/requests":
            with service.lock:
                self._reply(200, {"requests": list(service.records)})
        elif self.path == "/state":
            self._reply(200, service.state())
        elif self.path == "/polls":
            with service.lock:
                self._reply(200, {"polls": list(service.polls)})
        elif self.path == "/reports":
            with service.lock:
                self._reply(200, {"reports": list(service.reports)})
        else:
            self._reply(404, {"error": "unknown control path"})

    def do_POST(self):
        service = self.server.owner
        length = int(self.headers.get("Content-Length") or 0)
        try:
            data = json.loads(self.rfile.read(length) or b"{}")
        except ValueError as e:
            self._reply(400, {"error": str(e)})
            return
        if self.path == "/config":
            with service.lock:
                service.config.update(data)
            self._reply(200, {"ok": True})
        elif self.path == "/script":
            service.script(data["path"], data.get("responses", []))
            self._reply(200, {"ok": True})
        elif self.path == "/poll-items":
            service.queue_items(data.get("items", []))
            self._reply(200, {"ok": True})
        elif self.path == "/reset":
            service.reset()
            self._reply(200, {"ok": True})
        elif self.path == "/shutdown":
            self._reply(200, {"ok": True})
            threading.Thread(target=service.stop, daemon=True).start()
        else:
            self._reply(404, {"error": "unknown control path"})


# Subclasses of the service may extend the control port with a handler of their own.
FakeMonitoringService.control_handler = _ControlHandler


class _ControlServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, owner, port=0):
        self.owner = owner
        super().__init__(("127.0.0.1", port), owner.control_handler)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    serve = commands.add_parser("serve", help="run the fake service")
    serve.add_argument("--dir", required=True, help="directory for certificates")
    serve.add_argument("--san", default="IP:127.0.0.1,DNS:localhost",
                       help="subjectAltName of the server certificate")
    serve.add_argument("--config", default="{}", help="JSON object merged into the configuration")
    serve.add_argument("--watch-stdin", action="store_true", help="stop when standard input closes")
    ca = commands.add_parser("make-ca", help="only make a CA certificate")
    ca.add_argument("--dir", required=True)
    ca.add_argument("--name", default="ca")
    args = parser.parse_args(argv)

    if args.command == "make-ca":
        print(make_ca(args.dir, args.name), flush=True)
        return 0

    service = FakeMonitoringService(args.dir, server_san=args.san, config=json.loads(args.config)).start()
    stopped = service.stopped
    if args.watch_stdin:
        def watch():
            sys.stdin.read()
            stopped.set()
        threading.Thread(target=watch, daemon=True).start()
    signal.signal(signal.SIGTERM, lambda *_: stopped.set())
    signal.signal(signal.SIGINT, lambda *_: stopped.set())
    print(json.dumps(service.info()), flush=True)
    while not stopped.wait(0.2):
        pass
    service.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
