#!/usr/bin/env python3
"""The floor of a tool that writes while it reads: reads IMAGE once, front to back, in 8 MiB
blocks, and writes the first BYTES of what it read to OUT as they pass.

floor.py IMAGE BYTES OUT
"""
import sys

image, left, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
block = 8 << 20
with open(image, "rb", buffering=0) as src, open(out, "wb", buffering=0) as dst:
    buf = bytearray(block)
    view = memoryview(buf)
    while True:
        n = src.readinto(buf)
        if not n:
            break
        if left:
            put = min(n, left)
            dst.write(view[:put])
            left -= put
