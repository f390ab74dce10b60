"""The reader's lifecycle: its descriptor, stop and close from several threads, forks, the
interpreter's exit, cancelled consumers, Ctrl-C handlers, arrival stamps. Whatever could hang,
fork or exit runs in a process of its own with a time limit."""

import asyncio
import ctypes
import os
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time
import tty

import pytest

import velmo
from velmo import _columns
from velmo.acquisition import Acquisition, ports

from support.instruments import instruments  # noqa: F401  (a fixture)
from support.waiting import wait_for

pytestmark = pytest.mark.skipif(not hasattr(_columns, "PortReader"), reason="the native reader is POSIX only")

# Holds the GIL for the whole call, as a C extension that never releases it does.
hold_the_gil_for_microseconds = ctypes.PyDLL(None).usleep


def run_child(code, *arguments, timeout=60):
    """Runs `code` in a new interpreter; a hang fails here, after `timeout` seconds."""
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *map(str, arguments)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    assert result.returncode == 0, f"exit status {result.returncode}\n{result.stdout}\n{result.stderr}"
    return result.stdout


STREAMING = """
    import os, sys, threading, time
    import velmo
    import velmo_device_communication as vdc
    from velmo.acquisition import Acquisition
    device = velmo.open_device(sys.argv[1], models=["HDA640"])
    acquisition = Acquisition(device, rate="SPS_1200")
    acquisition.start()
    assert acquisition.read_samples(100, timeout=20) is not None
"""


def test_a_descriptor_closed_under_the_reader_is_never_read_through_its_new_owner(instruments):
    [(simulator, _device)] = instruments("HDA640")
    _device.disconnect()  # the child opens the port
    output = run_child(
        STREAMING
        + """
    number = device.communication_interface.serial_connection.fileno()
    device.disconnect()
    read_end, write_end = os.pipe()  # the lowest free number: the port's
    assert number in (read_end, write_end), (number, read_end, write_end)
    if number == write_end:
        read_end, write_end = write_end, read_end
    os.write(write_end, bytes(range(1, 65)))
    received = acquisition.stats.received
    while acquisition.stats.received < received + 240:  # the reader went on reading its own copy
        time.sleep(0.01)
    os.set_blocking(read_end, False)
    assert os.read(read_end, 100) == bytes(range(1, 65)) and acquisition.stats.invalid == 0
    try:
        acquisition.close()  # the link is closed: the stream cannot be switched off
    except vdc.VelmoCommunicationError:
        print("closed")
    """,
        simulator.port,
    )
    assert output.strip() == "closed"


def test_a_reader_on_a_blocking_descriptor_stops():
    run_child(
        """
        import os, time
        from velmo import _columns
        read_end, write_end = os.pipe()
        assert os.get_blocking(read_end)
        reader = _columns.PortReader(read_end, 1024, 0.001)
        assert not os.get_blocking(read_end)  # the open file it shares with its copy
        os.write(write_end, b"x" * 10)
        reads, _dropped, _finished, _error = reader.take(20, time.monotonic)
        assert reads[0][0] == b"x" * 10
        reader.stop()
        """
    )


def test_stop_and_close_from_two_threads_at_once_both_return(instruments):
    [(simulator, device)] = instruments("HDA640")
    device.disconnect()
    run_child(
        STREAMING
        + """
    from velmo import _columns

    def together(function):
        threads = [threading.Thread(target=function) for _ in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(20)
        assert not any(thread.is_alive() for thread in threads)

    together(acquisition.close)
    assert device.get_model_number() == "HDA640"  # silent: the answer is no stream packet
    for _ in range(50):
        read_end, write_end = os.pipe()
        together(_columns.PortReader(read_end, 1024, 0).stop)
        os.close(read_end), os.close(write_end)
    """,
        simulator.port,
    )
    assert not simulator.instrument.streaming


