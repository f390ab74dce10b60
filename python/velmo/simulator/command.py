"""Serve a simulated VELMO instrument on a pseudo-terminal until interrupted.

The first line printed is the port path, for scripts that start this program.
``velmo simulate``, ``velmo-simulator`` and ``python -m velmo.simulator`` are
this one click command (the command line needs the ``cli`` extra, as ``velmo``
does); ``velmo <command> --simulate`` builds its simulators with ``simulated``
below, and reads --signal with ``read_signal``.
"""

from __future__ import annotations

import contextlib
import signal
import threading
from collections.abc import Callable, Sequence
from typing import Any, TypeVar

import click

from .. import interrupts
from .._requirements import h5py_missing
from .instrument import DEFAULT_CHANNELS, DEFAULT_INSTRUMENT_SERIAL, counts_of_loads
from .protocol import MODELS, ORVALE_ITEM_NUMBER
from .signals import COMMAND_LINE_SIGNAL, Signal, parse_signal
from .simulated import SimulatedInstrument
from .teds import TEDSSensor

T = TypeVar("T")

DEFAULT_MODEL = "HDA640"
DEFAULT_FIRMWARE = (4, 3, 2)
# Exit status after Ctrl-C, as every velmo command gives it.
INTERRUPTED = 130


def parse_model(text: str) -> str:
    """A model name in any case, as the instrument spells it."""
    return text.strip().upper()


def parse_firmware(text: str) -> tuple[int, int, int]:
    parts = text.split(".")
    if len(parts) != 3 or not all(part.isdigit() for part in parts):
        raise ValueError("give three numbers such as 4.3.2")
    major, minor, patch = (int(part) for part in parts)
    return major, minor, patch


def option_parser(parse: Callable[[str], T]) -> Callable[[click.Context, click.Parameter, str | None], T | None]:
    """A click callback that reads an option's text with ``parse``; its ValueError is the usage error's message."""

    def convert(_ctx: click.Context, _param: click.Parameter, value: str | None) -> T | None:
        if value is None:
            return None
        try:
            return parse(value)
        except ValueError as error:
            raise click.BadParameter(str(error)) from None

    return convert


read_signal = option_parser(parse_signal)


def simulated(
    model: str = DEFAULT_MODEL,
    *,
    item_number: str | None = None,
    serial_number: int = DEFAULT_INSTRUMENT_SERIAL,
    baud_rate: int | None = None,
    firmware: Sequence[int] = DEFAULT_FIRMWARE,
    sensor: bool = False,
    auto_teds: bool = False,
    signal: Signal | None = None,
) -> SimulatedInstrument:
    """A simulator as the command line describes it; ``signal`` (loads) defaults to the load cycle.

    With a sensor, an HDA640 is the TEDS-capable variant unless an item number is given.
    """
    model = parse_model(model)
    if sensor and model == "HDA640" and item_number is None:
        item_number = ORVALE_ITEM_NUMBER
    counts = counts_of_loads(signal if signal is not None else parse_signal(COMMAND_LINE_SIGNAL))
    return SimulatedInstrument(
        model,
        item_number,
        firmware,
        baud_rate,
        instrument_serial=serial_number,
        sensor=TEDSSensor() if sensor else None,
        auto_teds=auto_teds,
        auto_teds_v1=auto_teds,
        signals=[counts] * DEFAULT_CHANNELS,
    )


def _simulated(options: dict[str, Any]) -> SimulatedInstrument:
    """The simulator of the command line's instrument options (those ``simulated`` takes)."""
    try:
        return simulated(**options)
    except ValueError as error:  # what the instrument cannot be, such as too long an item number
        raise click.UsageError(str(error)) from None


def _replayed(path: str) -> list[SimulatedInstrument]:
    missing = h5py_missing()
    if missing is not None:
        raise click.UsageError(missing)
    from .replay import replay

    try:
        return replay(path)
    except (ValueError, OSError) as error:
        raise click.BadParameter(str(error), param_hint="--replay") from None


