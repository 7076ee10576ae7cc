#!/usr/bin/env python3
"""Where the engine's reads of the card go: runs it under strace and sums, per stage and per
clip written, the bytes its read calls and its copies inside the system took from the image.

stages.py ENGINE IMAGE [ENGINE OPTIONS...]   (default options: --recover-all --no-validator)

Prints each stage's bytes over the image's size; the stages follow the engine's own lines on
standard output ("[2/6] ...", "clip N: ...").
"""
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "e2e"))
import card_reads  # noqa: E402

engine, image = sys.argv[1], sys.argv[2]
options = sys.argv[3:] or ["--recover-all", "--no-validator"]
size = os.path.getsize(image)
work = tempfile.mkdtemp(prefix="stages-")
trace = os.path.join(work, "trace.txt")
card_reads.traced([engine, image, "--work-dir", work, "-o", os.path.join(work, "out"), "--no-progress"] + options,
                  trace, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
read, copied, order = {}, {}, ["start"]
for stage, kind, n in card_reads.image_reads(trace, image):
    if kind == "fetched":
        continue  # into the cache ahead of the scan's reads, which count
    order.append(stage)
    into = copied if kind == "copied" else read
    into[stage] = into.get(stage, 0) + n
subprocess.run(["rm", "-rf", work])
print("image %d bytes; bytes over the image's size" % size)
print("%-50s %8s %8s" % ("stage", "read", "copied"))
for s in dict.fromkeys(order):
    if s in read or s in copied:
        print("%-50s %8.3f %8.3f" % (s, read.get(s, 0) / size, copied.get(s, 0) / size))
print("%-50s %8.3f %8.3f" % ("total", sum(read.values()) / size, sum(copied.values()) / size))
