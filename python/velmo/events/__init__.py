"""Events in a live stream: press cycles found by a trigger, kept with their pre-trigger
samples, judged by limits, and recorded with their verdicts.

::

    with Acquisition(device) as acquisition:
        watcher = Watcher(acquisition, Level(above=100, hysteresis=5), pre=0.2, post=2,
                          limits=LimitSet.from_toml("limits.toml"))
        for event in watcher:
            print(event.trigger_time, event.peak, event.verdict)
"""

from .event import Event
from .limits import Band, Failure, LimitSet, LimitsError, Line, PeakBox, ValueAt, Verdict, limit_set
from .triggers import Condition, Level, Slope, Window, parse_trigger
from .watcher import Watcher

__all__ = [
    "Band", "Condition", "Event", "Failure", "Level", "LimitSet", "LimitsError", "Line", "PeakBox", "Slope",
    "ValueAt", "Verdict", "Watcher", "Window", "limit_set", "parse_trigger",
]