def test_a_forked_child_leaves_the_parents_acquisition_alone(instruments):
    [(simulator, device)] = instruments("HDA640")
    device.disconnect()
    run_child(
        STREAMING
        + """
    import warnings
    warnings.simplefilter("ignore", DeprecationWarning)  # forking a process that has threads
    child = os.fork()
    if child == 0:
        acquisition.close()  # not its own: nothing happens
        sys.exit(0)  # nor at its exit
    assert os.waitpid(child, 0)[1] == 0
    acquisition.read(timeout=0)
    after = acquisition.read_samples(600, timeout=20)
    assert after is not None and len(after) == 600 and after.gap_before == 0
    acquisition.close()
    assert acquisition.stats.dropped == 0 and acquisition.stats.received >= 700
    """,
        simulator.port,
    )
    assert not simulator.instrument.streaming


def test_an_acquisition_left_open_with_a_reading_thread_does_not_keep_the_program_from_ending(instruments):
    [(simulator, device)] = instruments("HDA640")
    rate_before = simulator.instrument.profiles[0].rate_code
    device.disconnect()
    output = run_child(
        STREAMING
        + """
    def consume():
        for chunk in acquisition:
            pass
        print("consumer ended", flush=True)

    threading.Thread(target=consume).start()  # not a daemon: the interpreter waits for it
    """,
        simulator.port,
    )
    assert output.strip() == "consumer ended"
    assert simulator.host_closed.wait(10) and not simulator.instrument.streaming
    assert simulator.instrument.profiles[0].rate_code == rate_before


def test_a_cancelled_async_consumer_loses_no_sample(instruments):
    [(simulator, device)] = instruments("HDA640")

    async def consume_in_short_spells(acquisition):
        received = []
        for _ in range(20):
            try:
                async with asyncio.timeout(0.02):
                    async for chunk in acquisition.chunks():
                        assert chunk.gap_before == 0
                        received += chunk.counts
            except TimeoutError:
                pass
        return received

    with Acquisition(device, rate="SPS_1200") as acquisition:
        received = asyncio.run(consume_in_short_spells(acquisition))
    received += [count for chunk in acquisition for count in chunk.counts]
    assert len(received) > 100 and received == simulator.streamed_counts[: len(received)]
    assert acquisition.stats.dropped == 0 and acquisition.stats.received == len(received)


@pytest.fixture
def programs_own_sigint_handler():
    def handler(_signum, _frame):
        pass

    previous = signal.signal(signal.SIGINT, handler)
    yield handler
    signal.signal(signal.SIGINT, previous)


def test_close_from_another_thread_and_a_recorder_run_give_the_program_its_handler_back(
    instruments, programs_own_sigint_handler, tmp_path
):
    handler = programs_own_sigint_handler
    [(simulator, device)] = instruments("HDA640")
    acquisition = Acquisition(device, rate="SPS_1200")
    acquisition.start()
    assert signal.getsignal(signal.SIGINT) is not handler
    errors = []

    def close():
        try:
            acquisition.close()
        except BaseException as error:
            errors.append(error)

    closer = threading.Thread(target=close)
    closer.start()
    closer.join(30)
    assert errors == [] and not simulator.instrument.streaming
    wait_for(lambda: signal.getsignal(signal.SIGINT) is handler, "the program's SIGINT handler to be back")

    pytest.importorskip("h5py")
    from velmo.recording import Recorder

    with Recorder(tmp_path / "run.h5", [device]) as recorder:
        wait_for(lambda: all(stats.written > 10 for stats in recorder.stats.values()), "samples")
    assert signal.getsignal(signal.SIGINT) is handler


