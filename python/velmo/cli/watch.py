"""``velmo watch``: press cycles judged live, one line per event and a summary."""

from __future__ import annotations

import contextlib
import time
from typing import Any

import click
from rich.text import Text

from ..acquisition import Acquisition
from .capture import InstrumentLost, until_seconds_option
from .common import Target, check_channel, console, instrument_options, instruments, logging_options, note

EXIT_FAILED_EVENT = 1


def _trigger(_ctx: click.Context, _param: click.Parameter, value: str) -> str:
    from ..events import parse_trigger

    try:
        parse_trigger(value)
    except ValueError as error:
        raise click.BadParameter(str(error)) from None
    return value


def _limits(_ctx: click.Context, _param: click.Parameter, value: str | None) -> Any:
    if value is None:
        return None
    from ..events import LimitSet, LimitsError

    try:
        return LimitSet.from_toml(value)
    except (LimitsError, OSError) as error:
        raise click.BadParameter(str(error)) from None


def event_line(number: int, event: Any, unit: str) -> str:
    """'#3  12:00:01.234  peak 503.1 N at 1.002 s  PASS' and the failed checks."""
    clock = time.strftime("%H:%M:%S", time.localtime(event.trigger_time)) + f".{int(event.trigger_time % 1 * 1000):03d}"
    verdict = event.verdict
    after = event.loads[event.trigger_index :]
    at = int(after.argmax())
    line = f"#{number:<4} {clock}  peak {after[at]:.1f} {unit} at {at * event.interval:.3f} s"
    if event.gaps:
        line += f"  ({sum(missing for _, missing in event.gaps)} samples missing)"
    if verdict is None:
        return line
    if verdict.passed:
        return f"{line}  PASS"
    return f"{line}  FAIL: " + "; ".join(str(failure) for failure in verdict.failures)


@click.command()
@instrument_options()
@click.option("--trigger", "trigger_text", required=True, callback=_trigger, metavar="KIND:LEVEL",
              help="What starts an event: rising:LEVEL, falling:LEVEL, window:LOW:HIGH (entered) "
              "or slope:RATE (load units per second).")
@click.option("--hysteresis", type=click.FloatRange(min=0), default=0.0, show_default=True,
              help="How far the load must go back past the level before the trigger fires again.")
@click.option("--pre", type=click.FloatRange(min=0), default=0.2, show_default=True, help="Seconds kept before the trigger.")
@click.option("--post", type=click.FloatRange(min=0), default=2.0, show_default=True, help="Seconds kept after the trigger.")
@click.option("--holdoff", type=click.FloatRange(min=0), default=0.0, show_default=True,
              help="Seconds after an event during which triggers are ignored.")
@click.option("--limits", "limit_set", callback=_limits, metavar="LIMITS.toml", help="Judge each event by these limits.")
@click.option("--tare", "tare_pre", is_flag=True, help="Subtract from each event the mean of its pre-trigger samples.")
@click.option("--record", "record_path", type=click.Path(dir_okay=False), metavar="OUT.h5",
              help="Keep every event with its verdict in this HDF5 file.")
@click.option("--channel", type=click.IntRange(0, 255), default=0, show_default=True, help="Channel to watch.")
@until_seconds_option
@logging_options
def watch(
    target: Target, trigger_text: str, hysteresis: float, pre: float, post: float, holdoff: float, limit_set: Any,
    tare_pre: bool, record_path: str | None, channel: int, seconds: float | None,
) -> None:
    """Find press cycles in the live stream and judge each against limits: a line per event, a summary at the end.

    Exit status 1 when any event failed its limits.
    """
    from ..events import Watcher, parse_trigger
    from ..events.watcher import metadata_of
    from ..events.storage import EventFile

    out = console()
    counts = {"events": 0, "passed": 0, "failed": 0}
    interrupted = False
    with instruments(target) as devices, contextlib.ExitStack() as stack:
        (device,) = devices
        check_channel(device, channel)
        acquisition = stack.enter_context(Acquisition(device, channel=channel))
        unit = acquisition.instrument.unit if acquisition.instrument else ""
        condition = parse_trigger(trigger_text, hysteresis)
        recording = None
        if record_path is not None:
            assert acquisition.instrument is not None
            try:
                recording = EventFile(record_path, acquisition.instrument, 1.0 / acquisition.interval,
                                      acquisition.started_at, limit_set, trigger=str(condition))
            except FileExistsError:
                raise click.BadParameter(f"{record_path} exists: choose another name", param_hint="--record") from None
            stack.callback(recording.close)
        # The acquisition's own tap: nothing else reads this stream.
        assert acquisition.first_tap is not None
        watcher = Watcher(
            acquisition.first_tap, condition, pre=pre, post=post, holdoff=holdoff,
            limits=limit_set, tare="pre" if tare_pre else None, metadata=metadata_of(acquisition),
        )
        during = f" for {seconds:g} s" if seconds else ""
        note(f"Watching for {trigger_text} (pre {pre:g} s, post {post:g} s){during}")
        deadline = None if seconds is None else time.monotonic() + seconds
        try:
            while deadline is None or time.monotonic() < deadline:
                try:
                    chunk = watcher.tap.read(timeout=0.1)
                except Exception as error:
                    raise InstrumentLost("instrument", error) from error
                if chunk is None:
                    continue
                for event in watcher.feed(chunk):
                    counts["events"] += 1
                    if event.verdict is not None:
                        counts["passed" if event.verdict.passed else "failed"] += 1
                    if recording is not None:
                        recording.add(event)
                    out.print(Text(event_line(counts["events"], event, unit)))
        except KeyboardInterrupt:
            interrupted = True
        watcher.tap.close()
    summary = f"{counts['events']} event(s)"
    if limit_set is not None:
        rate = counts["passed"] / counts["events"] if counts["events"] else 0.0
        summary += f": {counts['passed']} passed, {counts['failed']} failed ({rate:.0%} pass rate)"
    if record_path is not None:
        summary += f"; written to {record_path}"
    out.print(Text(summary))
    if interrupted:
        raise KeyboardInterrupt
    if counts["failed"]:
        raise SystemExit(EXIT_FAILED_EVENT)
