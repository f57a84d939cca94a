#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into fuzz/corpus/<target>/.

Messages are laid out here from the wire format on their own, like the tests'
message builder, so the seeds do not inherit the daemon's view of it; only
the opcode values are taken from src/protocol/opcodes.h. It only adds and
overwrites the seeds it names: inputs found by fuzzing (found-*) and
regression inputs (regress-*) stay.

  fuzz/make_seeds.py [target...]   # all targets when none is named
"""
import json
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def opcode(name):
    """The value of an opcode constant in the daemon's table."""
    with open(os.path.join(HERE, "..", "src", "protocol", "opcodes.h")) as f:
        for line in f:
            if f"X({name}, " in line:
                return int(line.split(",")[1].split(")")[0], 16)
    raise KeyError(name)


LOGIN_PORT_REPLY = opcode("LS_LOGIN_PORT_REPLY_CODE")
IO_PORT_REPLY = opcode("LS_IO_PORT_REPLY_CODE")
LOGIN_PORT_TLV_REPLY = opcode("LS_LOGIN_PORT_TLV_REPLY_CODE")
LOGIN_REQUEST = opcode("LS_LOGIN_REQUEST_CODE")
LOGIN_REPLY = opcode("LS_LOGIN_REPLY_CODE")
LOGOFF_REQUEST = opcode("LS_LOGOFF_REQUEST_CODE")
SERVICE_REQUEST = opcode("LS_SERVICE_REQUEST_CODE")
IO_SELECT_REPLY = opcode("LS_IO_SELECT_REPLY_CODE")
ERROR_REPLY = opcode("LS_ERROR_REPLY_CODE")
UEFI_LOGIN_REPLY = opcode("LS_UEFI_LOGIN_REPLY_CODE")
UEFI_SERVICE_TLV_REQUEST = opcode("LS_UEFI_SERVICE_TLV_REQUEST_CODE")
UEFI_SERVICE_TLV_REPLY = opcode("LS_UEFI_SERVICE_TLV_REPLY_CODE")
HEARTBEAT_REPLY = opcode("LS_HEARTBEAT_REPLY_CODE")
GET_VDISK_INFO_REPLY_V2 = opcode("LS_GET_VDISK_INFO_REPLY_CODE_V2")
GET_VDISK_INFO_REPLY = opcode("LS_GET_VDISK_INFO_REPLY_CODE")
EXT_READ_REQUEST = opcode("IOS_READ_EXT_REQUEST_CODE")
EXT_READ_REPLY = opcode("IOS_READ_EXT_REPLY_CODE")
MIO_READ_REQUEST = opcode("IOS_READ_MIO_REQUEST_CODE")
MIO_READ_REPLY = opcode("IOS_READ_MIO_REPLY_CODE")


class Msg:
    def __init__(self, op, size=22):
        self.b = bytearray(size)
        self.u32(0, op)

    def put(self, fmt, at, v):
        need = at + struct.calcsize(fmt)
        if len(self.b) < need:
            self.b.extend(bytes(need - len(self.b)))
        struct.pack_into(fmt, self.b, at, v)
        return self

    def u8(self, at, v):
        return self.put("<B", at, v)

    def u16(self, at, v):
        return self.put("<H", at, v)

    def u32(self, at, v):
        return self.put("<I", at, v)

    def offset(self, at, v):
        return self.u32(at, v >> 32).u32(at + 4, v & 0xFFFFFFFF)

    def data(self, at, d):
        self.b[at:at + len(d)] = d
        return self

    def tlv(self, t, value):
        self.b += struct.pack("<HH", t, len(value)) + bytes(value)
        return self


def le32(v):
    return struct.pack("<I", v)


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


# ---------------------------------------------------------------------------
# Messages of a login and of reads, shared by the tlv and frames seeds.

VDISK_ID, HANDLE, DISK, SECTORS = 7, 0x1234, 0x55, 8192


def vdisk_params(disk=DISK, sectors=SECTORS, wct=1):
    v = bytearray(28)
    struct.pack_into("<I", v, 2, disk)
    struct.pack_into("<Q", v, 10, sectors)
    struct.pack_into("<I", v, 18, wct)
    return bytes(v)


