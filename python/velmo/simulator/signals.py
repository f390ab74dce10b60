"""Signals: what a channel measures at a given time.

A signal is a function of the seconds since the instrument was switched on.
The kinds below return ``Signal`` objects, which add up: ``cycle(peak=500) +
noise(sigma=0.5)`` is a signal too. A signal's unit is its caller's: the
instrument model takes raw counts per channel (any callable will do), while the
command line describes loads in the text form that ``parse_signal`` reads, such
as ``cycle:peak=500,rise=1,hold=0.5+noise:sigma=0.5``.
"""

from __future__ import annotations

import inspect
import math
import re
from typing import Callable, Union

COUNT_MASK = 0xFFFF_FFFF

SignalFunction = Callable[[float], float]
SignalLike = Union[SignalFunction, int]

# What the command-line simulators serve unless told otherwise: a test-bench
# load cycle of three seconds, with a little noise.
COMMAND_LINE_SIGNAL = "cycle:peak=500,rise=1,hold=0.5,release=1,rest=0.5+noise:sigma=1"


class SignalError(ValueError):
    """A signal's description or parameters that make no signal."""


class Signal:
    """A value as a function of time; ``a + b`` is the signal whose value is the sum."""

    __slots__ = ("_function", "_terms")

    def __init__(self, function: SignalFunction, description: str) -> None:
        self._function = function
        self._terms: tuple[tuple[SignalFunction, str], ...] = ((function, description),)

    def __call__(self, t: float) -> float:
        return self._function(t)

    def __add__(self, other: Signal | float) -> Signal:
        if not isinstance(other, Signal):
            if isinstance(other, (int, float)):
                return self + constant(other)
            return NotImplemented
        terms = self._terms + other._terms
        functions = tuple(function for function, _ in terms)
        if len(functions) == 2:
            first, second = functions
            total: SignalFunction = lambda t: first(t) + second(t)  # noqa: E731 - the common case, kept cheap
        else:
            total = lambda t: sum(function(t) for function in functions)  # noqa: E731
        combined = Signal(total, "")
        combined._terms = terms
        return combined

    def __radd__(self, other: float) -> Signal:
        # sum() starts from 0.
        return self if other == 0 else self + other

    def __repr__(self) -> str:
        return " + ".join(description for _, description in self._terms)


def _describe(kind: str, **parameters: float) -> str:
    return f"{kind}({', '.join(f'{name}={value:g}' for name, value in parameters.items())})"


def _non_negative(kind: str, **values: float) -> None:
    for name, value in values.items():
        if not (value >= 0 and math.isfinite(value)):
            raise SignalError(f"{kind}: {name} must be a finite number of at least 0, not {value:g}")


def _finite(kind: str, **values: float) -> None:
    for name, value in values.items():
        if not math.isfinite(value):
            raise SignalError(f"{kind}: {name} must be a finite number, not {value:g}")


def constant(value: float = 0.0) -> Signal:
    """The same value at any time."""
    _finite("constant", value=value)
    return Signal(lambda _t: value, _describe("constant", value=value))


def ramp(start: float = 0.0, slope: float = 1.0) -> Signal:
    """``start`` at time 0, changing by ``slope`` per second."""
    _finite("ramp", start=start, slope=slope)
    return Signal(lambda t: start + slope * t, _describe("ramp", start=start, slope=slope))


def sine(center: float = 0.0, amplitude: float = 1.0, frequency: float = 1.0) -> Signal:
    """A sine of ``frequency`` hertz swinging ``amplitude`` either side of ``center``."""
    _finite("sine", center=center, amplitude=amplitude, frequency=frequency)
    angular = 2.0 * math.pi * frequency
    return Signal(
        lambda t: center + amplitude * math.sin(angular * t),
        _describe("sine", center=center, amplitude=amplitude, frequency=frequency),
    )


_MASK_64 = (1 << 64) - 1
_UNIFORM_BITS = 24


