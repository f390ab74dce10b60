"""One event: the samples of a press cycle around its trigger, and its verdict."""

from __future__ import annotations

import dataclasses
from typing import Any

import numpy as np
import numpy.typing as npt

from .limits import Verdict


@dataclasses.dataclass(frozen=True, eq=False)
class Event:
    """The samples from ``pre`` seconds before the trigger to the event's end.

    ``sample_numbers`` count from the start of the run, the missing samples of a gap
    included: a gap inside the event shows as a jump in them (and in ``gaps``, pairs of
    the position after the gap and the samples missing), never bridged. ``loads`` are
    the instrument's loads minus ``tare`` (0 without one). ``trigger_index`` is the
    trigger sample's position in the arrays, ``trigger_time`` its time (``time.time()``
    reckoning). ``merged`` counts further triggers that fell inside the event.
    ``truncated``: an event with an end condition that reached ``max_duration`` first.
    """

    loads: npt.NDArray[np.float64]
    counts: npt.NDArray[np.uint32]
    sample_numbers: npt.NDArray[np.int64]
    trigger_index: int
    trigger_time: float
    interval: float
    t0: float  # time of sample number 0
    trigger: str
    tare: float = 0.0
    gaps: tuple[tuple[int, int], ...] = ()
    merged: int = 0
    truncated: bool = False
    verdict: Verdict | None = None
    metadata: dict[str, Any] = dataclasses.field(default_factory=dict)

    def times(self) -> npt.NDArray[np.float64]:
        """Each sample's time in seconds since the trigger sample (negative before it)."""
        trigger_number = self.sample_numbers[self.trigger_index]
        times: npt.NDArray[np.float64] = (self.sample_numbers - trigger_number) * self.interval
        return times

    @property
    def trigger_sample(self) -> int:
        return int(self.sample_numbers[self.trigger_index])

    @property
    def passed(self) -> bool | None:
        return None if self.verdict is None else self.verdict.passed

    @property
    def peak(self) -> float:
        """The highest load from the trigger on."""
        return float(self.loads[self.trigger_index :].max())

    def __len__(self) -> int:
        return len(self.loads)

    def __repr__(self) -> str:
        verdict = "" if self.verdict is None else (", passed" if self.verdict.passed else ", failed")
        return f"<Event at sample {self.trigger_sample} ({self.trigger}), {len(self)} samples{verdict}>"
