#!/usr/bin/env python3
"""QEMU system tests: Korvex.efi in OVMF's UEFI Shell or started by the
firmware (this file) and korvex in a minimal Linux guest (linux_guest.py),
over QEMU's KCS interface to QEMU's own BMC, korvex-bmcd or OpenIPMI's
ipmi_sim. Every run is compared with korvex-sim's run of the same command line
against the same simulated BMC.

    korvex_qemu.py --build-dir BUILD [--keep] GROUP|CASE [CASE]...

The cases of a group share one boot; cases named alone boot by themselves.
Exit status: 0 pass, 1 fail, 77 skipped (a prerequisite is missing).
"""

import argparse
import base64
import contextlib
import difflib
import gzip
import os
import random
import re
import shlex
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import uuid

SKIP = 77
OVMF = "/usr/share/OVMF/OVMF_%s_4M%s.fd"
# OVMF with a test key enrolled and Secure Boot on; the key's password is "snakeoil".
SNAKEOIL_KEY, SNAKEOIL_CERT = "/usr/share/ovmf/PkKek-1-snakeoil.key", "/usr/share/ovmf/PkKek-1-snakeoil.pem"
ANSI = re.compile(rb"\x1b\[[0-9;=?]*[A-Za-z]")
BEGIN, END = "KORVEX-RUN-BEGIN", "KORVEX-RUN-END"
BMC_WAIT = 20  # seconds for a BMC to be behind the interface


class Skip(Exception):
    pass


class Failure(Exception):
    pass


def log(msg):
    print(msg, flush=True)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb" if isinstance(data, bytes) else "w") as f:
        f.write(data)
    return path


def payload(size, seed=1):
    return random.Random(seed).randbytes(size)


def run(*command, **options):
    """A helper program's output; it failing fails the case with its output."""
    r = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                       env=dict(os.environ, MTOOLS_SKIP_CHECK="1"), **options)
    if r.returncode:
        raise Failure("%s failed (status %d): %s" % (command[0], r.returncode, r.stdout[-2000:].decode("latin-1")))
    return r.stdout


def same(what, expected, got):
    """Byte for byte, with a readable difference when not."""
    if expected == got:
        return
    try:
        text = [x.decode() if isinstance(x, bytes) else str(x) for x in (expected, got)]
    except UnicodeDecodeError:  # binary: where it starts to differ
        expected, got = expected or b"", got or b""
        at = next((i for i, (a, b) in enumerate(zip(expected, got)) if a != b), min(len(expected), len(got)))
        raise Failure("%s differs: %d bytes expected, %d got, the first difference at byte %d"
                      % (what, len(expected), len(got), at))
    diff = "\n".join(difflib.unified_diff(text[0].split("\n"), text[1].split("\n"), "expected", "got", lineterm=""))
    raise Failure("%s differs:\n%s" % (what, diff[:4000]))


def expect_in(what, text, *needles):
    for n in needles:
        if n not in text:
            raise Failure("%s: no %r in:\n%s" % (what, n, text[-3000:]))


def need(*things):
    """Skips unless each (path or program, what) is there."""
    for thing, what in things:
        if not (os.path.exists(thing) or shutil.which(thing, path=os.environ["PATH"] + ":/usr/sbin:/sbin")):
            raise Skip("%s missing" % what)


def clean(raw):
    """Console bytes as the guest meant them: no ANSI sequences, CRLF as LF."""
    return ANSI.sub(b"", raw).replace(b"\r\n", b"\n").decode("utf-8", errors="replace")


# OpenIPMI's ipmi_sim, a BMC none of us wrote: one BMC at 0x20 with a VM-codec
# serial listener for QEMU's ipmi-bmc-extern, no LAN. Its Get Device ID: no
# device SDRs, device revision 0, firmware 1.0, IPMI 2.0, the usual support
# bits, an unassigned manufacturer and product.
LAN_CONF = """\
name "korvex"
set_working_mc 0x20
  serial kcs 127.0.0.1 {port} codec VM
"""
BMC_EMU = """\
mc_setbmc 0x20
mc_add 0x20 0 no-device-sdrs 0x00 1 0 0x9f 0x000000 0x0000
mc_enable 0x20
"""


def pump(a, b):
    with contextlib.suppress(OSError):
        while data := a.recv(4096):
            b.sendall(data)


class IpmiSim:
    """A fresh ipmi_sim, relayed to QEMU's socket: QEMU is the server of the
    link, so a BMC that listens itself needs someone to connect both."""

    def __init__(self, folder):
        os.makedirs(os.path.join(folder, "state"), exist_ok=True)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        write(os.path.join(folder, "lan.conf"), LAN_CONF.format(port=port))
        write(os.path.join(folder, "bmc.emu"), BMC_EMU)
        self.sockets, self.port, self.folder = [], port, folder
        with open(os.path.join(folder, "ipmi_sim.log"), "ab") as out:
            self.process = subprocess.Popen(["ipmi_sim", "-n", "-c", "lan.conf", "-f", "bmc.emu", "-s", "state"],
                                            cwd=folder, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)

    def connect(self, qemu_socket):
        deadline = time.monotonic() + BMC_WAIT
        for family, address in ((socket.AF_INET, ("127.0.0.1", self.port)), (socket.AF_UNIX, qemu_socket)):
            self.sockets.append(socket.socket(family))
            while self.sockets[-1].connect_ex(address):  # each listens a moment after it starts
                if self.process.poll() is not None or time.monotonic() > deadline:
                    raise Failure("ipmi_sim did not start, or QEMU did not listen; see %s" % self.folder)
                time.sleep(0.05)
                self.sockets[-1].close()
                self.sockets[-1] = socket.socket(family)
        sim, qemu = self.sockets
        qemu.settimeout(BMC_WAIT)
        try:  # QEMU speaks first, once it has taken the connection
            sim.sendall(qemu.recv(4096))
        except OSError:
            raise Failure("QEMU did not take the link to ipmi_sim")
        qemu.settimeout(None)
        for a, b in ((qemu, sim), (sim, qemu)):
            threading.Thread(target=pump, args=(a, b), daemon=True).start()

    def close(self):
        """Kills ipmi_sim at once, as a BMC that loses power."""
        for s in self.sockets:
            with contextlib.suppress(OSError):
                s.shutdown(socket.SHUT_RDWR)  # wakes the pumps
            s.close()
        self.process.kill()
        self.process.wait()


