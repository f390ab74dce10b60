"""Taps benchmark: one acquisition per instrument, several consumers of each.

    python bench/taps.py [--seconds 60] [--side-seconds 30]

Recording with a live view: 16 instruments, each simulated in its own process with a
serial number of its own - one HDA640 Zeph Orvale at 38 400 SPS, 15 RPX310, TMV520 and
GLS870 at 1 300 SPS - recorded into one file for `--seconds`, with the live view of
`velmo monitor` (rendered four times a second) and one more tap each that a thread reads
as numpy arrays. Reported: dropped and lost samples, the file's counts against what each
simulator sent, and the recording process's share of one core.

The acquisition side: 4 instruments (the same Orvale and three at 1 300 SPS) with three
taps each, read four times a second by consumers that only take the chunks; the process's
share of one core over `--side-seconds`, with the reader parsing natively and, for
comparison, handing bytes over to Python (a converter that is not exactly an ADCConverter).

Copies of the bytes before they are parsed, by reader.
"""

import argparse
import array
import contextlib
import io
import multiprocessing
import os
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import velmo  # noqa: E402
import velmo_device_communication as vdc  # noqa: E402
from rich.console import Console  # noqa: E402

from bench.record import serve  # noqa: E402
from velmo.acquisition import Acquisition, resolve_rate  # noqa: E402
from velmo.cli.capture import _monitor_view, _Source, _Summary  # noqa: E402
from velmo.recording import Recorder, load  # noqa: E402
from velmo.simulator import ORVALE_ITEM_NUMBER  # noqa: E402

ORVALE = ("HDA640", ORVALE_ITEM_NUMBER, "SPS_38400", 38400)
SLOW_MODELS = ("RPX310", "TMV520", "GLS870")
VIEW_INTERVAL = 0.25


def instruments(count):
    """The Orvale, then instruments at 1 300 SPS, the three models in turn."""
    return [ORVALE] + [(SLOW_MODELS[index % 3], None, "SPS_1300", 1300) for index in range(count - 1)]


class Simulators:
    """One process per instrument; `stop` returns the counts each one sent."""

    def __init__(self, specs):
        context = multiprocessing.get_context("spawn")
        self.specs, self.links, self.processes, self.ports = specs, [], [], []
        for serial, (model, item_number, _rate, sps) in enumerate(specs, start=20240001):
            ours, theirs = context.Pipe()
            process = context.Process(target=serve, args=(theirs, model, item_number, sps, serial))
            process.start()
            self.links.append(ours)
            self.processes.append(process)
        self.ports = [link.recv() for link in self.links]

    def stop(self):
        records = []
        for link, process in zip(self.links, self.processes):
            link.send("stop")
            record = array.array("I")
            record.frombytes(link.recv_bytes())
            records.append(record)
            process.join()
        return records


def open_devices(simulators):
    devices = []
    for port, (model, _item, rate, _sps) in zip(simulators.ports, simulators.specs):
        device = velmo.open_device(port, models=[model])
        device.set_sampling_rate(resolve_rate(model, rate))
        devices.append(device)
    return devices


def core_share(before, after):
    return (after.user + after.system - before.user - before.system) / (after.elapsed - before.elapsed)


