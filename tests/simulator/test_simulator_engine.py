"""The simulated instrument's command handling, without any port in between."""

import struct

import pytest

from velmo.simulator import (
    COUNTS_PER_UNIT,
    DEFAULT_TEDS_LASER,
    ORVALE_ITEM_NUMBER,
    ZERO_COUNT,
    FrameParser,
    InstrumentModel,
    build_teds_image,
    ramp,
)


def weighted_checksum(data):
    return sum(weight * byte for weight, byte in enumerate(data, start=1)) % 256


def command(high, low, *arguments):
    head = bytes([0, 5 + len(arguments), high, low, *arguments])
    return head + bytes([weighted_checksum(head)])


def payload_of(instrument, frame):
    """The payload of a well-formed answer, checking header and checksum on the way."""
    answer = instrument.handle_frame(frame)
    assert answer is not None, "instrument stayed silent"
    assert answer[:4] == bytes([0, len(answer), frame[2], frame[3]])
    assert answer[-1] == weighted_checksum(answer[:-1])
    return answer[4:-1]


def u32(value):
    return value.to_bytes(4, "big")


def f32(value):
    return struct.pack("<f", value)


def test_known_command_frames_from_the_wire():
    # Frames as a host builds them: model number query and channel-0 reading.
    instrument = InstrumentModel("HDA640")
    assert instrument.handle_frame(bytes.fromhex("0005010111"))[4:10] == b"HDA640"
    assert instrument.handle_frame(bytes.fromhex("000600050020"))[:4] == bytes.fromhex("00090005")


@pytest.mark.parametrize(
    "frame, expected",
    [
        (command(1, 1), b"RPX310\0\0\0\0"),
        (command(1, 2), b"QKT1\0\0\0\0\0\0"),
        (command(1, 4), bytes([4, 3, 1])),
        (command(1, 0), u32(777)),
        (command(0, 7), u32(1234)),
        (command(0, 5, 2), u32(ZERO_COUNT + 300 * COUNTS_PER_UNIT)),
        (command(3, 23, 0), bytes([5])),
        (command(3, 24, 0, 4), f32(1000.0)),
        (command(3, 24, 1, 9), f32(2000.0)),
        (command(3, 25, 0, 0), u32(ZERO_COUNT)),
        (command(3, 25, 0, 9), u32(ZERO_COUNT - 1000 * COUNTS_PER_UNIT)),
        (command(3, 11, 0), bytes([1])),
        (command(3, 0, 2), u32(500_002)),
        (command(1, 10, 3), bytes([0])),
        (command(3, 12, 0), bytes([26])),
        (command(3, 30, 0), bytes([3])),
    ],
)
def test_read_commands_answer_state_in_protocol_encoding(frame, expected):
    instrument = InstrumentModel(
        "RPX310", "QKT1", (4, 3, 1), instrument_serial=777, board_temperature=1234
    )
    assert payload_of(instrument, frame) == expected


@pytest.mark.parametrize(
    "write, read, expected",
    [
        (command(4, 30, 1, 15), command(3, 30, 1), bytes([15])),
        (command(4, 12, 2, 31), command(3, 12, 2), bytes([31])),
        (command(4, 11, 0, 0), command(3, 11, 0), bytes([0])),
        (command(2, 10, 3, 2), command(1, 10, 3), bytes([2])),
        (command(4, 24, 0, 1, *f32(1.5)), command(3, 24, 0, 1), f32(1.5)),
        (command(4, 25, 0, 1, 0, 0, 3, 0xE8), command(3, 25, 0, 1), u32(1000)),
        (command(2, 34, 1), command(1, 34), bytes([1])),
    ],
)
def test_write_then_read_round_trip(write, read, expected):
    instrument = InstrumentModel("HDA640", ORVALE_ITEM_NUMBER)
    assert payload_of(instrument, write) == b""
    assert payload_of(instrument, read) == expected


@pytest.mark.parametrize(
    "frame",
    [
        command(1, 1)[:-1] + b"\x12",  # bad checksum
        bytes([0, 6, 1, 1, 0x11]),  # length byte disagrees with the frame
        command(9, 9),  # no such command
        command(1, 1, 0),  # known command with a surplus argument
        command(3, 23, 4),  # profile out of range
        command(3, 24, 0, 10),  # loading point beyond 2n - 1
        command(0, 5, 4),  # channel out of range
        command(4, 30, 0, 16),  # rate code the model does not have
        command(4, 11, 0, 2),  # direction code other than 0 or 1
    ],
)
def test_malformed_or_refused_commands_get_no_answer(frame):
    instrument = InstrumentModel("HDA640")
    assert instrument.handle_frame(frame) is None
    assert instrument.profiles[0].rate_code == 7 and instrument.profiles[0].direction_code == 1


def test_every_frame_is_logged():
    instrument = InstrumentModel()
    frames = [command(1, 1), command(9, 9)]
    for frame in frames:
        instrument.handle_frame(frame)
    assert instrument.frames_received == frames


@pytest.mark.parametrize("item_number, answered", [(ORVALE_ITEM_NUMBER, True), ("QKT08813", False)])
@pytest.mark.parametrize("frame", [command(1, 32), command(1, 34), command(2, 34, 1), command(1, 30, 0)])
def test_teds_commands_exist_only_on_the_teds_variant(item_number, answered, frame):
    instrument = InstrumentModel("HDA640", item_number, teds_image=bytes(512))
    assert (instrument.handle_frame(frame) is not None) is answered


