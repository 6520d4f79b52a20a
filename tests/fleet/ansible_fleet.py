#!/usr/bin/env python3
"""The fleet playbook (contrib/ansible/korvex-update.yml) run by Debian's
ansible-playbook against a local inventory of four hosts, with korvex-sim in
place of korvex: each host's simulated BMC saves its flash, and one host's
BMC refuses the package.

    ansible_fleet.py --build-dir BUILD --source-dir SOURCE

Exit status: 0 pass, 1 fail, 77 skipped (ansible-playbook or a tool missing).
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

SKIP = 77
HOSTS = ["bmc1", "bmc2", "bmc3", "bmc4"]
REFUSED = "--bmc-fault=update-verdict:1"  # the last chunk answered 0xCD: verification failed

# (what, the host whose BMC refuses, hosts per batch, hosts updated, hosts never started)
ROWS = [
    ("refusal in the last batch", "bmc4", 2, ["bmc1", "bmc2", "bmc3"], []),
    ("refusal in the first batch stops the rollout", "bmc1", 2, ["bmc2"], ["bmc3", "bmc4"]),
]


class Failure(Exception):
    pass


def run_playbook(args, work, refusing, batch, package):
    os.makedirs(work)
    lines = ["[bmc_servers]"]
    for host in HOSTS:
        folder = os.path.join(work, host)
        options = "--bmc-save-flash=%s/flash.bin" % folder + (" " + REFUSED if host == refusing else "")
        lines.append("%s korvex_remote_dir=%s korvex_options='%s --'" % (host, folder, options))
    lines += ["", "[bmc_servers:vars]", "ansible_connection=local",
              "ansible_python_interpreter='{{ ansible_playbook_python }}'"]
    inventory = os.path.join(work, "inventory")
    with open(inventory, "w") as f:
        f.write("\n".join(lines) + "\n")
    env = dict(os.environ, ANSIBLE_HOME=os.path.join(work, "ansible"), ANSIBLE_NOCOLOR="1",
               ANSIBLE_RETRY_FILES_ENABLED="0", ANSIBLE_LOCAL_TEMP=os.path.join(work, "ansible/tmp"),
               ANSIBLE_REMOTE_TEMP=os.path.join(work, "ansible/remote"),
               ANSIBLE_ASYNC_DIR=os.path.join(work, "ansible/async"))
    playbook = os.path.join(args.source_dir, "contrib/ansible/korvex-update.yml")
    extra = ["-e", "korvex=%s" % os.path.join(args.build_dir, "tools/korvex-sim"), "-e", "korvex_package=%s" % package,
             "-e", "korvex_transcripts=%s" % os.path.join(work, "transcripts"), "-e", "korvex_batch=%d" % batch,
             "-e", "korvex_become=false"]
    r = subprocess.run(["ansible-playbook", "-i", inventory, playbook] + extra, cwd=work, env=env,
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
    return r.returncode, r.stdout.decode(errors="replace")


def recap(output):
    """PLAY RECAP: host -> {ok, changed, failed, ...}."""
    result = {}
    for host, counts in re.findall(r"^(\S+)\s+:\s+(ok=.*)$", output, re.M):
        result[host] = {k: int(v) for k, v in re.findall(r"(\w+)=(\d+)", counts)}
    return result


def check_row(args, work, row, package):
    what, refusing, batch, updated, untouched = row
    status, output = run_playbook(args, work, refusing, batch, package)
    stats = recap(output)
    if status == 0:
        raise Failure("ansible-playbook exited 0 although %s failed" % refusing)
    started = [h for h in HOSTS if h not in untouched]
    if sorted(stats) != sorted(started):
        raise Failure("the recap names %s, not %s" % (sorted(stats), started))
    for host in started:
        failed = stats[host].get("failed", 0) != 0
        if failed != (host == refusing):
            raise Failure("%s: the recap shows failed=%d" % (host, stats[host].get("failed", 0)))
        path = os.path.join(work, "transcripts", host + ".log")
        if not os.path.exists(path):
            raise Failure("%s: no transcript" % host)
        with open(path) as f:
            transcript = f.read()
        for line in (("exit status: 3", "Update package verification failed!") if host == refusing
                     else ("exit status: 0", "Update Complete,Please wait for BMC reboot")):
            if line not in transcript:
                raise Failure("%s: %r missing from the transcript:\n%s" % (host, line, transcript[-1500:]))
    for host in HOSTS:
        flash = os.path.join(work, host, "flash.bin")
        if host in untouched:
            if os.path.exists(os.path.join(work, host)) or os.path.exists(os.path.join(work, "transcripts", host + ".log")):
                raise Failure("%s was touched although the rollout had stopped" % host)
            continue
        verified = subprocess.run([os.path.join(args.build_dir, "tools/korvex-pack"), "verify-dump", package, flash],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
        if verified != (host in updated):
            raise Failure("%s: its flash %s the package" % (host, "holds" if verified else "does not hold"))


def make_package(args, work):
    part = os.path.join(work, "part.bin")
    with open(part, "wb") as f:
        f.write(bytes((i * 7 + 3) & 0xFF for i in range(0x4000)))
    package = os.path.join(work, "fw.bin")
    subprocess.run([os.path.join(args.build_dir, "tools/korvex-pack"), "build", "--part", "a.bin=%s@0" % part,
                    "--signature", "KORVEX_TEST@0x4000", "--size", "0x10000", "-o", package],
                   check=True, stdout=subprocess.DEVNULL)
    return package


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    args = parser.parse_args()
    args.build_dir, args.source_dir = os.path.abspath(args.build_dir), os.path.abspath(args.source_dir)
    if not shutil.which("ansible-playbook"):
        print("SKIP: ansible-playbook not installed (Debian package ansible-core)")
        return SKIP
    for tool in ("korvex-sim", "korvex-pack"):
        if not os.path.exists(os.path.join(args.build_dir, "tools", tool)):
            print("SKIP: %s not built" % tool)
            return SKIP
    work = tempfile.mkdtemp(prefix="fleet-")
    status = 0
    try:
        package = make_package(args, work)
        for i, row in enumerate(ROWS):
            check_row(args, os.path.join(work, "run%d" % i), row, package)
            print("PASS %s" % row[0])
    except Failure as e:
        print("FAIL: %s" % e)
        status = 1
    if status == 0 and not args.keep:
        shutil.rmtree(work, ignore_errors=True)
    else:
        print("work folder: %s" % work)
    return status


if __name__ == "__main__":
    sys.exit(main())
