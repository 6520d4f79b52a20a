#!/usr/bin/env python3
"""System tests: Korvex.efi in OVMF's UEFI Shell under QEMU, talking over
QEMU's KCS interface either to QEMU's own small BMC (ipmi-bmc-sim) or to the
simulated BMC served by korvex-bmcd (ipmi-bmc-extern). Every run's console
text is checked against what korvex-sim prints for the same command line and
the same simulated BMC.

    korvex_qemu.py --build-dir BUILD CASE

Exit status: 0 pass, 1 fail, 77 skipped (a prerequisite is missing).
"""

import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import uuid

SKIP = 77
OVMF_CODE = "/usr/share/OVMF/OVMF_CODE_4M.fd"
OVMF_VARS = "/usr/share/OVMF/OVMF_VARS_4M.fd"
# OVMF with a test key enrolled and Secure Boot on; the key is encrypted
# with the password "snakeoil".
SNAKEOIL_CODE = "/usr/share/OVMF/OVMF_CODE_4M.snakeoil.fd"
SNAKEOIL_VARS = "/usr/share/OVMF/OVMF_VARS_4M.snakeoil.fd"
SNAKEOIL_KEY = "/usr/share/ovmf/PkKek-1-snakeoil.key"
SNAKEOIL_CERT = "/usr/share/ovmf/PkKek-1-snakeoil.pem"
# The shell names the program by its full path; korvex-sim is given the same
# name so that the echoed command lines agree.
PROGRAM = "FS0:\\Korvex.efi"
ANSI = re.compile(rb"\x1b\[[0-9;=?]*[A-Za-z]")
EXCEPTION = b"!!!! X64 Exception Type"
COUNTDOWN = b"Press ESC in"
BEGIN = "KORVEX-RUN-BEGIN"
END = "KORVEX-RUN-END"
# QEMU's own BMC answers every OEM request (NetFn 0x3E) with 0xC1.
QEMU_SIM_FAULTS = ["--bmc-fault=request-cc:%s:0xc1" % r
                   for r in ("usb-update-info", "send-block-info", "receive-fw-data", "get-fw-update-info",
                             "get-fw-update-progress", "prepare-dump-flash", "check-dump-flash-complete",
                             "get-dump-flash-data", "config-transfer")]


class Skip(Exception):
    pass


class Failure(Exception):
    pass


def log(msg):
    print(msg, flush=True)


class Tools:
    def __init__(self, build):
        self.build = os.path.abspath(build)
        self.efi = os.path.join(self.build, "tools/uefi/Korvex.efi")
        self.sim = os.path.join(self.build, "tools/korvex-sim")
        self.bmcd = os.path.join(self.build, "tools/korvex-bmcd/korvex-bmcd")
        self.pack = os.path.join(self.build, "tools/korvex-pack")
        self.mkfs = shutil.which("mkfs.vfat") or shutil.which("mkfs.vfat", path="/usr/sbin:/sbin")
        self.qemu = shutil.which("qemu-system-x86_64")

    def check(self):
        for path, what in ((self.efi, "Korvex.efi"), (self.sim, "korvex-sim"), (self.bmcd, "korvex-bmcd")):
            if not os.path.exists(path):
                raise Skip("%s not built" % what)
        for path, what in ((self.qemu, "qemu-system-x86_64"), (self.mkfs, "mkfs.vfat"),
                           (shutil.which("mcopy"), "mtools"), (OVMF_CODE if os.path.exists(OVMF_CODE) else None, "OVMF")):
            if not path:
                raise Skip("%s not installed" % what)


def mtools_env():
    env = dict(os.environ)
    env["MTOOLS_SKIP_CHECK"] = "1"
    return env


def make_disk(tools, work, files, commands, size_kib=16384, pause_before=(), base=None):
    """A FAT disk with Korvex.efi, the given files and a startup.nsh that runs
    each command line between markers and then powers the machine off. The
    shell's `pause` before the runs in pause_before holds the guest while its
    surroundings change. base: a FAT image to start from, with its own
    Korvex.efi, instead of an empty disk."""
    disk = os.path.join(work, "disk.img")
    if os.path.exists(disk):
        os.remove(disk)
    if base:
        shutil.copyfile(base, disk)
    else:
        subprocess.run([tools.mkfs, "-C", disk, str(size_kib)], check=True, stdout=subprocess.DEVNULL)
    lines = ["@echo -off", "fs0:"]
    for i, command in enumerate(commands):
        lines += (["pause"] if i in pause_before else []) + ["echo %s %d" % (BEGIN, i), "Korvex.efi " + command,
                                                            "echo %s %d" % (END, i)]
    lines.append("reset -s")
    script = os.path.join(work, "startup.nsh")
    with open(script, "w", newline="") as f:
        f.write("\r\n".join(lines) + "\r\n")
    staged = {"startup.nsh": script} if base else {"Korvex.efi": tools.efi, "startup.nsh": script}
    for name, data in files.items():
        staged[name] = os.path.join(work, "in-" + name)
        with open(staged[name], "wb") as f:
            f.write(data)
    for name, path in staged.items():
        subprocess.run(["mcopy", "-o", "-i", disk, path, "::/" + name], check=True, env=mtools_env())
    return disk


def names_on_disk(disk, folder=""):
    prefix = "::/" + (folder + "/" if folder else "")
    r = subprocess.run(["mdir", "-b", "-i", disk, prefix], env=mtools_env(), stdout=subprocess.PIPE,
                       stderr=subprocess.DEVNULL, check=True)
    return sorted(line[len(prefix):] for line in r.stdout.decode().split("\n") if line.startswith(prefix))


def expect_nothing_beside(disk, *names, folder=""):
    """No file whose name begins with one of these names and goes on: no
    temporary left by a staged file, nor an older file set aside."""
    left = [n for n in names_on_disk(disk, folder) for m in names if n.lower().startswith(m.lower() + ".")]
    if left:
        raise Failure("files left beside the output files: %s" % ", ".join(left))


