"""Ways to spoil the instrument's answers, shared by every transport."""

from __future__ import annotations

import threading
from typing import Any

DEFAULT_GARBAGE = b"\xa5\x5a\xff"


class AnswerFaults:
    """Fault switches applied to each answer before it goes on the line.

    ``silent`` and ``delay`` hold until changed; a silent instrument neither
    answers nor carries out what it receives. The ``*_next`` methods spoil
    the next ``times`` answers (``times=None``: every answer from now on).
    """

    def __init__(self) -> None:
        self.silent = False
        self.delay = 0.0  # seconds between a command and its answer
        self._lock = threading.Lock()
        self._active: dict[str, list[Any]] = {}  # kind -> [parameter, answers left or None]

    def drop_next(self, times: int | None = 1) -> None:
        self._arm("drop", None, times)

    def cut_next(self, length: int, times: int | None = 1) -> None:
        """Send only the first ``length`` bytes of the answer."""
        self._arm("cut", length, times)

    def corrupt_next_checksum(self, times: int | None = 1) -> None:
        self._arm("corrupt", None, times)

    def garbage_before_next(self, data: bytes = DEFAULT_GARBAGE, times: int | None = 1) -> None:
        self._arm("garbage", bytes(data), times)

    def delay_next(self, seconds: float, times: int | None = 1) -> None:
        """Hold the next answers back ``seconds``; later ones wait behind them, in order."""
        self._arm("delay", float(seconds), times)

    def answer_delay(self) -> float:
        """Seconds the answer going out now is held back."""
        with self._lock:
            if "delay" in self._active:
                delay: float = self._consume("delay")
                return delay
        return self.delay

    def clear(self) -> None:
        with self._lock:
            self._active.clear()
        self.silent = False
        self.delay = 0.0

    def shape(self, answer: bytes) -> bytes | None:
        """What actually goes out for ``answer``; None when nothing does."""
        if self.silent:
            return None
        with self._lock:
            faults = {kind: self._consume(kind) for kind in list(self._active) if kind != "delay"}
        if "drop" in faults:
            return None
        if "corrupt" in faults:
            answer = answer[:-1] + bytes((answer[-1] ^ 0xFF,))
        if "cut" in faults:
            answer = answer[:faults["cut"]]
        garbage: bytes = faults.get("garbage", b"")
        return garbage + answer

    def _arm(self, kind: str, parameter: Any, times: int | None) -> None:
        if times is not None and times < 1:
            raise ValueError("times must be at least 1, or None for every answer")
        with self._lock:
            self._active[kind] = [parameter, times]

    def _consume(self, kind: str) -> Any:
        parameter, left = self._active[kind]
        if left is not None:
            if left <= 1:
                del self._active[kind]
            else:
                self._active[kind][1] = left - 1
        return parameter
