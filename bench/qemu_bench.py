#!/usr/bin/env python3
"""Item 7 of the benchmarks, run by hand (slow: QEMU under TCG, minutes).

Korvex.efi in OVMF's UEFI Shell, through QEMU's KCS device (isa-ipmi-kcs) and
ipmi-bmc-extern to the simulated BMC served by korvex-bmcd. Two runs in one
boot, timed from the serial console as the text arrives:

  - an update of a package with one part of PART bytes (plus the 256 KiB
    footer area the tool sends as a part of its own): firmware bytes per
    second, from the first progress line to the last part's "[Ok]";
  - a flash dump of DUMP bytes: GetDumpFlashData requests carry no data (an
    empty request; each answer brings 56 bytes), exchanges per second from
    the "length=" line to the end of the run.

It reuses the system-test harness (tests/system/korvex_qemu.py): its Tools,
make_disk, Qemu and runs.

    bench/qemu_bench.py --build-dir BUILD [--part BYTES] [--dump BYTES]

Exit status: 0 measured, 1 failed, 77 skipped (QEMU, OVMF, Korvex.efi,
korvex-bmcd or the harness missing).
"""

import argparse
import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "system"))
SKIP = 77
FOOTER_AREA = 0x40000
BLOCK = 0x8000


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--part", type=lambda v: int(v, 0), default=0x40000, help="bytes of the one part (default 256 KiB)")
    parser.add_argument("--dump", type=lambda v: int(v, 0), default=0x40000, help="bytes of the dump (default 256 KiB)")
    parser.add_argument("--timeout", type=int, default=3600)
    args = parser.parse_args()

    try:
        import korvex_qemu as h
    except ImportError:
        print("skipped: the QEMU harness (tests/system/korvex_qemu.py) is not in this checkout")
        return SKIP

    class TimedQemu(h.Qemu):
        """The harness's machine, noting when each piece of console text arrived."""

        def __init__(self, *a, **k):
            super().__init__(*a, **k)
            self.arrivals = []  # (time, length of the output after the piece)

        def _arrived(self):
            self.arrivals.append((time.monotonic(), len(self.output)))

        def when(self, needle, start=0, last=False):
            """The time at which the raw console first (or last) held needle."""
            raw = bytes(self.output)
            at = raw.rfind(needle) if last else raw.find(needle, start)
            if at < 0:
                return None, -1
            end = at + len(needle)
            for t, length in self.arrivals:
                if length >= end:
                    return t, at
            return None, at

    tools = h.Tools(args.build_dir)
    try:
        tools.check()
    except h.Skip as e:
        print("skipped:", e)
        return SKIP
    if not os.path.exists(tools.pack):
        print("skipped: korvex-pack not built")
        return SKIP

    with tempfile.TemporaryDirectory(prefix="korvex-qemu-bench-") as work:
        part = os.path.join(work, "part.bin")
        package = os.path.join(work, "fw.bin")
        size = (args.part + BLOCK - 1) // BLOCK * BLOCK + BLOCK
        with open(part, "wb") as f:
            f.write(h.payload(args.part))
        r = h.subprocess.run([tools.pack, "build", "--part", "a.bin=%s@0" % part, "--footer", "enc",
                              "--size", "0x%x" % size, "--footer-block", "0x%x" % (size - BLOCK), "-o", package],
                             stdout=h.subprocess.PIPE, stderr=h.subprocess.STDOUT)
        if r.returncode != 0:
            print("korvex-pack failed:", r.stdout.decode(errors="replace"))
            return 1
        with open(package, "rb") as f:
            files = {"fw.bin": f.read()}
        commands = ["-f fw.bin -i kcs -r y", "-d dump.bin"]
        disk = h.make_disk(tools, work, files, commands, size_kib=max(16384, (size + 2 * args.dump) // 1024 + 4096))
        qemu = TimedQemu(tools, work, disk, "bmcd",
                         bmcd_args=["--bmc-dump-length=%d" % args.dump], timeout=args.timeout)
        began = time.monotonic()
        try:
            console = qemu.run()
            h.runs(console, len(commands))
        except h.Failure as e:
            print("failed:", e)
            return 1
        boot = time.monotonic() - began

        first, at = qemu.when(b"Load part 0")
        last, _ = qemu.when(b"[Ok]", last=True)
        sent = args.part + FOOTER_AREA - 49  # the first progress line follows the first chunk
        phase2, at2 = qemu.when(b"length=0x", at)
        done, _ = qemu.when(("%s 1" % h.END).encode(), max(at2, 0))
        if None in (first, last, phase2, done):
            print("failed: the console lacks the lines to time the runs")
            return 1
        update_s = last - first
        dump_s = done - phase2
        exchanges = (args.dump + 55) // 56
        bytes_per_s = sent / update_s
        fw_exchanges_per_s = sent / 49 / update_s
        empty_per_s = exchanges / dump_s
        print("QEMU (TCG) + isa-ipmi-kcs + korvex-bmcd, one boot of %.0f s" % boot)
        print("[7] update: %d bytes in %.1f s: %.0f bytes/s (%.0f ReceiveFWData exchanges/s)"
              % (sent, update_s, bytes_per_s, fw_exchanges_per_s))
        print("    empty requests (GetDumpFlashData, 56 bytes back each): %d in %.1f s: %.0f exchanges/s"
              % (exchanges, dump_s, empty_per_s))
        print("    ReceiveFWData exchange (52 bytes out, 3 back) against the empty request: %.2f of its rate"
              % (fw_exchanges_per_s / empty_per_s))
    return 0


if __name__ == "__main__":
    sys.exit(main())
