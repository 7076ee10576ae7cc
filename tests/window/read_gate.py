"""Holds the reads of one file until they are let go, with the kernel's permission events
(fanotify): a program that reads the file then waits inside its read call. It neither runs on nor
stands stopped with a request to the Wine server half made, so the server ends it as it ends any
busy program, and once let go it leaves its read only to find itself ended. Needs root and a kernel
built with these events. The kernel decides at its opening whether a file is watched this way, so
the gate must stand before the program opens the file."""

import ctypes
import os
import select
import struct
import threading

FAN_CLOEXEC, FAN_NONBLOCK, FAN_CLASS_CONTENT = 0x1, 0x2, 0x4
FAN_MARK_ADD = 0x1
FAN_ACCESS_PERM = 0x20000
FAN_ALLOW = 0x1
AT_FDCWD = -100
EVENT = struct.Struct("=IBBHQii")  # length, version, reserved, header length, mask, fd, pid
ANSWER = struct.Struct("=iI")  # fd, response

_libc = ctypes.CDLL(None, use_errno=True)
_libc.fanotify_init.argtypes = [ctypes.c_uint, ctypes.c_uint]
_libc.fanotify_mark.argtypes = [ctypes.c_int, ctypes.c_uint, ctypes.c_uint64, ctypes.c_int, ctypes.c_char_p]


class Unavailable(Exception):
    """The kernel does not give permission events here."""


class ReadGate:
    def __init__(self, path):
        self.path = os.fsencode(os.path.abspath(path))
        self.fd = _libc.fanotify_init(FAN_CLOEXEC | FAN_NONBLOCK | FAN_CLASS_CONTENT, os.O_RDONLY | os.O_LARGEFILE)
        if self.fd < 0:
            raise Unavailable(os.strerror(ctypes.get_errno()))
        self.lock = threading.Lock()
        self.holding = False
        self.held = []  # the event fds of the reads waiting now
        self.wake_read, self.wake_write = os.pipe()
        self.answerer = threading.Thread(target=self._answer, daemon=True)
        self.answerer.start()
        if _libc.fanotify_mark(self.fd, FAN_MARK_ADD, FAN_ACCESS_PERM, AT_FDCWD, self.path) < 0:
            error = os.strerror(ctypes.get_errno())
            self.close()
            raise Unavailable(error)

    def hold(self):
        """From now on every read of the file waits, until release()."""
        with self.lock:
            self.holding = True

    def holding_a_read(self):
        with self.lock:
            return bool(self.held)

    def release(self):
        """Lets the waiting reads go, and the later ones pass."""
        with self.lock:
            self.holding = False
            held, self.held = self.held, []
        for event_fd in held:
            self._allow(event_fd)

    def close(self):
        """Lets every read go; the kernel lets pass whatever was still on its way. Once is enough."""
        if self.fd < 0:
            return
        self.release()
        os.write(self.wake_write, b"x")
        self.answerer.join()
        for fd in (self.fd, self.wake_read, self.wake_write):
            os.close(fd)
        self.fd = -1

    def _allow(self, event_fd):
        os.write(self.fd, ANSWER.pack(event_fd, FAN_ALLOW))
        os.close(event_fd)

    def _answer(self):
        """Keeps every read it is told of while holding and lets the others go at once."""
        while True:
            ready = select.select([self.fd, self.wake_read], [], [])[0]
            if self.wake_read in ready:
                return
            try:
                data = os.read(self.fd, 4096)
            except BlockingIOError:
                continue
            at = 0
            while at + EVENT.size <= len(data):
                length, _, _, _, _, event_fd, _ = EVENT.unpack_from(data, at)
                at += length
                with self.lock:
                    if self.holding:
                        self.held.append(event_fd)
                        continue
                self._allow(event_fd)
