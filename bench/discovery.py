"""Discovery in the field: a scan of silent ports and instruments, and opening each model.

    python bench/discovery.py [--silent N] [--runs N] [--no-thorough]

The goals: ``velmo.discovery.scan()`` over 8 silent pseudo-terminals plus 4
simulated instruments, one of each model, finds all 4 in at most 2 s of wall
time; ``velmo.open_device(port)`` without ``models`` opens each model in at most
0.5 s. The TMV520 answers at 115 200 baud, the last rate tried: the worst case.
Prints the median of the runs and, measured in the same run, the thorough
probe (the module's time-outs and retries) with the ratio.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import statistics
import time
from collections.abc import Callable

import velmo
from velmo import discovery
from velmo.simulator import SimulatedInstrument
from velmo.simulator.ptyline import open_pty

SCAN_GOAL = 2.0
OPEN_GOAL = 0.5
RATES = {"HDA640": 2_000_000, "RPX310": 320_000, "TMV520": 115_200, "GLS870": 320_000}


def median_seconds(runs: int, action: Callable[[], object]) -> tuple[float, object]:
    times, result = [], None
    for _ in range(runs):
        start = time.perf_counter()
        result = action()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def scan_once(ports: list[str], thorough: bool) -> list[str]:
    devices = discovery.scan(ports, thorough=thorough)
    found = [device.get_model_number() for device in devices]
    for device in devices:
        device.disconnect()
    return found


def open_once(port: str, thorough: bool) -> str:
    with velmo.open_device(port, thorough=thorough) as device:
        return device.get_model_number()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--silent", type=int, default=8, help="silent pseudo-terminals (default: %(default)s)")
    parser.add_argument("--runs", type=int, default=5, help="runs of each measurement (default: %(default)s)")
    parser.add_argument("--no-thorough", action="store_true", help="skip the thorough probe (about a minute)")
    arguments = parser.parse_args()
    modes = [False] if arguments.no_thorough else [False, True]
    with contextlib.ExitStack() as stack:
        silent = [open_pty() for _ in range(arguments.silent)]
        for master, _ in silent:
            stack.callback(os.close, master)
        simulators = {
            model: stack.enter_context(SimulatedInstrument(model, baud_rate=rate)) for model, rate in RATES.items()
        }
        ports = [path for _, path in silent] + [simulator.port for simulator in simulators.values()]
        print(f"scan of {arguments.silent} silent ptys and {len(simulators)} instruments ({', '.join(RATES)}):")
        scans = {}
        for thorough in modes:
            runs = arguments.runs if not thorough else 1
            seconds, found = median_seconds(runs, lambda: scan_once(ports, thorough))
            scans[thorough] = seconds
            name = "thorough" if thorough else "quick"
            print(f"  {name:8} {seconds:6.2f} s (median of {runs})  found {found}")
        verdict = "met" if scans[False] <= SCAN_GOAL else "MISSED"
        print(f"  goal <= {SCAN_GOAL} s: {verdict}" + (f"; thorough / quick {scans[True] / scans[False]:.1f}" if True in scans else ""))
        print("open_device(port), no models:")
        for model, simulator in simulators.items():
            opened = {}
            for thorough in modes:
                runs = arguments.runs if not thorough else 1
                opened[thorough], found = median_seconds(runs, lambda: open_once(simulator.port, thorough))
                assert found == model
            line = f"  {model} at {simulator.baud_rate:>7} baud: {opened[False]:5.3f} s"
            line += " (goal met)" if opened[False] <= OPEN_GOAL else " (goal MISSED)"
            if True in opened:
                line += f"; thorough {opened[True]:5.2f} s, {opened[True] / opened[False]:.0f} times longer"
            print(line)


if __name__ == "__main__":
    main()
