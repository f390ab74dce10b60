import importlib.util
import sys
from pathlib import Path

# The pure-Python tools live under python/; make them importable when the
# package has not been installed. An installed package comes first: it holds
# the compiled velmo._columns, which the source tree does not.
PYTHON_SOURCES = str(Path(__file__).resolve().parent.parent / "python")
if importlib.util.find_spec("velmo") is None and PYTHON_SOURCES not in sys.path:
    sys.path.insert(0, PYTHON_SOURCES)

# --- Module test fixtures -------------------------------------------------

import logging  # noqa: E402
import os  # noqa: E402

import pytest  # noqa: E402

# The plain-Python transcriptions in bench/reference.py are the oracle of the
# property tests; make `from bench.reference import ...` work from any test.
REPO_ROOT = str(Path(__file__).resolve().parent.parent)
if REPO_ROOT not in sys.path:
    sys.path.insert(0, REPO_ROOT)

MODULE_LOGGER = "velmo_device_communication"


@pytest.fixture(autouse=True, scope="session")
def private_runtime_folder(tmp_path_factory):
    """A runtime folder of the suite's own: the ports that ``velmo simulate`` lists for other
    processes stay among this run's processes, and other runs' never reach its scans."""
    folder = tmp_path_factory.mktemp("runtime")
    folder.chmod(0o700)
    saved = os.environ.get("XDG_RUNTIME_DIR")
    os.environ["XDG_RUNTIME_DIR"] = str(folder)
    yield folder
    if saved is None:
        del os.environ["XDG_RUNTIME_DIR"]
    else:
        os.environ["XDG_RUNTIME_DIR"] = saved


@pytest.fixture
def reference():
    """The bench.reference module."""
    from bench import reference as ref

    return ref


@pytest.fixture
def module_log(caplog):
    """Capture the module logger; call the result to get (level, message) pairs."""
    caplog.set_level(logging.DEBUG, logger=MODULE_LOGGER)

    def records(min_level=logging.DEBUG):
        return [
            (r.levelno, r.getMessage())
            for r in caplog.records
            if r.name == MODULE_LOGGER and r.levelno >= min_level
        ]

    records.clear = caplog.clear
    return records


# --- Serial link and device fixtures --------------------------------------


class SleepRecorder:
    """Stands in for the module's `time`: records pauses instead of sleeping; its clock
    moves by the pauses only."""

    def __init__(self):
        self.sleeps = []
        self.now = 0.0

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.now += seconds

    def monotonic(self):
        return self.now


@pytest.fixture
def sleeps(monkeypatch):
    """Retry pauses of the module, recorded rather than waited for."""
    import velmo_device_communication as vdc

    recorder = SleepRecorder()
    monkeypatch.setattr(vdc, "time", recorder)
    return recorder.sleeps


@pytest.fixture
def fake_serial(monkeypatch, sleeps):
    """A scripted `serial` module installed in place of pyserial."""
    import velmo_device_communication as vdc
    from support.fake_serial import FakeSerialModule

    fake = FakeSerialModule()
    monkeypatch.setattr(vdc, "serial", fake)
    return fake


def weighted_checksum(data):
    return sum(weight * byte for weight, byte in enumerate(data, start=1)) & 0xFF


def frame(high, low, *arguments):
    """The command frame a host sends: header, argument bytes, checksum."""
    head = bytes([0, 5 + len(arguments), high, low, *arguments])
    return head + bytes([weighted_checksum(head)])


def fault_command(script, high, low, fault):
    """Spoil the instrument's answers to one command on a fake port.

    `fault` is an AnswerFaults method name such as "drop_next" or
    "corrupt_next_checksum"; other commands are answered normally.
    """
    deliver = script.deliver

    def deliver_with_fault(data, baud_rate):
        if data[2:4] == bytes([high, low]):
            getattr(script.faults, fault)()
        deliver(data, baud_rate)

    script.deliver = deliver_with_fault
