#!/usr/bin/env python3
"""System tests: the static korvex in a minimal Linux guest under QEMU,
driving QEMU's KCS interface with real port I/O or through the kernel's IPMI
driver; every run compared with korvex-sim on the host. A group of cases
shares one boot; each case first asks the host, over the serial console, for
its own BMC (a fresh korvex-bmcd with the case's options, or ipmi_sim), so it
sees the BMC as if it had booted alone.

    linux_guest.py --build-dir BUILD [--keep] GROUP|CASE [CASE]...
"""

import os
import re
import shlex
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from korvex_qemu import (DONE, RESTORE, Boot, Case, Failure, Machine, Skip, expect_in, got, guest_kernel,  # noqa: E402
                         guest_modules, guest_results, initramfs, log, main, need, payload, read, same, write)

PORTS = "korvex: interface: KCS ports (no /dev/ipmi0)"
DRIVER = "korvex: interface: the kernel's IPMI driver, /dev/ipmi0"
# What the front end may say on standard error besides nothing: the way it took to the BMC.
WAYS = {
    "ports": [PORTS, "korvex: KCS ports: command/status 0xCA3, data 0xCA2 (default)"],
    "driver": [DRIVER],
    "driver-kcs-cfg": [DRIVER, "korvex: kcs.cfg is ignored: the kernel's IPMI driver has no use for KCS ports"],
}
# The driver loads afresh in each case, against that case's BMC; the case's
# dmesg starts there. It succeeds when /dev/ipmi0 appeared (within 10 s).
LOAD_DRIVER = """(for m in ipmi_devintf ipmi_si ipmi_msghandler; do rmmod $m 2>/dev/null; done; dmesg -c > /dev/null
for m in $(cat /lib/modules/order); do grep -q "^$m " /proc/modules || insmod /lib/modules/$m.ko || exit 1; done
i=0; while [ ! -c /dev/ipmi0 ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done
[ -c /dev/ipmi0 ] || { echo "no /dev/ipmi0" >&2; exit 1; })"""
# A case runs in a folder of its own, world-writable (an unprivileged korvex
# could write there: it must not), once the host answers that its BMC is in.
CASES_INIT = """case_start() {
  mkdir -p /work/$1; chmod 0777 /work/$1; cd /work/$1
  echo "@@KORVEX-CASE $1@@"; read -r answer
}
%s
echo "%s"
poweroff -f
"""
UPDATE = ["-f", "fw.bin", "-r", "y"]
NOTHING_SENT = "korvex: nothing was sent to the BMC\n"


class GuestCase(Case):
    """What a case queues for the guest, and its results afterwards; result
    names are the case's own."""

    def __init__(self, boot, name):
        super().__init__(boot, name)
        self.lines, self.bmc = [], None  # korvex-bmcd's options, "ipmi_sim", or None for no BMC

    def file(self, name, data):
        """A file in the case's folder in the guest and in korvex-sim's."""
        os.makedirs(os.path.join(self.boot.root, "work", self.name), exist_ok=True)
        for d in (os.path.join(self.boot.root, "work", self.name), self.sim_dir):
            write(os.path.join(d, name), data)

    def sh(self, line):
        self.lines.append(line + "\n")

    def cmd(self, name, command):
        """A shell command whose output, errors and status come back as NAME."""
        self.sh("run %s.%s %s" % (self.name, name, shlex.quote(command)))

    def run(self, name, *args):
        self.cmd(name, "korvex" + "".join(" " + shlex.quote(a) for a in args))

    def compare(self, name, args, knobs=(), marker=None, way="ports", status=None):
        """korvex ARGS in the guest prints korvex-sim's text for the same BMC
        and ends with its status (and status, when given); korvex-sim's run
        shows marker, so that what is compared is a run of the job."""
        self.run(name, *args)

        def check():
            out, _, rc = self.sim("korvex", knobs, args)
            expect_in("korvex-sim's %s" % name, out.decode(errors="replace"), marker or "")
            same("%s console text" % name, out, self.collect(name, rc if status is None else status, way))
            same("korvex-sim's status for %s" % name, status if status is not None else rc, rc)
        self.checks.append(check)

    def fetch(self, name):
        self.cmd("file." + name, "cat " + name)

    def load_driver(self):
        guest_modules(self.boot.kernel, self.boot.root, ["ipmi_msghandler", "ipmi_si", "ipmi_devintf"])
        self.cmd("load", LOAD_DRIVER)
        self.checks.append(lambda: self.collect("load"))

    def got(self, name):
        """NAME's output, errors and exit status."""
        return got(self.boot.results, "%s.%s" % (self.name, name))

    def collect(self, name, want=0, way="ports"):
        """NAME ran and ended with the status expected; the front end said at
        most which way it took to the BMC."""
        out, err, rc = self.got(name)
        if rc != want:
            raise Failure("%s: exit status %d, not %d\n%s" % (name, rc, want, err))
        if err and err != "\n".join(WAYS[way]) + "\n":
            raise Failure("%s: the front end complained:\n%s" % (name, err))
        return out


