"""Events in a recording file, under ``/instruments/<name>/events/``.

Growing datasets, created up front so that a file in SWMR mode (a ``Recorder``'s) takes
events while it is written, by appending only::

    /instruments/<MODEL>_<SERIAL>/events/
        load float64, count uint32, sample_number int64   the samples of every event, one after another
        verdicts uint8   the verdicts as UTF-8 JSON, one after another
        index (EVENT_DTYPE)   one row per event: where its samples and verdict lie in those,
            trigger_index, trigger_sample, trigger_time, interval, t0, tare, merged,
            truncated, passed (-1 without a verdict); written last, so a row names only
            what is in the file already
        attributes: trigger, limits (the limit set, JSON; absent without one)

A gap in an event shows as a jump in its sample numbers, and is found there again.

Files written before this layout hold one group per event, still read back::

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
INDEX, VERDICTS = "index", "verdicts"
EVENT_DTYPE = np.dtype([
    ("offset", "<u8"), ("length", "<u8"), ("trigger_index", "<u8"), ("trigger_sample", "<i8"),
    ("trigger_time", "<f8"), ("interval", "<f8"), ("t0", "<f8"), ("tare", "<f8"), ("merged", "<u4"),
    ("truncated", "u1"), ("passed", "i1"), ("verdict_offset", "<u8"), ("verdict_length", "<u8"),
])
SAMPLE_COLUMNS = (("load", "<f8"), ("count", "<u4"), ("sample_number", "<i8"))
EVENT_CHUNK_SAMPLES = 4096
EVENT_CHUNK_ROWS = 64


class EventWriter:
    """Appends events to the growing datasets of an instrument's events group."""

    def __init__(self, events: Any):
        self.group = events

    @classmethod
    def create(cls, group: Any, trigger: str, limits: LimitSet | None) -> EventWriter:
        """The events group of an instrument's ``group`` with every dataset and attribute it
        will have (before a file goes into SWMR mode)."""
        events = group.create_group(EVENTS)
        for name, dtype in SAMPLE_COLUMNS:
            events.create_dataset(name, (0,), dtype, maxshape=(None,), chunks=(EVENT_CHUNK_SAMPLES,))
        events.create_dataset(VERDICTS, (0,), "u1", maxshape=(None,), chunks=(EVENT_CHUNK_SAMPLES,))
        events.create_dataset(INDEX, (0,), EVENT_DTYPE, maxshape=(None,), chunks=(EVENT_CHUNK_ROWS,))
        events.attrs["trigger"] = trigger
        if limits is not None:
            events.attrs["limits"] = limits.to_json()
        return cls(events)

    def append(self, events: list[Event]) -> None:
        if not events:
            return
        group = self.group
        offset, verdict_offset = group["load"].shape[0], group[VERDICTS].shape[0]
        rows = np.zeros(len(events), EVENT_DTYPE)
        verdicts = []
        for row, event in zip(rows, events):
            verdict = b"" if event.verdict is None else json.dumps(event.verdict.as_dict()).encode("utf-8")
            row["offset"], row["length"] = offset, len(event)
            row["trigger_index"], row["trigger_sample"] = event.trigger_index, event.trigger_sample
            row["trigger_time"], row["interval"], row["t0"] = event.trigger_time, event.interval, event.t0
            row["tare"], row["merged"], row["truncated"] = event.tare, event.merged, event.truncated
            row["passed"] = -1 if event.passed is None else int(event.passed)
            row["verdict_offset"], row["verdict_length"] = verdict_offset, len(verdict)
            offset += len(event)
            verdict_offset += len(verdict)
            verdicts.append(verdict)
        columns = {
            "load": np.concatenate([event.loads for event in events]),
            "count": np.concatenate([event.counts for event in events]),
            "sample_number": np.concatenate([event.sample_numbers for event in events]),
            VERDICTS: np.frombuffer(b"".join(verdicts), dtype="u1"),
            INDEX: rows,  # last: a reader between the appends finds the samples of no row missing
        }
        for name, values in columns.items():
            dataset = group[name]
            start = dataset.shape[0]
            dataset.resize((start + len(values),))
            if len(values):
                dataset[start:] = values


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


def _gaps(numbers: Any) -> tuple[tuple[int, int], ...]:
    jumps = np.diff(numbers) - 1
    return tuple((int(position) + 1, int(jumps[position])) for position in np.flatnonzero(jumps))


