"""Does the watcher find every press cycle at 38 400 SPS, in time, for little CPU?

    python bench/events.py [--seconds S]

Runs ``python -m velmo.simulator`` in its own process as the HDA640 Zeph Orvale at
38 400 SPS serving press cycles every 2.5 s (every 4th one bad, peaking at 60 %),
watches them with a rising trigger, a pre-trigger of 0.2 s and limits, and prints:
cycles found against cycles served, events with a complete pre-trigger and no missing
sample, verdicts against the known bad cycles, the latency from the arrival of the
crossing sample's read to the trigger callback (median, 99th percentile) and from the
arrival of an event's last sample to its completion callback, and the CPU share of
one core spent in the watcher's evaluation.
"""

from __future__ import annotations

import argparse
import statistics
import subprocess
import sys
import time

import velmo
from velmo.acquisition import Acquisition
from velmo.events import Level, LimitSet, PeakBox, Watcher

PERIOD = 2.5
SIGNAL = "press:peak=500,rise=0.5,hold=0.3,release=0.5,rest=1.2,jitter=0.02,bad_every=4,bad_peak=0.6+noise:sigma=1"
PRE, POST = 0.2, 1.5
# At 38 400 SPS the instrument sends 16-bit counts: 64 load units a step on the simulator's
# calibration, so the band must be wider than a step for the edge to fire once.
HYSTERESIS = 80.0


def percentile(values: list[float], share: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, round(share * (len(ordered) - 1)))]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=60.0, help="length of the run (default: %(default)s)")
    arguments = parser.parse_args()
    command = [sys.executable, "-m", "velmo.simulator", "--sensor", "--signal", SIGNAL]
    trigger_latency: list[float] = []
    done_latency: list[float] = []
    events = []
    busy = 0.0
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True) as simulator:
        try:
            assert simulator.stdout is not None
            port = simulator.stdout.readline().strip()
            with velmo.open_device(port, models=["HDA640"]) as device:
                with Acquisition(device, rate="SPS_38400") as acquisition:
                    limits = LimitSet((PeakBox((400, 600), (0.3, 1.0)),))
                    watcher = Watcher(
                        acquisition.first_tap,  # type: ignore[arg-type]
                        Level(above=100, hysteresis=HYSTERESIS),
                        pre=PRE,
                        post=POST,
                        limits=limits,
                        on_trigger=lambda _number, arrived: trigger_latency.append(time.monotonic() - arrived),
                    )
                    began = time.monotonic()
                    while time.monotonic() - began < arguments.seconds:
                        chunk = watcher.tap.read(timeout=0.2)
                        if chunk is None:
                            continue
                        cpu = time.thread_time()
                        completed = watcher.feed(chunk)
                        busy += time.thread_time() - cpu
                        if completed:
                            done_latency.append(time.monotonic() - chunk.arrivals[-1][1])
                            events += completed
                    elapsed = time.monotonic() - began
                    stats = acquisition.stats
        finally:
            simulator.terminate()
            simulator.wait(timeout=30)
    interval = 1 / 38_400
    complete = sum(
        1 for event in events if event.trigger_index == round(PRE / interval) and not event.gaps
        and len(event) == round(PRE / interval) + round(POST / interval) + 1
    )
    # Each event's cycle, counted from the first event's by the trigger times; the bad
    # cycles are every 4th, so their numbers share one remainder modulo 4.
    numbers = [round((event.trigger_time - events[0].trigger_time) / PERIOD) for event in events]
    found = len(set(numbers))
    served = numbers[-1] + 1 if numbers else 0
    failing = [number % 4 for number, event in zip(numbers, events) if event.verdict and not event.verdict.passed]
    remainder = max(set(failing), key=failing.count) if failing else 0
    wrong = sum(
        1 for number, event in zip(numbers, events) if event.verdict is not None and event.verdict.passed == (number % 4 == remainder)
    )
    bad = sum(1 for event in events if event.verdict is not None and not event.verdict.passed)
    print(f"{elapsed:.1f} s at 38 400 SPS: received {stats.received}, dropped {stats.dropped}, lost {stats.lost}")
    print(
        f"  events {len(events)}: {found} distinct cycles of the {served} from the first event to the last "
        f"(one every {PERIOD} s); triggers merged into an event {watcher.merged}, held off {watcher.held_off}"
    )
    print(f"  complete pre-trigger and no missing sample: {complete} of {len(events)}")
    print(f"  failed {bad} (every 4th cycle is bad); verdicts disagreeing with the injected bad cycles: {wrong}")
    print(
        f"  trigger latency: median {statistics.median(trigger_latency) * 1e3:.2f} ms, "
        f"99th percentile {percentile(trigger_latency, 0.99) * 1e3:.2f} ms ({len(trigger_latency)} triggers)"
    )
    print(
        f"  completion latency (last sample's read to the event): median {statistics.median(done_latency) * 1e3:.2f} ms, "
        f"99th percentile {percentile(done_latency, 0.99) * 1e3:.2f} ms"
    )
    print(f"  evaluation CPU: {busy:.3f} s in {elapsed:.1f} s = {busy / elapsed:.2%} of one core")


if __name__ == "__main__":
    main()