class LinuxBoot(Boot):
    """One Linux guest (Debian's kernel, an initramfs of busybox, korvex and
    ipmi-client): the cases' lines, the QEMU run, and the BMC behind the KCS
    interface that each case asks for in turn."""
    Case = GuestCase

    def __init__(self, tools, work, kcs):
        super().__init__(tools, work)
        need((tools.korvex, "korvex-static"), (tools.client, "ipmi-client"))
        self.kcs, self.kernel, self.root = kcs, guest_kernel(), os.path.join(work, "root")
        for d, mode in (("bin", 0o755), ("etc", 0o755), ("tmp", 0o1777), ("work", 0o777)):
            os.makedirs(os.path.join(self.root, d))
            os.chmod(os.path.join(self.root, d), mode)
        write(os.path.join(self.root, "etc/passwd"),
              "root:x:0:0:root:/root:/bin/sh\nnobody:x:65534:65534:nobody:/nonexistent:/bin/sh\n")
        write(os.path.join(self.root, "etc/group"), "root:x:0:\nnogroup:x:65534:\n")
        shutil.copy(tools.korvex, os.path.join(self.root, "bin/korvex"))
        shutil.copy(tools.client, os.path.join(self.root, "bin/ipmi-client"))

    def start(self, cases):
        self.cases = cases
        script = "".join("case_start %s\n" % c.name + "".join(c.lines) for c in cases)
        initrd = initramfs(self.root, CASES_INIT % (script, DONE), os.path.join(self.work, "initrd.gz"))
        # TCG by default: KVM is often missing, and nested KVM can hang at boot.
        m = self.machine = Machine(self.tools, self.work, [
            "-machine", "pc,accel=" + ("kvm:tcg" if os.environ.get("KORVEX_GUEST_KVM") else "tcg"), "-kernel",
            self.kernel, "-initrd", initrd, "-append", "console=ttyS0 quiet loglevel=1 panic=-1 rdinit=/init"],
            "extern" if self.kcs else None, int(os.environ.get("KORVEX_GUEST_TIMEOUT", "600")))
        console = m.run([("@@KORVEX-CASE %s@@" % c.name, lambda c=c: m.swap(c, c.bmc), c.name + "\n", None)
                         for c in cases])
        if DONE not in console:
            raise Failure("the guest did not run its cases\n--- console ---\n" + console[-3000:])
        self.results = guest_results(console)

    def blame(self, console):
        return ([c.name for c in self.cases if "@@KORVEX-CASE %s@@" % c.name in console] or [None])[-1]


def fields(out):
    """ipmi-client's KEY=VALUE lines."""
    return dict(line.split("=", 1) for line in out.decode(errors="replace").split("\n") if "=" in line)


def interrupts(out):
    return int((out.split() + [0, 0])[1])


def refused(c, name, err_expected=None):
    out, err, rc = c.got(name)
    if rc != 4 or out:
        raise Failure("%s: status %d or output %r" % (name, rc, out[:200]))
    if err_expected is not None:
        same("the refusal " + name, err_expected, err)
    return err


# ---- cases: each queues what its guest does, yields while the guest runs, then checks ----

def case_banner(c):
    """No arguments: the usage banner only, as on the host, and the usage status."""
    c.compare("banner", [], status=2)
    yield


