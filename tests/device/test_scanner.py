"""Discovery over scripted ports: filters, rate order, log records and clean-up of failed probes."""

import logging

import pytest

import velmo_device_communication as vdc
from conftest import fault_command

ALL_RATES = [2_000_000, 320_000, 115_200]
INFO, DEBUG, WARNING, ERROR = logging.INFO, logging.DEBUG, logging.WARNING, logging.ERROR
SILENT = "communication error - No response received within 1s timeout"


def discover(*args, **kwargs):
    return vdc.VelmoSerialScanner.discover_devices(*args, **kwargs)


def opened(fake_serial, port=None):
    return [c.argument for c in fake_serial.calls_named("open", port)]


def assert_only_returned_ports_open(fake_serial, devices):
    """Every probe link was closed except the ones the devices own."""
    kept = {d.communication_interface.comport for d in devices}
    for name in fake_serial.ports:
        assert fake_serial.count("open", name) - fake_serial.count("close", name) == (name in kept), name
    for device in devices:
        assert device.communication_interface.serial_connection.is_open


@pytest.mark.parametrize(
    "models, ports, text",
    [
        (None, [], "models: all, ports: all"),
        (["hda640"], None, "models: ['hda640'], ports: all"),
        (("RPX310", "tmv520"), ["COM7"], "models: ('RPX310', 'tmv520'), ports: ['COM7']"),
    ],
)
def test_no_ports(fake_serial, module_log, models, ports, text):
    assert discover(models, ports) == []
    assert module_log() == [
        (INFO, f"Starting device discovery ({text})"),
        (DEBUG, "Found 0 COM ports to scan"),
        (INFO, "Discovery complete: found 0 device(s)"),
    ]
    assert fake_serial.calls == []


@pytest.mark.parametrize(
    "models, rates",
    [
        (None, ALL_RATES),
        (["tmv520"], [320_000, 115_200]),
        (["RPX310", "HDA640"], [320_000, 115_200, 2_000_000]),
        (["GLS870", "rpx310", "TMV520"], [320_000, 115_200]),
        (["hda640"], [2_000_000]),
        (["XYZ", "Hda640"], [2_000_000]),
    ],
)
def test_rates_tried_on_a_silent_port(fake_serial, module_log, models, rates):
    fake_serial.add_port("COM3", model=None)
    given = None if models is None else list(models)
    assert discover(given) == []
    assert given == models  # the caller's list is left alone
    assert opened(fake_serial) == rates
    assert_only_returned_ports_open(fake_serial, [])
    assert [(DEBUG, f"COM3 at {rate} baud: {SILENT}") for rate in rates] == [
        r for r in module_log() if r[1].startswith("COM3 at")
    ]


def test_model_filter_chooses_rates_not_models(fake_serial):
    fake_serial.add_port("COM3", "HDA640")
    fake_serial.add_port("COM4", "GLS870")
    devices = discover(["tmv520"])
    assert [(d.communication_interface.comport, d.get_model_number()) for d in devices] == [("COM4", "GLS870")]
    assert opened(fake_serial, "COM3") == [320_000, 115_200]


def test_unknown_model_opens_nothing(fake_serial, module_log):
    fake_serial.add_port("COM3")
    fake_serial.add_port("COM4")
    assert discover(["xyz"]) == []
    assert fake_serial.count("open") == 0
    assert module_log() == [
        (INFO, "Starting device discovery (models: ['xyz'], ports: all)"),
        (DEBUG, "Found 2 COM ports to scan"),
        (WARNING, "Unknown device model: XYZ, skipping"),
        (DEBUG, "Scanning COM3"),
        (DEBUG, "Scanning COM4"),
        (INFO, "Discovery complete: found 0 device(s)"),
    ]


@pytest.mark.parametrize("models", [[1], ["HDA640", None], [["HDA640"]]])
def test_model_that_is_not_text(fake_serial, models):
    fake_serial.add_port("COM3")
    with pytest.raises(AttributeError):
        discover(models)
    assert fake_serial.count("open") == 0


@pytest.mark.parametrize("wanted, found", [(["COM7"], ["COM7"]), ({"COM3", "COM7"}, ["COM3", "COM7"]), (["com7"], [])])
def test_port_filter(fake_serial, module_log, wanted, found):
    fake_serial.add_port("COM3")
    fake_serial.add_port("COM7")
    devices = discover(comports=wanted)
    assert [d.communication_interface.comport for d in devices] == found
    assert sorted({c.port for c in fake_serial.calls}) == found
    for name in ("COM3", "COM7"):
        skipped = (DEBUG, f"Skipping {name} (not in requested list)")
        assert (skipped in module_log()) == (name not in found)