def _mix(value: int) -> int:
    """A 64-bit hash that spreads neighbouring inputs apart (the splitmix64 finaliser)."""
    value = (value + 0x9E3779B97F4A7C15) & _MASK_64
    value = ((value ^ (value >> 30)) * 0xBF58476D1CE4E5B9) & _MASK_64
    value = ((value ^ (value >> 27)) * 0x94D049BB133111EB) & _MASK_64
    return value ^ (value >> 31)


def noise(sigma: float = 1.0, seed: int = 0) -> Signal:
    """Gaussian noise of standard deviation ``sigma``, new every microsecond.

    The value at a time depends only on the time and ``seed``: a run, and any
    read of the signal at a given time, repeats exactly.
    """
    _non_negative("noise", sigma=sigma)
    offset = _mix(seed & _MASK_64)
    scale = 1.0 / (1 << _UNIFORM_BITS)
    low_bits = (1 << _UNIFORM_BITS) - 1
    log, sqrt, cos, turn = math.log, math.sqrt, math.cos, 2.0 * math.pi

    def value(t: float) -> float:
        bits = _mix((int(t * 1e6) + offset) & _MASK_64)
        # Box-Muller transform of two uniform numbers taken from the hash.
        radius = sqrt(-2.0 * log(((bits >> 40) + 1) * scale))
        return sigma * radius * cos(turn * (bits & low_bits) * scale)

    return Signal(value, f"noise(sigma={sigma:g}, seed={seed})")


