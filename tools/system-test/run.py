#!/usr/bin/env python3
"""System test of the velk Debian package in a minimal Debian 12 root (root only).

  run.py --arch amd64|armhf --deb build-deb/velk_1.0.0_amd64.deb --work build-deb/system

Makes (or takes from the cache in WORK) a Debian 12 root with mmdebstrap, from this machine's own
apt sources; installs the package there with apt; runs the agent in the root with chroot the way
its unit does (SIGTERM stops the agent alone, as KillMode=process does; a restart asked for by a
maintainer script is carried out by this program, which plays systemd) against the local
monitoring service on this machine. Then it orders
  1. a real package of the Debian archive and one built here,
  2. a newer build of velk itself,
  3. a package whose install is killed halfway, followed by a restart of the agent,
and checks the packages in the root's dpkg database, the reports, and `dpkg --audit`.
An armhf root runs through qemu-user-static and binfmt_misc.
"""
import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import threading
import time
import urllib.parse
import urllib.request

TOP = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir))
sys.path.insert(0, os.path.join(TOP, "tools", "demo"))
import debs  # noqa: E402

INCLUDE = "ca-certificates,curl,iputils-ping,libfmt9,libsqlite3-0,libcurl4,init-system-helpers,procps"
FAKE_SYSTEMCTL = r"""#!/bin/sh
# systemctl as the system test's supervisor answers it: start, stop and restart go to the
# supervisor outside the root, which answers with the start's status; the unit is enabled when
# its link is there (as enable makes it, and preset with Debian's policy) and active while the agent runs.
wants=/etc/systemd/system/multi-user.target.wants/velk.service
action=
for a in "$@"; do
    case $a in
        --version) echo "systemd 252 (252)"; exit 0 ;;
        is-enabled) [ -L $wants ] && { echo enabled; exit 0; }; echo disabled; exit 1 ;;
        is-active) [ -e /run/velk-systest/active ]; exit ;;
        enable | preset) mkdir -p "${wants%/*}" && ln -sf /lib/systemd/system/velk.service $wants ;;
        --now) action=start ;;
        start | stop | restart) action=$a ;;
    esac
done
[ -n "$action" ] || exit 0
req=/run/velk-systest/request.$$
echo "$action" > "$req.tmp" && mv "$req.tmp" "$req"
while [ ! -e "/run/velk-systest/done.$$" ]; do sleep 0.2; done
status=$(cat "/run/velk-systest/done.$$")
rm -f "/run/velk-systest/done.$$"
exit "${status:-0}"
"""


def say(text):
    print("%s  system-test  %s" % (time.strftime("%H:%M:%S"), text), flush=True)


def run(*args, **kw):
    check = kw.pop("check", True)
    done = subprocess.run(list(args), stdin=subprocess.DEVNULL, **kw)
    if check and done.returncode != 0:
        say("command failed (%d): %s\n%s%s" % (done.returncode, " ".join(args), done.stdout or "", done.stderr or ""))
        raise subprocess.CalledProcessError(done.returncode, args)
    return done


def apt_sources():
    files = []
    if os.path.isfile("/etc/apt/sources.list"):
        files.append("/etc/apt/sources.list")
    folder = "/etc/apt/sources.list.d"
    files += sorted(os.path.join(folder, f) for f in os.listdir(folder) if f.endswith((".list", ".sources")))
    return [f for f in files if os.path.getsize(f) > 0]


def ensure_binfmt(arch):
    if arch == os.uname().machine.replace("x86_64", "amd64"):
        return
    if not os.path.exists("/proc/sys/fs/binfmt_misc/status"):
        run("mount", "-t", "binfmt_misc", "binfmt_misc", "/proc/sys/fs/binfmt_misc")
    if not os.path.exists("/proc/sys/fs/binfmt_misc/qemu-arm"):
        run("update-binfmts", "--enable", "qemu-arm")


