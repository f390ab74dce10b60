"""Every injected fault against every operation it can hit, end to end over a pseudo-terminal.

Each case checks the exception and its message, that the failure came within the time-outs,
that the device works again once the instrument is back, and that leaving the `with` block
closed the port.
"""

import contextlib
import threading
import time

import pytest

import velmo_device_communication as vdc
from velmo.line import stop_stream
from velmo.simulator import ORVALE_ITEM_NUMBER, SimulatedInstrument, TEDSSensor

TIMEOUT = 0.2
RETRY_PAUSE = 0.1  # the retry policy's default
# Three attempts of one port time-out each, two retry pauses, and slack for a loaded machine:
# a failure that waited the module's 1 s time-outs instead would still exceed it.
LONGEST_FAILURE = 3 * TIMEOUT + 2 * RETRY_PAUSE + 1.5
WRONG_RATE = 9600

TIMED_OUT = (vdc.VelmoTimeoutError, rf"^No response received within {TIMEOUT}s timeout$")
CUT_SHORT = (vdc.VelmoCommunicationError, r"^Incomplete response: expected \d+ bytes, got 4$")
BAD_CHECKSUM = (vdc.VelmoProtocolError, r"^Invalid checksum in response$")
BAD_CALIBRATION = (vdc.VelmoCalibrationError, r"^Error loading calibration data: Invalid checksum in response$")
UNPLUGGED_TEXT = r"(Serial|Unexpected) (error during command transmission|communication error): "
UNPLUGGED = (vdc.VelmoCommunicationError, "^" + UNPLUGGED_TEXT)
SENSOR = TEDSSensor(serial_number=4711, max_capacity=250.0)


def teds_image_unreadable(error):
    # The page reads quote the short time-out they set for themselves.
    return vdc.VelmoTEDSDataCorruptedError, "^Error reading TEDS data: " + error


TEDS_TIMED_OUT = teds_image_unreadable(r"No response received within 0\.05s timeout$")


def stream_briefly(device):
    device.set_stream_state(True)
    try:
        time.sleep(0.05)
        data = device.get_stream_data()
    finally:
        stop_stream(device.communication_interface)
    return len(vdc.StreamDataConverter.convert_stream_data_to_reading(bytearray(data), device.adc_converter).readings)


# Each operation, and what a healthy instrument answers to it.
OPERATIONS = {
    "identity": (lambda device: device.get_model_number(), lambda sim, result: result == "HDA640"),
    "parameter_get": (lambda device: device.get_sampling_rate(),
                      lambda sim, result: result == sim.instrument.profiles[0].rate_code),
    "parameter_set": (lambda device: device.set_sampling_rate(vdc.HDA640SamplingRateEnum.SPS_1200),
                      lambda sim, result: result is None
                      and sim.instrument.profiles[0].rate_code == vdc.HDA640SamplingRateEnum.SPS_1200.value),
    "calibration": (lambda device: device.get_adc_for_profile(0),
                    lambda sim, result: result.convert_adc(sim.instrument.live_count(0))
                    == pytest.approx(sim.instrument.expected_load(sim.instrument.live_count(0)))),
    "streaming": (stream_briefly, lambda sim, result: result > 0),
    "teds_image": (lambda device: device.communication_interface.generate_all_teds_data(),
                   lambda sim, result: result == SENSOR.image()),
}


class Bench:
    """One simulated instrument and a device on it; `replace_instrument` plugs in a new one."""

    def __init__(self, stack):
        self.stack = stack
        self.sim = stack.enter_context(self.instrument())
        self.link = vdc._SerialCommunicationInterface(self.sim.port, self.sim.baud_rate, TIMEOUT)
        self.link.connect()
        self.device = vdc.VelmoDevice(self.link, _internal_token=vdc._DEVICE_CREATION_TOKEN)

    @staticmethod
    def instrument():
        return SimulatedInstrument("HDA640", ORVALE_ITEM_NUMBER, sensor=SENSOR)

    def replace_instrument(self):
        self.link.disconnect()
        self.sim = self.stack.enter_context(self.instrument())
        self.link.comport = self.sim.port
        self.link.connect()


def unplug_soon(bench):
    bench.sim.delay = 1.0  # the answer would come long after the cable is pulled
    threading.Timer(0.05, bench.sim.unplug).start()


def use_wrong_rate(bench):
    bench.link.disconnect()
    bench.link.baud_rate = WRONG_RATE
    bench.link.connect()  # a silent instrument does not make connecting fail


