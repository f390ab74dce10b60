"""MQTT publisher benchmark: four simulated instruments, each in its own process, published
with every sample to a Mosquitto broker on loopback by `velmo publish --samples`.

    python bench/publish.py [--seconds 60]

One HDA640 Zeph Orvale at 38 400 SPS and an RPX310, a TMV520 and a GLS870 at 1 300 SPS (the
instruments of bench/record.py). A subscriber in this process takes every samples batch.

Reports: every sample received by the subscriber, in order and without a gap, against what
each simulator sent; the publisher process's share of one core, from when it is publishing
to its exit; the median latency of a sample from its time (t0 + i * interval, on the
publisher's clock, which the subscriber shares) to its arrival at the subscriber, which
bounds from above the latency from its arrival at the publisher.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
sys.path.insert(0, os.path.join(ROOT, "tests"))

import paho.mqtt.client as mqtt  # noqa: E402

from bench.record import INSTRUMENTS, Simulators, open_devices, set_rates  # noqa: E402
from support.mosquitto import Mosquitto  # noqa: E402
from velmo.publish import decode_samples  # noqa: E402

PREFIX = "bench"
TICKS_PER_SECOND = os.sysconf("SC_CLK_TCK")


class Subscriber:
    """Every samples batch of every instrument: per instrument, (first, count) in arrival
    order and each sample's latency."""

    def __init__(self, port):
        self.batches = {}
        self.latencies = []
        self.lock = threading.Lock()
        self.subscribed = threading.Event()
        self.client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2, protocol=mqtt.MQTTv5)
        self.offline = set()
        topics = [(f"{PREFIX}/+/samples", 1), (f"{PREFIX}/+/status", 1)]
        self.client.on_connect = lambda client, *_: client.subscribe(topics)
        self.client.on_subscribe = lambda *_: self.subscribed.set()
        self.client.on_message = self._on_message
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()
        self.subscribed.wait(30)

    def _on_message(self, _client, _userdata, message):
        arrived = time.time()
        if message.topic.endswith("/status"):
            if json.loads(message.payload)["state"] == "offline":
                self.offline.add(message.topic)
            return
        batch = decode_samples(message.payload)
        count = len(batch.loads)
        with self.lock:
            self.batches.setdefault(message.topic.split("/")[1], []).append((batch.first, count))
            self.latencies.extend(arrived - (batch.t0 + i * batch.interval) for i in range(count))

    def close(self):
        self.client.disconnect()
        self.client.loop_stop()


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS_PER_SECOND


def in_order(batches):
    """Samples received; whether the batches' numbers only rise; the samples the numbers skip
    (judged lost on the line by the acquisition); the first number."""
    expected = batches[0][0] if batches else 0
    ordered, skipped = True, 0
    for first, count in batches:
        ordered = ordered and first >= expected
        skipped += max(0, first - expected)
        expected = first + count
    return sum(count for _first, count in batches), ordered, skipped, batches[0][0] if batches else None


def run(seconds, folder):
    broker = Mosquitto(os.path.join(folder, "mosquitto")).start()
    simulators = Simulators()
    devices = open_devices(simulators.ports)
    set_rates(devices)
    for device in devices:
        device.disconnect()
    subscriber = Subscriber(broker.port)
    command = [sys.executable, "-m", "velmo", "publish", "--samples", "--broker", broker.url, "--prefix", PREFIX,
               "--seconds", str(seconds)]
    for port in simulators.ports:
        command += ["--port", port]
    publisher = subprocess.Popen(command, stderr=subprocess.PIPE, text=True)
    for line in publisher.stderr:
        if line.startswith("Publishing to"):
            break
    began, cpu_before = time.monotonic(), cpu_seconds(publisher.pid)
    _pid, status, usage = os.wait4(publisher.pid, 0)
    elapsed = time.monotonic() - began
    publisher.returncode = os.waitstatus_to_exitcode(status)
    summary = publisher.stderr.read()
    publisher.stderr.close()
    busy = (usage.ru_utime + usage.ru_stime - cpu_before) / elapsed
    deadline = time.monotonic() + 30
    while len(subscriber.offline) < len(INSTRUMENTS) and time.monotonic() < deadline:
        time.sleep(0.1)  # the offline status comes after every batch
    subscriber.close()
    sent = simulators.stop()
    broker.stop()
    print(f"{seconds:g} s of four instruments published with every sample: exit status {publisher.returncode}")
    print("  " + summary.strip().replace("\n", "\n  "))
    for (model, _item, _rate, sps), record_sent, serial in zip(INSTRUMENTS, sent, range(20240001, 20240005)):
        received, ordered, skipped, first = in_order(subscriber.batches.get(f"{model}_{serial}", []))
        print(f"  {model}_{serial} at {sps} SPS: sent {len(record_sent)}, received {received} from sample {first}, "
              f"in order: {ordered}, numbers skipped (judged lost on the line): {skipped}, "
              f"not received {len(record_sent) - received} ({(len(record_sent) - received) / sps * 1000:.0f} ms)")
    latencies = sorted(subscriber.latencies)
    print(f"  publisher process: {busy * 100:.1f} % of one core over {elapsed:.1f} s of publishing")
    print(f"  latency sample time -> subscriber: median {statistics.median(latencies) * 1000:.0f} ms, "
          f"95th percentile {latencies[int(len(latencies) * 0.95)] * 1000:.0f} ms, "
          f"max {latencies[-1] * 1000:.0f} ms over {len(latencies)} samples")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=60)
    arguments = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        run(arguments.seconds, folder)


if __name__ == "__main__":
    main()