def test_port_enumeration_failure(fake_serial, module_log):
    fake_serial.add_port("COM3")
    fake_serial.comports_error = OSError("access denied")
    assert discover(["HDA640"]) == []
    assert module_log() == [
        (INFO, "Starting device discovery (models: ['HDA640'], ports: all)"),
        (ERROR, "Failed to enumerate COM ports: access denied"),
    ]
    assert fake_serial.count("open") == 0


def test_mixed_ports(fake_serial, module_log):
    fake_serial.add_port("COM1", model=None)
    fake_serial.add_port("COM3", "HDA640")
    fake_serial.add_port("COM5", "RPX310")
    fake_serial.add_port("COM9", "HDA640", listed=False)
    devices = discover()
    assert [(d.communication_interface.comport, d.communication_interface.baud_rate) for d in devices] == [
        ("COM3", 2_000_000), ("COM5", 320_000)]
    assert all(type(d) is vdc.VelmoDevice and d.adc_converter is not None for d in devices)
    assert (opened(fake_serial, "COM1"), opened(fake_serial, "COM3")) == (ALL_RATES, [2_000_000])
    assert (opened(fake_serial, "COM5"), opened(fake_serial, "COM9")) == (ALL_RATES[:2], [])
    assert_only_returned_ports_open(fake_serial, devices)
    records = [r for r in module_log() if r[0] != DEBUG or r[1].startswith(("Found ", "Scanning", "COM"))]
    assert records == [
        (INFO, "Starting device discovery (models: all, ports: all)"),
        (DEBUG, "Found 3 COM ports to scan"),
        (DEBUG, "Scanning COM1"),
        *[r for rate in ALL_RATES for r in _silent_probe("COM1", rate)],
        (DEBUG, "Scanning COM3"),
        (INFO, "Successfully connected to COM3 at 2000000 baud"),
        (INFO, "Found HDA640 on COM3 at 2000000 baud )"),
        (DEBUG, "Scanning COM5"),
        *_silent_probe("COM5", 2_000_000),
        (INFO, "Successfully connected to COM5 at 320000 baud"),
        (INFO, "Found RPX310 on COM5 at 320000 baud )"),
        (INFO, "Discovery complete: found 2 device(s)"),
    ]


def _silent_probe(port, rate):
    """Non-debug records of a probe where nothing answers, plus its closing debug record."""
    timed_out = (ERROR, "Timeout waiting for response (expected 15 bytes)")
    attempts = [timed_out, (WARNING, "Attempting Retry")] * 2 + [timed_out, (ERROR, "Retries failed after ")]
    return [
        (INFO, f"Successfully connected to {port} at {rate} baud"),
        *attempts,
        (WARNING, "Failed to cache device info during connect: No response received within 1s timeout"),
        *attempts,
        (DEBUG, f"{port} at {rate} baud: {SILENT}"),
        (INFO, f"Disconnected from {port}"),
    ]


def test_empty_model_answer_counts_as_no_response(fake_serial, module_log):
    script = fake_serial.add_port("COM3", "HDA640")
    script.instrument.model = ""
    assert discover(["HDA640"]) == []
    assert (DEBUG, "COM3 at 2000000 baud: no response") in module_log()
    assert_only_returned_ports_open(fake_serial, [])


@pytest.mark.parametrize(
    "fault, record",
    [
        ("drop_next", (DEBUG, "COM3 at {rate} baud: " + SILENT)),
        ("corrupt_next_checksum",
         (WARNING, "Unexpected error scanning COM3 at {rate} baud: Invalid checksum in response")),
    ],
)
def test_device_construction_failing_after_the_find(fake_serial, module_log, fault, record):
    # The instrument understands every rate but spoils its answer to the profile query.
    script = fake_serial.add_port("COM3", "HDA640")
    deliver = script.deliver
    script.deliver = lambda data, _rate: deliver(data, script.baud_rate)
    fault_command(script, 1, 10, fault)
    assert discover() == []
    assert opened(fake_serial) == ALL_RATES
    assert_only_returned_ports_open(fake_serial, [])
    for rate in ALL_RATES:
        found = module_log().index((INFO, f"Found HDA640 on COM3 at {rate} baud )"))
        failed = (record[0], record[1].format(rate=rate))
        assert failed in module_log()[found:]


def test_busy_port(fake_serial, module_log):
    fake_serial.add_port("COM3").fail("open", fake_serial.SerialException("port busy"))
    assert discover(["HDA640"]) == []
    assert (DEBUG, "COM3 at 2000000 baud: communication error - "
            "Could not open serial port COM3 at 2000000 baud: port busy") in module_log()
    assert fake_serial.count("close") == 0


def test_keyboard_interrupt_ends_the_scan(fake_serial):
    fake_serial.add_port("COM3").fail("read", KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        discover()