def case_no_device(c):
    """No KCS interface: every port reads 0xFF, so the BMC never seems ready.
    The update gives up after its two bounded waits (the request, then the
    cold reset) with status 1. Nothing answering and a controller that never
    clears IBF look alike from the host, so korvex-sim with that fault must
    print the same."""
    c.file("fw.bin", bytes(4096))
    c.compare("nodev", UPDATE, ["--bmc-fault=kcs-ibf-stuck"], "ERROR !! BMC did not in correct state", status=1)
    yield


def case_update(c):
    """An update over real port I/O: korvex-sim's text, and every part in the
    BMC's flash afterwards."""
    c.file("fw.bin", c.boot.package)
    c.bmc = ["--bmc-save-flash=" + c.path("flash.bin")]
    c.compare("update", UPDATE, marker="Update Complete")
    yield
    c.boot.verify_flash(c.path("flash.bin"))


def dump_flash(c, seed):
    """A short dump (4 KiB announced and sent) of a flash with known,
    non-blank contents: only such a dump shows that no byte was lost or
    invented on the way."""
    c.flash = payload(4096, seed)
    return ["--bmc-flash=" + write(c.path("flash.bin"), c.flash), "--bmc-dump-length=4096"]


def case_dump(c):
    """The dump's own 50-second wait for the BMC makes this the longest case."""
    c.bmc = dump_flash(c, 6)
    c.compare("dump", ["-d", "dump.bin"], c.bmc, "Phase2")
    c.fetch("dump.bin")
    yield
    same("dump file against korvex-sim's", read(os.path.join(c.sim_dir, "dump.bin")), c.collect("file.dump.bin"))
    same("dump file against the flash", c.flash, c.collect("file.dump.bin"))


def case_config(c):
    """A backup, then a restore of other bytes: the backup is korvex-sim's
    byte for byte, and the BMC then holds exactly the restored bytes."""
    c.file("restore.bin", RESTORE)
    c.bmc = ["--bmc-save-config=" + c.path("bmc-config.bin")]
    c.compare("backup", ["-c", "-d", "backup.bin"], marker="Done")
    c.fetch("backup.bin")
    c.compare("restore", ["-c", "-f", "restore.bin"])
    yield
    same("backup file", read(os.path.join(c.sim_dir, "backup.bin")), c.collect("file.backup.bin"))
    same("the BMC's configuration after the restore", RESTORE, read(c.path("bmc-config.bin")))


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


def case_refusal(c):
    """The front end's refusals, on a kernel that does give root the ports:
    as nobody (EPERM); as root, the PLANTED kcs.cfg files; then with a device
    node of the kernel's IPMI driver present (/dev/null's, so no IPMI device):
    on the ports, and on the driver that the node makes korvex choose. The BMC
    sees no request from any of them, and no file appears; then the same
    backup on the ports with --force-with-kernel-driver and a good kcs.cfg
    runs as on korvex-sim, and the BMC sees exactly korvex-sim's requests."""
    c.cmd("nobody", "su -s /bin/sh nobody -c 'korvex -d dump.bin'")
    for name, setup, _ in PLANTED:
        c.sh(setup)
        c.run(name, "-d", "dump.bin")
    c.sh("rm kcs.cfg; mknod /dev/ipmi0 c 1 3")
    c.run("driver", "--interface=ports", "-c", "-d", "backup.bin")
    c.run("bogus", "-c", "-d", "backup.bin")
    c.cmd("files", "ls")
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
    refused(c, "nobody", PORTS + "\nkorvex: cannot access I/O ports 0xCA2/0xCA3: Operation not permitted "
            "(run as root)\n" + NOTHING_SENT)
    expect_in("the refusal driver", "\n" + refused(c, "driver"),
              "\nkorvex: the kernel's IPMI driver is loaded (/dev/ipmi0 exists)")
    refused(c, "bogus", DRIVER + "\nkorvex: /dev/ipmi0 is not the kernel's IPMI device: Inappropriate ioctl for "
            "device\n" + NOTHING_SENT)
    if set(c.got("files")[0].decode().split()) & {"dump.bin", "backup.bin"}:
        raise Failure("a refused run created a file")
    sim_out, sim_err, _ = c.sim("korvex", ["--stats"], ["-c", "-d", "forced.bin"])
    expect_in("korvex-sim's backup", sim_out.decode(), "Done")
    out, err, rc = c.got("forced")
    if rc != 0 or "korvex: warning: " not in err:
        raise Failure("the forced run: status %d, and a warning expected:\n%s" % (rc, err))
    expect_in("the forced run's errors", err, "korvex: KCS ports: command/status 0xCA3, data 0xCA2 (from kcs.cfg)\n")
    same("forced backup console text", sim_out, out)
    same("the requests the BMC saw (korvex-sim's backup alone)", re.findall(r"^exchanges: (\d+)$", sim_err, re.M),
         [str(read(c.bmcd_log).count(b"korvex-bmcd: seq "))])


