#!/usr/bin/env python3
"""End-to-end figures of the agent on this machine, standard library only (plus gnuplot for the plot).

  bytes per empty poll   the real agent polls the local HTTPS monitoring service through a byte-counting TCP
                         relay; with and without the TLS sessions shared across threads, with a
                         service that closes every connection and one that keeps it open
  idle cost              CPU time and wake-ups of the idle agent with the default slices, measured
                         over a short window and scaled to an hour and a minute
  database writes        whether an empty poll changes the database file at all
  restart to first poll  with 10,000 stored orders, minus the configured start delay
  disk bound             `velk_bench --simulate-orders` (the real prune) after 200 and 10,000 orders

Usage: bench.py --binary BUILD/velk-sandbox --bench BUILD/bench/velk_bench --out DIR [--micro FILE]
FILE is Google Benchmark's JSON output, whose intake times go into the plot; the agent without the
TLS sessions shared across threads is BUILD/bench/velk-sandbox-unshared.
"""
import argparse
import json
import os
import shutil
import socket
import sqlite3
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE + "/..")
import monitoring_service  # noqa: E402
from agent_sandbox import LocalService, Sandbox, merge  # noqa: E402

POLL = {"order_check": {"check_interval_sec": 2, "check_slice_interval_sec": 1, "delay_start_time": 1}}


class KeepAliveHandler(monitoring_service._ServiceHandler):
    """The local service's answers, but the connection stays open as a real web server's does."""

    def send_header(self, name, value):
        if name != "Connection":
            super().send_header(name, value)

    def _handle(self):
        super()._handle()
        self.close_connection = False

    do_GET = _handle
    do_POST = _handle


class Relay:
    """Forwards 127.0.0.1:port to the target and counts the bytes in both directions."""

    def __init__(self, target_port):
        self.target = ("127.0.0.1", target_port)
        self.lock = threading.Lock()
        self.up = self.down = self.connections = 0
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def total(self):
        with self.lock:
            return self.up + self.down

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            server = socket.create_connection(self.target)
            with self.lock:
                self.connections += 1
            threading.Thread(target=self._pipe, args=(client, server, "up"), daemon=True).start()
            threading.Thread(target=self._pipe, args=(server, client, "down"), daemon=True).start()

    def _pipe(self, src, dst, way):
        try:
            while True:
                data = src.recv(65536)
                if not data:
                    break
                with self.lock:
                    setattr(self, way, getattr(self, way) + len(data))
                dst.sendall(data)
        except OSError:
            pass
        finally:
            for s in (src, dst):
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

    def close(self):
        self.listener.close()


def polls(svc):
    return len(svc.poll_bodies())


def wait_polls(svc, count, timeout=60):
    svc.wait_until(lambda: polls(svc) >= count, timeout=timeout, what="%d polls" % count)
    time.sleep(0.5)  # the answer and the TLS close travel after the request is recorded


def bytes_per_poll(binaries, share, keep_alive, count=5):
    binary = binaries[0] if share else binaries[1]
    original = monitoring_service._ServiceHandler
    if keep_alive:
        monitoring_service._ServiceHandler = KeepAliveHandler
    try:
        with LocalService() as svc, Sandbox(binary) as box:
            port = int(svc.base_url.rsplit(":", 1)[1])
            relay = Relay(port)
            settings = svc.agent_settings()
            for key in ("api_base_url", "api_login_url"):
                settings["web_api"][key] = settings["web_api"][key].replace(str(port), str(relay.port))
            box.write_config(merge(settings, POLL))
            box.start()
            wait_polls(svc, 2)  # the first poll also logs in and reports the boot time
            start, conns = relay.total(), relay.connections
            wait_polls(svc, 2 + count)
            result = {"share": share, "keep_alive": keep_alive,
                      "bytes_per_poll": (relay.total() - start) / count,
                      "connections_per_poll": (relay.connections - conns) / count}
            box.stop()
            relay.close()
            return result
    finally:
        monitoring_service._ServiceHandler = original


def db_state(path):
    st = os.stat(path)
    with open(path, "rb") as f:
        return st.st_mtime_ns, st.st_size, f.read()


def db_bytes_per_empty_poll(binary, count=3):
    """Polls that bring nothing, with executor passes (report re-send, next stage, prune) between them."""
    with LocalService() as svc, Sandbox(binary) as box:
        executor = {"instruction_thread": {"loop_interval_sec": 2, "loop_slice_interval_sec": 1}}
        box.write_config(merge(svc.agent_settings(), merge(executor, POLL)))
        box.start()
        wait_polls(svc, 2)
        before = db_state(box.path("db", "velk.db"))
        wait_polls(svc, 2 + count)
        after = db_state(box.path("db", "velk.db"))
        box.stop()
    changed = sum(a != b for a, b in zip(before[2], after[2])) + abs(len(after[2]) - len(before[2]))
    return {"polls": count, "file_modified": before[0] != after[0], "bytes_changed": changed}


def task_counters(pid):
    """CPU nanoseconds and context switches, summed over the threads of the process."""
    cpu_ns = switches = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                cpu_ns += int(f.read().split()[0])
            with open("/proc/%d/task/%s/status" % (pid, tid)) as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        switches += int(line.split()[1])
        except FileNotFoundError:
            pass
    return cpu_ns, switches


