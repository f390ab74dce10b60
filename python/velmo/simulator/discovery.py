"""Makes simulated ports show up in pyserial's port enumeration, in this process.

pyserial does not list pseudo-terminals on Linux, so while any simulator is
visible, ``serial.tools.list_ports.comports`` is replaced by a wrapper that
appends the simulators' records after the real ports. (Other processes find a
simulator through ``velmo.discovery.listed_for_other_processes``.)
"""

from __future__ import annotations

import contextlib
import threading
from typing import Any, Callable, Iterator

import serial.tools.list_ports
from serial.tools.list_ports_common import ListPortInfo

from ..discovery import port_record

__all__ = ["port_record", "visible_ports"]

_lock = threading.Lock()
_visible: list[ListPortInfo] = []
_original_comports: Callable[..., Any] | None = None


def _comports_with_simulators(*args: Any, **kwargs: Any) -> list[ListPortInfo]:
    assert _original_comports is not None  # installed only while simulators are visible
    ports = list(_original_comports(*args, **kwargs))
    with _lock:
        return ports + list(_visible)


@contextlib.contextmanager
def visible_ports(*records: ListPortInfo) -> Iterator[None]:
    """List ``records`` in ``comports()`` for the duration of the block (nestable)."""
    global _original_comports
    module = serial.tools.list_ports
    with _lock:
        if not _visible:
            _original_comports = module.comports
            module.comports = _comports_with_simulators  # type: ignore[assignment]
        _visible.extend(records)
    try:
        yield
    finally:
        with _lock:
            for record in records:
                _visible.remove(record)
            # Restore only if nobody replaced the wrapper in the meantime.
            if not _visible and module.comports is _comports_with_simulators:
                module.comports = _original_comports  # type: ignore[assignment]
