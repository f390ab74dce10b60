"""``MqttPublisher``: running acquisitions to an MQTT broker, one client per instrument.

Threads: paho's network loop per client (``loop_start``), and one worker of ours that
reads every instrument, makes the messages and hands them from a bounded outbox to the
clients. The acquisitions never wait for either: the worker reads what is there, and a
broker that is away only fills the outbox, whose oldest messages go first, counted.
"""

from __future__ import annotations

import array
import collections
import dataclasses
import logging
import math
import threading
import time
from collections.abc import Mapping, Sequence
from types import TracebackType
from typing import Any, Literal

import velmo_device_communication as vdc

from .. import interrupts
from ..acquisition import Acquisition, Chunk, samples_per_second
from . import payloads
from .broker import PROTOCOLS, parse_broker_url

try:
    import paho.mqtt.client as mqtt
    from paho.mqtt.enums import CallbackAPIVersion
    from paho.mqtt.packettypes import PacketTypes
    from paho.mqtt.properties import Properties
except ImportError as error:  # pragma: no cover - depends on the installed extras
    raise ImportError(
        "velmo.publish needs paho-mqtt: pip install 'velmo-device-communication[publish]'"
    ) from error

logger = logging.getLogger("velmo.publish")

DEFAULT_INTERVAL = 0.1
OUTBOX_SECONDS = 60.0
# Messages handed to a client and not yet acknowledged: paho keeps these and sends them
# again after a reconnect; the rest wait in our outbox, where the bound applies.
IN_FLIGHT = 100
CONNECT_TIMEOUT = 10.0
# How long stop() keeps sending what is queued before it says goodbye.
DRAIN_TIMEOUT = 5.0
KEEPALIVE = 30
SESSION_EXPIRY = 3600
RECONNECT_DELAY = (1, 30)
STATUS_INTERVAL = 1.0  # the status says the outbox dropped messages at most this often
WILL_REASON = "the publisher's connection ended without a goodbye"


class PublishError(Exception):
    """The broker could not be reached or refused the publisher."""


@dataclasses.dataclass(frozen=True)
class PublisherStats:
    """Messages acknowledged by the broker (``sent``), waiting in the outbox or in flight
    (``queued``), and given up because the outbox was full (``dropped``)."""

    sent: int
    queued: int
    dropped: int


@dataclasses.dataclass
class _Batch:
    first: int
    t0: float
    interval: float
    loads: array.array[float]


class _Instrument:
    """One instrument's reader, client, outbox and counters."""

    def __init__(self, name: str, acquisition: Acquisition, info: Mapping[str, Any], prefix: str, outbox: int):
        self.name = name
        self.acquisition = acquisition
        self.info = info
        self.topic = f"{prefix}/{name}"
        self.reader: Any = None
        self.client: Any = None
        self.outbox: collections.deque[tuple[str, bytes]] = collections.deque()
        self.outbox_limit = outbox
        self.summary = payloads.LoadSummary()
        self.batch: _Batch | None = None
        self.lost_reason: str | None = None
        self.connected = threading.Event()
        self.answered = threading.Event()  # the broker answered the first connect, or hung up before
        self.connack: Any = None  # the reason code of the last CONNACK
        self.reannounce = False  # after a reconnect: info and status again
        self.status_due = False
        self.status_at = -math.inf
        # Shared with paho's thread: the mids handed over and not yet acknowledged (True for
        # outbox messages), and those acknowledged before publish() returned their mid.
        self.lock = threading.Lock()
        self.handed: dict[int, bool] = {}
        self.acked_early: set[int] = set()
        self.sent = 0
        self.dropped = 0

    def queued(self) -> int:
        with self.lock:
            in_flight = sum(self.handed.values())
        return len(self.outbox) + in_flight


