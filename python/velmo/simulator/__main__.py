"""Serve a simulated instrument on a pseudo-terminal until interrupted.

The first line printed is the port path, for scripts that start this program.
"""

from __future__ import annotations

import argparse
import signal
import sys
import threading

from .protocol import MODELS, ORVALE_ITEM_NUMBER
from .simulated import SimulatedInstrument
from .teds import TEDSSensor


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="python -m velmo.simulator", description=__doc__)
    parser.add_argument("--model", choices=MODELS, default="HDA640")
    parser.add_argument("--item-number", help="item number the instrument reports (up to 10 ASCII characters)")
    parser.add_argument("--baud-rate", type=int, help="line rate it answers at (default: the model's own)")
    parser.add_argument(
        "--firmware",
        default="4.3.2",
        help="firmware version major.minor.patch; before 4.3.2 only the old AutoTEDS commands are known",
    )
    parser.add_argument(
        "--sensor",
        action="store_true",
        help=f"attach a TEDS sensor (an HDA640 then reports item number {ORVALE_ITEM_NUMBER} "
        "unless --item-number is given)",
    )
    parser.add_argument("--auto-teds", action="store_true", help="start with AutoTEDS switched on")
    arguments = parser.parse_args(argv)
    if arguments.sensor and arguments.model == "HDA640" and arguments.item_number is None:
        arguments.item_number = ORVALE_ITEM_NUMBER
    try:
        arguments.firmware = tuple(int(part) for part in arguments.firmware.split("."))
    except ValueError:
        parser.error("--firmware takes three numbers such as 4.3.2")
    if len(arguments.firmware) != 3:
        parser.error("--firmware takes three numbers such as 4.3.2")
    return arguments


def main(argv: list[str] | None = None) -> int:
    arguments = parse_arguments(argv)
    stop = threading.Event()
    # Both end serving the same way; set before the port is announced, so a
    # script may signal as soon as it has read the first line.
    for stop_signal in (signal.SIGINT, signal.SIGTERM):
        signal.signal(stop_signal, lambda *_: stop.set())
    with SimulatedInstrument(
        arguments.model,
        arguments.item_number,
        arguments.firmware,
        arguments.baud_rate,
        sensor=TEDSSensor() if arguments.sensor else None,
        auto_teds=arguments.auto_teds,
        auto_teds_v1=arguments.auto_teds,
    ) as simulator:
        print(simulator.port, flush=True)
        print(f"{simulator!r}; Ctrl-C to stop", file=sys.stderr, flush=True)
        stop.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main())