def vdisk_identity(suffix=9):
    v = bytearray(24)
    struct.pack_into("<II", v, 4, suffix, 0xA1B2C3D4)
    return bytes(v)


def uefi_reply(handle=HANDLE, mtu=1500, burst=16384):
    return (Msg(UEFI_SERVICE_TLV_REPLY).u32(8, 0xDEAD).tlv(101, vdisk_params()).tlv(134, le32(mtu))
            .tlv(135, le32(burst)).tlv(138, le32(handle)).tlv(141, vdisk_identity()))


def vdisk_info_v2(handle=HANDLE, wct=1):
    m = Msg(GET_VDISK_INFO_REPLY_V2, 90).u32(8, handle).u32(28, SECTORS).u32(36, wct)
    m.u32(62, 9).u32(66, 0xA1B2C3D4).u16(70, 0x1111).u16(72, 0x2222)
    for i in range(8):
        m.u8(74 + i, i + 1)
    return m


def ext_request(offset, length, handle=HANDLE, tag=0x77):
    return (Msg(EXT_READ_REQUEST, 36).u32(8, handle).u8(14, tag).u32(22, DISK).offset(26, offset)
            .u16(34, length))


def ext_reply(offset, length, handle=HANDLE, tag=0x77, fill=0xA5):
    m = ext_request(offset, length, handle, tag)
    m.u32(0, EXT_READ_REPLY)
    return m.data(36, bytes([fill]) * length)


def mio_request(thread, rid, offset, length, version=3, handle=HANDLE):
    return (Msg(MIO_READ_REQUEST, 48).u32(4, version).u32(8, handle).u32(22, rid).u16(26, 1)
            .u8(28, thread).u32(34, DISK).offset(38, offset).u16(46, length))


