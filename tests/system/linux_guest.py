#!/usr/bin/env python3
"""System tests: the static korvex in a minimal Linux guest under QEMU (an
initramfs with busybox), driving QEMU's KCS interface with real port I/O or
through the kernel's IPMI driver. Every run is compared with korvex-sim on the
host for the same command line.

A group of cases shares one boot. Each case starts by asking the host, over
the serial console, for its own BMC behind the KCS interface (a fresh
korvex-bmcd with the case's options, or ipmi_sim), so the cases of a group see
the same BMC state as if each had booted alone.

    linux_guest.py --build-dir BUILD GROUP [CASE]...

CASE limits the boot to those cases of the group (to run one by hand).
Exit status: 0 pass, 1 fail, 77 skipped (a prerequisite is missing).
"""

import argparse
import gzip
import os
import random
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import korvex_qemu as kq  # noqa: E402
import openipmi  # noqa: E402
from korvex_qemu import Failure, Skip, log  # noqa: E402

PORTS = "korvex: interface: KCS ports (no /dev/ipmi0)"
DRIVER = "korvex: interface: the kernel's IPMI driver, /dev/ipmi0"
# What the front end may say on standard error besides nothing: the way it
# took to the BMC.
WAYS = {
    "ports": [PORTS, "korvex: KCS ports: command/status 0xCA3, data 0xCA2 (default)"],
    "driver": [DRIVER],
    "driver-kcs-cfg": [DRIVER, "korvex: kcs.cfg is ignored: the kernel's IPMI driver has no use for KCS ports"],
}
IPMI_MODULES = ["ipmi_msghandler", "ipmi_si", "ipmi_devintf"]
# The driver loads afresh in each case, against that case's BMC; the case's
# dmesg starts there. It succeeds when /dev/ipmi0 appeared (within 10 s).
LOAD_DRIVER = """(for m in ipmi_devintf ipmi_si ipmi_msghandler; do rmmod $m 2>/dev/null; done; dmesg -c > /dev/null
for m in $(cat /lib/modules/order); do grep -q "^$m " /proc/modules || insmod /lib/modules/$m.ko || exit 1; done
i=0; while [ ! -c /dev/ipmi0 ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done
[ -c /dev/ipmi0 ] || { echo "no /dev/ipmi0" >&2; exit 1; })"""
INIT = """#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
echo "@@KORVEX-GUEST-UP $(cut -d' ' -f1 /proc/uptime)@@"
# Every result leaves the guest as base64 between markers, byte for byte.
put() { echo "@@KORVEX-BEGIN $1@@"; base64 "$2"; echo "@@KORVEX-END $1@@"; }
# A case runs in a folder of its own, world-writable (an unprivileged korvex
# could write there: it must not), once the host answers that its BMC is in.
case_start() {
  mkdir -p /work/$1; chmod 0777 /work/$1; cd /work/$1
  echo "@@KORVEX-CASE $1@@"; read -r answer
}
. /cases.sh
echo "@@KORVEX-GUEST-DONE $(cut -d' ' -f1 /proc/uptime)@@"
poweroff -f
"""
CASE_MARKER = "@@KORVEX-CASE %s@@"
DONE_MARKER = "@@KORVEX-GUEST-DONE"
BMC_WAIT = 20  # seconds for a BMC to be behind the interface


def same(what, expected, got):
    """Byte for byte, with a readable difference when not."""
    if expected == got:
        log("ok: " + what)
        return
    import difflib
    a = expected.decode(errors="replace").split("\n")
    b = got.decode(errors="replace").split("\n")
    diff = "\n".join(difflib.unified_diff(a, b, "expected", "guest", lineterm=""))
    raise Failure("%s differs (%d bytes expected, %d got):\n%s" % (what, len(expected), len(got), diff[:4000]))


def value(out, key):
    """KEY=VALUE from ipmi-client's output."""
    for line in out.decode(errors="replace").split("\n"):
        if line.startswith(key + "="):
            return line[len(key) + 1:]
    raise Failure("ipmi-client printed no %s:\n%s" % (key, out.decode(errors="replace")))


def interrupts(out):
    fields = out.split()
    return int(fields[1]) if len(fields) > 1 else 0


class Relay:
    """QEMU's socket to a BMC listening on TCP (ipmi_sim): QEMU is the server
    of the link, so a BMC that listens itself needs someone to connect both."""

    def __init__(self, path, port):
        self.qemu = socket.socket(socket.AF_UNIX)
        self.qemu.connect(path)
        self.bmc = socket.create_connection(("127.0.0.1", port))
        self.opened = threading.Event()  # QEMU spoke: it took the connection
        for a, b, first in ((self.qemu, self.bmc, self.opened), (self.bmc, self.qemu, None)):
            threading.Thread(target=self._pump, args=(a, b, first), daemon=True).start()

    @staticmethod
    def _pump(a, b, first):
        try:
            while data := a.recv(4096):
                if first:
                    first.set()
                b.sendall(data)
        except OSError:
            pass

    def close(self):
        for s in (self.qemu, self.bmc):
            try:
                s.shutdown(socket.SHUT_RDWR)  # wakes the pumps
            except OSError:
                pass
            s.close()