def idle_cost(binary, seconds):
    with Sandbox(binary) as box:
        # Default intervals and slices; only the paths are the sandbox's, and the service is unreachable.
        settings = {"log": {"log_level": 2},
                    "order_check": {"check_interval_sec": 3600, "check_slice_interval_sec": 5,
                                    "delay_start_time": 180},
                    "instruction_thread": {"loop_interval_sec": 3600, "loop_slice_interval_sec": 5,
                                           "delay_start_thread_time": 5}}
        box.write_config(settings)
        proc = box.start()
        time.sleep(10)  # start-up and the executor's first pass
        t0, s0 = task_counters(proc.pid)
        time.sleep(seconds)
        t1, s1 = task_counters(proc.pid)
        box.stop()
    return {"window_s": seconds, "cpu_s_per_hour": (t1 - t0) / 1e9 * 3600 / seconds,
            "wakeups_per_minute": (s1 - s0) * 60 / seconds}


def fill_orders(db_path, rows):
    conn = sqlite3.connect(db_path)
    with conn:
        for i in range(1, rows + 1):
            cur = conn.execute("INSERT INTO order_info ( receive_json, order_kind, order_time, order_status, "
                               "response_json ) VALUES ( ?, 2, CURRENT_TIMESTAMP, 12, ? )", ("r" * 480, "x" * 320))
            conn.execute("INSERT INTO update_info ( order_info_id, sw_upd_no, update_status, download_start_time, "
                         "download_end_time, update_start_time, update_end_time ) VALUES ( ?, ?, 22, "
                         "'2026/01/01 00:00:00', '2026/01/01 01:00:00', '2026-01-02 00:00:00', "
                         "'2026-01-02 01:00:00' )", (cur.lastrowid, i))
            conn.execute("INSERT INTO update_package ( sw_upd_no, package_name, package_version, package_url, "
                         "target_flag ) VALUES ( ?, 'pkg', '1.0', 'http://s/pkg.deb', 1 )", (i,))
    conn.close()


def restart_to_first_poll(binary, rows):
    with LocalService() as svc, Sandbox(binary) as box:
        # Keep every row, so the restart meets all of them. The executor starts after its default
        # delay, as on a device, where its first pass ends long before the first poll.
        box.write_config(merge(svc.agent_settings(), merge(
            {"software_update": {"keep_closed_orders": -1, "keep_run_files": -1},
             "instruction_thread": {"delay_start_thread_time": 5}}, POLL)))
        box.start()
        wait_polls(svc, 1)
        box.stop()
        fill_orders(box.path("db", "velk.db"), rows)
        seen = polls(svc)
        started = time.monotonic()
        box.start()
        while polls(svc) <= seen:
            time.sleep(0.005)
        elapsed = time.monotonic() - started
        box.stop()
    delay = POLL["order_check"]["delay_start_time"]
    return {"rows": rows, "seconds": elapsed, "start_delay_s": delay, "beyond_delay_s": elapsed - delay}


def disk_bound(bench, orders):
    # On a RAM disk when there is one: the figure is the space held, and 10,000 fsyncs on a shared disk take long.
    env = dict(os.environ, TMPDIR="/dev/shm") if os.path.isdir("/dev/shm") else None
    out = subprocess.run([bench, "--simulate-orders", str(orders)], check=True, capture_output=True, text=True,
                         env=env)
    return [json.loads(line) for line in out.stdout.splitlines() if line.startswith("{")]


def plot(out_dir, micro, traffic):
    intake = []
    if micro:
        with open(micro) as f:
            for b in json.load(f)["benchmarks"]:
                if b["name"].startswith("BM_Intake/") and b.get("run_type", "iteration") == "iteration":
                    intake.append((int(b["name"].split("/")[1]), b["real_time"]))
    with open(os.path.join(out_dir, "intake.dat"), "w") as f:
        f.writelines("%d %.3f\n" % row for row in intake)
    with open(os.path.join(out_dir, "traffic.dat"), "w") as f:
        for i, t in enumerate(traffic):
            label = "%s,%s" % ("shared" if t["share"] else "fresh", "keep-alive" if t["keep_alive"] else "close")
            f.write("%d \"%s\" %.0f\n" % (i, label, t["bytes_per_poll"]))
    script = """set terminal pngcairo size 1000,460
set output '{out}/performance.png'
set multiplot layout 1,2
set title 'Order intake'
set xlabel 'packages in the order'
set ylabel 'ms'
set logscale xy
set grid
plot '{out}/intake.dat' using 1:2 with linespoints notitle
unset logscale
set title 'Bytes on the wire per empty poll'
set xlabel ''
set ylabel 'bytes'
set style fill solid 0.6
set boxwidth 0.6
set yrange [0:*]
set xtics rotate by -20
plot '{out}/traffic.dat' using 1:3:xtic(2) with boxes notitle
unset multiplot
""".format(out=out_dir)
    if shutil.which("gnuplot"):
        subprocess.run(["gnuplot"], input=script, text=True, check=True)
    else:
        print("gnuplot not found: no plot", file=sys.stderr)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", required=True)
    parser.add_argument("--bench", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--micro")
    parser.add_argument("--idle-seconds", type=int, default=60)
    parser.add_argument("--rows", type=int, default=10000)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    unshared = os.path.join(os.path.dirname(args.bench), "velk-sandbox-unshared")
    figures = {"traffic": [bytes_per_poll((args.binary, unshared), share, keep)
                           for keep in (False, True) for share in (False, True)]}
    figures["db_write_per_empty_poll"] = db_bytes_per_empty_poll(args.binary)
    figures["restart"] = [restart_to_first_poll(args.binary, rows) for rows in (0, args.rows)]
    figures["idle"] = idle_cost(args.binary, args.idle_seconds)
    figures["disk"] = disk_bound(args.bench, args.rows)
    print(json.dumps(figures, indent=2))
    with open(os.path.join(args.out, "figures.json"), "w") as f:
        json.dump(figures, f, indent=2)
    plot(args.out, args.micro, figures["traffic"])


if __name__ == "__main__":
    main()
