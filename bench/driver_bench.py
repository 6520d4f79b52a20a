#!/usr/bin/env python3
"""Item 10 of the benchmarks, run by hand (a few minutes): the tool's update
over the raw KCS ports and then, with the kernel's IPMI driver loaded,
through /dev/ipmi0, in requests per second, in one Linux guest under QEMU
(TCG) with korvex-bmcd as the BMC.

Each update is timed by the guest's /proc/uptime; the four progress polls'
pauses of 1 s are taken off, and the requests are those korvex-sim counts for
the same update, less the four polls. It reuses the Linux-guest harness
(tests/system/linux_guest.py).

    bench/driver_bench.py --build-dir BUILD [--part BYTES]

Exit status: 0 measured, 1 failed, 77 skipped (something missing).
"""

import argparse
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "system"))
import linux_guest as lg  # noqa: E402
from korvex_qemu import Failure, Skip, log  # noqa: E402


def bench(part):
    def steps(c):
        c.file("fw.bin", c.package(part, part + 0x10000))
        c.put("t0", "cut -d' ' -f1 /proc/uptime")
        c.run("raw", "-f", "fw.bin", "-r", "y")
        c.put("t1", "cut -d' ' -f1 /proc/uptime")
        c.load_driver()
        c.put("irq0", "grep ipmi_si /proc/interrupts")
        c.put("t2", "cut -d' ' -f1 /proc/uptime")
        c.run("drv", "-f", "fw.bin", "-r", "y")
        c.put("t3", "cut -d' ' -f1 /proc/uptime")
        c.put("irq1", "grep ipmi_si /proc/interrupts")
        c.cmd("dmesg", "dmesg")
        c.bmc = []
        yield
        sim_out, sim_err, _ = c.sim(["--stats"], "-f", "fw.bin", "-r", "y")
        lg.same("update console text, raw ports", sim_out, c.collect("raw"))
        lg.same("update console text, driver", sim_out, c.collect("drv", 0, "driver"))
        c.collect("load")
        t = [float(c.result("t%d" % i)) for i in range(4)]
        requests = int(sim_err.split("exchanges: ")[1].split()[0]) - 4
        raw, drv = requests / (t[1] - t[0] - 4), requests / (t[3] - t[2] - 4)
        log("update of a %d-byte part, %d requests besides the progress polls" % (part, requests))
        log("raw ports: %.1f s, %.0f requests/s" % (t[1] - t[0] - 4, raw))
        log("driver:    %.1f s, %.0f requests/s" % (t[3] - t[2] - 4, drv))
        log("driver / raw ports: %.2f (goal: at least 0.8)" % (drv / raw))
        log("interrupts during the driver's update: %d" % (lg.interrupts(c.result("irq1")) - lg.interrupts(c.result("irq0"))))
        log("\n".join(line for line in c.collect("dmesg").decode(errors="replace").split("\n") if "ipmi" in line.lower()))
    return steps


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--part", type=lambda v: int(v, 0), default=262144, help="bytes of the one part (default 256 KiB)")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="korvex-driver-bench-")
    try:
        failures = lg.run_group(lg.Tools(args.build_dir), work, True, [("bench", bench(args.part))])
        status = 1 if failures else 0
    except Skip as e:
        log("SKIP: %s" % e)
        status = 77
    except Failure as e:
        log("FAIL: %s" % e)
        status = 1
    if status == 1:
        log("work folder: %s" % work)
    else:
        shutil.rmtree(work, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
