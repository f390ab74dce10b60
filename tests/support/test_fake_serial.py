"""The scripted fake serial module behaves like pyserial where hosts depend on it."""

import pytest

from support.fake_serial import FakeSerialModule

MODEL_QUERY = bytes.fromhex("0005010111")


@pytest.fixture
def fake():
    module = FakeSerialModule()
    module.add_port("COM3", "HDA640")
    module.add_port("COM7", "RPX310")
    return module


def transaction(port, frame, size):
    port.reset_input_buffer()
    port.write(frame)
    return port.read(size=size)


def test_port_answers_only_at_its_instrument_rate(fake):
    assert transaction(fake.Serial(port="COM3", baudrate=2_000_000, timeout=1), MODEL_QUERY, 15)[4:10] == b"HDA640"
    assert transaction(fake.Serial(port="COM7", baudrate=2_000_000, timeout=1), MODEL_QUERY, 15) == b""
    assert transaction(fake.Serial(port="COM7", baudrate=320_000, timeout=1), MODEL_QUERY, 15)[4:10] == b"RPX310"


def test_calls_and_frames_are_recorded(fake):
    port = fake.Serial(port="COM3", baudrate=2_000_000, timeout=0.2)
    transaction(port, MODEL_QUERY, 15)
    port.close()
    assert [call.name for call in fake.calls] == ["open", "reset_input_buffer", "write", "read", "close"]
    assert fake.frames_written("COM3") == [MODEL_QUERY]
    assert fake.calls_named("read")[0].argument == 15
    assert (port.port, port.baudrate, port.timeout, port.is_open) == ("COM3", 2_000_000, 0.2, False)


def test_queued_input_is_discarded_by_reset(fake):
    fake.ports["COM3"].queue_input(b"\x01\x02\x03\x0e")
    port = fake.Serial(port="COM3", baudrate=2_000_000)
    assert port.in_waiting == 4
    assert transaction(port, MODEL_QUERY, 15)[4:10] == b"HDA640"


@pytest.mark.parametrize(
    "arm, answer_length",
    [
        (lambda script: setattr(script.faults, "silent", True), 0),
        (lambda script: script.faults.cut_next(4, times=None), 4),
    ],
)
def test_answer_faults(fake, arm, answer_length):
    arm(fake.ports["COM3"])
    port = fake.Serial(port="COM3", baudrate=2_000_000)
    for _ in range(2):
        assert len(transaction(port, MODEL_QUERY, 15)) == answer_length


def test_bad_checksum_and_short_write(fake):
    script = fake.ports["COM3"]
    script.faults.corrupt_next_checksum()
    script.short_write = 2
    port = fake.Serial(port="COM3", baudrate=2_000_000)
    port.reset_input_buffer()
    assert port.write(MODEL_QUERY) == 2
    answer = port.read(15)
    assert answer[4:10] == b"HDA640" and answer[-1] != sum(i * b for i, b in enumerate(answer[:-1], 1)) % 256


@pytest.mark.parametrize("method", ["write", "read", "reset_input_buffer", "close"])
def test_scripted_exceptions_are_raised_the_given_number_of_times(fake, method):
    fake.ports["COM3"].fail(method, fake.SerialTimeoutException("write timeout"), times=1)
    port = fake.Serial(port="COM3", baudrate=2_000_000)
    call = {"write": lambda: port.write(MODEL_QUERY), "read": lambda: port.read(1)}.get(
        method, lambda: getattr(port, method)()
    )
    with pytest.raises(fake.SerialException):
        call()
    call()


def test_missing_ports_and_enumeration(fake):
    fake.add_port("COM9", model=None, listed=False)
    assert [record.device for record in fake.tools.list_ports.comports()] == ["COM3", "COM7"]
    with pytest.raises(fake.SerialException):
        fake.Serial(port="COM4", baudrate=9600)
    fake.ports["COM7"].fail("open", fake.SerialException("busy"))
    with pytest.raises(fake.SerialException, match="busy"):
        fake.Serial(port="COM7", baudrate=320_000)
    assert fake.count("open", "COM7") == 1
    fake.comports_error = OSError("no sysfs")
    with pytest.raises(OSError):
        fake.tools.list_ports.comports()
    assert issubclass(fake.SerialTimeoutException, fake.SerialException)


def test_closed_port_refuses_io(fake):
    port = fake.Serial(port="COM3", baudrate=2_000_000)
    port.close()
    with pytest.raises(fake.SerialException):
        port.write(MODEL_QUERY)