def steps(height: float = 1.0, duration: float = 1.0, count: int = 5) -> Signal:
    """A staircase: 0, ``height``, 2 x ``height``... ``count`` levels of ``duration`` seconds, then again."""
    _finite("steps", height=height)
    if not (duration > 0 and math.isfinite(duration)):
        raise SignalError(f"steps: duration must be a finite number of seconds above 0, not {duration:g}")
    if count < 1:
        raise SignalError(f"steps: count must be at least 1, not {count}")
    return Signal(
        lambda t: height * (int(t // duration) % count),
        f"steps(height={height:g}, duration={duration:g}, count={count})",
    )


def cycle(peak: float = 100.0, rise: float = 1.0, hold: float = 0.5, release: float = 1.0, rest: float = 1.0) -> Signal:
    """A test-bench load cycle, over and over: from 0 rise to ``peak`` in ``rise`` seconds,
    hold it for ``hold``, release to 0 in ``release``, rest for ``rest``.

    The shape a press-fit or a tensile test produces.
    """
    _finite("cycle", peak=peak)
    _non_negative("cycle", rise=rise, hold=hold, release=release, rest=rest)
    period = rise + hold + release + rest
    if period <= 0:
        raise SignalError("cycle: rise, hold, release and rest must not all be 0")
    held, released = rise + hold, rise + hold + release

    def value(t: float) -> float:
        phase = t % period
        if phase < rise:
            return peak * phase / rise
        if phase < held:
            return float(peak)
        if phase < released:
            return peak * (released - phase) / release
        return 0.0

    return Signal(value, _describe("cycle", peak=peak, rise=rise, hold=hold, release=release, rest=rest))


def press(
    peak: float = 500.0,
    rise: float = 1.0,
    hold: float = 0.5,
    release: float = 1.0,
    rest: float = 0.5,
    jitter: float = 0.02,
    bad_every: int = 0,
    bad_peak: float = 0.6,
    seed: int = 0,
) -> Signal:
    """Press cycles that differ: the ``cycle`` shape whose peak varies from cycle to cycle
    by a relative ``jitter`` (Gaussian, the same for a given ``seed`` and cycle), and where
    every ``bad_every``-th cycle (cycles 0, 1, 2...: cycle ``bad_every - 1`` first; 0 for
    none) peaks at only ``bad_peak`` times the peak: a part that did not seat.
    """
    _finite("press", peak=peak)
    _non_negative("press", rise=rise, hold=hold, release=release, rest=rest, jitter=jitter, bad_peak=bad_peak)
    if bad_every < 0:
        raise SignalError(f"press: bad_every must be at least 0, not {bad_every}")
    shape = cycle(1.0, rise, hold, release, rest)
    period = rise + hold + release + rest
    spread = noise(jitter, seed)
    peaks: dict[int, float] = {}

    def peak_of(number: int) -> float:
        value = peaks.get(number)
        if value is None:
            factor = bad_peak if bad_every and number % bad_every == bad_every - 1 else 1.0
            # The noise at a whole number of microseconds per cycle: one draw per cycle.
            value = peaks[number] = peak * factor * (1.0 + spread(number * 1e-6))
            if len(peaks) > 64:
                peaks.pop(next(iter(peaks)))
        return value

    def value(t: float) -> float:
        return peak_of(int(t // period)) * shape(t)

    return Signal(value, f"press(peak={peak:g}, jitter={jitter:g}, bad_every={bad_every}, bad_peak={bad_peak:g}, seed={seed})")


KINDS: dict[str, Callable[..., Signal]] = {
    "constant": constant,
    "ramp": ramp,
    "sine": sine,
    "noise": noise,
    "steps": steps,
    "cycle": cycle,
    "press": press,
}


def describe_kinds() -> str:
    """Every kind with its parameters and their defaults, as the text form writes them."""
    forms = []
    for kind, factory in KINDS.items():
        parameters = inspect.signature(factory).parameters.values()
        forms.append(f"{kind}:" + ",".join(f"{parameter.name}={parameter.default:g}" for parameter in parameters))
    return "; ".join(forms)


# A '+' that starts the next term, not the sign of an exponent such as 1e+3.
_TERM_SEPARATOR = re.compile(r"(?<!\d[eE])\+")


def _number(kind: str, name: str, text: str, whole: bool) -> float:
    try:
        return int(text) if whole else float(text)
    except ValueError:
        wanted = "a whole number" if whole else "a number"
        raise SignalError(f"{kind}: {name} takes {wanted}, not {text!r}") from None


def _parse_term(term: str) -> Signal:
    kind_text, _, parameter_text = term.partition(":")
    kind = kind_text.strip().lower()
    factory = KINDS.get(kind)
    if factory is None:
        raise SignalError(f"unknown signal kind {kind_text.strip()!r}; the kinds, with their defaults: {describe_kinds()}")
    parameters = list(inspect.signature(factory).parameters.values())
    names = [parameter.name for parameter in parameters]
    arguments: dict[str, float] = {}
    items = [item.strip() for item in parameter_text.split(",")] if parameter_text.strip() else []
    named = False
    for position, item in enumerate(items):
        name, equals, value = item.partition("=")
        if equals:
            name, named = name.strip().lower(), True
        elif named or position >= len(names):
            raise SignalError(f"{kind}: give {item!r} as name=value; its parameters: {', '.join(names)}")
        else:  # leading bare values are the parameters in order, as in constant:100
            name, value = names[position], item
        if name not in names:
            raise SignalError(f"{kind} has no parameter {name!r}; its parameters: {', '.join(names)}")
        if name in arguments:
            raise SignalError(f"{kind}: {name} is given twice")
        whole = isinstance(parameters[names.index(name)].default, int)
        arguments[name] = _number(kind, name, value.strip(), whole)
    return factory(**arguments)


def parse_signal(text: str) -> Signal:
    """The signal that a command-line description gives.

    The description is one or more terms joined by ``+``; a term is a kind and
    its parameters, ``kind:name=value,name=value``, each parameter optional
    (``constant:100`` gives the first one by position). For example
    ``cycle:peak=500,rise=1,hold=0.5`` or ``sine:amplitude=50,frequency=0.5+noise:sigma=0.5``.

    :raises SignalError: naming the kinds and their parameters, for anything else
    """
    terms = _TERM_SEPARATOR.split(text)
    if any(not term.strip() for term in terms):
        raise SignalError(f"a signal is one or more kinds joined by '+'; the kinds, with their defaults: {describe_kinds()}")
    signal = _parse_term(terms[0])
    for term in terms[1:]:
        signal = signal + _parse_term(term)
    return signal


def as_signal(signal: SignalLike) -> SignalFunction:
    """Accept a plain count as a constant signal."""
    if callable(signal):
        return signal
    return constant(int(signal))


def sample(signal: SignalFunction, t: float) -> int:
    return int(signal(t)) & COUNT_MASK
