"""Limit sets: the checks a press cycle must pass, built in Python or read from a TOML file.

Times are seconds since the trigger sample. A TOML file holds an optional ``name`` and
arrays of tables, one per check::

    name = "press-fit A"
    [[band]]          # every load within [min, max] from start to end
    start = 0.1
    end = 0.5
    min = 10
    max = 600
    [[peak]]          # the peak inside the box: load range x time range
    load = [450, 560]
    time = [0.8, 1.8]
    [[value]]         # the load at a time
    time = 1.0
    min = 300
    max = 600
    [[cross]]         # the curve must cross the line from [time, load] to [time, load]
    from = [0.5, 200]
    to = [0.9, 200]
    [[not_cross]]     # ... must not cross it
    from = [0.0, 700]
    to = [3.0, 700]
"""

from __future__ import annotations

import dataclasses
import json
import math
import os
import re
import tomllib
from collections.abc import Mapping, Sequence
from typing import Any, Union

import numpy as np
import numpy.typing as npt

Floats = npt.NDArray[np.float64]


class LimitsError(ValueError):
    """A limit set that does not load: the message names the file, the line and the field."""


@dataclasses.dataclass(frozen=True)
class Failure:
    """One failed check: what was measured against what the limit allows."""

    check: str
    measured: float | None
    limit: str

    def __str__(self) -> str:
        measured = "nothing" if self.measured is None else f"{self.measured:g}"
        return f"{self.check}: {measured} (limit {self.limit})"


@dataclasses.dataclass(frozen=True)
class Band:
    """Every load from ``start`` to ``end`` seconds within [``min``, ``max``] (either may be None)."""

    start: float
    end: float
    min: float | None = None
    max: float | None = None

    def judge(self, times: Floats, loads: Floats) -> Failure | None:
        inside = (times >= self.start) & (times <= self.end)
        label = f"band {self.start:g}-{self.end:g} s"
        if not inside.any():
            return Failure(label, None, "samples in the window")
        low, high = float(loads[inside].min()), float(loads[inside].max())
        if self.min is not None and low < self.min:
            return Failure(f"{label} min", low, f">= {self.min:g}")
        if self.max is not None and high > self.max:
            return Failure(f"{label} max", high, f"<= {self.max:g}")
        return None


@dataclasses.dataclass(frozen=True)
class PeakBox:
    """The event's peak load within ``load`` = (low, high) at a time within ``time`` = (start, end)."""

    load: tuple[float, float]
    time: tuple[float, float]

    def judge(self, times: Floats, loads: Floats) -> Failure | None:
        at = int(np.argmax(loads))
        peak, when = float(loads[at]), float(times[at])
        if not self.load[0] <= peak <= self.load[1]:
            return Failure("peak load", peak, f"{self.load[0]:g} to {self.load[1]:g}")
        if not self.time[0] <= when <= self.time[1]:
            return Failure("time to peak", when, f"{self.time[0]:g} to {self.time[1]:g} s")
        return None


@dataclasses.dataclass(frozen=True)
class ValueAt:
    """The load at ``time`` seconds (the nearest sample) within [``min``, ``max``]."""

    time: float
    min: float | None = None
    max: float | None = None

    def judge(self, times: Floats, loads: Floats) -> Failure | None:
        label = f"value at {self.time:g} s"
        if not len(times) or not times[0] <= self.time <= times[-1]:
            return Failure(label, None, "a sample at that time")
        value = float(loads[int(np.argmin(np.abs(times - self.time)))])
        if (self.min is not None and value < self.min) or (self.max is not None and value > self.max):
            low = "-inf" if self.min is None else f"{self.min:g}"
            high = "inf" if self.max is None else f"{self.max:g}"
            return Failure(label, value, f"{low} to {high}")
        return None


