"""The simulated instrument itself: its state and how it answers commands.

Nothing here touches a port. A transport (a pseudo-terminal, a scripted fake
port) feeds complete command frames to ``InstrumentModel.handle_frame`` and
writes back what it returns, and collects stream packets from
``stream_packets_due`` while streaming is on.
"""

from __future__ import annotations

import math
import time
from dataclasses import dataclass, field
from typing import Callable, NamedTuple, Sequence

from . import protocol
from .protocol import HIGH_RATE_CODE, ORVALE_ITEM_NUMBER, SAMPLING_RATES
from .signals import SignalFunction, SignalLike, as_signal, sample
from .teds import TEDSSensor

ITEM_NUMBER_SIZE = 10
TEDS_IMAGE_SIZE = 512
TEDS_PAGE_SIZE = 32
TEDS_LASER_SIZE = 8
# Laser identification of the simulated sensor memory; byte 0 is the template.
DEFAULT_TEDS_LASER = bytes.fromhex("21a1b2c3d4e5f607")
NO_TEDS_LASER = bytes(8)
# The first firmware that knows the V1 AutoTEDS command pair, and no longer the old one.
FIRST_AUTO_TEDS_V1_FIRMWARE = (4, 3, 2)

# Default calibration: every profile is bidirectional around ZERO_COUNT, with
# direction 1 counts rising and direction 2 counts falling from it. Profile k
# reaches (k + 1) * 1000 load units over FULL_SCALE_SPAN counts, so on profile 0
# a count of ZERO_COUNT + 1024 * x reads as the load x.
ZERO_COUNT = 0x8000_0000
COUNTS_PER_UNIT = 1024
POINTS_PER_DIRECTION = 5
FULL_SCALE_LOAD = 1000.0
FULL_SCALE_SPAN = int(FULL_SCALE_LOAD) * COUNTS_PER_UNIT

DEFAULT_CHANNELS = 4
DEFAULT_PROFILES = 4
DEFAULT_UNIT_CODE = 26  # N
DEFAULT_RATE_CODES = {"HDA640": 7}  # 100 SPS on every model
DEFAULT_RATE_CODE = 3
# Raw board-temperature count that the host converts to about 25 degrees C.
DEFAULT_BOARD_TEMPERATURE_COUNT = 9_075_075
DEFAULT_INSTRUMENT_SERIAL = 20_240_001
DEFAULT_SENSOR_SERIAL = 500_000


@dataclass
class LoadingPoint:
    load: float
    count: int


@dataclass
class Profile:
    """One calibration profile: 2n loading points, direction 1 then direction 2."""

    points: list[LoadingPoint]
    direction_code: int = 1  # 0: one load direction, 1: two
    rate_code: int = DEFAULT_RATE_CODE
    unit_code: int = DEFAULT_UNIT_CODE
    sensor_serial: int = DEFAULT_SENSOR_SERIAL

    @property
    def points_per_direction(self) -> int:
        return len(self.points) // 2

    def expected_load(self, count: int) -> float:
        """The load a host computes for ``count`` from this profile's end points.

        Hosts read only the first and last point of each direction, draw a line
        through each, and pick the line by where the count lies.
        """
        n = self.points_per_direction
        o1, f1 = self.points[0].count, self.points[n - 1].count
        o2, f2 = self.points[n].count, self.points[2 * n - 1].count
        load1, load2 = self.points[n - 1].load, self.points[2 * n - 1].load

        def direction_1() -> float:
            return (count - o1) * load1 / (f1 - o1)

        def direction_2() -> float:
            return -((count - o2) * load2 / (f2 - o2))

        if self.direction_code != 1:
            return direction_1()
        midpoint = int(o1 - (o1 - o2) * 0.5)
        if o1 < f1:  # direction 1 counts rise with load
            if o2 > o1 or o2 < count < o1:
                return direction_2() if count < midpoint else direction_1()
            return direction_1() if count >= o1 else direction_2()
        if not o1 > f2:
            return 0.0
        if f2 <= count <= o1 or count < f1:
            return direction_1()
        if o1 < count < o2:
            return direction_2() if count > midpoint else direction_1()
        return direction_2()


