"""Debian 12 virtual machines for the velk tests: disk images and a booted guest under qemu.

An image is made once per architecture with mmdebstrap from this machine's own apt sources (a
kernel, systemd, and what the velk package needs at run time, so that apt installs it without a
mirror), turned into a raw ext4 disk by mkfs.ext4 -d, and cached keyed on its package list and its
set-up. Each test boots a copy of it under full emulation. The guest reaches one service on this
machine's loopback and nothing else (user networking with restrict=on and one forward), and takes
commands on a virtio serial port from a small shell loop that the image starts at boot.
"""
import base64
import hashlib
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SERVICE_ADDRESS = "10.0.2.100"
# User networking answers pings only for its gateway, the machine the service runs on.
PING_ADDRESS = "10.0.2.2"
SERVICE_HOST = "velk-svc"

ARCHES = {
    "amd64": {"kernel": "linux-image-amd64", "qemu": "qemu-system-x86_64", "console": "ttyS0",
              "machine": ["-machine", "q35", "-cpu", "max"], "bus": "pci"},
    "armhf": {"kernel": "linux-image-armmp-lpae", "qemu": "qemu-system-arm", "console": "ttyAMA0",
              "machine": ["-machine", "virt,highmem=off", "-cpu", "cortex-a15"], "bus": "device"},
}
# Run-time needs of the velk package and of the tests' checks (sqlite3, dpkg, curl), all from Debian.
PACKAGES = ["systemd-sysv", "udev", "dbus", "initramfs-tools", "kmod", "ca-certificates", "curl",
            "iputils-ping", "procps", "sqlite3", "libfmt9", "libspdlog1.10", "libsqlite3-0", "libcurl4",
            "init-system-helpers"]
INITRD_MODULES = ["virtio_pci", "virtio_mmio", "virtio_blk", "virtio_net", "virtio_console", "ext4",
                  "crc32c_generic"]

CONTROL_SCRIPT = r"""#!/bin/bash
# Runs what the test host sends on the control port: "ID BASE64" in, "ID STATUS BASE64" out.
exec 3<>/dev/virtio-ports/velk.ctl
while read -r id code <&3; do
    printf '%s' "$code" | base64 -d > /run/vm-command
    bash /run/vm-command > /run/vm-output 2>&1 < /dev/null
    status=$?
    printf '%s %s %s\n' "$id" "$status" "$(base64 -w0 /run/vm-output)" >&3
done
"""
CONTROL_UNIT = """[Unit]
Description=test host control port
DefaultDependencies=no
After=systemd-udevd.service

[Service]
ExecStart=/usr/local/sbin/vm-control
Restart=always
RestartSec=1

[Install]
WantedBy=sysinit.target
"""
NETWORK = "[Match]\nName=en* eth*\n\n[Network]\nDHCP=ipv4\nLinkLocalAddressing=no\nIPv6AcceptRA=no\n"


def say(text):
    print("%s  vm  %s" % (time.strftime("%H:%M:%S"), text), flush=True)


def run(*args, **kw):
    check = kw.pop("check", True)
    done = subprocess.run(list(args), stdin=subprocess.DEVNULL, **kw)
    if check and done.returncode != 0:
        raise RuntimeError("command failed (%d): %s\n%s%s" % (done.returncode, " ".join(args),
                                                             done.stdout or "", done.stderr or ""))
    return done


def apt_sources():
    files = ["/etc/apt/sources.list"] if os.path.isfile("/etc/apt/sources.list") else []
    folder = "/etc/apt/sources.list.d"
    files += sorted(os.path.join(folder, f) for f in os.listdir(folder) if f.endswith((".list", ".sources")))
    return [f for f in files if os.path.getsize(f) > 0]


def ensure_binfmt(arch):
    if arch == "amd64":
        return
    if not os.path.exists("/proc/sys/fs/binfmt_misc/status"):
        run("mount", "-t", "binfmt_misc", "binfmt_misc", "/proc/sys/fs/binfmt_misc")
    if not os.path.exists("/proc/sys/fs/binfmt_misc/qemu-arm"):
        run("update-binfmts", "--enable", "qemu-arm")


