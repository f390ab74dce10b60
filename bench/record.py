"""Recording benchmark: four simulated instruments, each in its own process, into one file.

    python bench/record.py [--seconds 60] [--kill-after 10]

One HDA640 Zeph Orvale at 38 400 SPS and an RPX310, a TMV520 and a GLS870 at 1 300 SPS.

A run of `--seconds`: nothing dropped; the counts in the file are the simulators' own
record of what they sent, in order; the recorder process's share of one core; its
resident memory after the first 5 s; the file's size against 12 bytes a sample.

A recorder killed with SIGKILL after `--kill-after` seconds: the file loads and holds
every sample each simulator had sent 1.5 s before the kill.
"""

import argparse
import array
import multiprocessing
import os
import signal
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import velmo  # noqa: E402
from velmo.acquisition import resolve_rate  # noqa: E402
from velmo.recording import Recorder, load  # noqa: E402
from velmo.simulator import ORVALE_ITEM_NUMBER, ZERO_COUNT, SimulatedInstrument, ramp  # noqa: E402

# model, item number, rate, samples per second
INSTRUMENTS = (
    ("HDA640", ORVALE_ITEM_NUMBER, "SPS_38400", 38400),
    *((model, None, "SPS_1300", 1300) for model in ("RPX310", "TMV520", "GLS870")),
)
MEMORY_SETTLED_AFTER = 5.0
KEPT_BEFORE_KILL = 1.5
BYTES_PER_SAMPLE = 12


def serve(connection, model, item_number, sps, serial):
    """Child process: an instrument whose neighbouring counts always differ. Answers "sent"
    with how many packets it has sent so far, and "stop" with the counts of all of them."""
    step = (3 << 16) if sps == 38400 else (3 << 8)
    with SimulatedInstrument(model, item_number=item_number, instrument_serial=serial) as simulator:
        simulator.instrument.set_signal(0, ramp(ZERO_COUNT, step * sps))
        connection.send(simulator.port)
        while connection.recv() == "sent":
            connection.send(len(simulator.streamed_counts))
        connection.send_bytes(array.array("I", simulator.streamed_counts).tobytes())


class Simulators:
    """The four instruments, each served by its own process."""

    def __init__(self):
        context = multiprocessing.get_context("spawn")
        self.links, self.processes, self.ports = [], [], []
        for serial, (model, item_number, _rate, sps) in enumerate(INSTRUMENTS, start=20240001):
            ours, theirs = context.Pipe()
            process = context.Process(target=serve, args=(theirs, model, item_number, sps, serial))
            process.start()
            self.links.append(ours)
            self.processes.append(process)
            self.ports.append(ours.recv())

    def sent(self):
        for link in self.links:
            link.send("sent")
        return [link.recv() for link in self.links]

    def stop(self):
        records = []
        for link, process in zip(self.links, self.processes):
            link.send("stop")
            record = array.array("I")
            record.frombytes(link.recv_bytes())
            records.append(record)
            process.join()
        return records


def open_devices(ports):
    return [velmo.open_device(port, models=[model]) for port, (model, *_rest) in zip(ports, INSTRUMENTS)]


def set_rates(devices):
    """Each instrument's own rate, kept by the recorder (rate=None)."""
    for device, (model, _item, rate, _sps) in zip(devices, INSTRUMENTS):
        device.set_sampling_rate(resolve_rate(model, rate))


def resident_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def run(seconds, folder):
    simulators = Simulators()
    devices = open_devices(simulators.ports)
    set_rates(devices)
    path = os.path.join(folder, "run.h5")
    memory = []
    before = os.times()
    with Recorder(path, devices) as recorder:
        start = time.monotonic()
        while (elapsed := time.monotonic() - start) < seconds:
            time.sleep(1.0)
            memory.append((elapsed, resident_kib()))
    after = os.times()
    dropped = sum(instrument.dropped for instrument in recorder.stats.values())
    recording = load(path)
    for device in devices:
        device.disconnect()
    sent = simulators.stop()
    busy = (after.user + after.system - before.user - before.system) / (after.elapsed - before.elapsed)
    total = 0
    print(f"{seconds:g} s of four instruments into one file: {dropped} dropped")
    for (model, _item, _rate, sps), record_sent, instrument in zip(INSTRUMENTS, sent, recording.instruments.values()):
        counts = instrument.counts
        total += len(counts)
        same = array.array("I", counts.tobytes()) == record_sent[: len(counts)]
        print(f"  {instrument.name} at {sps} SPS: sent {len(record_sent)}, in the file {len(counts)}, "
              f"gaps {len(instrument.gaps)}, equal to what was sent, in order: {same}")
    settled = [kib for elapsed, kib in memory if elapsed >= MEMORY_SETTLED_AFTER]
    size = os.path.getsize(path)
    print(f"  recorder process: {busy * 100:.1f} % of one core; resident memory after {MEMORY_SETTLED_AFTER:g} s "
          f"{min(settled)} to {max(settled)} KiB")
    print(f"  file {size} bytes for {total} samples: {size / total:.2f} bytes a sample "
          f"({(size / (total * BYTES_PER_SAMPLE) - 1) * 100:+.1f} % against {BYTES_PER_SAMPLE})")


def record_until_killed(ports, path, ready):
    """Child process: records the instruments until it is killed."""
    devices = open_devices(ports)
    with Recorder(path, devices):
        ready.set()
        while True:
            time.sleep(1)


def crash(after, folder):
    simulators = Simulators()
    devices = open_devices(simulators.ports)
    set_rates(devices)
    for device in devices:
        device.disconnect()
    path = os.path.join(folder, "crash.h5")
    context = multiprocessing.get_context("spawn")
    ready = context.Event()
    recorder = context.Process(target=record_until_killed, args=(simulators.ports, path, ready))
    recorder.start()
    ready.wait()
    time.sleep(after - KEPT_BEFORE_KILL)
    sent_before = simulators.sent()
    time.sleep(KEPT_BEFORE_KILL)
    os.kill(recorder.pid, signal.SIGKILL)
    recorder.join()
    sent = simulators.stop()
    recording = load(path)
    print(f"recorder killed (SIGKILL) after {after:g} s; file closed: {recording.closed}")
    for (model, _item, _rate, sps), before, record_sent, instrument in zip(
        INSTRUMENTS, sent_before, sent, recording.instruments.values()
    ):
        counts = instrument.counts
        same = array.array("I", counts.tobytes()) == record_sent[: len(counts)]
        print(f"  {instrument.name}: sent {before} up to {KEPT_BEFORE_KILL:g} s before the kill, in the file "
              f"{len(counts)} ({(len(counts) - before) / sps:+.2f} s of samples beyond), all of them kept: "
              f"{len(counts) >= before}, equal to what was sent, in order: {same}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--kill-after", type=float, default=10)
    arguments = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        run(arguments.seconds, folder)
        crash(arguments.kill_after, folder)


if __name__ == "__main__":
    main()
