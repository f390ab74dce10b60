"""Stopping a stream: verified, and finished whatever interrupts it."""

import signal
import subprocess
import sys
import time

import pytest

import velmo
import velmo_device_communication as vdc
from velmo import line
from velmo.acquisition import Acquisition
from velmo.simulator import SimulatedInstrument

RATES = vdc.HDA640SamplingRateEnum

CONSUMER = """
import sys
import velmo
from velmo.acquisition import Acquisition

with velmo.open_device(sys.argv[1], models=["HDA640"]) as device:
    with Acquisition(device, rate="SPS_2400") as acquisition:
        for number, chunk in enumerate(acquisition):
            if number == 1:
                print("streaming", flush=True)
"""


@pytest.mark.parametrize("gap", [0.0, 0.005, 0.02, 0.1, 0.3])
def test_two_quick_ctrl_c_still_stop_the_stream_and_put_the_rate_back(gap):
    with SimulatedInstrument("HDA640") as simulator:
        rate_before = simulator.instrument.profiles[0].rate_code
        consumer = subprocess.Popen(
            [sys.executable, "-c", CONSUMER, simulator.port], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
        )
        try:
            assert consumer.stdout.readline() == "streaming\n"
            consumer.send_signal(signal.SIGINT)
            time.sleep(gap)
            consumer.send_signal(signal.SIGINT)
            _out, err = consumer.communicate(timeout=30)  # it must not hang
        finally:
            consumer.kill()
        assert "KeyboardInterrupt" in err
        assert simulator.host_closed.wait(5)
        assert not simulator.instrument.streaming
        assert simulator.instrument.profiles[0].rate_code == rate_before != RATES.SPS_2400.value


def test_an_instrument_that_ignores_the_stop_is_reported_and_the_port_stays_usable(monkeypatch):
    monkeypatch.setattr(line, "STOP_TIMEOUT", 0.2)
    with SimulatedInstrument("HDA640") as simulator, velmo.open_device(simulator.port, models=["HDA640"]) as device:
        acquisition = Acquisition(device, rate="SPS_100")
        acquisition.start()
        sent_before = len(simulator.frames_received)
        simulator.instrument.ignores_stream_off = True
        with pytest.raises(vdc.VelmoCommunicationError, match="still streaming after 3 stop commands"):
            acquisition.close()
        commands = device.communication_interface.commands
        stop = bytes(commands.get_command_byte_array(commands.Set_Streaming_State_Command, bytearray([0])))
        assert simulator.frames_received[sent_before:].count(stop) == 3
        simulator.instrument.ignores_stream_off = False
        line.stop_stream(device.communication_interface)
        assert not simulator.instrument.streaming and device.get_model_number() == "HDA640"