class Tools(kq.Tools):
    def __init__(self, build):
        super().__init__(build)
        self.korvex = os.path.join(self.build, "tools/korvex/korvex-static")
        self.client = os.path.join(self.build, "tests/system-linux/ipmi-client")


class Boot(kq.Qemu):
    """One Linux guest: its initramfs, the QEMU run, and the BMC behind the
    KCS interface that each case asks for in turn."""

    def __init__(self, tools, work, kcs):
        super().__init__(tools, work, None, None, timeout=int(os.environ.get("KORVEX_GUEST_TIMEOUT", "600")))
        self.kcs = kcs  # with a KCS interface whose BMC the cases choose
        self.kernel = os.environ.get("KORVEX_GUEST_KERNEL")
        if not self.kernel:
            kernels = sorted((f for f in os.listdir("/boot") if f.startswith("vmlinuz-")),
                             key=lambda f: [int(x) if x.isdigit() else x for x in f.replace("-", ".").split(".")])
            self.kernel = os.path.join("/boot", kernels[-1]) if kernels else None
        if not self.kernel or not os.access(self.kernel, os.R_OK):
            raise Skip("no readable kernel under /boot (install linux-image-amd64)")
        busybox = shutil.which("busybox")
        if not busybox:
            raise Skip("busybox not installed (busybox-static)")
        if b"INTERP" in subprocess.run(["readelf", "-l", os.path.realpath(busybox)], stdout=subprocess.PIPE).stdout:
            raise Skip("%s is not static (install busybox-static)" % busybox)
        for what in ("qemu-system-x86_64", "cpio"):
            if not shutil.which(what):
                raise Skip("%s not installed" % what)
        for path in (tools.korvex, tools.sim, tools.bmcd, tools.pack):
            if not os.path.exists(path):
                raise Failure("%s is not built" % path)
        self.root = os.path.join(work, "root")
        for d in ("bin", "dev", "etc", "proc", "sys", "tmp", "work", "lib/modules"):
            os.makedirs(os.path.join(self.root, d))
        os.chmod(os.path.join(self.root, "tmp"), 0o1777)
        os.chmod(os.path.join(self.root, "work"), 0o777)
        with open(os.path.join(self.root, "etc/passwd"), "w") as f:
            f.write("root:x:0:0:root:/root:/bin/sh\nnobody:x:65534:65534:nobody:/nonexistent:/bin/sh\n")
        with open(os.path.join(self.root, "etc/group"), "w") as f:
            f.write("root:x:0:\nnogroup:x:65534:\n")
        shutil.copy(busybox, os.path.join(self.root, "bin/busybox"))
        shutil.copy(tools.korvex, os.path.join(self.root, "bin/korvex"))
        self.has_modules = False
        self.socket = os.path.join(work, "bmc.sock")
        self.console = ""
        self.current = None  # the case whose BMC is in

    def ipmi_client(self):
        if not os.access(self.tools.client, os.X_OK):
            raise Skip("ipmi-client is not built")
        shutil.copy(self.tools.client, os.path.join(self.root, "bin/ipmi-client"))

    def ipmi_modules(self):
        """The kernel's IPMI driver and what it needs, uncompressed for
        busybox's insmod, each after its needs (KORVEX_GUEST_MODULES names
        another modules folder)."""
        if self.has_modules:
            return
        folder = os.environ.get("KORVEX_GUEST_MODULES") or "/lib/modules/" + os.path.basename(self.kernel)[8:]
        deps = {}
        try:
            with open(os.path.join(folder, "modules.dep")) as f:
                for line in f:
                    path, _, needs = line.partition(":")
                    deps[os.path.basename(path).split(".ko")[0]] = (path, needs.split())
        except OSError:
            raise Skip("no modules for %s (KORVEX_GUEST_MODULES)" % self.kernel)
        order = []

        def add(name):
            if name not in deps:
                raise Skip("no IPMI module %s for %s (KORVEX_GUEST_MODULES)" % (name, self.kernel))
            if name in order:
                return
            for need in deps[name][1]:
                add(os.path.basename(need).split(".ko")[0])
            path = os.path.join(folder, deps[name][0])
            unpack = {".xz": ["xz", "-dc"], ".zst": ["zstd", "-qdc"], ".gz": ["gzip", "-dc"]}.get(os.path.splitext(path)[1])
            with open(os.path.join(self.root, "lib/modules", name + ".ko"), "wb") as out:
                if unpack:
                    subprocess.run(unpack + [path], stdout=out, check=True)
                else:
                    with open(path, "rb") as f:
                        shutil.copyfileobj(f, out)
            order.append(name)
        for name in IPMI_MODULES:
            add(name)
        with open(os.path.join(self.root, "lib/modules/order"), "w") as f:
            f.write("\n".join(order) + "\n")
        self.has_modules = True

    def command(self, socket_path):
        initrd = os.path.join(self.work, "initrd.gz")
        # TCG by default: KVM is often missing, and nested KVM can hang at boot.
        accel = "kvm:tcg" if os.environ.get("KORVEX_GUEST_KVM") else "tcg"
        cmd = [self.tools.qemu, "-machine", "pc,accel=" + accel, "-m", "256", "-smp", "1", "-display", "none",
               "-monitor", "none", "-serial", "stdio", "-no-reboot", "-net", "none", "-kernel", self.kernel,
               "-initrd", initrd, "-append", "console=ttyS0 quiet loglevel=1 panic=-1 rdinit=/init"]
        if self.kcs:
            # QEMU is the server of the link, so that a case's BMC can leave
            # and the next one connect while the guest runs.
            cmd += ["-chardev", "socket,id=ipmi0,path=%s,server=on,wait=off" % socket_path,
                    "-device", "ipmi-bmc-extern,chardev=ipmi0,id=bmc0", "-device", "isa-ipmi-kcs,bmc=bmc0"]
        return cmd

    def _initramfs(self, cases):
        with open(os.path.join(self.root, "init"), "w") as f:
            f.write(INIT)
        os.chmod(os.path.join(self.root, "init"), 0o755)
        with open(os.path.join(self.root, "cases.sh"), "w") as f:
            for c in cases:
                f.write("case_start %s\n" % c.name + "".join(c.lines))
        listing = subprocess.run("find . | LC_ALL=C sort", shell=True, cwd=self.root, stdout=subprocess.PIPE,
                                 check=True).stdout
        archive = subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=self.root, input=listing,
                                 stdout=subprocess.PIPE, check=True).stdout
        with open(os.path.join(self.work, "initrd.gz"), "wb") as f:
            f.write(gzip.compress(archive, 1))

    # ---- the BMC of each case ----

    def _bmc_in(self, c):
        """Puts the case's BMC behind the interface; a BMC that does not come
        fails the case (its runs then meet no BMC), not the boot."""
        self.current = c
        try:
            if c.bmc == "ipmi_sim":
                c.ipmi_sim = openipmi.IpmiSim(c.work)
                c.relay = Relay(self.socket, c.ipmi_sim.start())
                if not c.relay.opened.wait(BMC_WAIT):
                    raise Failure("QEMU did not take the link to ipmi_sim")
            elif c.bmc is not None:
                c.bmcd_log = open(c.path("bmcd.log"), "wb")
                c.bmcd = subprocess.Popen([self.tools.bmcd, "--connect-timeout=%d" % BMC_WAIT, "--verbose"] + c.bmc
                                          + [self.socket], stdout=c.bmcd_log, stderr=subprocess.STDOUT, cwd=c.work)
                # QEMU's capabilities come once it has taken the connection.
                deadline = time.monotonic() + BMC_WAIT
                while b"control command 0x08" not in c.bmcd_output():
                    if c.bmcd.poll() is not None or time.monotonic() > deadline:
                        raise Failure("korvex-bmcd did not connect:\n" + c.bmcd_output().decode(errors="replace"))
                    time.sleep(0.05)
        except (Failure, OSError, RuntimeError) as e:
            c.bmc_failure = str(e)

    def _bmc_out(self):
        """The BMC leaves as at power-off: korvex-bmcd saves what it was asked
        to (it ends on SIGTERM as when QEMU closes the link)."""
        c, self.current = self.current, None
        if c is None:
            return
        if c.relay:
            c.relay.close()
        if c.ipmi_sim:
            c.ipmi_sim.stop()
        if c.bmcd:
            if c.bmcd.poll() is None:
                c.bmcd.send_signal(signal.SIGTERM)
            try:
                status = c.bmcd.wait(timeout=30)
            except subprocess.TimeoutExpired:
                c.bmcd.kill()
                status = c.bmcd.wait()
            c.bmcd_log.close()
            if status != 0 and not c.bmc_failure:
                c.bmc_failure = "korvex-bmcd ended with status %d:\n%s" % (status,
                                                                          c.bmcd_output().decode(errors="replace")[-2000:])

    def run_cases(self, cases):
        """Boots once for the cases; returns the console text."""
        self._initramfs(cases)
        if os.path.exists(self.socket):
            os.remove(self.socket)
        start = time.monotonic()
        qemu, reader = self._launch(self.command(self.socket))
        pending = list(cases)
        searched_from = 0
        deadline = start + self.timeout
        failure = None
        try:
            while qemu.poll() is None:
                if time.monotonic() > deadline:
                    failure = "the guest did not finish within %d s" % self.timeout
                    break
                if pending:
                    with self.lock:
                        at = self.output.find((CASE_MARKER % pending[0].name).encode(), searched_from)
                    if at >= 0:
                        searched_from = at
                        self._bmc_out()
                        c = pending.pop(0)
                        self._bmc_in(c)
                        self._type(qemu, (c.name + "\n").encode())
                time.sleep(0.05)
        finally:
            self._halt(qemu, reader)
            running = self.current
            self._bmc_out()
        self.console = kq.clean(bytes(self.output))
        with open(os.path.join(self.work, "console.log"), "w") as f:
            f.write(self.console)
        marks = [line.strip("@").replace("KORVEX-GUEST-", "guest ") for line in self.console.split("\n")
                 if line.startswith("@@KORVEX-GUEST-")]
        log("guest: QEMU ran %.1f s; %s" % (time.monotonic() - start, ", ".join(marks)))
        if failure or DONE_MARKER not in self.console:
            where = " (in case %s)" % running.name if running else ""
            raise Failure("%s%s\n--- console (last 3000 bytes) ---\n%s"
                          % (failure or "the guest did not run its cases", where, self.console[-3000:]))
        return self.console


