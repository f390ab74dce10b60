"""The live commands, on ``velmo.acquisition``: monitor and stream.

Both take several instruments (repeated --port or --serial, or --all), each with
its own ``Acquisition``. Ctrl-C ends the capture as its time would, keeps what
arrived, and then exits with status 130.
"""

from __future__ import annotations

import array
import contextlib
import datetime
import enum
import math
import os
import sys
import tempfile
import time
from collections import deque
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import IO, Any

import click
import velmo_device_communication as vdc
from rich.console import Console, ConsoleOptions, RenderResult
from rich.live import Live
from rich.measure import Measurement
from rich.progress import BarColumn, Progress, TextColumn, TimeRemainingColumn
from rich.table import Table
from rich.text import Text

from .. import models
from ..acquisition import Acquisition, rate_enumeration, samples_per_second
from .common import (
    Target,
    check_channel,
    console,
    describe,
    instrument_options,
    instruments,
    logging_options,
    note,
    serial_text,
    unit_label,
)

SPARK_BLOCKS = "▁▂▃▄▅▆▇█"
SPARK_POINTS = 30
# How often the view and the clock are brought up to date, in seconds.
POLL_SECONDS = 0.2
REFRESH_PER_SECOND = 4


def rate_name(text: str) -> str:
    """'1200', '2.5' or 'SPS_1200' as the enumeration member name: 'SPS_1200', 'SPS_2_5'."""
    text = text.strip().upper()
    if not text.startswith("SPS_"):
        text = "SPS_" + text.removesuffix("SPS").strip()
    return text.replace(".", "_")


def supported_rates(device: vdc.VelmoDevice) -> list[enum.Enum]:
    """The sampling rates this instrument accepts.

    38 400 SPS exists only on the HDA640 Zeph Orvale, the one variant with TEDS.
    """
    model = device.get_model_number()
    rates = list(rate_enumeration(model))
    high_rate_code = models.model(model).high_rate_code
    if high_rate_code is not None and not device.supports_teds():
        rates = [rate for rate in rates if rate.value != high_rate_code]
    return rates


def capture_rate(device: vdc.VelmoDevice, requested: str | None) -> enum.Enum | None:
    """The member of the instrument's rates that --rate names; a usage error listing them for anything else."""
    if requested is None:
        return None
    rates = supported_rates(device)
    for rate in rates:
        if rate.name == rate_name(requested):
            return rate
    allowed = ", ".join(f"{samples_per_second(rate):g}" for rate in rates)
    raise click.BadParameter(
        f"{requested} is not a sampling rate of the {describe(device)}; it supports {allowed} SPS",
        param_hint="--rate",
    )