def mio_fragments(req, room=1444, fill=0x5A):
    length = struct.unpack_from("<H", req.b, 46)[0]
    count = max(1, (length + room - 1) // room)
    out = []
    for n in range(1, count + 1):
        at = (n - 1) * room
        size = min(room, length - at)
        m = Msg(MIO_READ_REPLY, 56 + size)
        m.b[4:48] = req.b[4:48]
        m.u32(0, MIO_READ_REPLY).u16(48, at).u16(50, size).u16(52, n).u16(54, count)
        m.data(56, bytes([fill]) * size)
        out.append(m)
    return out


def seeds_tlv():
    write("tlv", "empty-sequence", Msg(UEFI_SERVICE_TLV_REPLY).b)
    write("tlv", "short-header", Msg(UEFI_SERVICE_TLV_REPLY).b[:21])
    write("tlv", "service-reply", uefi_reply().b)
    write("tlv", "service-request", Msg(UEFI_SERVICE_TLV_REQUEST).tlv(3, b"\1\2").tlv(9, le32(VDISK_ID)).b)
    write("tlv", "stray-bytes", Msg(UEFI_SERVICE_TLV_REPLY).tlv(134, le32(9000)).b + b"\0")
    write("tlv", "overlong-item", Msg(UEFI_SERVICE_TLV_REPLY).tlv(134, le32(1500)).b[:-1])
    write("tlv", "wrong-sizes", Msg(UEFI_SERVICE_TLV_REPLY).tlv(101, bytes(27)).tlv(138, bytes(3)).b)
    write("tlv", "repeated-items",
          Msg(UEFI_SERVICE_TLV_REPLY).tlv(138, le32(1)).tlv(138, le32(2)).tlv(141, vdisk_identity(3)).b)
    write("tlv", "login-port-reply", Msg(LOGIN_PORT_REPLY, 42).u32(34, 32768).u32(38, 1500).b)
    write("tlv", "login-reply", Msg(LOGIN_REPLY, 172).u32(36, HANDLE).u32(40, DISK).b)
    write("tlv", "vdisk-info-v2", vdisk_info_v2().b)
    write("tlv", "ext-request", ext_request(4608, 1024).b)
    write("tlv", "ext-reply", ext_reply(4608, 64).b)
    write("tlv", "mio-request", mio_request(3, 11, 4608, 4096).b)
    write("tlv", "mio-fragment", mio_fragments(mio_request(3, 11, 4608, 100))[0].b)


# ---------------------------------------------------------------------------
# Frames: the client 198.18.0.101:40000 (02:00:00:00:01:01) and the server
# 198.18.0.20:6905, as in the lab.

CLIENT_MAC = bytes([2, 0, 0, 0, 1, 1])
SERVER_MAC = bytes([2, 0, 0, 0, 0, 0x20])
CLIENT = (bytes([198, 18, 0, 101]), 40000)
SERVER = (bytes([198, 18, 0, 20]), 6905)


def ip_checksum(h):
    total = sum(struct.unpack("!10H", h))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def frame(payload, to_server, frag=0x4000, ihl=5, pad=0, ethertype=0x0800):
    (sip, sport), (dip, dport) = (CLIENT, SERVER) if to_server else (SERVER, CLIENT)
    smac, dmac = (CLIENT_MAC, SERVER_MAC) if to_server else (SERVER_MAC, CLIENT_MAC)
    options = bytes(4 * (ihl - 5))
    total = 20 + len(options) + 8 + len(payload)
    ip = bytearray(struct.pack("!BBHHHBBH4s4s", 0x40 | ihl, 0, total, 1, frag, 64, 17, 0, sip, dip))
    struct.pack_into("!H", ip, 10, ip_checksum(bytes(ip)))
    udp = struct.pack("!HHHH", sport, dport, 8 + len(payload), 0)
    return dmac + smac + struct.pack("!H", ethertype) + bytes(ip) + options + udp + bytes(payload) + bytes(pad)


def frames_input(state, knobs, frames, cut=()):
    out = bytearray([state, knobs])
    for i, f in enumerate(frames):
        out += struct.pack("<H", len(f) | (0x8000 if i in cut else 0)) + f
    return bytes(out)


def C(m):  # client to server
    return frame(m.b if isinstance(m, Msg) else m, True)


def S(m):  # server to client
    return frame(m.b if isinstance(m, Msg) else m, False)


def classic_login(mtu=1500, wct=1):
    return [S(Msg(LOGIN_PORT_REPLY, 42).u32(34, 32768).u32(38, mtu)),
            C(Msg(LOGIN_REQUEST, 40).data(25, CLIENT_MAC)),
            S(Msg(LOGIN_REPLY, 172).u32(8, HANDLE).u32(36, HANDLE).u32(40, DISK)),
            S(Msg(IO_SELECT_REPLY, 48).u32(28, VDISK_ID)),
            C(Msg(SERVICE_REQUEST, 34).u32(22, VDISK_ID)),
            S(vdisk_info_v2(wct=wct))]


def uefi_login(mtu=1500):
    return [S(Msg(LOGIN_PORT_TLV_REPLY)),
            S(Msg(UEFI_LOGIN_REPLY, 56).u32(40, VDISK_ID)),
            C(Msg(UEFI_SERVICE_TLV_REQUEST).tlv(9, le32(VDISK_ID))),
            S(uefi_reply(mtu=mtu))]


def ext_round(offset, length, fill=0xA5):
    # A miss tagged by the daemon: the server's reply echoes the tag the
    # daemon chose, which a seed cannot know, so the second request is the
    # one a run with a lucky tag turns into a hit.
    return [C(ext_request(offset, length)), S(ext_reply(offset, length, fill=fill)),
            C(ext_request(offset, length))]


def mio_round(thread, rid, offset, length, version=3, fill=0x5A, room=1444):
    req = mio_request(thread, rid, offset, length, version)
    return [C(req)] + [S(f) for f in mio_fragments(req, room, fill)] + [C(req)]


def seeds_frames():
    w = lambda name, data: write("frames", name, data)
    w("classic-login", frames_input(0, 0, classic_login()))
    w("uefi-login", frames_input(0, 0, uefi_login()))
    w("classic-ext-reads", frames_input(0, 0x10, classic_login() + ext_round(4608, 1024)))
    w("classic-mio-reads", frames_input(0, 0, classic_login() + mio_round(3, 11, 4608, 4096)))
    w("uefi-mio-reads", frames_input(0, 0, uefi_login() + mio_round(5, 12, 8704, 3072, version=4)))
    w("zero-length-reads", frames_input(2, 0x10, [C(mio_request(3, 30, 512, 0)), C(ext_request(512, 0)),
                                                 S(ext_reply(512, 0))]))
    w("mio-unaligned", frames_input(2, 0, mio_round(3, 18, 1000, 3000)))
    w("mio-zeros", frames_input(2, 0, mio_round(3, 13, 512, 2048, fill=0)))
    w("mio-jumbo", frames_input(2, 1, mio_round(3, 14, 512, 20480, room=9000 - 56)))
    w("mio-small-packets", frames_input(2, 2, mio_round(3, 15, 1024, 1536, room=576 - 56)))
    w("ext-logged-in", frames_input(2, 0x10, ext_round(512, 512) + ext_round(512 + 4 * 1024 * 1024 - 512, 512)))
    w("ext-tiny-packets", frames_input(2, 3 | 0x10, ext_round(512, 64)))
    w("uefi-ext", frames_input(3, 0x10, ext_round(1024, 700)))
    req = mio_request(0x81, 0xF0000000, 512, 16384)
    # The client's own read of what prepopulation cached is a hit.
    w("prepop-reply", frames_input(4, 0, [S(f) for f in mio_fragments(req)] + [C(mio_request(3, 20, 512, 16384))]))
    req = mio_request(0x82, 0xF0000001, 512 + 16384, 16384, version=4)
    w("prepop-reply-uefi", frames_input(4, 0x20, [S(f) for f in mio_fragments(req)] + [C(mio_request(3, 21, 512 + 16384, 16384, version=4))]))
    w("prepop-heartbeat", frames_input(4, 0, [S(Msg(HEARTBEAT_REPLY, 40))] * 2))
    w("server-caches-writes", frames_input(5, 0x10, ext_round(4608, 512) + mio_round(3, 16, 512, 1000)))
    w("logging-in", frames_input(1, 0, classic_login()[1:] + [C(Msg(LOGOFF_REQUEST))]))
    w("relogon-without-vdisk", frames_input(0, 0, [C(mio_request(3, 1, 512, 512))] * 7))
    w("heartbeats-workaround", frames_input(0, 8, [S(Msg(HEARTBEAT_REPLY, 40))] * 3))
    w("error-reply-and-logoff", frames_input(2, 0, [S(Msg(ERROR_REPLY, 22)), C(Msg(LOGOFF_REQUEST))]))
    w("outdated-handle", frames_input(2, 0x10, [C(ext_request(4608, 512, handle=0x999))]))
    w("io-port-reply", frames_input(2, 0, [S(Msg(IO_PORT_REPLY, 42).u32(38, 9000))] + mio_round(3, 17, 512, 9216, room=9000 - 56)))
    other = bytes([198, 18, 0, 21])
    stranger = bytearray(S(Msg(HEARTBEAT_REPLY, 40)))
    stranger[26:30] = other
    w("unknown-server", frames_input(2, 0, [bytes(stranger)]))
    # What the listeners must refuse or pass on unparsed.
    login = classic_login()
    w("cut-short", frames_input(0, 0, login, cut={1, 5}))
    w("ip-fragment", frames_input(2, 0, [frame(mio_request(3, 1, 512, 512).b, True, frag=0x2000)]))
    w("ip-options", frames_input(2, 0x10, [frame(ext_request(512, 512).b, True, ihl=8)]))
    w("link-padding", frames_input(0, 0, [frame(Msg(LOGOFF_REQUEST).b, True, pad=8)]))
    w("not-ipv4", frames_input(0, 0, [frame(Msg(LOGOFF_REQUEST).b, True, ethertype=0x86DD)]))
    short_ip = bytearray(C(Msg(LOGOFF_REQUEST)))
    struct.pack_into("!H", short_ip, 16, 200)
    w("ip-longer-than-frame", frames_input(0, 0, [bytes(short_ip)]))
    w("runt", frames_input(0, 0, [C(Msg(LOGOFF_REQUEST))[:30]]))


# ---------------------------------------------------------------------------
# Chunk-store operations: chunk size exponent, salt, then ops of 7 bytes:
# kind (0 put, 1 sparse put, 2 get, 3 contains; bit 7 the second client,
# bit 6 a range to refuse), offset (32 bits), length (16 bits).


def op(kind, offset, length, second=False):
    return struct.pack("<BIH", kind | (0x80 if second else 0), offset, length)


def seeds_chunks():
    w = lambda name, *ops, shift=0: write("chunks", name, bytes([shift, 0x5C]) + b"".join(ops))
    w("aligned-put-get", op(0, 4096, 8192), op(2, 4096, 8192), op(3, 4096, 8192))
    w("across-chunks", op(0, 3584, 1024), op(2, 3584, 1024), op(2, 3000, 1600), shift=0)
    w("unaligned-tail", op(0, 100, 1000), op(2, 0, 512), op(2, 512, 512), op(3, 0, 1536))
    w("pending-continued", op(0, 0, 300), op(0, 300, 724), op(2, 0, 1024))
    w("pending-other-client", op(0, 0, 300), op(0, 300, 724, second=True), op(2, 0, 1024), op(0, 300, 212), op(2, 0, 512))
    w("sparse-then-data", op(1, 8192, 4096), op(2, 8192, 4096), op(0, 8192, 2048), op(2, 8192, 4096))
    w("big-chunks", op(0, 0, 40000), op(2, 512, 30000), op(3, 0, 40448), shift=3)
    w("refusals", op(0x40, 5, 100), op(0x60, 0, 0), op(2, 0, 0))
    w("miss-before-write", op(2, 0, 512), op(3, 1024, 512), op(0, 0, 511), op(2, 0, 512))
    w("last-chunk", op(0, 8 * 8192 - 1024, 1024), op(2, 8 * 8192 - 1024, 1024), shift=1)


# ---------------------------------------------------------------------------
# Control requests (NUL between connections) and state files.

SITE = "5d3a0e52-9f4b-4c1e-8a57-0c6f1e2b7d90"
VDI = "7d7d7d7d-0000-4000-8000-000000000001"
SERVER_DOC = {"uuid": "0d7c8a9e-0000-4000-8000-000000000001", "addresses": ["198.18.0.20"],
          "first_port": 6900, "last_port": 6910}
CLIENT_DOC = {"uuid": "c1e2d3f4-0000-4000-8000-000000000001", "mac": "02:00:00:00:01:01",
          "interface": "tp1", "prepopulate": False}


def call(method, params=None, id=1, **extra):
    r = {"jsonrpc": "2.0", "method": method, "id": id}
    if params is not None:
        r["params"] = params
    r.update(extra)
    return json.dumps(r)


def site(servers=None, clients=None, **extra):
    p = {"site_uuid": SITE, "vdi": VDI}
    if servers is not None:
        p["servers"] = servers
    if clients is not None:
        p["clients"] = clients
    p.update(extra)
    return p


def seeds_jsonrpc():
    w = lambda name, *reqs: write("jsonrpc", name, "\0".join(reqs).encode())
    w("configure-query-remove", call("configure_site", site([SERVER_DOC], [])), call("context-state", id=2),
      call("metrics", id="m"), call("prepop-progress", id=4), call("remove_site", {"site_uuid": SITE}, id=5),
      call("context-state", id=6))
    w("client-without-interface", call("configure_site", site([SERVER_DOC], [CLIENT_DOC])), call("context-state", id=2))
    w("lists-change", call("configure_site", site([SERVER_DOC], [])),
      call("configure_site", site([dict(SERVER_DOC, addresses=["198.18.0.20", "198.18.0.21"])]), id=2),
      call("configure_site", site([]), id=3), call("context-state", id=4))
    w("two-sites", call("configure_site", site([SERVER_DOC])),
      call("configure_site", dict(site([SERVER_DOC]), site_uuid="5d3a0e52-9f4b-4c1e-8a57-0c6f1e2b7d91"), id=2))
    w("vdi-switch", call("configure_site", site()), call("configure_site", site(vdi="7d7d7d7d-0000-4000-8000-000000000002"), id=2))
    w("no-id", call("configure_site", site()).replace(', "id": 1', ""))
    w("null-id", call("context-state", id=None))
    w("string-id", call("metrics", id="abc"))
    w("no-version", json.dumps({"method": "metrics", "id": 1}))
    w("number-version", '{"jsonrpc": 2.0, "method": "metrics", "id": 1}')
    w("unknown-method", call("reboot"))
    w("no-method", json.dumps({"jsonrpc": "2.0", "id": 1}), json.dumps({"jsonrpc": "1.0", "id": 2}))
    w("no-params", call("configure_site"))
    w("bad-site-uuid", call("configure_site", dict(site(), site_uuid="not-a-uuid")))
    w("bad-server", call("configure_site", site([dict(SERVER_DOC, addresses=["300.1.1.1"], first_port=7000)])))
    w("bad-client", call("configure_site", site([SERVER_DOC], [dict(CLIENT_DOC, mac="zz:00", prepopulate="yes")])))
    w("wrong-types", call("configure_site", site("servers", {"a": 1})))
    w("remove-unknown", call("remove_site", {"site_uuid": "../../etc"}), call("remove_site", {}, id=2))
    w("batch", "[" + call("metrics") + "]")
    w("truncated", call("configure_site", site([SERVER_DOC]))[:-7])


def seeds_state():
    # A state file holds the accepted configure_site request as it came.
    w = lambda name, text: write("state", name, text.encode())
    w("site-with-servers", call("configure_site", site([SERVER_DOC], [])))
    w("site-with-client", call("configure_site", site([SERVER_DOC], [CLIENT_DOC])))
    w("site-bare", call("configure_site", site()))
    w("lists-left-out", call("configure_site", {"site_uuid": SITE, "vdi": VDI}, id="x"))
    w("bad-vdi", call("configure_site", site(vdi=3)))
    w("no-id", call("configure_site", site([SERVER_DOC])).replace(', "id": 1', ""))
    w("array", json.dumps([json.loads(call("configure_site", site()))]))
    w("not-json", "site_uuid=" + SITE)
    w("many-servers", call("configure_site", site([dict(SERVER_DOC, uuid="0d7c8a9e-0000-4000-8000-%012d" % i,
                                                        addresses=["198.18.1.%d" % i]) for i in range(1, 9)])))


# ---------------------------------------------------------------------------
# Configuration files.

DEFAULTS = [("listenerThreads", "4"), ("prepopIoThreads", "4"), ("listenerFanout", "cbpf"),
            ("packetMmap", "1"), ("cacheMonitorIntervalInS", "5"), ("cacheStartPurgeFreeSpace", "0.05"),
            ("cacheStartPurgeFreeInodes", "0.05"), ("cacheGoalPurgeFreeSpace", "0.15"),
            ("cacheGoalPurgeFreeInodes", "0.15"), ("arpProxy", "0"), ("workaroundMigrateFreeze", "1"),
            ("prepopHoldOffInS", "90")]


def seeds_config():
    w = lambda name, text: write("config", name, text.encode())
    w("every-default", "# as installed\n[Main]\n" + "".join("%s=%s\n" % kv for kv in DEFAULTS))
    w("empty", "")
    w("other-group", "[Other]\nlistenerThreads=x\n")
    w("fanouts", "[Main]\nlistenerFanout=hash\npacketMmap=false\narpProxy=true\n")
    w("cpu-count", "[Main]\nlistenerThreads=0\nprepopIoThreads=-1\n")
    w("bad-int", "[Main]\nlistenerThreads=four\n")
    w("bad-fanout", "[Main]\nlistenerFanout=round-robin\n")
    w("bad-bool", "[Main]\npacketMmap=maybe\n")
    w("bad-double", "[Main]\ncacheGoalPurgeFreeSpace=15%\n")
    w("huge-values", "[Main]\ncacheMonitorIntervalInS=1e300\nprepopHoldOffInS=2147483647\nlistenerThreads=-2147483648\n")
    w("nan-inf", "[Main]\ncacheMonitorIntervalInS=nan\ncacheStartPurgeFreeSpace=inf\ncacheGoalPurgeFreeInodes=-inf\n")
    w("not-a-key-file", "listenerThreads = 4\n[Main\n")
    w("locale-and-lists", "[Main]\nlistenerFanout[de]=hash\nlistenerFanout=lb;cpu\nprepopHoldOffInS=  7  \n")


SEEDS = {"tlv": seeds_tlv, "config": seeds_config, "frames": seeds_frames, "chunks": seeds_chunks, "jsonrpc": seeds_jsonrpc,
         "state": seeds_state}

if __name__ == "__main__":
    for t in sys.argv[1:] or SEEDS:
        SEEDS[t]()