def root_tarball(work, arch):
    tarball = os.path.join(work, "bookworm-%s.tar" % arch)
    if os.path.exists(tarball):
        say("root: cached %s" % tarball)
        return tarball
    started = time.monotonic()
    run("mmdebstrap", "--variant=apt", "--architectures=" + arch, "--include=" + INCLUDE, "--format=tar",
        "bookworm", tarball + ".tmp", *apt_sources())
    os.rename(tarball + ".tmp", tarball)
    say("root: made %s in %.0f s" % (tarball, time.monotonic() - started))
    return tarball


def newer_build(deb, out_dir, suffix):
    """The same package with a higher version: what an update of the agent brings."""
    stage = os.path.join(out_dir, "repack")
    shutil.rmtree(stage, ignore_errors=True)
    run("dpkg-deb", "-R", deb, stage)
    control = os.path.join(stage, "DEBIAN", "control")
    fields = open(control).read().splitlines()
    version = next(l.split(": ", 1)[1] for l in fields if l.startswith("Version: ")) + suffix
    fields = ["Version: " + version if l.startswith("Version: ") else l for l in fields]
    open(control, "w").write("\n".join(fields) + "\n")
    target = os.path.join(out_dir, "velk_%s.deb" % version)
    run("dpkg-deb", "-b", stage, target, stdout=subprocess.DEVNULL)
    shutil.rmtree(stage)
    return version, target


class Supervisor:
    """Plays systemd for velk.service in the root: KillMode=process, Restart=always."""

    def __init__(self, root, log):
        self.root, self.log = root, log
        self.agent = None
        self.starts = 0
        self.lock = threading.Lock()
        self.requests = os.path.join(root, "run", "velk-systest")
        os.makedirs(self.requests, exist_ok=True)
        threading.Thread(target=self._serve, daemon=True).start()

    def start(self):
        """Runs the unit's ExecStartPre commands, then the agent if they pass; False if they did not."""
        unit = open(os.path.join(self.root, "lib", "systemd", "system", "velk.service")).read().splitlines()
        for command in [l.split("=", 1)[1].split() for l in unit if l.startswith("ExecStartPre=")]:
            check = subprocess.run(["chroot", self.root] + command, stdin=subprocess.DEVNULL,
                                   stdout=self.log, stderr=subprocess.STDOUT)
            if check.returncode != 0:
                say("start refused: %s ended with status %d" % (" ".join(command), check.returncode))
                return False
        with self.lock:
            open(os.path.join(self.requests, "active"), "w").close()
            self.agent = subprocess.Popen(["chroot", self.root, "/usr/sbin/velk"], stdin=subprocess.DEVNULL,
                                          stdout=self.log, stderr=subprocess.STDOUT)
            self.starts += 1
            say("agent started (pid %d, start %d)" % (self.agent.pid, self.starts))
        return True

    def stop(self):
        with self.lock:
            if self.agent is None:
                return
            self.agent.send_signal(signal.SIGTERM)  # the agent only: its children carry on
            self.agent.wait(timeout=90)
            say("agent stopped (status %d)" % self.agent.returncode)
            self.agent = None
            self._inactive()

    def _inactive(self):
        if os.path.exists(os.path.join(self.requests, "active")):
            os.remove(os.path.join(self.requests, "active"))

    def _serve(self):
        while True:
            for name in sorted(os.listdir(self.requests)):
                if not name.startswith("request.") or name.endswith(".tmp"):
                    continue
                path = os.path.join(self.requests, name)
                action = open(path).read().strip()
                os.remove(path)
                say("systemctl %s velk.service, asked from within the root" % action)
                if action in ("stop", "restart"):
                    self.stop()
                # Starting a running unit changes nothing.
                running = self.agent is not None and action == "start"
                started = self.start() if action in ("start", "restart") and not running else True
                with open(os.path.join(self.requests, "done." + name.split(".", 1)[1]), "w") as done:
                    done.write("0" if started else "1")
            with self.lock:
                if self.agent is not None and self.agent.poll() is not None:
                    say("agent died (status %d): restarted" % self.agent.returncode)
                    self.agent = None
                    self._inactive()
                    restart = True
                else:
                    restart = False
            if restart:
                self.start()
            time.sleep(0.2)


