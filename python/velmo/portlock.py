"""Holding a serial port for one program at a time.

On POSIX systems a port that velmo opens is held with an advisory
``flock(LOCK_EX | LOCK_NB)`` on its descriptor, the lock pyserial takes with
``exclusive=True``: a second velmo handle, another velmo program and pyserial's
exclusive users all get a clear error instead of sharing the line, and the lock
goes with the port's close. Programs that open the port without asking for a
lock are not kept out; nothing can tell them apart.

On other systems (Windows, where a port has one user at a time anyway) there is
no such lock and these functions do nothing.

The module's ``connect()`` opens the port and asks the instrument for its
identity at once, so a probe first takes the lock through a descriptor of its
own (``PortClaim``) and moves it onto the link's descriptor once an instrument
answered (``PortClaim.hand_over``): no byte is sent to an instrument that
another program holds.
"""

from __future__ import annotations

import os
from types import TracebackType
from typing import Any

import velmo_device_communication as vdc

try:
    import fcntl
except ImportError:  # not POSIX: no advisory locks
    _flock: Any = None
else:
    _flock = fcntl.flock


def in_use_error(port: str) -> vdc.VelmoConnectionError:
    return vdc.VelmoConnectionError(
        f"Port {port} is in use by another program (or another open connection of this one); close it there first"
    )


def _lock(fd: int, port: str) -> None:
    try:
        _flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        raise in_use_error(port) from None
    except OSError:
        pass  # a descriptor that cannot be locked (some file systems, odd devices) is used unlocked


def hold(target: Any) -> None:
    """Hold the open port of ``target`` (a ``VelmoDevice`` or its link) for this connection.

    Idempotent for a port this connection already holds. A port without a
    descriptor (a test double) or a system without locks is left as it is.

    :raises VelmoConnectionError: If another program or connection holds the port
    """
    link = getattr(target, "communication_interface", target)
    port = getattr(link, "serial_connection", None)
    fileno = getattr(port, "fileno", None)
    if _flock is None or fileno is None:
        return
    try:
        fd = fileno()
    except (OSError, ValueError):  # closed meanwhile: nothing to hold
        return
    if isinstance(fd, int):
        _lock(fd, str(link.comport))


class PortClaim:
    """The lock on a port's path, taken before anything is sent on the port.

    A path that cannot be opened here is not claimed: connecting to it reports
    why. Use as a context manager; the claim ends with the block or with
    ``hand_over``.

    :raises VelmoConnectionError: If another program or connection holds the port
    """

    def __init__(self, port: str) -> None:
        self.port = port
        self._fd: int | None = None
        if _flock is None:
            return
        try:
            fd = os.open(port, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
        except OSError:
            return
        try:
            _lock(fd, port)
        except BaseException:
            os.close(fd)
            raise
        self._fd = fd

    def hand_over(self, link: Any) -> None:
        """Move the lock onto ``link``'s open port; the claim itself ends.

        :raises VelmoConnectionError: If another program took the port in between
        """
        self.release()
        hold(link)

    def release(self) -> None:
        if self._fd is not None:
            fd, self._fd = self._fd, None
            os.close(fd)

    def __enter__(self) -> PortClaim:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, traceback: TracebackType | None
    ) -> None:
        self.release()
