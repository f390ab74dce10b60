"""A broker restarted mid-run: nothing lost within the outbox, the rest dropped, counted and told."""

import json

import pytest

from velmo.publish import MqttPublisher, decode_samples, rebuild_series
from velmo.simulator import ramp
from velmo.simulator.instrument import ZERO_COUNT
from support.mqtt import own_broker, prefix, streaming, subscribe  # noqa: F401  (fixtures)


@pytest.mark.parametrize("outbox", [None, 4], ids=["within the outbox", "beyond the outbox"])
def test_a_broker_restart(own_broker, subscribe, prefix, streaming, outbox):
    simulator, acquisition, info = streaming()
    simulator.instrument.set_signal(0, ramp(ZERO_COUNT, 3 * 256 * 1200))
    # A session the broker keeps across its restart: it queues what arrives before we are back.
    subscriber = subscribe(own_broker.port, f"{prefix}/#", session=f"subscriber-{outbox}")
    topic = f"{prefix}/HDA640_20240001"

    def samples_received():
        return sum(len(decode_samples(payload).loads) for payload in subscriber.on(f"{topic}/samples"))

    publisher = MqttPublisher(
        [acquisition], broker=own_broker.url, instruments=[info], prefix=prefix, samples=True, interval=0.05,
        outbox=outbox,
    )
    with publisher:
        subscriber.wait(lambda: samples_received() > 0, "the first samples")
        own_broker.stop()
        # The outbox fills while the broker is away (past its bound when it is small).
        subscriber.wait(lambda: publisher.stats.queued > 8 or publisher.stats.dropped > 4, "messages held back")
        own_broker.start()
        before = samples_received()
        subscriber.wait(lambda: samples_received() > before + 1200, "samples after the restart")
    subscriber.wait(lambda: json.loads(subscriber.on(f"{topic}/status")[-1])["state"] == "offline", "the offline status")
    loads, gaps = rebuild_series(decode_samples(payload) for payload in subscriber.on(f"{topic}/samples"))
    sent = simulator.streamed_counts
    last = max(loads)
    expected = {n: simulator.instrument.expected_load(sent[n]) for n in range(last + 1)}
    assert all(loads[n] == expected[n] for n in loads)  # whatever arrived is right
    stats = publisher.stats
    offline = json.loads(subscriber.on(f"{topic}/status")[-1])
    if outbox is None:
        assert gaps == [] and min(loads) == 0 and stats.dropped == 0 and offline["dropped"] == 0
    else:
        assert gaps and stats.dropped > 0 and offline["dropped"] == stats.dropped
        assert "outbox" in offline["reason"]
    assert stats.queued == 0
    assert acquisition.stats.dropped == 0  # the publisher kept reading while the broker was away