class SystemTest:
    def __init__(self, args):
        self.arch, self.work = args.arch, os.path.abspath(args.work)
        self.deb = os.path.abspath(args.deb)
        self.root = os.path.join(self.work, "root-" + self.arch)
        self.served = os.path.join(self.work, "served-" + self.arch)
        self.mounts = []
        self.service = None
        self.failures = []

    def chroot(self, *args, **kw):
        env = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
               "DEBIAN_FRONTEND": "noninteractive", "LANG": "C.UTF-8"}
        return run("chroot", self.root, *args, env=env, **kw)

    def dpkg_state(self, name):
        out = self.chroot("dpkg-query", "-W", "-f=${db:Status-Abbrev}${Version}", name, check=False,
                          capture_output=True, text=True)
        return out.stdout.strip()

    def check(self, ok, text):
        say(("ok      " if ok else "FAILED  ") + text)
        if not ok:
            self.failures.append(text)

    def prepare_root(self):
        ensure_binfmt(self.arch)
        tarball = root_tarball(self.work, self.arch)
        shutil.rmtree(self.root, ignore_errors=True)
        os.makedirs(self.root)
        run("tar", "-xf", tarball, "-C", self.root)
        for source, target, kind in (("proc", "proc", "proc"), ("/dev", "dev", None), ("/dev/pts", "dev/pts", None)):
            path = os.path.join(self.root, target)
            run("mount", *(["-t", kind] if kind else ["--bind"]), source, path)
            self.mounts.append(path)
        for name in ("resolv.conf", "hosts"):
            shutil.copy("/etc/" + name, os.path.join(self.root, "etc", name))
        self.chroot("apt-get", "-q", "update", capture_output=True)
        with open(os.path.join(self.root, "etc", "machine-id"), "w") as f:
            f.write(os.urandom(16).hex() + "\n")

    def play_systemd(self):
        """From now on the root's maintainer scripts see a running systemd: this program."""
        os.makedirs(os.path.join(self.root, "run", "systemd", "system"), exist_ok=True)
        systemctl = os.path.join(self.root, "usr", "bin", "systemctl")
        open(systemctl, "w").write(FAKE_SYSTEMCTL)
        os.chmod(systemctl, 0o755)

    def packages(self):
        shutil.rmtree(self.served, ignore_errors=True)
        os.makedirs(self.served)
        self.chroot("sh", "-c", "cd /tmp && apt-get -q download hello", capture_output=True)
        hello = [f for f in os.listdir(os.path.join(self.root, "tmp")) if f.startswith("hello_")][0]
        shutil.move(os.path.join(self.root, "tmp", hello), os.path.join(self.served, hello))
        stage = os.path.join(self.work, "stage-" + self.arch)
        shutil.rmtree(stage, ignore_errors=True)
        debs.build_package({"name": "velk-systest", "version": "1.0", "description": "built for the test",
                            "files": {"usr/share/velk-systest/v": (0o644, "1.0\n")}}, self.served, stage)
        slow = debs.build_package({"name": "velk-systest-slow", "version": "2.0",
                                   "description": "configures slowly the first time",
                                   "files": {"usr/share/velk-systest-slow/v": (0o644, "2.0\n")}},
                                  self.served, stage)
        # A postinst that waits the first time, so that the test can kill dpkg in the middle.
        unpacked = os.path.join(stage, "slow")
        run("dpkg-deb", "-R", slow, unpacked)
        postinst = os.path.join(unpacked, "DEBIAN", "postinst")
        open(postinst, "w").write("#!/bin/sh\nset -e\nif [ ! -e /var/tmp/slow-once ]; then\n"
                                  "    touch /var/tmp/slow-once\n    sleep 600\nfi\n")
        os.chmod(postinst, 0o755)
        run("dpkg-deb", "-b", unpacked, slow, stdout=subprocess.DEVNULL)
        self.new_version, newer = newer_build(self.deb, self.served, "+systest1")
        return hello

    def start_service(self):
        service_dir = os.path.join(self.work, "service-" + self.arch)
        shutil.rmtree(service_dir, ignore_errors=True)
        self.service = subprocess.Popen(
            [sys.executable, os.path.join(TOP, "tools", "monitoring_service.py"), "--dir", service_dir,
             "--host", "localhost", "--agent-settings", os.path.join(service_dir, "agent.json"),
             "--packages", self.served, "--info-json", "--stop-on-eof"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        info = json.loads(self.service.stdout.readline())
        threading.Thread(target=lambda: [None for _ in self.service.stdout], daemon=True).start()
        self.status_url = info["status_url"]
        return info

    def configure(self, info):
        conf_path = os.path.join(self.root, "etc", "velk", "velk.conf")
        conf = json.load(open(conf_path))
        host = urllib.parse.urlsplit(conf["web_api"]["api_base_url"]).hostname
        self.check(conf.get("server_alive", {}).get("ping_server_fqdn") == host, "shipped velk.conf pings the service's host")
        # What the service writes for its devices: the downloads wait on its ping target.
        settings = json.load(open(os.path.join(info["dir"], "agent.json")))
        shutil.copy(info["ca_file"], os.path.join(self.root, "etc", "velk", "service-ca.pem"))
        settings["http_access"]["ca_cert_file"] = "/etc/velk/service-ca.pem"
        for section in ("web_api", "http_access", "server_alive"):
            conf.setdefault(section, {}).update(settings[section])
        conf["http_access"].update(retry_interval_sec=1)
        conf["order_check"] = {"check_interval_sec": 3, "check_slice_interval_sec": 1, "delay_start_time": 1}
        conf["instruction_thread"] = {"loop_interval_sec": 2, "loop_slice_interval_sec": 1,
                                      "delay_start_thread_time": 1}
        conf["server_alive"].update(pint_retry_num=1, ping_retry_interval=1)
        conf["software_update"].update(proc_retry_num=0, proc_retry_wait_sec=1)
        json.dump(conf, open(conf_path, "w"), indent=2)

    def order(self, number, packages, install_in=15):
        order = {"item": "sw_update", "mode": "new", "sw_upd_no": number,
                 "download_start_date": "+0", "download_end_date": "+3600",
                 "install_start_date": "+%d" % install_in, "install_end_date": "+3600",
                 "pkg_update": [{"pkg_name": n, "pkg_version": v, "pkg_url": "/packages/" + f}
                                for n, v, f in packages]}
        request = urllib.request.Request(self.status_url + "orders", data=json.dumps(order).encode(),
                                         headers={"Content-Type": "application/json"})
        urllib.request.urlopen(request, timeout=10).read()
        say("order %d queued: %s" % (number, ", ".join("%s %s" % (n, v) for n, v, _ in packages)))

    def reports(self, number):
        status = json.loads(urllib.request.urlopen(self.status_url + "status", timeout=10).read())
        items = [i for r in status["reports"] for i in (r.get("request") or []) if isinstance(i, dict)]
        return [i.get("message") for i in items if i.get("sw_upd_no") == number]

    def wait_reports(self, number, wanted, limit=300):
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            got = self.reports(number)
            if all(w in got for w in wanted) or any("failed" in str(m) for m in got):
                return got
            time.sleep(1)
        return self.reports(number)

    def processes_in_root(self, word):
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                if os.readlink("/proc/%s/root" % pid) == self.root and \
                        word in open("/proc/%s/cmdline" % pid, "rb").read().replace(b"\0", b" ").decode():
                    found.append(int(pid))
            except OSError:
                pass
        return found

    def run(self):
        started = time.monotonic()
        self.prepare_root()
        say("root ready in %.0f s" % (time.monotonic() - started))
        hello = self.packages()
        hello_version = hello.split("_")[1].replace("%3a", ":")
        shutil.copy(self.deb, os.path.join(self.root, "tmp"))
        self.play_systemd()
        supervisor = Supervisor(self.root, open(os.path.join(self.work, "agent-%s.out" % self.arch), "w"))
        try:
            self.chroot("apt-get", "install", "-y", "-q", "/tmp/" + os.path.basename(self.deb), capture_output=True)
            self.check(self.dpkg_state("velk").startswith("ii"), "velk installed with apt: " + self.dpkg_state("velk"))
            self.check(supervisor.starts == 0, "the installed package does not start the unconfigured agent")
            conf_path = os.path.join(self.root, "etc", "velk", "velk.conf")
            shipped = open(conf_path).read()
            open(conf_path, "w").write(shipped.replace('"log_level": 2', '"log_level": 2,'))
            refused = self.chroot("systemctl", "start", "velk", check=False).returncode
            self.check(refused != 0 and supervisor.starts == 0, "a velk.conf that does not parse fails the start")
            open(conf_path, "w").write(shipped)
            info = self.start_service()
            self.configure(info)
            self.chroot("systemctl", "enable", "--now", "velk")
            self.check(supervisor.starts == 1, "systemctl enable --now velk starts the configured agent")
            self.order(1, [("hello", hello_version, hello), ("velk-systest", "1.0", "velk-systest_1.0_all.deb")])
            got = self.wait_reports(1, ["download success", "update success"])
            self.check(got == ["download success", "update success"], "order 1 reported: %s" % got)
            for name, version in (("hello", hello_version), ("velk-systest", "1.0")):
                state = self.dpkg_state(name)
                self.check(state == "ii " + version, "%s at %s: %s" % (name, version, state))

            starts = supervisor.starts
            self.order(2, [("velk", self.new_version, "velk_%s.deb" % self.new_version)])
            got = self.wait_reports(2, ["download success", "update success"])
            self.check(got == ["download success", "update success"], "self-update reported once: %s" % got)
            self.check(self.dpkg_state("velk") == "ii " + self.new_version,
                       "velk at %s: %s" % (self.new_version, self.dpkg_state("velk")))
            self.check(supervisor.starts == starts + 1, "agent restarted once by its own update")
            self.check(supervisor.agent is not None and supervisor.agent.poll() is None, "new agent running")

            self.order(3, [("velk-systest-slow", "2.0", "velk-systest-slow_2.0_all.deb")])
            deadline = time.monotonic() + 240
            while not os.path.exists(os.path.join(self.root, "var", "tmp", "slow-once")):
                if time.monotonic() > deadline:
                    raise RuntimeError("the slow install never started")
                time.sleep(0.5)
            supervisor.stop()
            victims = self.processes_in_root("install-packages") + self.processes_in_root("apt-get") + \
                self.processes_in_root("dpkg") + self.processes_in_root("postinst") + \
                self.processes_in_root("sleep 600")
            for pid in victims:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            say("install killed while dpkg ran (%d processes); dpkg: %s" % (
                len(victims), self.dpkg_state("velk-systest-slow")))
            supervisor.start()
            got = self.wait_reports(3, ["update success"])
            self.check(got.count("update success") == 1 and not any("failed" in str(m) for m in got),
                       "interrupted install recovered after the restart: %s" % got)
            self.check(self.dpkg_state("velk-systest-slow") == "ii 2.0",
                       "velk-systest-slow at 2.0: " + self.dpkg_state("velk-systest-slow"))
            audit = self.chroot("dpkg", "--audit", check=False, capture_output=True, text=True)
            self.check(audit.returncode == 0 and not audit.stdout.strip(), "dpkg --audit clean: %r" % audit.stdout)
        finally:
            supervisor.stop()
        say("%s: %s in %.0f s" % (self.arch, "FAILED" if self.failures else "passed", time.monotonic() - started))
        return 1 if self.failures else 0

    def close(self):
        if self.service is not None:
            self.service.stdin.close()
            self.service.wait(timeout=30)
        for path in reversed(self.mounts):
            run("umount", "-l", path, check=False)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", required=True)
    parser.add_argument("--deb", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("the system test needs root (chroot, mounts)", file=sys.stderr)
        return 2
    os.makedirs(args.work, exist_ok=True)
    test = SystemTest(args)
    try:
        return test.run()
    finally:
        test.close()


if __name__ == "__main__":
    sys.exit(main())
