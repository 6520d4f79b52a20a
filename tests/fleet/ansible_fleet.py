#!/usr/bin/env python3
"""The fleet playbook (contrib/ansible/korvex-update.yml) run by Debian's
ansible-playbook against a local inventory of four hosts, with korvex-sim in
place of korvex: each host's simulated BMC saves its flash, and one host's BMC
refuses the package.

    ansible_fleet.py BUILD SOURCE

Exit status: 0 pass, 1 fail, 77 skipped (ansible-playbook or a tool missing).
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "system"))
from korvex_qemu import SKIP, Failure, Tools, expect_in, need, outcome, payload, read, same, write  # noqa: E402

HOSTS = ["bmc1", "bmc2", "bmc3", "bmc4"]
REFUSED = "--bmc-fault=update-verdict:1"  # the last chunk answered 0xCD: verification failed
# (what, the host whose BMC refuses, hosts per batch, hosts updated, hosts never started)
ROWS = [
    ("refusal in the last batch", "bmc4", 2, ["bmc1", "bmc2", "bmc3"], []),
    ("refusal in the first batch stops the rollout", "bmc1", 2, ["bmc2"], ["bmc3", "bmc4"]),
]


def check_row(tools, source, work, row, package):
    what, refusing, batch, updated, untouched = row
    lines = ["[bmc_servers]"] + ["%s korvex_remote_dir=%s/%s korvex_options='--bmc-save-flash=%s/%s/flash.bin%s --'" % (
        host, work, host, work, host, " " + REFUSED if host == refusing else "") for host in HOSTS]
    lines += ["[bmc_servers:vars]", "ansible_connection=local",
              "ansible_python_interpreter='{{ ansible_playbook_python }}'"]
    os.makedirs(work)
    write(os.path.join(work, "inventory"), "\n".join(lines) + "\n")
    env = dict(os.environ, ANSIBLE_HOME=work + "/ansible", ANSIBLE_NOCOLOR="1", ANSIBLE_RETRY_FILES_ENABLED="0",
               ANSIBLE_LOCAL_TEMP=work + "/ansible/tmp", ANSIBLE_REMOTE_TEMP=work + "/ansible/remote",
               ANSIBLE_ASYNC_DIR=work + "/ansible/async")
    playbook = os.path.join(source, "contrib/ansible/korvex-update.yml")
    r = subprocess.run(["ansible-playbook", "-i", "inventory", playbook, "-e", "korvex=" + tools.sim,
                        "-e", "korvex_package=" + package, "-e", "korvex_transcripts=%s/transcripts" % work,
                        "-e", "korvex_batch=%d" % batch, "-e", "korvex_become=false"], cwd=work, env=env,
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300, text=True)
    if r.returncode == 0:
        raise Failure("ansible-playbook exited 0 although %s failed" % refusing)
    # PLAY RECAP: the hosts started, and which of them failed.
    recap = {host: int(re.search(r"failed=(\d+)", counts)[1]) for host, counts in
             re.findall(r"^(\S+)\s+:\s+(ok=.*)$", r.stdout, re.M)}
    same("the hosts and their failures in the recap", {h: int(h == refusing) for h in HOSTS if h not in untouched},
         {h: min(n, 1) for h, n in recap.items()})
    for host in HOSTS:
        transcript = os.path.join(work, "transcripts", host + ".log")
        if host in untouched:
            if os.path.exists(os.path.join(work, host)) or os.path.exists(transcript):
                raise Failure("%s was touched although the rollout had stopped" % host)
            continue
        if not os.path.exists(transcript):
            raise Failure("%s: no transcript" % host)
        expect_in(host + "'s transcript", read(transcript).decode(), *(
            ("exit status: 3", "Update package verification failed!") if host == refusing else
            ("exit status: 0", "Update Complete,Please wait for BMC reboot")))
        verified = subprocess.run([tools.pack, "verify-dump", package, os.path.join(work, host, "flash.bin")],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
        same("%s: its flash holds the package" % host, host in updated, verified)


def rows(build, source, work):
    need(("ansible-playbook", "ansible-playbook (Debian package ansible-core)"))
    tools = Tools(build)
    tools.package(work, payload(0x4000), 0x10000, "--signature", "KORVEX_TEST@0x4000")
    for i, row in enumerate(ROWS):
        check_row(tools, source, os.path.join(work, "run%d" % i), row, os.path.join(work, "fw.bin"))
        print("PASS %s" % row[0])


def main():
    work = tempfile.mkdtemp(prefix="fleet-")
    status, why = outcome(lambda: rows(*map(os.path.abspath, sys.argv[1:3]), work))
    if status:
        print("SKIP: " + why if status == SKIP else "FAIL: %s\nwork folder: %s" % (why, work))
    if status != 1:
        shutil.rmtree(work, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