def case_driver_jobs(c):
    """The four jobs through the kernel's IPMI driver against korvex-bmcd:
    korvex finds /dev/ipmi0 and goes through it, with korvex-sim's text and
    status; the dump equal to the flash, the package's parts in the flash
    afterwards, the backup equal to korvex-sim's, the restored bytes in the
    BMC. The restore runs beside a kcs.cfg, which the driver's way ignores and
    says so. The driver uses its interrupt throughout. Then a run on the raw
    ports while the driver holds them, refused, and one as nobody, who may not
    open /dev/ipmi0: status 4, no file."""
    c.load_driver()
    dump = dump_flash(c, 7)
    c.file("fw.bin", c.boot.package)
    c.file("restore.bin", RESTORE)
    c.bmc = dump + ["--bmc-save-flash=" + c.path("flash-after.bin"), "--bmc-save-config=" + c.path("bmc-config.bin")]
    c.cmd("irq0", "grep ipmi_si /proc/interrupts")
    c.compare("dump", ["-d", "dump.bin"], dump, way="driver")
    c.fetch("dump.bin")
    c.compare("update", UPDATE, way="driver")
    c.compare("backup", ["-c", "-d", "backup.bin"], way="driver")
    c.fetch("backup.bin")
    c.sh("printf 'CMD CA3 DATA CA2' > kcs.cfg")
    c.compare("restore", ["-c", "-f", "restore.bin"], way="driver-kcs-cfg")
    c.sh("rm kcs.cfg")
    c.cmd("irq1", "grep ipmi_si /proc/interrupts")
    c.run("ports", "--interface=ports", "-c", "-d", "refused.bin")
    c.cmd("nobody", "su -s /bin/sh nobody -c 'korvex -c -d refused.bin'")
    c.cmd("files", "ls")
    yield
    same("dump file", c.flash, c.collect("file.dump.bin"))
    c.boot.verify_flash(c.path("flash-after.bin"))
    same("backup file", read(os.path.join(c.sim_dir, "backup.bin")), c.collect("file.backup.bin"))
    same("the BMC's configuration after the restore", RESTORE, read(c.path("bmc-config.bin")))
    if interrupts(c.got("irq1")[0]) <= interrupts(c.got("irq0")[0]):
        raise Failure("no interrupt during the jobs: the driver polled")
    err = refused(c, "ports")
    if not err.startswith("korvex: interface: KCS ports (--interface=ports)\n") or "kernel's IPMI driver" not in err:
        raise Failure("the raw-port run was not refused:\n" + err)
    refused(c, "nobody", DRIVER + "\nkorvex: cannot open /dev/ipmi0: Permission denied (run as root)\n" + NOTHING_SENT)
    if "refused.bin" in c.got("files")[0].decode().split():
        raise Failure("a refused run created a file")


LOOP = 2000  # Get Device ID through the driver, long enough to show its rate


