"""OpenIPMI's ipmi_sim as the BMC behind QEMU's KCS interface: a BMC that
none of us wrote. One BMC at 0x20 with a VM-codec serial listener for QEMU's
ipmi-bmc-extern, no LAN, on a free TCP port of 127.0.0.1."""

import os
import socket
import subprocess
import threading
import time

LAN_CONF = """\
name "korvex"
set_working_mc 0x20
  serial kcs 127.0.0.1 {port} codec VM
"""
# Get Device ID: no device SDRs, device revision 0, firmware 1.0, IPMI 2.0,
# the usual support bits, an unassigned manufacturer and product.
BMC_EMU = """\
mc_setbmc 0x20
mc_add 0x20 0 no-device-sdrs 0x00 1 0 0x9f 0x000000 0x0000
mc_enable 0x20
"""


class IpmiSim:
    """A fresh ipmi_sim, relayed to QEMU's socket: QEMU is the server of the
    link, so a BMC that listens itself needs someone to connect both."""

    def __init__(self, folder, qemu_socket, wait):
        os.makedirs(os.path.join(folder, "state"), exist_ok=True)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        with open(os.path.join(folder, "lan.conf"), "w") as f:
            f.write(LAN_CONF.format(port=port))
        with open(os.path.join(folder, "bmc.emu"), "w") as f:
            f.write(BMC_EMU)
        self.sockets = []
        with open(os.path.join(folder, "ipmi_sim.log"), "ab") as log:
            self.process = subprocess.Popen(["ipmi_sim", "-n", "-c", "lan.conf", "-f", "bmc.emu", "-s", "state"],
                                            cwd=folder, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        try:
            deadline = time.monotonic() + wait
            for address in (("127.0.0.1", port), qemu_socket):  # each listens a moment after it starts
                while len(self.sockets) < 2:
                    try:
                        s = socket.socket(socket.AF_UNIX if address == qemu_socket else socket.AF_INET)
                        s.connect(address)
                        self.sockets.append(s)
                        break
                    except OSError:
                        s.close()
                        if self.process.poll() is not None or time.monotonic() > deadline:
                            raise RuntimeError("ipmi_sim did not start, or QEMU did not listen; see %s" % folder)
                        time.sleep(0.05)
            opened = threading.Event()  # QEMU spoke: it took the connection
            for a, b, first in ((self.sockets[1], self.sockets[0], opened), (self.sockets[0], self.sockets[1], None)):
                threading.Thread(target=self._pump, args=(a, b, first), daemon=True).start()
            if not opened.wait(wait):
                raise RuntimeError("QEMU did not take the link to ipmi_sim")
        except BaseException:
            self.close()
            raise

    @staticmethod
    def _pump(a, b, first):
        try:
            while data := a.recv(4096):
                if first:
                    first.set()
                b.sendall(data)
        except OSError:
            pass

    def close(self):
        """Kills ipmi_sim at once, as a BMC that loses power."""
        for s in self.sockets:
            try:
                s.shutdown(socket.SHUT_RDWR)  # wakes the pumps
            except OSError:
                pass
            s.close()
        self.process.kill()
        self.process.wait()
