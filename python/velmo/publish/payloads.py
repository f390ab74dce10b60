"""Topics and payloads of the MQTT publisher, layout version 1 (docs/publish.md is their reference).

Everything a subscriber reads is made here: topic names, the JSON of ``info``, ``status``
and ``load``, and the binary ``samples`` batch with its decoder.
"""

from __future__ import annotations

import array
import dataclasses
import datetime
import json
import re
import socket
import struct
import sys
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

import velmo_device_communication as vdc

from .. import __version__, port
from ..acquisition import summary

LAYOUT_VERSION = 1
# The samples batch: layout version, reserved (0), sample count, number of the first
# sample since the start of streaming, its time (seconds since the epoch), the interval
# between samples (seconds); then ``count`` float64 loads. Little-endian throughout.
SAMPLES_HEADER = struct.Struct("<HHIQdd")
TEDS_FIELDS = (
    "template", "serial_number", "engineering_unit", "min_capacity", "max_capacity", "min_electrical",
    "max_electrical", "reverse_scaling_enabled", "reverse_max_electrical",
)
# Characters MQTT gives a meaning to inside a topic level, and the separator of levels.
_UNSAFE_IN_LEVEL = re.compile(r"[+#/\x00-\x1f\x7f]")


def topic_level(text: str) -> str:
    """``text`` as one level of a topic: wildcards, separators and control characters become ``_``."""
    return _UNSAFE_IN_LEVEL.sub("_", text) or "_"


def default_prefix() -> str:
    return f"velmo/{topic_level(socket.gethostname())}"


def check_prefix(prefix: str) -> str:
    """The prefix without slashes at its ends; ``ValueError`` for wildcards, empty levels or control characters."""
    trimmed = prefix.strip("/")
    levels = trimmed.split("/")
    if not trimmed or any(not level or _UNSAFE_IN_LEVEL.search(level) for level in levels):
        raise ValueError(
            f"{prefix!r} is not a topic prefix: give levels separated by '/', none empty, without '+', '#' "
            "or control characters"
        )
    return trimmed


def time_fields(seconds: float) -> dict[str, Any]:
    """A moment as ISO 8601 UTC and as seconds since the epoch."""
    iso = datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).isoformat(timespec="milliseconds")
    return {"t": iso.replace("+00:00", "Z"), "epoch": round(seconds, 6)}


def _json(document: Mapping[str, Any]) -> bytes:
    return json.dumps(document, separators=(",", ":"), allow_nan=False).encode()


# -- info ---------------------------------------------------------------------------------


def _optional_text(read: Any, device: vdc.VelmoDevice) -> str | None:
    try:
        return str(read(device))
    except vdc.VelmoDeviceError:  # not every instrument tells
        return None


def _teds_fields(record: Any) -> dict[str, Any] | None:
    if record is None:
        return None
    fields = {name: getattr(record, name) for name in TEDS_FIELDS}
    return {name: value if isinstance(value, (bool, int, float, str)) else str(value) for name, value in fields.items()}


def instrument_info(device: vdc.VelmoDevice, channel: int = 0) -> dict[str, Any]:
    """What the instrument says about itself, for its ``info`` topic; ask it before it streams.

    The sampling rate and the velmo version are added by the publisher.
    """
    try:
        unit = str(device.get_unit_of_measure(channel).name)
    except ValueError:  # a unit code the module's enumeration lacks
        unit = None
    points = port.loading_points(device)
    teds = port.teds_record(device)
    return {
        "model": device.get_model_number(),
        "item_number": _optional_text(port.item_number, device),
        "serial_number": device.get_instrument_serial_number(),
        "firmware": _optional_text(port.firmware_version, device),
        "unit": unit,
        "channel": channel,
        "port": port.name(device),
        "baud_rate": port.baud_rate(device),
        "calibration": {
            "profile": points.profile,
            "directions": points.directions,
            "points_per_direction": points.per_direction,
            "loads": list(points.loads),
            "counts": list(points.counts),
            "source": "instrument" if teds is None else "TEDS record",
        },
        "teds": _teds_fields(teds),
    }