def case_driver(c):
    """The kernel's IPMI driver against korvex-bmcd: the modules load, find
    QEMU's KCS interface and create /dev/ipmi0, and ipmi_si sets up its
    interrupt with none of the warnings of a BMC that lacks the Global
    Enables. Requests through /dev/ipmi0 get the simulated BMC's answers; the
    loop raises the interrupt at least once per request. Then the BMC falls
    silent (after the driver's start, the loop and some more answers): QEMU
    answers 0xC3 after its 4 s."""
    c.load_driver()
    for name, command in (("irq0", "grep ipmi_si /proc/interrupts"), ("devid", "ipmi-client 6 1"),
                          ("rate", "ipmi-client -n %d 6 1" % LOOP), ("irq1", "grep ipmi_si /proc/interrupts"),
                          ("silent", "ipmi-client -n 5000 6 1"), ("dmesg", "dmesg")):
        c.cmd(name, command)
    c.bmc = ["--bmcd-stop-after=%d" % (LOOP + 1000)]
    yield
    rate, silent, devid = (fields(c.collect(name)) for name in ("rate", "silent", "devid"))
    dmesg = c.collect("dmesg").decode(errors="replace")
    log("driver: %s Get Device ID requests/s through /dev/ipmi0 (%d in a row)" % (rate.get("per_second"), LOOP))
    same("the answers of the loop", str(LOOP), rate.get("ok"))
    same("Get Device ID through the driver", "0x00 20 01 02 10 02 00 00 00 00 00 00",
         "%s %s" % (devid.get("cc"), devid.get("data")))
    log("\n".join(line for line in dmesg.split("\n") if "ipmi" in line.lower()))
    if not re.search(r"ipmi_si .*: Using irq [0-9]", dmesg):
        raise Failure("ipmi_si does not use an interrupt")
    same("the driver's warnings about the BMC", [], re.findall(
        r".*(?:Couldn't get irq info|does not support|Could not set the global enables|Error clearing flags|"
        r"Invalid return|Error getting response).*", dmesg))
    if interrupts(c.got("irq1")[0]) - interrupts(c.got("irq0")[0]) < LOOP:
        raise Failure("fewer interrupts than requests: the driver polled")
    if silent.get("cc") != "0xc3" or int(silent.get("ok", 0)) <= 0:
        raise Failure("a silent BMC: %s" % silent)


def case_driver_gone(c):
    """The driver against a BMC that goes away: QEMU answers 0xD2 at once."""
    c.load_driver()
    c.cmd("gone", "ipmi-client -n 1000 6 1")
    c.cmd("again", "ipmi-client 6 1")
    c.bmc = ["--bmcd-exit-after=100"]
    yield
    gone, again = fields(c.collect("gone")), fields(c.collect("again"))
    if gone.get("cc") != "0xd2" or int(gone.get("ok", 0)) <= 0 or again.get("cc") != "0xd2":
        raise Failure("a BMC that went away: %s, then %s" % (gone, again))


def case_openipmi_driver(c):
    """korvex through the kernel's IPMI driver against OpenIPMI's ipmi_sim, a
    BMC none of us wrote, which answers the tool's OEM requests and the Cold
    Reset with 0xC1: the update is refused ("Execute Cold Reset Fail"), and a
    backup fails and leaves the older backup.bin as it was. Each console text
    and status equals korvex-sim's given the same answers."""
    if not shutil.which("ipmi_sim"):
        raise Skip("ipmi_sim is not installed (openipmi)")
    c.load_driver()
    older = payload(700, 8)
    c.file("fw.bin", bytes(4096))
    c.file("backup.bin", older)
    c.cmd("devid", "ipmi-client 6 1")
    c.compare("update", UPDATE, ["--bmc-fault=request-cc:get-fw-update-info:0xc1",
                                 "--bmc-fault=request-cc:cold-reset:0xc1"], "Execute Cold Reset Fail", "driver")
    c.compare("backup", ["-c", "-d", "backup.bin"], ["--bmc-fault=request-cc:config-transfer:0xc1"], way="driver")
    c.fetch("backup.bin")
    c.cmd("files", "ls")
    c.bmc = "ipmi_sim"
    yield
    log("ipmi_sim's Get Device ID through /dev/ipmi0: %s" % fields(c.collect("devid")).get("data"))
    same("the older backup.bin", older, c.collect("file.backup.bin"))
    if "incomplete" in c.got("files")[0].decode():
        raise Failure("the failed backup left its temporary file")


GROUPS = {
    "no-device": (lambda t, w: LinuxBoot(t, w, False), [("banner", case_banner), ("no-device", case_no_device)]),
    "ports": (lambda t, w: LinuxBoot(t, w, True), [("refusal", case_refusal), ("dump", case_dump),
                                                   ("update", case_update), ("config", case_config)]),
    "driver": (lambda t, w: LinuxBoot(t, w, True), [
        ("driver-jobs", case_driver_jobs), ("driver", case_driver), ("driver-gone", case_driver_gone),
        ("openipmi-driver", case_openipmi_driver)]),
}

if __name__ == "__main__":
    sys.exit(main(GROUPS))
