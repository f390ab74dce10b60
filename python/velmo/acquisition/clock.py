"""Telling samples lost on the line from the time reads arrive."""

from __future__ import annotations

import collections

# The lowest latency of the last FLOOR_WINDOW seconds is the line's floor.
FLOOR_WINDOW = 10.0


class LineClock:
    """Tells samples lost on the line from the time reads arrive.

    Packets carry no sequence number. Sample ``p`` of a steady stream leaves the
    instrument at ``origin + p * interval``, so a read ending before sample ``p``
    arrives ``arrived - p * interval - origin`` late: at the line's latency floor
    while nothing is lost, and later by the length of every stretch lost or
    stalled. The floor is the least lateness of the last ``FLOOR_WINDOW`` seconds,
    so a slow drift of the instrument's clock is followed, not counted.
    """

    def __init__(self, interval: float):
        self._interval = interval
        self._floor: collections.deque[tuple[float, float]] = collections.deque()  # (arrived, value), rising

    def lateness(self, arrived: float, end: int) -> float:
        if not self._floor:
            return 0.0
        return arrived - end * self._interval - self._floor[0][1]

    def accept(self, arrived: float, end: int) -> None:
        value = arrived - end * self._interval
        while self._floor and self._floor[-1][1] >= value:
            self._floor.pop()
        self._floor.append((arrived, value))
        while self._floor[0][0] < arrived - FLOOR_WINDOW:
            self._floor.popleft()

