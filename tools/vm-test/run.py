#!/usr/bin/env python3
"""The velk package on a booted Debian 12 machine under real systemd (root only).

  run.py --arch amd64|armhf --deb build-deb/velk_1.0.0_amd64.deb --work build-deb/vm [--powercuts N]
         [--suite full|powercut] [--floor BINARY]

Boots a copy of the cached image (vm.py) under qemu, installs the package with apt and points it
at the local monitoring service, run in this process, through the guest's one forward. The full
suite then shows: an unconfigured package stays off and a configuration that does not parse fails
the start; an update cycle with a Debian package and one built here; the agent updating itself;
`systemctl reload` polling at once; `systemctl stop` ending within seconds, during a transfer too; a
reboot reporting the new boot time; a quiet journal; the agent's memory beside a floor program's
and the time from power-on to its first poll. Then --powercuts rounds: an update cycle with a slow
package, the power cut (qemu killed) at a random point of it, a boot, and the checks of what must
survive a cut. A table of the rounds per cut point ends the run.
"""
import argparse
import json
import os
import random
import shlex
import shutil
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.abspath(os.path.join(HERE, os.pardir, os.pardir))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(TOP, "tools"))
sys.path.insert(0, os.path.join(TOP, "tools", "demo"))
import debs  # noqa: E402
import monitoring_service  # noqa: E402
import vm  # noqa: E402

CUT_POINTS = ["poll", "answer kept", "commit", "download", "unpack", "configure", "report"]
GUEST_CA = "/usr/local/share/ca-certificates/velk-test.crt"
DB = "/var/lib/velk/velk.db"


def slow_mark(step, version):
    """The console line the slow package writes as dpkg's step begins."""
    return "velk-slow-%s %s" % (step, version)


def say(text):
    print("%s  vm-test  %s" % (time.strftime("%H:%M:%S"), text), flush=True)


def newer_build(deb, out_dir, suffix):
    """The same package with a higher version: what an update of the agent brings."""
    stage = os.path.join(out_dir, "repack")
    shutil.rmtree(stage, ignore_errors=True)
    vm.run("dpkg-deb", "-R", deb, stage)
    control = os.path.join(stage, "DEBIAN", "control")
    fields = open(control).read().splitlines()
    version = next(l.split(": ", 1)[1] for l in fields if l.startswith("Version: ")) + suffix
    fields = ["Version: " + version if l.startswith("Version: ") else l for l in fields]
    open(control, "w").write("\n".join(fields) + "\n")
    target = os.path.join(out_dir, "velk_%s.deb" % version)
    vm.run("dpkg-deb", "-b", stage, target, capture_output=True)
    shutil.rmtree(stage)
    return version, target


class Service:
    """The monitoring service of the test, with a note of when each request came."""

    def __init__(self, work, served):
        directory = os.path.join(work, "service")
        shutil.rmtree(directory, ignore_errors=True)
        os.makedirs(directory)
        log = open(os.path.join(work, "service.log"), "w", buffering=1)
        # The package takes only signed orders: the service signs with a key of the test's own.
        keys = os.path.join(work, "signing")
        shutil.rmtree(keys, ignore_errors=True)
        self.signing_key, self.public_key = monitoring_service.generate_key(keys)
        self.svc = monitoring_service.MonitoringService(directory, packages_dir=served, out=log,
                                                         host=vm.SERVICE_HOST, signing_key=self.signing_key)
        self.arrivals = []  # (monotonic time, method, path, body)
        self.watchers = []
        record = self.svc.add_record

        def noted(request):
            entry = (time.monotonic(), request.method, request.path, request.body)
            self.arrivals.append(entry)
            self.svc.say("request    %s %s" % (request.method, request.path.partition("?")[0]))
            for watcher in list(self.watchers):
                watcher(entry)
            return record(request)
        self.svc.add_record = noted
        self.svc.start()
        self.port = self.svc.service.server_address[1]

    def polls(self, since=0.0):
        return [a for a in self.arrivals if a[2].startswith(self.svc.config["poll_path"]) and a[0] >= since]

    def reports(self, number):
        items = [i for r in self.svc.status()["reports"] if isinstance(r, dict)
                 for i in (r.get("request") or []) if isinstance(i, dict)]
        return [(i.get("message"), i.get("report_datetime")) for i in items if i.get("sw_upd_no") == number]

    def messages(self, number):
        return [message for message, _ in self.reports(number)]

    def stages(self, number):
        """The stages reported, each once, and how many reports were the same report sent again."""
        got = self.reports(number)
        distinct = list(dict.fromkeys(got))
        return [message for message, _ in distinct], len(got) - len(distinct)

    def boot_times(self):
        return [b for d in self.svc.status()["devices"] for b in d["boot_times"]]

    def order(self, number, packages, install_in=8):
        self.svc.queue_order(monitoring_service.update_order(
            number, [(n, v, monitoring_service.PACKAGE_PATH + f) for n, v, f in packages], "+0", "+%d" % install_in))

    def wait(self, what, limit, step=0.5):
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            got = what()
            if got:
                return got
            time.sleep(step)
        return what()

    def wait_reports(self, number, wanted, limit=300):
        def done():
            got = self.messages(number)
            return got if all(w in got for w in wanted) or any("fail" in str(m) for m in got) else None
        return self.wait(done, limit) or self.messages(number)


