"""Serve a simulated VELMO instrument on a pseudo-terminal until interrupted.

The first line printed is the port path, for scripts that start this program.
``velmo-simulator``, ``python -m velmo.simulator`` and ``velmo simulate`` are
this one command line; ``velmo <command> --simulate`` builds its simulators with
``simulated`` below, from the same options.
"""

from __future__ import annotations

import argparse
import contextlib
import signal
import sys
import threading
from collections.abc import Callable, Sequence
from typing import TypeVar

from .. import interrupts
from .._requirements import h5py_missing
from .instrument import DEFAULT_CHANNELS, DEFAULT_INSTRUMENT_SERIAL, counts_of_loads
from .protocol import MODELS, ORVALE_ITEM_NUMBER
from .signals import COMMAND_LINE_SIGNAL, Signal, parse_signal
from .simulated import SimulatedInstrument
from .teds import TEDSSensor

T = TypeVar("T")

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


def _argument(parse: Callable[[str], T]) -> Callable[[str], T]:
    """``parse`` as an argparse type that reports its own message."""

    def convert(text: str) -> T:
        try:
            return parse(text)
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None

    return convert


def build_parser(prog: str) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=prog, description=__doc__.splitlines()[0])
    parser.add_argument(
        "--model",
        type=parse_model,
        choices=MODELS,
        default="HDA640",
        help="instrument model, in any case (default: %(default)s)",
    )
    parser.add_argument(
        "--item-number",
        help="item number the instrument reports (up to 10 ASCII characters; default: SIM-<model>)",
    )
    parser.add_argument(
        "--serial-number",
        type=int,
        default=DEFAULT_INSTRUMENT_SERIAL,
        help="serial number the instrument reports (default: %(default)s)",
    )
    parser.add_argument("--baud-rate", type=int, help="line rate it answers at (default: the model's own)")
    parser.add_argument(
        "--firmware",
        type=_argument(parse_firmware),
        default=DEFAULT_FIRMWARE,
        help="firmware version major.minor.patch; before 4.3.2 only the old AutoTEDS commands are known "
        "(default: 4.3.2)",
    )
    parser.add_argument(
        "--sensor",
        action="store_true",
        help=f"attach a TEDS sensor (an HDA640 then reports item number {ORVALE_ITEM_NUMBER} "
        "unless --item-number is given; default: no sensor)",
    )
    parser.add_argument("--auto-teds", action="store_true", help="start with AutoTEDS switched on (default: off)")
    parser.add_argument(
        "--signal",
        type=_argument(parse_signal),
        default=parse_signal(COMMAND_LINE_SIGNAL),
        metavar="SIGNAL",
        help="what every channel measures, in load units: kinds joined by '+', such as "
        "cycle:peak=500,rise=1,hold=0.5 or sine:amplitude=50,frequency=0.5+noise:sigma=0.5 "
        "(kinds: constant, ramp, sine, noise, steps, cycle; constant:100 is a steady 100; "
        f"default: {COMMAND_LINE_SIGNAL})",
    )
    parser.add_argument("--seconds", type=float, help="serve this long, then stop (default: until Ctrl-C)")
    parser.add_argument(
        "--replay",
        metavar="FILE",
        help="replay a recording of velmo record instead: one instrument per recorded one, its counts at "
        "its rate (needs h5py)",
    )
    return parser


def parse_arguments(argv: Sequence[str] | None, prog: str = "velmo-simulator") -> argparse.Namespace:
    parser = build_parser(prog)
    arguments = parser.parse_args(argv)
    if arguments.seconds is not None and not arguments.seconds >= 0:
        parser.error("--seconds must not be negative")
    if arguments.sensor and arguments.model == "HDA640" and arguments.item_number is None:
        arguments.item_number = ORVALE_ITEM_NUMBER
    return arguments


def simulated(
    model: str = "HDA640",
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


def _simulated(arguments: argparse.Namespace) -> SimulatedInstrument:
    return simulated(
        arguments.model,
        item_number=arguments.item_number,
        serial_number=arguments.serial_number,
        baud_rate=arguments.baud_rate,
        firmware=arguments.firmware,
        sensor=arguments.sensor,
        auto_teds=arguments.auto_teds,
        signal=arguments.signal,
    )


def _replayed(path: str) -> list[SimulatedInstrument]:
    missing = h5py_missing()
    if missing is not None:
        raise ImportError(missing)
    from .replay import replay

    return replay(path)


def main(argv: Sequence[str] | None = None, prog: str = "velmo-simulator") -> int:
    """Run as the ``velmo-simulator`` command, or under ``prog`` for ``python -m`` and ``velmo simulate``."""
    arguments = parse_arguments(argv, prog)
    stop = threading.Event()
    interrupted = threading.Event()

    def on_signal(number: int) -> None:
        if number == signal.SIGINT:
            interrupted.set()
        stop.set()

    # Set before the port is announced, so a script may signal as soon as it has read the
    # first line; put back afterwards for a caller that goes on.
    with interrupts.calling(on_signal, (signal.SIGINT, signal.SIGTERM)):
        try:
            simulators = _replayed(arguments.replay) if arguments.replay else [_simulated(arguments)]
        except (ValueError, ImportError, OSError) as error:
            print(f"{prog}: error: {error}", file=sys.stderr)
            return 2
        with contextlib.ExitStack() as stack:
            for simulator in simulators:
                stack.enter_context(simulator)
                print(simulator.port, flush=True)
            for simulator in simulators:
                instrument = simulator.instrument
                serving = (
                    f"Replaying the recorded {instrument.model}, serial number {instrument.instrument_serial}, at "
                    f"{instrument.stream_rate:g} SPS"
                    if arguments.replay
                    else f"Serving a simulated {instrument.model}, serial number {instrument.instrument_serial}, "
                    f"at {simulator.baud_rate} baud; every channel measures {arguments.signal!r}"
                )
                print(f"{serving}. Reach it with:", file=sys.stderr)
                print(f"  velmo read --port {simulator.port} --model {instrument.model}", file=sys.stderr)
            ending = "Ctrl-C to stop." if arguments.seconds is None else f"Stopping in {arguments.seconds:g} s."
            print(ending, file=sys.stderr, flush=True)
            stop.wait(arguments.seconds)
    return INTERRUPTED if interrupted.is_set() else 0