def test_arrival_stamps_are_where_the_bytes_came_however_long_the_gil_was_held():
    master, slave = os.openpty()
    tty.setraw(slave)
    reader = _columns.PortReader(slave, 1 << 16, 0.001)
    hold_seconds = 1.0
    released = []

    def write_then_hold_the_gil():
        os.write(master, b"\x01\x02\x03")
        hold_the_gil_for_microseconds(int(hold_seconds * 1e6))
        released.append(time.monotonic())

    holder = threading.Thread(target=write_then_hold_the_gil)
    holder.start()  # the take below waits without the GIL; the holder then takes it
    reads, _dropped, _finished, _error = reader.take(30, time.monotonic)
    holder.join()
    reader.stop()
    os.close(master)
    os.close(slave)
    [(_data, arrived)] = reads
    # Read and stamped while the holder slept with the GIL, not when it let go.
    assert arrived < released[0] - hold_seconds / 2


def test_a_hand_over_that_fails_for_memory_keeps_its_reads_for_the_next(instruments, monkeypatch):
    [(simulator, device)] = instruments("HDA640")
    calls = []

    class ShortOfMemoryOnce:
        @staticmethod
        def monotonic():
            calls.append(None)
            if len(calls) == 3:
                raise MemoryError
            return time.monotonic()

        sleep = staticmethod(time.sleep)

    monkeypatch.setattr(ports, "time", ShortOfMemoryOnce)
    with Acquisition(device, rate="SPS_1200") as acquisition:
        acquisition.read_samples(600, timeout=30)
    received = [count for chunk in acquisition for count in chunk.counts]
    assert len(calls) > 3
    assert acquisition.stats.received == 600 + len(received) and acquisition.stats.dropped == 0
    assert [chunk for chunk in [acquisition.read(timeout=0)] if chunk] == []


def descriptors():
    """This process's open descriptors, without the one the listing itself used."""
    listed = {int(name) for name in os.listdir("/proc/self/fd")}
    return {fd for fd in listed if _open(fd)}


def _open(fd):
    try:
        os.fstat(fd)
    except OSError:
        return False
    return True


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="lists descriptors through /proc")
def test_the_readers_descriptors_are_not_inherited_by_a_program_it_starts():
    read_end, write_end = os.pipe()
    before = descriptors()
    reader = _columns.PortReader(read_end, 1024, 0.001)
    own = descriptors() - before
    try:
        assert len(own) == 3 and not any(os.get_inheritable(fd) for fd in own)  # the copy and the wake pipe
    finally:
        reader.stop()
        os.close(read_end)
        os.close(write_end)


def pty_far_end_closed():
    master, slave = os.openpty()
    return master, slave


def socket_peer_closed():
    ours, theirs = socket.socketpair()
    ours.setblocking(False)
    return theirs.detach(), ours.detach()


@pytest.mark.parametrize("make", [pty_far_end_closed, socket_peer_closed], ids=["pty", "socket"])
def test_a_hang_up_ends_the_reader(make):
    far, near = make()
    reader = _columns.PortReader(near, 1024, 0)
    os.close(far)
    wait_for(lambda: reader.take(0.1, time.monotonic)[2], "the reader to end")
    assert reader.take(0, time.monotonic)[3] != 0
    reader.stop()
    os.close(near)


@pytest.mark.parametrize(
    "arguments, error",
    [((1024, float("inf")), "batch_seconds"), ((1024, -1.0), "batch_seconds"), ((0, 0.01), "capacity")],
)
def test_the_native_reader_refuses_what_it_cannot_use(arguments, error):
    read_end, write_end = os.pipe()
    try:
        with pytest.raises(ValueError, match=error):
            _columns.PortReader(read_end, *arguments)
    finally:
        os.close(read_end)
        os.close(write_end)


def test_the_module_opened_port_is_closed_once_the_reader_is_done(instruments):
    [(simulator, device)] = instruments("HDA640")
    with Acquisition(device, rate="SPS_1200") as acquisition:
        acquisition.read_samples(10, timeout=30)
    device.disconnect()
    assert simulator.host_closed.wait(10)  # no copy of the port is left open
    velmo.open_device(simulator.port, models=["HDA640"]).disconnect()
