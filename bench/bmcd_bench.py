#!/usr/bin/env python3
"""korvex-bmcd against a hostile peer, in place of QEMU on its socket.

1. Frames: 512 MiB without an end marker, then a Get Device ID. Reports the
   BMC's peak resident memory (VmHWM) and whether the request after the junk
   was answered.
2. The configuration collector: restores that announce 1 byte and send N
   blocks of 100 bytes, for growing N. Reports the time per block: flat when
   the collector is linear, growing with N when it copies all it has on every
   block.

    bench/bmcd_bench.py [KORVEX-BMCD]   (default build/tools/korvex-bmcd/korvex-bmcd)

Reports only; it fails only when the BMC does not answer at all.
"""
import os
import socket
import subprocess
import sys
import tempfile
import time

END, CONTROL_END, ESCAPE = 0xA0, 0xA1, 0xAA


def escaped(data):
    out = bytearray()
    for b in data:
        if b in (END, CONTROL_END, ESCAPE):
            out += bytes((ESCAPE, b | 0x10))
        else:
            out.append(b)
    return bytes(out)


def request(seq, netfn, cmd, data=b""):
    body = bytes((seq, netfn << 2, cmd)) + bytes(data)
    return escaped(body + bytes(((-sum(body)) & 0xFF,))) + bytes((END,))


class Peer:
    """QEMU's side of the socket: sends requests, reads answers."""

    def __init__(self, bmcd, folder):
        path = os.path.join(folder, "bmc.sock")
        server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        server.bind(path)
        server.listen(1)
        self.process = subprocess.Popen([bmcd, path], stderr=subprocess.PIPE)
        server.settimeout(20)
        self.sock, _ = server.accept()
        server.close()
        self.sock.settimeout(60)
        self.pending = bytearray()
        # QEMU's greeting: version 1, and it can raise the interrupt.
        self.sock.sendall(bytes((0xFF, 0x01, CONTROL_END, 0x08, 0x3F, CONTROL_END)))

    def answer(self):
        """The next message frame from the BMC, unescaped; control commands skipped."""
        frame, escape = bytearray(), False
        while True:
            if not self.pending:
                chunk = self.sock.recv(65536)
                if not chunk:
                    raise EOFError("the BMC closed the connection")
                self.pending += chunk
            b = self.pending.pop(0)
            if b == END:
                return bytes(frame)
            if b == CONTROL_END:
                frame, escape = bytearray(), False
            elif b == ESCAPE:
                escape = True
            else:
                frame.append(b & ~0x10 if escape else b)
                escape = False

    def peak_kib(self):
        with open("/proc/%d/status" % self.process.pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
        return -1

    def close(self):
        self.sock.close()
        _, err = self.process.communicate(timeout=60)
        return err.decode(errors="replace").strip()


def frames(bmcd, folder):
    peer = Peer(bmcd, folder)
    start_kib = peer.peak_kib()
    junk = bytes([0x55]) * (1 << 20)
    began = time.monotonic()
    for _ in range(512):
        peer.sock.sendall(junk)
    peer.sock.sendall(bytes((END,)) + request(0x42, 0x06, 0x01))
    # The junk is one frame; whatever it answers to it comes first.
    got, others = peer.answer(), 0
    while got[:1] != bytes((0x42,)) and others < 2:
        got, others = peer.answer(), others + 1
    seconds = time.monotonic() - began
    peak = peer.peak_kib()
    log = peer.close()
    ok = got[:4] == bytes((0x42, 0x1C, 0x01, 0x00))
    print("[frames] 512 MiB without an end marker, then Get Device ID: %s%s; peak memory %d KiB "
          "(%d KiB at the start), %.1f s" % ("answered" if ok else "NOT answered",
                                             ", after an answer to the junk" if others else "",
                                             peak, start_kib, seconds))
    if log:
        print("         korvex-bmcd said: " + log.replace("\n", " | "))
    return ok


def restore(peer, blocks):
    """One restore that announces 1 byte and sends `blocks` blocks; seconds per block."""
    peer.sock.sendall(request(1, 0x3E, 0x20, bytes((0x01, 1, 0, 0, 0))))
    task = peer.answer()[4] >> 4
    peer.sock.sendall(request(2, 0x3E, 0x20, bytes((task << 4 | 0x02,))))
    peer.answer()
    payload = bytes(range(100))
    began = time.monotonic()
    for k in range(blocks):
        head = bytes((task << 4 | 0x03, k & 0xFF, (k >> 8) & 0xFF, (k >> 16) & 0xFF))
        peer.sock.sendall(request(k & 0xFF, 0x3E, 0x20, head + payload))
        peer.answer()
    return (time.monotonic() - began) / blocks


def collector(bmcd, folder):
    peer = Peer(bmcd, folder)
    rows = []
    for blocks in (2500, 5000, 10000, 20000):
        rows.append((blocks, restore(peer, blocks)))
    peer.close()
    for blocks, per in rows:
        print("[collector] restore of %5d blocks (%5.2f MB) announced as 1 byte: %6.1f us per block" %
              (blocks, blocks * 100 / 1e6, per * 1e6))
    print("[collector] per-block cost, 20000 blocks against 2500: %.2f (1: linear; 8: quadratic)" %
          (rows[-1][1] / rows[0][1]))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    bmcd = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "build", "tools", "korvex-bmcd",
                                                               "korvex-bmcd")
    with tempfile.TemporaryDirectory() as folder:
        ok = frames(bmcd, folder)
        os.unlink(os.path.join(folder, "bmc.sock"))
        collector(bmcd, folder)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
