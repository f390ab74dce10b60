"""velmo.open_device and the parallel scan: against simulated instruments on pseudo-terminals,
and on the scripted port for exact exchanges and failures."""

import contextlib
import logging
import signal
import subprocess
import sys
import time

import pytest

import velmo
import velmo_device_communication as vdc
from support.fake_serial import SerialException
from velmo import discovery
from velmo.simulator import ORVALE_ITEM_NUMBER, SimulatedInstrument

MISSING_PORT = "/dev/velmo-no-such-port"


@pytest.mark.parametrize(
    "port, options, error, text",
    [
        (None, {}, TypeError, "needs a port, a serial_number, or both"),
        (b"/dev/ttyUSB0", {}, TypeError, "port must be a str"),
        ("", {}, ValueError, "must not be empty"),
        ("/dev/x", {"models": "HDA640"}, TypeError, "list of model names"),
        ("/dev/x", {"models": 5}, TypeError, "list of model names"),
        ("/dev/x", {"models": [5]}, TypeError, "model name must be a str"),
        ("/dev/x", {"models": ["HDA640", "XYZ"]}, ValueError, "unknown model 'XYZ'; known models: HDA640, RPX310"),
        ("/dev/x", {"serial_number": "20240001"}, TypeError, "serial number must be an int"),
        ("/dev/x", {"serial_number": -1}, ValueError, "not negative"),
        ("/dev/x", {"probe_timeout": 0}, ValueError, "probe_timeout must be a positive number"),
        ("/dev/x", {"probe_timeout": "0.1"}, TypeError, "probe_timeout must be a number"),
    ],
)
def test_bad_arguments_are_refused_before_any_port_is_opened(monkeypatch, port, options, error, text):
    opened = []
    monkeypatch.setattr(vdc, "serial", None)  # any attempt to open a port would fail differently
    monkeypatch.setattr(vdc, "_SerialCommunicationInterface", lambda *args: opened.append(args))
    with pytest.raises(error, match=text):
        velmo.open_device(port, **options)
    assert opened == []


@pytest.mark.parametrize(
    "models, rates",
    [
        (None, [2_000_000, 320_000, 115_200]),
        ([], [2_000_000, 320_000, 115_200]),
        (["tmv520"], [320_000, 115_200]),
        (("RPX310", "HDA640", "GLS870"), [320_000, 115_200, 2_000_000]),
    ],
)
def test_rates_follow_the_scanner_table(models, rates):
    assert discovery.baud_rates_for(models) == rates


@pytest.mark.parametrize("model, baud_rate", [("HDA640", None), ("RPX310", None), ("TMV520", 115_200), ("GLS870", None)])
def test_opens_every_model_and_gives_its_link_the_module_time_outs(model, baud_rate):
    with SimulatedInstrument(model, baud_rate=baud_rate) as simulator:
        with velmo.open_device(simulator.port) as device:
            link = device.communication_interface
            assert (device.get_model_number(), link.baud_rate) == (model, simulator.baud_rate)
            assert link._cached_item_number == f"SIM-{model}"
            assert link.timeout == link.serial_connection.timeout == 1
            assert "send_convert_return_sequence" not in vars(link)  # the probe's stand-in is gone
            assert device.get_reading() == pytest.approx(100.0)
        assert simulator.host_closed.wait(2)


@pytest.fixture
def opened_timeouts(fake_serial):
    """The read time-out of every port the module opens on the scripted port."""
    timeouts = []
    open_port = fake_serial.Serial

    def recording(*args, **kwargs):
        timeouts.append(kwargs.get("timeout"))
        return open_port(*args, **kwargs)

    fake_serial.Serial = recording
    return timeouts


