"""Replaying a recording: simulated instruments that stream recorded counts at the recorded rate.

A replayed instrument has the recorded identity (model, item number, serial number,
firmware) and calibration, so a host converts its counts into the recorded loads. It
streams the counts in order, then again from the first; where samples are missing from
the recording it sends nothing for as long, as the instrument did.
"""

from __future__ import annotations

import math
import os
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import velmo_device_communication as vdc

from . import protocol
from .instrument import DEFAULT_UNIT_CODE, InstrumentModel, LoadingPoint, Profile, StreamPacket, default_profile
from .protocol import SAMPLING_RATES
from .simulated import SimulatedInstrument

if TYPE_CHECKING:
    import numpy.typing as npt

    from ..recording import Instrument


class ReplayedInstrument(InstrumentModel):
    """An instrument whose stream is ``counts``, paced by the rate of the profile in force.

    :param counts: The counts to stream, in order
    :param missing: Samples to leave out (the line silent) right before a position of ``counts``
    :param options: The rest of ``InstrumentModel``'s arguments: identity, ``profiles``...
    """

    def __init__(self, counts: Sequence[int] | npt.NDArray[Any], missing: dict[int, int] | None = None, **options: Any):
        if not len(counts):
            raise ValueError("there are no counts to replay")
        super().__init__(**options)
        self._counts = counts
        self._missing = dict(missing or {})
        self._position = 0
        self._silent = self._missing.get(0, 0)  # slots still to leave out before the next count
        self._last = int(counts[0])
        self.set_signal(0, lambda _t: self._last)  # what a host reading channel 0 gets

    def stream_packets_due(self, now: float | None = None, max_lag: float = 0.1) -> list[StreamPacket]:
        encode = protocol.high_rate_packet if self.uses_high_rate_packets else protocol.standard_packet
        packets = []
        for _slot in super().stream_packets_due(now, max_lag):
            if self._silent:
                self._silent -= 1
                continue
            self._last = count = int(self._counts[self._position])
            packets.append(StreamPacket(encode(count), count))
            self._position = (self._position + 1) % len(self._counts)
            self._silent = self._missing.get(self._position, 0)
        return packets


def _rate_code(model: str, samples_per_second: float) -> int:
    for code, rate in enumerate(SAMPLING_RATES[model]):
        if math.isclose(rate, samples_per_second):
            return code
    raise ValueError(f"the {model} has no sampling rate of {samples_per_second:g} SPS")


def _firmware(text: str) -> tuple[int, ...]:
    parts = text.split(".")
    return tuple(int(part) for part in parts) if len(parts) == 3 and all(p.isdigit() for p in parts) else (4, 3, 2)


def _profile(metadata: dict[str, Any]) -> Profile:
    """The recorded calibration as profile 0, at the recorded rate and unit."""
    points = [LoadingPoint(float(load), int(count)) for load, count in zip(
        metadata["calibration_loads"], metadata["calibration_counts"]
    )]
    one_direction = metadata["calibration_directions"] == 1
    unit = vdc.UnitOfMeasureEnum.__members__.get(metadata["unit"])
    return Profile(
        points=points * 2 if one_direction else points,  # a profile holds both directions' points
        direction_code=0 if one_direction else 1,
        rate_code=_rate_code(metadata["model"], metadata["sampling_rate"]),
        unit_code=DEFAULT_UNIT_CODE if unit is None else unit.value,
    )


def replayed_instrument(recorded: Instrument) -> SimulatedInstrument:
    """A simulated instrument on a pty that replays one instrument of a recording."""
    metadata = recorded.metadata
    missing: dict[int, int] = {}
    for gap in recorded.gaps:
        missing[gap.index] = missing.get(gap.index, 0) + gap.missing
    model = ReplayedInstrument(
        recorded.counts,
        missing,
        model=metadata["model"],
        item_number=metadata["item_number"] or None,
        firmware=_firmware(metadata["firmware"]),
        instrument_serial=metadata["serial_number"],
        profiles=[_profile(metadata)] + [default_profile(index) for index in range(1, 4)],
    )
    return SimulatedInstrument(instrument=model, baud_rate=metadata["baud_rate"])


def replay(path: str | os.PathLike[str]) -> list[SimulatedInstrument]:
    """One simulated instrument per instrument of the recording at ``path``, each serving
    on its own pty; close them (or use them in ``with`` blocks) when done."""
    from ..recording import load

    simulators: list[SimulatedInstrument] = []
    try:
        for recorded in load(path).instruments.values():
            simulators.append(replayed_instrument(recorded))
    except BaseException:
        for simulator in simulators:
            simulator.close()
        raise
    return simulators
