#!/usr/bin/env python3
"""Item 10 of the benchmarks, run by hand (a few minutes): the tool's update
over the raw KCS ports and then, with the kernel's IPMI driver loaded,
through /dev/ipmi0, in requests per second, in one Linux guest under QEMU
(TCG) with korvex-bmcd as the BMC, on the Linux-guest machinery
(tests/system/linux_guest.py).

Each update is timed by the guest's /proc/uptime; the four progress polls'
pauses of 1 s are taken off, and the requests are those korvex-sim counts for
the same update, less the four polls.

    bench/driver_bench.py --build-dir BUILD [--part BYTES]

Exit status: 0 measured, 1 failed, 77 skipped (something missing).
"""

import argparse
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "system"))
import korvex_qemu as kq  # noqa: E402
import linux_guest as lg  # noqa: E402


def bench(part):
    def steps(c):
        c.file("fw.bin", c.tools.package(c.work, kq.payload(part), part + 0x10000))
        uptime = "cut -d' ' -f1 /proc/uptime"
        c.cmd("t0", uptime)
        c.run("raw", *lg.UPDATE)
        c.cmd("t1", uptime)
        c.load_driver()
        c.cmd("irq0", "grep ipmi_si /proc/interrupts")
        c.cmd("t2", uptime)
        c.run("drv", *lg.UPDATE)
        c.cmd("t3", uptime)
        c.cmd("irq1", "grep ipmi_si /proc/interrupts")
        c.cmd("dmesg", "dmesg")
        c.bmc = []
        yield
        sim_out, sim_err, _ = c.sim("korvex", ["--stats"], lg.UPDATE)
        kq.same("update console text, raw ports", sim_out, c.collect("raw"))
        kq.same("update console text, driver", sim_out, c.collect("drv", 0, "driver"))
        t = [float(c.got("t%d" % i)[0]) for i in range(4)]
        requests = int(sim_err.split("exchanges: ")[1].split()[0]) - 4
        raw, drv = requests / (t[1] - t[0] - 4), requests / (t[3] - t[2] - 4)
        kq.log("update of a %d-byte part, %d requests besides the progress polls" % (part, requests))
        kq.log("raw ports: %.1f s, %.0f requests/s" % (t[1] - t[0] - 4, raw))
        kq.log("driver:    %.1f s, %.0f requests/s" % (t[3] - t[2] - 4, drv))
        kq.log("driver / raw ports: %.2f (goal: at least 0.8)" % (drv / raw))
        kq.log("interrupts during the driver's update: %d" % (lg.interrupts(c.got("irq1")[0]) -
                                                              lg.interrupts(c.got("irq0")[0])))
        dmesg = c.collect("dmesg").decode(errors="replace").split("\n")
        kq.log("\n".join(line for line in dmesg if "ipmi" in line.lower()))
    return steps


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--part", type=lambda v: int(v, 0), default=262144, 
                        help="bytes of the one part (default 256 KiB)")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="korvex-driver-bench-")
    try:
        boot = lg.LinuxBoot(kq.Tools(args.build_dir), work, True)
        status, why = kq.run_group(boot, [("bench", bench(args.part))])["bench"]
    except kq.Skip as e:
        status, why = kq.SKIP, str(e)
    kq.log("%s %s" % ({0: "PASS", 1: "FAIL", kq.SKIP: "SKIP"}[status], why))
    if status == 1:
        kq.log("work folder: %s" % work)
    else:
        shutil.rmtree(work, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
