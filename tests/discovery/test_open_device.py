"""velmo.open_device and the parallel scan, against simulated instruments on pseudo-terminals."""

import contextlib

import pytest

import velmo
import velmo_device_communication as vdc
from velmo import discovery
from velmo.simulator import SimulatedInstrument

MISSING_PORT = "/dev/velmo-no-such-port"


@pytest.mark.parametrize(
    "port, models, error, text",
    [
        (None, None, TypeError, "port must be a str"),
        (b"/dev/ttyUSB0", None, TypeError, "port must be a str"),
        ("", None, ValueError, "must not be empty"),
        ("/dev/x", "HDA640", TypeError, "list of model names"),
        ("/dev/x", 5, TypeError, "list of model names"),
        ("/dev/x", [5], TypeError, "model name must be a str"),
        ("/dev/x", ["HDA640", "XYZ"], ValueError, "unknown model 'XYZ'; known models: HDA640, RPX310"),
    ],
)
def test_bad_arguments_are_refused_before_any_port_is_opened(monkeypatch, port, models, error, text):
    opened = []
    monkeypatch.setattr(vdc, "serial", None)  # any attempt to open a port would fail differently
    monkeypatch.setattr(vdc, "_SerialCommunicationInterface", lambda *args: opened.append(args))
    with pytest.raises(error, match=text):
        velmo.open_device(port, models=models)
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


def test_opens_a_port_that_the_system_does_not_list():
    with SimulatedInstrument("TMV520", baud_rate=115_200) as simulator:
        with velmo.open_device(simulator.port, models=["TMV520"]) as device:
            assert device.get_model_number() == "TMV520"
            assert device.communication_interface.baud_rate == 115_200
            assert device.get_reading() == pytest.approx(100.0)
        # The failed probe at 320000 baud was closed, then the device itself.
        assert simulator.host_closed.wait(2)
        assert simulator.hangups == 2


def test_silent_port_names_the_port_and_the_rates_tried():
    with SimulatedInstrument("HDA640") as simulator:
        simulator.silent = True
        with pytest.raises(vdc.VelmoDeviceNotFoundError) as raised:
            velmo.open_device(simulator.port, models=["HDA640"])
        assert f"on {simulator.port} at 2000000 baud" in str(raised.value)
        assert "dialout" in str(raised.value)
        assert simulator.host_closed.wait(2)
        assert simulator.hangups == 1


def test_missing_port_reports_the_failure_to_open():
    with pytest.raises(vdc.VelmoConnectionError, match=f"Could not open serial port {MISSING_PORT}"):
        velmo.open_device(MISSING_PORT)


@contextlib.contextmanager
def simulators(*models):
    """Simulators that all answer at the first rate tried, so probes stay quick."""
    with contextlib.ExitStack() as stack:
        started = [stack.enter_context(SimulatedInstrument(model, baud_rate=2_000_000)) for model in models]
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