@click.command(context_settings={"help_option_names": ["-h", "--help"]})
@click.option(
    "--model",
    type=click.Choice(MODELS, case_sensitive=False),
    default=DEFAULT_MODEL,
    show_default=True,
    help="Instrument model, in any case.",
)
@click.option(
    "--item-number",
    metavar="TEXT",
    help="Item number the instrument reports (up to 10 ASCII characters) [default: SIM-<model>].",
)
@click.option(
    "--serial-number",
    type=click.IntRange(min=0),
    default=DEFAULT_INSTRUMENT_SERIAL,
    show_default=True,
    help="Serial number the instrument reports.",
)
@click.option(
    "--baud-rate", type=click.IntRange(min=1), help="Line rate it answers at [default: the model's own]."
)
@click.option(
    "--firmware",
    callback=option_parser(parse_firmware),
    default=".".join(map(str, DEFAULT_FIRMWARE)),
    show_default=True,
    metavar="MAJOR.MINOR.PATCH",
    help="Firmware version; before 4.3.2 only the old AutoTEDS commands are known.",
)
@click.option(
    "--sensor",
    is_flag=True,
    help=f"Attach a TEDS sensor (an HDA640 then reports item number {ORVALE_ITEM_NUMBER} unless --item-number "
    "is given).",
)
@click.option("--auto-teds", is_flag=True, help="Start with AutoTEDS switched on.")
@click.option(
    "--signal",
    callback=read_signal,
    default=COMMAND_LINE_SIGNAL,
    show_default=True,
    metavar="SIGNAL",
    help="What every channel measures, in load units: kinds joined by '+', such as cycle:peak=500,rise=1,hold=0.5 "
    "or sine:amplitude=50,frequency=0.5+noise:sigma=0.5 (kinds: constant, ramp, sine, noise, steps, cycle; "
    "constant:100 is a steady 100).",
)
@click.option(
    "--seconds", type=click.FloatRange(min=0), help="Serve this long, then stop [default: until Ctrl-C]."
)
@click.option(
    "--replay",
    metavar="FILE",
    help="Replay a recording of velmo record instead: one instrument per recorded one, its counts at its rate "
    "(needs h5py).",
)
def serve(seconds: float | None, replay: str | None, **instrument: Any) -> None:
    """Serve a simulated instrument on a pseudo-terminal until Ctrl-C.

    The first line printed is the port, for scripts; other velmo programs of
    the same user find the instrument among the ports too (by --serial N, or
    open_device(serial_number=N)).
    """
    stop = threading.Event()
    interrupted = threading.Event()

    def on_signal(number: int) -> None:
        if number == signal.SIGINT:
            interrupted.set()
        stop.set()

    # Set before the port is announced, so a script may signal as soon as it
    # has read the first line; put back afterwards for a caller that goes on.
    with interrupts.calling(on_signal, (signal.SIGINT, signal.SIGTERM)):
        simulators = _replayed(replay) if replay is not None else [_simulated(instrument)]
        with contextlib.ExitStack() as stack:
            for simulator in simulators:
                stack.enter_context(simulator)
                stack.enter_context(simulator.listed_for_other_processes())
                click.echo(simulator.port)
            for simulator in simulators:
                _say_how_to_reach(simulator, instrument["signal"] if replay is None else None)
            click.echo("Ctrl-C to stop." if seconds is None else f"Stopping in {seconds:g} s.", err=True)
            stop.wait(seconds)
    if interrupted.is_set():
        raise click.exceptions.Exit(INTERRUPTED)


def _say_how_to_reach(simulator: SimulatedInstrument, measured: Signal | None) -> None:
    """What is served, and the command that shows it: a replayed recording is a stream to watch."""
    instrument = simulator.instrument
    if measured is None:
        serving = (
            f"Replaying the recorded {instrument.model}, serial number {instrument.instrument_serial}, at "
            f"{instrument.stream_rate:g} SPS. Watch it with:"
        )
        command = "velmo monitor"
    else:
        serving = (
            f"Serving a simulated {instrument.model}, serial number {instrument.instrument_serial}, at "
            f"{simulator.baud_rate} baud; every channel measures {measured!r}. Reach it with:"
        )
        command = "velmo read"
    click.echo(serving, err=True)
    click.echo(f"  {command} --port {simulator.port} --model {instrument.model}", err=True)


def main(argv: Sequence[str] | None = None, prog: str = "velmo-simulator") -> None:
    """Run as the ``velmo-simulator`` command, or under ``prog`` for ``python -m velmo.simulator``; exits."""
    serve.main(args=None if argv is None else list(argv), prog_name=prog)
