"""Instruments of ``velmo simulate`` in another process: listed among the ports while it runs,
found by serial number, and gone from the list when it ends, however it ends."""

import json
import os
import signal
import subprocess
import sys

import pytest

pytest.importorskip("click")

import velmo  # noqa: E402
from velmo import discovery  # noqa: E402

SERIAL_NUMBER = 31415926


@pytest.fixture
def simulate():
    """Start ``velmo simulate`` with the given options in a process of its own; its process and port."""
    processes = []

    def start(*options):
        command = [sys.executable, "-m", "velmo", "simulate", "--serial-number", str(SERIAL_NUMBER), *options]
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        processes.append(process)
        return process, process.stdout.readline().strip()

    yield start
    for process in processes:
        process.kill()
        process.communicate(timeout=30)


@pytest.mark.parametrize("find", ["open_device", "scan"])
def test_an_instrument_of_another_process_is_found_by_serial_number(simulate, find):
    process, port = simulate("--model", "tmv520")
    assert port in discovery.enumerated_ports()
    if find == "open_device":
        device = velmo.open_device(serial_number=SERIAL_NUMBER, models=["TMV520"])
    else:
        [device] = discovery.scan(serial_numbers=[SERIAL_NUMBER], models=["TMV520"])
    with device:
        assert (device.communication_interface.comport, device.get_model_number()) == (port, "TMV520")
    process.send_signal(signal.SIGTERM)
    assert process.wait(timeout=30) == 0
    assert port not in discovery.enumerated_ports()
    assert list(discovery.simulator_folder().iterdir()) == []


def test_the_port_of_a_killed_simulator_is_ignored_and_its_note_removed(simulate):
    process, port = simulate()
    [note] = discovery.simulator_folder().iterdir()
    assert json.loads(note.read_text()) == {
        "pid": process.pid, "port": port, "description": f"Simulated VELMO HDA640 {SERIAL_NUMBER} (pid {process.pid})"
    }
    assert [record.description for record in discovery.port_records() if record.device == port] == [
        f"Simulated VELMO HDA640 {SERIAL_NUMBER} (pid {process.pid})"
    ]
    process.kill()
    process.wait(timeout=30)
    assert note.exists()
    assert port not in discovery.enumerated_ports()
    assert not note.exists()


@pytest.mark.parametrize("owner", ["another user's", "a symbolic link"])
def test_a_folder_that_is_not_the_users_own_is_neither_read_nor_written(tmp_path, monkeypatch, owner):
    monkeypatch.setenv("XDG_RUNTIME_DIR", str(tmp_path))
    folder = discovery.simulator_folder()
    if owner == "a symbolic link":
        (tmp_path / "elsewhere").mkdir()
        folder.parent.symlink_to(tmp_path / "elsewhere")
    else:
        folder.mkdir(parents=True)
        monkeypatch.setattr(os, "getuid", lambda: os.stat(folder).st_uid + 1)
    with discovery.listed_for_other_processes("/dev/pts/99", "Simulated VELMO HDA640"):
        assert discovery.simulator_ports() == []
    assert list((tmp_path / "elsewhere").iterdir() if owner == "a symbolic link" else folder.iterdir()) == []