@pytest.mark.parametrize("thorough, writes, timeout", [(False, 3, 0.1), (True, 9, 1)])
def test_a_silent_port_costs_one_short_attempt_per_rate_unless_thorough(
    fake_serial, opened_timeouts, module_log, thorough, writes, timeout
):
    fake_serial.add_port("COM7", model=None)
    with pytest.raises(vdc.VelmoDeviceNotFoundError, match="No VELMO instrument answered on COM7 at 2000000, 320000"):
        velmo.open_device("COM7", thorough=thorough)
    assert fake_serial.count("write", "COM7") == writes
    assert opened_timeouts == [timeout] * 3
    # The expected silence is logged at DEBUG only.
    assert module_log(logging.WARNING) == []
    assert any("Timeout waiting for response" in message for _, message in module_log())


@pytest.mark.parametrize(
    "script, error, text",
    [
        (lambda port: port.fail("open", SerialException("[Errno 13] Permission denied")), vdc.VelmoConnectionError,
         "Permission denied"),
        (lambda port: port.fail("write", SerialException("device disconnected")), vdc.VelmoDeviceNotFoundError,
         "device disconnected"),
        (lambda port: port.faults.corrupt_next_checksum(times=None), vdc.VelmoDeviceNotFoundError,
         "not an instrument's answer"),
    ],
    ids=["permission", "vanished", "garbage"],
)
def test_real_failures_are_raised_and_reported(fake_serial, caplog, script, error, text):
    script(fake_serial.add_port("COM7"))
    with pytest.raises(error, match=text):
        velmo.open_device("COM7")
    caplog.clear()
    assert discovery.scan(["COM7"]) == []
    [record] = [r for r in caplog.records if r.levelno >= logging.WARNING]
    assert (record.name, record.levelname) == ("velmo.discovery", "WARNING")
    assert record.getMessage().startswith("No instrument on COM7: ") and text in record.getMessage()


def test_missing_port_reports_the_failure_to_open():
    with pytest.raises(vdc.VelmoConnectionError, match=f"Could not open serial port {MISSING_PORT}"):
        velmo.open_device(MISSING_PORT)


QUIET_SCRIPT = """
import sys, velmo
from velmo import discovery
with velmo.open_device(sys.argv[1]) as device:  # an RPX310: silent at the first rate tried
    print(device.get_model_number())
print(len(discovery.scan([sys.argv[2]])), "found")
print(len(discovery.scan([sys.argv[3]])), "found")
"""


def test_probes_are_quiet_with_no_logging_configured_but_real_failures_are_not():
    with SimulatedInstrument("RPX310") as rpx, SimulatedInstrument("HDA640") as silent:
        silent.silent = True
        result = subprocess.run(
            [sys.executable, "-c", QUIET_SCRIPT, rpx.port, silent.port, MISSING_PORT],
            capture_output=True, text=True, timeout=60,
        )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n") == ["RPX310", "0 found", "0 found", ""]
    # Python's last-resort handler prints WARNING records without their level: just the one real failure.
    assert result.stderr.splitlines() == [
        f"No instrument on {MISSING_PORT}: Could not open serial port {MISSING_PORT} at 2000000 baud: "
        "[Errno 2] No such file or directory"
    ]


LEFT_STREAMING = """
import sys, velmo
device = velmo.open_device(sys.argv[1], models=["HDA640"])
device.set_stream_state(True)
print("streaming", flush=True)
sys.stdin.read()
"""


@pytest.mark.parametrize("rate_code", [7, 15], ids=["100 SPS", "38400 SPS"])
def test_an_instrument_left_streaming_by_a_killed_program_is_switched_off_and_opened(caplog, rate_code):
    with SimulatedInstrument("HDA640", ORVALE_ITEM_NUMBER) as simulator:
        simulator.instrument.profiles[0].rate_code = rate_code
        with subprocess.Popen(
            [sys.executable, "-c", LEFT_STREAMING, simulator.port], stdin=subprocess.PIPE, stdout=subprocess.PIPE
        ) as consumer:
            assert consumer.stdout.readline() == b"streaming\n"
            deadline = time.monotonic() + 30
            while len(simulator.streamed_counts) < 20 and time.monotonic() < deadline:
                time.sleep(0.01)
            consumer.send_signal(signal.SIGKILL)
            consumer.wait(timeout=30)
        assert simulator.instrument.streaming
        caplog.set_level(logging.INFO, logger="velmo.discovery")
        with velmo.open_device(simulator.port) as device:
            assert not simulator.instrument.streaming
            assert device.get_reading() == pytest.approx(100.0)
            assert device.communication_interface.read_buffer_data() == b""
    messages = [r.getMessage() for r in caplog.records if r.name == "velmo.discovery" and r.levelno == logging.INFO]
    assert f"{simulator.port} at 2000000 baud: the instrument was streaming" in " ".join(messages)