class Case:
    """One case's side of a boot: what it queues for the guest, its BMC, and
    its results afterwards. Result names are the case's own."""

    def __init__(self, boot, name):
        self.boot, self.tools, self.name = boot, boot.tools, name
        self.work = os.path.join(boot.work, name)
        self.sim_dir = os.path.join(self.work, "sim")
        self.guest_dir = os.path.join(boot.root, "work", name)
        for d in (self.sim_dir, self.guest_dir):
            os.makedirs(d)
        self.lines = []
        self.bmc = None  # korvex-bmcd's options, "ipmi_sim", or None for no BMC
        self.bmcd = self.bmcd_log = self.ipmi_sim = self.relay = None
        self.bmc_failure = None

    def path(self, name):
        return os.path.join(self.work, name)

    def bmcd_output(self):
        return kq.read(self.path("bmcd.log"))

    # ---- what the guest does ----

    def file(self, name, data):
        """A file in the case's folder in the guest and in korvex-sim's."""
        for d in (self.guest_dir, self.sim_dir):
            with open(os.path.join(d, name), "wb") as f:
                f.write(data)

    def sh(self, line):
        self.lines.append(line + "\n")

    def cmd(self, name, command):
        """A shell command whose output, errors and status come back as NAME."""
        self.lines.append(kq.guest_command("%s.%s" % (self.name, name), command))

    def run(self, name, *args):
        self.cmd(name, "korvex" + "".join(" " + shlex.quote(a) for a in args))

    def fetch(self, name):
        self.sh("if [ -e %s ]; then put %s.file.%s %s; fi" % (name, self.name, name, name))

    def put(self, name, command):
        self.sh("%s > /tmp/%s.%s; put %s.%s /tmp/%s.%s" % (command, self.name, name, self.name, name, self.name, name))

    def load_driver(self):
        self.boot.ipmi_modules()
        self.cmd("load", LOAD_DRIVER)

    # ---- what came back ----

    def result(self, name):
        return kq.guest_result(self.boot.console, "%s.%s" % (self.name, name))

    def fetched(self, name):
        if "@@KORVEX-BEGIN %s.file.%s@@" % (self.name, name) not in self.boot.console:
            raise Failure("the guest wrote no %s" % name)
        return self.result("file." + name)

    def got(self, name):
        """NAME's output, errors and exit status."""
        return kq.guest_run(self.boot.console, "%s.%s" % (self.name, name))

    def collect(self, name, want=0, way="ports"):
        """NAME ran and ended with the status expected; the front end said at
        most which way it took to the BMC."""
        out, err, rc = self.got(name)
        if rc != want:
            raise Failure("%s: exit status %d, not %d\n%s" % (name, rc, want, err))
        if err and err != "\n".join(WAYS[way]) + "\n":
            raise Failure("%s: the front end complained:\n%s" % (name, err))
        return out

    def sim(self, knobs, *args):
        """korvex-sim with the guest's program name, in the case's folder:
        (output, errors, status)."""
        r = subprocess.run(["korvex"] + list(knobs) + ["--"] + list(args), executable=self.tools.sim,
                           cwd=self.sim_dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
        return r.stdout, r.stderr.decode(errors="replace"), r.returncode

    def sim_file(self, name):
        return kq.read(os.path.join(self.sim_dir, name))

    def package(self, part_size, size):
        """An update package with one random part, from korvex-pack."""
        part, out = self.path("payload.bin"), self.path("fw.bin")
        with open(part, "wb") as f:
            f.write(random.randbytes(part_size))
        r = subprocess.run([self.tools.pack, "build", "--part", "a.bin=%s@0" % part, "--size", "0x%x" % size, "-o", out],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if r.returncode != 0:
            raise Failure("korvex-pack could not build the package: " + r.stdout.decode(errors="replace"))
        return kq.read(out)

    def verify_flash(self, flash):
        r = subprocess.run([self.tools.pack, "verify-dump", self.path("fw.bin"), self.path(flash)],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if r.returncode != 0:
            raise Failure("the BMC's flash does not hold the package: " + r.stdout.decode(errors="replace"))
        log("ok: the BMC's flash holds every part")


def run_group(tools, work, kcs, cases):
    """Boots once for the cases, (name, function) pairs; each function queues
    its guest's part, yields, and then checks. Returns the failures."""
    boot = Boot(tools, work, kcs)
    queued = []
    for name, function in cases:
        c = Case(boot, name)
        steps = function(c)
        try:
            next(steps)
        except Skip as e:
            log("SKIP %s: %s" % (name, e))
            continue
        queued.append((c, steps))
    if not queued:
        raise Skip("every case was skipped")
    boot.run_cases([c for c, _ in queued])
    failures = []
    for c, steps in queued:
        log("--- %s" % c.name)
        try:
            if "@@KORVEX-CASE %s@@" % c.name not in boot.console:
                raise Failure("the guest did not reach it")
            if c.bmc_failure:
                raise Failure(c.bmc_failure)
            next(steps, None)
            log("PASS %s" % c.name)
        except Skip as e:
            log("SKIP %s: %s" % (c.name, e))
        except Failure as e:
            log("FAIL %s: %s" % (c.name, e))
            failures.append(c.name)
    return failures


# ---- cases: each queues its runs, yields while the guest boots, then checks ----

def case_banner(c):
    """No arguments: the usage banner only, as on the host, and the usage status."""
    c.run("banner")
    yield
    same("banner", c.sim([])[0], c.collect("banner", 2))


def case_no_device(c):
    """No KCS interface: every port reads 0xFF, so the BMC never seems ready.
    The update gives up after its two bounded waits (the request, then the
    cold reset) with status 1. Nothing answering and a controller that never
    clears IBF look alike from the host, so korvex-sim with that fault must
    print the same."""
    c.file("fw.bin", bytes(4096))
    c.run("nodev", "-f", "fw.bin", "-r", "y")
    yield
    out = c.collect("nodev", 1)
    sim = c.sim(["--bmc-fault=kcs-ibf-stuck"], "-f", "fw.bin", "-r", "y")[0]
    if b"ERROR !! BMC did not in correct state" not in sim:
        raise Failure("korvex-sim did not run the KCS exchange")
    same("console text without a KCS interface", sim, out)


def case_update(c):
    """An update of a small package over real port I/O: korvex-sim's console
    text, and every part in the BMC's flash afterwards."""
    c.file("fw.bin", c.package(16384, 0x10000))
    c.run("update", "-f", "fw.bin", "-r", "y")
    c.bmc = ["--bmc-save-flash=" + c.path("flash.bin")]
    yield
    out = c.collect("update")
    sim = c.sim([], "-f", "fw.bin", "-r", "y")[0]
    if b"Update Complete" not in sim:
        raise Failure("korvex-sim did not complete the update")
    same("update console text", sim, out)
    c.verify_flash("flash.bin")


def dump_knobs(c):
    flash = random.randbytes(4096)
    with open(c.path("flash.bin"), "wb") as f:
        f.write(flash)
    return flash, ["--bmc-flash=" + c.path("flash.bin"), "--bmc-dump-length=4096"]


def case_dump(c):
    """A short dump (4 KiB announced and sent) of a flash with known contents.
    The job's own 50-second wait for the BMC makes this the longest case."""
    flash, c.bmc = dump_knobs(c)
    c.run("dump", "-d", "dump.bin")
    c.fetch("dump.bin")
    yield
    out = c.collect("dump")
    sim = c.sim(c.bmc, "-d", "dump.bin")[0]
    if b"Phase2" not in sim:
        raise Failure("korvex-sim did not run the dump")
    same("dump console text", sim, out)
    dump = c.fetched("dump.bin")
    same("dump file", c.sim_file("dump.bin"), dump)
    # Only a dump of known, non-blank contents shows that no byte was lost
    # or invented on the way.
    same("dump file against the flash", flash, dump)


def case_config(c):
    """A configuration backup, then a restore of other bytes: the backup
    matches korvex-sim's byte for byte, and after the restore the BMC holds
    exactly the restored bytes."""
    restore = random.randbytes(1000)
    c.file("restore.bin", restore)
    c.run("backup", "-c", "-d", "backup.bin")
    c.fetch("backup.bin")
    c.run("restore", "-c", "-f", "restore.bin")
    c.bmc = ["--bmc-save-config=" + c.path("bmc-config.bin")]
    yield
    out = c.collect("backup")
    sim = c.sim([], "-c", "-d", "backup.bin")[0]
    if b"Done" not in sim:
        raise Failure("korvex-sim did not complete the backup")
    same("backup console text", sim, out)
    same("backup file", c.sim_file("backup.bin"), c.fetched("backup.bin"))
    same("restore console text", c.sim([], "-c", "-f", "restore.bin")[0], c.collect("restore"))
    same("the BMC's configuration after the restore", restore, kq.read(c.path("bmc-config.bin")))


# kcs.cfg files planted in the world-writable folder, each with the end of
# its one line of refusal (after the line naming the ports way).
PLANTED = [
    ("planted", "printf 'CMD CF9 DATA 70' > kcs.cfg", "korvex: KCS ports (from kcs.cfg) refused: the data port 0x70 "
     "is below 0x100, among the machine's own controllers (DMA, interrupts, timer, CMOS, reset)"),
    ("claimed", "printf 'CMD CF9 DATA CF8' > kcs.cfg", 'port 0xCF8 is held by "PCI conf1" (/proc/ioports)'),
    ("writable", "printf 'CMD CA3 DATA CA2' > kcs.cfg; chmod 666 kcs.cfg",
     "kcs.cfg refused: others than its owner may write it (mode 0666)"),
    ("foreign", "chmod 644 kcs.cfg; chown nobody kcs.cfg", "kcs.cfg refused: it is owned by uid 65534"),
    ("fifo", "rm kcs.cfg; mkfifo -m 644 kcs.cfg", "kcs.cfg refused: it is a FIFO"),
    ("link", "rm kcs.cfg; ln -s /dev/zero kcs.cfg", "kcs.cfg refused: it is a symbolic link"),
    ("differs", "rm kcs.cfg; printf 'CMD CA5 DATA CA4' > kcs.cfg",
     "but the system describes its KCS interface at command/status 0xCA3, data 0xCA2 (SMBIOS)"),
]
NOTHING_SENT = "korvex: nothing was sent to the BMC\n"


def refused(c, name, err_expected=None, status=4):
    out, err, rc = c.got(name)
    if rc != status or out:
        raise Failure("%s: status %d or output %r" % (name, rc, out[:200]))
    if err_expected is not None:
        same("the refusal " + name, err_expected.encode(), err.encode())
    return err


def case_refusal(c):
    """The front end's refusals, on a kernel that does give root the ports:
    as nobody (EPERM); as root, kcs.cfg files planted in the world-writable
    folder (ports among the machine's own controllers, the PCI configuration
    ports held in /proc/ioports, writable by all, owned by nobody, a FIFO, a
    link to /dev/zero, and ports other than those QEMU's tables describe);
    then with a device node of the kernel's IPMI driver present (/dev/null's,
    so no IPMI device): on the ports, and on the driver that the node makes
    korvex choose. The BMC sees no request from any of them, and no file
    appears; then the same backup on the ports with --force-with-kernel-driver
    and a good kcs.cfg runs as on korvex-sim, and the BMC sees exactly
    korvex-sim's number of requests."""
    c.cmd("nobody", "su -s /bin/sh nobody -c 'korvex -d dump.bin'")
    for name, setup, _ in PLANTED:
        c.sh(setup)
        c.run(name, "-d", "dump.bin")
    c.sh("rm kcs.cfg")
    c.sh("mknod /dev/ipmi0 c 1 3")
    c.run("driver", "--interface=ports", "-c", "-d", "backup.bin")
    c.run("bogus", "-c", "-d", "backup.bin")
    c.put("files", "ls")
    c.sh("printf 'CMD CA3 DATA CA2' > kcs.cfg")
    c.run("forced", "--interface=ports", "--force-with-kernel-driver", "-c", "-d", "forced.bin")
    c.sh("rm /dev/ipmi0")
    c.bmc = []
    yield
    for name, _, says in PLANTED:
        out, err, rc = c.got(name)
        lines = err.split("\n")
        if rc == 0 or out or len(lines) != 3 or lines[0] != PORTS or says not in lines[1]:
            raise Failure("%s: not the one line of refusal expected:\n%s" % (name, err))
    log("ok: the planted kcs.cfg files were refused")
    refused(c, "nobody", PORTS + "\nkorvex: cannot access I/O ports 0xCA2/0xCA3: Operation not permitted (run as root)\n"
            + NOTHING_SENT)
    err = refused(c, "driver")
    if "\nkorvex: the kernel's IPMI driver is loaded (/dev/ipmi0 exists)" not in "\n" + err:
        raise Failure("no kernel-driver refusal:\n" + err)
    refused(c, "bogus", DRIVER + "\nkorvex: /dev/ipmi0 is not the kernel's IPMI device: Inappropriate ioctl for device\n"
            + NOTHING_SENT)
    if set(c.result("files").decode().split()) & {"dump.bin", "backup.bin"}:
        raise Failure("a refused run created a file")
    log("ok: refused runs created no file")

    sim_out, sim_err, _ = c.sim(["--stats"], "-c", "-d", "forced.bin")
    if b"Done" not in sim_out:
        raise Failure("korvex-sim did not complete the backup")
    out, err, rc = c.got("forced")
    if rc != 0 or "korvex: warning: " not in err:
        raise Failure("the forced run: status %d, and a warning expected:\n%s" % (rc, err))
    if "korvex: KCS ports: command/status 0xCA3, data 0xCA2 (from kcs.cfg)\n" not in err:
        raise Failure("the forced run did not name the ports of its kcs.cfg:\n" + err)
    same("forced backup console text", sim_out, out)
    sent = c.bmcd_output().count(b"korvex-bmcd: seq ")
    expected = [line[len("exchanges: "):] for line in sim_err.split("\n") if line.startswith("exchanges: ")]
    if [str(sent)] != expected:
        raise Failure("the BMC saw %d requests; korvex-sim's backup alone sends %s" % (sent, expected))
    log("ok: the BMC saw only the forced run's %d requests" % sent)


def case_driver_jobs(c):
    """The four jobs through the kernel's IPMI driver against korvex-bmcd:
    korvex finds /dev/ipmi0 and goes through it. The same console text and
    status as korvex-sim; the dump equal to the flash, the package's parts in
    the flash afterwards, the backup equal to korvex-sim's, the restored bytes
    in the BMC. The restore runs beside a kcs.cfg, which the driver's way
    ignores and says so. The driver uses its interrupt throughout. Then a run
    on the raw ports while the driver holds them, refused, and one as nobody,
    who may not open /dev/ipmi0: status 4, no file."""
    c.load_driver()
    flash, knobs = dump_knobs(c)
    restore = random.randbytes(1000)
    c.file("fw.bin", c.package(16384, 0x10000))
    c.file("restore.bin", restore)
    c.bmc = knobs + ["--bmc-save-flash=" + c.path("flash-after.bin"), "--bmc-save-config=" + c.path("bmc-config.bin")]
    c.put("irq0", "grep ipmi_si /proc/interrupts")
    c.run("dump", "-d", "dump.bin")
    c.fetch("dump.bin")
    c.run("update", "-f", "fw.bin", "-r", "y")
    c.run("backup", "-c", "-d", "backup.bin")
    c.fetch("backup.bin")
    c.sh("printf 'CMD CA3 DATA CA2' > kcs.cfg")
    c.run("restore", "-c", "-f", "restore.bin")
    c.sh("rm kcs.cfg")
    c.put("irq1", "grep ipmi_si /proc/interrupts")
    c.run("ports", "--interface=ports", "-c", "-d", "refused.bin")
    c.cmd("nobody", "su -s /bin/sh nobody -c 'korvex -c -d refused.bin'")
    c.put("files", "ls")
    yield
    c.collect("load")
    runs = [("dump", knobs, ["-d", "dump.bin"], "driver"), ("update", [], ["-f", "fw.bin", "-r", "y"], "driver"),
            ("backup", [], ["-c", "-d", "backup.bin"], "driver"),
            ("restore", [], ["-c", "-f", "restore.bin"], "driver-kcs-cfg")]
    for name, bmc, args, way in runs:
        sim_out, _, sim_rc = c.sim(bmc, *args)
        same("%s console text through /dev/ipmi0" % name, sim_out, c.collect(name, sim_rc, way))
    same("dump file", flash, c.fetched("dump.bin"))
    c.verify_flash("flash-after.bin")
    same("backup file", c.sim_file("backup.bin"), c.fetched("backup.bin"))
    same("the BMC's configuration after the restore", restore, kq.read(c.path("bmc-config.bin")))
    during = interrupts(c.result("irq1")) - interrupts(c.result("irq0"))
    if during <= 0:
        raise Failure("no interrupt during the jobs: the driver polled")
    log("ok: %d interrupts during the four jobs" % during)
    err = refused(c, "ports")
    if not err.startswith("korvex: interface: KCS ports (--interface=ports)\n") or "the kernel's IPMI driver" not in err:
        raise Failure("the raw-port run was not refused:\n" + err)
    log("ok: the raw-port run was refused while the driver holds the ports")
    refused(c, "nobody", DRIVER + "\nkorvex: cannot open /dev/ipmi0: Permission denied (run as root)\n" + NOTHING_SENT)
    if "refused.bin" in c.result("files").decode().split():
        raise Failure("a refused run created a file")
    log("ok: refused runs created no file")


# A loop of Get Device ID through the driver, long enough to show its rate.
LOOP = 2000


def case_driver(c):
    """The kernel's IPMI driver against korvex-bmcd: the modules load, find
    QEMU's KCS interface and create /dev/ipmi0, and ipmi_si sets up its
    interrupt with none of the warnings of a BMC that lacks the Global
    Enables. Requests through /dev/ipmi0 get the simulated BMC's answers; the
    loop raises the interrupt at least once per request. Then the BMC falls
    silent: QEMU answers 0xC3 after its 4 s."""
    c.boot.ipmi_client()
    c.load_driver()
    c.put("irq0", "grep ipmi_si /proc/interrupts")
    c.cmd("devid", "ipmi-client 6 1")
    c.cmd("rate", "ipmi-client -n %d 6 1" % LOOP)
    c.put("irq1", "grep ipmi_si /proc/interrupts")
    c.cmd("silent", "ipmi-client -n 5000 6 1")
    c.cmd("dmesg", "dmesg")
    # Silent after the driver's start, the loop and some more answers.
    c.bmc = ["--bmcd-stop-after=%d" % (LOOP + 1000)]
    yield
    for name in ("load", "devid", "silent", "dmesg"):
        c.collect(name)
    rate = c.collect("rate")
    log("driver: %s Get Device ID requests/s through /dev/ipmi0 (%d in a row)" % (value(rate, "per_second"), LOOP))
    if value(rate, "ok") != str(LOOP):
        raise Failure("the loop did not get %d answers:\n%s" % (LOOP, rate.decode()))
    devid = [line for line in c.collect("devid").decode().split("\n") if line.startswith(("cc=", "data="))]
    same("Get Device ID through the driver", b"cc=0x00\ndata=20 01 02 10 02 00 00 00 00 00 00",
         "\n".join(devid).encode())
    dmesg = c.collect("dmesg").decode(errors="replace")
    log("\n".join(line for line in dmesg.split("\n") if "ipmi" in line.lower()))
    import re
    if not re.search(r"ipmi_si .*: Using irq [0-9]", dmesg):
        raise Failure("ipmi_si does not use an interrupt")
    warned = re.findall(r".*(?:Couldn't get irq info|does not support|Could not set the global enables|"
                        r"Error clearing flags|Invalid return|Error getting response).*", dmesg)
    if warned:
        raise Failure("the driver warned about the BMC:\n" + "\n".join(warned))
    log("ok: the driver uses its interrupt and did not warn")
    during = interrupts(c.result("irq1")) - interrupts(c.result("irq0"))
    log("interrupts during the loop: %d" % during)
    if during < LOOP:
        raise Failure("fewer interrupts than requests: the driver polled")
    silent = c.collect("silent")
    if value(silent, "cc") != "0xc3" or int(value(silent, "ok")) <= 0:
        raise Failure("a silent BMC:\n" + silent.decode())
    log("ok: a silent BMC gives 0xc3 (after %s s)" % value(silent, "last_seconds"))


def case_driver_gone(c):
    """The driver against a BMC that goes away: QEMU answers 0xD2 at once."""
    c.boot.ipmi_client()
    c.load_driver()
    c.cmd("gone", "ipmi-client -n 1000 6 1")
    c.cmd("again", "ipmi-client 6 1")
    c.bmc = ["--bmcd-exit-after=100"]
    yield
    c.collect("load")
    gone, again = c.collect("gone"), c.collect("again")
    if value(gone, "cc") != "0xd2" or int(value(gone, "ok")) <= 0 or value(again, "cc") != "0xd2":
        raise Failure("a BMC that went away:\n" + (gone + again).decode())
    log("ok: a BMC that went away gives 0xd2 (after %s s)" % value(again, "last_seconds"))


def case_openipmi_driver(c):
    """korvex through the kernel's IPMI driver against OpenIPMI's ipmi_sim, a
    BMC none of us wrote, which answers the tool's OEM requests and the Cold
    Reset with 0xC1: the update is refused ("Execute Cold Reset Fail"), and a
    backup fails and leaves the older backup.bin as it was. Each console text
    and status equals korvex-sim's given the same answers."""
    if not openipmi.installed():
        raise Skip("ipmi_sim is not installed (openipmi)")
    c.boot.ipmi_client()
    c.load_driver()
    older = random.randbytes(700)
    c.file("fw.bin", bytes(4096))
    c.file("backup.bin", older)
    c.cmd("devid", "ipmi-client 6 1")
    c.run("update", "-f", "fw.bin", "-r", "y")
    c.run("backup", "-c", "-d", "backup.bin")
    c.fetch("backup.bin")
    c.put("files", "ls")
    c.bmc = "ipmi_sim"
    yield
    c.collect("load")
    log("ipmi_sim's Get Device ID through /dev/ipmi0: %s" % value(c.collect("devid"), "data"))
    refusals = ["--bmc-fault=request-cc:get-fw-update-info:0xc1", "--bmc-fault=request-cc:cold-reset:0xc1"]
    for name, knobs, args in (("update", refusals, ["-f", "fw.bin", "-r", "y"]),
                              ("backup", ["--bmc-fault=request-cc:config-transfer:0xc1"], ["-c", "-d", "backup.bin"])):
        sim_out, _, sim_rc = c.sim(knobs, *args)
        out = c.collect(name, sim_rc, "driver")
        same("%s console text against ipmi_sim" % name, sim_out, out)
    if b"Execute Cold Reset Fail" not in c.got("update")[0]:
        raise Failure("the update was not refused with the cold reset failing")
    same("the older backup.bin", older, c.fetched("backup.bin"))
    if "incomplete" in c.result("files").decode():
        raise Failure("the failed backup left its temporary file")


# Groups of cases that share a boot: whether the guest has a KCS interface,
# and the cases in the order they run.
GROUPS = {
    "no-device": (False, [("banner", case_banner), ("no-device", case_no_device)]),
    "ports": (True, [("refusal", case_refusal), ("dump", case_dump), ("update", case_update), ("config", case_config)]),
    "driver": (True, [("driver-jobs", case_driver_jobs), ("driver", case_driver), ("driver-gone", case_driver_gone),
                      ("openipmi-driver", case_openipmi_driver)]),
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    parser.add_argument("group", choices=sorted(GROUPS))
    parser.add_argument("cases", nargs="*", help="only these cases of the group")
    args = parser.parse_args()
    kcs, cases = GROUPS[args.group]
    unknown = set(args.cases) - {name for name, _ in cases}
    if unknown:
        parser.error("not in group %s: %s" % (args.group, ", ".join(sorted(unknown))))
    if args.cases:
        cases = [(name, f) for name, f in cases if name in args.cases]
    tools = Tools(args.build_dir)
    work = tempfile.mkdtemp(prefix="korvex-guest-")
    start = time.monotonic()
    status = 0
    try:
        failures = run_group(tools, work, kcs, cases)
        t = os.times()
        result = ("FAIL " + ", ".join(failures)) if failures else "PASS"
        log("%s %s (%.1f s, CPU of QEMU and the tools %.1f s)" % (result, args.group, time.monotonic() - start,
                                                                 t.user + t.system + t.children_user + t.children_system))
        status = 1 if failures else 0
    except Skip as e:
        log("SKIP %s: %s" % (args.group, e))
        status = kq.SKIP
    except Failure as e:
        log("FAIL %s (%.1f s): %s" % (args.group, time.monotonic() - start, e))
        status = 1
    if status != 1 and not args.keep:
        shutil.rmtree(work, ignore_errors=True)
    else:
        log("work folder: %s" % work)
    return status


if __name__ == "__main__":
    sys.exit(main())
