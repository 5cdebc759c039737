"""Signed orders through the real agent under "required", the local service signing with a key of the test:
what is unsigned, forged, foreign, expired, digest-less or a downgrade is refused with a report and stored
nowhere; a file unlike its digest fails the download; the orders after them still install."""
import glob
import json
import os
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cycle_support import CODE, SCALE, cycle_settings, local_text, order  # noqa: E402
from sandbox import Sandbox, main_binary, scratch_dir, wait_until  # noqa: E402
from service import LocalService  # noqa: E402
import monitoring_service as ms  # noqa: E402

BINARY = None
OK = [(12, "download success"), (22, "update success")]
DOWNLOAD = """#!/bin/sh
set -e
mkdir -p "$1"
grep -v '^#' "$2" | while read -r name version url; do
curl -fsS --cacert '%s' -o "$1/${name}_$version.deb" "$url"; done
"""
served = ms.MonitoringService.queue_order  # the service resolves and signs


def refusal(*reasons):
    return [(19, tuple("refused : " + reason for reason in reasons))]


def report_items(svc):
    return [i for r in svc.reports() if isinstance(r["json"], dict) for i in r["json"].get("request", [])]


class SignedOrders(unittest.TestCase):
    def test_required_signature_and_digests_decide_what_installs(self):
        key, _ = ms.generate_key(scratch_dir("velk-key-"))
        other, _ = ms.generate_key(scratch_dir("velk-key-"))
        packages = scratch_dir("velk-pkgs-")
        for name in ("p1_1.0", "p2_1.0", "p3_1.0", "old_1.0", "old_1.5", "p9_1.0"):
            with open(os.path.join(packages, name + ".deb"), "wb") as f:
                f.write(os.urandom(2048))
        digest = {n: ms.file_sha256(os.path.join(packages, n + ".deb")) for n in ("p1_1.0", "p3_1.0", "old_1.5")}

        def signed_by(signer, change=None):
            def send(svc, item):
                item = dict(ms.sign_order(svc.resolve(item), signer) if signer else svc.resolve(item), **(change or {}))
                return svc.queue_items([item]) or item
            return send
        # number, package, its fields, the item's fields, how it is sent, the reports expected
        cases = [
            (1, "p1_1.0", {}, {}, served, OK),
            (2, "p2_1.0", {"pkg_sha256": "0" * 64}, {}, served, [(19, "download failed : digest mismatch : p2 1.0")]),
            (3, "p3_1.0", {"pkg_sha256": digest["p3_1.0"].upper()}, {"substratecode": CODE}, served, OK),
            (4, "p1_1.0", {}, {}, signed_by(None), refusal("unsigned")),
            (5, "p1_1.0", {}, {}, signed_by(other), refusal("bad signature", "no trusted key")),
            (6, "p1_1.0", {}, {}, signed_by(key, {"install_end_date": "2099/01/01 00:00:00"}), refusal("bad signature")),
            (7, "p1_1.0", {}, {"substratecode": "SUBSTRATE-0002"}, served, refusal("other device")),
            (8, "p1_1.0", {}, {"expires": local_text(time.time() - 60)}, served, refusal("expired")),
            (9, "p9_1.0", {"pkg_url": "https://127.0.0.1:1/p9_1.0.deb"}, {}, served, refusal("package without digest")),
            (10, "old_1.0", {}, {}, served, refusal("downgrade old 2.0 -> 1.0")),
            (11, "old_1.5", {}, {"allow_downgrade": "1"}, served, OK),
            (12, "p1_1.0", {}, {}, served, OK),
        ]
        with LocalService(packages_dir=packages, signing_key=key) as svc, Sandbox(BINARY) as box:
            box.write_command("download.sh", DOWNLOAD % svc.service.ca_file)
            box.write_command("install.sh", '#!/bin/sh\nmkdir -p %s && cp "$2" "$2.sha256" "$2.order" %s\n'
                              % ((box.path("installed"),) * 2))
            box.write_command("ping", "#!/bin/sh\nexit 0\n")
            box.write_command("dpkg-query", "#!/bin/sh\nprintf 'old\\tinstall ok installed\\t2.0\\n'\n")
            box.write_config(cycle_settings(svc, {"software_update": {"order_signature": "required"}}))
            box.start()
            # SIGUSR1 before the agent's handlers are in place would end it.
            box.wait_for_log("Main Thread Loop Start", 30 * SCALE)
            sent = {}
            for number, package, package_fields, fields, send, expected in cases:
                name, version = package.split("_")
                item = order(number, time.time(), time.time() + 2, [(name, version, "/packages/%s.deb" % package)])
                item["pkg_update"][0].update(package_fields)
                sent[number] = send(svc.service, dict(item, **fields))
                box.signal(signal.SIGUSR1)
                wait_until(lambda: len([r for r in report_items(svc) if r["sw_upd_no"] == number]) >= len(expected),
                           40 * SCALE, "the reports of order %d" % number, box)
            time.sleep(1)  # a report sent twice would show now
            for number, package, _, _, _, expected in cases:
                got = [(r["status"], r["message"]) for r in report_items(svc) if r["sw_upd_no"] == number]
                self.assertEqual(len(got), len(expected), (number, got))
                for (status, message), (want_status, want) in zip(got, expected):
                    self.assertEqual(status, want_status, (number, got))
                    self.assertIn(message, want if isinstance(want, tuple) else (want,), number)
                    if message.startswith("refused : "):
                        self.assertTrue([line for line in box.log_lines() if " W : " in line and
                                         "order %d %s" % (number, message) in line], message)
            stored = [n for n, *_, expected in cases if isinstance(expected[0][1], str)]
            self.assertEqual([n for n, in box.query("SELECT sw_upd_no FROM update_info ORDER BY sw_upd_no")], stored)
            self.assertFalse(os.path.exists(box.path("pkgs", "2", "p2_1.0.deb")))
            # Only the good orders reached the install script, each with its digests and the order as sent.
            installed = {}
            for path in glob.glob(box.path("installed", "*.order")):
                with open(path) as f, open(path[:-len(".order")] + ".sha256") as digests:
                    received = json.load(f)
                    installed[received["sw_upd_no"]] = (received, digests.read().lower())
            wanted = {n: (sent[n], "%s  %s.deb\n" % (digest[package], package))
                      for n, package, *_, expected in cases if expected == OK}
            self.assertEqual(installed, wanted)
            self.assertEqual(box.stop(), 0)


if __name__ == "__main__":
    BINARY = main_binary()
    unittest.main(verbosity=2)
