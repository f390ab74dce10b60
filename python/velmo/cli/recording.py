"""The recording commands, on ``velmo.recording``: record, show and export."""

from __future__ import annotations

import contextlib
import math
import os
import re
import time
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

import click
import velmo_device_communication as vdc
from rich.console import Group
from rich.live import Live
from rich.table import Table
from rich.text import Text

from .._requirements import h5py_missing
from ..acquisition import Acquisition
from .capture import _monitor_view, _plotting, _Source, _Summary, check_output_path, csv_preamble, csv_rows, rate_name
from .common import Target, console, describe, instrument_options, instruments, logging_options, note, unit_label

if TYPE_CHECKING:
    from ..recording import Instrument, InstrumentStats, Recorder, Recording

REFRESH_SECONDS = 0.25
MAX_PLOT_POINTS = 200_000
CSV_ROWS_AT_ONCE = 65536
NOT_CLOSED = (
    "This file was not closed: it is being written, or its recorder stopped without closing it. "
    "velmo reads it as it is; plain HDF5 tools need 'h5clear -s {path}' first."
)
STOPPED_EARLY = (
    "This file was not closed by its recorder, which stopped early (it crashed, or could not write the file). "
    "It holds the samples written until then; plain HDF5 tools open it as it is."
)
CUT_SHORT = (
    "This file is cut short: it ends after {size} of the {stored} bytes HDF5 wrote (a copy cut off, or a disk "
    "that filled up). velmo reads the samples that are in it; plain HDF5 tools refuse it."
)


