"""The local monitoring service serves devices that reach it by another name or address than 127.0.0.1."""
import json
import os
import socket
import ssl
import subprocess
import sys
import tempfile
import unittest

SERVICE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "tools",
                       "monitoring_service.py")


class ServiceAddress(unittest.TestCase):
    def test_urls_settings_and_certificate_carry_the_devices_address(self):
        for host, san, alive in (("velk-svc", "velk-svc", {"ping_server_fqdn": "velk-svc"}),
                                 ("10.0.2.100", "DNS:localhost,192.0.2.7",
                                  {"ping_server_fqdn": "10.0.2.100", "ping_server_ipaddr": "10.0.2.100"})):
            with self.subTest(host=host, san=san), tempfile.TemporaryDirectory() as folder:
                settings_file = os.path.join(folder, "agent.json")
                proc = subprocess.Popen([sys.executable, SERVICE, "--dir", folder, "--host", host, "--san", san,
                                         "--agent-settings", settings_file, "--info-json", "--stop-on-eof",
                                         "--quiet"],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
                try:
                    info = json.loads(proc.stdout.readline() or "{}")
                    url = "https://%s:%d" % (host, info.get("port", 0))
                    self.assertEqual(info.get("base_url"), url)
                    with open(settings_file) as f:
                        settings = json.load(f)
                    self.assertEqual((settings["web_api"]["api_base_url"], settings["server_alive"]),
                                     (url + "/", alive))
                    tls = ssl.create_default_context(cafile=info["ca_file"])
                    with socket.create_connection(("127.0.0.1", info["port"]), timeout=10) as raw, \
                            tls.wrap_socket(raw, server_hostname=host) as conn:
                        conn.sendall(b"GET /packages/none HTTP/1.0\r\n\r\n")
                        self.assertIn(b" 404 ", conn.recv(100))
                finally:
                    proc.stdin.close()
                    proc.stdout.close()
                    proc.wait(timeout=30)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