def thread_times():
    """CPU seconds per thread of this process, by the Python thread's name (Linux only);
    the native readers' threads, which Python does not know, together."""
    names = {thread.native_id: thread.name.split(" ")[0] for thread in threading.enumerate()}
    names[threading.main_thread().native_id] = "live view (main thread)"
    ticks = os.sysconf("SC_CLK_TCK")
    times = {}
    with contextlib.suppress(OSError):
        for tid in os.listdir("/proc/self/task"):
            with contextlib.suppress(OSError), open(f"/proc/self/task/{tid}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
                times[int(tid)] = (names.get(int(tid), "native readers"), (int(fields[11]) + int(fields[12])) / ticks)
    return times


def shares_by_thread(before, after, seconds):
    shares = {}
    for tid, (name, spent) in after.items():
        shares[name] = shares.get(name, 0.0) + (spent - before.get(tid, (name, 0.0))[1]) / seconds
    return ", ".join(f"{name} {share * 100:.1f} %" for name, share in sorted(shares.items(), key=lambda item: -item[1]))


def skipped_by_the_simulator(counts, sps):
    """Samples a simulator never sent, told from its ramp: its counts rise one step a sample."""
    step = (3 << 16) if sps == 38400 else (3 << 8)
    return sum((after - before) % (1 << 32) // step - 1 for before, after in zip(counts, counts[1:]))


class Consumers:
    """One thread that reads its taps every VIEW_INTERVAL until stopped; `work(chunk)` for each chunk."""

    def __init__(self):
        self.stopped = threading.Event()
        self.taps = []
        self.samples = 0
        self.thread = threading.Thread(target=self.consume, name="numpy-taps", daemon=True)

    def add(self, tap, work):
        self.taps.append((tap, work))

    def start(self):
        self.thread.start()

    def consume(self):
        while not self.stopped.wait(VIEW_INTERVAL):
            self.take_all()
        self.take_all()

    def take_all(self):
        for tap, work in self.taps:
            with contextlib.suppress(vdc.VelmoConnectionError):
                while (chunk := tap.read(timeout=0)) is not None:
                    work(chunk)
                    self.samples += len(chunk)

    def stop(self):
        self.stopped.set()
        self.thread.join()


def numpy_work(chunk):
    loads, counts = chunk.to_numpy()
    return float(loads.mean()), int(counts.max())


def record_with_a_view(count, seconds, folder):
    specs = instruments(count)
    simulators = Simulators(specs)
    devices = open_devices(simulators)
    path = os.path.join(folder, "run.h5")
    view = Console(file=io.StringIO(), width=200)
    consumers = Consumers()
    with contextlib.ExitStack() as streams:
        acquisitions = [streams.enter_context(Acquisition(device)) for device in devices]
        sources = [
            _Source(device, f"{model} {serial}", 0, "N", acquisition)
            for serial, (device, (model, *_rest), acquisition) in enumerate(
                zip(devices, specs, acquisitions), start=20240001
            )
        ]
        summaries = [_Summary() for _ in sources]
        numpy_taps = [acquisition.tap(name="numpy") for acquisition in acquisitions]
        for tap in numpy_taps:
            consumers.add(tap, numpy_work)
        consumers.start()  # one thread reads every numpy tap
        with Recorder(path, acquisitions) as recorder:
            start, before, threads_before = time.monotonic(), os.times(), thread_times()
            while time.monotonic() - start < seconds:
                time.sleep(VIEW_INTERVAL)
                for source, summary in zip(sources, summaries):  # the live view: the first tap
                    while (chunk := source.acquisition.read(timeout=0)) is not None:
                        summary.add(chunk.loads)
                view.print(_monitor_view(0, sources, summaries))
            after, threads = os.times(), shares_by_thread(threads_before, thread_times(), time.monotonic() - start)
            streams.close()  # streams off first: the file then holds every sample up to the stop
        consumers.stop()
    recording = load(path)
    sent = simulators.stop()
    stats = recorder.stats
    dropped = sum(instrument.dropped for instrument in stats.values()) + sum(
        tap.stats.dropped + acquisition.stats.dropped for tap, acquisition in zip(numpy_taps, acquisitions)
    )
    lost = sum(acquisition.stats.lost for acquisition in acquisitions)
    equal = []
    skipped = 0
    for record_sent, instrument, (_model, _item, _rate, sps) in zip(sent, recording.instruments.values(), specs):
        # The recorder's tap came after the start: the file's samples are numbered from there.
        counts, first = array.array("I", instrument.counts.tobytes()), int(instrument.sample_numbers()[0])
        equal.append(counts == record_sent[first : first + len(counts)])
        skipped += skipped_by_the_simulator(record_sent.tolist(), sps)
    in_file = sum(len(instrument.counts) for instrument in recording.instruments.values())
    before_the_recorder = sum(int(instrument.sample_numbers()[0]) for instrument in recording.instruments.values())
    discarded = sum(acquisition.stats.discarded_at_stop for acquisition in acquisitions)
    print(f"{count} instruments recorded for {seconds:g} s with a live view and a numpy tap each")
    print(f"  dropped {dropped} (every tap); lost {lost}, where the simulators skipped {skipped} (a simulator "
          "short of CPU takes no sample for a while and goes on without catching up)")
    print(f"  {in_file} samples in the file, equal to what each simulator sent, in order: {sum(equal)} of "
          f"{len(equal)} instruments")
    unread = sum(len(record) for record in sent) - in_file - before_the_recorder - discarded
    print(f"  sent {sum(len(record) for record in sent)}: the file's, {before_the_recorder} streamed before the "
          f"recorder's taps were made, {discarded} discarded while the streams were switched off and {unread} on "
          "the line at the stop")
    print(f"  numpy taps took {consumers.samples} samples; recording process: {core_share(before, after) * 100:.1f} % "
          "of one core while it recorded")
    print(f"  while recording, by thread: {threads}")
    for device in devices:
        device.disconnect()


class Subclassed(vdc.ADCConverter):
    """The same calibration, but not exactly the module's class: the reader hands bytes over."""


def acquisition_side(seconds, natively):
    specs = [ORVALE] + [(model, None, "SPS_1300", 1300) for model in SLOW_MODELS]
    simulators = Simulators(specs)
    devices = open_devices(simulators)
    consumers = Consumers()
    with contextlib.ExitStack() as streams:
        acquisitions = []
        for device in devices:
            converter = None
            if not natively:
                own = device.get_adc_converter()
                converter = Subclassed()
                for name in dir(own):
                    if name.startswith("direction_") or name in ("number_of_directions", "midpoint_offset"):
                        setattr(converter, name, getattr(own, name))
            acquisitions.append(streams.enter_context(Acquisition(device, converter=converter, describe=False)))
        for acquisition in acquisitions:
            for tap in (acquisition.first_tap, acquisition.tap(name="b"), acquisition.tap(name="c")):
                consumers.add(tap, lambda chunk: None)
        consumers.start()
        time.sleep(2.0)  # started and settled
        before = os.times()
        time.sleep(seconds)
        after = os.times()
        parsing = all(acquisition._port.parsing for acquisition in acquisitions)
    consumers.stop()
    simulators.stop()
    dropped = sum(acquisition.stats.dropped for acquisition in acquisitions)
    reader = "native reader parsing" if parsing else "native reader handing bytes to Python"
    print(f"  {reader}: {core_share(before, after) * 100:.2f} % of one core; dropped {dropped}, "
          f"lost {sum(acquisition.stats.lost for acquisition in acquisitions)}")
    for device in devices:
        device.disconnect()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--instruments", type=int, default=16)
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--side-seconds", type=float, default=30)
    arguments = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        record_with_a_view(arguments.instruments, arguments.seconds, folder)
    print(f"4 instruments, 3 taps each, for {arguments.side_seconds:g} s:")
    acquisition_side(arguments.side_seconds, natively=True)
    acquisition_side(arguments.side_seconds, natively=False)
    print("Copies of the bytes before they are parsed: native reader parsing 0 (read into its buffer, parsed "
          "there); handing bytes over 2 (into one bytes object per hand-over, then joined to the previous "
          "hand-over's incomplete packet); pyserial's polled reader as the module's read_buffer_data gives them.")


if __name__ == "__main__":
    main()
