#!/usr/bin/env python3
"""Item 7 of the benchmarks, run by hand (slow: QEMU under TCG, minutes).

Korvex.efi in OVMF's UEFI Shell, through QEMU's KCS device (isa-ipmi-kcs) and
ipmi-bmc-extern to korvex-bmcd, on the system tests' machinery
(tests/system/korvex_qemu.py). Two runs in one boot, each also compared with
korvex-sim, timed from the serial console as the text arrives:

  - an update of a package with one part of PART bytes (plus the 256 KiB
    footer area the tool sends as a part of its own): firmware bytes per
    second, from the first progress line to the last part's "[Ok]";
  - a flash dump of DUMP bytes: GetDumpFlashData requests carry no data (an
    empty request; each answer brings 56 bytes), exchanges per second from
    the "length=" line to the end of the run.

    bench/qemu_bench.py --build-dir BUILD [--part BYTES] [--dump BYTES]

Exit status: 0 measured, 1 failed, 77 skipped (something missing).
"""

import argparse
import os
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "system"))
import korvex_qemu as h  # noqa: E402

FOOTER_AREA = 0x40000
BLOCK = 0x8000


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--part", type=lambda v: int(v, 0), default=0x40000, 
                        help="bytes of the one part (default 256 KiB)")
    parser.add_argument("--dump", type=lambda v: int(v, 0), default=0x40000, help="bytes of the dump (default 256 KiB)")
    parser.add_argument("--timeout", type=int, default=3600)
    args = parser.parse_args()
    size = (args.part + BLOCK - 1) // BLOCK * BLOCK + BLOCK
    dump = ["--bmc-dump-length=%d" % args.dump]

    def runs(c):
        c.boot.package = c.tools.package(c.boot.work, h.payload(args.part), size, "--footer", "enc",
                                         "--footer-block", "0x%x" % (size - BLOCK))
        c.boot.add(c, h.UPDATE, h.PKG, dump, h.SAME, ["Update Complete"])
        c.boot.add(c, "-d dump.bin", {}, dump, h.SAME, ["Phase2"])
        yield
    with tempfile.TemporaryDirectory(prefix="korvex-qemu-bench-") as work:
        try:
            boot = h.ShellBoot(h.Tools(args.build_dir), work, "extern")
        except h.Skip as e:
            print("skipped:", e)
            return h.SKIP
        boot.timeout, boot.disk_kib = args.timeout, max(16384, (size + 2 * args.dump) // 1024 + 4096)
        status, why = h.run_group(boot, [("bench", runs)])["bench"]
        if status:
            print("failed:", why)
            return status
        m = boot.machine
        first, last = m.at("Load part 0"), m.at("[Ok]", last=True)
        phase2, done = m.at("length=0x"), m.at("%s 1" % h.END)
        if None in (first, last, phase2, done):
            print("failed: the console lacks the lines to time the runs")
            return 1
        sent = args.part + FOOTER_AREA - 49  # the first progress line follows the first chunk
        update_s, dump_s, exchanges = last - first, done - phase2, (args.dump + 55) // 56
        fw_exchanges_per_s, empty_per_s = sent / 49 / update_s, exchanges / dump_s
        print("QEMU (TCG) + isa-ipmi-kcs + korvex-bmcd, one boot of %.0f s" % (m.times[-1][1] - m.times[0][1]))
        print("[7] update: %d bytes in %.1f s: %.0f bytes/s (%.0f ReceiveFWData exchanges/s)"
              % (sent, update_s, sent / update_s, fw_exchanges_per_s))
        print("    empty requests (GetDumpFlashData, 56 bytes back each): %d in %.1f s: %.0f exchanges/s"
              % (exchanges, dump_s, empty_per_s))
        print("    ReceiveFWData exchange (52 bytes out, 3 back) against the empty request: %.2f of its rate"
              % (fw_exchanges_per_s / empty_per_s))
    return 0


if __name__ == "__main__":
    sys.exit(main())
