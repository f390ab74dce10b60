"""Parallel scan against the module's sequential discovery: three silent ports and one instrument.

    python bench/scan_parallel.py [--silent N]

A silent port costs each probe its time-outs, so the sequential scan pays them
port after port while the parallel one pays them once. Prints both wall times
and their ratio, measured in this run.
"""

from __future__ import annotations

import argparse
import contextlib
import logging
import time
from collections.abc import Callable

import velmo_device_communication as vdc
from velmo import discovery
from velmo.simulator import SimulatedInstrument


def timed_scan(run: Callable[[], list[vdc.VelmoDevice]]) -> tuple[float, list[str]]:
    start = time.perf_counter()
    devices = run()
    seconds = time.perf_counter() - start
    found = [f"{device.get_model_number()} on {device.communication_interface.comport}" for device in devices]
    for device in devices:
        device.disconnect()
    return seconds, found


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--silent", type=int, default=3, help="silent ports (default: %(default)s)")
    arguments = parser.parse_args()
    # Every silent probe logs its time-outs; they are expected here.
    logging.getLogger("velmo_device_communication").setLevel(logging.CRITICAL + 1)
    with contextlib.ExitStack() as stack:
        simulators = [stack.enter_context(SimulatedInstrument("HDA640")) for _ in range(arguments.silent + 1)]
        for simulator in simulators[1:]:
            simulator.silent = True
        for simulator in simulators:
            stack.enter_context(simulator.visible_to_discovery())
        ports = [simulator.port for simulator in simulators]
        sequential, found_sequential = timed_scan(lambda: vdc.VelmoSerialScanner.discover_devices(None, ports))
        parallel, found_parallel = timed_scan(lambda: discovery.scan(ports))
    print(f"{arguments.silent} silent ports and one instrument, all models:")
    print(f"  sequential (VelmoSerialScanner.discover_devices): {sequential:6.1f} s  found {found_sequential}")
    print(f"  parallel   (velmo.discovery.scan):                {parallel:6.1f} s  found {found_parallel}")
    print(f"  ratio sequential / parallel: {sequential / parallel:.2f}")


if __name__ == "__main__":
    main()
