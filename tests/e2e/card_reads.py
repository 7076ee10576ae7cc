"""What the engine itself asks of the card: its read calls and its copies inside the system on the
image's own file, traced by strace. Neither the page cache nor the files the engine reads back
(the report's hashes, the scan cache) count, so a run gives the same figures on every machine,
busy or quiet."""

import os
import re
import subprocess

CALLS = "trace=openat,close,read,pread64,preadv,copy_file_range,sendfile,write"


def traced(command, trace, **popen):
    """Runs `command` under strace, its calls into `trace`; the finished process. The leak check of
    a sanitized build cannot run under a tracer and would end the run, so it is left out there."""
    env = dict(popen.pop("env", None) or os.environ)
    env["ASAN_OPTIONS"] = ":".join(o for o in (env.get("ASAN_OPTIONS"), "detect_leaks=0") if o)
    return subprocess.run(["strace", "-f", "-qq", "-s", "100", "-e", CALLS, "-o", trace] + list(command),
                          env=env, **popen)


def image_reads(trace, image):
    """(stage, "read", "copied" or "fetched", bytes) for every call that took bytes from `image`
    ("fetched": sent to nowhere, into the system's cache ahead of the reads); the stage is
    the last of the engine's own lines ("[2/6] ...", "clip N:") printed before it."""
    image = os.path.abspath(image)
    fds, stage, pending = set(), "start", {}  # pending: a call another thread's line cut in two
    with open(trace, errors="replace") as f:
        lines = f.read().splitlines()
    for line in lines:
        pid, _, call = line.partition(" ")
        call = call.lstrip()
        if call.endswith("<unfinished ...>"):
            pending[pid] = call[:-len("<unfinished ...>")]
            continue
        m = re.match(r"<\.\.\. \w+ resumed>(.*)$", call)
        if m:
            call = pending.pop(pid, "") + m.group(1)
        m = re.match(r'openat\(AT_FDCWD, "([^"]+)".* = (\d+)$', call)
        if m:
            if os.path.abspath(m.group(1)) == image:
                fds.add(m.group(2))
            continue
        m = re.match(r"close\((\d+)\)", call)
        if m:
            fds.discard(m.group(1))
            continue
        m = re.match(r'write\(1, "(?:\\n)*(\[\d/6\][^."\\]*|clip \d+:)', call)
        if m:
            stage = m.group(1).strip()
            continue
        # bytes sent to /dev/null only fill the cache ahead of the reads that take them
        m = re.match(r"sendfile\(\d+, (\d+),.* = (\d+)$", call)
        if m:
            if m.group(1) in fds:
                yield stage, "fetched", int(m.group(2))
            continue
        m = re.match(r"(read|pread64|preadv|copy_file_range)\((\d+),.* = (\d+)$", call)
        if m and m.group(2) in fds:
            yield stage, "copied" if m.group(1) == "copy_file_range" else "read", int(m.group(3))
