"""The simulated instrument as a host sees it: through pyserial on a pseudo-terminal."""

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
import serial
import serial.tools.list_ports

from velmo.simulator import ORVALE_ITEM_NUMBER, ZERO_COUNT, SimulatedInstrument, ramp

TIMEOUT = 0.2
MODEL_QUERY = bytes.fromhex("0005010111")


def weighted_checksum(data):
    return sum(weight * byte for weight, byte in enumerate(data, start=1)) % 256


def command(high, low, *arguments):
    head = bytes([0, 5 + len(arguments), high, low, *arguments])
    return head + bytes([weighted_checksum(head)])


def query(port, frame, size):
    port.reset_input_buffer()
    port.write(frame)
    return port.read(size)


def parse_stream(data, packet_size):
    """Counts of consecutive stream packets; every packet must be intact."""
    counts = []
    for start in range(0, len(data) - len(data) % packet_size, packet_size):
        *sample, check = data[start:start + packet_size]
        assert weighted_checksum(sample) == check, f"bad packet at byte {start}"
        counts.append(int.from_bytes(bytes(sample), "big") << (32 - 8 * len(sample)))
    return counts


@pytest.fixture
def sim():
    with SimulatedInstrument("HDA640") as simulator:
        yield simulator


def open_port(simulator, baud_rate=None):
    return serial.Serial(port=simulator.port, baudrate=baud_rate or simulator.baud_rate, timeout=TIMEOUT)


@pytest.mark.parametrize(
    "model, baud_rate, frame, payload",
    [
        ("HDA640", 2_000_000, MODEL_QUERY, b"HDA640\0\0\0\0"),
        ("RPX310", 320_000, MODEL_QUERY, b"RPX310\0\0\0\0"),
        ("GLS870", 320_000, command(1, 2), b"ITEM-7\0\0\0\0"),
        ("TMV520", 320_000, command(1, 4), bytes([4, 3, 2])),
    ],
)
def test_identity_answers_at_the_instrument_rate(model, baud_rate, frame, payload):
    with SimulatedInstrument(model, item_number="ITEM-7") as simulator, open_port(simulator) as port:
        assert simulator.baud_rate == baud_rate
        answer = query(port, frame, 5 + len(payload))
    assert answer[:4] == bytes([0, 5 + len(payload), frame[2], frame[3]])
    assert answer[4:-1] == payload
    assert answer[-1] == weighted_checksum(answer[:-1])


@pytest.mark.parametrize("model, wrong_rate", [("HDA640", 320_000), ("HDA640", 9600), ("RPX310", 2_000_000), ("RPX310", 115_200)])
def test_silent_at_any_other_rate(model, wrong_rate):
    with SimulatedInstrument(model) as simulator:
        with open_port(simulator, wrong_rate) as port:
            assert query(port, MODEL_QUERY, 15) == b""
        assert simulator.frames_received == []
        with open_port(simulator) as port:  # the same instrument at its own rate
            assert len(query(port, MODEL_QUERY, 15)) == 15


def test_custom_baud_rate_is_honoured():
    with SimulatedInstrument("RPX310", baud_rate=115_200) as simulator:
        with open_port(simulator, 320_000) as port:
            assert query(port, MODEL_QUERY, 15) == b""
        with open_port(simulator, 115_200) as port:
            assert query(port, MODEL_QUERY, 15)[4:10] == b"RPX310"


def test_write_command_changes_state(sim):
    with open_port(sim) as port:
        assert query(port, command(4, 12, 0, 17), 5) == bytes([0, 5, 4, 12]) + bytes([weighted_checksum([0, 5, 4, 12])])
        assert query(port, command(3, 12, 0), 6)[4] == 17
    assert sim.instrument.profiles[0].unit_code == 17


def test_command_written_in_pieces_is_answered(sim):
    frame = command(0, 5, 1)
    with open_port(sim) as port:
        for byte in frame:
            port.write(bytes([byte]))
            time.sleep(0.005)
        answer = port.read(9)
    assert int.from_bytes(answer[4:8], "big") == sim.instrument.live_count(1)


@pytest.mark.parametrize(
    "item_number, rate_code, rate, packet_size",
    [("SIM-1", 9, 1200, 4), (ORVALE_ITEM_NUMBER, 15, 38400, 3)],
)
def test_stream_delivers_every_recorded_reading_at_the_rate(item_number, rate_code, rate, packet_size):
    signals = [ramp(ZERO_COUNT, 3e8)] * 4
    with SimulatedInstrument("HDA640", item_number, signals=signals) as simulator, open_port(simulator) as port:
        simulator.instrument.profiles[0].rate_code = rate_code
        assert query(port, command(0, 12, 1), 5) == bytes.fromhex("0005000c3a")
        started, data = time.monotonic(), b""
        while time.monotonic() - started < 0.4:
            data += port.read(max(1, port.in_waiting))
        elapsed = time.monotonic() - started
        query(port, command(0, 12, 0), 5)
        counts = parse_stream(data, packet_size)
        assert counts == simulator.streamed_counts[:len(counts)]
        assert len(counts) == pytest.approx(rate * elapsed, rel=0.25)
        assert counts == sorted(counts) and len(set(counts)) > 1
        time.sleep(0.05)
        port.reset_input_buffer()
        time.sleep(0.05)
        assert port.in_waiting == 0  # stopped


