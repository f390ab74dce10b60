"""A port opened through velmo is held for one connection, across processes too."""

import subprocess
import sys

import pytest
import serial

import velmo
import velmo_device_communication as vdc
from velmo import portlock
from velmo.simulator import SimulatedInstrument

IN_USE = "is in use by another program"


@pytest.fixture
def sim():
    with SimulatedInstrument("HDA640") as simulator:
        yield simulator


def test_a_second_opener_is_refused_without_a_byte_sent(sim):
    with velmo.open_device(sim.port) as device:
        frames = len(sim.frames_received)
        with pytest.raises(vdc.VelmoConnectionError, match=f"Port {sim.port} {IN_USE}"):
            velmo.open_device(sim.port)
        assert velmo.discovery.scan([sim.port]) == []
        assert len(sim.frames_received) == frames
        assert device.get_model_number() == "HDA640"  # the holder is undisturbed
    # The lock went with the port's close.
    with velmo.open_device(sim.port) as device:
        assert device.get_model_number() == "HDA640"


def test_pyserial_exclusive_users_and_velmo_keep_each_other_out(sim):
    with velmo.open_device(sim.port):
        with pytest.raises(serial.SerialException, match="exclusively lock"):
            serial.Serial(sim.port, 2_000_000, exclusive=True)
    with serial.Serial(sim.port, 2_000_000, exclusive=True):
        with pytest.raises(vdc.VelmoConnectionError, match=IN_USE):
            velmo.open_device(sim.port)


HOLDER = """
import sys, velmo
device = velmo.open_device(sys.argv[1])
print("holding", flush=True)
sys.stdin.read()
"""


def test_another_process_holding_the_port_keeps_velmo_out(sim):
    with subprocess.Popen([sys.executable, "-c", HOLDER, sim.port], stdin=subprocess.PIPE, stdout=subprocess.PIPE) as holder:
        try:
            assert holder.stdout.readline() == b"holding\n"
            with pytest.raises(vdc.VelmoConnectionError, match=IN_USE):
                velmo.open_device(sim.port)
        finally:
            holder.stdin.close()
            holder.wait(timeout=30)
    with velmo.open_device(sim.port) as device:
        assert device.get_model_number() == "HDA640"


def test_hold_is_idempotent_for_its_connection_and_refuses_another(sim):
    links = [vdc._SerialCommunicationInterface(sim.port, sim.baud_rate) for _ in range(2)]
    for link in links:
        link.connect()  # the module alone takes no lock
    try:
        portlock.hold(links[0])
        portlock.hold(links[0])
        with pytest.raises(vdc.VelmoConnectionError, match=IN_USE):
            portlock.hold(links[1])
    finally:
        for link in links:
            link.disconnect()


def test_a_port_without_a_descriptor_is_left_alone(fake_serial):
    fake_serial.add_port("COM3")
    with velmo.open_device("COM3") as device:
        portlock.hold(device)
        assert device.get_model_number() == "HDA640"
