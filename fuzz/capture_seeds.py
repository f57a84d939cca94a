#!/usr/bin/env python3
"""Seeds for the frames and tlv fuzz targets from the simulators' own traffic.

Builds a throwaway lab (one client, one server, nothing steered through a
proxy port), boots the VM simulator against the server simulator once with
the classic and once with the UEFI login, and captures what the VM's
interface sends and receives. The lab's client 1 and server 0 have the
addresses and MAC the frames target's client and server have, so the frames
go in as captured:

  frames/lab-<flavour>-login   the first frames of the boot, login included
  frames/lab-<flavour>-reread  the login, the first reads, those reads again
  frames/lab-<flavour>-reads-N the login's frames, then a later stretch
  tlv/lab-<opcode>             the first UDP payload of each opcode seen

The traffic varies from run to run (ports, timing), so the seeds are not
rebuilt byte for byte; run it again only to refresh them. Root, and the
tools built:

  fuzz/capture_seeds.py BUILD_DIR
"""
import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

from make_seeds import EXT_READ_REQUEST, MIO_READ_REQUEST

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
LAB = os.path.join(ROOT, "scripts", "lab")
PREFIX = "fzcap"
VDISK_ID = 7          # the frames target's vDisk
MAX_FRAMES = 64       # what the frames target reads of one input
WINDOWS = 3           # later stretches per flavour


def capture(iface, out):
    """Child mode: every IPv4 UDP frame on iface, until SIGTERM."""
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0003))
    s.bind((iface, 0))
    s.settimeout(0.1)
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    with open(out + ".ready", "w"):
        pass
    with open(out, "wb") as f:
        while not stop:
            try:
                frame = s.recv(65536)
            except (socket.timeout, InterruptedError):
                continue
            if len(frame) >= 34 and frame[12:14] == b"\x08\x00" and frame[23] == 17:
                f.write(struct.pack("<H", len(frame)) + frame)


def read_capture(path):
    frames = []
    with open(path, "rb") as f:
        data = f.read()
    at = 0
    while at + 2 <= len(data):
        (n,) = struct.unpack_from("<H", data, at)
        frames.append(data[at + 2:at + 2 + n])
        at += 2 + n
    return frames


def payload(frame):
    """The UDP payload of a whole datagram; None for an IP fragment."""
    ihl = (frame[14] & 0x0F) * 4
    (total,) = struct.unpack_from("!H", frame, 16)
    (flags,) = struct.unpack_from("!H", frame, 20)
    if flags & 0x3FFF:  # more fragments, or not the first
        return None
    return frame[14 + ihl + 8:14 + total]


def opcode(frame):
    p = payload(frame)
    return struct.unpack_from("<I", p)[0] if p is not None and len(p) >= 4 else None


def frames_input(frames, knobs=0):
    # State 0 (logged out) with a packet size of 1500: the login is in the
    # frames.
    out = bytearray([0, knobs])
    for f in frames[:MAX_FRAMES]:
        out += struct.pack("<H", len(f)) + f
    return bytes(out)


def write(target, name, data):
    path = os.path.join(HERE, "corpus", target, name)
    with open(path, "wb") as f:
        f.write(data)
    print(f"{target}/{name}: {len(data)} bytes")


def seeds(flavour, frames, tlv_seen):
    reads = {EXT_READ_REQUEST, MIO_READ_REQUEST}
    first_read = next((i for i, f in enumerate(frames) if opcode(f) in reads), len(frames))
    login = frames[:first_read]
    if not login or first_read == len(frames):
        sys.exit(f"{flavour}: no login followed by reads in {len(frames)} frames")
    write("frames", f"lab-{flavour}-login", frames_input(frames))
    # The first reads and their replies, then the same requests once more, as
    # a VM resends a read whose answer it missed: those are served from the
    # cache (extent reads too, the server having just been heard from).
    first = frames[first_read:first_read + (MAX_FRAMES - len(login)) * 2 // 3]
    again = [f for f in first if opcode(f) in reads]
    write("frames", f"lab-{flavour}-reread",
          frames_input(login + first + again[:MAX_FRAMES - len(login) - len(first)], knobs=0x10))
    room = MAX_FRAMES - len(login)
    rest = frames[first_read + room:]
    step = max(1, (len(rest) - room) // WINDOWS)
    for n in range(WINDOWS):
        stretch = rest[n * step:n * step + room]
        if stretch:
            write("frames", f"lab-{flavour}-reads-{n + 1}", frames_input(login + stretch))
    for f in frames:
        op = opcode(f)
        if op is not None and op not in tlv_seen:
            tlv_seen.add(op)
            write("tlv", f"lab-{op:08x}", bytes(payload(f)))


def lab(*args, capture_output=False):
    return subprocess.run([LAB, *args], check=True, text=True, capture_output=capture_output)


def in_ns(ns, *argv, **kw):
    return subprocess.Popen(["ip", "netns", "exec", ns, *argv], **kw)


def wait_for(path, seconds=10):
    deadline = time.monotonic() + seconds
    while not os.path.exists(path):
        if time.monotonic() > deadline:
            sys.exit(f"timed out waiting for {path}")
        time.sleep(0.05)


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "capture":
        capture(sys.argv[2], sys.argv[3])
        return
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    tools = os.path.join(os.path.abspath(sys.argv[1]), "tools")
    tmp = tempfile.mkdtemp(prefix="capture-seeds-")
    image = os.path.join(tmp, "disk.img")
    with open(image, "wb") as f:
        # 4 MiB that differ sector by sector, so a misplaced byte shows.
        for sector in range(8192):
            f.write(struct.pack("<I", sector) * 128)
    server = None
    lab("up", PREFIX, "1", "1")
    try:
        lab("steer", PREFIX, "off")
        ready = os.path.join(tmp, "server.ready")
        server = in_ns(f"{PREFIX}-s", os.path.join(tools, "tarn-sim-server"), "--bind", "198.18.0.20",
                       "--image", f"{VDISK_ID}={image}", "--ready-file", ready,
                       # Datagrams that fill the lab's 1500-byte links unfragmented.
                       "--mtu", "1472",
                       "--stats", os.path.join(tmp, "server.json"))
        wait_for(ready)
        tlv_seen = set()
        for flavour in ("classic", "uefi"):
            out = os.path.join(tmp, f"{flavour}.cap")
            cap = in_ns(f"{PREFIX}-c1", sys.executable, os.path.abspath(__file__), "capture", "eth0", out)
            wait_for(out + ".ready")
            vm = subprocess.run(["ip", "netns", "exec", f"{PREFIX}-c1",
                                 os.path.join(tools, "tarn-sim-vm"), "--server", "198.18.0.20",
                                 "--image", image, "--vdisk-id", str(VDISK_ID), "--flavour", flavour,
                                 "--trace-reads", "200", "--trace-seed", "3"],
                                capture_output=True, text=True, timeout=120)
            time.sleep(0.2)
            cap.send_signal(signal.SIGTERM)
            cap.wait(timeout=10)
            if vm.returncode != 0:
                sys.exit(f"{flavour} VM failed ({vm.returncode}):\n{vm.stdout}{vm.stderr}")
            seeds(flavour, read_capture(out), tlv_seen)
    finally:
        if server is not None:
            server.terminate()
            server.wait(timeout=10)
        lab("down", PREFIX)
        subprocess.run(["rm", "-rf", tmp], check=False)


if __name__ == "__main__":
    main()
