#!/usr/bin/env python3
"""copy_clip_bytes.py IMAGE COUNT OUT: copies the first COUNT bytes of IMAGE into the new file OUT
inside the system (copy_file_range), as the engine copies clip ranges: the floor of writing the
clips for a tool that has read the card once before."""
import os
import sys

src = os.open(sys.argv[1], os.O_RDONLY)
dst = os.open(sys.argv[3], os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
count, done = int(sys.argv[2]), 0
while done < count:
    moved = os.copy_file_range(src, dst, min(count - done, 1 << 30), done, done)
    if moved <= 0:
        sys.exit("copy_file_range stopped at %d" % done)
    done += moved
