"""Acquisitions started and not yet closed, closed when the program ends.

One left running would go on streaming, and the interpreter's shutdown would end its
reader inside a native wait, which aborts the process. They are closed before Python
joins the program's own threads (``threading._register_atexit``), so that a thread
still reading one ends with it instead of keeping the interpreter from exiting. A
forked child forgets them: they belong to the process that started them.
"""

from __future__ import annotations

import atexit
import logging
import os
import threading
import weakref
from typing import Protocol


class Closable(Protocol):
    def close(self) -> None: ...

    def port_name(self) -> str: ...


logger = logging.getLogger("velmo.acquisition")

_running: weakref.WeakSet[Closable] = weakref.WeakSet()


def add(acquisition: Closable) -> None:
    _running.add(acquisition)


def discard(acquisition: Closable) -> None:
    _running.discard(acquisition)


def close_all() -> None:
    for acquisition in list(_running):
        logger.info("Closing the acquisition from %s that was left running at exit", acquisition.port_name())
        try:
            acquisition.close()
        except Exception as error:
            logger.warning("Could not close the acquisition from %s at exit: %s", acquisition.port_name(), error)


# Before the interpreter joins non-daemon threads; atexit where that hook is missing.
_register_before_threads_joined = getattr(threading, "_register_atexit", atexit.register)
_register_before_threads_joined(close_all)
os.register_at_fork(after_in_child=_running.clear)
