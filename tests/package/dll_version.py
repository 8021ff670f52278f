#!/usr/bin/env python3
"""dll_version.py DLL: prints the file version of a DLL's version resource (major.minor.patch).

The resource's fixed part (VS_FIXEDFILEINFO) starts with the signature 0xFEEF04BD; the file
version follows the structure version, most significant half first.
"""
import struct
import sys

data = open(sys.argv[1], "rb").read()
at = data.find(struct.pack("<I", 0xFEEF04BD))
if at < 0:
    sys.exit("no version resource in " + sys.argv[1])
_, _, high, low = struct.unpack_from("<IIII", data, at)
print(f"{high >> 16}.{high & 0xFFFF}.{low >> 16}")
