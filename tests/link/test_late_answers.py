"""Answers that arrive after the port's time-out, against a simulated instrument."""

import pytest

import velmo_device_communication as vdc
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