@dataclasses.dataclass(frozen=True)
class Line:
    """A line segment from ``start`` to ``end`` (each (time, load)) that the curve ``must`` cross or not.

    The curve crosses it where consecutive samples lie on either side of the segment's
    line within its time span (or of a vertical segment's time within its load span).
    """

    start: tuple[float, float]
    end: tuple[float, float]
    must_cross: bool = True

    def crossed(self, times: Floats, loads: Floats) -> bool:
        (t0, l0), (t1, l1) = self.start, self.end
        if t0 == t1:  # vertical: the curve passes the time with a load within the span
            after = np.flatnonzero(times >= t0)
            if not len(after) or after[0] == 0:
                return False
            low, high = sorted((l0, l1))
            i = after[0]
            value = loads[i - 1] + (loads[i] - loads[i - 1]) * (t0 - times[i - 1]) / (times[i] - times[i - 1])
            return bool(low <= value <= high)
        span = (times >= min(t0, t1)) & (times <= max(t0, t1))
        side = np.sign(loads[span] - (l0 + (l1 - l0) * (times[span] - t0) / (t1 - t0)))
        beside = side[side != 0]
        return bool((side == 0).any() or (beside != beside[:1]).any())

    def judge(self, times: Floats, loads: Floats) -> Failure | None:
        crossed = self.crossed(times, loads)
        if crossed == self.must_cross:
            return None
        line = f"({self.start[0]:g} s, {self.start[1]:g})-({self.end[0]:g} s, {self.end[1]:g})"
        what = "must cross" if self.must_cross else "must not cross"
        return Failure(f"{what} {line}", 1.0 if crossed else 0.0, "crossed" if self.must_cross else "not crossed")


Check = Union[Band, PeakBox, ValueAt, Line]


@dataclasses.dataclass(frozen=True)
class Verdict:
    """How an event fared: ``passed`` when no check failed; every failure, the peak load,
    its time since the trigger, and the work (load integrated over time after the trigger,
    in load units x seconds; the stretches of a gap are left out, never bridged)."""

    passed: bool
    failures: tuple[Failure, ...]
    peak: float
    time_to_peak: float
    work: float

    def as_dict(self) -> dict[str, Any]:
        return {
            "passed": self.passed,
            "failures": [dataclasses.asdict(failure) for failure in self.failures],
            "peak": self.peak,
            "time_to_peak": self.time_to_peak,
            "work": self.work,
        }

    @classmethod
    def from_dict(cls, values: Mapping[str, Any]) -> Verdict:
        failures = tuple(Failure(**failure) for failure in values["failures"])
        return cls(bool(values["passed"]), failures, values["peak"], values["time_to_peak"], values["work"])


@dataclasses.dataclass(frozen=True)
class LimitSet:
    """Checks that judge an event, all of them: the verdict lists every one that failed."""

    checks: tuple[Check, ...]
    name: str = ""

    def judge(self, times: Floats, loads: Floats, sample_numbers: npt.NDArray[np.int64]) -> Verdict:
        """``times`` in seconds since the trigger, of the event's samples."""
        after = times >= 0
        t, v = times[after], loads[after]
        if not len(t):
            nothing = Failure("samples after the trigger", None, "at least one")
            return Verdict(False, (nothing,), math.nan, math.nan, 0.0)
        at = int(np.argmax(v))
        joined = np.diff(sample_numbers[after]) == 1  # a segment across a gap is not integrated
        work = float(np.sum((v[1:] + v[:-1])[joined] * np.diff(t)[joined]) / 2)
        failures = tuple(failure for check in self.checks if (failure := check.judge(times, loads)) is not None)
        return Verdict(not failures, failures, float(v[at]), float(t[at]), work)

    def to_json(self) -> str:
        checks = [[type(check).__name__, dataclasses.asdict(check)] for check in self.checks]
        return json.dumps({"name": self.name, "checks": checks})

    @classmethod
    def from_json(cls, text: str) -> LimitSet:
        values = json.loads(text)
        kinds: dict[str, Any] = {"Band": Band, "PeakBox": PeakBox, "ValueAt": ValueAt, "Line": Line}
        checks = []
        for kind, fields in values["checks"]:
            for key in ("load", "time", "start", "end"):
                if isinstance(fields.get(key), list):
                    fields[key] = tuple(fields[key])
            checks.append(kinds[kind](**fields))
        return cls(tuple(checks), values["name"])

    @classmethod
    def from_toml(cls, path: str | os.PathLike[str]) -> LimitSet:
        """Read and check a limits file.

        :raises LimitsError: naming the file, the line and the field of the first fault
        :raises OSError: If the file cannot be read
        """
        name = os.fspath(path)
        with open(name, "rb") as stream:
            raw = stream.read()
        text = raw.decode("utf-8", errors="replace")
        try:
            document = tomllib.loads(text)
        except tomllib.TOMLDecodeError as error:
            raise LimitsError(f"{name}: {error}") from None
        return _build(document, _Locator(name, text))


