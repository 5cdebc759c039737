"""The packaged scripts against a local HTTPS server and a private dpkg root: test_scripts.py VELKCTL"""
import fcntl
import functools
import hashlib
import http.server
import json
import os
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import unittest

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir)
sys.path[:0] = [os.path.join(TOP, "tools"), os.path.join(TOP, "tools", "demo")]
import debs  # noqa: E402
import monitoring_service  # noqa: E402

SCRIPTS = os.path.join(TOP, "tools", "package")
VELKCTL = None


def read(path, mode="r"):
    with open(path, mode) as f:
        return f.read()


class Handler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_HEAD(self):
        self.server.seen.append(self.path)
        super().do_HEAD()

    def do_GET(self):
        self.server.seen.append(self.path)
        if not self.path.startswith("/trunc/"):
            return super().do_GET()
        data = read(self.translate_path(self.path[6:]), "rb")
        self.send_response(200)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data[:len(data) // 2])  # then the connection closes


class ScriptTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="velk-scripts-")
        self.addCleanup(shutil.rmtree, self.dir)
        self.served = self.path("served")
        for name, version in (("velk-t-a", "1.0"), ("velk-t-b", "2.0")):
            debs.build_package({"name": name, "version": version, "description": "trial",
                                "files": {"usr/share/%s/v" % name: (0o644, version + "\n")}},
                               self.served, self.path("stage"))
        shutil.copy(self.path("served", "velk-t-b_2.0_all.deb"), self.path("served", "impostor.deb"))
        ca = monitoring_service.make_ca(self.dir)
        cert, key = monitoring_service.make_server_cert(self.dir)
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(cert, key)
        server = http.server.ThreadingHTTPServer(
            ("127.0.0.1", 0), functools.partial(Handler, directory=self.served))
        server.socket = tls.wrap_socket(server.socket, server_side=True)
        server.seen = self.seen = []
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        self.url = "https://127.0.0.1:%d/" % server.server_address[1]
        with open(self.path("velk.conf"), "w") as conf:
            conf.write('{"http_access": {"ca_cert_file": "%s", "retry_num": 0, "http_timeout": 20,'
                       ' "http_connect_timeout": 5}}' % ca)
        for sub in ("lib/dpkg/info", "lib/dpkg/updates", "log"):
            os.makedirs(self.path("root", "var", sub))
        open(self.path("root", "var", "lib", "dpkg", "status"), "w").close()
        self.pkgs = self.path("pkgs")

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def start(self, script, lines, path_prefix=None):
        with open(self.path("list"), "w") as out:
            out.write("###################\n# download package list\n#\n" + "".join(l + "\n" for l in lines))
        env = dict(os.environ, VELKCTL=VELKCTL, VELK_CONFIG=self.path("velk.conf"),
                   VELK_DPKG_ROOT=self.path("root"))
        if path_prefix:
            env["PATH"] = path_prefix + ":" + env["PATH"]
        return subprocess.Popen([os.path.join(SCRIPTS, script), self.pkgs, self.path("list")], cwd=self.dir,
                                env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)

    def run_script(self, script, lines, path_prefix=None):
        proc = self.start(script, lines, path_prefix)
        out = proc.communicate(timeout=120)[0]
        return proc.returncode, out

    def installed(self):
        out = subprocess.run(["dpkg-query", "--admindir=" + self.path("root", "var", "lib", "dpkg"), "-W",
                              "-f=${db:Status-Abbrev}${Package}=${Version}\n"], capture_output=True, text=True)
        return [line.replace(" ", "") for line in out.stdout.splitlines()]

    def test_velkctl_setting_and_check_refuse_an_unknown_name_or_an_unreadable_file(self):
        with open(self.path("broken.conf"), "w") as broken:
            broken.write('{"http_access": {"retry_num": 0,')
        with open(self.path("policy.conf"), "w") as typo:
            typo.write('{"software_update": {"order_signature": "requird"}}')
        good, absent, bad = self.path("velk.conf"), self.path("absent.conf"), self.path("broken.conf")
        cases = [(good, "retry_num", 0, "0\n"), (good, "http_timeout", 0, "20\n"), (good, "proxy", 0, "\n"),
                 (good, "download_timeout_sec", 0, "3600\n"), (good, "retry_nun", 2, ""),
                 (absent, "retry_num", 2, ""), (bad, "retry_num", 2, ""),
                 (good, None, 0, good + ": ok\n"), (absent, None, 2, ""), (bad, None, 2, ""),
                 (self.path("policy.conf"), None, 2, ""), (good, "order_signature", 0, "off\n")]
        for config, name, status, out in cases:
            with self.subTest(config=config, name=name):
                command = ["setting", name] if name else ["check"]
                proc = subprocess.run([VELKCTL, "--config", config] + command, capture_output=True, text=True)
                self.assertEqual((proc.returncode, proc.stdout), (status, out), proc.stderr)

    def test_download_refuses_every_bad_source_and_leaves_no_final_file(self):
        fake_df = self.path("bin")
        os.makedirs(fake_df)
        with open(os.path.join(fake_df, "df"), "w") as df:
            df.write("#!/bin/sh\necho 'Filesystem 1024-blocks Used Available Capacity Mounted on'\n"
                     "echo 'tmpfs 64 64 0 100% /'\n")
        os.chmod(os.path.join(fake_df, "df"), 0o755)
        good = "velk-t-b 2.0 " + self.url + "velk-t-b_2.0_all.deb"
        cases = [  # (list line, PATH prefix, text of the one failure line)
            ("velk-t-a 1.0 " + self.url + "trunc/velk-t-a_1.0_all.deb", None, "cannot download"),
            ("velk-t-a 2.0 " + self.url + "impostor.deb", None, "holds velk-t-b 2.0, not velk-t-a 2.0"),
            ("velk-t-a 2.0 " + self.url + "velk-t-a_1.0_all.deb", None, "holds velk-t-a 1.0, not velk-t-a 2.0"),
            ("velk-t-a 1.0 " + self.url.replace("https", "http") + "velk-t-a_1.0_all.deb", None, "not an https"),
            ("velk-t-a 1.0 file:///etc/passwd", None, "not an https"),
            ("velk-t-a 1.0 " + self.url + "velk-t-a_1.0_all.deb", fake_df, "only 0 KiB free"),
            ("velk-t-a 1.0 " + self.url + "$(touch${IFS}PWNED)`touch${IFS}PWNED`", None, "not a URL"),
            ("velk-t-a;touch${IFS}PWNED 1.0 " + self.url, None, "not a package name"),
            ("velk-t-a 1.0 " + self.url + "x.deb extra", None, "unreadable line"),
        ]
        for line, path_prefix, reason in cases:
            with self.subTest(line=line):
                code, out = self.run_script("download-packages", [good, line], path_prefix)
                self.assertNotEqual(code, 0, out)
                self.assertIn("download-packages: failed: ", out.splitlines()[-1])
                self.assertIn(reason, out.splitlines()[-1])
                self.assertFalse(os.path.exists(self.path("PWNED")))
                finals = [f for f in os.listdir(self.pkgs) if f.endswith(".deb")] if os.path.isdir(self.pkgs) else []
                self.assertLessEqual(set(finals), {"velk-t-b_2.0.deb"})
                shutil.rmtree(self.pkgs, ignore_errors=True)

    def test_download_takes_urls_literally_checks_files_there_keeps_epochs_and_syncs(self):
        debs.build_package({"name": "velk-t-a", "version": "3:1.0", "description": "trial",
                            "files": {"usr/share/velk-t-a/v": (0o644, "3\n")}}, self.served, self.path("stage"))
        os.rename(self.path("served", "velk-t-a_3:1.0_all.deb"), self.path("served", "velk-t-a[1-40].deb"))
        os.makedirs(self.pkgs)
        shutil.copy(self.path("served", "velk-t-a_1.0_all.deb"), self.path("pkgs", "velk-t-a_1.0.deb"))
        open(self.path("pkgs", "velk-t-b_2.0.deb"), "w").close()  # what a power cut left
        bin_dir = self.path("bin")
        os.makedirs(bin_dir)
        with open(os.path.join(bin_dir, "sync"), "w") as fake:
            fake.write('#!/bin/sh\necho "$*" >> %s\nexec %s "$@"\n' % (self.path("synced"), shutil.which("sync")))
        os.chmod(os.path.join(bin_dir, "sync"), 0o755)
        with open(os.path.join(bin_dir, "curl"), "w") as fake:
            fake.write('#!/bin/sh\necho "$*" >> %s\nexec %s "$@"\n' % (self.path("curled"), shutil.which("curl")))
        os.chmod(os.path.join(bin_dir, "curl"), 0o755)
        conf = json.loads(read(self.path("velk.conf")))
        conf["software_update"] = {"download_rate_limit": 1000000}
        with open(self.path("velk.conf"), "w") as out:
            json.dump(conf, out)
        lines = ["velk-t-a 3:1.0 " + self.url + "velk-t-a[1-40].deb",
                 "velk-t-b 2.0 " + self.url + "velk-t-b_2.0_all.deb"]
        code, out = self.run_script("download-packages", lines, bin_dir)
        self.assertEqual(code, 0, out)
        self.assertEqual(sorted(os.listdir(self.pkgs)),
                         ["velk-t-a_1.0.deb", "velk-t-a_3%3a1.0.deb", "velk-t-b_2.0.deb"])
        self.assertEqual({p for p in self.seen if "velk-t-a" in p}, {"/velk-t-a[1-40].deb"})
        files = [os.path.join(self.pkgs, f) for f in ("velk-t-a_3%3a1.0.deb.part", "velk-t-b_2.0.deb.part")]
        self.assertEqual(read(self.path("synced")).splitlines(), [files[0], self.pkgs, files[1], self.pkgs])
        # Every transfer at the configured rate.
        curled = read(self.path("curled")).splitlines()
        self.assertTrue(curled and all("--limit-rate 1000000 " in c for c in curled), curled)
        code, out = self.run_script("install-packages", lines)
        self.assertEqual(code, 0, out)
        self.assertEqual(self.installed(), ["iivelk-t-a=3:1.0", "iivelk-t-b=2.0"])

    def test_download_then_install_finishing_an_interrupted_dpkg_once_it_may(self):
        lines = ["velk-t-a 1.0 " + self.url + "velk-t-a_1.0_all.deb",
                 "velk-t-b 2.0 " + self.url + "velk-t-b_2.0_all.deb"]
        code, out = self.run_script("download-packages", lines)
        self.assertEqual(code, 0, out)
        self.assertEqual(sorted(os.listdir(self.pkgs)), ["velk-t-a_1.0.deb", "velk-t-b_2.0.deb"])
        subprocess.run(["dpkg", "--root=" + self.path("root"), "--force-not-root", "--force-script-chrootless",
                        "--unpack", os.path.join(self.pkgs, "velk-t-a_1.0.deb")], check=True, capture_output=True)
        self.assertEqual(self.installed(), ["iUvelk-t-a=1.0"])
        with open(self.path("root", "var", "lib", "dpkg", "lock-frontend"), "w") as lock:
            fcntl.lockf(lock, fcntl.LOCK_EX)
            proc = self.start("install-packages", lines[1:])  # velk-t-a is left to --configure -a
            self.assertEqual(proc.stdout.readline(), "waiting for the dpkg lock\n")
        out = proc.communicate(timeout=120)[0]
        self.assertEqual(proc.returncode, 0, out)
        self.assertEqual(self.installed(), ["iivelk-t-a=1.0", "iivelk-t-b=2.0"])
        # A second run installs nothing again.
        installs = read(self.path("root", "var", "log", "dpkg.log")).count(" install ")
        code, out = self.run_script("install-packages", lines)
        self.assertEqual(code, 0, out)
        self.assertIn("already installed: velk-t-b 2.0", out)
        self.assertEqual(read(self.path("root", "var", "log", "dpkg.log")).count(" install "), installs)
        code, out = self.run_script("install-packages", ["velk-t-a 1.0 x", "velk-t-a;touch${IFS}PWNED 1 x"])
        self.assertIn("install-packages: failed: not a package name", out)
        self.assertFalse(os.path.exists(self.path("PWNED")))

    def test_install_checks_the_files_against_the_order_beside_the_list(self):
        line = "velk-t-b 2.0 " + self.url + "velk-t-b_2.0_all.deb"
        code, out = self.run_script("download-packages", [line])
        self.assertEqual(code, 0, out)
        for digest, status in (("0" * 64, 1), (hashlib.sha256(read(os.path.join(self.pkgs, "velk-t-b_2.0.deb"),
                                                                   "rb")).hexdigest(), 0)):
            with open(self.path("list.order"), "w") as order:
                json.dump({"pkg_update": [{"pkg_name": "velk-t-b", "pkg_version": "2.0", "pkg_url": line.split()[2],
                                           "pkg_sha256": digest}]}, order)
            code, out = self.run_script("install-packages", [line])
            self.assertEqual(code, status, out)
            self.assertEqual(self.installed(), ["iivelk-t-b=2.0"] if status == 0 else [], out)
        self.assertIn("verify: velk-t-b 2.0 : sha256 ok", out)

    def test_root_install_service_installs_only_checked_copies_of_the_agents_own_files(self):
        cache, lists, url = self.path("cache"), self.path("lists"), "https://s/velk-t-b.deb"
        os.makedirs(os.path.join(cache, "12"))
        os.makedirs(self.path("trusted"))
        os.makedirs(self.path("work"))
        deb = os.path.join(cache, "12", "velk-t-b_2.0.deb")
        good = read(self.path("served", "velk-t-b_2.0_all.deb"), "rb")
        key, public = monitoring_service.generate_key(self.path("keys"))
        shutil.copy(public, self.path("trusted"))
        with open(self.path("required.conf"), "w") as conf:
            json.dump({"software_update": {"order_signature": "required", "trusted_keys_dir": self.path("trusted")}},
                      conf)
        item = {"mode": "new", "sw_upd_no": 12, "pkg_update": [{"pkg_name": "velk-t-b", "pkg_version": "2.0",
                "pkg_url": url, "pkg_sha256": hashlib.sha256(good).hexdigest()}]}
        listed = os.path.join(lists, "package_info_update_20261207-100000_id-12.list")
        # The stand-in install swaps the agent's file, as the agent could, then hashes what it was handed.
        fake = self.path("fake-install")
        with open(fake, "w") as out:
            out.write("#!/bin/sh\necho swapped >> %s\nsha256sum \"$1/velk-t-b_2.0.deb\"\n" % deb)
        os.chmod(fake, 0o755)
        link = lambda: (os.remove(deb), os.symlink("/etc/passwd", deb))  # noqa: E731
        cases = [("signed and whole", cache + "/12", listed, "", None, item, "velk-install-exit 0"),
                 ("unsigned under required", cache + "/12", listed, "", None, None, "did not pass the check"),
                 ("outside the cache", "/etc", listed, "", None, item, "not a folder of the package cache"),
                 ("climbing out", cache + "/12/../12", listed, "", None, item, "not a folder of the package cache"),
                 ("list of another folder", cache + "/12", lists + "/../list", "", None, item, "not a package list"),
                 ("shell text in a field", cache + "/12", listed, ";touch${IFS}PWNED", None, item, "not a package name"),
                 ("a link out of the cache", cache + "/12", listed, "", link, item, "not a plain file")]
        for what, folder, list_file, inject, before, order, expected in cases:
            with self.subTest(what):
                if os.path.islink(deb):
                    os.remove(deb)
                with open(deb, "wb") as f:
                    f.write(good)
                os.makedirs(lists, exist_ok=True)
                with open(listed, "w") as f:
                    f.write("# update package list\nvelk-t-b%s 2.0 %s\n" % (inject, url))
                with open(listed + ".order", "w") as f:
                    json.dump(monitoring_service.sign_order(order, key) if order else item, f)
                if before:
                    before()
                env = dict(os.environ, VELK_INSTALL_CACHE=cache, VELK_INSTALL_LISTS=lists, VELKCTL=VELKCTL,
                           VELK_INSTALL_WORK=self.path("work"), VELK_INSTALL_SCRIPT=fake,
                           VELK_CONFIG=self.path("required.conf"))
                out = subprocess.run([os.path.join(SCRIPTS, "install-service")], input="%s\n%s\n" % (folder, list_file),
                                     env=env, capture_output=True, text=True, cwd=self.dir).stdout
                self.assertIn(expected, out)
                self.assertEqual(out.endswith("velk-install-exit 0\n"), expected == "velk-install-exit 0", out)
                installed = expected == "velk-install-exit 0"
                # The copy that was checked is what the install got, whatever became of the agent's file.
                self.assertEqual(hashlib.sha256(good).hexdigest() in out, installed, out)
                self.assertEqual(not os.path.islink(deb) and read(deb, "rb") != good, installed, what)
                self.assertFalse(os.path.exists(self.path("PWNED")))
                self.assertEqual(os.listdir(self.path("work")), [])

    def test_install_client_passes_the_services_lines_and_status_on(self):
        for answer, status, shown in ((b"unpacking\nvelk-install-exit 7\n", 7, "unpacking\n"),
                                      (b"cut off", 1, "cut off")):
            server = socket.socket(socket.AF_UNIX)
            server.bind(self.path("install.sock"))
            server.listen(1)
            asked = []

            def serve():
                connection = server.accept()[0]
                asked.append(connection.makefile("rb").read())
                connection.sendall(answer)
                connection.close()
            threading.Thread(target=serve, daemon=True).start()
            proc = subprocess.run([VELKCTL, "install", "--socket", self.path("install.sock"), "/c/12", "/l/x.list"],
                                  capture_output=True, text=True, timeout=30)
            server.close()
            os.remove(self.path("install.sock"))
            self.assertEqual((proc.returncode, asked), (status, [b"/c/12\n/l/x.list\n"]), proc.stdout)
            self.assertTrue(proc.stdout.startswith(shown), proc.stdout)


if __name__ == "__main__":
    VELKCTL = os.path.abspath(sys.argv.pop(1))
    unittest.main()