def use_right_rate(bench):
    bench.link.disconnect()
    bench.link.baud_rate = bench.sim.baud_rate
    bench.link.connect()


# fault: (inject, bring the instrument back, {operation: (exception, message)})
FAULTS = {
    "silent": (lambda b: setattr(b.sim, "silent", True), lambda b: b.sim.faults.clear(),
               {**dict.fromkeys(OPERATIONS, TIMED_OUT), "teds_image": TEDS_TIMED_OUT}),
    # Streaming starts right after the switch's answer, so a cut or late answer is made up by
    # stream bytes: only commands without a stream behind them can see these two faults.
    "cut_short": (lambda b: b.sim.cut_next_answer(4), lambda b: None,
                  {**dict.fromkeys(["identity", "parameter_get", "parameter_set", "calibration"], CUT_SHORT),
                   "teds_image": teds_image_unreadable(r"Incomplete response: expected \d+ bytes, got 4$")}),
    "bad_checksum": (lambda b: b.sim.corrupt_next_checksum(), lambda b: None,
                     {"identity": BAD_CHECKSUM, "parameter_get": BAD_CHECKSUM, "calibration": BAD_CALIBRATION,
                      "teds_image": teds_image_unreadable("Invalid checksum in response$")}),
    "garbage_first": (lambda b: b.sim.garbage_before_next_answer(), lambda b: None,
                      {"identity": BAD_CHECKSUM, "parameter_get": BAD_CHECKSUM, "calibration": BAD_CALIBRATION}),
    # Each answer comes after its attempt has timed out, half-way through the pause before the
    # next attempt (the middle keeps a loaded machine on the same side): late answers must not
    # be taken for the answers of the commands that follow.
    "late_answers": (lambda b: setattr(b.sim, "delay", TIMEOUT + RETRY_PAUSE / 2), lambda b: b.sim.faults.clear(),
                     {**dict.fromkeys(["identity", "parameter_get", "parameter_set", "calibration"], TIMED_OUT),
                      "teds_image": TEDS_TIMED_OUT}),
    "unplugged": (unplug_soon, Bench.replace_instrument,
                  {"identity": UNPLUGGED, "parameter_set": UNPLUGGED, "calibration": UNPLUGGED,
                   "teds_image": teds_image_unreadable(UNPLUGGED_TEXT)}),
    "wrong_rate": (use_wrong_rate, use_right_rate, {"identity": TIMED_OUT, "parameter_get": TIMED_OUT}),
}
CASES = [(fault, operation) for fault, (_, _, expected) in FAULTS.items() for operation in expected]


@pytest.mark.parametrize("fault, operation", CASES, ids=[f"{f}-{o}" for f, o in CASES])
def test_fault(fault, operation):
    inject, restore, expected = FAULTS[fault]
    error, message = expected[operation]
    run, healthy = OPERATIONS[operation]
    with contextlib.ExitStack() as stack:
        bench = Bench(stack)
        with bench.device:
            inject(bench)
            started = time.monotonic()
            with pytest.raises(error, match=message) as raised:
                run(bench.device)
            assert time.monotonic() - started < LONGEST_FAILURE
            if error in (vdc.VelmoCalibrationError, vdc.VelmoTEDSDataCorruptedError):
                assert isinstance(raised.value.__cause__, vdc.VelmoDeviceError)
            assert bench.link.serial_connection is not None  # a failed transaction leaves the port open
            restore(bench)
            for _ in range(2):  # the late answers of the failed attempts are not taken for these
                assert bench.device.get_instrument_serial_number() == bench.sim.instrument.instrument_serial
                assert healthy(bench.sim, run(bench.device))
        assert bench.link.serial_connection is None
        assert bench.sim.host_closed.wait(1)


def test_unplugged_mid_stream():
    with contextlib.ExitStack() as stack:
        bench = Bench(stack)
        with bench.device:
            bench.device.set_sampling_rate(vdc.HDA640SamplingRateEnum.SPS_1200)
            bench.device.set_stream_state(True)
            time.sleep(0.05)
            assert bench.device.get_stream_data()
            bench.sim.unplug()
            started = time.monotonic()
            # Reading the buffer hands on the port's own error; a command is a module error.
            with pytest.raises(OSError):
                bench.device.get_stream_data()
            with pytest.raises(UNPLUGGED[0], match=UNPLUGGED[1]):
                bench.device.set_stream_state(False)
            assert time.monotonic() - started < LONGEST_FAILURE
            bench.replace_instrument()
            assert stream_briefly(bench.device) > 0
        assert bench.link.serial_connection is None