def _customize(root):
    """What the image holds beyond its packages: disk, network, service name, control port."""
    def write(path, text, mode=0o644):
        target = os.path.join(root, path.lstrip("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "w") as f:
            f.write(text)
        os.chmod(target, mode)

    write("/etc/fstab", "/dev/vda / ext4 errors=remount-ro 0 1\n")
    write("/etc/hostname", "velk-vm\n")
    write("/etc/hosts", "127.0.0.1 localhost\n127.0.1.1 velk-vm\n%s %s\n" % (SERVICE_ADDRESS, SERVICE_HOST))
    write("/etc/systemd/network/10-wired.network", NETWORK)
    write("/usr/local/sbin/vm-control", CONTROL_SCRIPT, 0o755)
    write("/etc/systemd/system/vm-control.service", CONTROL_UNIT)
    # No apt timers or clean-ups running into a test; the guest has no mirror anyway.
    for unit in ("apt-daily.timer", "apt-daily-upgrade.timer", "e2scrub_all.timer", "fstrim.timer"):
        os.makedirs(os.path.join(root, "etc/systemd/system"), exist_ok=True)
        link = os.path.join(root, "etc/systemd/system", unit)
        if not os.path.lexists(link):
            os.symlink("/dev/null", link)
    env = dict(os.environ, PATH="/usr/sbin:/usr/bin:/sbin:/bin")
    run("chroot", root, "systemctl", "enable", "systemd-networkd", "vm-control.service", env=env,
        capture_output=True)
    run("chroot", root, "passwd", "-d", "root", env=env, capture_output=True)
    with open(os.path.join(root, "etc/machine-id"), "w"):
        pass  # made on first boot


class Image:
    """The cached disk image of one architecture, with its kernel, initrd and a real Debian package."""

    def __init__(self, arch, cache):
        self.arch = arch
        setup = json.dumps([arch, SERVICE_ADDRESS, SERVICE_HOST, PACKAGES, INITRD_MODULES, CONTROL_SCRIPT, CONTROL_UNIT, NETWORK,
                            open(__file__).read().split("def _customize", 1)[1].split("class Image", 1)[0]])
        self.key = hashlib.sha256(setup.encode()).hexdigest()[:16]
        self.dir = os.path.join(os.path.abspath(cache), "image-%s-%s" % (arch, self.key))
        self.disk = os.path.join(self.dir, "disk.img")
        self.kernel = os.path.join(self.dir, "vmlinuz")
        self.initrd = os.path.join(self.dir, "initrd.img")

    def hello(self):
        return [os.path.join(self.dir, f) for f in os.listdir(self.dir) if f.startswith("hello_")][0]

    def ensure(self):
        if os.path.exists(os.path.join(self.dir, "done")):
            say("image %s: cached %s" % (self.arch, self.dir))
            return self
        ensure_binfmt(self.arch)
        started = time.monotonic()
        shutil.rmtree(self.dir, ignore_errors=True)
        root = os.path.join(self.dir, "root")
        os.makedirs(self.dir)
        hook = ('mkdir -p "$1/etc/initramfs-tools/conf.d" "$1/usr/share/initramfs-tools/modules.d" && '
                'echo MODULES=list > "$1/etc/initramfs-tools/conf.d/velk-vm" && '
                'printf "%%s\\n" %s > "$1/usr/share/initramfs-tools/modules.d/velk-vm"'
                % " ".join(INITRD_MODULES))
        run("mmdebstrap", "--variant=apt", "--architectures=" + self.arch, "--quiet",
            "--include=" + ",".join([ARCHES[self.arch]["kernel"]] + PACKAGES),
            "--essential-hook=" + hook,
            "--customize-hook=chroot \"$1\" sh -c 'cd /root && apt-get -q download hello'",
            "bookworm", root, *apt_sources())
        _customize(root)
        for name in os.listdir(os.path.join(root, "root")):
            if name.startswith("hello_"):
                shutil.move(os.path.join(root, "root", name), os.path.join(self.dir, name))
        boot = os.path.join(root, "boot")
        shutil.copy(os.path.join(boot, sorted(f for f in os.listdir(boot) if f.startswith("vmlinuz-"))[-1]),
                    self.kernel)
        shutil.copy(os.path.join(boot, sorted(f for f in os.listdir(boot) if f.startswith("initrd.img-"))[-1]),
                    self.initrd)
        run("mkfs.ext4", "-q", "-L", "velk-root", "-d", root, self.disk + ".tmp", "3G")
        os.rename(self.disk + ".tmp", self.disk)
        shutil.rmtree(root)
        open(os.path.join(self.dir, "done"), "w").close()
        say("image %s: made in %.0f s" % (self.arch, time.monotonic() - started))
        return self


class Guest:
    """One booted machine: a qemu process on a copy of the image; kill() is a power cut."""

    def __init__(self, image, work, service_port, memory=1024):
        self.image, self.work, self.port, self.memory = image, work, service_port, memory
        self.disk = os.path.join(work, "disk-%s.img" % image.arch)
        self.socket_path = os.path.join(work, "control-%s.sock" % image.arch)
        self.console = os.path.join(work, "console-%s.log" % image.arch)
        self.qemu = None
        self.control = None
        self.buffer = b""
        self.sequence = 0
        self.boots = 0
        self.powered_at = None

    def fresh_disk(self):
        run("cp", "--sparse=always", self.image.disk, self.disk)

    def power_on(self):
        arch = ARCHES[self.image.arch]
        bus = arch["bus"]
        relay = "%s %s %d" % (sys.executable, os.path.join(HERE, "relay.py"), self.port)
        if os.path.exists(self.socket_path):
            os.remove(self.socket_path)
        args = [arch["qemu"], *arch["machine"], "-m", str(self.memory), "-smp", "1", "-nodefaults",
                "-display", "none", "-no-user-config",
                "-kernel", self.image.kernel, "-initrd", self.image.initrd,
                "-append", "root=/dev/vda rw console=%s net.ifnames=0 quiet" % arch["console"],
                "-drive", "if=none,id=hd,format=raw,cache=writeback,file=" + self.disk,
                "-device", "virtio-blk-%s,drive=hd" % bus,
                "-netdev", "user,id=net,restrict=on,guestfwd=tcp:%s:%d-cmd:%s" % (SERVICE_ADDRESS, self.port, relay),
                "-device", "virtio-net-%s,netdev=net" % bus,
                "-device", "virtio-serial-%s" % bus,
                "-chardev", "socket,id=ctl,path=%s,server=on,wait=off" % self.socket_path,
                "-device", "virtserialport,chardev=ctl,name=velk.ctl",
                "-serial", "file:" + self.console + ".%d" % self.boots]
        args += ["-device", "virtio-rng-%s" % bus]
        self.qemu = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=open(os.path.join(self.work, "qemu.err"), "a"))
        self.powered_at = time.monotonic()
        self.boots += 1
        deadline = time.monotonic() + 30
        while not os.path.exists(self.socket_path):
            if time.monotonic() > deadline or self.qemu.poll() is not None:
                raise RuntimeError("qemu did not start: see %s" % os.path.join(self.work, "qemu.err"))
            time.sleep(0.1)
        while True:
            self.control = socket.socket(socket.AF_UNIX)
            try:
                self.control.connect(self.socket_path)
                break
            except OSError:
                self.control.close()
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)
        self.buffer = b""

    def kill(self):
        """The power cut: whatever the guest had not synced is gone."""
        if self.qemu is not None and self.qemu.poll() is None:
            self.qemu.send_signal(signal.SIGKILL)
            self.qemu.wait()
        if self.control is not None:
            self.control.close()
            self.control = None

    def _reply(self, wanted, deadline):
        while True:
            while b"\n" in self.buffer:
                line, self.buffer = self.buffer.split(b"\n", 1)
                parts = line.decode().split(" ")
                if len(parts) == 3 and parts[0] == str(wanted):
                    return int(parts[1]), base64.b64decode(parts[2]).decode(errors="replace")
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            self.control.settimeout(left)
            try:
                data = self.control.recv(65536)
            except socket.timeout:
                return None
            if not data:
                raise RuntimeError("the control port closed (qemu ended?)")

            self.buffer += data

    def _send(self, script):
        """Hands a script to the guest without waiting; the id its answer will carry."""
        self.sequence += 1
        self.control.sendall(("%d %s\n" % (self.sequence, base64.b64encode(script.encode()).decode())).encode())
        return self.sequence

    def sh(self, script, timeout=120, check=True):
        """Runs a shell script in the guest as root: (status, output)."""
        answer = self._reply(self._send(script), time.monotonic() + timeout)
        if answer is None:
            raise RuntimeError("no answer in %d s from the guest to: %s" % (timeout, script[:200]))
        if check and answer[0] != 0:
            raise RuntimeError("guest command failed (%d): %s\n%s" % (answer[0], script[:300], answer[1]))
        return answer

    def out(self, script, timeout=120):
        return self.sh(script, timeout)[1].strip()

    def wait_up(self, limit=600):
        """Waits until the control port answers and the boot has finished; the seconds since power-on."""
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            if self.qemu.poll() is not None:
                raise RuntimeError("qemu ended during boot (status %d)" % self.qemu.returncode)
            try:
                asked = self._send("true")
            except OSError:
                time.sleep(1)
                continue
            if self._reply(asked, time.monotonic() + 5) is not None:
                state = self.sh("systemctl is-system-running --wait", timeout=limit, check=False)[1].strip()
                return time.monotonic() - self.powered_at, state
        raise RuntimeError("the guest did not come up in %d s: see %s" % (limit, self.console))

    def boot_id(self):
        return self.out("cat /proc/sys/kernel/random/boot_id")

    def reboot(self, limit=600):
        """A clean reboot from inside; the seconds until the new boot answers."""
        before = self.boot_id()
        started = time.monotonic()
        self._send("systemctl reboot")
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            time.sleep(2)
            try:
                if self.sh("cat /proc/sys/kernel/random/boot_id", timeout=5, check=False)[1].strip() != before:
                    self.sh("systemctl is-system-running --wait", timeout=limit, check=False)
                    return time.monotonic() - started
            except RuntimeError:
                continue
        raise RuntimeError("the guest did not reboot in %d s" % limit)

    def put(self, path, text, mode="0644"):
        """Writes a small file in the guest."""
        data = base64.b64encode(text.encode()).decode()
        self.sh("mkdir -p \"$(dirname %s)\" && echo %s | base64 -d > %s && chmod %s %s" % (path, data, path, mode, path))


if __name__ == "__main__":
    # Only the image: `vm.py ARCH CACHE` makes it or finds it cached.
    Image(sys.argv[1], sys.argv[2]).ensure()
