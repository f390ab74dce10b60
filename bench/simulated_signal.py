"""Does a composed signal cost the simulator no more than the 38 400 SPS stream allows?

    python bench/simulated_signal.py [--seconds S]

Runs ``python -m velmo.simulator`` in its own process as the HDA640 Zeph Orvale
(the variant with 38 400 SPS), once serving a constant and once the command
line's load cycle with noise, and streams each for S seconds through
``Acquisition``. Prints the samples per second received against the 38 400 the
rate promises, the invalid packets, the simulator's CPU time per second, the
cost of one signal value measured here, and the ratios, all from this run.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import time
import timeit

import velmo
from velmo.acquisition import Acquisition
from velmo.simulator.signals import COMMAND_LINE_SIGNAL, parse_signal

RATE = 38_400
SIGNALS = {"constant": "constant:100", "cycle + noise": COMMAND_LINE_SIGNAL}


def cpu_seconds(pid: int) -> float:
    """User and system time of a process so far."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def stream_from(signal: str, seconds: float) -> tuple[float, int, int, float, float, float]:
    """(samples per second, invalid, dropped, simulator CPU per second, lowest load, highest load)."""
    command = [sys.executable, "-m", "velmo.simulator", "--sensor", "--signal", signal]
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True) as simulator:
        try:
            assert simulator.stdout is not None
            port = simulator.stdout.readline().strip()
            with velmo.open_device(port, models=["HDA640"]) as device:
                low, high = float("inf"), float("-inf")
                with Acquisition(device, rate="SPS_38400") as acquisition:
                    cpu_before = cpu_seconds(simulator.pid)
                    began = time.monotonic()
                    while time.monotonic() - began < seconds:
                        chunk = acquisition.read(timeout=0.2)
                        if chunk is not None and len(chunk):
                            low, high = min(low, min(chunk.loads)), max(high, max(chunk.loads))
                    cpu = (cpu_seconds(simulator.pid) - cpu_before) / (time.monotonic() - began)
                stats = acquisition.stats
                return stats.rate, stats.invalid, stats.dropped, cpu, low, high
        finally:
            simulator.terminate()
            simulator.wait(timeout=30)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=10.0, help="length of each stream (default: %(default)s)")
    arguments = parser.parse_args()
    print(f"{RATE} SPS from a simulator in its own process, {arguments.seconds:g} s each:")
    results = {}
    for name, text in SIGNALS.items():
        per_value = timeit.timeit("signal(12.345)", globals={"signal": parse_signal(text)}, number=200_000) / 200_000
        rate, invalid, dropped, cpu, low, high = results[name] = stream_from(text, arguments.seconds)
        print(
            f"  {name:14} {rate:8.1f} samples/s ({rate / RATE:.2%} of {RATE}), invalid {invalid}, dropped {dropped}; "
            f"loads {low:g} to {high:g}; simulator CPU {cpu:.0%} of a core; one value {per_value * 1e6:.2f} us"
        )
    constant, composed = results["constant"], results["cycle + noise"]
    print(f"  ratio cycle + noise / constant: samples {composed[0] / constant[0]:.3f}, simulator CPU {composed[3] / constant[3]:.2f}")


if __name__ == "__main__":
    main()
