"""Events in a recording file: one group per event under ``/instruments/<name>/events/``.

::

    /instruments/<MODEL>_<SERIAL>/events/<NNNNNN>/
        load float64, count uint32, sample_number int64   the event's samples
        attributes: trigger_index, trigger_time, trigger_sample, trigger, interval, t0,
            tare, gaps (n x 2: position after the gap, samples missing), merged, truncated,
            verdict (JSON, absent without limits), passed, limits (the limit set, JSON)

Groups are named by their order, so they read back in order.
"""

from __future__ import annotations

import json
from typing import Any

import numpy as np

from .event import Event
from .limits import LimitSet, Verdict

EVENTS = "events"


def write_event(group: Any, number: int, event: Event, limits: LimitSet | None) -> None:
    """Write ``event`` as the ``number``-th event of an instrument's group."""
    events = group.require_group(EVENTS)
    target = events.create_group(f"{number:06d}")
    target.create_dataset("load", data=event.loads.astype("<f8"))
    target.create_dataset("count", data=event.counts.astype("<u4"))
    target.create_dataset("sample_number", data=event.sample_numbers.astype("<i8"))
    attributes = target.attrs
    attributes["trigger_index"] = event.trigger_index
    attributes["trigger_time"] = event.trigger_time
    attributes["trigger_sample"] = event.trigger_sample
    attributes["trigger"] = event.trigger
    attributes["interval"] = event.interval
    attributes["t0"] = event.t0
    attributes["tare"] = event.tare
    attributes["gaps"] = np.array(event.gaps, dtype="<i8").reshape(-1, 2)
    attributes["merged"] = event.merged
    attributes["truncated"] = event.truncated
    if event.verdict is not None:
        attributes["passed"] = event.verdict.passed
        attributes["verdict"] = json.dumps(event.verdict.as_dict())
    if limits is not None:
        attributes["limits"] = limits.to_json()


def _text(value: Any) -> str:
    return value.decode("utf-8") if isinstance(value, bytes) else str(value)


def read_events(group: Any, metadata: dict[str, Any]) -> list[Event]:
    """The events of an instrument's group, in order; none when it has no events group."""
    if EVENTS not in group:
        return []
    events = []
    for name in sorted(group[EVENTS]):
        stored = group[EVENTS][name]
        attributes = stored.attrs
        verdict = Verdict.from_dict(json.loads(_text(attributes["verdict"]))) if "verdict" in attributes else None
        events.append(
            Event(
                loads=stored["load"][()],
                counts=stored["count"][()],
                sample_numbers=stored["sample_number"][()],
                trigger_index=int(attributes["trigger_index"]),
                trigger_time=float(attributes["trigger_time"]),
                interval=float(attributes["interval"]),
                t0=float(attributes["t0"]),
                trigger=_text(attributes["trigger"]),
                tare=float(attributes["tare"]),
                gaps=tuple((int(position), int(missing)) for position, missing in attributes["gaps"]),
                merged=int(attributes["merged"]),
                truncated=bool(attributes["truncated"]),
                verdict=verdict,
                metadata=dict(metadata),
            )
        )
    return events


def limits_of(group: Any) -> LimitSet | None:
    """The limit set the first event of an instrument's group was judged by."""
    if EVENTS not in group or not len(group[EVENTS]):
        return None
    first = group[EVENTS][sorted(group[EVENTS])[0]]
    return LimitSet.from_json(_text(first.attrs["limits"])) if "limits" in first.attrs else None


def add_events(path: str, name: str, events: list[Event], limits: LimitSet | None = None) -> None:
    """Add ``events`` to instrument ``name`` of a closed recording, after those it holds:
    events beside the continuous record of a ``Recorder`` (whose file takes no new groups
    while it is written)."""
    from ..recording._hdf5 import h5py
    from ..recording.layout import INSTRUMENTS

    with h5py.File(path, "a") as file:
        group = file[INSTRUMENTS][name]
        first = len(group[EVENTS]) if EVENTS in group else 0
        for number, event in enumerate(events, start=first):
            write_event(group, number, event, limits)


class EventFile:
    """An events recording: a recording file whose instrument groups hold events (and no
    continuous samples), written as each event completes."""

    def __init__(
        self, path: str, info: Any, sampling_rate: float, t0: float, limits: LimitSet | None, *, overwrite: bool = False
    ):
        from ..recording import layout

        self.limits = limits
        self._file = layout.create_file(path, {"content": "events"}, 0, overwrite=overwrite)
        try:
            self.name = f"{info.model}_{info.serial_number}"
            self._writer = layout.add_instrument(self._file, self.name, info, sampling_rate, t0, 0)
            self._writer.group.require_group(EVENTS)
        except BaseException:
            self._file.close()
            raise
        self.count = 0

    def add(self, event: Event) -> None:
        write_event(self._writer.group, self.count, event, self.limits)
        self.count += 1
        self._file.flush()

    def close(self, reason: str = "the run ended") -> None:
        import time

        if self._file:
            self._writer.end(reason, time.time())
            self._file.close()
