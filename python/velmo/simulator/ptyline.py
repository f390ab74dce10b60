"""Pseudo-terminal plumbing: the line rate the host set, and host open/close.

On Linux the termios ioctls of a pty master act on the slave side, so the
master can read the rate that the host configured on the slave. TCGETS2 is
used because it carries arbitrary rates such as 320000 (set with BOTHER),
which the classic termios interface cannot express.

Pseudo-terminals are POSIX: on Windows the module imports, and making a pty
raises a RuntimeError that says so.
"""

from __future__ import annotations

import ctypes
import os
import select
import struct
import sys

if sys.platform != "win32":
    import fcntl
    import termios
    import tty

# struct termios2: four tcflag_t, c_line, c_cc[19], c_ispeed, c_ospeed
_TERMIOS2 = struct.Struct("4IB19sII")
# _IOR('T', 0x2A, struct termios2) on the asm-generic ioctl layout
_TCGETS2 = (2 << 30) | (_TERMIOS2.size << 16) | (ord("T") << 8) | 0x2A

_STANDARD_SPEEDS = (
    {}
    if sys.platform == "win32"
    else {getattr(termios, name): int(name[1:]) for name in dir(termios) if name.startswith("B") and name[1:].isdigit()}
)


def open_pty() -> tuple[int, str]:
    """A non-blocking pty master and the slave's path; no slave fd is kept.

    Holding no slave descriptor ourselves means the host's close really is the
    last close of the slave, which is what hang-up detection observes.

    :raises RuntimeError: On Windows, which has no pseudo-terminals
    """
    if sys.platform == "win32":
        raise RuntimeError("The simulated instrument needs pseudo-terminals, which Windows does not have (POSIX only)")
    master, slave = os.openpty()
    try:
        tty.setraw(slave)  # no echo of our answers back to us before the host configures it
        path = os.ttyname(slave)
    finally:
        os.close(slave)
    os.set_blocking(master, False)
    return master, path


def line_speed(fd: int) -> int | None:
    """Output rate of the slave side in bit/s, or None when it cannot be told."""
    if sys.platform.startswith("linux"):
        buffer = bytearray(_TERMIOS2.size)
        try:
            fcntl.ioctl(fd, _TCGETS2, buffer)
            speed: int = _TERMIOS2.unpack(buffer)[-1]
            return speed
        except OSError:
            pass
    try:
        return _STANDARD_SPEEDS.get(termios.tcgetattr(fd)[5])
    except termios.error:
        return None


class HostWatcher:
    """Tells whether the host holds the slave open and counts its opens and closes."""

    poll_interval: float | None = None  # seconds between checks when nothing wakes us

    def __init__(self) -> None:
        self.opens = 0
        self.closes = 0

    @property
    def present(self) -> bool:
        return self.opens > self.closes

    def fileno(self) -> int | None:
        return None

    def refresh(self, master_hung_up: bool) -> None:
        raise NotImplementedError

    def close(self) -> None:
        pass


class InotifyWatcher(HostWatcher):
    """Counts the host's sessions from open and close events of the slave path.

    Exact even for sessions that begin and end between two checks. The host
    may hold the slave open more than once (a lock descriptor beside the port),
    and inotify merges identical events in a row, so a close counts as the end
    of a session only when the master reports that no slave is open any more,
    or when another open follows it in the same batch of events.
    """

    _IN_CLOSE_WRITE, _IN_CLOSE_NOWRITE, _IN_OPEN = 0x08, 0x10, 0x20
    _IN_NONBLOCK, _IN_CLOEXEC = os.O_NONBLOCK, 0o2000000
    _EVENT = struct.Struct("iIII")

    def __init__(self, path: str, master: int) -> None:
        super().__init__()
        self._master = master
        self._depth = 0  # slave descriptors open, as far as the events tell
        libc = ctypes.CDLL(None, use_errno=True)
        self._fd: int = libc.inotify_init1(self._IN_NONBLOCK | self._IN_CLOEXEC)
        if self._fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1 failed")
        mask = self._IN_OPEN | self._IN_CLOSE_WRITE | self._IN_CLOSE_NOWRITE
        if libc.inotify_add_watch(self._fd, path.encode(), mask) < 0:
            error = ctypes.get_errno()
            os.close(self._fd)
            raise OSError(error, f"cannot watch {path}")

    def fileno(self) -> int:
        return self._fd

    def _slave_open(self) -> bool:
        poller = select.poll()
        poller.register(self._master, select.POLLIN)
        return not dict(poller.poll(0)).get(self._master, 0) & select.POLLHUP

    def _events(self) -> list[bool]:
        """The batch of events waiting: True for an open, False for a close."""
        try:
            data = os.read(self._fd, 4096)
        except BlockingIOError:
            return []
        events, offset = [], 0
        while offset < len(data):
            _wd, mask, _cookie, name_length = self._EVENT.unpack_from(data, offset)
            offset += self._EVENT.size + name_length
            if mask & self._IN_OPEN:
                events.append(True)
            if mask & (self._IN_CLOSE_WRITE | self._IN_CLOSE_NOWRITE):
                events.append(False)
        return events

    def refresh(self, master_hung_up: bool) -> None:
        # The slave's state must be the one after the last event taken: an open or a
        # close between reading the events and the check would be missed otherwise.
        events = self._events()
        while True:
            slave_open = self._slave_open()
            later = self._events()
            if not later:
                break
            events += later
        for index, opened in enumerate(events):
            if opened:
                self._depth += 1
                if self._depth == 1:
                    self.opens += 1
            elif self._depth > 1:
                self._depth -= 1
            elif self._depth == 1 and (not slave_open or True in events[index + 1 :]):
                self._depth = 0
                self.closes += 1
        if slave_open and not self._depth:
            self._depth = 1
            self.opens += 1
        elif not slave_open and self._depth:
            self._depth = 0
            self.closes += 1

    def close(self) -> None:
        os.close(self._fd)


class HangupWatcher(HostWatcher):
    """Fallback without inotify: the master reports POLLHUP while no slave is open.

    A host that opens and closes between two checks goes unnoticed.
    """

    poll_interval = 0.005

    def refresh(self, master_hung_up: bool) -> None:
        if self.present and master_hung_up:
            self.closes += 1
        elif not self.present and not master_hung_up:
            self.opens += 1


def host_watcher(path: str, master: int) -> HostWatcher:
    try:
        return InotifyWatcher(path, master)
    except (OSError, AttributeError):
        return HangupWatcher()

