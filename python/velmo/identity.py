"""Who an instrument is and how it is calibrated: asked before it streams.

Whatever leaves the process with the samples - a recording, a server, a publisher -
says what they are. Once the stream runs the instrument answers no question, so an
``Acquisition`` asks these at its start and keeps them as ``acquisition.instrument``.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Callable
from typing import Any

import velmo_device_communication as vdc

from . import port


@dataclasses.dataclass(frozen=True)
class Calibration:
    """The loading points the converter in use was drawn from: direction 1, then direction 2."""

    profile: int
    directions: int
    loads: tuple[float, ...]
    counts: tuple[int, ...]
    source: str  # "instrument", or "TEDS record" when AutoTEDS replaced the instrument's own


@dataclasses.dataclass(frozen=True)
class InstrumentInfo:
    """What the instrument says about itself, asked before it streams."""

    model: str
    item_number: str
    serial_number: int
    firmware: str
    unit: str
    channel: int
    port: str
    baud_rate: int
    rate_code: int  # in force on the channel before the recording
    calibration: Calibration
    teds: Any  # the TEDSData the instrument read, or None

    @property
    def name(self) -> str:
        return f"{self.model}_{self.serial_number}"


def _optional_text(read: Callable[[vdc.VelmoDevice], str], device: vdc.VelmoDevice) -> str:
    """An identity text not every instrument gives; empty where it cannot."""
    try:
        return str(read(device))
    except vdc.VelmoDeviceError:
        return ""


def _unit_name(device: vdc.VelmoDevice, channel: int) -> str:
    try:
        return str(device.get_unit_of_measure(channel).name)
    except ValueError:  # a unit code the module's enumeration lacks
        return "unknown"


def _calibration(device: vdc.VelmoDevice) -> Calibration:
    points = port.loading_points(device)
    return Calibration(
        profile=points.profile,
        directions=points.directions,
        loads=points.loads,
        counts=points.counts,
        source="instrument" if port.teds_record(device) is None else "TEDS record",
    )


def describe(device: vdc.VelmoDevice, channel: int) -> InstrumentInfo:
    """Ask the instrument who it is, how it is calibrated and what its rate is; before streaming."""
    return InstrumentInfo(
        model=device.get_model_number(),
        item_number=_optional_text(port.item_number, device),
        serial_number=device.get_instrument_serial_number(),
        firmware=_optional_text(port.firmware_version, device),
        unit=_unit_name(device, channel),
        channel=channel,
        port=port.name(device),
        baud_rate=port.baud_rate(device),
        rate_code=device.get_sampling_rate(channel),
        calibration=_calibration(device),
        teds=port.teds_record(device),
    )
