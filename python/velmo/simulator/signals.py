"""Live signals: what a channel's ADC reads at a given time.

A signal is any callable taking the seconds since the instrument was switched
on and returning a raw count; counts are folded into the unsigned 32-bit range
of the instrument's converter.
"""

from __future__ import annotations

import math
from typing import Callable, Union

COUNT_MASK = 0xFFFF_FFFF

Signal = Callable[[float], float]
SignalLike = Union[Signal, int]


def constant(count: int) -> Signal:
    return lambda _t: count


def ramp(start: int, counts_per_second: float) -> Signal:
    return lambda t: start + counts_per_second * t


def sine(center: int, amplitude: float, frequency_hz: float) -> Signal:
    return lambda t: center + amplitude * math.sin(2.0 * math.pi * frequency_hz * t)


def as_signal(signal: SignalLike) -> Signal:
    """Accept a plain count as a constant signal."""
    if callable(signal):
        return signal
    return constant(int(signal))


def sample(signal: Signal, t: float) -> int:
    return int(signal(t)) & COUNT_MASK
