"""The live commands, on ``velmo.acquisition``: monitor and stream."""

from __future__ import annotations

import array
import contextlib
import csv
import math
import time
from collections import deque
from collections.abc import Iterator
from typing import IO, Any

import click
import velmo_device_communication as vdc
from rich.live import Live
from rich.progress import BarColumn, Progress, TextColumn, TimeRemainingColumn
from rich.table import Table

from ..acquisition import Acquisition
from .common import console, logging_options, note, open_target, target_options, unit_label

SPARK_BLOCKS = "▁▂▃▄▅▆▇█"
SPARK_POINTS = 60
# How long one wait for data may last, so the view and the clock stay current.
POLL_SECONDS = 0.2
REFRESH_PER_SECOND = 4


def rate_name(text: str) -> str:
    """'1200', '2.5' or 'SPS_1200' as the enumeration member name: 'SPS_1200', 'SPS_2_5'."""
    text = text.strip().upper()
    if not text.startswith("SPS_"):
        text = "SPS_" + text.removesuffix("SPS").strip()
    return text.replace(".", "_")


def sparkline(values: list[float]) -> str:
    if not values:
        return ""
    low, high = min(values), max(values)
    if high - low <= 1e-12 * max(abs(high), abs(low), 1.0):
        return SPARK_BLOCKS[len(SPARK_BLOCKS) // 2] * len(values)
    scale = (len(SPARK_BLOCKS) - 1) / (high - low)
    return "".join(SPARK_BLOCKS[round((value - low) * scale)] for value in values)


@contextlib.contextmanager
def _rate_put_back(device: vdc.VelmoDevice, rate: str | None, channel: int) -> Iterator[None]:
    """Leave the instrument at the rate it had when a capture asked for another one."""
    if rate is None:
        yield
        return
    previous = device.get_sampling_rate(channel)
    try:
        yield
    finally:
        device.set_sampling_rate_value(previous, channel)


@contextlib.contextmanager
def _acquisition(device: vdc.VelmoDevice, channel: int, rate: str | None) -> Iterator[Acquisition]:
    with _rate_put_back(device, rate, channel), Acquisition(device, channel=channel, rate=rate) as acquisition:
        yield acquisition


class _Summary:
    """Running statistics of the loads seen so far."""

    def __init__(self) -> None:
        self.count = 0
        self.total = 0.0
        self.low = math.inf
        self.high = -math.inf
        self.last = math.nan
        self.recent: deque[float] = deque(maxlen=SPARK_POINTS)

    def add(self, loads: Any) -> None:
        if not len(loads):
            return
        self.count += len(loads)
        self.total += math.fsum(loads)
        self.low = min(self.low, min(loads))
        self.high = max(self.high, max(loads))
        self.last = loads[-1]
        self.recent.append(math.fsum(loads) / len(loads))

    @property
    def mean(self) -> float:
        return self.total / self.count if self.count else math.nan


def _monitor_view(title: str, unit: str, summary: _Summary, stats: Any) -> Table:
    table = Table(title=title, title_justify="left", show_header=False)
    table.add_column(no_wrap=True)
    table.add_column(no_wrap=True)
    if summary.count:
        table.add_row("Load", f"{summary.last:.4f} {unit}")
        table.add_row("Min / max / mean", f"{summary.low:.4f} / {summary.high:.4f} / {summary.mean:.4f} {unit}")
    else:
        table.add_row("Load", "waiting for the first readings")
    table.add_row("Readings per second", f"{stats.rate:.0f}")
    table.add_row("Readings / invalid / dropped", f"{stats.received} / {stats.invalid} / {stats.dropped}")
    table.add_row("Trend", sparkline(list(summary.recent)))
    return table


@click.command()
@target_options
@click.option("--channel", type=click.IntRange(0, 255), default=0, show_default=True, help="Channel to watch.")
@click.option(
    "--seconds", type=click.FloatRange(min=0), default=None, help="Stop after this long [default: at Ctrl-C]."
)
@logging_options
def monitor(port: str | None, simulate: str | None, channel: int, seconds: float | None) -> None:
    """A live view of the load: current value, min/max/mean, readings per second, trend."""
    out = console()
    with open_target(port, simulate) as device:
        unit = unit_label(device, channel)
        title = f"{device.get_model_number()} on {device.communication_interface.comport}, channel {channel}"
        summary = _Summary()
        with _acquisition(device, channel, None) as acquisition:
            deadline = math.inf if seconds is None else time.monotonic() + seconds
            view = _monitor_view(title, unit, summary, acquisition.stats)
            with Live(view, console=out, refresh_per_second=REFRESH_PER_SECOND) as live:
                with contextlib.suppress(KeyboardInterrupt):
                    while time.monotonic() < deadline:
                        chunk = acquisition.read(timeout=min(POLL_SECONDS, max(0.0, deadline - time.monotonic())))
                        if chunk is not None:
                            summary.add(chunk.loads)
                        live.update(_monitor_view(title, unit, summary, acquisition.stats))
            if not out.is_terminal:
                out.line()  # a file or pipe gets the last view without a closing newline


class _Capture:
    """Where the samples of a capture go: counted, and written or kept as asked.

    CSV rows are time (seconds from the first sample), count and load, written
    as chunks arrive; the plot needs every sample, so only it keeps them.
    """

    def __init__(self, csv_stream: IO[str] | None, keep: bool) -> None:
        self.writer = None if csv_stream is None else csv.writer(csv_stream)
        if self.writer is not None:
            self.writer.writerow(["time_s", "count", "load"])
        self.keep = keep
        self.times: array.array[float] = array.array("d")
        self.loads: array.array[float] = array.array("d")
        self.samples = 0
        self.start: float | None = None

    def add(self, chunk: Any) -> None:
        if not len(chunk.loads):
            return
        if self.start is None:
            self.start = chunk.t0
        t0 = chunk.t0 - self.start
        self.samples += len(chunk.loads)
        if self.writer is not None:
            self.writer.writerows(
                (f"{t0 + index * chunk.interval:.9f}", count, repr(load))
                for index, (count, load) in enumerate(zip(chunk.counts, chunk.loads))
            )
        if self.keep:
            self.times.extend(t0 + index * chunk.interval for index in range(len(chunk.loads)))
            self.loads.extend(chunk.loads)


def _plotting() -> Any:
    """pyplot on a file-only backend; a usage error when matplotlib is missing."""
    try:
        import matplotlib
    except ImportError:
        raise click.UsageError("--plot needs matplotlib: pip install 'velmo-device-communication[plot]'") from None
    matplotlib.use("Agg")
    from matplotlib import pyplot

    return pyplot


def _write_plot(pyplot: Any, path: str, capture: _Capture, unit: str, title: str) -> None:
    figure, axes = pyplot.subplots(figsize=(10, 4))
    try:
        axes.plot(capture.times, capture.loads, linewidth=0.8)
        axes.set_xlabel("time (s)")
        axes.set_ylabel(f"load ({unit})")
        axes.set_title(title)
        axes.grid(True, alpha=0.3)
        figure.tight_layout()
        figure.savefig(path, dpi=100)
    finally:
        pyplot.close(figure)


@click.command()
@target_options
@click.option("--channel", type=click.IntRange(0, 255), default=0, show_default=True, help="Channel to stream.")
@click.option(
    "--rate",
    "rate",
    default=None,
    metavar="NAME",
    help="Sampling rate for the capture, such as 1200 or SPS_1200; the previous rate is put back afterwards.",
)
@click.option("--seconds", type=click.FloatRange(min=0), default=5.0, show_default=True, help="Length of the capture.")
@click.option("--csv", "csv_path", type=click.Path(dir_okay=False, writable=True), help="Write time, count, load.")
@click.option("--plot", "plot_path", type=click.Path(dir_okay=False, writable=True), help="Write a PNG of load over time.")
@logging_options
def stream(
    port: str | None,
    simulate: str | None,
    channel: int,
    rate: str | None,
    seconds: float,
    csv_path: str | None,
    plot_path: str | None,
) -> None:
    """Capture the measurement stream for a while; streaming is switched off again afterwards."""
    if plot_path is not None and not plot_path.lower().endswith(".png"):
        raise click.BadParameter("the plot is written as PNG: give a name ending in .png", param_hint="--plot")
    requested_rate = None if rate is None else rate_name(rate)
    pyplot = None if plot_path is None else _plotting()
    out = console()
    with contextlib.ExitStack() as stack:
        device = stack.enter_context(open_target(port, simulate))
        unit = unit_label(device, channel)
        title = f"{device.get_model_number()} on {device.communication_interface.comport}, channel {channel}"
        csv_stream = None if csv_path is None else stack.enter_context(open(csv_path, "w", newline="", encoding="utf-8"))
        capture = _Capture(csv_stream, keep=plot_path is not None)
        progress = Progress(
            TextColumn("Streaming"),
            BarColumn(),
            TextColumn("{task.fields[readings]} readings"),
            TimeRemainingColumn(),
            console=console(stderr=True),
        )
        with _acquisition(device, channel, requested_rate) as acquisition, progress:
            began = time.monotonic()
            task = progress.add_task("stream", total=seconds, readings=0)
            while (elapsed := time.monotonic() - began) < seconds:
                chunk = acquisition.read(timeout=min(POLL_SECONDS, seconds - elapsed))
                if chunk is not None:
                    capture.add(chunk)
                progress.update(task, completed=min(seconds, elapsed), readings=capture.samples)
            progress.update(task, completed=seconds, readings=capture.samples)
        duration = time.monotonic() - began
        # What arrived before streaming stopped is still queued: keep it too.
        while (chunk := acquisition.read(timeout=0)) is not None:
            capture.add(chunk)
        stats = acquisition.stats
    out.print(f"{capture.samples} readings in {duration:.2f} s: {stats.rate:.1f} readings/s")
    out.print(f"invalid packets: {stats.invalid}, dropped samples: {stats.dropped}")
    if csv_path is not None:
        note(f"Wrote {csv_path}")
    if pyplot is not None and plot_path is not None:
        _write_plot(pyplot, plot_path, capture, unit, title)
        note(f"Wrote {plot_path}")