def _quantity(name: str, units: Mapping[str, float], examples: str) -> Any:
    """An option callback reading a positive number with an optional unit, such as 15m or 500MB."""

    def convert(_ctx: click.Context, _param: click.Parameter, value: str | None) -> float | None:
        if value is None:
            return None
        match = re.fullmatch(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*([a-z]*)\s*", value.lower())
        if match is None or match[2] not in units or not float(match[1]) > 0:
            raise click.BadParameter(f"{value!r} is not a {name} such as {examples}")
        return float(match[1]) * units[match[2]]

    return convert


DURATION = _quantity("duration", {"": 1, "s": 1, "m": 60, "min": 60, "h": 3600, "d": 86400}, "90, 90s, 15m or 2h")
SIZE = _quantity(
    "size",
    {"": 1, "b": 1, "k": 1e3, "kb": 1e3, "kib": 2**10, "m": 1e6, "mb": 1e6, "mib": 2**20, "g": 1e9, "gb": 1e9,
     "gib": 2**30},
    "500MB, 2GiB or 1000000 (bytes)",
)


def _needs_h5py() -> None:
    missing = h5py_missing()
    if missing is not None:
        raise click.UsageError(missing)


def _metadata(_ctx: click.Context, _param: click.Parameter, values: tuple[str, ...]) -> dict[str, str]:
    pairs = {}
    for value in values:
        key, equals, text = value.partition("=")
        if not equals or not key.strip():
            raise click.BadParameter(f"{value!r} is not KEY=VALUE")
        pairs[key.strip()] = text
    return pairs


def _size_text(size: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if size < 1024 or unit == "GiB":
            return f"{size:.0f} {unit}" if unit == "B" else f"{size:.1f} {unit}"
        size /= 1024
    raise AssertionError("unreachable")


# -- record ---------------------------------------------------------------------


def _progress_view(path: str, elapsed: float, stats: dict[str, InstrumentStats]) -> Table:
    table = Table(title=f"Recording to {path}, {elapsed:.0f} s", title_justify="left")
    for column in ("Instrument", "Samples", "Rate (SPS)", "Dropped", "Lost", "File size", "State"):
        table.add_column(column, no_wrap=True, justify="left" if column in ("Instrument", "State") else "right")
    for name, instrument in stats.items():
        table.add_row(
            *(
                Text(str(cell))
                for cell in (
                    name,
                    instrument.written,
                    f"{instrument.rate:.1f}",
                    instrument.dropped,
                    instrument.lost,
                    _size_text(instrument.file_size),
                    instrument.ended or "recording",
                )
            )
        )
    return table


def _watch(sources: Sequence[_Source], summaries: Sequence[_Summary]) -> None:
    """What arrived for the live view; an instrument lost is the recorder's to report."""
    for source, summary in zip(sources, summaries):
        try:
            while (chunk := source.acquisition.read(timeout=0)) is not None:
                summary.add(chunk.loads)
        except vdc.VelmoConnectionError:
            pass


def _run(recorder: Recorder, seconds: float | None, sources: Sequence[_Source], streams: contextlib.ExitStack) -> bool:
    """Record until ``seconds`` have passed, every instrument is lost or Ctrl-C, showing the
    live view of each instrument above the recording's; whether it was Ctrl-C."""
    progress = console(stderr=True)
    began = time.monotonic()
    deadline = math.inf if seconds is None else began + seconds
    summaries = [_Summary() for _ in sources]
    channel = sources[0].channel

    def view(now: float) -> Group:
        _watch(sources, summaries)
        return Group(_monitor_view(channel, sources, summaries), _progress_view(recorder.path, now - began, recorder.stats))

    try:
        with recorder, Live(console=progress, transient=True, refresh_per_second=4) as live:
            try:
                while (now := time.monotonic()) < deadline:
                    live.update(view(now))
                    if recorder.wait(min(REFRESH_SECONDS, deadline - now)):
                        break
            finally:
                streams.close()  # streams off first: the recorder keeps every sample up to then
    except KeyboardInterrupt:
        return True
    finally:
        if recorder.paths:
            progress.print(view(time.monotonic()))
    return False


@click.command()
@click.argument("out", metavar="OUT.h5", type=click.Path(dir_okay=False))
@instrument_options(several=True)
@click.option("--rate", metavar="NAME", help="Sampling rate for every instrument, such as 1300 or SPS_1300.")
@click.option("--channel", type=click.IntRange(0, 255), default=0, show_default=True, help="Channel whose rate is used.")
@click.option(
    "--seconds", type=click.FloatRange(min=0, min_open=True), help="Record this long [default: until Ctrl-C]."
)
@click.option("--split-every", callback=DURATION, metavar="DURATION", help="Start a new file after this long, such as 1h.")
@click.option("--split-size", callback=SIZE, metavar="SIZE", help="Start a new file at this size, such as 500MB.")
@click.option(
    "--meta", "metadata", multiple=True, metavar="KEY=VALUE", callback=_metadata, help="An attribute of your own (repeatable)."
)
@click.option("--overwrite", is_flag=True, help="Replace an existing file (never one another program has open).")
@logging_options
def record(
    out: str,
    target: Target,
    rate: str | None,
    channel: int,
    seconds: float | None,
    split_every: float | None,
    split_size: float | None,
    metadata: dict[str, str],
    overwrite: bool,
) -> None:
    """Record every sample of one or more instruments into an HDF5 file (the 'record' extra).

    While it records, the live view of 'monitor' shows each instrument's load. The file can
    be read while it grows ('velmo show OUT.h5'), and keeps every sample up to
    its last flush (at most a second ago) if the recorder dies. With --split-every or
    --split-size the files are OUT-0001.h5, OUT-0002.h5, ...
    """
    _needs_h5py()
    from ..recording import Recorder, RecordingError
    from ..recording.recorder import INTERRUPTED, RUN_ENDED, check_output, part_path

    splitting = split_every is not None or split_size is not None
    check_output_path(part_path(out, 1 if splitting else None), "OUT.h5")
    try:
        check_output(out, splitting=splitting, overwrite=overwrite)
    except FileExistsError as error:
        earlier = " (a part of an earlier run)" if splitting else ""
        raise click.BadParameter(
            f"{error.filename} exists{earlier}; choose another name, or give --overwrite", param_hint="OUT.h5"
        ) from None
    except RecordingError as error:
        raise click.ClickException(str(error)) from None
    with instruments(target, several=True) as devices, contextlib.ExitStack() as streams:
        labels = [describe(device) for device in devices]
        units = [unit_label(device, channel) for device in devices]  # while the instruments answer
        # One acquisition per instrument, two taps: the live view reads its first, the recorder one of its own.
        sources = [
            _Source(
                device,
                label,
                channel,
                unit,
                streams.enter_context(
                    Acquisition(device, channel=channel, rate=None if rate is None else rate_name(rate))
                ),
            )
            for device, label, unit in zip(devices, labels, units)
        ]
        recorder = Recorder(
            out,
            [source.acquisition for source in sources],
            metadata=metadata,
            split_every=split_every,
            split_size=None if split_size is None else round(split_size),
            overwrite=overwrite,
        )
        try:
            interrupted = _run(recorder, seconds, sources, streams)
        except RecordingError as error:
            raise click.ClickException(str(error)) from error
    stats = recorder.stats
    if recorder.paths:
        note(f"Wrote {', '.join(recorder.paths)}: {sum(s.written for s in stats.values())} samples")
    if interrupted:
        note("Interrupted.")
        raise click.exceptions.Exit(130)
    ended = (RUN_ENDED, INTERRUPTED)
    lost = [f"{name}: {instrument.ended}" for name, instrument in stats.items() if instrument.ended not in ended]
    if lost:
        raise click.ClickException(
            "Lost during the recording, which keeps their samples up to then (check cable and power): "
            + "; ".join(lost)
        )


# -- show -----------------------------------------------------------------------

FILE_ROWS = (
    ("Created (UTC)", "created"), ("Host", "host"), ("velmo", "velmo_version"), ("h5py / HDF5", None), ("Part", "part")
)


def _file_table(recording: Recording) -> Table:
    table = Table(title=f"{recording.path} ({_size_text(os.path.getsize(recording.path))})", title_justify="left")
    table.add_column("File attribute", no_wrap=True)
    table.add_column("Value")
    metadata = recording.metadata
    shown = {"module_version", "h5py_version", "hdf5_version"}
    for label, key in FILE_ROWS:
        if key is None:
            value = f"{metadata.get('h5py_version', '-')} / {metadata.get('hdf5_version', '-')}"
        else:
            value = metadata.get(key, "-")
        table.add_row(Text(label), Text(str(value)))
        shown.add(str(key))
    for key, value in metadata.items():
        if key not in shown:
            table.add_row(Text(key), Text(str(value)))
    state = "closed" if recording.closed else "not closed"
    if recording.cut_short:
        state += ", cut short"
    if not recording.closed or recording.cut_short:
        state += " (see below)"
    table.add_row(Text("State"), Text(state))
    return table


def _samples_text(instrument: Instrument) -> str:
    if not instrument.unwritten:
        return str(len(instrument.counts))
    return f"{len(instrument.counts)} ({instrument.unwritten} more counted, not in the file)"


def _gaps_text(instrument: Instrument) -> str:
    if not instrument.gaps:
        return "none"
    by_reason: dict[str, int] = {}
    for gap in instrument.gaps:
        by_reason[gap.reason] = by_reason.get(gap.reason, 0) + gap.missing
    reasons = ", ".join(f"{missing} {reason}" for reason, missing in by_reason.items())
    return f"{len(instrument.gaps)}: {instrument.missing} samples missing ({reasons})"


def _instruments_table(recording: Recording) -> Table:
    table = Table(title=f"{len(recording.instruments)} instrument(s)", title_justify="left")
    table.add_column("", no_wrap=True)
    instruments = list(recording.instruments.values())
    for instrument in instruments:
        table.add_column(instrument.name)

    def row(label: str, cell: Any) -> None:
        table.add_row(Text(label), *(Text(str(cell(instrument))) for instrument in instruments))

    def loads(instrument: Instrument) -> str:
        values = instrument.loads
        if not len(values):
            return "-"
        return f"{values.min():.4f} / {values.max():.4f} / {values.mean():.4f} {instrument.metadata['unit']}"

    def teds(instrument: Instrument) -> str:
        serial = instrument.metadata.get("teds_serial_number")
        return "-" if serial is None else f"sensor {serial or '?'}, {instrument.metadata['teds_max_capacity']:g} max"

    for label, key in (("Item number", "item_number"), ("Serial number", "serial_number"), ("Firmware", "firmware"),
                       ("Port", "port"), ("Channel", "channel")):
        row(label, lambda instrument, key=key: instrument.metadata.get(key, "-"))
    row("Sampling rate", lambda instrument: f"{instrument.metadata['sampling_rate']:g} SPS")
    row("Start (UTC)", lambda instrument: instrument.metadata.get("t0_iso", "-"))
    row("Samples", _samples_text)
    row("Duration", lambda instrument: f"{instrument.duration:.3f} s")
    row("Load min / max / mean", loads)
    row("Gaps", _gaps_text)
    def calibration(instrument: Instrument) -> str:
        metadata = instrument.metadata
        return (
            f"profile {metadata['calibration_profile']}, {metadata['calibration_directions']} direction(s), "
            f"from the {metadata['calibration_source']}"
        )

    row("Calibration", calibration)
    row("TEDS record", teds)
    row("Ended", lambda instrument: instrument.end_reason or "not closed")
    return table


def _write_recording_plot(pyplot: Any, path: str, recording: Recording) -> None:
    from ..recording.layout import iso_utc

    instruments = [instrument for instrument in recording.instruments.values() if len(instrument.counts)]
    if not instruments:
        raise click.ClickException("the recording holds no samples to plot")
    start = min(instrument.t0 for instrument in instruments)
    size = (10, 2.5 + 2 * len(instruments))
    figure, axes = pyplot.subplots(len(instruments), 1, sharex=True, squeeze=False, figsize=size)
    try:
        for axis, instrument in zip(axes[:, 0], instruments):
            step = max(1, len(instrument.loads) // MAX_PLOT_POINTS)
            times = instrument.times()[::step] + (instrument.t0 - start)
            axis.plot(times, instrument.loads[::step], linewidth=0.8)
            axis.set_ylabel(f"load ({instrument.metadata['unit']})")
            axis.set_title(instrument.name, fontsize=10)
            axis.grid(True, alpha=0.3)
        axes[-1, 0].set_xlabel(f"time (s) from {iso_utc(start)}")
        figure.tight_layout()
        figure.savefig(path, dpi=100)
    finally:
        pyplot.close(figure)


def _load(path: str) -> Recording:
    """The recording, or one line saying why the file is not one."""
    from ..recording import NotARecordingError, UnreadableRecordingError, load

    try:
        return load(path)
    except (NotARecordingError, UnreadableRecordingError) as error:
        raise click.ClickException(str(error)) from error


@click.command()
@click.argument("file", type=click.Path(exists=True, dir_okay=False))
@click.option(
    "--plot", "plot_path", type=click.Path(dir_okay=False, writable=True), help="Draw the loads against time into this PNG."
)
@logging_options
def show(file: str, plot_path: str | None) -> None:
    """Metadata and a summary per instrument of a recording, also one being written or left by a crash."""
    _needs_h5py()
    if plot_path is not None and not plot_path.lower().endswith(".png"):
        raise click.BadParameter("the plot is written as PNG: give a name ending in .png", param_hint="--plot")
    pyplot = None if plot_path is None else _plotting()
    recording = _load(file)
    out = console()
    out.print(_file_table(recording))
    out.print(_instruments_table(recording))
    for name, instrument in recording.instruments.items():
        if instrument.events:
            out.print(Text(events_summary(name, instrument)))
    if recording.cut_short:
        out.print(Text(CUT_SHORT.format(size=recording.file_size, stored=recording.stored_size)))
    elif recording.needs_h5clear:
        out.print(Text(NOT_CLOSED.format(path=file)))
    elif not recording.closed:
        out.print(Text(STOPPED_EARLY))
    if pyplot is not None and plot_path is not None:
        _write_recording_plot(pyplot, plot_path, recording)
        note(f"Wrote {plot_path}")


# -- export ---------------------------------------------------------------------


def _write_csv(path: str, instrument: Instrument) -> None:
    """The rows of one instrument in the shape of ``velmo stream --csv``; written under a
    temporary name and renamed once complete."""
    metadata = instrument.metadata
    rate = float(metadata["sampling_rate"])
    instrument_text = f"{metadata['model']} {metadata['serial_number']} on {metadata['port']}"
    description = f"{instrument_text}, channel {metadata['channel']}"
    numbers, counts, loads = instrument.sample_numbers(), instrument.counts, instrument.loads
    temporary = f"{path}.partial"
    with open(temporary, "w", encoding="utf-8", newline="") as stream:
        stream.write(csv_preamble(description, rate, instrument.t0, metadata["unit"]))
        for start in range(0, len(counts), CSV_ROWS_AT_ONCE):
            stop = start + CSV_ROWS_AT_ONCE
            stream.writelines(
                csv_rows(numbers[start:stop].tolist(), rate, counts[start:stop].tolist(), loads[start:stop].tolist())
            )
    os.replace(temporary, path)


def events_summary(name: str, instrument: Instrument) -> str:
    """'HDA640_20240001: 24 events, 20 passed, 4 failed'."""
    judged = [event for event in instrument.events if event.verdict is not None]
    passed = sum(event.verdict.passed for event in judged)
    text = f"{name}: {len(instrument.events)} events"
    return text + (f", {passed} passed, {len(judged) - passed} failed" if judged else "")


def _write_verdicts(path: str, recording: Recording) -> None:
    """One row per event: instrument, number, trigger time and sample, peak, time to peak, work, verdict, failures."""
    import csv

    with open(path, "w", encoding="utf-8", newline="") as stream:
        writer = csv.writer(stream)
        writer.writerow(["instrument", "event", "trigger_time", "trigger_sample", "samples", "missing",
                         "peak", "time_to_peak_s", "work", "passed", "failures"])
        for name, instrument in recording.instruments.items():
            for number, event in enumerate(instrument.events, start=1):
                verdict = event.verdict
                judged = [] if verdict is None else [verdict.peak, f"{verdict.time_to_peak:.6f}", verdict.work, verdict.passed]
                failures = "" if verdict is None else "; ".join(str(failure) for failure in verdict.failures)
                missing = sum(gap for _, gap in event.gaps)
                writer.writerow([name, number, f"{event.trigger_time:.6f}", event.trigger_sample, len(event), missing,
                                 *(judged or ["", "", "", ""]), failures])


@click.command()
@click.argument("file", type=click.Path(exists=True, dir_okay=False))
@click.option("--csv", "csv_dir", type=click.Path(file_okay=False), help="Folder for the CSV files.")
@click.option("--mkdir", "make_folder", is_flag=True, help="Create the folder (and its parents) if it does not exist.")
@click.option("--events", "events_path", type=click.Path(dir_okay=False), metavar="VERDICTS.csv",
              help="Write the events' verdicts, one row per event, to this CSV file.")
@logging_options
def export(file: str, csv_dir: str | None, make_folder: bool, events_path: str | None) -> None:
    """Write one CSV per instrument of a recording: time, count, load, as 'velmo stream --csv' does;
    with --events, the events' verdicts.

    A sample's time is its number since the start of the run times the sampling interval;
    the lines before the header say what was measured and when the run started (UTC).
    """
    _needs_h5py()
    if csv_dir is None and events_path is None:
        raise click.UsageError("give --csv DIR for the samples, --events FILE for the verdicts, or both")
    if csv_dir is not None and not os.path.isdir(csv_dir) and not make_folder:
        raise click.BadParameter(f"the folder {csv_dir} does not exist; give --mkdir to create it", param_hint="--csv")
    recording = _load(file)
    if events_path is not None:
        _write_verdicts(events_path, recording)
        note(f"Wrote {events_path}: {sum(len(i.events) for i in recording.instruments.values())} events")
    if csv_dir is None:
        return
    if not os.path.isdir(csv_dir):
        os.makedirs(csv_dir)
        note(f"Created the folder {csv_dir}")
    for name, instrument in recording.instruments.items():
        path = os.path.join(csv_dir, f"{name}.csv")
        _write_csv(path, instrument)
        note(f"Wrote {path}: {len(instrument.counts)} samples")
