"""A port opened through velmo is held for one connection, across processes too."""

import contextlib
import fcntl
import os
import re
import subprocess
import sys
from pathlib import Path

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


def descriptors_open_on(path):
    """This process's descriptors that refer to `path`."""
    target = os.stat(path)
    found = []
    for name in os.listdir("/proc/self/fd"):
        with contextlib.suppress(OSError):
            info = os.stat(f"/proc/self/fd/{name}")
            if (info.st_dev, info.st_ino, info.st_rdev) == (target.st_dev, target.st_ino, target.st_rdev):
                found.append(int(name))
    return found


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="lists descriptors through /proc")
def test_the_link_uses_the_claimed_file_and_nothing_else_stays_open(sim):
    with velmo.open_device(sim.port) as device:
        [fd] = descriptors_open_on(sim.port)  # the claim's own descriptor went with the hand-over
        assert fd == device.communication_interface.serial_connection.fileno()
        assert not os.get_inheritable(fd)
        # The lock is on the link's open file: a new open file of the port cannot take it.
        other = os.open(sim.port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            with pytest.raises(BlockingIOError):
                fcntl.flock(other, fcntl.LOCK_EX | fcntl.LOCK_NB)
        finally:
            os.close(other)
    assert descriptors_open_on(sim.port) == []


def test_every_byte_of_a_probe_goes_through_the_locked_file(sim, monkeypatch):
    # The claim holds the lock from before the port is opened: the writer's descriptor can
    # take the lock too only if it is the claimed open file itself.
    writes_locked = []
    write = serial.Serial.write

    def checked_write(self, data):
        try:
            fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            writes_locked.append(True)
        except BlockingIOError:
            writes_locked.append(False)
        return write(self, data)

    monkeypatch.setattr(serial.Serial, "write", checked_write)
    with velmo.open_device(sim.port):  # probes every model's rates, the HDA640's first
        pass
    assert len(writes_locked) > 2 and all(writes_locked)


def test_only_the_port_module_reaches_into_the_modules_private_members():
    package = Path(velmo.__file__).parent
    private = re.compile(r"communication_interface|serial_connection|_cached_[a-z]|_teds_data|__wrapped__")
    touching = sorted(
        str(path.relative_to(package)) for path in package.rglob("*.py") if private.search(path.read_text("utf-8"))
    )
    assert touching == ["port.py"]