def sparkline(values: Sequence[float]) -> str:
    if not values:
        return ""
    low, high = min(values), max(values)
    if high - low <= 1e-12 * max(abs(high), abs(low), 1.0):
        return SPARK_BLOCKS[len(SPARK_BLOCKS) // 2] * len(values)
    scale = (len(SPARK_BLOCKS) - 1) / (high - low)
    return "".join(SPARK_BLOCKS[round((value - low) * scale)] for value in values)


class InstrumentLost(click.ClickException):
    """An instrument stopped answering in the middle of a capture."""

    def __init__(self, label: str, error: BaseException) -> None:
        cause = error.__cause__ or error
        super().__init__(
            f"The {label} stopped answering while streaming ({' '.join(str(cause).split())}): "
            "check its cable and power, then retry"
        )


@dataclass
class _Source:
    """One instrument of a capture and its acquisition."""

    device: vdc.VelmoDevice
    label: str
    channel: int
    unit: str
    acquisition: Acquisition

    def take(self) -> Any:
        """What arrived since the last take, or None."""
        try:
            return self.acquisition.read(timeout=0)
        except vdc.VelmoConnectionError as error:
            raise InstrumentLost(self.label, error) from error


@contextlib.contextmanager
def _acquired(
    device: vdc.VelmoDevice, label: str, channel: int, rate: enum.Enum | None
) -> Iterator[_Source]:
    """The instrument streaming; the acquisition puts back a rate it set, and after the
    instrument was lost only tries to switch it off."""
    unit = unit_label(device, channel)  # while the instrument still answers commands
    with Acquisition(device, channel=channel, rate=rate, describe=False) as acquisition:
        yield _Source(device, label, channel, unit, acquisition)


# The run length of the commands that go on until Ctrl-C.
until_seconds_option = click.option(
    "--seconds",
    type=click.FloatRange(min=0, min_open=True),
    default=None,
    help="Stop after this long [default: at Ctrl-C].",
)


def _until(seconds: float | None) -> Iterator[float]:
    """Waits of at most POLL_SECONDS until ``seconds`` have passed (None: until Ctrl-C); yields the time elapsed.

    Ctrl-C ends the waits like the deadline; the caller re-raises it once its work is saved.
    """
    began = time.monotonic()
    deadline = math.inf if seconds is None else seconds
    while (elapsed := time.monotonic() - began) < deadline:
        time.sleep(min(POLL_SECONDS, deadline - elapsed))
        yield time.monotonic() - began


# -- monitor -----------------------------------------------------------------


@dataclass
class _Summary:
    """Running statistics of the loads seen so far."""

    count: int = 0
    total: float = 0.0
    low: float = math.inf
    high: float = -math.inf
    last: float = math.nan
    recent: deque[float] = field(default_factory=lambda: deque(maxlen=SPARK_POINTS))

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


MONITOR_COLUMNS = ("Instrument", "Load", "Min / max / mean", "Readings/s", "Readings / invalid / dropped", "Trend")
# What a narrow terminal leaves out, first to last: the instrument and its load always show.
DROPPED_FIRST = ("Trend", "Readings / invalid / dropped", "Min / max / mean", "Readings/s")
UNBOUNDED_WIDTH = 100_000


@dataclass
class MonitorView:
    """The monitor's table, one row of MONITOR_COLUMNS cells per instrument, fitted to the width it gets.

    Columns go, in the order of DROPPED_FIRST, until the rest fits; the load is
    never cut, and where even it and the instrument do not fit, the
    instrument's name folds onto more lines.
    """

    title: str
    rows: list[tuple[str, ...]]

    def __rich_console__(self, console: Console, options: ConsoleOptions) -> RenderResult:
        columns = list(MONITOR_COLUMNS)
        unbounded = options.update_width(UNBOUNDED_WIDTH)  # a measurement is capped at the width it is given
        for dropped in DROPPED_FIRST:
            table = self._table(columns)
            if Measurement.get(console, unbounded, table).maximum <= options.max_width:
                yield table
                return
            columns.remove(dropped)
        yield self._table(columns, fold=True)

    def _table(self, columns: Sequence[str], fold: bool = False) -> Table:
        table = Table(title=self.title, title_justify="left")
        for column in columns:
            if column == "Instrument" and fold:
                table.add_column(column, overflow="fold")
            elif column == "Load":
                table.add_column(column, no_wrap=True, min_width=max(len(row[1]) for row in self.rows))
            else:
                table.add_column(column, no_wrap=True)
        indices = [MONITOR_COLUMNS.index(column) for column in columns]
        for row in self.rows:
            table.add_row(*(Text(row[index]) for index in indices))
        return table


def _monitor_view(channel: int, sources: Sequence[_Source], summaries: Sequence[_Summary]) -> MonitorView:
    rows: list[tuple[str, ...]] = []
    for source, summary in zip(sources, summaries):
        stats = source.acquisition.stats
        if summary.count:
            load = f"{summary.last:.4f} {source.unit}"
            spread = f"{summary.low:.4f} / {summary.high:.4f} / {summary.mean:.4f}"
        else:
            load, spread = "waiting for readings", ""
        counts = f"{stats.received} / {stats.invalid} / {stats.dropped}"
        rows.append((source.label, load, spread, f"{stats.rate:.0f}", counts, sparkline(summary.recent)))
    return MonitorView(f"Channel {channel}", rows)


@click.command()
@instrument_options(several=True)
@click.option("--channel", type=click.IntRange(0, 255), default=0, show_default=True, help="Channel to watch.")
@until_seconds_option
@logging_options
def monitor(target: Target, channel: int, seconds: float | None) -> None:
    """A live view of the load, one row per instrument: current value, min/max/mean, readings per second, trend."""
    out = console()
    interrupted = False
    with instruments(target, several=True) as devices, contextlib.ExitStack() as stack:
        for device in devices:
            check_channel(device, channel)
        sources = [stack.enter_context(_acquired(device, describe(device), channel, None)) for device in devices]
        summaries = [_Summary() for _ in sources]
        with Live(_monitor_view(channel, sources, summaries), console=out, refresh_per_second=REFRESH_PER_SECOND) as live:
            try:
                for _ in _until(seconds):
                    for source, summary in zip(sources, summaries):
                        while (chunk := source.take()) is not None:
                            summary.add(chunk.loads)
                    live.update(_monitor_view(channel, sources, summaries))
            except KeyboardInterrupt:
                interrupted = True
            finally:
                if not out.is_terminal:
                    live.update(_monitor_view(channel, sources, summaries))
        if not out.is_terminal:
            out.line()  # a file or pipe gets the last view without a closing newline
    if interrupted:
        raise KeyboardInterrupt


# -- stream ------------------------------------------------------------------


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _writes_in_place(path: str) -> bool:
    """A path that is not a regular file, such as /dev/stdout or a named pipe: written as it is."""
    return os.path.exists(path) and not os.path.isfile(path)


def check_output_path(path: str, option: str) -> None:
    """Refuse, before anything starts, a path the capture could not write at its end."""
    if path == "-" and option == "--csv":
        return
    if os.path.isdir(path):
        raise click.BadParameter(f"{path} is a folder; give a file name", param_hint=option)
    if _writes_in_place(path):
        if not os.access(path, os.W_OK):
            raise click.BadParameter(f"cannot write to {path}", param_hint=option)
        return
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise click.BadParameter(f"the folder {folder} does not exist", param_hint=option)
    if not os.access(folder, os.W_OK):
        raise click.BadParameter(f"cannot write in the folder {folder}", param_hint=option)


def per_instrument(path: str, labels: Sequence[str]) -> list[str]:
    """One file name per instrument: ``path`` itself for one, else ``path``'s stem with each label."""
    if len(labels) == 1:
        return [path]
    stem, suffix = os.path.splitext(path)
    names = [f"{stem}-{label}{suffix}" for label in labels]
    if len(set(names)) < len(names):
        names = [f"{stem}-{label}-{index}{suffix}" for index, label in enumerate(labels, start=1)]
    return names


def csv_preamble(description: str, sampling_rate: float, t0: float, unit: str) -> str:
    """The lines before the rows of every CSV velmo writes, a capture's or a recording's: what
    was measured, when time 0 is, and the header."""
    started = datetime.datetime.fromtimestamp(t0, datetime.timezone.utc).isoformat()
    return (
        f"# {description}, {sampling_rate:g} SPS\n"
        f"# time (s) counts from the start of streaming at {started} ({t0:.6f} s since the epoch)\n"
        f"time (s),count,load ({unit})\n"
    )


def csv_rows(
    numbers: Iterable[int], sampling_rate: float, counts: Iterable[int], loads: Iterable[float]
) -> Iterator[str]:
    """Rows of samples numbered from the start of streaming: the time is the number over the
    rate, exact, not a clock's reading."""
    for number, count, load in zip(numbers, counts, loads):
        yield f"{number / sampling_rate:.9f},{count},{load!r}\n"


class _CsvFile:
    """Rows of one instrument: time from the start, count, load.

    The rows go to a temporary file beside ``path`` that takes its name only
    when the capture succeeded, so a failed capture leaves no file, and an
    older file of that name is kept. '-' is stdout; a path that is not a
    regular file (/dev/stdout, a pipe) is written as it is.
    """

    def __init__(self, path: str) -> None:
        self.path = path
        self._temporary: str | None = None
        self._stream: IO[str]
        if path == "-":
            self._stream = sys.stdout
        elif _writes_in_place(path):
            self._stream = open(path, "w", newline="", encoding="utf-8")
        else:
            fd, self._temporary = tempfile.mkstemp(
                dir=os.path.dirname(os.path.abspath(path)), prefix=f".{os.path.basename(path)}.", suffix=".part"
            )
            os.chmod(self._temporary, 0o666 & ~_umask())
            self._stream = os.fdopen(fd, "w", newline="", encoding="utf-8")
        self._header_written = False

    def write(self, source: _Source, first_index: int, counts: Any, loads: Any) -> None:
        acquisition = source.acquisition
        assert acquisition.rate is not None  # started
        sps = samples_per_second(acquisition.rate)
        if not self._header_written:
            description = f"{source.label}, channel {source.channel}"
            self._stream.write(csv_preamble(description, sps, acquisition.started_at, source.unit))
            self._header_written = True
        self._stream.writelines(csv_rows(range(first_index, first_index + len(counts)), sps, counts, loads))
        if self._temporary is None:  # a reader at the other end sees rows as they come
            self._stream.flush()

    def commit(self) -> None:
        if self.path == "-":
            self._stream.flush()
            return
        self._stream.close()
        if self._temporary is not None:
            os.replace(self._temporary, self.path)
            self._temporary = None

    def discard(self) -> None:
        if self.path == "-":
            return
        with contextlib.suppress(OSError):
            self._stream.close()
        if self._temporary is not None:
            os.unlink(self._temporary)
            self._temporary = None
            note(f"Nothing written to {self.path}")


class _Capture:
    """Where one instrument's samples go: counted, written to its CSV, kept for its plot."""

    def __init__(self, source: _Source, csv_file: _CsvFile | None, keep: bool) -> None:
        self.source = source
        self.csv_file = csv_file
        self.keep = keep
        self.times: array.array[float] = array.array("d")
        self.loads: array.array[float] = array.array("d")
        self.samples = 0

    def add(self, chunk: Any) -> None:
        if not len(chunk.loads):
            return
        self.samples += len(chunk.loads)
        if self.csv_file is not None:
            self.csv_file.write(self.source, chunk.index, chunk.counts, chunk.loads)
        if self.keep:
            interval = self.source.acquisition.interval
            self.times.extend((chunk.index + offset) * interval for offset in range(len(chunk.loads)))
            self.loads.extend(chunk.loads)

    def take_all(self) -> None:
        while (chunk := self.source.take()) is not None:
            self.add(chunk)


def _plotting() -> Any:
    """pyplot on a file-only backend; a usage error when matplotlib is missing."""
    try:
        import matplotlib
    except ImportError:
        raise click.UsageError("--plot needs matplotlib: pip install 'velmo-device-communication[plot]'") from None
    matplotlib.use("Agg")
    from matplotlib import pyplot

    return pyplot


def _write_plot(pyplot: Any, path: str, capture: _Capture, title: str) -> None:
    figure, axes = pyplot.subplots(figsize=(10, 4))
    try:
        axes.plot(capture.times, capture.loads, linewidth=0.8)
        axes.set_xlabel("time from the start of streaming (s)")
        axes.set_ylabel(f"load ({capture.source.unit})")
        axes.set_title(title)
        axes.grid(True, alpha=0.3)
        figure.tight_layout()
        figure.savefig(path, dpi=100)
    finally:
        pyplot.close(figure)


@contextlib.contextmanager
def _csv_files(path: str | None, labels: Sequence[str]) -> Iterator[list[_CsvFile | None]]:
    """The CSV files of a capture, created up front; kept only if the block ends without an error."""
    if path is None:
        yield [None] * len(labels)
        return
    if path == "-" and len(labels) > 1:
        raise click.BadParameter("stdout takes one instrument's rows: give a file name", param_hint="--csv")
    files: list[_CsvFile] = []
    try:
        for name in per_instrument(path, labels):
            files.append(_CsvFile(name))
        yield list(files)
    except BaseException:
        for csv_file in files:
            csv_file.discard()
        raise
    for csv_file in files:
        csv_file.commit()


@click.command()
@instrument_options(several=True)
@click.option("--channel", type=click.IntRange(0, 255), default=0, show_default=True, help="Channel to stream.")
@click.option(
    "--rate",
    "rate",
    default=None,
    metavar="NAME",
    help="Sampling rate for the capture, such as 1200 or SPS_1200; the previous rate is put back afterwards.",
)
@click.option(
    "--seconds",
    type=click.FloatRange(min=0, min_open=True),
    default=5.0,
    show_default=True,
    help="Length of the capture.",
)
@click.option(
    "--csv",
    "csv_path",
    metavar="FILE",
    help="Write time, count, load ('-': stdout); with several instruments one file each, FILE's name with "
    "the instrument's serial number.",
)
@click.option(
    "--plot", "plot_path", metavar="FILE.png", help="Write a PNG of load over time (one per instrument, named as --csv)."
)
@logging_options
def stream(
    target: Target, channel: int, rate: str | None, seconds: float, csv_path: str | None, plot_path: str | None
) -> None:
    """Capture the measurement stream for a while; streaming is switched off again afterwards.

    The summary goes to stderr, so --csv - can be piped. Ctrl-C ends the
    capture early and keeps what arrived.
    """
    if plot_path is not None and not plot_path.lower().endswith(".png"):
        raise click.BadParameter("the plot is written as PNG: give a name ending in .png", param_hint="--plot")
    for path, option in ((csv_path, "--csv"), (plot_path, "--plot")):
        if path is not None:
            check_output_path(path, option)
    pyplot = None if plot_path is None else _plotting()
    interrupted = False
    with instruments(target, several=True) as devices:
        labels = [describe(device) for device in devices]
        for device in devices:
            check_channel(device, channel)
        rates = [capture_rate(device, rate) for device in devices]
        serials = [serial_text(device) for device in devices]
        with _csv_files(csv_path, serials) as csv_files, contextlib.ExitStack() as streaming:
            progress = streaming.enter_context(
                Progress(
                    TextColumn("{task.description}"),
                    BarColumn(),
                    TextColumn("{task.fields[readings]} readings"),
                    TimeRemainingColumn(),
                    console=console(stderr=True),
                )
            )
            captures = [
                _Capture(streaming.enter_context(_acquired(device, label, channel, chosen)), csv_file, pyplot is not None)
                for device, label, chosen, csv_file in zip(devices, labels, rates, csv_files)
            ]
            tasks = [progress.add_task(capture.source.label, total=seconds, readings=0) for capture in captures]
            elapsed = 0.0
            try:
                for elapsed in _until(seconds):
                    for capture, task in zip(captures, tasks):
                        capture.take_all()
                        progress.update(task, completed=min(seconds, elapsed), readings=capture.samples)
            except KeyboardInterrupt:
                interrupted = True
            streaming.close()  # streaming off; what arrived before that is still queued
            for capture in captures:
                capture.take_all()
            for capture in captures:
                if not capture.samples:
                    if interrupted:
                        raise KeyboardInterrupt
                    raise click.ClickException(f"No readings arrived from the {capture.source.label}")
        for capture in captures:
            stats = capture.source.acquisition.stats
            note(
                f"{capture.source.label}: {capture.samples} readings ({stats.rate:.1f} readings/s); "
                f"invalid packets: {stats.invalid}, dropped samples: {stats.dropped}, lost on the line: {stats.lost}"
            )
            if capture.csv_file is not None and capture.csv_file.path != "-":
                note(f"Wrote {capture.csv_file.path}")
        if pyplot is not None and plot_path is not None:
            for capture, name in zip(captures, per_instrument(plot_path, serials)):
                _write_plot(pyplot, name, capture, f"{capture.source.label}, channel {channel}")
                note(f"Wrote {name}")
    if interrupted:
        raise KeyboardInterrupt