def test_commands_are_answered_while_streaming(sim):
    with open_port(sim) as port:
        query(port, command(0, 12, 1), 5)
        time.sleep(0.05)
        answers = [query(port, MODEL_QUERY, 15) for _ in range(5)]
        query(port, command(0, 12, 0), 5)
    assert sum(answer[4:10] == b"HDA640" for answer in answers) >= 4


@pytest.mark.parametrize(
    "arm, expected",
    [
        (lambda s: setattr(s, "silent", True), lambda a: a == b""),
        (lambda s: s.drop_next_answer(), lambda a: a == b""),
        (lambda s: s.cut_next_answer(4), lambda a: a == bytes.fromhex("000f0101")),
        (lambda s: s.corrupt_next_checksum(), lambda a: a[:-1].endswith(b"HDA640\0\0\0\0") and a[-1] != weighted_checksum(a[:-1])),
        (lambda s: s.garbage_before_next_answer(b"\xee\xee"), lambda a: a[:2] == b"\xee\xee" and a[6:12] == b"HDA640"),
    ],
)
def test_fault_knobs_spoil_one_answer(sim, arm, expected):
    with open_port(sim) as port:
        arm(sim)
        assert expected(query(port, MODEL_QUERY, 15))
        if not sim.silent:
            assert query(port, MODEL_QUERY, 15)[4:10] == b"HDA640"  # only the next answer


def test_delayed_answer_arrives_late(sim):
    sim.delay = 0.1
    with open_port(sim) as port:
        port.timeout = 0.5
        started = time.monotonic()
        assert len(query(port, MODEL_QUERY, 15)) == 15
        assert time.monotonic() - started >= 0.1


def test_unplug_makes_the_host_port_fail(sim):
    with open_port(sim) as port:
        sim.unplug()
        with pytest.raises(serial.SerialException):
            port.write(MODEL_QUERY)
            port.read(15)
    with pytest.raises(serial.SerialException):
        open_port(sim)


def test_host_closing_the_port_is_noticed(sim):
    assert not sim.host_closed.is_set() and sim.hangups == 0
    for _ in range(3):  # brief opens count too
        open_port(sim).close()
    port = open_port(sim)
    assert query(port, MODEL_QUERY, 15)
    assert sim.host_connected and not sim.host_closed.is_set()
    port.close()
    assert sim.host_closed.wait(1)
    assert (sim.host_opens, sim.hangups) == (4, 4)
    assert not sim.host_connected


def comport_devices():
    return [record.device for record in serial.tools.list_ports.comports()]


def test_visible_to_discovery_lists_simulators_after_real_ports():
    real = comport_devices()
    with SimulatedInstrument("HDA640") as first, SimulatedInstrument("RPX310") as second:
        with first.visible_to_discovery():
            with second.visible_to_discovery():
                assert comport_devices() == real + [first.port, second.port]
            assert comport_devices() == real + [first.port]
        assert comport_devices() == real


def test_a_host_holding_the_port_twice_is_there_until_its_last_close(sim):
    lock = os.open(sim.port, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)  # as velmo's port lock does
    port = open_port(sim)
    os.close(lock)
    assert query(port, MODEL_QUERY, 15)
    assert sim.host_connected and not sim.host_closed.is_set()
    port.close()
    assert sim.host_closed.wait(1)
    assert (sim.host_opens, sim.hangups) == (1, 1)


@pytest.mark.parametrize("stop_signal, status", [(signal.SIGTERM, 0), (signal.SIGINT, 130)])
def test_command_line_simulator_serves_a_port(stop_signal, status):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(Path(__file__).parents[2] / "python"), *sys.path]))
    command_line = [sys.executable, "-m", "velmo.simulator", "--model", "rpx310"]
    with subprocess.Popen(command_line, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env) as process:
        try:
            device = process.stdout.readline().strip()
            with serial.Serial(port=device, baudrate=320_000, timeout=1) as port:
                assert query(port, MODEL_QUERY, 15)[4:10] == b"RPX310"
            process.send_signal(stop_signal)
            assert process.wait(timeout=5) == status
            assert "Traceback" not in process.stderr.read()
        finally:
            process.kill()
