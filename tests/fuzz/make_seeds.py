#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into corpus/<target>/ (reply scripts: per request
u8 flags, u16 length, bytes). Run once; the fuzzer adds what it finds to its working copy. The document seeds
(corpus/document) are documents made by the library itself: a selector byte, then the file."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def rec(data, fail=False):
    return bytes([1 if fail else 0]) + struct.pack('<H', len(data)) + data


def u32(v):
    return struct.pack('<I', v)


def log_record(text, v1=1, v2=2):
    return u32(v1) + u32(0x5A6B7C8D) + u32(0x01D90000) + u32(v2) + bytes(range(16)) + b'\0' + text + b'\0'


def log_batch(records, more=0):
    body = b''.join(records)
    return u32(len(body)) + u32(more) + body


def block272(id_, data=b''):
    b = u32(id_) + data
    return b + bytes(272 - len(b))


def acl_policy(id_, text=b'app.exe'):
    b = u32(0) + u32(id_) + text
    return b + bytes(1196 - len(b))


def acl_log(text=b'started'):
    b = bytes(24) + text
    return b + bytes(296 - len(b))


def policy(id_):
    b = bytearray(2468)
    b[4:8] = u32(id_)
    b[48:52] = u32(1)
    b[52 + 68:52 + 100] = b'0123456789abcdef0123456789abcdef'
    t = b'C:\\work|D:\\x'
    b[1092:1092 + len(t)] = t
    return bytes(b)


seeds = {
    'log': [
        rec(log_batch([log_record(b'hello'), log_record(b'world')])),
        rec(log_batch([log_record(b'first')], more=1)) + rec(log_batch([log_record(b'second')])),
        rec(log_batch([])),
        rec(b'', fail=True),
    ],
    'separator': [
        b'\x01' + rec(u32(11)) + rec(b'C:\\a|D:\\b|'),
        b'\x00' + rec(u32(20)) + rec(b'/x/seen.doc|/y/z.doc'),
        b'\x02' + rec(u32(0)) + rec(b''),
        b'\x01' + rec(u32(4)) + rec(b'abcdefgh'),
    ],
    'secrun': [
        rec(block272(7, u32(1234))) + rec(block272(3, b'\0\0\0\0/path/a.doc')) + rec(block272(0)) + rec(block272(0)),
        rec(block272(0)),
    ],
    'acl': [
        b'\x00' + rec(acl_policy(7)) + rec(acl_policy(4, b'viewer.exe')) + rec(b'', fail=True),
        b'\x01' + rec(acl_log()) + rec(acl_log(b'stopped')) + rec(b'', fail=True),
        b'\x02' + rec(acl_policy(0)),
        b'\x03' + rec(u32(1) + u32(3)),
    ],
    'policy_driver': [
        b'\x00' + rec(policy(5)) + rec(policy(3)) + rec(b'', fail=True),
        b'\x01' + rec(b'1|policy text one|x|') + rec(b'2|two') + rec(b'', fail=True),
        b'\x02' + rec(b'7|text'),
        b'\x03' + rec(policy(7)),
        b'\x04' + rec(b'1|a') + rec(b'2|b') + rec(b'', fail=True),
    ],
    'policy_file': [b'1|first policy|C:\\x\r\n2|second|D:\\y\r\n', b'', b'3|no line end', b'\r\n\r\n\r'],
    'passpath_file': [b'\x00C:\\old|', b'\x01C:\\a|D:\\b', b'\x02', b'\x00' + b'x' * 300],
}

for target, inputs in seeds.items():
    d = os.path.join(HERE, 'corpus', target)
    os.makedirs(d, exist_ok=True)
    for i, data in enumerate(inputs):
        with open(os.path.join(d, 'seed%d' % i), 'wb') as f:
            f.write(data)