def test_teds_memory_answers():
    image = bytes(range(256)) * 2
    instrument = InstrumentModel("HDA640", ORVALE_ITEM_NUMBER)
    assert payload_of(instrument, command(1, 32)) == b"\x00"
    assert payload_of(instrument, command(1, 31)) == bytes(8)  # no sensor: empty laser data
    instrument.teds_image = image
    assert payload_of(instrument, command(1, 32)) == b"\x01"
    assert payload_of(instrument, command(1, 31)) == DEFAULT_TEDS_LASER
    for page in (0, 9, 15):
        assert payload_of(instrument, command(1, 30, page)) == image[32 * page:32 * page + 32]
    assert instrument.handle_frame(command(1, 30, 16)) is None


@pytest.mark.parametrize(
    "profile, units, load",
    [(0, 0, 0.0), (0, 250.5, 250.5), (0, -1000, -1000.0), (1, 100, 200.0), (3, -10, -40.0)],
)
def test_default_calibration_is_linear_around_zero_count(profile, units, load):
    instrument = InstrumentModel()
    instrument.channel_profiles[0] = profile
    count = ZERO_COUNT + int(units * COUNTS_PER_UNIT)
    assert instrument.expected_load(count) == pytest.approx(load)


def test_expected_load_of_a_one_direction_profile_ignores_direction_2():
    instrument = InstrumentModel()
    instrument.profiles[0].direction_code = 0
    assert instrument.expected_load(ZERO_COUNT - 10 * COUNTS_PER_UNIT) == pytest.approx(-10.0)


class ManualClock:
    def __init__(self):
        self.now = 100.0

    def __call__(self):
        return self.now


@pytest.mark.parametrize(
    "item_number, rate_code, rate, packet_size, cleared_bits",
    [
        ("SIM-1", 7, 100, 4, 8),
        ("SIM-1", 15, 38400, 4, 8),  # a plain HDA640 keeps the standard packets
        (ORVALE_ITEM_NUMBER, 14, 19200, 4, 8),
        (ORVALE_ITEM_NUMBER, 15, 38400, 3, 16),
    ],
)
def test_stream_is_paced_by_the_rate_of_channel_0(item_number, rate_code, rate, packet_size, cleared_bits):
    clock = ManualClock()
    instrument = InstrumentModel("HDA640", item_number, clock=clock, signals=[ramp(ZERO_COUNT, 1e7)] * 4)
    instrument.profiles[0].rate_code = rate_code
    assert payload_of(instrument, command(0, 12, 1)) == b""
    clock.now += 0.05
    packets = instrument.stream_packets_due()
    assert len(packets) == pytest.approx(0.05 * rate, abs=1)
    for packet in packets:
        assert len(packet.data) == packet_size
        assert packet.count % (1 << cleared_bits) == 0
        assert packet.data[-1] == weighted_checksum(packet.data[:-1])
        assert int.from_bytes(packet.data[:-1], "big") << (32 - 8 * (packet_size - 1)) == packet.count
    assert [p.count for p in packets] == sorted(p.count for p in packets)
    payload_of(instrument, command(0, 12, 0))
    clock.now += 1
    assert instrument.stream_packets_due() == []


def test_stream_skips_samples_long_overdue_instead_of_bursting():
    clock = ManualClock()
    instrument = InstrumentModel("RPX310", clock=clock)
    instrument.handle_frame(command(0, 12, 1))
    clock.now += 10
    assert len(instrument.stream_packets_due(max_lag=0.1)) == pytest.approx(10, abs=1)


@pytest.mark.parametrize("chunk_size", [1, 2, 3, 7, 64])
def test_frame_parser_reassembles_frames_and_skips_noise(chunk_size):
    frames = [command(1, 1), command(0, 5, 0), command(4, 24, 0, 1, *f32(2.0))]
    stream = b"\xff\x00\x00" + frames[0] + b"\x00\x07\x13" + frames[1] + frames[2]
    parser = FrameParser()
    found = []
    for start in range(0, len(stream), chunk_size):
        found += parser.feed(stream[start:start + chunk_size])
    assert found == frames


def read_bits(image, first, length):
    data = b"".join(image[page + 1:page + 32] for page in range(0, 512, 32))
    return sum(((data[(first + i) // 8] >> ((first + i) % 8)) & 1) << i for i in range(length))


def test_teds_image_places_fields_in_the_bit_stream():
    image = build_teds_image(123456, 4, 0.0, 500.0, 0.0, 0.002, reverse_max_electrical=0.0019)
    assert len(image) == 512
    assert read_bits(image, 40, 24) == 123456
    assert read_bits(image, 74, 6) == 4
    assert struct.unpack("<f", read_bits(image, 112, 32).to_bytes(4, "little"))[0] == 500.0
    assert struct.unpack("<f", read_bits(image, 178, 32).to_bytes(4, "little"))[0] == pytest.approx(0.002)
    assert read_bits(image, 568, 8) == 0x55
    assert all(sum(image[page:page + 32]) % 256 == 0 for page in range(0, 512, 32))
