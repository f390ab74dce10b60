"""Answers that arrive after the port's time-out must never be read as another command's."""

import time

import pytest

import velmo_device_communication as vdc
from support.bare_port import BarePort
from velmo.simulator import SimulatedInstrument

TIMEOUT = 0.2


@pytest.mark.parametrize("lateness", [1.05, 1.5, 1.9])
def test_a_late_answer_is_never_taken_for_another_command(lateness):
    # 1.05: every attempt times out and the last answer lands right after the failure;
    # 1.5 and 1.9: a retry reads the previous attempt's answer and its own comes later.
    with SimulatedInstrument("HDA640") as sim:
        link = vdc._SerialCommunicationInterface(sim.port, sim.baud_rate, TIMEOUT)
        link.connect()
        instrument = sim.instrument
        for _ in range(2):
            sim.delay = TIMEOUT * lateness
            try:
                assert link.get_ndr(0) == instrument.live_count(0)  # its own command's answer is fine
            except vdc.VelmoTimeoutError:
                pass
            sim.delay = 0
            assert link.get_instrument_serial_number() == instrument.instrument_serial
            assert link.get_ndr(1) == instrument.live_count(1)
            assert link.get_model_number() == "HDA640"
        link.disconnect()


class SlowPort(BarePort):
    """Answers every command with a zero count, or stays silent for a read time-out."""

    read_timeout = 0.15

    def __init__(self):
        self.silent = False

    def read(self, size=1):
        if self.silent:
            time.sleep(self.read_timeout)
            return b""
        answer = bytes([0, size, 0, 0] + [0] * (size - 5))
        return answer + bytes([sum(w * b for w, b in enumerate(answer, start=1)) % 256])


def test_only_another_command_waits_out_the_window(sleeps):
    link = vdc._SerialCommunicationInterface("COM3")
    link.serial_connection = port = SlowPort()
    assert link.get_ndr(0) == 0 and sleeps == []  # nothing to wait for on the normal path
    port.silent = True
    with pytest.raises(vdc.VelmoTimeoutError):
        link.get_ndr(0)
    assert sleeps == [0.1, 0.1]  # the retries of the same command do not wait
    port.silent = False
    assert link.get_instrument_serial_number() == 0
    # What was left of the window: about one read time-out, as long as the silent read lasted.
    assert len(sleeps) == 3 and 0 < sleeps[2] < 2 * SlowPort.read_timeout
    assert link.get_ndr(1) == 0 and len(sleeps) == 3  # the window is closed