class _Locator:
    """Finds the line of a field of the n-th table of a kind, for error messages."""

    def __init__(self, path: str, text: str):
        self.path = path
        self.lines = text.splitlines()

    def line(self, kind: str | None, index: int, field: str | None) -> int:
        seen, inside = -1, kind is None
        header = re.compile(r"^\s*\[\[\s*" + re.escape(kind or "") + r"\s*\]\]")
        key = re.compile(r"^\s*" + re.escape(field or "") + r"\s*=")
        found = 0
        for number, line in enumerate(self.lines, start=1):
            if kind is not None and header.match(line):
                seen += 1
                inside = seen == index
                if inside and field is None:
                    return number
                found = number if inside else found
            elif re.match(r"^\s*\[", line):
                inside = False
            elif inside and field is not None and key.match(line):
                return number
        return found or 1

    def error(self, kind: str | None, index: int, field: str | None, message: str) -> LimitsError:
        where = f"[[{kind}]] #{index + 1}" if kind is not None else "top level"
        what = f", field {field!r}" if field else ""
        return LimitsError(f"{self.path}, line {self.line(kind, index, field)} ({where}{what}): {message}")


_FIELDS = {
    "band": {"start": True, "end": True, "min": False, "max": False},
    "peak": {"load": True, "time": True},
    "value": {"time": True, "min": False, "max": False},
    "cross": {"from": True, "to": True},
    "not_cross": {"from": True, "to": True},
}


def _number(locate: _Locator, kind: str, index: int, field: str, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise locate.error(kind, index, field, f"must be a finite number, not {value!r}")
    return float(value)


def _pair(locate: _Locator, kind: str, index: int, field: str, value: Any) -> tuple[float, float]:
    if not isinstance(value, list) or len(value) != 2:
        raise locate.error(kind, index, field, f"must be a pair of numbers [a, b], not {value!r}")
    return _number(locate, kind, index, field, value[0]), _number(locate, kind, index, field, value[1])


def _build(document: Mapping[str, Any], locate: _Locator) -> LimitSet:
    name = document.get("name", "")
    if not isinstance(name, str):
        raise locate.error(None, 0, "name", "must be text")
    unknown = set(document) - set(_FIELDS) - {"name"}
    if unknown:
        raise locate.error(None, 0, sorted(unknown)[0], f"is not a kind of check; the kinds: {', '.join(_FIELDS)}")
    checks: list[Check] = []
    for kind, fields in _FIELDS.items():
        tables = document.get(kind, [])
        if not isinstance(tables, list):
            raise locate.error(None, 0, kind, f"must be an array of tables, written [[{kind}]]")
        for index, table in enumerate(tables):
            for field in table:
                if field not in fields:
                    raise locate.error(kind, index, field, f"is not a field of {kind}; its fields: {', '.join(fields)}")
            for field, required in fields.items():
                if required and field not in table:
                    raise locate.error(kind, index, None, f"the field {field!r} is missing")
            checks.append(_check(locate, kind, index, table))
    if not checks:
        kinds = ", ".join(f"[[{kind}]]" for kind in _FIELDS)
        raise locate.error(None, 0, None, f"no checks: give at least one of {kinds}")
    return LimitSet(tuple(checks), name)


def _check(locate: _Locator, kind: str, index: int, table: Mapping[str, Any]) -> Check:
    def optional(field: str) -> float | None:
        return None if field not in table else _number(locate, kind, index, field, table[field])

    if kind in ("band", "value"):
        low, high = optional("min"), optional("max")
        if low is None and high is None:
            raise locate.error(kind, index, None, "give min, max or both")
        if low is not None and high is not None and low > high:
            raise locate.error(kind, index, "max", f"must not be below min ({high:g} < {low:g})")
        if kind == "value":
            return ValueAt(_number(locate, kind, index, "time", table["time"]), low, high)
        start, end = (_number(locate, kind, index, field, table[field]) for field in ("start", "end"))
        if end < start:
            raise locate.error(kind, index, "end", f"must not be before start ({end:g} < {start:g})")
        return Band(start, end, low, high)
    if kind == "peak":
        box = {field: _pair(locate, kind, index, field, table[field]) for field in ("load", "time")}
        for field, (low, high) in box.items():
            if low > high:
                message = f"its first value must not exceed its second ({low:g} > {high:g})"
                raise locate.error(kind, index, field, message)
        return PeakBox(box["load"], box["time"])
    start_point, end_point = (_pair(locate, kind, index, field, table[field]) for field in ("from", "to"))
    if start_point == end_point:
        raise locate.error(kind, index, "to", "must differ from 'from'")
    return Line(start_point, end_point, must_cross=kind == "cross")


def limit_set(checks: Sequence[Check], name: str = "") -> LimitSet:
    """A limit set built in Python."""
    return LimitSet(tuple(checks), name)