class VmTest:
    def __init__(self, args):
        self.args = args
        self.arch = args.arch
        self.work = os.path.join(os.path.abspath(args.work), "run-" + self.arch)
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.served = os.path.join(self.work, "served")
        os.makedirs(self.served)
        self.failures = []
        self.figures = []
        self.image = vm.Image(self.arch, args.work).ensure()
        self.service = Service(self.work, self.served)
        self.guest = vm.Guest(self.image, self.work, self.service.port)

    def check(self, ok, text):
        say(("ok      " if ok else "FAILED  ") + text)
        if not ok:
            self.failures.append(text)
        return ok

    def figure(self, text):
        say("figure  " + text)
        self.figures.append(text)

    # --- set-up ---------------------------------------------------------------------------

    def boot(self):
        seconds, state = self.guest.wait_up()
        say("guest up in %.0f s (%s)" % (seconds, state))
        return seconds

    def fetch(self, name, target):
        """A file of the served folder into the guest, over the forward."""
        self.guest.sh("curl -fsS -o %s https://%s:%d/packages/%s" % (target, vm.SERVICE_HOST, self.service.port, name))

    def trust_service(self):
        g = self.guest
        g.put(GUEST_CA, open(self.service.svc.ca_file).read())
        # What update-ca-certificates would add, without its rehash of every CA (minutes under emulation);
        # a later run of it keeps the file.
        g.sh("cat %s >> /etc/ssl/certs/ca-certificates.crt" % GUEST_CA)

    def install_agent(self):
        g = self.guest
        self.trust_service()
        shutil.copy(self.args.deb, self.served)
        self.fetch(os.path.basename(self.args.deb), "/root/velk.deb")
        g.sh("DEBIAN_FRONTEND=noninteractive apt-get install -y -q /root/velk.deb", timeout=300)
        self.check(g.out("dpkg-query -W -f='${db:Status-Abbrev}' velk").startswith("ii"), "velk installed with apt")
        self.check(g.sh("systemctl is-active velk", check=False)[1].strip() == "inactive" and
                   g.sh("systemctl is-enabled velk", check=False)[1].strip() == "disabled",
                   "the installed, unconfigured package stays off")

    def configure(self, check_interval=30):
        g = self.guest
        conf = json.loads(g.out("cat /etc/velk/velk.conf"))
        settings = self.service.svc.agent_settings()
        settings["http_access"]["ca_cert_file"] = ""  # the guest's own store trusts the test CA
        for section in ("web_api", "http_access", "server_alive"):
            conf.setdefault(section, {}).update(settings[section])
        # The package's own policy ("required") and folder stay; only the key is the test's.
        g.put("/etc/velk/trusted-keys/velk-test.pem", open(self.service.public_key).read())
        conf["http_access"].update(retry_interval_sec=1)
        # Polls on a fixed beat, which the checks time; the backoff and the windows stay as packaged.
        conf["order_check"].update(check_interval_sec=check_interval, check_slice_interval_sec=1, delay_start_time=1,
                                   start_jitter_sec=0, check_jitter_sec=0)
        conf["instruction_thread"] = {"loop_interval_sec": 2, "loop_slice_interval_sec": 1,
                                      "delay_start_thread_time": 1}
        conf["server_alive"].update(ping_server_fqdn=vm.PING_ADDRESS, pint_retry_num=3, ping_retry_interval=2)
        # Retried as the package retries them, a little faster.
        conf["software_update"].update(proc_retry_num=2, proc_retry_wait_sec=3)
        self.conf = conf
        g.put("/etc/velk/velk.conf", json.dumps(conf, indent=2) + "\n", mode="0640")

    def packages(self):
        stage = os.path.join(self.work, "stage")
        shutil.copy(self.image.hello(), self.served)
        self.hello = os.path.basename(self.image.hello())
        self.hello_version = self.hello.split("_")[1].replace("%3a", ":")
        for version in ("1.0", "2.0"):
            debs.build_package({"name": "velk-vmtest", "version": version, "description": "built for the test",
                                "files": {"usr/share/velk-vmtest/v": (0o644, version + "\n")}}, self.served, stage)
        self.vmtest2 = "velk-vmtest_2.0_all.deb"

    def slow_package(self, version):
        """A package that unpacks a few megabytes and configures slowly, each version once."""
        stage = os.path.join(self.work, "stage")
        payload = os.urandom(3 << 20).hex()
        deb = debs.build_package({"name": "velk-slow", "version": version, "description": "slow to install",
                                  "files": {"usr/share/velk-slow/payload": (0o644, payload)}}, self.served, stage)
        unpacked = os.path.join(stage, "slow-" + version)
        vm.run("dpkg-deb", "-R", deb, unpacked)
        # A line on the serial console tells the test at once where dpkg is (a look from the host takes
        # seconds under emulation); velk-slow.log counts the configure runs.
        def mark(step):
            return "echo '%s' > /dev/console 2>/dev/null || true\n" % slow_mark(step, version)
        for script, text in (("preinst", mark("unpack") + "sleep 1\n"),
                             ("postinst", mark("configure") + "sleep 4\n"
                                          "echo \"$DPKG_MAINTSCRIPT_PACKAGE %s $1\" >> /var/lib/velk-slow.log\n"
                                          "sync /var/lib/velk-slow.log\n" % version)):
            path = os.path.join(unpacked, "DEBIAN", script)
            open(path, "w").write("#!/bin/sh\nset -e\n" + text)
            os.chmod(path, 0o755)
        vm.run("dpkg-deb", "-Zgzip", "-b", unpacked, deb, capture_output=True)
        shutil.rmtree(unpacked)
        return os.path.basename(deb)

    def journal_errors(self, since):
        """Errors of the unit since a time of the guest's clock, in this boot and the ones before."""
        return [l for l in self.guest.out("journalctl -q -u velk -p err --no-pager -o short-iso --since '%s' || true"
                                          % since).splitlines() if l]

    # --- the full suite -------------------------------------------------------------------

    def refuse_broken_config(self):
        g = self.guest
        g.sh("cp /etc/velk/velk.conf /root/velk.conf.good && sed -i 's/\"log_level\": 2/\"log_level\": 2,/' /etc/velk/velk.conf")
        status = g.sh("systemctl start velk", check=False)[0]
        # The unit keeps trying every RestartSec, so that a mended file is taken up on its own.
        shown = g.out("systemctl show -p ActiveState -p SubState -p Result -p MainPID velk | sort | tr '\\n' ' '")
        self.check(status != 0 and "Result=exit-code" in shown and "MainPID=0" in shown,
                   "a velk.conf that does not parse fails the start: %s" % shown)
        # What the journal check below would see of such an error.
        self.check(bool(self.journal_errors("today")), "the failed start is in journalctl -u velk -p err")
        g.sh("systemctl stop velk && cp /root/velk.conf.good /etc/velk/velk.conf")

    def cycle(self):
        g = self.guest
        self.service.order(1, [("hello", self.hello_version, self.hello), ("velk-vmtest", "1.0", "velk-vmtest_1.0_all.deb")])
        got = self.service.wait_reports(1, ["download success", "update success"])
        self.check(got == ["download success", "update success"], "order 1 (Debian's hello, a built package): %s" % got)
        states = g.out("dpkg-query -W -f='${Package} ${db:Status-Abbrev}${Version}\\n' hello velk-vmtest")
        self.check(states.splitlines() == ["hello ii %s" % self.hello_version, "velk-vmtest ii 1.0"],
                   "installed: %s" % states.replace("\n", ", "))
        # The package's policy: an item whose signature is not the operator's runs nothing.
        forged = monitoring_service.update_order(9, [("velk-vmtest", "2.0", monitoring_service.PACKAGE_PATH +
                                                      "velk-vmtest_1.0_all.deb")], "+0", "+2")
        forged["signature"] = "A" * 86 + "=="
        self.service.svc.queue_order(forged)
        got = self.service.wait(lambda: self.service.messages(9), 120)
        self.check(got == ["refused : bad signature"] and
                   g.out("dpkg-query -W -f='${Version}' velk-vmtest") == "1.0",
                   "a forged order is refused and reported: %s" % got)

    def least_privilege(self):
        """The agent as user velk in its sandbox, and the root install service's refusals."""
        g = self.guest
        pid = g.out("systemctl show -p MainPID --value velk")
        uid, gid = g.out("id -u velk"), g.out("id -g velk")
        owners = g.out("stat -c '%U:%G %a' /etc/velk/velk.conf /run/velk/install.sock; stat -c '%U:%G' " + DB)
        self.check(owners.splitlines() == ["root:velk 640", "root:velk 660", "velk:velk"],
                   "the configuration root:velk 0640, the install socket root:velk 0660, the database velk's: %s"
                   % owners.replace("\n", ", "))
        status = dict(l.split(":", 1) for l in g.out("cat /proc/%s/status" % pid).splitlines() if ":" in l)
        raw = 1 << 13  # CAP_NET_RAW, for ping alone
        self.check(status["Uid"].split()[0] == uid and status["NoNewPrivs"].strip() == "1" and
                   int(status["CapEff"], 16) | raw == raw and int(status["CapBnd"], 16) == raw,
                   "the agent runs as velk (uid %s), no new privileges, no capability but CAP_NET_RAW" % uid)
        self.check(g.out("cat /var/log/velk/velk*.log | grep -c 'network access OK' || true") not in ("", "0"),
                   "the reachability check pings as velk")
        # What the agent's own process could do: its mount namespace, its user.
        inside = "nsenter -t %s -m -S %s -G %s sh -c " % (pid, uid, gid)
        denied = [t for t in ("touch /etc/velk-probe", "touch /usr/velk-probe", "touch /var/lib/dpkg/velk-probe",
                              "ls /root") if g.sh(inside + "'%s'" % t, check=False)[0] != 0]
        allowed = g.sh(inside + "'touch /var/lib/velk/probe && rm /var/lib/velk/probe'", check=False)[0] == 0
        self.check(len(denied) == 4 and allowed,
                   "as velk the agent cannot write /etc, /usr, /var/lib/dpkg nor read /root: %s" % denied)
        # As velk, asking the root service for what the agent must never get. Order 1's folder and
        # number, which the agent keeps (it prunes the folders of numbers it does not know).
        listed = "/var/lib/velk/pkg_list/package_info_update_20261207-120000_id-1.list"
        deb = "/var/cache/velk/pkgs/1/velk-vmtest_3.0.deb"
        unsigned = json.dumps({"mode": "new", "sw_upd_no": 1, "pkg_update": [
            {"pkg_name": "velk-vmtest", "pkg_version": "3.0", "pkg_url": "https://velk-svc/v.deb"}]})
        cases = [("a path outside the cache", "/etc", "velk-vmtest", "", "not a folder of the package cache"),
                 ("an unsigned order under required", "/var/cache/velk/pkgs/1", "velk-vmtest", "",
                  "did not pass the check"),
                 ("shell text in a field", "/var/cache/velk/pkgs/1", "velk-vmtest;touch${IFS}/velk-pwned", "",
                  "not a package name"),
                 ("a link out of the cache", "/var/cache/velk/pkgs/1", "velk-vmtest", "/etc/shadow",
                  "not a plain file")]
        outcomes = []
        for what, folder, name, link, expected in cases:
            make = "echo 'not checked yet' > %s" % deb if not link else "ln -s %s %s" % (link, deb)
            code, out = g.sh("cd /tmp && runuser -u velk -- sh -c %s && runuser -u velk -- velkctl install %s %s" % (
                shlex.quote("rm -f %s && printf '%%s 3.0 https://velk-svc/v.deb\\n' '%s' > %s && echo '%s' > %s.order "
                            "&& %s" % (deb, name, listed, unsigned, listed, make)), folder, listed), check=False)
            outcomes.append((what, code, expected in out))
        untouched = g.out("dpkg-query -W -f='${Version}' velk-vmtest") == "1.0" and \
            g.sh("test -e /velk-pwned", check=False)[0] != 0
        self.check(all(code == 3 and said for _, code, said in outcomes) and untouched,
                   "the root install service refuses each, installs nothing: %s" % outcomes)
        g.sh("rm -f %s %s %s.order" % (deb, listed, listed))

    def self_update(self):
        g = self.guest
        version, newer = newer_build(self.args.deb, self.served, "+vmtest1")
        before = g.out("systemctl show -p MainPID --value velk")
        self.service.order(2, [("velk", version, os.path.basename(newer))])
        got = self.service.wait_reports(2, ["download success", "update success"])
        self.check(got == ["download success", "update success"], "self-update reported once: %s" % got)
        self.check(g.out("dpkg-query -W -f='${Version}' velk") == version, "velk at %s" % version)
        after = g.out("systemctl show -p MainPID --value velk")
        starts = g.out("journalctl -q -u velk -o cat --no-pager | grep -c '^Started velk' || true")
        self.check(after not in ("0", before) and g.out("systemctl is-active velk") == "active",
                   "the new agent runs (pid %s, was %s; %s starts in the journal)" % (after, before, starts))

    def reload_polls(self):
        g = self.guest
        self.service.wait(lambda: self.service.polls(time.monotonic() - 1), 60)
        time.sleep(2)
        asked = time.monotonic()
        g.sh("systemctl reload velk")
        got = self.service.wait(lambda: self.service.polls(asked), 10, 0.1)
        took = got[0][0] - asked if got else None
        self.check(took is not None and took < 10, "systemctl reload velk polls at once (%s s; interval %d s)" % (
            "%.1f" % took if took is not None else "no poll", self.conf["order_check"]["check_interval_sec"]))

    def stop_quickly(self):
        g = self.guest
        poll_path = self.service.svc.config["poll_path"]
        self.service.svc.script(poll_path, [{"delay": 120}])
        g.sh("systemctl reload velk")
        self.service.wait(lambda: self.service.polls(time.monotonic() - 3), 20, 0.2)
        time.sleep(1)
        started = time.monotonic()
        g.sh("systemctl stop velk", timeout=120)
        took = time.monotonic() - started
        self.check(took < 10, "systemctl stop during a poll's transfer ends in %.1f s" % took)
        with self.service.svc.lock:
            self.service.svc.scripts.pop(poll_path, None)
        g.sh("systemctl start velk")
        time.sleep(3)
        started = time.monotonic()
        g.sh("systemctl stop velk", timeout=120)
        self.check(time.monotonic() - started < 10, "systemctl stop when idle ends in %.1f s" % (time.monotonic() - started))
        g.sh("systemctl start velk")
        # During a download: the service holds the package back for a while.
        deb = debs.build_package({"name": "velk-vmtest", "version": "1.1", "description": "built for the test",
                                  "files": {"usr/share/velk-vmtest/v": (0o644, "1.1\n")}},
                                 self.served, os.path.join(self.work, "stage"))
        name = os.path.basename(deb)
        self.service.svc.script(monitoring_service.PACKAGE_PATH + name, [
            {"delay": 40, "body": open(deb, "rb").read(), "content_type": "application/vnd.debian.binary-package"}])
        asked = time.monotonic()
        self.service.order(3, [("velk-vmtest", "1.1", name)], install_in=5)
        g.sh("systemctl reload velk")
        self.service.wait(lambda: [a for a in self.service.arrivals if a[0] >= asked and a[2].endswith(name)], 60, 0.2)
        time.sleep(1)
        started = time.monotonic()
        g.sh("systemctl stop velk", timeout=120)
        took = time.monotonic() - started
        left = g.sh("pgrep -af 'download-packages|curl' || true")[1].strip()
        self.check(took < 10 and not left, "systemctl stop during a download ends in %.1f s, the download with it%s"
                   % (took, ": left " + left if left else ""))
        g.sh("systemctl start velk")
        got = self.service.wait_reports(3, ["download success", "update success"])
        self.check(got == ["download success", "update success"] and
                   g.out("dpkg-query -W -f='${Version}' velk-vmtest") == "1.1",
                   "the stopped download is done again after the start: %s" % got)

    def reboot(self):
        g = self.guest
        first = self.service.boot_times()
        took = g.reboot()
        boot = g.out("uptime -s")
        got = self.service.wait(lambda: boot in self.service.boot_times(), 120)
        self.check(bool(got) and boot not in first, "after the reboot (%.0f s) the new boot time %s is reported (before: %s)"
                   % (took, boot, ", ".join(first)))

    def first_poll_after_power_on(self):
        """Power off cleanly, power on: the seconds until the agent's first poll."""
        g = self.guest
        try:
            g.sh("sync && systemctl poweroff --no-block", timeout=10, check=False)
        except RuntimeError:
            pass
        deadline = time.monotonic() + 120
        while g.qemu.poll() is None and time.monotonic() < deadline:
            time.sleep(1)
        g.kill()
        g.power_on()
        powered = g.powered_at
        self.boot()
        got = self.service.wait(lambda: self.service.polls(powered), 120)
        return got[0][0] - powered if got else None

    def footprint(self):
        g = self.guest
        pid = g.out("systemctl show -p MainPID --value velk")
        fields = g.out("grep -E '^(VmRSS|RssAnon)' /proc/%s/status" % pid)
        self.figure("agent after polling over TLS: %s" % " ".join(fields.split()))
        if self.args.floor:
            shutil.copy(self.args.floor, os.path.join(self.served, "velk-floor"))
            self.fetch("velk-floor", "/root/velk-floor")
            g.sh("chmod 755 /root/velk-floor")
            api, config = self.conf["web_api"], self.service.svc.config
            out = g.out("mkdir -p /root/floor && /root/velk-floor '%s' '%s' '%s' '%s' /root/floor" % (
                api["api_login_url"], api["api_base_url"] + api["api_uri"]["order_check"], config["user"],
                config["password"]), timeout=120)
            self.figure("floor program after the same login over TLS: %s" % " ".join(out.split()))

    def full(self):
        g = self.guest
        g.fresh_disk()
        g.power_on()
        self.figure("boot to multi-user: %.0f s" % self.boot())
        self.install_agent()
        self.refuse_broken_config()
        self.configure()
        self.packages()
        # The one error the test provokes lies behind: from here on the journal stays clean.
        clean_since = g.out("date '+%Y-%m-%d %H:%M:%S'")
        g.sh("systemctl enable --now velk")
        self.check(g.out("systemctl is-active velk") == "active", "systemctl enable --now velk starts the agent")
        self.cycle()
        self.least_privilege()
        self.self_update()
        self.reload_polls()
        self.stop_quickly()
        errors = self.journal_errors(clean_since)
        self.reboot()
        seconds = self.first_poll_after_power_on()
        self.check(seconds is not None, "polled after power-on")
        if seconds is not None:
            self.figure("power-on to the agent's first poll: %.0f s" % seconds)
        self.footprint()
        errors += [e for e in self.journal_errors(clean_since) if e not in errors]
        self.check(not errors, "no error in journalctl -u velk after the provoked one: %s" % errors[:5])

    # --- upgrade from a package whose agent ran as root --------------------------------------

    def upgrade(self, previous):
        g = self.guest
        g.fresh_disk()
        g.power_on()
        self.boot()
        self.trust_service()
        shutil.copy(previous, os.path.join(self.served, "previous.deb"))
        self.fetch("previous.deb", "/root/previous.deb")
        g.sh("DEBIAN_FRONTEND=noninteractive apt-get install -y -q /root/previous.deb", timeout=300)
        self.configure()
        self.packages()
        g.sh("systemctl enable --now velk")
        # Reports refused for now: the outcome stays queued in the database through the upgrade.
        report_path = self.service.svc.config["report_path"]
        self.service.svc.script(report_path, [{"status": 503}] * 1000)
        self.service.order(1, [("velk-vmtest", "1.0", "velk-vmtest_1.0_all.deb")])
        queued = self.service.wait(lambda: g.sh("sqlite3 -readonly %s 'SELECT COUNT(*) FROM order_info WHERE "
                                                "order_status IN (1, 11)'" % DB, check=False)[1].strip() == "1" and
                                   g.out("dpkg-query -W -f='${Version}' velk-vmtest 2>/dev/null || true") == "1.0", 240)
        self.check(queued, "the root agent installed order 1, its report queued (service refusing reports)")
        before = g.out("md5sum < /etc/velk/velk.conf; sqlite3 -readonly %s 'SELECT COUNT(*) FROM order_info'" % DB)
        version, newer = newer_build(self.args.deb, self.served, "+up1")
        self.fetch(os.path.basename(newer), "/root/velk-new.deb")
        g.sh("DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o Dpkg::Options::=--force-confold "
             "/root/velk-new.deb", timeout=300)
        with self.service.svc.lock:
            self.service.svc.scripts.pop(report_path, None)
        # The order's row holds its latest report: the install's outcome stands for both stages.
        got = self.service.wait_reports(1, ["update success"], limit=180)
        self.check("update success" in got, "the queued report arrives after the upgrade: %s" % got)
        after = g.out("md5sum < /etc/velk/velk.conf; sqlite3 -readonly %s 'SELECT COUNT(*) FROM order_info'" % DB)
        self.check(after == before, "configuration and database kept: %s" % after.replace("\n", ", "))
        pid = g.out("systemctl show -p MainPID --value velk")
        self.check(g.out("ps -o user= -p %s" % pid) == "velk" and
                   g.out("stat -c '%U:%G %a' /etc/velk/velk.conf") == "root:velk 640",
                   "the upgraded agent runs as velk; velk.conf root:velk 0640")
        self.service.order(2, [("velk-vmtest", "2.0", self.vmtest2)])
        got = self.service.wait_reports(2, ["download success", "update success"])
        self.check(got == ["download success", "update success"] and
                   g.out("dpkg-query -W -f='${Version}' velk-vmtest") == "2.0",
                   "an order after the upgrade installs through the root service: %s" % got)

    # --- power cuts -----------------------------------------------------------------------

    def prepared_for_cuts(self):
        g = self.guest
        if g.qemu is None:
            g.fresh_disk()
            g.power_on()
            self.boot()
            self.install_agent()
            self.configure(check_interval=5)
            g.sh("systemctl enable --now velk")
        else:
            conf = json.loads(g.out("cat /etc/velk/velk.conf"))
            conf["order_check"]["check_interval_sec"] = 5
            self.conf = conf
            g.put("/etc/velk/velk.conf", json.dumps(conf, indent=2) + "\n", mode="0640")
            g.sh("systemctl restart velk")
        # What the test set up (the key, velk.conf) must outlive the first cut: only the agent is on trial.
        g.sh("sync")
        # The service hands an order out again until the agent says it has it.
        self.service.svc.config["order_ack"] = True

    def cut_round(self, number, point, rng):
        g = self.guest
        svc = self.service
        version = "1.%d" % number
        deb = self.slow_package(version)
        cut = threading.Event()
        delay = {"poll": 0.0, "answer kept": 0.05, "commit": 0.3, "download": 0.2, "report": 0.0}.get(point, 0)
        delay += rng.uniform(0, 0.4 if point in ("poll", "answer kept", "commit", "report") else 1.5)

        def watch(entry):
            _, method, path, body = entry
            hit = False
            if point in ("poll", "answer kept", "commit") and path.startswith(svc.svc.config["poll_path"]):
                hit = not any(o["order"].get("sw_upd_no") == number and o["state"] == "handed out"
                              for o in svc.svc.status()["orders"]) and number_queued[0]
            elif point == "download" and path.endswith(deb):
                hit = True
            elif point == "report" and path.startswith(svc.svc.config["report_path"]) and b"update success" in body:
                hit = True
            if hit and not cut.is_set():
                cut.set()
                threading.Timer(delay, g.kill).start()
        number_queued = [False]
        svc.watchers.append(watch)
        console = open(g.console + ".%d" % (g.boots - 1), "rb")
        console.seek(0, os.SEEK_END)
        seen, unpack_seen = b"", None
        try:
            svc.order(number, [("velk-slow", version, deb)], install_in=4)
            number_queued[0] = True
            deadline = time.monotonic() + 240
            while not cut.is_set() and time.monotonic() < deadline:
                if point in ("unpack", "configure"):
                    seen = seen[-200:] + console.read()
                    if unpack_seen is None and slow_mark("unpack", version).encode() in seen:
                        unpack_seen = time.monotonic()
                    if slow_mark(point, version).encode() in seen:
                        if point == "configure" and unpack_seen is not None:
                            say("round %d: unpack mark to configure mark %.1f s" % (number - 99,
                                                                                      time.monotonic() - unpack_seen))
                        cut.set()
                        # Unpack: the rest of the preinst, then dpkg writing the files; configure: the postinst.
                        after = rng.uniform(0, 2.5 if point == "unpack" else 4.0)
                        time.sleep(after)
                        g.kill()
                        say("round %d: cut %.1f s after the %s mark" % (number - 99, after, point))
                        break
                time.sleep(0.05)
        finally:
            console.close()
            svc.watchers.remove(watch)
        if not cut.is_set():
            say("no cut in round %d: the %s step was over before it was seen" % (number - 99, point))
            return {"point": point, "cut": False, "faults": []}
        while g.qemu is not None and g.qemu.poll() is None:
            time.sleep(0.1)
        g.kill()
        g.power_on()
        self.boot()
        return self.after_cut(number, point, version)

    def after_cut(self, number, point, version):
        g, svc = self.guest, self.service
        faults = []
        svc.wait_reports(number, ["download success", "update success"], limit=240)
        # Delivery is at least once: a report that arrived just before the cut, its delivery not yet
        # stored, comes again with the same time. A new report of a stage is a fault.
        stages, again = svc.stages(number)
        if stages != ["download success", "update success"]:
            faults.append("reports %s" % svc.reports(number))
        if g.sh("systemctl is-active velk", check=False)[1].strip() != "active":
            faults.append("velk not active")
        integrity = g.sh("sqlite3 -readonly %s 'PRAGMA integrity_check'" % DB, check=False)[1].strip()
        if integrity != "ok":
            faults.append("integrity_check: %s" % integrity[:200])
        stuck = g.sh("sqlite3 -readonly %s 'SELECT sw_upd_no || \":\" || update_status FROM update_info "
                     "WHERE update_status IN (11, 21)'" % DB, check=False)[1].strip()
        if stuck:
            faults.append("rows stuck: %s" % stuck)
        counted = g.sh("grep -c ' %s configure' /var/lib/velk-slow.log 2>/dev/null" % version, check=False)[1].strip()
        runs = int(counted) if counted.isdigit() else 0
        # dpkg itself runs a configure step again when the cut fell inside it.
        if runs != 1 and not (point == "configure" and runs == 2):
            faults.append("configure ran %d times" % runs)
        audit = g.sh("dpkg --audit", check=False)
        if audit[0] != 0 or audit[1].strip():
            faults.append("dpkg --audit: %s" % audit[1].strip()[:200])
        if g.sh("velkctl status > /dev/null && tail -n 5 /var/log/velk/velk.log > /dev/null", check=False)[0] != 0:
            faults.append("velkctl status or the log unreadable")
        handed = [o for o in svc.svc.status()["orders"] if o["order"].get("sw_upd_no") == number]
        if len(handed) != 1 or handed[0]["state"] not in ("handed out", "acknowledged"):
            faults.append("order at the service: %s" % [o["state"] for o in handed])
        if faults:
            # What the guest and the service saw, so that a failed round explains itself.
            say("round %d: the agent's stage logs and log after the boot:\n%s" % (number - 99, g.sh(
                "tail -n 8 /var/log/velk/upd_logs/*_id-%d.log; grep -h 'SW_UPD' /var/log/velk/velk*.log | "
                "grep -E 'failed|error|FAILED' | tail -n 15" % number, check=False)[1]))
        return {"point": point, "cut": True, "faults": faults, "again": again}

    def power_cuts(self, rounds, seed):
        rng = random.Random(seed)
        self.prepared_for_cuts()
        results = []
        # Every cut point in a shuffled turn, so that a few rounds still cut at different points.
        turn = []
        for i in range(rounds):
            if not turn:
                turn = self.args.cut_points.split(",") if self.args.cut_points else CUT_POINTS[:]
                rng.shuffle(turn)
            point = turn.pop()
            number = 100 + i
            started = time.monotonic()
            try:
                result = self.cut_round(number, point, rng)
            except RuntimeError as e:
                result = {"point": point, "cut": True, "faults": ["round broke off: %s" % e]}
                self.guest.kill()
                self.guest.power_on()
                self.boot()
            result["seconds"] = time.monotonic() - started
            results.append(result)
            self.check(not result["faults"], "power cut %d/%d at %s (%.0f s): %s" % (
                i + 1, rounds, point, result["seconds"], "; ".join(result["faults"]) or ("all checks hold" if result["cut"] else "missed, no cut"))
                + (" (a report sent again)" if result.get("again") else ""))
        # A report sent again may come after its round's checks: every round's reports once more.
        for i, result in enumerate(results):
            if not result["cut"]:
                continue
            stages, result["again"] = self.service.stages(100 + i)
            if stages != ["download success", "update success"] and \
                    not any(f.startswith("reports") for f in result["faults"]):
                result["faults"].append("reports at the end: %s" % self.service.reports(100 + i))
                self.check(False, "power cut %d at %s: %s" % (i + 1, result["point"], result["faults"][-1]))
        say("power cuts: %d rounds, seed %d" % (rounds, seed))
        say("%-12s %6s %6s %6s %6s %6s" % ("cut point", "rounds", "missed", "clean", "faults", "resent"))
        for point in CUT_POINTS:
            mine = [r for r in results if r["point"] == point]
            say("%-12s %6d %6d %6d %6d %6d" % (point, len(mine), sum(1 for r in mine if not r["cut"]),
                                                sum(1 for r in mine if r["cut"] and not r["faults"]),
                                                sum(1 for r in mine if r["faults"]),
                                                sum(1 for r in mine if r.get("again"))))

    def close(self):
        self.guest.kill()
        self.service.svc.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", required=True, choices=sorted(vm.ARCHES))
    parser.add_argument("--deb", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--suite", default="full", choices=["full", "powercut", "upgrade"])
    parser.add_argument("--previous", help="the upgrade suite's older package, whose agent runs as root")
    parser.add_argument("--powercuts", type=int, default=0)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("--cut-points", help="only these cut points, comma-separated")
    parser.add_argument("--floor", help="the floor program for the memory figure, built for the guest")
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("the VM test needs root (image building)", file=sys.stderr)
        return 2
    args.deb = os.path.abspath(args.deb)
    started = time.monotonic()
    test = VmTest(args)
    try:
        if args.suite == "full":
            test.full()
        if args.suite == "upgrade":
            test.upgrade(os.path.abspath(args.previous))
        if args.powercuts:
            test.power_cuts(args.powercuts, args.seed)
    except RuntimeError as e:
        test.check(False, "the run broke off: %s" % e)
    finally:
        test.close()
    for line in test.figures:
        say("figure  " + line)
    say("%s: %s in %.0f s" % (args.arch, "FAILED (%d)" % len(test.failures) if test.failures else "passed",
                              time.monotonic() - started))
    return 1 if test.failures else 0


if __name__ == "__main__":
    sys.exit(main())