class Machine:
    """One QEMU run: its console read as it comes, keys typed when texts
    appear, and the BMC behind its KCS interface, which may change while the
    guest runs. QEMU is the server of the BMC's socket, so that one BMC can
    leave and the next connect."""

    def __init__(self, tools, work, args, kcs, timeout):
        self.tools, self.work, self.timeout, self.socket = tools, work, timeout, os.path.join(work, "bmc.sock")
        self.args = args + {None: [], "qemu": ["-device", "ipmi-bmc-sim,id=bmc0"], "extern": [
            "-chardev", "socket,id=ipmi0,path=%s,server=on,wait=off" % self.socket,
            "-device", "ipmi-bmc-extern,chardev=ipmi0,id=bmc0"]}[kcs] + ["-device", "isa-ipmi-kcs,bmc=bmc0"] * bool(kcs)
        self.output, self.times, self.swaps = bytearray(), [], 0
        self.bmc = self.owner = self.stopped_by = None

    def _read(self, stream):
        while chunk := stream.read1(4096):
            self.output += chunk
            self.times.append((len(self.output), time.monotonic()))  # for the benchmarks' timings

    def at(self, needle, last=False):
        """When the console first (or last) held needle; None if it never did."""
        at = (bytes(self.output).rfind if last else bytes(self.output).find)(needle.encode())
        return next((t for length, t in self.times if at >= 0 and length >= at + len(needle)), None)

    def type(self, key):
        with contextlib.suppress(BrokenPipeError):  # QEMU is on its way out
            self.process.stdin.write(key.encode())
            self.process.stdin.flush()

    def swap(self, owner, bmc):
        """Ends the BMC behind the guest and puts in a fresh one: korvex-bmcd
        with these options, "ipmi_sim", or none. A BMC that fails fails its
        owner (a case, whose runs then meet no BMC), not the boot."""
        for c, step in ((self.owner, self._bmc_out), (owner, lambda: self._bmc_in(owner, bmc))):
            try:
                step()
            except (Failure, OSError) as e:
                if c:
                    c.failure = c.failure or str(e)
        self.owner = owner

    def _bmc_in(self, owner, bmc):
        if bmc == "ipmi_sim":
            self.bmc = IpmiSim(owner.path("openipmi"))
            self.bmc.connect(self.socket)
        elif bmc is not None:
            self.swaps += 1
            self.bmc_log = owner.bmcd_log = owner.path("bmcd-%d.log" % self.swaps)
            with open(self.bmc_log, "wb") as out:
                self.bmc = subprocess.Popen([self.tools.bmcd, "--connect-timeout=%d" % BMC_WAIT, "--verbose"] + bmc
                                            + [self.socket], stdout=out, stderr=subprocess.STDOUT, cwd=owner.work)
            # QEMU sends its capabilities once it has taken the connection.
            deadline = time.monotonic() + BMC_WAIT
            while b"control command 0x08" not in read(self.bmc_log):
                if self.bmc.poll() is not None or time.monotonic() > deadline:
                    raise Failure("korvex-bmcd did not connect:\n" + read(self.bmc_log).decode(errors="replace"))
                time.sleep(0.05)

    def _bmc_out(self):
        """The BMC leaves as at power-off: korvex-bmcd saves what it was asked
        to (it ends on SIGTERM as when QEMU closes the link)."""
        bmc, self.bmc = self.bmc, None
        if isinstance(bmc, IpmiSim) or bmc is None:
            return bmc and bmc.close()
        bmc.terminate()
        try:
            status = bmc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            bmc.kill()
            status = bmc.wait()
        if status:
            raise Failure("korvex-bmcd ended with status %d:\n%s" % (status, read(self.bmc_log)[-2000:].decode()))

    def run(self, steps=(), stop_on=()):
        """Boots and returns the console text. steps: (trigger, action, key,
        until), in order: once trigger has appeared after the one before,
        action() runs and key is typed, again every second until `until`
        appears (a key typed while the shell runs a script is now and then
        lost). stop_on: texts that end the boot."""
        if os.path.exists(self.socket):
            os.remove(self.socket)
        self.process = subprocess.Popen([self.tools.qemu, "-m", "256", "-smp", "1", "-no-reboot", "-net", "none",
                                         "-display", "none", "-serial", "stdio", "-monitor", "none"] + self.args,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        reader = threading.Thread(target=self._read, args=(self.process.stdout,), daemon=True)
        reader.start()
        pending, searched, repeat, failure = list(steps), 0, None, None
        deadline = time.monotonic() + self.timeout
        try:
            while self.process.poll() is None:
                text = clean(bytes(self.output))  # the firmware colours words on its prompts
                if time.monotonic() > deadline:
                    failure = "QEMU did not finish within %d s" % self.timeout
                elif "!!!! X64 Exception Type" in text:
                    time.sleep(0.5)
                    failure = "the guest took a CPU exception"
                self.stopped_by = next((t for t in stop_on if t in text), None)
                if failure or self.stopped_by:
                    break
                if repeat and text.find(repeat[1], searched) >= 0:
                    repeat = None
                elif repeat and time.monotonic() >= repeat[2]:
                    self.type(repeat[0])
                    repeat = (repeat[0], repeat[1], time.monotonic() + 1)
                elif not repeat and pending and text.find(pending[0][0], searched) >= 0:
                    trigger, action, key, until = pending.pop(0)
                    searched = text.find(trigger, searched) + len(trigger)
                    if action:
                        action()
                    if key:
                        self.type(key)
                        repeat = (key, until, time.monotonic() + 1) if until else None
                time.sleep(0.05)
        finally:
            if self.process.poll() is None:
                self.process.kill()
            self.process.wait()
            reader.join(timeout=5)
            self.swap(None, None)
        write(os.path.join(self.work, "console.log"), bytes(self.output))
        if failure:
            raise Failure(failure + "\n--- console (last 3000 bytes) ---\n" + clean(bytes(self.output))[-3000:])
        return clean(bytes(self.output))


class Tools:
    def __init__(self, build):
        self.build = os.path.abspath(build)
        for name, path in (("efi", "uefi/Korvex.efi"), ("img", "uefi/Korvex.img"), ("sim", "korvex-sim"),
                           ("bmcd", "korvex-bmcd/korvex-bmcd"), ("pack", "korvex-pack"),
                           ("korvex", "korvex/korvex-static"), ("stage", "korvex-stage/korvex-stage-static")):
            setattr(self, name, os.path.join(self.build, "tools", path))
        self.client = os.path.join(self.build, "tests/system-linux/ipmi-client")
        self.qemu = shutil.which("qemu-system-x86_64") or "qemu-system-x86_64"
        need((self.sim, "korvex-sim"), (self.pack, "korvex-pack"))

    def package(self, work, part, size=0x10000, *options):
        """An update package of one part (at 0) from korvex-pack."""
        out = os.path.join(work, "fw.bin")
        run(self.pack, "build", "--part", "a.bin=%s@0" % write(out + ".part", part), "--size", "0x%x" % size, "-o", out,
            *options)
        return read(out)


class Case:
    """One case's side of a boot: its folder, korvex-sim's folder, what its
    runs must show once the boot is over, and why it failed."""

    def __init__(self, boot, name):
        self.boot, self.tools, self.name, self.work = boot, boot.tools, name, os.path.join(boot.work, name)
        self.sim_dir = os.path.join(self.work, "sim")
        os.makedirs(self.sim_dir)
        self.checks, self.failure = [], None

    def path(self, name):
        return os.path.join(self.work, name)

    def sim(self, program, knobs, args, files=None, keys=""):
        """korvex-sim with the guest's program name and these BMC options, in
        the case's sim folder: (output, errors, status)."""
        for name, data in (files or {}).items():
            write(os.path.join(self.sim_dir, name), data)
        r = subprocess.run([program] + list(knobs) + ["--"] + list(args), executable=self.tools.sim, cwd=self.sim_dir,
                           input=keys.encode(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
        return r.stdout, r.stderr.decode(errors="replace"), r.returncode


class Boot:
    """What every boot has: the update package of its cases, built once."""
    Case = Case

    def __init__(self, tools, work):
        need((tools.qemu, "qemu-system-x86_64"), (tools.bmcd, "korvex-bmcd"))
        self.tools, self.work, self.machine = tools, work, None
        self.package = tools.package(work, PART, 0x10000, "--signature", "KORVEX_TEST@0x4000", "--footer", "enc")
        self.package_file = os.path.join(work, "fw.bin")

    def verify_flash(self, flash):
        run(self.tools.pack, "verify-dump", self.package_file, flash)

    def blame(self, console):
        return None


def run_group(boot, cases):
    """Boots once for the cases, (name, function) pairs: each function queues
    what its guest does, yields while the guest runs, then checks. The
    outcome of each: (0, ""), (1, why) or (SKIP, why)."""
    results, queued = {}, []
    for name, function in cases:
        c = boot.Case(boot, name)
        c.steps = function(c)
        results[name] = outcome(lambda: next(c.steps))
        queued += [c] * (results[name][0] == 0)
    started = outcome(lambda: boot.start(queued)) if queued else (0, "")
    # The case the guest was in when the boot went wrong is to blame.
    blamed = started[0] and (boot.blame(clean(bytes(boot.machine.output)) if boot.machine else "") or queued[0].name)
    for c in queued:
        results[c.name] = outcome(lambda: finish(c)) if not started[0] else started if (
            c.name == blamed or started[0] == SKIP) else (1, "not checked: the boot ended in %s" % blamed)
    return results


def outcome(step):
    try:
        step()
        return 0, ""
    except Exception as e:  # a fault of the harness too fails the case, named
        return (SKIP if isinstance(e, Skip) else 1), (str(e) if isinstance(e, (Skip, Failure)) else repr(e))


def finish(c):
    if c.failure:
        raise Failure(c.failure)
    for check in c.checks:
        check()
    next(c.steps, None)


def main(groups):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    parser.add_argument("names", nargs="+", help="a group (and some of its cases), or cases of one group")
    args = parser.parse_args()
    group = next((g for g, (_, cases) in groups.items() if args.names[0] in [g] + [n for n, _ in cases]), None)
    if not group:
        parser.error("no group or case %s" % args.names[0])
    boot_kind, cases = groups[group]
    cases = [(n, f) for n, f in cases if n in args.names or args.names == [group]]
    base = os.path.join(os.path.abspath(args.build_dir), "tests/system/work")
    os.makedirs(base, exist_ok=True)
    work = tempfile.mkdtemp(prefix=args.names[0] + "-", dir=base)
    start = time.monotonic()
    try:
        results = run_group(boot_kind(Tools(args.build_dir), work), cases)
    except Skip as e:
        results = {name: (SKIP, str(e)) for name, _ in cases}
    for name, (status, why) in results.items():
        log("%s %s%s" % ({0: "PASS", 1: "FAIL", SKIP: "SKIP"}[status], name, ": " + why if why else ""))
    # The CPU time beside the wall time: a guest that mostly waits lets the
    # scheduler run more such boots at once (tests/system/CMakeLists.txt).
    t = os.times()
    log("%s: %.1f s, CPU of QEMU and the tools %.1f s" % (" ".join(args.names), time.monotonic() - start,
                                                         t.user + t.system + t.children_user + t.children_system))
    failed = any(status == 1 for status, _ in results.values())
    if failed or args.keep:
        log("work folder: %s" % work)
    else:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failed else SKIP if all(status == SKIP for status, _ in results.values()) else 0


# ---- Korvex.efi in OVMF's UEFI Shell ----

PROGRAM = "FS0:\\Korvex.efi"  # as the shell names it; korvex-sim gets the same name
QEMU_BMC = ["--bmc-fault=request-cc:%s:0xc1" % r for r in (  # QEMU's own BMC knows no OEM request
    "usb-update-info", "send-block-info", "receive-fw-data", "get-fw-update-info", "get-fw-update-progress",
    "prepare-dump-flash", "check-dump-flash-complete", "get-dump-flash-data", "config-transfer")]
# ipmi_sim also has no Cold Reset handler; it answers each at once with 0xC1.
OPENIPMI = QEMU_BMC + ["--bmc-fault=request-cc:cold-reset:0xc1"]
BMC_GONE = [f.replace(":0xc1", ":0xd2") for f in OPENIPMI]  # QEMU's answer while no BMC is there
FUNCTION = "FUNCTION   :  IPMI FIRMWARE UPDATE UTILITY"
BAD_OPTION = "ERROR:PLEASE CHECK THE INPUT OPTIONS, THERE ARE NO SUCH OPTIONS:-x"
WRONG_IMAGE = "Please select the correct image file and try again."
REFUSED = ["[doIPMICmd] Abnormal. CompCode == 0xc1", "Error: doIPMICmd failed"]
BACKUP_MODE = "=== IPMI Configuration Backup Mode ==="
NOT_CHANGED = "Nothing was written to %s; the incomplete data were deleted."
UPDATE = "-f fw.bin -i kcs -r y"
PART = payload(0x4000)  # 335 ReceiveFWData requests
CONFIG, RESTORE, OLDER, RESTORE_OI = payload(1500, 3), payload(1200, 4), b"an older backup " * 50, payload(300, 5)
DUMP_LENGTH = 1000  # 17 full pieces and a last one of 48 bytes
FLASH = payload(0x10000, 2) + b"\xff" * (0x2000000 - 0x10000)
PKG = {"fw.bin": None}  # the boot's update package
CONFIG_FILES = {"restore.bin": RESTORE, "kept.bin": OLDER, "backup.bin": OLDER}
SAME = "same"  # korvex-bmcd gets korvex-sim's options
# Runs of Korvex.efi, each against a BMC of its own: (case, command line, files
# on the disk, korvex-sim's BMC options, korvex-bmcd's, texts the run prints,
# keys typed (trigger, key), compared with korvex-sim). In options, {config}
# and {flash} name files with CONFIG and FLASH, {work} the case's folder and
# {side} "sim" or "efi".
RUNS = [
    ("image", "-x", {}, QEMU_BMC, SAME, [BAD_OPTION]),
    ("banner", "", {}, QEMU_BMC, SAME, [FUNCTION]),
    ("banner", "-x", {}, QEMU_BMC, SAME, [BAD_OPTION]),
    ("banner", "-f nothere.bin -i kcs", {}, QEMU_BMC, SAME, []),
    ("banner", "-i bogus -f a.bin", {}, QEMU_BMC, SAME, []),
    ("qemu-bmc", UPDATE, PKG, QEMU_BMC, SAME, [WRONG_IMAGE, "Execute Cold Reset Success"]),
    ("qemu-bmc", "-c -d backup.bin", PKG, QEMU_BMC, SAME, [BACKUP_MODE] + REFUSED),
    ("update", UPDATE, PKG, ["--bmc-save-flash={work}/flash-{side}.bin"], SAME,
     ["Update Complete,Please wait for BMC reboot"]),
    ("dump", "-d dump.bin", {"dump.bin": b"an older dump " * 100},
     ["--bmc-flash={flash}", "--bmc-dump-length=%d" % DUMP_LENGTH], SAME, ["Phase2:Receive the flash"]),
    # The second configuration request of the run is the backup's start request.
    ("config", "-c -d kept.bin", CONFIG_FILES,
     ["--bmc-config={config}", "--bmc-fault=request-cc:config-transfer:0xc3:2"], SAME, [NOT_CHANGED % "kept.bin"]),
    ("config", "-c -d backup.bin", CONFIG_FILES, ["--bmc-config={config}"], SAME, ["Done."]),
    ("config", "-c -f restore.bin", CONFIG_FILES,
     ["--bmc-config={config}", "--bmc-save-config={work}/saved-{side}.bin"], SAME, []),
    # A BMC that stops answering: QEMU answers 0xC3 after 4 s, as korvex-sim's BMC told to.
    ("silent-bmc", UPDATE, PKG, ["--bmc-fault=request-cc:get-fw-update-info:0xc3",
                                 "--bmc-fault=request-cc:cold-reset:0xc3"], ["--bmcd-stop-after=0"],
     ["GetFWUpdateInfo", "Execute Cold Reset Fail"]),
    # A BMC that goes away after the start, status and a few blocks: QEMU
    # answers 0xD2 at once from then on, and the tool gives up (no korvex-sim text to compare).
    ("gone-bmc", "-c -d gone.bin", {}, ["--bmc-config={config}"], ["--bmc-config={config}", "--bmcd-exit-after=5"],
     [BACKUP_MODE, "[doIPMICmd] Abnormal. CompCode == 0xd2", "Error: doIPMICmd failed"], (), False),
    # -i usb waits for one key, then refuses a package that is not 32 MiB.
    ("usb", "-f fw.bin -i usb", PKG, [], SAME, ["Press any to continue name fw.bin",
                                               "the file size of the firmware image is not correct!"],
     [("Press any to continue", "k")]),
    ("openipmi", UPDATE, PKG, OPENIPMI, "ipmi_sim", [WRONG_IMAGE, "Execute Cold Reset Fail"]),
    ("openipmi", "-c -d backup.bin", {"backup.bin": OLDER}, OPENIPMI, "ipmi_sim",
     [BACKUP_MODE, NOT_CHANGED % "backup.bin"] + REFUSED),
    ("openipmi", "-c -d new.bin", {}, OPENIPMI, "ipmi_sim", [NOT_CHANGED % "new.bin"] + REFUSED),
    ("openipmi", "-c -f restore.bin", {"restore.bin": RESTORE_OI}, OPENIPMI, "ipmi_sim", REFUSED),
    # ipmi_sim goes down after a refused update, then comes back.
    ("openipmi-restart", UPDATE, PKG, OPENIPMI, "ipmi_sim", [WRONG_IMAGE]),
    ("openipmi-restart", "-c -d backup.bin", {"backup.bin": OLDER}, BMC_GONE, None,
     ["[doIPMICmd] Abnormal. CompCode == 0xd2", NOT_CHANGED % "backup.bin"]),
    ("openipmi-restart", UPDATE, PKG, OPENIPMI, "ipmi_sim", [WRONG_IMAGE]),
]


class ShellBoot(Boot):
    """One boot of the UEFI Shell for the runs of several cases: one disk with
    every case's files, one startup.nsh that runs every command line between
    markers. With korvex-bmcd or ipmi_sim, each run gets a fresh BMC, as
    korvex-sim starts with a fresh one: the shell's `pause` holds the guest
    while the BMC behind it changes."""

    def __init__(self, tools, work, kcs):
        need((tools.efi, "Korvex.efi"), (OVMF % ("CODE", ""), "OVMF"), ("mkfs.vfat", "dosfstools"), ("mcopy", "mtools"))
        super().__init__(tools, work)
        self.kcs, self.runs, self.files, self.image, self.timeout, self.disk_kib = kcs, [], {}, None, None, 16384
        self.paths = {n: write(os.path.join(work, n + ".bin"), d) for n, d in (("config", CONFIG), ("flash", FLASH))}

    def add(self, c, command, files, sim, bmc, texts, keys=(), compare=True):
        need(*[("ipmi_sim", "ipmi_sim (Debian package openipmi)")] * (bmc == "ipmi_sim"))
        files = {n: self.package if d is None else d for n, d in files.items()}
        for name, data in files.items():
            if self.files.setdefault(name, data) != data:
                raise Failure("another case puts other contents into %s" % name)

        def options(side, given):
            return [o.format(side=side, work=c.work, **self.paths) for o in given]
        shutil.rmtree(c.sim_dir)
        os.makedirs(c.sim_dir)
        out, err, status = c.sim(PROGRAM, options("sim", sim), command.split(), files, "".join(k for _, k in keys))
        if err or status not in (0, 1, 2, 3):
            raise Failure("korvex-sim failed (status %d): %s" % (status, err))
        sim_text, i = normalise(out.decode("utf-8", errors="replace")), len(self.runs)
        self.runs.append((c, command, bmc if bmc in (None, "ipmi_sim") else options("efi", sim if bmc == SAME else bmc),
                          keys))
        expect_in("korvex-sim's run", sim_text, *texts[:1] * (not compare))

        def check():
            a = self.console.find("%s %d\n" % (BEGIN, i))
            b = self.console.find("%s %d" % (END, i), a + 1)
            if a < 0 or b < 0:
                raise Failure("Korvex.efi %s did not complete\n--- console ---\n%s" % (command, self.console[-3000:]))
            output = self.console[a + len("%s %d\n" % (BEGIN, i)):b]
            expect_in("Korvex.efi " + command, output, *texts)
            if compare:
                same("Korvex.efi %s: its text against korvex-sim's" % command, sim_text, normalise(output))
        c.checks.append(check)

    def blame(self, console):
        return ([c.name for i, (c, *_) in enumerate(self.runs) if "%s %d\n" % (BEGIN, i) in console] or [None])[-1]

    def start(self, cases):
        if not self.runs:
            return
        disk, extern = self.disk_file(), self.kcs == "extern"
        if self.image:
            shutil.copyfile(self.image, disk)
        lines = ["@echo -off", "fs0:"]
        for i, (c, command, _, _) in enumerate(self.runs):
            lines += ["pause"] * (extern and i > 0) + ["echo %s %d" % (BEGIN, i), "Korvex.efi " + command,
                                                       "echo %s %d" % (END, i)]
        files = dict(self.files, **{"startup.nsh": "\r\n".join(lines + ["reset -s", ""]).encode()})
        files.update({} if self.image else {"Korvex.efi": read(self.tools.efi)})
        for name, data in files.items():
            run("mcopy", "-o", "-i", disk, write(os.path.join(self.work, "in-" + name), data), "::/" + name)
        self.vars = write(os.path.join(self.work, "vars.fd"), read(OVMF % ("VARS", "")))
        m = self.machine = Machine(self.tools, self.work, firmware(OVMF % ("CODE", ""), self.vars) + [
            "-drive", "format=raw,file=" + disk], self.kcs, self.timeout or 120 + 120 * len(self.runs))
        steps = [("", lambda: m.swap(self.runs[0][0], self.runs[0][2]), None, None)] * extern
        steps.append(("Press ESC in", None, " ", None))
        for i, (c, _, bmc, keys) in enumerate(self.runs):
            if extern and i > 0:
                steps.append(("%s %d" % (END, i - 1), lambda c=c, bmc=bmc: m.swap(c, bmc), " ", "%s %d" % (BEGIN, i)))
            steps += [(trigger, None, key, "%s %d" % (END, i)) for trigger, key in keys]
        self.console = m.run(steps)

    def disk_file(self):
        self.disk = os.path.join(self.work, "disk.img")
        run("mkfs.vfat", "-C", self.disk, str(self.disk_kib))
        return self.disk

    def read(self, name):
        out = write(os.path.join(self.work, "out-" + name.replace("/", "-")), b"")
        r = subprocess.run(["mcopy", "-o", "-i", self.disk, "::/" + name, out], env=dict(
            os.environ, MTOOLS_SKIP_CHECK="1"), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return None if r.returncode else read(out)

    def names(self, folder=""):
        prefix = "::/" + (folder + "/" if folder else "")
        return sorted(line[len(prefix):] for line in run("mdir", "-b", "-i", self.disk, prefix).decode().split("\n")
                      if line.startswith(prefix))

    def beside(self, *names, folder=""):
        """Files beside these: temporaries left by a staged file, or an older file set aside."""
        return [n for n in self.names(folder) for m in names if n.lower().startswith(m.lower() + ".")]


def firmware(code, vars_path, secure=False):
    return ["-machine", "q35" + ",smm=on" * secure, "-accel", "tcg", "-nodefaults", "-vga", "none"] + [
        "-global", "driver=cfi.pflash01,property=secure,value=on"] * secure + [
        "-drive", "if=pflash,format=raw,unit=0,readonly=on,file=" + code,
        "-drive", "if=pflash,format=raw,unit=1,file=" + vars_path]


def normalise(text):
    # The build date is each build's compile date, which may differ across
    # midnight between the two builds of the banner; the shell starts its
    # echo on a new line when the tool's last line did not end with one.
    return re.sub(r"BUILD DATE :  [A-Z][a-z]{2} [ 0-9]\d \d{4}", "BUILD DATE :  <date>", text).rstrip("\n")


def shell_case(c):
    """The case's rows of RUNS, then what they leave (CHECKS)."""
    for row in RUNS:
        if row[0] == c.name:
            c.boot.add(c, *row[1:])
    yield
    for what, expected, got in CHECKS.get(c.name, lambda c, boot: [])(c, c.boot):
        same(what, expected, got)


def case_image(c):
    """The build's FAT image as a USB stick: the boot manager starts
    EFI\\BOOT\\BOOTX64.EFI without a shell (the banner, then back to the boot
    manager); the shell then runs Korvex.efi from the root."""
    need((c.tools.img, "Korvex.img"))
    c.boot.image = c.tools.img
    banner = normalise(c.sim(PROGRAM, [], [])[0].decode()).split("\n")[0]
    yield from shell_case(c)
    expect_in("the boot manager's start", c.boot.console[:c.boot.console.find("UEFI Interactive Shell")], banner,
              FUNCTION)


def disk_names(c, boot):
    """Failed backups leave no file where there was none; the disk holds no
    other new file."""
    return [("the names on the disk", sorted(n.lower() for n in list(boot.files) + ["Korvex.efi", "startup.nsh"]),
             sorted(n.lower() for n in boot.names()))]


# What a case's runs leave: (what, expected, got).
CHECKS = {
    "update": lambda c, boot: [("the flash after the update against korvex-sim's", read(c.path("flash-sim.bin")),
                                read(c.path("flash-efi.bin"))),
                               ("the part at 0 of the flash", PART, read(c.path("flash-efi.bin"))[:len(PART)])],
    "dump": lambda c, boot: [("files beside dump.bin", [], boot.beside("dump.bin")),
                             ("dump.bin against korvex-sim's", read(c.sim_dir + "/dump.bin"), boot.read("dump.bin")),
                             ("dump.bin against the flash", FLASH[:DUMP_LENGTH], boot.read("dump.bin"))],
    "config": lambda c, boot: [("kept.bin after a failed backup", OLDER, boot.read("kept.bin")),
                               ("backup.bin against the BMC's configuration", CONFIG, boot.read("backup.bin")),
                               ("files beside the backups", [], boot.beside("kept.bin", "backup.bin")),
                               ("the BMC's configuration after the restore", RESTORE, read(c.path("saved-efi.bin")))],
    "openipmi": lambda c, boot: [("restore.bin after a failed restore", RESTORE_OI, boot.read("restore.bin")),
                                 ("backup.bin after a failed backup", OLDER, boot.read("backup.bin")),
                                 ("new.bin after a failed backup", None, boot.read("new.bin"))] + disk_names(c, boot),
    "openipmi-restart": lambda c, boot: [("backup.bin after a failed backup", OLDER, boot.read("backup.bin"))]
    + disk_names(c, boot),
}


# ---- Korvex.efi started by the firmware from a boot entry ----

GLOBAL_VARIABLE = uuid.UUID("8be4df61-93ca-11d2-aa0d-00e098032b8c").bytes_le
AUTHENTICATED_STORE = uuid.UUID("aaf32c78-947b-439a-a180-2e144ec37792").bytes_le
# StartId, State, reserved, Attributes, MonotonicCount, TimeStamp, PubKeyIndex,
# NameSize, DataSize, VendorGuid, then the UCS-2 name and the data; records
# start 4-byte aligned.
VARIABLE = struct.Struct("<HBBIQ16sIII16s")
BOOT_PROGRAM = "Korvex.efi"  # the program name the boot entries give
GAVE_UP = "No bootable option"


def set_variable(vars_path, name, data):
    """Writes a variable into an authenticated variable store, offline, as the
    firmware would: a live record of the same name is marked deleted and the
    new record goes after the last one."""
    store = bytearray(read(vars_path))
    header = struct.unpack_from("<H", store, 48)[0]
    if store[40:44] != b"_FVH" or store[header:header + 16] != AUTHENTICATED_STORE:
        raise Failure("%s is not an authenticated variable store" % vars_path)
    end, at = header + struct.unpack_from("<I", store, header + 16)[0], header + 28
    encoded = (name + "\0").encode("utf-16-le")
    while at + VARIABLE.size <= end:
        start, state, _, _, _, _, _, name_size, data_size, vendor = VARIABLE.unpack_from(store, at)
        if start != 0x55AA:
            break
        if state == 0x3F and vendor == GLOBAL_VARIABLE and store[at + VARIABLE.size:][:name_size] == encoded:
            store[at + 1] = state & 0xFD  # deleted
        at = (at + VARIABLE.size + name_size + data_size + 3) & ~3
    record = VARIABLE.pack(0x55AA, 0x3F, 0, 7, 0, bytes(16), 0, len(encoded), len(data), GLOBAL_VARIABLE)
    record += encoded + data
    if at + len(record) > end:
        raise Failure("the variable store is full")
    store[at:at + len(record)] = record
    write(vars_path, bytes(store))


def boot_entry(vars_path, number, path, line, variable):
    """Boot entry `number` starts `path` (a device path of the file path
    alone: the boot manager looks on every file system) with `line` as its
    load options; `variable` (BootNext, BootOrder) names it."""
    name = (path + "\0").encode("utf-16-le")
    device_path = struct.pack("<BBH", 4, 4, 4 + len(name)) + name + bytes([0x7F, 0xFF, 4, 0])
    set_variable(vars_path, "Boot%04X" % number, struct.pack("<IH", 1, len(device_path)) + "Korvex\0".encode(
        "utf-16-le") + device_path + (line + "\0").encode("utf-16-le"))
    set_variable(vars_path, variable, struct.pack("<H", number))


def case_secure_boot(c):
    """Secure Boot with the snakeoil key enrolled, in one boot: the firmware
    refuses the unsigned Korvex.efi of the BootNext entry, which leaves
    nothing, and goes on to the boot order's entry, Korvex.efi signed with that
    key, which backs up the BMC's configuration through korvex-bmcd; the
    backup, the log and the result match korvex-sim's run. (A backup, not a
    dump: the dump's 50 s pause is a busy loop under TCG, and the dump case
    covers it.)"""
    code = OVMF % ("CODE", ".snakeoil")
    need((code, "OVMF's snakeoil build"), (SNAKEOIL_KEY, "the snakeoil key"), ("sbsign", "sbsigntool"),
         ("openssl", "openssl"))
    yield
    options = ["--bmc-config=" + write(c.path("config.bin"), payload(1500, 5))]
    sim_text = c.sim(BOOT_PROGRAM, options, ["-c", "-d", "backup.bin"])[0].decode()
    expect_in("korvex-sim's run", sim_text, "Done.")
    key, signed = c.path("signing-key.pem"), c.path("Korvex.signed.efi")
    # The key is decrypted into the work folder for the moment it is needed.
    run("sh", "-c", 'umask 077; trap \'rm -f "$1"\' EXIT; openssl pkey -in "$2" -passin pass:snakeoil -out "$1" && '
        '"$3" "$1" "$4" "$5" "$6"', "sh", key, SNAKEOIL_KEY, os.path.join(os.path.dirname(os.path.abspath(__file__)),
        "../../tools/uefi/sign.sh"), SNAKEOIL_CERT, c.tools.efi, signed)
    disk = c.boot.disk_file()
    run("mmd", "-i", disk, "::/EFI", "::/EFI/korvex", "::/EFI/unsigned")
    run("mcopy", "-i", disk, signed, "::/EFI/korvex/Korvex.efi")
    run("mcopy", "-i", disk, c.tools.efi, "::/EFI/unsigned/Korvex.efi")
    vars_path = write(c.path("vars.fd"), read(OVMF % ("VARS", ".snakeoil")))
    line = "%s --reset -c -d backup.bin" % BOOT_PROGRAM
    boot_entry(vars_path, 0x100, "\\EFI\\korvex\\Korvex.efi", line, "BootOrder")
    boot_entry(vars_path, 0x101, "\\EFI\\unsigned\\Korvex.efi", line, "BootNext")
    m = Machine(c.tools, c.work, firmware(code, vars_path, True) + ["-drive", "format=raw,file=" + disk], "extern", 500)
    console = m.run([("", lambda: m.swap(c, options), None, None)], stop_on=[GAVE_UP])
    same("the BMC's trouble", None, c.failure)
    expect_in("the unsigned image", console, "Boot0101", "Access Denied")
    same("the files of the unsigned Korvex.efi (it must not run)", ["Korvex.efi"], c.boot.names("EFI/unsigned"))
    same("the log of the signed run", normalise(sim_text), normalise((c.boot.read("EFI/korvex/korvex.log") or
                                                                       b"(none: it did not run)").decode()))
    same("backup.bin", read(os.path.join(c.sim_dir, "backup.bin")), c.boot.read("EFI/korvex/backup.bin"))
    same("the result file", b"outcome=succeeded\nstatus=0\n", c.boot.read("EFI/korvex/korvex.result"))
    same("files beside the outputs", [], c.boot.beside("backup.bin", "korvex.result", folder="EFI/korvex"))


# ---- a minimal Linux guest: busybox and the programs of its case ----

GUEST_INIT = """#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
# Every result leaves the guest as base64 between markers, byte for byte.
put() { echo "@@KORVEX-BEGIN $1@@"; base64 "$2"; echo "@@KORVEX-END $1@@"; }
# run NAME COMMAND: its output, errors and status come back as NAME.out, .err, .rc.
run() {
  eval "$2" > /tmp/$1.out 2> /tmp/$1.err; echo $? > /tmp/$1.rc
  for p in out err rc; do put $1.$p /tmp/$1.$p; done
}
"""
DONE = "@@KORVEX-GUEST-DONE@@"


def guest_kernel():
    kernels = sorted((f for f in os.listdir("/boot") if f.startswith("vmlinuz-")),
                     key=lambda f: [int(x) if x.isdigit() else x for x in re.split(r"[.-]", f)])
    kernel = os.environ.get("KORVEX_GUEST_KERNEL") or os.path.join("/boot", (kernels or [""])[-1])
    if not os.access(kernel, os.R_OK) or os.path.isdir(kernel):
        raise Skip("no readable kernel under /boot (install linux-image-amd64)")
    busybox = shutil.which("busybox")
    if not busybox or b"INTERP" in subprocess.run(["readelf", "-l", os.path.realpath(busybox)],
                                                  stdout=subprocess.PIPE).stdout:
        raise Skip("no static busybox (install busybox-static)")
    need(("cpio", "cpio"))
    return kernel


def guest_modules(kernel, root, names):
    """The kernel's modules `names` and what they need, each after its needs,
    into root/lib/modules with their order (KORVEX_GUEST_MODULES names another
    modules folder)."""
    folder = os.environ.get("KORVEX_GUEST_MODULES") or "/lib/modules/" + os.path.basename(kernel)[len("vmlinuz-"):]
    need(("/sbin/modprobe", "modprobe (kmod)"))
    order = []
    os.makedirs(os.path.join(root, "lib/modules"), exist_ok=True)
    for name in names:
        r = subprocess.run(["/sbin/modprobe", "-d", os.path.join(folder, "../../.."), "-S", os.path.basename(folder),
                            "--show-depends", name], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if r.returncode:
            raise Skip("no module %s in %s (KORVEX_GUEST_MODULES): %s" % (name, folder, r.stdout.strip()))
        for path in re.findall(r"^insmod (\S+)", r.stdout, re.M):
            if os.path.basename(path).split(".ko")[0] not in order:
                order.append(os.path.basename(path).split(".ko")[0])
                shutil.copy(path, os.path.join(root, "lib/modules", order[-1] + ".ko"))
    write(os.path.join(root, "lib/modules/order"), "\n".join(order) + "\n")


def initramfs(root, init, out):
    """root as a gzipped newc archive whose /init is GUEST_INIT and then init."""
    for d in ("bin", "dev", "proc", "sys", "tmp"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    shutil.copy(shutil.which("busybox"), os.path.join(root, "bin/busybox"))
    os.chmod(write(os.path.join(root, "init"), GUEST_INIT + init), 0o755)
    listing = run("sh", "-c", "find . | LC_ALL=C sort", cwd=root)
    return write(out, gzip.compress(run("cpio", "-o", "-H", "newc", "--quiet", cwd=root, input=listing), 1))


def guest_results(console):
    """Every NAME the guest sent back with `put`, as bytes."""
    return {m[0]: base64.b64decode(m[1]) for m in re.findall(r"@@KORVEX-BEGIN (\S+)@@\n(.*?)@@KORVEX-END \1@@",
                                                               console, re.S)}


def got(results, name):
    """NAME's output, errors and exit status."""
    if name + ".rc" not in results:
        raise Failure("no %s from the guest" % name)
    return results[name + ".out"], results[name + ".err"].decode(errors="replace"), int(results[name + ".rc"])


# ---- staged runs: Linux stages, the firmware runs Korvex.efi from BootNext ----

STAGED_INIT = """for m in $(cat /lib/modules/order); do insmod /lib/modules/$m.ko 2>/dev/null; done
mount -t efivarfs efivarfs /sys/firmware/efi/efivars
i=0; while [ ! -b /dev/vda1 ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done
mkdir -p /boot/efi && mount -t vfat /dev/vda1 /boot/efi
cd /work
%s
sync
umount /boot/efi
echo "%s"
reboot -f
"""
ESP_OFFSET, ESP_KIB = 1024 * 1024, 63 * 1024
REPORT = 'run report "korvex-stage --report"\nefibootmgr > /tmp/entries 2>&1; put entries /tmp/entries\n'


class StagedBoot(ShellBoot):
    """Staged runs one after another: the Linux guest (started by OVMF, so it
    sees the firmware's variables as a server's Linux does) stages the first
    run with korvex-stage and reboots; the firmware runs Korvex.efi from
    BootNext against a korvex-bmcd with the run's options; the guest boots
    again, reports that run (its log, messages and status, and the boot
    entries left) and stages the next, and so on."""

    def __init__(self, tools, work):
        super().__init__(tools, work, "extern")
        need((tools.stage, "korvex-stage-static"), ("efibootmgr", "efibootmgr"))
        self.kernel, self.current = guest_kernel(), None

    def start(self, cases):
        root = os.path.join(self.work, "guest-root")
        efibootmgr = shutil.which("efibootmgr", path=os.environ["PATH"] + ":/usr/sbin:/sbin")
        for path, dest in [(efibootmgr, "/bin/efibootmgr"), (self.tools.stage, "/bin/korvex-stage")] + [
                (lib, lib) for lib in re.findall(r"(/\S+) \(0x", run("ldd", efibootmgr).decode())]:
            os.makedirs(os.path.dirname(root + dest), exist_ok=True)
            shutil.copy(os.path.realpath(path), root + dest)
        # The virtio disk, FAT and the variables.
        guest_modules(self.kernel, root, ["virtio_pci", "virtio_blk", "nls_cp437", "nls_ascii", "nls_utf8", "vfat",
                                          "efivarfs"])
        os.makedirs(os.path.join(root, "work"))
        write(os.path.join(root, "work/fw.bin"), self.package)
        write(os.path.join(root, "Korvex.efi"), read(self.tools.efi))
        self.disk_kib, self.disk = ESP_KIB, os.path.join(self.work, "disk.img")
        esp = read(self.disk_file())  # the one MBR partition, of type 0xEF: an empty FAT ESP
        mbr = bytearray(ESP_OFFSET)
        mbr[440:444] = struct.pack("<I", 0x4B52564B)  # the disk signature the boot entry names
        mbr[446:462] = struct.pack("<B3sB3sII", 0, b"\0\2\0", 0xEF, b"\xfe\xff\xff", ESP_OFFSET // 512, ESP_KIB * 2)
        mbr[510:512] = b"\x55\xaa"
        disk = write(self.disk, bytes(mbr) + esp)
        vars_path = write(os.path.join(self.work, "vars.fd"), read(OVMF % ("VARS", "")))
        code, script = OVMF % ("CODE", ""), ""
        for c in cases + [None]:
            if c:
                script += "run stage %s\n" % shlex.quote("korvex-stage --efi /Korvex.efi%s %s" % (
                    " --reset" * c.staged[1], UPDATE))
            initrd = initramfs(root, STAGED_INIT % (script, DONE), os.path.join(self.work, "initrd.gz"))
            console = Machine(self.tools, self.work, firmware(code, vars_path) + [
                "-drive", "format=raw,if=virtio,file=" + disk, "-kernel", self.kernel, "-initrd", initrd,
                "-append", "console=ttyS0 quiet loglevel=1 panic=-1 rdinit=/init"], "qemu", 300).run()
            if DONE not in console:
                raise Failure("the guest did not run its case\n" + console[-3000:])
            results = guest_results(console)
            if self.current:
                self.current.report = got(results, "report") + (results.get("entries", b"").decode(errors="replace"),)
            if not c:
                return
            self.current, (_, messages, status) = c, got(results, "stage")
            if status:
                raise Failure("korvex-stage did not stage the run (status %d): %s" % (status, messages))
            log("staged: " + messages.strip().replace("\n", " | "))
            self.machine = m = Machine(self.tools, self.work, firmware(code, vars_path) + [
                "-drive", "format=raw,file=" + disk], "extern", 400)
            m.run([("", lambda: m.swap(c, c.staged[0]), None, None)], stop_on=["UEFI Interactive Shell", GAVE_UP])
            log("the firmware's boot ended: %s" % (m.stopped_by or "reset"))
            script = REPORT

    def blame(self, console):
        return self.current.name if self.current else None


# (korvex-bmcd's options, Korvex.efi resets the machine when done, the
# report's status, a line of the report)
STAGED = {
    "staged-update": (["--bmc-save-flash={work}/flash.bin"], False, 0, "Korvex.efi -f fw.bin -i kcs -r y: succeeded"),
    # A BMC that refuses the package (update state 3): the report exits 3 (refused by the BMC).
    "staged-refusal": (["--bmc-update-state=3"], True, 3, ""),
}


def case_staged(c):
    """The whole staged flow without Secure Boot: Linux stages an update, the
    firmware runs Korvex.efi from BootNext, the update reaches korvex-bmcd; the
    report after the next boot has korvex-sim's text for the same BMC, the
    status and no boot entry of ours left; a done update's package verifies
    against the BMC's flash."""
    bmc, reset, status, line = STAGED[c.name]
    c.staged = ([o.format(work=c.work) for o in bmc], reset)
    sim_text = c.sim(BOOT_PROGRAM, [o for o in c.staged[0] if "save" not in o], UPDATE.split(),
                     {"fw.bin": c.boot.package})[0].decode()
    yield
    log_text, messages, got_status, entries = c.report
    same("the log of the staged run", normalise(sim_text), normalise(log_text.decode("utf-8", errors="replace")))
    same("the report's status (%s)" % messages.strip(), status, got_status)
    expect_in("the report", messages, line)
    if "Korvex staged run" in entries:
        raise Failure("the boot entry is still there:\n" + entries)
    if status == 0:
        c.boot.verify_flash(c.path("flash.bin"))


GROUPS = {
    "shell-qemu-bmc": (lambda t, w: ShellBoot(t, w, "qemu"), [("image", case_image), ("banner", shell_case),
                                                              ("qemu-bmc", shell_case)]),
    # usb last: the key it waits for, typed again until the run ends, must not
    # meet a later `pause`.
    "shell-bmcd": (lambda t, w: ShellBoot(t, w, "extern"), [(n, shell_case) for n in (
        "update", "dump", "config", "silent-bmc", "gone-bmc", "usb")]),
    "shell-openipmi": (lambda t, w: ShellBoot(t, w, "extern"), [("openipmi", shell_case),
                                                                ("openipmi-restart", shell_case)]),
    "secure-boot": (lambda t, w: ShellBoot(t, w, None), [("secure-boot", case_secure_boot)]),
    "staged": (StagedBoot, [("staged-update", case_staged), ("staged-refusal", case_staged)]),
}

if __name__ == "__main__":
    sys.exit(main(GROUPS))
