#!/usr/bin/env python3
"""OpenIPMI's ipmi_sim as the BMC behind QEMU's KCS interface: a BMC that
none of us wrote.

As a module: `IpmiSim(folder)` writes a minimal configuration (one BMC at
0x20 with a VM-codec serial listener for QEMU's ipmi-bmc-extern, no LAN),
starts ipmi_sim on a free TCP port of 127.0.0.1, and can kill and restart it
on the same port. `qemu_chardev(port)` is QEMU's side of the link.
"""

import os
import shutil
import socket
import subprocess
import time

BMC_ADDRESS = 0x20
# QEMU as the socket client retries this often (seconds) after the link drops.
RECONNECT_SECONDS = 10

LAN_CONF = """\
# One BMC, reached only through the VM serial protocol; no LAN channel.
name "korvex"
set_working_mc 0x{bmc:02x}
  serial kcs 127.0.0.1 {port} codec VM
"""

# Get Device ID: no device SDRs, device revision 0, firmware 1.0, IPMI 2.0,
# the usual support bits, an unassigned manufacturer and product.
BMC_EMU = """\
mc_setbmc 0x{bmc:02x}
mc_add 0x{bmc:02x} 0 no-device-sdrs 0x00 1 0 0x9f 0x000000 0x0000
mc_enable 0x{bmc:02x}
"""


def installed():
    return shutil.which("ipmi_sim") is not None


def qemu_chardev(port):
    """QEMU's end of the link, for -chardev: QEMU connects, and reconnects
    after ipmi_sim went away."""
    return "socket,id=ipmi0,host=127.0.0.1,port=%d,reconnect=%d" % (port, RECONNECT_SECONDS)


def _tcp_sockets(port, state):
    """Inodes of the IPv4 sockets on local port `port` in `state`
    ("0A" listening, "01" established), from /proc/net/tcp."""
    inodes = set()
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            fields = line.split()
            local, st, inode = fields[1], fields[3], fields[9]
            if int(local.split(":")[1], 16) == port and st == state:
                inodes.add(inode)
    return inodes


def _socket_inodes(pid):
    inodes = set()
    try:
        for fd in os.listdir("/proc/%d/fd" % pid):
            try:
                target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
            except OSError:
                continue
            if target.startswith("socket:["):
                inodes.add(target[8:-1])
    except OSError:
        pass
    return inodes


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class IpmiSim:
    def __init__(self, folder):
        self.folder = os.path.join(folder, "openipmi")
        os.makedirs(os.path.join(self.folder, "state"), exist_ok=True)
        self.port = None
        self.process = None
        self.starts = 0

    def _write_config(self):
        with open(os.path.join(self.folder, "lan.conf"), "w") as f:
            f.write(LAN_CONF.format(bmc=BMC_ADDRESS, port=self.port))
        with open(os.path.join(self.folder, "bmc.emu"), "w") as f:
            f.write(BMC_EMU.format(bmc=BMC_ADDRESS))

    def _spawn(self):
        self.starts += 1
        log = open(os.path.join(self.folder, "ipmi_sim-%d.log" % self.starts), "wb")
        self.process = subprocess.Popen(
            ["ipmi_sim", "-n", "-c", "lan.conf", "-f", "bmc.emu", "-s", "state"], cwd=self.folder,
            stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        log.close()
        # ipmi_sim goes on running when its port is taken, so only its own
        # listening socket shows that it is up.
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                return False
            if _tcp_sockets(self.port, "0A") & _socket_inodes(self.process.pid):
                return True
            time.sleep(0.05)
        self.stop()
        return False

    def start(self):
        """Starts ipmi_sim on a free port; another process may take the port
        between the probe and the bind, so a few are tried."""
        for _ in range(5):
            self.port = _free_port()
            self._write_config()
            if self._spawn():
                return self.port
            self.stop()
        raise RuntimeError("ipmi_sim did not start; see %s" % self.folder)

    def stop(self):
        """Kills ipmi_sim at once, as a BMC that loses power."""
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.process = None

    def restart(self):
        """A new ipmi_sim on the same port, with the same configuration."""
        self.stop()
        if not self._spawn():
            raise RuntimeError("ipmi_sim did not start again on port %d" % self.port)

    def connected(self):
        """Whether a client (QEMU) holds a connection to this ipmi_sim."""
        return self.process is not None and bool(
            _tcp_sockets(self.port, "01") & _socket_inodes(self.process.pid))

    def wait_connected(self, timeout=RECONNECT_SECONDS + 10):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.connected():
                return True
            time.sleep(0.1)
        return False