def _read_growing(events: Any, metadata: dict[str, Any]) -> list[Event]:
    samples = min(events[name].shape[0] for name, _ in SAMPLE_COLUMNS)
    verdict_bytes = events[VERDICTS][()].tobytes()
    # A reader of a file being written may find the index ahead of the other datasets
    # (their sizes are read one by one): only events whose samples are all there.
    rows = [
        row for row in events[INDEX][()]
        if row["offset"] + row["length"] <= samples
        and row["verdict_offset"] + row["verdict_length"] <= len(verdict_bytes)
    ]
    if not rows:
        return []
    loads, counts, numbers = (events[name][:samples] for name, _ in SAMPLE_COLUMNS)
    trigger = _text(events.attrs["trigger"])
    result = []
    for row in rows:
        part = slice(int(row["offset"]), int(row["offset"] + row["length"]))
        verdict_part = verdict_bytes[int(row["verdict_offset"]) : int(row["verdict_offset"] + row["verdict_length"])]
        result.append(
            Event(
                loads=loads[part], counts=counts[part], sample_numbers=numbers[part],
                trigger_index=int(row["trigger_index"]), trigger_time=float(row["trigger_time"]),
                interval=float(row["interval"]), t0=float(row["t0"]), trigger=trigger, tare=float(row["tare"]),
                gaps=_gaps(numbers[part]), merged=int(row["merged"]), truncated=bool(row["truncated"]),
                verdict=Verdict.from_dict(json.loads(verdict_part)) if row["passed"] >= 0 else None,
                metadata=dict(metadata),
            )
        )
    return result


def read_events(group: Any, metadata: dict[str, Any]) -> list[Event]:
    """The events of an instrument's group, in order; none when it has no events group."""
    if EVENTS not in group:
        return []
    if INDEX in group[EVENTS]:
        return _read_growing(group[EVENTS], metadata)
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
    """The limit set the events of an instrument's group were judged by."""
    if EVENTS not in group or not len(group[EVENTS]):
        return None
    if INDEX in group[EVENTS]:
        stored = group[EVENTS].attrs
        return LimitSet.from_json(_text(stored["limits"])) if "limits" in stored else None
    first = group[EVENTS][sorted(group[EVENTS])[0]]
    return LimitSet.from_json(_text(first.attrs["limits"])) if "limits" in first.attrs else None


def add_events(path: str, name: str, events: list[Event], limits: LimitSet | None = None) -> None:
    """Add ``events`` to instrument ``name`` of a closed recording, after those it holds
    (``Recorder(events=...)`` writes them while it records)."""
    from ..recording._hdf5 import h5py
    from ..recording.layout import INSTRUMENTS

    with h5py.File(path, "a") as file:
        group = file[INSTRUMENTS][name]
        if EVENTS in group and INDEX not in group[EVENTS]:  # a file of one group per event
            first = len(group[EVENTS])
            for number, event in enumerate(events, start=first):
                write_event(group, number, event, limits)
            return
        if EVENTS in group:
            EventWriter(group[EVENTS]).append(events)
        else:
            trigger = events[0].trigger if events else ""
            EventWriter.create(group, trigger, limits).append(events)


class EventFile:
    """An events recording: a recording file whose instrument groups hold events (and no
    continuous samples), written as each event completes."""

    def __init__(
        self,
        path: str,
        info: Any,
        sampling_rate: float,
        t0: float,
        limits: LimitSet | None,
        *,
        trigger: str = "",
        overwrite: bool = False,
    ):
        from ..recording import layout

        self.limits = limits
        self._file = layout.create_file(path, {"content": "events"}, 0, overwrite=overwrite)
        try:
            self.name = f"{info.model}_{info.serial_number}"
            self._writer = layout.add_instrument(self._file, self.name, info, sampling_rate, t0, 0)
            self._events = EventWriter.create(self._writer.group, trigger, limits)
        except BaseException:
            self._file.close()
            raise
        self.count = 0

    def add(self, event: Event) -> None:
        self._events.append([event])
        self.count += 1
        self._file.flush()

    def close(self, reason: str = "the run ended") -> None:
        import time

        if self._file:
            self._writer.end(reason, time.time())
            self._file.close()