def read_from_disk(disk, name, work):
    out = os.path.join(work, "out-" + name.replace("/", "-"))
    if os.path.exists(out):
        os.remove(out)
    r = subprocess.run(["mcopy", "-n", "-i", disk, "::/" + name, out], env=mtools_env(),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if r.returncode != 0:
        return None
    with open(out, "rb") as f:
        return f.read()


# ---- the firmware and its variable store ----

class Firmware:
    """OVMF's code and a variable store of the case's own, which lasts across
    the case's boots as a machine's NVRAM does."""

    def __init__(self, code, vars_path, secure=False):
        self.code, self.vars, self.secure = code, vars_path, secure

    @staticmethod
    def plain(work):
        path = os.path.join(work, "vars.fd")
        shutil.copyfile(OVMF_VARS, path)
        return Firmware(OVMF_CODE, path)

    @staticmethod
    def snakeoil(work):
        for path in (SNAKEOIL_CODE, SNAKEOIL_VARS, SNAKEOIL_KEY, SNAKEOIL_CERT):
            if not os.path.exists(path):
                raise Skip("%s not installed (package ovmf)" % path)
        path = os.path.join(work, "vars.fd")
        shutil.copyfile(SNAKEOIL_VARS, path)
        return Firmware(SNAKEOIL_CODE, path, secure=True)


GLOBAL_VARIABLE = uuid.UUID("8be4df61-93ca-11d2-aa0d-00e098032b8c").bytes_le
AUTHENTICATED_STORE = uuid.UUID("aaf32c78-947b-439a-a180-2e144ec37792").bytes_le
# StartId, State, reserved, Attributes, MonotonicCount, TimeStamp,
# PubKeyIndex, NameSize, DataSize, VendorGuid: 60 bytes, then the UCS-2 name
# and the data with nothing between them; records start 4-byte aligned.
VARIABLE_HEADER = struct.Struct("<HBBIQ16sIII16s")
VARIABLE_START, VARIABLE_ADDED, VARIABLE_DELETED = 0x55AA, 0x3F, 0xFD
NV_BS_RT = 0x7  # non-volatile, boot service and runtime access


def set_variable(vars_path, name, data, guid=GLOBAL_VARIABLE, attributes=NV_BS_RT):
    """Writes a variable into an authenticated variable store, offline, as
    the firmware would: a live record of the same name is marked deleted and
    the new record goes after the last one."""
    with open(vars_path, "rb") as f:
        store = bytearray(f.read())
    header_length = struct.unpack_from("<H", store, 48)[0]
    if store[40:44] != b"_FVH" or store[header_length:header_length + 16] != AUTHENTICATED_STORE:
        raise Failure("%s is not an authenticated variable store" % vars_path)
    end = header_length + struct.unpack_from("<I", store, header_length + 16)[0]
    encoded = (name + "\0").encode("utf-16-le")
    at = header_length + 28
    while at + VARIABLE_HEADER.size <= end:
        start, state, _, _, _, _, _, name_size, data_size, vendor = VARIABLE_HEADER.unpack_from(store, at)
        if start != VARIABLE_START:
            break
        named = store[at + VARIABLE_HEADER.size:at + VARIABLE_HEADER.size + name_size]
        if state == VARIABLE_ADDED and vendor == guid and named == encoded:
            store[at + 1] = state & VARIABLE_DELETED
        at = (at + VARIABLE_HEADER.size + name_size + data_size + 3) & ~3
    record = VARIABLE_HEADER.pack(VARIABLE_START, VARIABLE_ADDED, 0, attributes, 0, bytes(16), 0, len(encoded),
                                  len(data), guid) + encoded + data
    if at + len(record) > end:
        raise Failure("the variable store is full")
    store[at:at + len(record)] = record
    with open(vars_path, "wb") as f:
        f.write(store)


def load_option(description, path, optional_data):
    """A boot entry whose device path is the file path alone: the boot
    manager looks for the file on every file system."""
    name = (path + "\0").encode("utf-16-le")
    device_path = struct.pack("<BBH", 4, 4, 4 + len(name)) + name + bytes([0x7F, 0xFF, 4, 0])
    return (struct.pack("<IH", 1, len(device_path)) + (description + "\0").encode("utf-16-le") + device_path
            + optional_data)


def boot_next(firmware, number, path, command_line):
    """Boot entry `number` starts `path` with `command_line` as its load
    options (UCS-2, zero-terminated), and is the one to boot next."""
    set_variable(firmware.vars, "Boot%04X" % number,
                 load_option("Korvex", path, (command_line + "\0").encode("utf-16-le")))
    set_variable(firmware.vars, "BootNext", struct.pack("<H", number))


class Qemu:
    """One boot of the machine. Keys are typed when the text before them has
    appeared: (trigger, key, until) triples, in order. A key typed while the
    shell runs a script is now and then lost before the application reads it,
    so the key is typed again every second until the text `until` follows
    the trigger (the application reads one key; the rest go to the shell,
    which has no use for them). A key may be a function instead: it is called
    once, when its trigger has appeared, to act on the machine's surroundings
    (such as the BMC), and returns the key to type."""

    def __init__(self, tools, work, disk, bmc, bmcd_args=(), keys=(), timeout=300, firmware=None, kernel=None,
                 stop_on=()):
        self.tools, self.work, self.disk, self.bmc = tools, work, disk, bmc
        self.bmcd_args, self.keys, self.timeout = list(bmcd_args), list(keys), timeout
        # firmware: a Firmware whose variable store lasts across boots; by
        # default a fresh copy of plain OVMF's. kernel: (kernel, initrd,
        # command line) for a Linux guest that OVMF starts. stop_on: texts
        # that end the boot as soon as the serial console shows one.
        self.firmware, self.kernel, self.stop_on = firmware, kernel, [t.encode() for t in stop_on]
        self.output = bytearray()
        self.pid = None
        self.cpu_marks = []  # (console length, QEMU's CPU seconds then)
        self.lock = threading.Lock()
        self.bmcd_log = b""
        self._bmcd = None
        self.stopped_by = None

    def command(self, socket_path):
        firmware = self.firmware or Firmware.plain(self.work)
        cmd = [self.tools.qemu, "-machine", "q35" + (",smm=on" if firmware.secure else ""), "-m", "256", "-smp",
               "1", "-no-reboot", "-net", "none", "-nodefaults", "-display", "none", "-vga", "none", "-serial",
               "stdio", "-monitor", "none", "-accel", "tcg"]
        if firmware.secure:
            cmd += ["-global", "driver=cfi.pflash01,property=secure,value=on"]
        cmd += ["-drive", "if=pflash,format=raw,unit=0,readonly=on,file=" + firmware.code,
                "-drive", "if=pflash,format=raw,unit=1,file=" + firmware.vars]
        # A Linux guest finds its disk through virtio, the one disk driver
        # its initramfs carries; OVMF boots from either.
        cmd += ["-drive", "format=raw,file=%s%s" % (self.disk, ",if=virtio" if self.kernel else "")]
        if self.kernel:
            kernel, initrd, append = self.kernel
            cmd += ["-kernel", kernel, "-initrd", initrd, "-append", append]
        if self.bmc == "sim":
            cmd += ["-device", "ipmi-bmc-sim,id=bmc0"]
        else:
            cmd += ["-chardev", "socket,id=ipmi0,path=%s,server=on,wait=off" % socket_path,
                    "-device", "ipmi-bmc-extern,chardev=ipmi0,id=bmc0"]
        cmd += ["-device", "isa-ipmi-kcs,bmc=bmc0"]
        return cmd

    def _start_bmcd(self, args):
        self._bmcd = subprocess.Popen([self.tools.bmcd, "--connect-timeout=20"] + list(args) + [self.socket_path],
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT, cwd=self.work)

    def _end_bmcd(self, terminate):
        """Waits for korvex-bmcd to end, after QEMU closed its socket or, with
        terminate, on SIGTERM. What went wrong, or None."""
        bmcd, self._bmcd = self._bmcd, None
        if terminate and bmcd.poll() is None:
            bmcd.terminate()
        try:
            out, _ = bmcd.communicate(timeout=20)
        except subprocess.TimeoutExpired:
            bmcd.kill()
            self.bmcd_log += bmcd.communicate()[0]
            return "korvex-bmcd did not end when %s" % ("asked to" if terminate else "QEMU did")
        self.bmcd_log += out
        if bmcd.returncode != 0:
            return "korvex-bmcd ended with status %d: %s" % (bmcd.returncode, out.decode(errors="replace"))
        return None

    def switch_bmcd(self, args):
        """A fresh korvex-bmcd with these options behind the running guest:
        the old one saves what its options ask for and ends, and QEMU, the
        socket's server, takes the new one once it connects."""
        problem = self._end_bmcd(terminate=True)
        if problem:
            raise Failure(problem)
        self._start_bmcd(args)
        import openipmi  # beside this script
        deadline = time.monotonic() + 20
        while not connected_unix_socket(openipmi._socket_inodes(self._bmcd.pid)):
            if self._bmcd.poll() is not None or time.monotonic() > deadline:
                raise Failure("the new korvex-bmcd did not connect (%s)" % (self._end_bmcd(terminate=True) or "ended"))
            time.sleep(0.05)

    def _reader(self, stream):
        while True:
            chunk = stream.read1(4096) if hasattr(stream, "read1") else stream.read(4096)
            if not chunk:
                return
            with self.lock:
                self.output += chunk
                self._arrived()

    def _arrived(self):
        """Called with the lock held after each piece of console text (a hook
        for the benchmarks): notes QEMU's CPU time, so that each run's share
        of it shows."""
        self.cpu_marks.append((len(self.output), process_cpu(self.pid)))

    def cpu_at(self, needle):
        """QEMU's CPU seconds when the console first held needle, or None."""
        at = bytes(self.output).find(needle.encode())
        return next((cpu for length, cpu in self.cpu_marks if at >= 0 and length >= at + len(needle)), None)

    @staticmethod
    def _type(qemu, key):
        try:
            qemu.stdin.write(key)
            qemu.stdin.flush()
        except BrokenPipeError:
            pass  # QEMU is on its way out

    def _launch(self, command):
        """Starts QEMU with its console read into self.output; returns the
        process and the reader thread, for _halt."""
        qemu = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.pid = qemu.pid  # the reader notes QEMU's CPU time by it
        reader = threading.Thread(target=self._reader, args=(qemu.stdout,), daemon=True)
        reader.start()
        return qemu, reader

    @staticmethod
    def _halt(qemu, reader):
        if qemu.poll() is None:
            qemu.kill()
        qemu.wait()
        reader.join(timeout=5)

    def run(self):
        socket_path = os.path.join(self.work, "bmc.sock")
        if os.path.exists(socket_path):
            os.remove(socket_path)
        qemu, reader = self._launch(self.command(socket_path))
        self.socket_path = socket_path
        if self.bmc == "bmcd":
            self._start_bmcd(self.bmcd_args)
        pending = [(COUNTDOWN, b" ", None)] + [(t.encode(), k if callable(k) else k.encode(), u.encode())
                                            for t, k, u in self.keys]
        searched_from = 0
        repeating = None  # (key, until, next time)
        deadline = time.monotonic() + self.timeout
        failure = None
        try:
            while qemu.poll() is None:
                if time.monotonic() > deadline:
                    failure = "QEMU did not power off within %d s" % self.timeout
                    break
                with self.lock:
                    # The firmware colours words on its own prompts.
                    text = ANSI.sub(b"", bytes(self.output))
                if EXCEPTION in text:
                    time.sleep(0.5)
                    failure = "the guest took a CPU exception"
                    break
                seen = [t for t in self.stop_on if t in text]
                if seen:
                    self.stopped_by = seen[0].decode()
                    break
                if repeating:
                    key, until, when = repeating
                    if text.find(until, searched_from) >= 0:
                        repeating = None
                    elif time.monotonic() >= when:
                        self._type(qemu, key)
                        repeating = (key, until, time.monotonic() + 1.0)
                elif pending:
                    trigger, key, until = pending[0]
                    at = text.find(trigger, searched_from)
                    if at >= 0:
                        searched_from = at + len(trigger)
                        if callable(key):
                            try:
                                key = key()
                            except Failure as e:
                                failure = str(e)
                                break
                        self._type(qemu, key)
                        pending.pop(0)
                        if until:
                            repeating = (key, until, time.monotonic() + 1.0)
                time.sleep(0.05)
        finally:
            self._halt(qemu, reader)
            if self._bmcd is not None:
                problem = self._end_bmcd(terminate=False)
                failure = failure or problem
        with open(os.path.join(self.work, "console.log"), "wb") as f:
            f.write(self.output)
        if failure:
            raise Failure(failure + "\n--- console (last 3000 bytes) ---\n" + clean(bytes(self.output))[-3000:])
        return clean(bytes(self.output))


def process_cpu(pid):
    """User and system CPU seconds of a running process."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rpartition(")")[2].split()
    except OSError:
        return None
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def connected_unix_socket(inodes):
    """Whether one of these socket inodes is a connected Unix socket."""
    with open("/proc/net/unix") as f:
        next(f)
        # Num RefCount Protocol Flags Type St Inode [Path]; St 03: connected.
        return any(fields[5] == "03" and fields[6] in inodes for fields in (line.split() for line in f))


def clean(raw):
    """Console bytes as the tool meant them: no ANSI sequences, CRLF as LF."""
    text = ANSI.sub(b"", raw).replace(b"\r\n", b"\n")
    return text.decode("utf-8", errors="replace")


def runs(console, count):
    """The tool's text of each command, from the markers in startup.nsh."""
    result = []
    for i in range(count):
        begin = "%s %d\n" % (BEGIN, i)
        end = "%s %d" % (END, i)
        a = console.find(begin)
        b = console.find(end, a + 1)
        if a < 0 or b < 0:
            raise Failure("run %d did not complete\n--- console ---\n%s" % (i, console[-3000:]))
        result.append(console[a + len(begin):b])
    return result


def sim_run(tools, work, bmc_options, args, files, keys="", program=PROGRAM):
    """korvex-sim with the same command line and files, in its own folder.
    Its exit status is the run's outcome; only its own complaints fail the case."""
    folder = os.path.join(work, "sim")
    if os.path.exists(folder):
        shutil.rmtree(folder)
    os.makedirs(folder)
    for name, data in files.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    argv = [program] + list(bmc_options) + ["--"] + args.split()
    r = subprocess.run(argv, executable=tools.sim, cwd=folder, input=keys.encode(), stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, timeout=300)
    error = r.stderr.decode(errors="replace")
    if error or r.returncode not in (0, 1, 2, 3):
        raise Failure("korvex-sim failed (status %d): %s" % (r.returncode, error))
    return r.stdout.decode("utf-8", errors="replace"), folder


def normalise(text):
    # The build date is the compile date of each build, which may differ
    # across midnight between the two builds of the banner.
    text = re.sub(r"BUILD DATE :  [A-Z][a-z]{2} [ 0-9]\d \d{4}", "BUILD DATE :  <date>", text)
    # The shell starts its echo output on a new line when the tool's last
    # line did not end with one.
    return text.rstrip("\n")


def expect_same(what, efi_text, sim_text):
    a, b = normalise(efi_text), normalise(sim_text)
    if a != b:
        import difflib
        diff = "\n".join(difflib.unified_diff(b.split("\n"), a.split("\n"), "korvex-sim", "Korvex.efi", lineterm=""))
        raise Failure("%s: Korvex.efi printed other text than korvex-sim:\n%s" % (what, diff[:6000]))


def expect_in(what, text, *needles):
    for n in needles:
        if n not in text:
            raise Failure("%s: expected %r in the console text:\n%s" % (what, n, text[-3000:]))


def require_job(sim_text, marker, job):
    """korvex-sim's own run of the case reached the job's marker: what the guest
    is compared with is a run of the job."""
    if marker not in sim_text:
        raise Failure("korvex-sim's %s run does not print %r" % (job, marker))


# ---- update packages ----

PART_SIZE = 0x4000      # the one part: 16 KiB, 335 ReceiveFWData requests
PACKAGE_SIZE = 0x10000  # the part's block and the footer's block
SIGNATURE_AT = 0x4000


def payload(size, seed=1):
    import random
    rnd = random.Random(seed)
    return bytes(rnd.getrandbits(8) for _ in range(size))


def plain_package():
    """The plain layout: the part, the image signature behind it, and the
    image footer alone in the last 32 KiB block."""
    body = bytearray(b"\xff" * PACKAGE_SIZE)
    body[0:PART_SIZE] = payload(PART_SIZE)
    signature = b"ZYLOs_FW" + bytes(24) + b"KORVEX_TEST" + bytes(1)
    body[SIGNATURE_AT:SIGNATURE_AT + len(signature)] = signature
    footer = ("[img]: 0 %x 0 a.bin\n[end]" % PART_SIZE).encode() + b"\0"
    body[PACKAGE_SIZE - 0x8000:PACKAGE_SIZE - 0x8000 + len(footer)] = footer
    return bytes(body)


def package(tools, work):
    """korvex-pack builds the package (enciphered footer) when it is there."""
    if not os.path.exists(tools.pack):
        return plain_package()
    part = os.path.join(work, "part.bin")
    out = os.path.join(work, "package.bin")
    with open(part, "wb") as f:
        f.write(payload(PART_SIZE))
    r = subprocess.run([tools.pack, "build", "--part", "a.bin=%s@0" % part, "--signature",
                        "KORVEX_TEST@0x%x" % SIGNATURE_AT, "--footer", "enc", "--size", "0x%x" % PACKAGE_SIZE,
                        "-o", out], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if r.returncode != 0:
        raise Failure("korvex-pack failed: %s" % r.stdout.decode(errors="replace"))
    with open(out, "rb") as f:
        return f.read()


# ---- boots shared by several cases ----

class Run:
    """One command line of Korvex.efi in a boot: the case it belongs to, the
    BMC behind it, korvex-sim's text for it and what the guest printed."""

    def __init__(self, case, command, bmc, keys, before, compare):
        self.case, self.command, self.bmc, self.keys = case, command, bmc, keys
        self.before, self.compare = before, compare
        self.sim_text = self.sim_folder = self.output = self.cpu = None


class Boot:
    """One boot of OVMF's UEFI Shell for the runs of several cases: one disk
    with every case's files, one startup.nsh that runs every command between
    markers. bmc: "sim" (QEMU's own BMC), "bmcd" (a fresh korvex-bmcd with
    the run's own options for every run, as korvex-sim starts with a fresh
    BMC) or "openipmi" (ipmi_sim). The shell's `pause` holds the guest while
    the BMC behind it changes."""

    def __init__(self, tools, work, bmc):
        self.tools, self.work, self.bmc = tools, work, bmc
        self.runs, self.files = [], {}
        self.image = None  # a FAT image for the disk, with its own Korvex.efi
        self.ipmi_sim = None
        self.disk = self.console = self.current = None
        self.timeout = 120
        self._package = None

    def package(self):
        """The update package of every case in the boot, built once."""
        if self._package is None:
            self._package = package(self.tools, self.work)
        return self._package

    def openipmi(self):
        """ipmi_sim as the boot's BMC, started once for every case."""
        if self.ipmi_sim is None:
            self.ipmi_sim = start_ipmi_sim(self.work)
        return self.ipmi_sim

    def add(self, case, command, files=None, sim=(), bmc=None, keys=(), sim_keys="", before=None, compare=True,
            timeout=60):
        """A run of `command` against a BMC with the korvex-sim options `sim`
        (korvex-bmcd gets `bmc` when given, else the same). keys: (trigger,
        key) pairs typed during the run. before: called while the guest
        waits before the run."""
        files = files or {}
        for name, data in files.items():
            if self.files.setdefault(name, data) != data:
                raise Failure("another case puts other contents into %s" % name)
        run = Run(case, command, list(sim if bmc is None else bmc), list(keys), before, compare)
        run.sim_text, run.sim_folder = sim_run(self.tools, case.work, sim, command, files, keys=sim_keys)
        self.runs.append(run)
        self.timeout += timeout
        return run

    def _before(self, qemu, i):
        run = self.runs[i]
        if self.bmc == "bmcd" and i > 0:
            return lambda: qemu.switch_bmcd(run.bmc) or b" "
        if run.before:
            return lambda: run.before() or b" "
        return None

    def start(self):
        commands = [run.command for run in self.runs]
        if self.bmc == "openipmi":
            qemu = OpenIpmiQemu(self.tools, self.work, None, self.ipmi_sim, timeout=self.timeout)
        else:
            qemu = Qemu(self.tools, self.work, None, self.bmc, self.runs[0].bmc, timeout=self.timeout)
        actions = [self._before(qemu, i) for i in range(len(self.runs))]
        for i, run in enumerate(self.runs):
            if actions[i]:
                qemu.keys.append(("%s %d" % (END, i - 1), actions[i], "%s %d" % (BEGIN, i)))
            qemu.keys += [(trigger, key, "%s %d" % (END, i)) for trigger, key in run.keys]
        self.disk = qemu.disk = make_disk(self.tools, self.work, self.files, commands, base=self.image,
                                          pause_before=[i for i, a in enumerate(actions) if a])
        try:
            self.console = qemu.run()
        except Failure:
            # The run the guest was in when the boot went wrong is to blame.
            text = clean(bytes(qemu.output))
            self.current = ([run for i, run in enumerate(self.runs) if "%s %d\n" % (BEGIN, i) in text]
                            or self.runs[:1])[-1]
            raise
        for i, run in enumerate(self.runs):
            begin = "%s %d\n" % (BEGIN, i)
            a = self.console.find(begin)
            b = self.console.find("%s %d" % (END, i), a + 1)
            if a >= 0 and b >= 0:
                run.output = self.console[a + len(begin):b]
            ends = qemu.cpu_at("%s %d" % (BEGIN, i)), qemu.cpu_at("%s %d" % (END, i))
            run.cpu = None if None in ends else ends[1] - ends[0]
        first, last = qemu.cpu_at("%s 0" % BEGIN), qemu.cpu_marks[-1][1] if qemu.cpu_marks else None
        log("boot: QEMU's CPU %s s to the first run, %s s in all" % tuple(
            "?" if t is None else "%.1f" % t for t in (first, last)))

    def verify(self, name):
        for run in self.runs:
            if run.case.name == name:
                if run.output is None:
                    raise Failure("Korvex.efi %s did not complete\n--- console ---\n%s"
                                  % (run.command, self.console[-3000:]))
                if run.compare:
                    expect_same("Korvex.efi " + run.command, run.output, run.sim_text)

    def cpu(self, name):
        """QEMU's CPU seconds in the case's runs, from marker to marker."""
        spent = [run.cpu for run in self.runs if run.case.name == name and run.cpu is not None]
        return " (QEMU's CPU in its runs: %.1f s)" % sum(spent) if spent else ""

    def stop(self):
        if self.ipmi_sim is not None:
            self.ipmi_sim.stop()


class Case:
    def __init__(self, tools, work, name=None, boot=None):
        self.tools, self.name, self.boot = tools, name, boot
        self.work = os.path.join(work, name) if name else work
        os.makedirs(self.work, exist_ok=True)

    def path(self, name):
        return os.path.join(self.work, name)

    def run(self, *args, **kwargs):
        return self.boot.add(self, *args, **kwargs)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def case_banner(c):
    """No arguments, a bad option, and a missing package, against QEMU's BMC."""
    runs = [c.run(cmd, sim=QEMU_SIM_FAULTS) for cmd in ["", "-x", "-f nothere.bin -i kcs", "-i bogus -f a.bin"]]

    def check():
        expect_in("no arguments", runs[0].output, "FUNCTION   :  IPMI FIRMWARE UPDATE UTILITY")
        expect_in("bad option", runs[1].output, "ERROR:PLEASE CHECK THE INPUT OPTIONS, THERE ARE NO SUCH OPTIONS:-x")
    return check


def case_qemu_bmc(c):
    """QEMU's own BMC knows no OEM request: the update is refused and the BMC
    cold reset; a configuration backup fails cleanly."""
    files = {"fw.bin": c.boot.package()}
    update = c.run("-f fw.bin -i kcs -r y", files, sim=QEMU_SIM_FAULTS, timeout=200)
    backup = c.run("-c -d backup.bin", files, sim=QEMU_SIM_FAULTS)
    require_job(update.sim_text, "Execute Cold Reset Success", "update")
    require_job(backup.sim_text, "=== IPMI Configuration Backup Mode ===", "configuration")

    def check():
        expect_in("update refused", update.output, "Please select the correct image file and try again.",
                  "Execute Cold Reset Success")
        expect_in("backup refused", backup.output, "[doIPMICmd] Abnormal. CompCode == 0xc1", "Error: doIPMICmd failed")
    return check


def case_image(c):
    """The build's FAT image as a USB stick: the boot manager starts
    EFI\\BOOT\\BOOTX64.EFI without a shell (the banner, then back to the boot
    manager), and the shell then runs Korvex.efi from the root."""
    image = os.path.join(c.tools.build, "tools/uefi/Korvex.img")
    if not os.path.exists(image):
        raise Skip("Korvex.img not built")
    c.boot.image = image
    banner, _ = sim_run(c.tools, c.work, [], "", {})
    run = c.run("-x", sim=QEMU_SIM_FAULTS)

    def check():
        boot = c.boot.console[:c.boot.console.find("UEFI Interactive Shell")]
        expect_in("boot manager start", boot, normalise(banner).split("\n")[0],
                  "FUNCTION   :  IPMI FIRMWARE UPDATE UTILITY")
        expect_in("shell start", run.output, "ERROR:PLEASE CHECK THE INPUT OPTIONS, THERE ARE NO SUCH OPTIONS:-x")
    return check


def case_update(c):
    """A full update through korvex-bmcd; the BMC's flash afterwards equals
    korvex-sim's and holds the part."""
    run = c.run("-f fw.bin -i kcs -r y", {"fw.bin": c.boot.package()}, sim=["--bmc-save-flash=" + c.path("flash-sim.bin")],
                bmc=["--bmc-save-flash=" + c.path("flash-efi.bin")], timeout=400)
    require_job(run.sim_text, "Update Complete", "update")

    def check():
        expect_in("update", run.output, "Update Complete,Please wait for BMC reboot")
        flash = read(c.path("flash-efi.bin"))
        if flash != read(c.path("flash-sim.bin")):
            raise Failure("the flash after the update differs from korvex-sim's")
        if flash[:PART_SIZE] != payload(PART_SIZE):
            raise Failure("the flash does not hold the part at offset 0")
    return check


DUMP_LENGTH = 1000  # 17 full pieces and a last one of 48 bytes


def dump_flash(c, seed):
    """A 32 MiB flash file with known contents at its start, and the BMC
    options that serve it with a short announced dump length."""
    flash = bytearray(b"\xff" * 0x2000000)
    flash[:0x10000] = payload(0x10000, seed=seed)
    with open(c.path("flash.bin"), "wb") as f:
        f.write(flash)
    return flash, ["--bmc-flash=" + c.path("flash.bin"), "--bmc-dump-length=%d" % DUMP_LENGTH]


def case_dump(c):
    """A dump of a flash with known contents, with a small announced length so
    that the transfer is short; the dump file, which replaces an older one,
    equals korvex-sim's and the flash."""
    flash, options = dump_flash(c, seed=2)
    run = c.run("-d dump.bin", {"dump.bin": b"an older dump " * 100}, sim=options, timeout=300)
    require_job(run.sim_text, "Phase2:Receive the flash", "dump")
    sim_dump = read(os.path.join(run.sim_folder, "dump.bin"))

    def check():
        expect_nothing_beside(c.boot.disk, "dump.bin")
        dump = read_from_disk(c.boot.disk, "dump.bin", c.work)
        if dump is None:
            raise Failure("no dump.bin on the disk")
        if dump != sim_dump:
            raise Failure("dump.bin (%d bytes) differs from korvex-sim's (%d bytes)" % (len(dump), len(sim_dump)))
        if len(dump) != DUMP_LENGTH:
            raise Failure("dump.bin has %d bytes, not %d" % (len(dump), DUMP_LENGTH))
        if dump != bytes(flash[:DUMP_LENGTH]):
            raise Failure("dump.bin is not the first %d bytes of the BMC's flash" % DUMP_LENGTH)
    return check


def case_config(c):
    """A backup the BMC breaks off (its start request answered 0xC3) leaves
    the older backup at its name untouched; a backup replaces an older one
    with the BMC's configuration; a restore gives the BMC the restored file.
    Nothing is left beside the backups."""
    config = payload(1500, seed=3)
    restore = payload(1200, seed=4)
    older = b"an older backup " * 50
    with open(c.path("config.bin"), "wb") as f:
        f.write(config)
    files = {"restore.bin": restore, "kept.bin": older, "backup.bin": older}
    bmc = ["--bmc-config=" + c.path("config.bin")]
    # The second configuration request of the run is the backup's start request.
    broken = c.run("-c -d kept.bin", files, sim=bmc + ["--bmc-fault=request-cc:config-transfer:0xc3:2"])
    backup = c.run("-c -d backup.bin", files, sim=bmc)
    c.run("-c -f restore.bin", files, sim=bmc + ["--bmc-save-config=" + c.path("saved-sim.bin")],
          bmc=bmc + ["--bmc-save-config=" + c.path("saved-efi.bin")])
    require_job(backup.sim_text, "Done.", "configuration backup")

    def check():
        expect_in("broken backup", broken.output, "Nothing was written to kept.bin; the incomplete data were deleted.")
        if read_from_disk(c.boot.disk, "kept.bin", c.work) != older:
            raise Failure("a failed backup changed the older kept.bin")
        saved = read_from_disk(c.boot.disk, "backup.bin", c.work)
        if saved != config:
            raise Failure("backup.bin (%s bytes) is not the BMC's configuration" % (None if saved is None else len(saved)))
        expect_nothing_beside(c.boot.disk, "kept.bin", "backup.bin")
        if read(c.path("saved-efi.bin")) != restore:
            raise Failure("the BMC's configuration after the restore is not restore.bin")
    return check


def case_silent_bmc(c):
    """A BMC that stops answering: QEMU answers 0xC3 after 4 s, as korvex-sim's
    BMC does when told to answer 0xC3."""
    faults = ["--bmc-fault=request-cc:get-fw-update-info:0xc3", "--bmc-fault=request-cc:cold-reset:0xc3"]
    run = c.run("-f fw.bin -i kcs -r y", {"fw.bin": c.boot.package()}, sim=faults, bmc=["--bmcd-stop-after=0"],
                timeout=200)
    require_job(run.sim_text, "GetFWUpdateInfo", "update")
    return lambda: expect_in("silent BMC", run.output, "Execute Cold Reset Fail")


def case_gone_bmc(c):
    """A BMC that goes away in the middle of a configuration backup: QEMU
    answers 0xD2 at once to every request from then on, and the tool gives
    up with its own messages instead of hanging."""
    with open(c.path("config.bin"), "wb") as f:
        f.write(payload(1500, seed=3))
    options = ["--bmc-config=" + c.path("config.bin")]
    # Start, status and a few blocks are answered; then the BMC is gone.
    run = c.run("-c -d gone.bin", sim=options, bmc=options + ["--bmcd-exit-after=5"], compare=False)
    require_job(run.sim_text, "=== IPMI Configuration Backup Mode ===", "configuration")
    return lambda: expect_in("BMC gone", run.output, "=== IPMI Configuration Backup Mode ===",
                             "[doIPMICmd] Abnormal. CompCode == 0xd2", "Error: doIPMICmd failed")


def case_usb(c):
    """-i usb waits for one key, then refuses a package that is not 32 MiB."""
    run = c.run("-f fw.bin -i usb", {"fw.bin": c.boot.package()}, keys=[("Press any to continue", "k")], sim_keys="k")
    require_job(run.sim_text, "Press any to continue name fw.bin", "USB update")
    return lambda: expect_in("usb", run.output, "the file size of the firmware image is not correct!")


# ---- OpenIPMI's ipmi_sim as the BMC ----
# ipmi_sim knows none of the OEM requests and has no Cold Reset handler; it
# answers each of them at once with 0xC1 (QEMU's 4 s timeout never comes in).
OPENIPMI_FAULTS = QEMU_SIM_FAULTS + ["--bmc-fault=request-cc:cold-reset:0xc1"]
# While ipmi_sim is down, QEMU answers every request at once with 0xD2.
BMC_GONE_FAULTS = [f.replace(":0xc1", ":0xd2") for f in OPENIPMI_FAULTS]
OLDER_BACKUP = b"an older backup " * 50
# The extra line of a failed backup, which leaves the file at its name alone.
NOT_CHANGED = "Nothing was written to %s; the incomplete data were deleted."


class OpenIpmiQemu(Qemu):
    """The machine with ipmi_sim behind QEMU's KCS interface; QEMU is the
    socket client and reconnects when ipmi_sim comes back."""

    def __init__(self, tools, work, disk, sim, keys=(), timeout=300):
        super().__init__(tools, work, disk, "openipmi", keys=keys, timeout=timeout)
        self.sim = sim

    def command(self, socket_path):
        import openipmi
        cmd = super().command(socket_path)
        cmd[cmd.index("-chardev") + 1] = openipmi.qemu_chardev(self.sim.port)
        return cmd


def start_ipmi_sim(work):
    import openipmi  # beside this script
    if not openipmi.installed():
        raise Skip("ipmi_sim not installed (Debian package openipmi)")
    sim = openipmi.IpmiSim(work)
    try:
        sim.start()
    except RuntimeError as e:
        raise Failure(str(e))
    return sim


def expect_files_kept(c, backups):
    """Failed backups leave an older file at their name byte for byte and no
    file at all where there was none; the disk holds no other new file."""
    for name in backups:
        if read_from_disk(c.boot.disk, name, c.work) != c.boot.files.get(name):
            raise Failure("a failed backup changed or left %s" % name)
    names = sorted(n.lower() for n in names_on_disk(c.boot.disk))
    staged = sorted(n.lower() for n in list(c.boot.files) + ["Korvex.efi", "startup.nsh"])
    if names != staged:
        raise Failure("the disk holds %s, not just the files put there (%s)" % (names, staged))


def case_openipmi(c):
    """OpenIPMI's ipmi_sim, a BMC that none of us wrote: the update is refused
    and its cold reset fails; backups onto an older file and onto a new name,
    and a restore, fail cleanly; every text is korvex-sim's for 0xC1 answers."""
    c.boot.openipmi()
    restore = payload(300, seed=5)
    files = {"fw.bin": c.boot.package(), "backup.bin": OLDER_BACKUP, "restore.bin": restore}
    commands = ["-f fw.bin -i kcs -r y", "-c -d backup.bin", "-c -d new.bin", "-c -f restore.bin"]
    runs = [c.run(cmd, files, sim=OPENIPMI_FAULTS) for cmd in commands]
    require_job(runs[1].sim_text, "=== IPMI Configuration Backup Mode ===", "configuration")

    def check():
        expect_in("update refused", runs[0].output, "Please select the correct image file and try again.",
                  "Execute Cold Reset Fail")
        for run in runs[1:]:
            expect_in("configuration refused", run.output, "[doIPMICmd] Abnormal. CompCode == 0xc1",
                      "Error: doIPMICmd failed")
        expect_in("older backup", runs[1].output, NOT_CHANGED % "backup.bin")
        expect_in("new backup", runs[2].output, NOT_CHANGED % "new.bin")
        if read_from_disk(c.boot.disk, "restore.bin", c.work) != restore:
            raise Failure("the failed restore changed restore.bin")
        expect_files_kept(c, ["backup.bin", "new.bin"])
    return check


def case_openipmi_restart(c):
    """ipmi_sim goes down after a refused update (its cold reset answered
    0xC1) and comes back on the same port: the backup in between meets QEMU's
    0xD2 and keeps the older file; once QEMU has reconnected, the same update
    meets ipmi_sim again."""
    sim = c.boot.openipmi()
    files = {"fw.bin": c.boot.package(), "backup.bin": OLDER_BACKUP}

    def bmc_down():
        sim.stop()
        time.sleep(1)  # QEMU sees the link drop in its own main loop

    def bmc_back():
        try:
            sim.restart()
        except RuntimeError as e:
            raise Failure(str(e))
        if not sim.wait_connected():
            raise Failure("QEMU did not reconnect to the restarted ipmi_sim")

    c.run("-f fw.bin -i kcs -r y", files, sim=OPENIPMI_FAULTS)
    gone = c.run("-c -d backup.bin", files, sim=BMC_GONE_FAULTS, before=bmc_down)
    back = c.run("-f fw.bin -i kcs -r y", files, sim=OPENIPMI_FAULTS, before=bmc_back)
    require_job(gone.sim_text, "=== IPMI Configuration Backup Mode ===", "configuration")

    def check():
        expect_in("BMC gone", gone.output, "[doIPMICmd] Abnormal. CompCode == 0xd2", NOT_CHANGED % "backup.bin")
        expect_in("BMC back", back.output, "Please select the correct image file and try again.")
        expect_files_kept(c, ["backup.bin"])
    return check


# ---- runs without a shell: started by the boot manager from a boot entry ----

BOOT_FOLDER = "EFI/korvex"
BOOT_PATH = "\\EFI\\korvex\\Korvex.efi"
BOOT_ENTRY = 0x0100
BOOT_PROGRAM = "Korvex.efi"  # the program name the boot entries give
FIRMWARE_GAVE_UP = "No bootable option"
UNSIGNED_FOLDER = "EFI/unsigned"


def boot_disk(tools, work, efi, files=None, size_kib=16384):
    """A FAT disk with Korvex.efi and the given files in \\EFI\\korvex."""
    disk = os.path.join(work, "disk.img")
    if os.path.exists(disk):
        os.remove(disk)
    subprocess.run([tools.mkfs, "-C", disk, str(size_kib)], check=True, stdout=subprocess.DEVNULL)
    env = mtools_env()
    subprocess.run(["mmd", "-i", disk, "::/EFI", "::/" + BOOT_FOLDER], check=True, env=env)
    subprocess.run(["mcopy", "-i", disk, efi, "::/%s/Korvex.efi" % BOOT_FOLDER], check=True, env=env)
    for name, data in (files or {}).items():
        path = os.path.join(work, "in-" + name)
        with open(path, "wb") as f:
            f.write(data)
        subprocess.run(["mcopy", "-i", disk, path, "::/%s/%s" % (BOOT_FOLDER, name)], check=True, env=env)
    return disk


def sign(tools, work, cert, key_source, password):
    """Korvex.efi signed with the build's own signing script; the key is
    decrypted into the work folder for the moment it is needed."""
    if not (shutil.which("sbsign") and shutil.which("sbverify") and shutil.which("openssl")):
        raise Skip("sbsigntool or openssl not installed")
    key = os.path.join(work, "signing-key.pem")
    signed = os.path.join(work, "Korvex.signed.efi")
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../tools/uefi/sign.sh")
    old = os.umask(0o077)
    try:
        subprocess.run(["openssl", "pkey", "-in", key_source, "-passin", "pass:" + password, "-out", key],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        r = subprocess.run([script, key, cert, tools.efi, signed], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if r.returncode != 0:
            raise Failure("signing failed: %s" % r.stdout.decode(errors="replace"))
    finally:
        os.umask(old)
        if os.path.exists(key):
            os.remove(key)
    return signed


def boot_results(disk, work):
    """What a run from a boot entry left beside the image: log, result."""
    log = read_from_disk(disk, BOOT_FOLDER + "/korvex.log", work)
    result = read_from_disk(disk, BOOT_FOLDER + "/korvex.result", work)
    return (None if log is None else log.decode("utf-8", errors="replace")), result


def case_secure_boot(c):
    """Secure Boot with the snakeoil key enrolled, in one boot: the firmware
    refuses the unsigned Korvex.efi of the BootNext entry, which leaves
    nothing, and goes on to the boot order's entry, Korvex.efi signed with
    that key, which backs up the BMC's configuration through korvex-bmcd; the
    backup, the log and the result match korvex-sim's run. (A backup, not a
    dump: the dump's 50 s pause is a busy loop under TCG, and the dump case
    covers it.)"""
    with open(c.path("config.bin"), "wb") as f:
        f.write(payload(1500, seed=5))
    options = ["--bmc-config=" + c.path("config.bin")]
    command = "-c -d backup.bin"
    sim_text, folder = sim_run(c.tools, c.work, options, command, {}, program=BOOT_PROGRAM)
    require_job(sim_text, "Done.", "configuration backup")
    sim_backup = read(os.path.join(folder, "backup.bin"))

    firmware = Firmware.snakeoil(c.work)
    signed = sign(c.tools, c.work, SNAKEOIL_CERT, SNAKEOIL_KEY, "snakeoil")
    disk = boot_disk(c.tools, c.work, signed)
    env = mtools_env()
    subprocess.run(["mmd", "-i", disk, "::/" + UNSIGNED_FOLDER], check=True, env=env)
    subprocess.run(["mcopy", "-i", disk, c.tools.efi, "::/%s/Korvex.efi" % UNSIGNED_FOLDER], check=True, env=env)
    line = "%s --reset %s" % (BOOT_PROGRAM, command)
    set_variable(firmware.vars, "Boot%04X" % BOOT_ENTRY,
                 load_option("Korvex", BOOT_PATH, (line + "\0").encode("utf-16-le")))
    set_variable(firmware.vars, "BootOrder", struct.pack("<H", BOOT_ENTRY))
    boot_next(firmware, BOOT_ENTRY + 1, "\\" + UNSIGNED_FOLDER.replace("/", "\\") + "\\Korvex.efi", line)
    console = Qemu(c.tools, c.work, disk, "bmcd", options, firmware=firmware, stop_on=[FIRMWARE_GAVE_UP],
                   timeout=500).run()
    expect_in("the unsigned image", console, "Boot%04X" % (BOOT_ENTRY + 1), "Access Denied")
    if names_on_disk(disk, UNSIGNED_FOLDER) != ["Korvex.efi"]:
        raise Failure("the unsigned Korvex.efi left files: it ran (%s)" % names_on_disk(disk, UNSIGNED_FOLDER))
    log_text, result = boot_results(disk, c.work)
    if log_text is None:
        raise Failure("the signed Korvex.efi left no log: it did not run")
    expect_same("the log of the signed run", log_text, sim_text)
    if read_from_disk(disk, BOOT_FOLDER + "/backup.bin", c.work) != sim_backup:
        raise Failure("backup.bin differs from korvex-sim's")
    if result != b"outcome=succeeded\nstatus=0\n":
        raise Failure("the result file says %r" % result)
    expect_nothing_beside(disk, "backup.bin", "korvex.result", folder=BOOT_FOLDER)

# ---- a Linux guest that OVMF boots, to stage runs with korvex-stage ----

# Loaded in the guest in this order: the virtio disk, FAT, the variables.
GUEST_MODULES = ["virtio_pci", "virtio_blk", "nls_cp437", "nls_ascii", "nls_utf8", "vfat", "efivarfs"]
GUEST_INIT = """#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for m in $(cat /modules/order); do insmod /modules/$m.ko 2>/dev/null; done
mount -t efivarfs efivarfs /sys/firmware/efi/efivars
i=0; while [ ! -b /dev/vda1 ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done
mkdir -p /boot/efi && mount -t vfat /dev/vda1 /boot/efi
# Every result leaves the guest as base64 between markers, byte for byte.
put() { echo "@@KORVEX-BEGIN $1@@"; base64 "$2"; echo "@@KORVEX-END $1@@"; }
cd /work
. /case.sh
sync
umount /boot/efi
echo "@@KORVEX-GUEST-DONE@@"
reboot -f
"""
ESP_OFFSET = 1024 * 1024
ESP_KIB = 63 * 1024


class LinuxGuest:
    """A minimal Linux started by OVMF (-kernel), so that it sees the
    firmware's variables as a server's Linux does: busybox, korvex-stage and
    efibootmgr with its libraries, and the modules for the virtio disk, FAT
    and efivarfs of the kernel under /boot."""

    def __init__(self, tools, work):
        self.tools, self.work = tools, work
        kernels = sorted(f for f in os.listdir("/boot") if f.startswith("vmlinuz-")) if os.path.isdir("/boot") else []
        self.kernel = os.environ.get("KORVEX_GUEST_KERNEL") or (os.path.join("/boot", kernels[-1]) if kernels else None)
        if not self.kernel or not os.access(self.kernel, os.R_OK):
            raise Skip("no readable kernel under /boot (install linux-image-amd64)")
        self.modules = "/lib/modules/" + os.path.basename(self.kernel)[len("vmlinuz-"):]
        self.busybox = shutil.which("busybox")
        self.efibootmgr = shutil.which("efibootmgr") or shutil.which("efibootmgr", path="/usr/sbin:/sbin")
        self.stage = os.path.join(tools.build, "tools/korvex-stage/korvex-stage-static")
        for path, what in ((self.busybox, "busybox-static"), (self.efibootmgr, "efibootmgr"),
                           (shutil.which("cpio"), "cpio"), (os.path.join(self.modules, "modules.dep"), "the kernel's modules")):
            if not path or not os.path.exists(path):
                raise Skip("%s not installed" % what)
        if b"INTERP" in subprocess.run(["readelf", "-l", self.busybox], stdout=subprocess.PIPE).stdout:
            raise Skip("%s is not static (install busybox-static)" % self.busybox)
        if not os.path.exists(self.stage):
            raise Skip("korvex-stage-static not built")

    def _modules(self):
        """The wanted modules and what they need, each after its needs."""
        deps = {}
        with open(os.path.join(self.modules, "modules.dep")) as f:
            for line in f:
                path, _, needs = line.partition(":")
                deps[os.path.basename(path).split(".ko")[0]] = (path, needs.split())
        order = []

        def add(name):
            if name in order or name not in deps:
                return
            for need in deps[name][1]:
                add(os.path.basename(need).split(".ko")[0])
            order.append(name)
        for name in GUEST_MODULES:
            add(name)
        return [(name, os.path.join(self.modules, deps[name][0])) for name in order]

    def initramfs(self, script, files):
        root = os.path.join(self.work, "guest-root")
        shutil.rmtree(root, ignore_errors=True)
        for d in ("bin", "dev", "proc", "sys", "tmp", "work", "modules", "boot"):
            os.makedirs(os.path.join(root, d))
        shutil.copy(self.busybox, os.path.join(root, "bin/busybox"))
        shutil.copy(self.stage, os.path.join(root, "bin/korvex-stage"))
        shutil.copy(self.efibootmgr, os.path.join(root, "bin/efibootmgr"))
        libraries = subprocess.run(["ldd", self.efibootmgr], stdout=subprocess.PIPE, text=True).stdout
        for lib in re.findall(r"(/\S+) \(0x", libraries):
            os.makedirs(os.path.dirname(root + lib), exist_ok=True)
            shutil.copy(os.path.realpath(lib), root + lib)
        order = []
        for name, path in self._modules():
            if path.endswith(".ko"):
                shutil.copy(path, os.path.join(root, "modules", name + ".ko"))
                order.append(name)
        with open(os.path.join(root, "modules/order"), "w") as f:
            f.write("\n".join(order) + "\n")
        shutil.copy(self.tools.efi, os.path.join(root, "Korvex.efi"))
        for name, data in files.items():
            with open(os.path.join(root, "work", name), "wb") as f:
                f.write(data)
        with open(os.path.join(root, "init"), "w") as f:
            f.write(GUEST_INIT)
        os.chmod(os.path.join(root, "init"), 0o755)
        with open(os.path.join(root, "case.sh"), "w") as f:
            f.write(script)
        initrd = os.path.join(self.work, "initrd.gz")
        listing = subprocess.run("find . | LC_ALL=C sort", shell=True, cwd=root, stdout=subprocess.PIPE).stdout
        archive = subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=root, input=listing,
                                 stdout=subprocess.PIPE, check=True).stdout
        import gzip
        with open(initrd, "wb") as f:
            f.write(gzip.compress(archive, 1))
        return initrd

    def boot(self, firmware, disk, script, files=None, timeout=300):
        """Boots the guest once with script as its case; returns the console."""
        initrd = self.initramfs(script, files or {})
        append = "console=ttyS0 quiet loglevel=1 panic=-1 rdinit=/init"
        q = Qemu(self.tools, self.work, disk, "sim", firmware=firmware, kernel=(self.kernel, initrd, append),
                 timeout=timeout)
        console = q.run()
        if "@@KORVEX-GUEST-DONE@@" not in console:
            raise Failure("the guest did not run its case\n" + console[-3000:])
        return console


def guest_command(name, command):
    """A line of the guest's case: runs command, sends back its standard
    output, error and exit status as NAME.out, NAME.err, NAME.rc."""
    return ("%s > /tmp/%s.out 2> /tmp/%s.err; echo $? > /tmp/%s.rc\n" % (command, name, name, name) +
            "".join("put %s.%s /tmp/%s.%s\n" % (name, part, name, part) for part in ("out", "err", "rc")))


def guest_result(console, name):
    import base64
    begin, end = "@@KORVEX-BEGIN %s@@\n" % name, "@@KORVEX-END %s@@" % name
    a = console.find(begin)
    b = console.find(end, a + 1)
    if a < 0 or b < 0:
        raise Failure("no %s from the guest\n%s" % (name, console[-3000:]))
    return base64.b64decode(console[a + len(begin):b])


def guest_run(console, name):
    """NAME's standard output, error and exit status from the guest."""
    return (guest_result(console, name + ".out"), guest_result(console, name + ".err").decode(errors="replace"),
            int(guest_result(console, name + ".rc")))


def esp_disk(tools, work):
    """A disk whose one partition (MBR, type 0xEF) is an empty FAT ESP."""
    disk = os.path.join(work, "disk.img")
    part = os.path.join(work, "esp.img")
    for path in (disk, part):
        if os.path.exists(path):
            os.remove(path)
    subprocess.run([tools.mkfs, "-C", part, str(ESP_KIB)], check=True, stdout=subprocess.DEVNULL)
    sectors = ESP_KIB * 2
    entry = struct.pack("<B3sB3sII", 0, b"\0\2\0", 0xEF, b"\xfe\xff\xff", ESP_OFFSET // 512, sectors)
    mbr = bytearray(512)
    mbr[440:444] = struct.pack("<I", 0x4B52564B)  # the disk signature the boot entry names
    mbr[446:462] = entry
    mbr[510:512] = b"\x55\xaa"
    with open(disk, "wb") as f:
        f.write(mbr + bytes(ESP_OFFSET - 512))
        with open(part, "rb") as p:
            shutil.copyfileobj(p, f)
    os.remove(part)
    return disk


class StagedRun:
    def __init__(self, case, command, bmc, reset):
        self.case, self.command, self.bmc, self.reset = case, command, bmc, reset
        self.report = self.entries = None


class StagedBoots(Boot):
    """Staged runs one after another: the Linux guest stages the first run
    with korvex-stage and reboots; the firmware runs Korvex.efi from
    BootNext against a korvex-bmcd with the run's options; the guest boots
    again, reports that run (its log, messages and status, and the boot
    entries left) and stages the next, and so on."""

    def __init__(self, tools, work):
        super().__init__(tools, work, "bmcd")

    def add(self, case, command, bmc=(), reset=False):
        self.runs.append(StagedRun(case, command, list(bmc), reset))
        return self.runs[-1]

    def start(self):
        guest = LinuxGuest(self.tools, self.work)
        firmware = Firmware.plain(self.work)
        self.disk = esp_disk(self.tools, self.work)
        files = {"fw.bin": self.package()}
        script = ""
        report = guest_command("report", "korvex-stage --report") + "efibootmgr > /tmp/entries 2>&1; put entries /tmp/entries\n"
        for run in self.runs + [None]:
            if run:
                options = "--efi /Korvex.efi" + (" --reset" if run.reset else "")
                script += guest_command("stage", "korvex-stage %s %s" % (options, run.command))
            console = guest.boot(firmware, self.disk, script, files)
            if self.current:
                self.current.report = guest_run(console, "report")
                self.current.entries = guest_result(console, "entries").decode(errors="replace")
            if not run:
                return
            self.current = run
            _, messages, status = guest_run(console, "stage")
            if status != 0:
                raise Failure("korvex-stage did not stage the run (status %d): %s" % (status, messages))
            log("staged: " + messages.strip().replace("\n", " | "))
            q = Qemu(self.tools, self.work, self.disk, "bmcd", run.bmc, firmware=firmware,
                     stop_on=["UEFI Interactive Shell", FIRMWARE_GAVE_UP], timeout=400)
            q.run()
            log("the firmware's boot ended: %s" % (q.stopped_by or "reset"))
            script = report

    def verify(self, name):
        pass  # the chain fails as a whole, naming the run it was in

    def cpu(self, name):
        return ""


def case_staged_update(c):
    """The whole staged flow without Secure Boot: Linux stages an update,
    the firmware runs Korvex.efi from BootNext, the update reaches
    korvex-bmcd, and the report after the next boot says so with status 0."""
    command = "-f fw.bin -i kcs -r y"
    flash = c.path("flash.bin")
    run = c.run(command, bmc=["--bmc-save-flash=" + flash])
    sim_text, _ = sim_run(c.tools, c.work, [], command, {"fw.bin": c.boot.package()}, program=BOOT_PROGRAM)

    def check():
        log_text, messages, status = run.report
        expect_same("the log of the staged update", log_text.decode("utf-8", errors="replace"), sim_text)
        if status != 0:
            raise Failure("the report's status is %d: %s" % (status, messages))
        expect_in("the report", messages, "Korvex.efi -f fw.bin -i kcs -r y: succeeded")
        if "Korvex staged run" in run.entries:
            raise Failure("the boot entry is still there:\n" + run.entries)
        if os.path.exists(c.tools.pack):
            r = subprocess.run([c.tools.pack, "verify-dump", os.path.join(c.boot.work, "package.bin"), flash],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            if r.returncode != 0:
                raise Failure("the BMC's flash does not verify against the package: %s" % r.stdout.decode(errors="replace"))
    return check


def case_staged_refusal(c):
    """The same with a BMC that refuses the package (update state 3), and
    Korvex.efi resetting the machine when done: the report exits 3 (refused
    by the BMC) and its log is korvex-sim's text for the same refusal."""
    command = "-f fw.bin -i kcs -r y"
    refuse = ["--bmc-update-state=3"]
    run = c.run(command, bmc=refuse, reset=True)
    sim_text, _ = sim_run(c.tools, c.work, refuse, command, {"fw.bin": c.boot.package()}, program=BOOT_PROGRAM)

    def check():
        log_text, messages, status = run.report
        expect_same("the log of the refused update", log_text.decode("utf-8", errors="replace"), sim_text)
        if status != 3:
            raise Failure("the report of a refused update has status %d, not 3 (refused by the BMC): %s"
                          % (status, messages))
        if "Korvex staged run" in run.entries:
            raise Failure("the boot entry is still there:\n" + run.entries)
    return check


# Cases that share one boot; each also runs alone (its own boot) by its name.
GROUPS = {
    "shell-qemu-bmc": ("sim", ["image", "banner", "qemu-bmc"]),
    # usb last: the key it waits for, typed again until the run ends, must
    # not meet a later `pause`.
    "shell-bmcd": ("bmcd", ["update", "dump", "config", "silent-bmc", "gone-bmc", "usb"]),
    "shell-openipmi": ("openipmi", ["openipmi", "openipmi-restart"]),
    "staged": ("staged", ["staged-update", "staged-refusal"]),
}

CASES = {
    "banner": case_banner,
    "qemu-bmc": case_qemu_bmc,
    "update": case_update,
    "dump": case_dump,
    "config": case_config,
    "silent-bmc": case_silent_bmc,
    "gone-bmc": case_gone_bmc,
    "usb": case_usb,
    "image": case_image,
    "openipmi": case_openipmi,
    "openipmi-restart": case_openipmi_restart,
    "secure-boot": case_secure_boot,
    "staged-update": case_staged_update,
    "staged-refusal": case_staged_refusal,
}


def kind_of(name):
    """The BMC a case's boot has; "own" for a case that boots by itself."""
    return next((kind for kind, names in GROUPS.values() if name in names), "own")


def run_cases(tools, work, names):
    """Runs the cases (all of one kind) with one boot; each case's outcome:
    (0, ""), (1, why) or (SKIP, why)."""
    kind = kind_of(names[0])
    boot = StagedBoots(tools, work) if kind == "staged" else Boot(tools, work, "sim" if kind == "own" else kind)
    results, checks = {}, {}
    for name in names:
        try:
            checks[name] = CASES[name](Case(tools, work, name, boot))
        except Skip as e:
            results[name] = (SKIP, str(e))
        except Failure as e:
            results[name] = (1, str(e))
    try:
        if boot.runs:
            boot.start()
    except (Skip, Failure) as e:
        blamed = boot.current.case.name if boot.current else None
        for name in checks:
            if name not in results:
                results[name] = ((SKIP, str(e)) if isinstance(e, Skip) else
                                 (1, str(e) if name == blamed else "not checked: the boot ended in %s's run" % blamed))
    finally:
        boot.stop()
    for name, check in checks.items():
        if name not in results:
            try:
                boot.verify(name)
                if check:
                    check()
                results[name] = (0, "")
            except Failure as e:
                results[name] = (1, str(e))
    return results, boot


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    parser.add_argument("name", choices=sorted(CASES) + sorted(GROUPS), help="a case, or a group of cases that share a boot")
    args = parser.parse_args()
    names = GROUPS[args.name][1] if args.name in GROUPS else [args.name]
    tools = Tools(args.build_dir)
    base = os.path.join(tools.build, "tests/system/work")
    os.makedirs(base, exist_ok=True)
    work = tempfile.mkdtemp(prefix=args.name + "-", dir=base)
    start = time.monotonic()
    try:
        tools.check()
        results, boot = run_cases(tools, work, names)
    except Skip as e:
        results, boot = {name: (SKIP, str(e)) for name in names}, None
    for name in names:
        status, why = results[name]
        log("%s %s%s%s" % ({0: "PASS", 1: "FAIL", SKIP: "SKIP"}[status], name, boot.cpu(name) if boot else "",
                           ": " + why if why else ""))
    # The CPU time beside the wall time: a guest that mostly waits lets the
    # scheduler run more such boots at once (tests/system/CMakeLists.txt).
    t = os.times()
    log("%s: %.1f s, CPU %.1f s" % (args.name, time.monotonic() - start,
                                     t.user + t.system + t.children_user + t.children_system))
    failed = any(status == 1 for status, _ in results.values())
    if failed or args.keep:
        log("work folder: %s" % work)
    else:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failed else SKIP if all(status == SKIP for status, _ in results.values()) else 0


if __name__ == "__main__":
    sys.exit(main())
