"""Stopping a stream: verified, and finished whatever interrupts it."""

import signal
import subprocess
import sys
import threading
import time

import pytest

import velmo
import velmo_device_communication as vdc
from velmo import line
from velmo.acquisition import acquisition
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


def _interrupt(*_args, **_kwargs):
    raise KeyboardInterrupt


@pytest.mark.parametrize(
    "where",
    [
        "the rate was set",  # before streaming was switched on
        "streaming is on",  # before the port is read
        "the reader runs",
    ],
)
def test_ctrl_c_while_the_acquisition_starts_leaves_the_instrument_silent_at_its_rate(monkeypatch, where):
    if where == "the rate was set":
        monkeypatch.setattr(acquisition, "LineClock", _interrupt)
    elif where == "streaming is on":
        monkeypatch.setattr(Acquisition, "_open_port", _interrupt)
    else:
        monkeypatch.setattr(acquisition.logger, "debug", _interrupt)
    with SimulatedInstrument("HDA640") as simulator, velmo.open_device(simulator.port, models=["HDA640"]) as device:
        rate_before = device.get_sampling_rate(0)
        with pytest.raises(KeyboardInterrupt):
            Acquisition(device, rate="SPS_2400").start()
        assert not any(thread.name.startswith("velmo-acquisition") for thread in threading.enumerate())
        assert not simulator.instrument.streaming
        # Nothing else reads the port: the next command gets its answer.
        assert device.get_sampling_rate(0) == rate_before != RATES.SPS_2400.value


def test_an_acquisition_left_running_at_exit_is_closed_and_the_process_ends_cleanly():
    left_running = """
import sys, time, velmo
from velmo.acquisition import Acquisition
acquisition = Acquisition(velmo.open_device(sys.argv[1], models=["HDA640"]), rate="SPS_2400")
acquisition.start()
time.sleep(0.2)
"""
    with SimulatedInstrument("HDA640") as simulator:
        rate_before = simulator.instrument.profiles[0].rate_code
        result = subprocess.run(
            [sys.executable, "-c", left_running, simulator.port], capture_output=True, text=True, timeout=60
        )
        assert result.returncode == 0, result.stderr  # it aborted in the interpreter's shutdown
        assert simulator.host_closed.wait(5) and not simulator.instrument.streaming
        assert simulator.instrument.profiles[0].rate_code == rate_before


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