def instrument_name(info: Mapping[str, Any]) -> str:
    """The instrument's topic level: ``<MODEL>_<SERIAL>``, or its port's name when it did not tell."""
    if info.get("model") and info.get("serial_number") is not None:
        return topic_level(f"{info['model']}_{info['serial_number']}")
    return topic_level(str(info.get("port", "instrument")).rsplit("/", 1)[-1])


def unique_names(names: Sequence[str]) -> list[str]:
    """The names with ``-2``, ``-3``... after the repeats of one."""
    seen: dict[str, int] = {}
    result = []
    for name in names:
        seen[name] = seen.get(name, 0) + 1
        result.append(name if seen[name] == 1 else f"{name}-{seen[name]}")
    return result


def info_payload(info: Mapping[str, Any], sampling_rate: float) -> bytes:
    return _json({**info, "sampling_rate": sampling_rate, "velmo_version": __version__, "layout": LAYOUT_VERSION})


# -- status -------------------------------------------------------------------------------


def status_payload(state: str, at: float, reason: str | None = None, dropped: int = 0) -> bytes:
    """``online``, ``offline`` or ``lost``; ``dropped`` counts the messages the outbox gave up so far."""
    return _json({"state": state, **time_fields(at), "reason": reason, "dropped": dropped})


# -- load ---------------------------------------------------------------------------------


class LoadSummary(summary.LoadSummary):
    """The samples of one interval, summed up as they come, and their ``load`` message."""

    def payload(self, at: float, received: int, dropped: int, lost: int) -> bytes:
        values: dict[str, float | None] = {"min": None, "max": None, "mean": None, "last": None}
        if self.n:
            values = {"min": self.low, "max": self.high, "mean": self.mean, "last": self.last}
        return _json({**time_fields(at), "n": self.n, **values, "received": received, "dropped": dropped, "lost": lost})


# -- samples ------------------------------------------------------------------------------


def encode_samples(first: int, t0: float, interval: float, loads: array.array[float]) -> bytes:
    """One batch of consecutive samples: the header, then the loads as little-endian float64."""
    if sys.byteorder != "little":
        loads = array.array("d", loads)
        loads.byteswap()
    return SAMPLES_HEADER.pack(LAYOUT_VERSION, 0, len(loads), first, t0, interval) + loads.tobytes()


@dataclasses.dataclass(frozen=True)
class SamplesBatch:
    """A decoded batch: sample ``first + i`` has ``loads[i]`` and lies at ``t0 + i * interval``."""

    first: int
    t0: float
    interval: float
    loads: array.array[float]


def decode_samples(payload: bytes) -> SamplesBatch:
    """A ``samples`` message back into its numbers.

    :raises ValueError: For another layout version or a payload of the wrong length
    """
    if len(payload) < SAMPLES_HEADER.size:
        raise ValueError(f"a samples batch has a {SAMPLES_HEADER.size}-byte header; this one has {len(payload)} bytes")
    version, _reserved, count, first, t0, interval = SAMPLES_HEADER.unpack_from(payload)
    if version != LAYOUT_VERSION:
        raise ValueError(f"samples layout version {version}; this decoder reads version {LAYOUT_VERSION}")
    if len(payload) != SAMPLES_HEADER.size + 8 * count:
        raise ValueError(f"a batch of {count} samples has {SAMPLES_HEADER.size + 8 * count} bytes, not {len(payload)}")
    loads = array.array("d", payload[SAMPLES_HEADER.size :])
    if sys.byteorder != "little":
        loads.byteswap()
    return SamplesBatch(first, t0, interval, loads)


def rebuild_series(batches: Iterable[SamplesBatch]) -> tuple[dict[int, float], list[tuple[int, int]]]:
    """The loads by sample number from batches in any order, repeats included (QoS 1 may
    deliver one twice); and the gaps as (first missing sample number, how many)."""
    loads: dict[int, float] = {}
    for batch in batches:
        for offset, load in enumerate(batch.loads):
            loads[batch.first + offset] = load
    gaps = []
    numbers = sorted(loads)
    for before, after in zip(numbers, numbers[1:]):
        if after > before + 1:
            gaps.append((before + 1, after - before - 1))
    return loads, gaps
