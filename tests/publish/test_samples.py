"""The binary samples batches: the layout, its decoder, and the exact series rebuilt from a real broker."""

import array
import json
import struct

import pytest

from velmo.publish import decode_samples, rebuild_series
from velmo.publish.payloads import SAMPLES_HEADER, encode_samples
from velmo.simulator import ramp
from velmo.simulator.instrument import ZERO_COUNT
from support.mqtt import broker, prefix, streaming, subscribe  # noqa: F401  (fixtures)


def test_a_batch_reads_back_as_written_in_the_documented_layout():
    loads = array.array("d", [0.5, -1.25, 1e300, 7.0])
    payload = encode_samples(2**40 + 3, 1_700_000_000.125, 1 / 1200, loads)
    # Layout version 1, reserved, count, first sample number, t0, interval; then little-endian float64.
    assert payload[:32] == struct.pack("<HHIQdd", 1, 0, 4, 2**40 + 3, 1_700_000_000.125, 1 / 1200)
    assert payload[32:] == struct.pack("<4d", *loads)
    batch = decode_samples(payload)
    assert (batch.first, batch.t0, batch.interval) == (2**40 + 3, 1_700_000_000.125, 1 / 1200)
    assert batch.loads == loads


@pytest.mark.parametrize(
    "payload, message",
    [
        (b"\x01\x00", "header"),
        (SAMPLES_HEADER.pack(2, 0, 0, 0, 0.0, 0.001), "version 2"),
        (SAMPLES_HEADER.pack(1, 0, 2, 0, 0.0, 0.001) + b"\x00" * 8, "not 40"),
    ],
)
def test_damaged_batches_are_refused(payload, message):
    with pytest.raises(ValueError, match=message):
        decode_samples(payload)


def test_the_series_is_rebuilt_from_batches_in_any_order_with_repeats_and_gaps():
    batches = [decode_samples(encode_samples(first, 0.0, 0.01, array.array("d", values))) for first, values in
               [(3, [3.0, 4.0]), (0, [0.0, 1.0, 2.0]), (3, [3.0, 4.0]), (8, [8.0])]]
    loads, gaps = rebuild_series(batches)
    assert loads == {n: float(n) for n in (0, 1, 2, 3, 4, 8)} and gaps == [(5, 3)]


def test_samples_rebuild_the_exact_series(broker, subscribe, prefix, streaming):
    simulator, acquisition, info = streaming()
    simulator.instrument.set_signal(0, ramp(ZERO_COUNT, 3 * 256 * 1200))  # every sample differs from the last
    subscriber = subscribe(broker.port, f"{prefix}/#")
    topic = f"{prefix}/HDA640_20240001"
    from velmo.publish import MqttPublisher

    with MqttPublisher([acquisition], broker=broker.url, instruments=[info], prefix=prefix, samples=True) as publisher:
        subscriber.wait(lambda: sum(len(decode_samples(p).loads) for p in subscriber.on(f"{topic}/samples")) > 1200,
                        "a second of samples")
    subscriber.wait(lambda: json.loads(subscriber.on(f"{topic}/status")[-1])["state"] == "offline", "the offline status")
    batches = [decode_samples(payload) for payload in subscriber.on(f"{topic}/samples")]
    loads, gaps = rebuild_series(batches)
    sent = simulator.streamed_counts
    assert gaps == [] and min(loads) == 0 and len(loads) <= len(sent)
    assert [loads[n] for n in sorted(loads)] == [simulator.instrument.expected_load(count) for count in sent[: len(loads)]]
    for batch in batches:
        assert batch.interval == pytest.approx(1 / 1200)
        assert batch.t0 == pytest.approx(acquisition.started_at + batch.first / 1200, abs=1e-6)
    assert publisher.stats.dropped == 0


def test_the_documented_decoder_rebuilds_the_series():
    """The subscriber's code on docs/publish.md, fed batches with a gap between them."""
    from pathlib import Path

    page = (Path(__file__).resolve().parents[2] / "docs" / "publish.md").read_text(encoding="utf-8")
    decoder = next(block for block in page.split("```python\n")[1:] if "def on_message" in block).split("```")[0]
    names: dict = {}
    exec(decoder, names)

    class Message:
        def __init__(self, payload):
            self.payload = payload

    expected = {}
    for first, values in [(0, [1.5, 2.5, -3.0]), (3, [4.0]), (10, [0.25, 1e-9])]:
        names["on_message"](None, None, Message(encode_samples(first, 0.0, 0.001, array.array("d", values))))
        expected.update({first + offset: value for offset, value in enumerate(values)})
    assert names["series"] == expected