@contextlib.contextmanager
def simulators(*models):
    """Simulators that all answer at the first rate tried, with serial numbers 1, 2, 3..."""
    with contextlib.ExitStack() as stack:
        started = [
            stack.enter_context(SimulatedInstrument(model, baud_rate=2_000_000, instrument_serial=number))
            for number, model in enumerate(models, start=1)
        ]
        for simulator in started:
            stack.enter_context(simulator.visible_to_discovery())
        yield started


def identities(devices):
    return [(d.communication_interface.comport, d.communication_interface.baud_rate, d.get_model_number()) for d in devices]


def test_parallel_scan_finds_what_the_sequential_scan_finds():
    with simulators("HDA640", "GLS870", "RPX310") as started:
        ports = [s.port for s in started] + [MISSING_PORT]
        sequential = vdc.VelmoSerialScanner.discover_devices(None, ports)
        expected = identities(sequential)
        for device in sequential:
            device.disconnect()
        done = []
        parallel = discovery.scan(ports, on_port_done=lambda port, device: done.append((port, device is not None)))
        try:
            assert identities(parallel) == expected
            assert [port for port, _, _ in expected] == [s.port for s in started]
            assert sorted(done) == sorted([(s.port, True) for s in started] + [(MISSING_PORT, False)])
        finally:
            for device in parallel:
                device.disconnect()


def test_scan_keeps_only_the_serial_numbers_asked_for_and_closes_the_others():
    with simulators("HDA640", "GLS870", "RPX310") as started:
        devices = discovery.scan([s.port for s in started], serial_numbers=[3, 1])
        try:
            assert [device.get_instrument_serial_number() for device in devices] == [1, 3]
            assert started[1].host_closed.wait(2)
        finally:
            for device in devices:
                device.disconnect()


@pytest.mark.parametrize(
    "serial_number, found, error",
    [
        (2, 1, None),
        (7, 0, "No instrument with serial number 7 on the ports .*; found 1 on .*, 2 on .*"),
    ],
)
def test_open_device_by_serial_number_alone_scans_and_keeps_only_that_one(serial_number, found, error):
    with simulators("HDA640", "GLS870") as started:
        if error is not None:
            with pytest.raises(vdc.VelmoDeviceNotFoundError, match=error):
                velmo.open_device(serial_number=serial_number)
        else:
            with velmo.open_device(serial_number=serial_number) as device:
                assert device.communication_interface.comport == started[1].port
                assert started[0].host_closed.wait(2)
        assert all(simulator.host_closed.wait(2) for simulator in started)


def test_open_device_with_port_and_serial_number_checks_it():
    with simulators("HDA640") as [simulator]:
        with velmo.open_device(simulator.port, serial_number=1) as device:
            assert device.get_model_number() == "HDA640"
        with pytest.raises(vdc.VelmoDeviceNotFoundError, match=f"on {simulator.port} has serial number 1, not 2"):
            velmo.open_device(simulator.port, serial_number=2)
        assert simulator.host_closed.wait(2)


def test_has_channel_asks_once_and_briefly(fake_serial, opened_timeouts):
    fake_serial.add_port("COM7")
    with velmo.open_device("COM7") as device:
        writes = fake_serial.count("write", "COM7")
        assert discovery.has_channel(device, 3)
        assert not discovery.has_channel(device, 4)  # the simulated instrument has four channels
        assert fake_serial.count("write", "COM7") == writes + 2
        assert device.communication_interface.serial_connection.timeout == 1