def default_profile(index: int, rate_code: int = DEFAULT_RATE_CODE) -> Profile:
    """Profile ``index`` of the default calibration (see ZERO_COUNT)."""
    full_scale = FULL_SCALE_LOAD * (index + 1)
    steps = range(POINTS_PER_DIRECTION)
    last = POINTS_PER_DIRECTION - 1

    def direction(sign: int) -> list[LoadingPoint]:
        return [
            LoadingPoint(full_scale * i / last, ZERO_COUNT + sign * FULL_SCALE_SPAN * i // last)
            for i in steps
        ]

    return Profile(
        points=direction(+1) + direction(-1),
        rate_code=rate_code,
        sensor_serial=DEFAULT_SENSOR_SERIAL + index,
    )


def default_channel_count(channel: int) -> int:
    """Channel c reads a constant 100 * (c + 1) load units on profile 0."""
    return ZERO_COUNT + 100 * (channel + 1) * COUNTS_PER_UNIT


def counts_of_loads(signal: SignalFunction) -> SignalFunction:
    """A signal of loads as the counts that read as those loads on the default calibration of profile 0."""
    return lambda t: ZERO_COUNT + COUNTS_PER_UNIT * signal(t)


class StreamPacket(NamedTuple):
    data: bytes
    count: int  # type: ignore[assignment]  # the count a host decodes; shadows tuple.count


class _Refused(Exception):
    """A command the instrument does not execute; it stays silent."""


def _answered_if(condition: Callable[[], bool], handler: Callable[[bytes], bytes]) -> Callable[[bytes], bytes]:
    """A command handler that the instrument runs only while ``condition()`` holds."""

    def guarded(arguments: bytes) -> bytes:
        if not condition():
            raise _Refused
        return handler(arguments)

    return guarded


@dataclass(frozen=True)
class _Command:
    length: int  # whole frame, checksum included
    handler: Callable[[bytes], bytes]


@dataclass
class _StreamState:
    next_due: float = 0.0
    stalled_until: float = 0.0
    sent_counts: list[int] = field(default_factory=list)


class InstrumentModel:
    """State and command handling of one simulated VELMO instrument."""

    def __init__(
        self,
        model: str = "HDA640",
        item_number: str | None = None,
        firmware: Sequence[int] = (4, 3, 2),
        *,
        instrument_serial: int = DEFAULT_INSTRUMENT_SERIAL,
        board_temperature: int = DEFAULT_BOARD_TEMPERATURE_COUNT,
        profiles: Sequence[Profile] | None = None,
        channel_profiles: Sequence[int] | None = None,
        signals: Sequence[SignalLike] | None = None,
        teds_image: bytes | None = None,
        teds_laser: bytes = DEFAULT_TEDS_LASER,
        sensor: TEDSSensor | None = None,
        auto_teds: bool = False,
        auto_teds_v1: bool = False,
        clock: Callable[[], float] = time.monotonic,
    ):
        """``sensor`` attaches a TEDS sensor; ``teds_image`` and ``teds_laser``
        give a bare memory image instead. ``auto_teds`` and ``auto_teds_v1``
        are the AutoTEDS switch as the old and the V1 command pair reach it;
        the firmware answers only the pair it knows."""
        if model not in SAMPLING_RATES:
            raise ValueError(f"unknown model {model!r}; known: {', '.join(SAMPLING_RATES)}")
        self.model = model
        self.item_number = item_number if item_number is not None else f"SIM-{model}"
        if len(self.item_number.encode("ascii")) > ITEM_NUMBER_SIZE:
            raise ValueError(f"an item number has at most {ITEM_NUMBER_SIZE} ASCII characters")
        if len(firmware) != 3:
            raise ValueError("firmware is three numbers: major, minor, patch")
        self.firmware = tuple(int(part) for part in firmware)
        self.instrument_serial = instrument_serial
        self.board_temperature = board_temperature
        rate_code = DEFAULT_RATE_CODES.get(model, DEFAULT_RATE_CODE)
        self.profiles = list(profiles) if profiles is not None else [
            default_profile(index, rate_code) for index in range(DEFAULT_PROFILES)
        ]
        self.channel_profiles = list(channel_profiles or [0] * DEFAULT_CHANNELS)
        self.signals: list[SignalFunction] = [
            as_signal(s) for s in (signals or map(default_channel_count, range(len(self.channel_profiles))))
        ]
        if len(self.signals) != len(self.channel_profiles):
            raise ValueError("one signal per channel")
        if sensor is not None and teds_image is not None:
            raise ValueError("give a sensor or a bare TEDS image, not both")
        self.sensor: TEDSSensor | None = None
        self.teds_image = teds_image
        self.teds_laser = teds_laser
        if sensor is not None:
            self.attach_sensor(sensor)
        self.auto_teds = auto_teds
        self.auto_teds_v1 = auto_teds_v1
        self.streaming = False
        self.ignores_stream_off = False  # a fault: the stop command is answered, not carried out
        self.frames_received: list[bytes] = []
        self._clock = clock
        self._start = clock()
        self._stream = _StreamState()
        self._commands = self._command_table()

    # -- properties a test or transport reads -------------------------------

    @property
    def teds_image(self) -> bytes | None:
        return self._teds_image

    @teds_image.setter
    def teds_image(self, image: bytes | None) -> None:
        if image is not None and len(image) != TEDS_IMAGE_SIZE:
            raise ValueError(f"a TEDS image has {TEDS_IMAGE_SIZE} bytes, got {len(image)}")
        self._teds_image = None if image is None else bytes(image)
        self.sensor = None  # a bare image describes no particular sensor

    @property
    def teds_laser(self) -> bytes:
        return self._teds_laser

    @teds_laser.setter
    def teds_laser(self, laser: bytes) -> None:
        if len(laser) != TEDS_LASER_SIZE:
            raise ValueError(f"TEDS laser data have {TEDS_LASER_SIZE} bytes, got {len(laser)}")
        self._teds_laser = bytes(laser)

    @property
    def teds_sensor_connected(self) -> bool:
        return self._teds_image is not None

    def attach_sensor(self, sensor: TEDSSensor) -> None:
        """Plug a TEDS sensor in; it may be done while a host is talking to the instrument."""
        self._teds_laser = sensor.laser()
        self._teds_image = sensor.image()
        self.sensor = sensor

    def detach_sensor(self) -> None:
        """Unplug the TEDS sensor: its memory and laser data can no longer be read."""
        self._teds_image = None
        self.sensor = None

    @property
    def uses_auto_teds_v1(self) -> bool:
        """Firmware 4.3.2 and later speak the V1 AutoTEDS commands, earlier ones the old."""
        return self.firmware >= FIRST_AUTO_TEDS_V1_FIRMWARE

    @property
    def is_zeph_orvale(self) -> bool:
        """The HDA640 variant with TEDS support and the 3-byte high-rate stream."""
        return self.model == "HDA640" and self.item_number == ORVALE_ITEM_NUMBER

    supports_teds = is_zeph_orvale

    @property
    def streamed_counts(self) -> list[int]:
        """Counts of every stream packet a transport reported as sent, in order."""
        return self._stream.sent_counts

    def profile_of_channel(self, channel: int = 0) -> Profile:
        return self.profiles[self.channel_profiles[channel]]

    def expected_load(self, count: int, channel: int = 0) -> float:
        return self.profile_of_channel(channel).expected_load(count)

    def set_signal(self, channel: int, signal: SignalLike) -> None:
        self.signals[channel] = as_signal(signal)

    def live_count(self, channel: int = 0, now: float | None = None) -> int:
        return sample(self.signals[channel], self._elapsed(now))

    @property
    def stream_rate(self) -> float:
        """Samples per second of the profile selected on channel 0."""
        return SAMPLING_RATES[self.model][self.profile_of_channel(0).rate_code]

    @property
    def uses_high_rate_packets(self) -> bool:
        return self.is_zeph_orvale and self.profile_of_channel(0).rate_code == HIGH_RATE_CODE

    # -- protocol -----------------------------------------------------------

    def handle_frame(self, frame: bytes, responsive: bool = True) -> bytes | None:
        """The answer to one command frame, or None where the instrument stays silent.

        An instrument that is not ``responsive`` (hung firmware) records the frame
        but neither carries it out nor answers it.
        """
        frame = bytes(frame)
        self.frames_received.append(frame)
        if not responsive:
            return None
        if len(frame) < protocol.MIN_FRAME_LENGTH or frame[0] != 0x00 or frame[1] != len(frame):
            return None
        if not protocol.has_valid_checksum(frame):
            return None
        high, low = frame[2], frame[3]
        command = self._commands.get((high, low))
        if command is None or command.length != len(frame):
            return None
        try:
            payload = command.handler(frame[4:-1])
        except _Refused:
            return None
        return protocol.build_frame(high, low, payload)

    # -- streaming ----------------------------------------------------------

    def stream_packets_due(self, now: float | None = None, max_lag: float = 0.1) -> list[StreamPacket]:
        """Packets whose sampling time has come, paced by the stream rate.

        Samples more than ``max_lag`` seconds overdue are skipped rather than
        sent in a burst: a transport that stalled does not flood its host.
        """
        if not self.streaming:
            return []
        now = self._clock() if now is None else now
        stream = self._stream
        period = 1.0 / self.stream_rate
        # Samples never taken keep the stream's phase: a skip is whole periods.
        resume = max(now - max_lag, min(stream.stalled_until, now))
        if stream.next_due < resume:
            stream.next_due += math.ceil((resume - stream.next_due) / period) * period
        encode = protocol.high_rate_packet if self.uses_high_rate_packets else protocol.standard_packet
        mask = 0xFFFF_0000 if self.uses_high_rate_packets else 0xFFFF_FF00
        signal, start = self.signals[0], self._start
        packets = []
        while stream.next_due <= now:
            count = sample(signal, stream.next_due - start) & mask
            packets.append(StreamPacket(encode(count), count))
            stream.next_due += period
        return packets

    def stall_stream(self, seconds: float) -> None:
        """Take no sample for ``seconds`` from now, as an instrument that hung; the stream
        goes on afterwards without catching up."""
        self._stream.stalled_until = self._clock() + seconds

    def record_sent(self, packet: StreamPacket) -> None:
        """Called by a transport once a packet has gone out completely."""
        self._stream.sent_counts.append(packet.count)

    # -- command handlers ---------------------------------------------------

    def _command_table(self) -> dict[tuple[int, int], _Command]:
        table = {
            (1, 1): (5, lambda a: protocol.encode_ascii(self.model)),
            (1, 2): (5, lambda a: protocol.encode_ascii(self.item_number)),
            (1, 0): (5, lambda a: protocol.encode_uint(self.instrument_serial, 4)),
            (1, 4): (5, lambda a: bytes(self.firmware)),
            (0, 7): (5, lambda a: protocol.encode_uint(self.board_temperature, 4)),
            (0, 5): (6, lambda a: protocol.encode_uint(self.live_count(self._channel(a[0])), 4)),
            (0, 12): (6, self._set_streaming),
            (1, 10): (6, lambda a: bytes((self.channel_profiles[self._channel(a[0])],))),
            (2, 10): (7, self._select_profile),
            (3, 0): (6, lambda a: protocol.encode_uint(self._profile(a[0]).sensor_serial, 4)),
            (3, 11): (6, lambda a: bytes((self._profile(a[0]).direction_code,))),
            (4, 11): (7, self._set_direction_code),
            (3, 12): (6, lambda a: bytes((self._profile(a[0]).unit_code,))),
            (4, 12): (7, self._set_unit_code),
            (3, 30): (6, lambda a: bytes((self._profile(a[0]).rate_code,))),
            (4, 30): (7, self._set_rate_code),
            (3, 23): (6, lambda a: bytes((self._profile(a[0]).points_per_direction,))),
            (3, 24): (7, lambda a: protocol.encode_float32(self._point(a).load)),
            (3, 25): (7, lambda a: protocol.encode_uint(self._point(a).count, 4)),
            (4, 24): (11, self._set_point_load),
            (4, 25): (11, self._set_point_count),
        }
        def old_firmware() -> bool:
            return not self.uses_auto_teds_v1

        def v1_firmware() -> bool:
            return self.uses_auto_teds_v1

        teds = {
            (1, 32): (5, lambda a: bytes((self.teds_sensor_connected,))),
            (1, 31): (5, self._teds_laser_payload),
            (1, 30): (6, self._teds_page),
            (1, 33): (5, _answered_if(old_firmware, lambda a: bytes((self.auto_teds,)))),
            (1, 34): (5, _answered_if(v1_firmware, lambda a: bytes((self.auto_teds_v1,)))),
            (2, 33): (6, _answered_if(old_firmware, lambda a: self._switch("auto_teds", a[0]))),
            (2, 34): (6, _answered_if(v1_firmware, lambda a: self._switch("auto_teds_v1", a[0]))),
        }
        # TEDS commands exist only on the TEDS-capable variant; on any other
        # instrument they are unknown and go unanswered.
        guarded = {
            key: (length, _answered_if(lambda: self.supports_teds, handler)) for key, (length, handler) in teds.items()
        }
        return {key: _Command(length, handler) for key, (length, handler) in {**table, **guarded}.items()}

    def _channel(self, channel: int) -> int:
        if channel >= len(self.channel_profiles):
            raise _Refused
        return channel

    def _profile(self, index: int) -> Profile:
        if index >= len(self.profiles):
            raise _Refused
        return self.profiles[index]

    def _point(self, arguments: bytes) -> LoadingPoint:
        profile = self._profile(arguments[0])
        if arguments[1] >= len(profile.points):
            raise _Refused
        return profile.points[arguments[1]]

    def _set_streaming(self, arguments: bytes) -> bytes:
        if not arguments[0] and self.ignores_stream_off:
            return b""
        if arguments[0] and not self.streaming:
            self._stream.next_due = self._clock() + 1.0 / self.stream_rate
        self.streaming = bool(arguments[0])
        return b""

    def _select_profile(self, arguments: bytes) -> bytes:
        channel, profile = self._channel(arguments[0]), arguments[1]
        self._profile(profile)
        self.channel_profiles[channel] = profile
        return b""

    def _set_direction_code(self, arguments: bytes) -> bytes:
        if arguments[1] not in (0, 1):
            raise _Refused
        self._profile(arguments[0]).direction_code = arguments[1]
        return b""

    def _set_unit_code(self, arguments: bytes) -> bytes:
        self._profile(arguments[0]).unit_code = arguments[1]
        return b""

    def _set_rate_code(self, arguments: bytes) -> bytes:
        if arguments[1] >= len(SAMPLING_RATES[self.model]):
            raise _Refused
        self._profile(arguments[0]).rate_code = arguments[1]
        return b""

    def _set_point_load(self, arguments: bytes) -> bytes:
        self._point(arguments).load = protocol.decode_float32(arguments[2:6])
        return b""

    def _set_point_count(self, arguments: bytes) -> bytes:
        self._point(arguments).count = int.from_bytes(arguments[2:6], "big")
        return b""

    def _teds_laser_payload(self, _arguments: bytes) -> bytes:
        # Without a sensor the instrument reports an empty laser identification.
        return self.teds_laser if self.teds_sensor_connected else NO_TEDS_LASER

    def _teds_page(self, arguments: bytes) -> bytes:
        page = arguments[0]
        image = self.teds_image  # once: the sensor may be unplugged meanwhile
        if image is None or page >= TEDS_IMAGE_SIZE // TEDS_PAGE_SIZE:
            raise _Refused
        return image[page * TEDS_PAGE_SIZE:(page + 1) * TEDS_PAGE_SIZE]

    def _switch(self, name: str, value: int) -> bytes:
        setattr(self, name, bool(value))
        return b""

    def _elapsed(self, now: float | None) -> float:
        return (self._clock() if now is None else now) - self._start
