"""Live readings to an MQTT broker (needs the ``publish`` extra: paho-mqtt).

``MqttPublisher`` publishes running acquisitions, one client per instrument::

    with Acquisition(device) as acquisition:
        with MqttPublisher([acquisition], broker="mqtt://broker.plant:1883", samples=True):
            time.sleep(60)

Topics and payloads (``velmo.publish.payloads``, docs/publish.md): ``info`` and ``status``
retained, ``load`` every interval, ``samples`` in binary batches that
``payloads.decode_samples`` reads back.
"""

from .broker import Broker, parse_broker_url, read_password
from .payloads import LAYOUT_VERSION, SamplesBatch, decode_samples, instrument_info, rebuild_series
from .publisher import MqttPublisher, PublisherStats, PublishError

__all__ = [
    "LAYOUT_VERSION",
    "Broker",
    "MqttPublisher",
    "PublishError",
    "PublisherStats",
    "SamplesBatch",
    "decode_samples",
    "instrument_info",
    "parse_broker_url",
    "read_password",
    "rebuild_series",
]
