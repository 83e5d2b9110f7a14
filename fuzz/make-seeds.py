#!/usr/bin/env python3
# Writes the seed corpora under fuzz/corpus/ and the regression inputs under
# fuzz/regressions/ (checked in; run this only to change them). Each seed is
# one valid input of its target, in the input layout its source file
# describes.
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def u32(v):
    return struct.pack(">I", v & 0xFFFFFFFF)


def u64(v):
    return struct.pack(">Q", v)


def opaque(data):
    if isinstance(data, str):
        data = data.encode()
    return u32(len(data)) + data + b"\0" * (-len(data) % 4)


def opt(text):
    return u32(0) if text is None else u32(1) + opaque(text)


# rpc_dispatch: handle markers and the export path marker.
def fh(marker):
    return opaque(marker.encode() + b"\0" * 16)


def call(xid, program, version, procedure, args, uid=1000):
    cred = u32(0) + opaque("client1") + u32(uid) + u32(uid) + u32(1) + u32(uid)
    return (u32(xid) + u32(0) + u32(2) + u32(program) + u32(version) + u32(procedure) +
            u32(1) + opaque(cred) + u32(0) + u32(0) + args)


NFS, MOUNT, CONFIG = 100003, 100005, 0x24600000
NO_ATTRS = u32(0) * 6  # sattr3 with nothing set
TCP, LOCAL = 2, 3  # even xid: a TCP peer; odd: root on the local socket

dispatch = {
    "nfs-null": u32(TCP) + u32(0) + u32(2) + u32(NFS) + u32(3) + u32(0) + u32(0) * 4,
    "nfs-getattr-root": call(TCP, NFS, 3, 1, fh("ROOT")),
    "nfs-setattr-size": call(TCP, NFS, 3, 2,
                             fh("FILE") + u32(0) * 3 + u32(1) + u64(10) + u32(0) * 2 + u32(0)),
    "nfs-lookup": call(TCP, NFS, 3, 3, fh("ROOT") + opaque("f")),
    "nfs-readlink": call(TCP, NFS, 3, 5, fh("LINK")),
    "nfs-read": call(TCP, NFS, 3, 6, fh("FILE") + u64(0) + u32(64)),
    "nfs-write": call(TCP, NFS, 3, 7, fh("FILE") + u64(0) + u32(4) + u32(2) + opaque("abcd")),
    "nfs-create": call(TCP, NFS, 3, 8, fh("SDIR") + opaque("new") + u32(0) + NO_ATTRS),
    "nfs-rename": call(TCP, NFS, 3, 14, fh("SDIR") + opaque("g") + fh("ROOT") + opaque("g2")),
    "nfs-readdirplus": call(TCP, NFS, 3, 17, fh("ROOT") + u64(0) + u64(0) + u32(512) + u32(4096)),
    "nfs-commit": call(TCP, NFS, 3, 21, fh("FILE") + u64(0) + u32(0)),
    "mount-mnt": call(TCP, MOUNT, 3, 1, opaque("@EXPORT")),
    "mount-mnt-below": call(TCP, MOUNT, 3, 1, opaque("@EXPORT/d")),
    "mount-export-list": call(TCP, MOUNT, 3, 5, b""),
    "config-create-export": call(LOCAL, CONFIG, 1, 0x2460017,
                                 u32(1) + u32(5) + opaque("@EXPORT/d") + opt("*") + u32(1) + u32(3) +
                                 u64(7) + u32(0),
                                 uid=0),
    "config-lock": call(LOCAL, CONFIG, 1, 0x246002C,
                        u32(0) + opt("@EXPORT") + u64(7) + opt("f"), uid=0),
    "config-drill-hole": call(LOCAL, CONFIG, 1, 0x2460045,
                              opaque("@EXPORT") + opaque("f") + u64(0) + u64(4096), uid=0),
}


# config_records: little-endian integers, strings as kind byte + text + NUL.
def le(fmt, v):
    return struct.pack("<" + fmt, v)


def string(kind, text=""):
    return bytes([kind]) + (text.encode() + b"\0" if kind in (2, 3) else b"")


def export_path(path, clients=string(0), perms=3, timeout=5):
    return le("I", 0) + le("I", timeout) + path + clients + le("i", perms) + le("Q", 7) + le("i", 0)


records = {
    "create-export": bytes([0, 0]) + export_path(string(2, "d"), string(3, "*")),
    "create-export-named-caller": bytes([0, 2]) + b"host1\0" + export_path(string(1)),
    "unexport": bytes([1, 0]) + export_path(string(1)),
    "keep-alive": bytes([2, 0]) + export_path(string(1)),
    "lock-write": bytes([3, 0]) + le("I", 0) + le("i", 0) + string(1) + le("Q", 7) + string(3, "f"),
    "lock-status": bytes([3, 0]) + le("I", 0) + le("i", 2) + string(1) + le("Q", 7) + string(3, "f"),
    "drill-hole": bytes([4, 0]) + le("Q", 0) + string(1) + string(3, "f") + le("Q", 0) +
    le("Q", 4096),
}


# record_reader: bound, piece sizes, then the stream.
def fragment(body, last=True):
    return u32((0x80000000 if last else 0) | len(body)) + body


reader = {
    "one-record": b"\x0f\xff\x07" + fragment(dispatch["nfs-null"]),
    "two-fragments-then-empty": b"\x0f\xff\x00" + fragment(b"abcd", last=False) +
    fragment(b"efgh") + fragment(b""),
    "over-bound": b"\x00\x0f\x03" + fragment(b"0123456789abcdef"),
}

# Inputs that once failed (fuzz/regressions/<target>/), replayed by every
# `make fuzz`; readable forms of what the fuzzer found.
dispatch_regressions = {
    # SETATTR whose set_atime discriminant is no time_how (UBSan: enum load)
    "setattr-time-how-out-of-range":
    call(TCP, NFS, 3, 2, fh("FILE") + u32(0) * 4 + u32(1000) + u32(0) + u32(0)),
    # WRITE whose stable is no stable_how (the same, and echoed as committed)
    "write-stable-how-out-of-range":
    call(TCP, NFS, 3, 7, fh("FILE") + u64(0) + u32(4) + u32(1000) + opaque("abcd")),
    # MKNOD whose type is no ftype3 (the same)
    "mknod-type-out-of-range": call(TCP, NFS, 3, 11, fh("ROOT") + opaque("n") + u32(1000)),
    # CREATE and MKNOD whose attributes carry no time_how: the same load,
    # when the new object's attributes are set
    "create-mtime-how-out-of-range":
    call(TCP, NFS, 3, 8, fh("SDIR") + opaque("c") + u32(0) + u32(0) * 5 + u32(1000)),
    "mknod-fifo-atime-how-out-of-range":
    call(TCP, NFS, 3, 11, fh("SDIR") + opaque("p") + u32(7) + u32(0) * 4 + u32(1000) + u32(0)),
    # FILE_LOCK whose export path claims 4 GiB: allocated before it is read
    "config-lock-string-of-4-gib":
    call(LOCAL, CONFIG, 1, 0x246002C, u32(0) + u32(1) + u32(0xFFFFFFF0) + b"abcd", uid=0),
}

for kind, target, seeds in (("corpus", "rpc_dispatch", dispatch),
                            ("corpus", "config_records", records),
                            ("corpus", "record_reader", reader),
                            ("regressions", "rpc_dispatch", dispatch_regressions)):
    folder = os.path.join(HERE, kind, target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)
