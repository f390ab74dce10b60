"""The loads of one update interval, summed up as chunks come: what a live view or a
plant server shows of the interval."""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Sequence


@dataclasses.dataclass
class LoadSummary:
    """``n`` loads so far: their minimum, maximum, sum and the last of them."""

    n: int = 0
    low: float = math.inf
    high: float = -math.inf
    total: float = 0.0
    last: float = math.nan

    def add(self, loads: Sequence[float]) -> None:
        if not len(loads):
            return
        self.n += len(loads)
        self.low = min(self.low, min(loads))
        self.high = max(self.high, max(loads))
        self.total += math.fsum(loads)
        self.last = loads[-1]

    @property
    def mean(self) -> float:
        return self.total / self.n if self.n else math.nan