class MqttPublisher:
    """Publishes running acquisitions to an MQTT broker until stopped.

    ::

        with Acquisition(device) as acquisition, MqttPublisher([acquisition], broker="mqtt://localhost"):
            time.sleep(60)

    Per instrument, under ``<prefix>/<instrument>/``: ``info`` and ``status`` (retained; the
    status is the client's last will too), ``load`` every ``interval`` and with ``samples``
    every sample in binary batches (docs/publish.md has the layouts).

    To publish every sample up to the end, close the acquisitions before stopping the
    publisher: what they read before they closed is published then.

    :param acquisitions: Started acquisitions, one per instrument
    :param broker: ``mqtt://host[:port]``, or ``mqtts://`` for TLS
    :param instruments: Per acquisition, what ``payloads.instrument_info`` asked its device
        before it streamed; without it the info has the port and the rate only
    :param prefix: First levels of every topic; ``velmo/<hostname>`` by default
    :param interval: Seconds between two ``load`` messages (and ``samples`` batches)
    :param samples: Publish every sample too
    :param qos: 0, 1 or 2; with 1 and 2 the broker acknowledges each message
    :param outbox: Messages per instrument held while the broker is away (default 60 s worth);
        beyond it the oldest are dropped and counted
    :param protocol: "5" (session expiry) or "3.1.1"
    :param tls: Use TLS (``mqtts://`` implies it); ``ca``: the CA file to check the broker
        with (the system's CAs by default); ``certfile``/``keyfile``: a client certificate
    :param username: and ``password`` to log in with (see ``broker.read_password``)
    :raises ValueError: For a broker URL it cannot parse or an argument out of range
    """

    def __init__(
        self,
        acquisitions: Sequence[Acquisition],
        *,
        broker: str,
        instruments: Sequence[Mapping[str, Any]] | None = None,
        prefix: str | None = None,
        interval: float = DEFAULT_INTERVAL,
        samples: bool = False,
        qos: int = 1,
        outbox: int | None = None,
        protocol: str = "5",
        tls: bool = False,
        ca: str | None = None,
        certfile: str | None = None,
        keyfile: str | None = None,
        username: str | None = None,
        password: str | None = None,
    ):
        self.broker = parse_broker_url(broker)
        if not acquisitions:
            raise ValueError("MqttPublisher needs at least one acquisition")
        if instruments is not None and len(instruments) != len(acquisitions):
            raise ValueError("give one instrument description per acquisition")
        if not (math.isfinite(interval) and interval > 0):
            raise ValueError(f"interval must be a positive number of seconds, not {interval!r}")
        if qos not in (0, 1, 2):
            raise ValueError(f"qos is 0, 1 or 2, not {qos!r}")
        if protocol not in PROTOCOLS:
            raise ValueError(f"protocol is one of {', '.join(PROTOCOLS)}, not {protocol!r}")
        if outbox is None:
            outbox = math.ceil(OUTBOX_SECONDS / interval) * (2 if samples else 1)
        if outbox < 1:
            raise ValueError(f"outbox must hold at least one message, not {outbox!r}")
        self.prefix = payloads.check_prefix(prefix) if prefix is not None else payloads.default_prefix()
        infos = list(instruments) if instruments is not None else [{"port": a.port_name()} for a in acquisitions]
        names = payloads.unique_names([payloads.instrument_name(info) for info in infos])
        self._instruments = [
            _Instrument(name, acquisition, info, self.prefix, outbox)
            for name, acquisition, info in zip(names, acquisitions, infos)
        ]
        self.interval = interval
        self.samples = samples
        self.qos = qos
        self.protocol = protocol
        self._tls = (tls or self.broker.tls, ca, certfile, keyfile)
        self._username = username if username is not None else self.broker.username
        self._password = password
        self._thread: threading.Thread | None = None
        self._stop = threading.Event()
        self._wake = threading.Event()
        self._stopped = False

    @property
    def names(self) -> list[str]:
        """The instruments' topic levels, in the order of the acquisitions."""
        return [instrument.name for instrument in self._instruments]

    # -- lifecycle ------------------------------------------------------------

    def __enter__(self) -> MqttPublisher:
        self.start()
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> Literal[False]:
        self.stop()
        return False

    def start(self) -> None:
        """Connect every instrument's client, publish its info and status, start publishing.

        :raises PublishError: If the broker cannot be reached or refuses the connection
            (bad credentials, for one); nothing is left running then
        :raises RuntimeError: If the publisher was started before
        """
        if self._thread is not None or self._stopped:
            raise RuntimeError("A publisher can be started only once")
        try:
            for instrument in self._instruments:
                instrument.reader = instrument.acquisition.tap(name=f"mqtt {instrument.name}")
                self._connect(instrument)
            for instrument in self._instruments:
                self._announce(instrument)
        except BaseException:
            self._stopped = True
            for instrument in self._instruments:
                self._disconnect(instrument)
            raise
        self._thread = threading.Thread(target=self._work, name=f"velmo-publish {self.broker}", daemon=True)
        self._thread.start()

    def stop(self) -> None:
        """Publish what was read, send what is queued (for a few seconds at most), set the
        status ``offline`` and disconnect. Ctrl-C during this is held back. Safe to repeat."""
        with interrupts.held():
            self._stopped = True
            self._stop.set()
            self._wake.set()
            if self._thread is not None:
                self._thread.join()
            for instrument in self._instruments:
                self._disconnect(instrument)

    @property
    def stats(self) -> PublisherStats:
        return PublisherStats(
            sent=sum(instrument.sent for instrument in self._instruments),
            queued=sum(instrument.queued() for instrument in self._instruments),
            dropped=sum(instrument.dropped for instrument in self._instruments),
        )

    # -- the clients ----------------------------------------------------------

    def _connect(self, instrument: _Instrument) -> None:
        version5 = self.protocol == "5"
        client = mqtt.Client(
            callback_api_version=CallbackAPIVersion.VERSION2,
            client_id=f"velmo:{instrument.topic}",
            protocol=mqtt.MQTTv5 if version5 else mqtt.MQTTv311,
            clean_session=None if version5 else False,
        )
        instrument.client = client
        client.max_inflight_messages_set(IN_FLIGHT)
        client.reconnect_delay_set(*RECONNECT_DELAY)
        tls, ca, certfile, keyfile = self._tls
        if tls:
            client.tls_set(ca_certs=ca, certfile=certfile, keyfile=keyfile)
        if self._username is not None:
            client.username_pw_set(self._username, self._password)
        client.will_set(
            f"{instrument.topic}/status",
            payloads.status_payload("lost", time.time(), WILL_REASON),
            qos=self.qos,
            retain=True,
        )
        client.on_connect = lambda _c, _u, _flags, reason, _p: self._on_connect(instrument, reason)
        client.on_disconnect = lambda _c, _u, _flags, reason, _p: self._on_disconnect(instrument, reason)
        client.on_publish = lambda _c, _u, mid, _reason, _p: self._on_publish(instrument, mid)
        try:
            if version5:
                properties = Properties(PacketTypes.CONNECT)  # type: ignore[no-untyped-call]
                properties.SessionExpiryInterval = SESSION_EXPIRY
                client.connect(
                    self.broker.host,
                    self.broker.port,
                    KEEPALIVE,
                    clean_start=mqtt.MQTT_CLEAN_START_FIRST_ONLY,
                    properties=properties,
                )
            else:
                client.connect(self.broker.host, self.broker.port, KEEPALIVE)
        except (OSError, ValueError) as error:
            raise PublishError(f"Could not connect to the broker at {self.broker}: {error}") from error
        client.loop_start()
        if not instrument.answered.wait(CONNECT_TIMEOUT):
            raise PublishError(f"The broker at {self.broker} did not answer within {CONNECT_TIMEOUT:g} s")
        if not instrument.connected.is_set():
            reason = instrument.connack if instrument.connack is not None else "it hung up"
            raise PublishError(f"The broker at {self.broker} refused the connection: {reason}")

    def _on_connect(self, instrument: _Instrument, reason: Any) -> None:
        instrument.connack = reason
        if reason.is_failure:
            logger.warning("The broker at %s refused %s: %s", self.broker, instrument.name, reason)
        else:
            if instrument.answered.is_set():
                instrument.reannounce = True
                logger.info("Connected to %s again for %s", self.broker, instrument.name)
            instrument.connected.set()
            self._wake.set()
        instrument.answered.set()

    def _on_disconnect(self, instrument: _Instrument, reason: Any) -> None:
        if instrument.connected.is_set() and not self._stopped:
            logger.warning("Lost the broker at %s for %s (%s); reconnecting", self.broker, instrument.name, reason)
        instrument.connected.clear()
        instrument.answered.set()

    def _on_publish(self, instrument: _Instrument, mid: int) -> None:
        with instrument.lock:
            if mid in instrument.handed:
                instrument.sent += instrument.handed.pop(mid)
            else:
                instrument.acked_early.add(mid)
        self._wake.set()

    def _hand(self, instrument: _Instrument, topic: str, payload: bytes, *, retain: bool, counted: bool) -> None:
        """Give a message to paho, which keeps it until the broker acknowledges it."""
        info = instrument.client.publish(topic, payload, qos=self.qos, retain=retain)
        if self.qos == 0 and info.rc != mqtt.MQTT_ERR_SUCCESS:
            return  # paho keeps no QoS 0 message it could not send
        with instrument.lock:
            if info.mid in instrument.acked_early:
                instrument.acked_early.discard(info.mid)
                instrument.sent += counted
            else:
                instrument.handed[info.mid] = counted

    def _announce(self, instrument: _Instrument) -> None:
        acquisition = instrument.acquisition
        rate = samples_per_second(acquisition.rate) if acquisition.rate is not None else None
        info = payloads.info_payload(instrument.info, rate or 0.0)
        self._hand(instrument, f"{instrument.topic}/info", info, retain=True, counted=False)
        self._publish_status(instrument, "online")

    @staticmethod
    def _status(instrument: _Instrument, state: str) -> bytes:
        reason = instrument.lost_reason if state == "lost" else None
        if reason is None and instrument.dropped:
            reason = f"the outbox was full while the broker was away: {instrument.dropped} messages dropped"
        return payloads.status_payload(state, time.time(), reason, instrument.dropped)

    def _publish_status(self, instrument: _Instrument, state: str) -> None:
        payload = self._status(instrument, state)
        self._hand(instrument, f"{instrument.topic}/status", payload, retain=True, counted=False)
        instrument.status_due = False
        instrument.status_at = time.monotonic()

    def _disconnect(self, instrument: _Instrument) -> None:
        reader, instrument.reader = instrument.reader, None
        if reader is not None:
            reader.close()
        client, instrument.client = instrument.client, None
        if client is None:
            return
        if instrument.connected.is_set():
            payload = self._status(instrument, "lost" if instrument.lost_reason is not None else "offline")
            info = client.publish(f"{instrument.topic}/status", payload, qos=self.qos, retain=True)
            try:
                info.wait_for_publish(DRAIN_TIMEOUT)
            except (RuntimeError, ValueError) as error:
                logger.warning("Could not publish the offline status of %s: %s", instrument.name, error)
        client.disconnect()
        client.loop_stop()

    # -- the worker -----------------------------------------------------------

    def _work(self) -> None:
        next_tick = time.monotonic() + self.interval
        while True:
            stopping = self._stop.is_set()
            now = time.monotonic()
            if stopping or now >= next_tick:
                for instrument in self._instruments:
                    self._collect(instrument)
                next_tick = max(next_tick + self.interval, now)
            for instrument in self._instruments:
                self._send(instrument)
            if stopping:
                break
            self._wake.wait(max(0.0, next_tick - time.monotonic()))
            self._wake.clear()
        self._drain()

    def _drain(self) -> None:
        deadline = time.monotonic() + DRAIN_TIMEOUT
        while time.monotonic() < deadline and any(
            instrument.queued() and instrument.connected.is_set() for instrument in self._instruments
        ):
            for instrument in self._instruments:
                self._send(instrument)
            self._wake.wait(0.05)
            self._wake.clear()

    def _collect(self, instrument: _Instrument) -> None:
        """What arrived since the last tick: into the interval's summary and the samples
        batches; then the interval's load message. Nothing more once the instrument is lost."""
        if instrument.lost_reason is not None:
            return
        try:
            while (chunk := instrument.reader.read(0)) is not None:
                self._add(instrument, chunk)
        except vdc.VelmoConnectionError as error:
            instrument.lost_reason = " ".join(str(error).split())
            logger.warning("%s: %s", instrument.name, instrument.lost_reason)
            self._publish_status(instrument, "lost")
        except Exception as error:  # the publisher stays up for the other instruments
            instrument.lost_reason = f"the reader failed: {error!r}"
            logger.exception("Reading %s for the broker failed", instrument.name)
            self._publish_status(instrument, "lost")
        self._close_batch(instrument)
        stats = instrument.reader.stats
        self._queue(
            instrument,
            "load",
            instrument.summary.payload(time.time(), stats.received, stats.dropped, stats.lost),
        )
        instrument.summary = payloads.LoadSummary()

    def _add(self, instrument: _Instrument, chunk: Chunk) -> None:
        instrument.summary.add(chunk.loads)
        if not self.samples or not len(chunk):
            return
        batch = instrument.batch
        if batch is not None and chunk.index != batch.first + len(batch.loads):
            self._close_batch(instrument)
            batch = None
        if batch is None:
            instrument.batch = _Batch(chunk.index, chunk.t0, chunk.interval, array.array("d", chunk.loads))
        else:
            batch.loads.extend(chunk.loads)

    def _close_batch(self, instrument: _Instrument) -> None:
        batch, instrument.batch = instrument.batch, None
        if batch is not None:
            payload = payloads.encode_samples(batch.first, batch.t0, batch.interval, batch.loads)
            self._queue(instrument, "samples", payload)

    def _queue(self, instrument: _Instrument, kind: str, payload: bytes) -> None:
        instrument.outbox.append((f"{instrument.topic}/{kind}", payload))
        if len(instrument.outbox) > instrument.outbox_limit:
            instrument.outbox.popleft()
            instrument.dropped += 1
            instrument.status_due = True

    def _send(self, instrument: _Instrument) -> None:
        """Hand the outbox's messages to the client while it is connected and has room in flight."""
        if not instrument.connected.is_set():
            return
        if instrument.reannounce:
            instrument.reannounce = False
            self._announce(instrument)
        if instrument.status_due and time.monotonic() - instrument.status_at >= STATUS_INTERVAL:
            self._publish_status(instrument, "lost" if instrument.lost_reason is not None else "online")
        while instrument.outbox and len(instrument.handed) < IN_FLIGHT and instrument.connected.is_set():
            topic, payload = instrument.outbox.popleft()
            self._hand(instrument, topic, payload, retain=False, counted=True)
