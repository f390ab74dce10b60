"""Keeping expected failures out of the user's log.

A probe that finds nothing at a wrong rate or on an empty port makes the module
log WARNING and ERROR records ("Timeout waiting for response", "Retries failed
after "); so does closing an acquisition whose instrument is gone. Within
``demoted(...)`` the records of the named loggers that the current thread logs
at WARNING or above are passed on at DEBUG instead: visible to whoever asked for
DEBUG, silent otherwise. Other threads, and the same loggers outside the block,
are untouched.
"""

from __future__ import annotations

import collections
import contextlib
import logging
import threading
from collections.abc import Iterator


class _Demotion(logging.Filter):
    """Installed once per logger; demotes only the records of threads inside a block."""

    def __init__(self) -> None:
        super().__init__()
        self._lock = threading.Lock()
        self._depth: collections.Counter[int] = collections.Counter()

    def enter(self) -> None:
        with self._lock:
            self._depth[threading.get_ident()] += 1

    def leave(self) -> None:
        with self._lock:
            self._depth[threading.get_ident()] -= 1
            if not self._depth[threading.get_ident()]:
                del self._depth[threading.get_ident()]

    def filter(self, record: logging.LogRecord) -> bool:
        if record.levelno < logging.WARNING or record.thread not in self._depth:
            return True
        record.levelno, record.levelname = logging.DEBUG, logging.getLevelName(logging.DEBUG)
        # The logger let the record through at its original level; at DEBUG it may not.
        return logging.getLogger(record.name).isEnabledFor(logging.DEBUG)


_install_lock = threading.Lock()
_demotions: dict[str, _Demotion] = {}


def _demotion(name: str) -> _Demotion:
    with _install_lock:
        demotion = _demotions.get(name)
        if demotion is None:
            demotion = _demotions[name] = _Demotion()
            logging.getLogger(name).addFilter(demotion)
        return demotion


@contextlib.contextmanager
def demoted(*logger_names: str) -> Iterator[None]:
    """Within the block, this thread's WARNING and ERROR records of these loggers go out at DEBUG."""
    demotions = [_demotion(name) for name in logger_names]
    for demotion in demotions:
        demotion.enter()
    try:
        yield
    finally:
        for demotion in demotions:
            demotion.leave()
