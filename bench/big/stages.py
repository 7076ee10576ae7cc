#!/usr/bin/env python3
"""Where the engine's reads of the card go: runs it under strace and sums, per stage and per
clip written, the bytes its read calls and its copies inside the system took from the image.

stages.py ENGINE IMAGE [ENGINE OPTIONS...]   (default options: --recover-all --no-validator)

Prints each stage's bytes over the image's size; the stages follow the engine's own lines on
standard output ("[2/6] ...", "clip N: ...").
"""
import os
import re
import subprocess
import sys
import tempfile

engine, image = sys.argv[1], sys.argv[2]
options = sys.argv[3:] or ["--recover-all", "--no-validator"]
size = os.path.getsize(image)
work = tempfile.mkdtemp(prefix="stages-")
trace = os.path.join(work, "trace.txt")
subprocess.run(["strace", "-f", "-qq", "-s", "100", "-e", "trace=openat,close,read,pread64,copy_file_range,write", "-o", trace,
                engine, image, "--work-dir", work, "-o", os.path.join(work, "out"), "--no-progress"] + options,
               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
image_name = os.path.abspath(image)
fds, stage, read, copied, order = set(), "start", {}, {}, ["start"]
pending = {}  # pid -> the start of a call another thread's line cut in two
for line in open(trace):
    pid, _, call = line.rstrip("\n").partition(" ")
    if call.endswith("<unfinished ...>"):
        pending[pid] = call[:-len("<unfinished ...>")]
        continue
    m = re.match(r"<\.\.\. \w+ resumed>(.*)$", call)
    if m:
        call = pending.pop(pid, "") + m.group(1)
    m = re.match(r'openat\(AT_FDCWD, "([^"]+)".* = (\d+)$', call)
    if m:
        if os.path.abspath(m.group(1)) == image_name:
            fds.add(m.group(2))
        continue
    m = re.match(r'close\((\d+)\)', call)
    if m:
        fds.discard(m.group(1))
        continue
    m = re.match(r'write\(1, "(?:\\n)*(\[\d/6\][^."\\]*|clip \d+:)', call)
    if m:
        stage = m.group(1).strip()
        order.append(stage)
        continue
    m = re.match(r'(read|pread64|copy_file_range)\((\d+),.* = (\d+)$', call)
    if m and m.group(2) in fds:
        into = copied if m.group(1) == "copy_file_range" else read
        into[stage] = into.get(stage, 0) + int(m.group(3))
subprocess.run(["rm", "-rf", work])
print("image %d bytes; bytes over the image's size" % size)
print("%-50s %8s %8s" % ("stage", "read", "copied"))
for s in dict.fromkeys(order):
    if s in read or s in copied:
        print("%-50s %8.3f %8.3f" % (s, read.get(s, 0) / size, copied.get(s, 0) / size))
print("%-50s %8.3f %8.3f" % ("total", sum(read.values()) / size, sum(copied.values()) / size))
