"""Acquisition soak: a minute at 38 400 SPS from a simulated instrument in its own process.

    python bench/soak.py [--seconds 60] [--stall 10] [--buffer-seconds 5]

Two runs. A consumer that reads every 0.5 s must receive every packet the instrument sent,
in order, with nothing dropped or invalid and a flat resident memory. A consumer that stops
reading for `--stall` seconds must lose exactly the samples the queue could not hold: one
contiguous run, counted as dropped, and nothing else.
"""

import argparse
import array
import logging
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import velmo_device_communication as vdc  # noqa: E402
from velmo.acquisition import Acquisition  # noqa: E402
from velmo.simulator import ORVALE_ITEM_NUMBER  # noqa: E402
from velmo.simulator.discovery import port_record, visible_ports  # noqa: E402
from velmo.simulator.process import SimulatorProcess  # noqa: E402

RATE = 38400
READ_EVERY = 0.5
MEMORY_SETTLED_AFTER = 5.0


def resident_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def run(seconds, stall, buffer_seconds):
    # Three steps of the 16-bit sample per packet: neighbouring counts always differ.
    simulator = SimulatorProcess("HDA640", counts_per_second=(3 << 16) * RATE, item_number=ORVALE_ITEM_NUMBER)
    port = simulator.port
    with visible_ports(port_record(port, "Simulated VELMO HDA640")):
        [device] = vdc.VelmoSerialScanner.discover_devices(["HDA640"], [port])
    # Room for every count, touched up front, so that keeping them does not count as growth.
    delivered = array.array("I", [0]) * (RATE * (seconds + 5))
    length, memory, first_after_stall = 0, [], None
    stall_from, stall_until = seconds / 3, seconds / 3 + stall
    cpu_before = os.times()
    with Acquisition(device, rate="SPS_38400", buffer_seconds=buffer_seconds) as acquisition:
        start = time.monotonic()
        while (elapsed := time.monotonic() - start) < seconds:
            time.sleep(READ_EVERY)
            if stall and stall_from <= elapsed < stall_until:
                continue
            chunk = acquisition.read(timeout=0)
            if chunk is None:
                continue
            if stall and first_after_stall is None and elapsed >= stall_until:
                first_after_stall = len(chunk)
            delivered[length : length + len(chunk)] = chunk.counts
            length += len(chunk)
            memory.append((elapsed, resident_kib()))
    for chunk in acquisition:  # the last read before the stream was switched off
        delivered[length : length + len(chunk)] = chunk.counts
        length += len(chunk)
    cpu = os.times()
    device.disconnect()
    sent = simulator.close()

    stats = acquisition.stats
    delivered = delivered[:length]
    # Drops take the oldest queued samples, so they leave one gap in the sequence.
    gap = next((i for i in range(length) if delivered[i] != sent[i]), length)
    ok = (
        delivered[:gap] == sent[:gap]
        and delivered[gap:] == sent[gap + stats.dropped : stats.received]
        and stats.received == length + stats.dropped
    )
    settled = [kib for elapsed, kib in memory if elapsed >= MEMORY_SETTLED_AFTER]
    busy = (cpu.user + cpu.system - cpu_before.user - cpu_before.system) / (cpu.elapsed - cpu_before.elapsed)
    print(f"  packets sent {len(sent)}, received {stats.received}, delivered {length}, dropped {stats.dropped}, "
          f"lost {stats.lost}, invalid {stats.invalid}, discarded while stopping {stats.discarded_at_stop}, "
          f"unread {len(sent) - stats.received - stats.discarded_at_stop}")
    print(f"  sequence intact apart from the counted drops: {ok}; achieved {stats.rate:.0f} SPS; "
          f"consumer process {busy * 100:.1f} % of a core")
    if stall:
        print(f"  queue capacity {round(buffer_seconds * RATE)} samples; first read after the stall "
              f"{first_after_stall} samples")
    print(f"  resident memory after {MEMORY_SETTLED_AFTER:g} s: {min(settled)} to {max(settled)} KiB")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--stall", type=float, default=10)
    parser.add_argument("--buffer-seconds", type=float, default=5)
    arguments = parser.parse_args()
    logging.basicConfig(level=logging.WARNING, format="  %(name)s %(levelname)s: %(message)s")
    print(f"consumer reading every {READ_EVERY} s for {arguments.seconds:g} s:")
    run(int(arguments.seconds), 0, arguments.buffer_seconds)
    print(f"consumer that stops reading for {arguments.stall:g} s:")
    run(int(arguments.seconds), arguments.stall, arguments.buffer_seconds)


if __name__ == "__main__":
    main()
