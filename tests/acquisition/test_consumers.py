"""The consumers of an acquisition besides the iterator: read_samples and asyncio."""

import asyncio
import contextlib
import threading

import pytest

import velmo_device_communication as vdc
from velmo.acquisition import Acquisition, SampleGap

from support.scripted_device import ScriptedDevice, Stream, packets, timed_acquisition


def numbers(chunk):
    return [count >> 8 for count in chunk.counts]


@contextlib.contextmanager
def settled(device):
    """An acquisition whose reader has taken every scripted read."""
    with Acquisition(device, poll_interval=0.001) as acquisition:
        assert device.drained.wait(5)
        yield acquisition


def test_read_samples_gives_exactly_n_and_keeps_the_rest_for_the_next_read():
    device = ScriptedDevice([packets(0, 5), packets(5, 3), packets(8, 7)])
    with settled(device) as acquisition:
        first = acquisition.read_samples(10, timeout=1)
        assert numbers(first) == list(range(10)) and first.index == 0
        assert [index for index, _arrived in first.arrivals] == [0, 5, 8]
        rest = acquisition.read(timeout=0)
        assert numbers(rest) == list(range(10, 15)) and rest.index == 10
        assert rest.t0 == pytest.approx(acquisition.started_at + 10 / 1200) and rest.gap_before == 0


def test_read_samples_that_do_not_all_come_in_time_stay_queued():
    device = ScriptedDevice([packets(0, 4)])
    with settled(device) as acquisition:
        assert acquisition.read_samples(10, timeout=0.05) is None
        assert numbers(acquisition.read_samples(3, timeout=0)) == [0, 1, 2]
        assert numbers(acquisition.read(timeout=0)) == [3]


@pytest.mark.parametrize("failure", [None, OSError(5, "Input/output error")], ids=["closed", "instrument lost"])
def test_read_samples_at_the_end_gives_what_is_left_first(failure):
    device = ScriptedDevice([packets(0, 7)] + ([failure] if failure else []))
    with settled(device) as acquisition:
        pass
    assert numbers(acquisition.read_samples(10)) == list(range(7))
    if failure is None:
        assert acquisition.read_samples(10) is None
    else:
        with pytest.raises(vdc.VelmoConnectionError) as info:
            acquisition.read_samples(10)
        assert info.value.__cause__ is failure


def test_read_samples_across_a_gap_hands_over_what_came_before_it(monkeypatch):
    stream = Stream().steady(5).silent(1.0, taken=1200).steady(60)
    with timed_acquisition(monkeypatch, stream) as (acquisition, device):
        assert device.drained.wait(5)
        with pytest.raises(SampleGap) as info:
            acquisition.read_samples(100, timeout=1)
        assert numbers(info.value.chunk) == list(range(60)) and info.value.missing == 1200
        after = acquisition.read_samples(10, timeout=1)
        assert numbers(after) == list(range(1260, 1270)) and after.index == 1260 and after.lost_before == 1200


def test_read_samples_refuses_a_count_below_one():
    with settled(ScriptedDevice([])) as acquisition, pytest.raises(ValueError, match="at least 1"):
        acquisition.read_samples(0)


class HeldBack(ScriptedDevice):
    """Streams nothing until `release` is set."""

    def __init__(self, reads):
        super().__init__(reads)
        self.release = threading.Event()

    def get_stream_data(self):
        return super().get_stream_data() if self.release.is_set() else b""


@pytest.mark.parametrize("failure", [None, OSError(5, "Input/output error")], ids=["closed", "instrument lost"])
def test_async_chunks_leave_the_event_loop_free_while_they_wait(failure):
    device = HeldBack([packets(0, 5), packets(5, 5)] + ([failure] if failure else []))

    async def consume(acquisition):
        received = []

        async def ticker():
            for _ in range(5):  # runs only if waiting for chunks leaves the loop free
                await asyncio.sleep(0.01)
            device.release.set()

        ticking = asyncio.create_task(ticker())
        async for chunk in acquisition.chunks():
            received += numbers(chunk)
            if len(received) == 10 and failure is None:
                acquisition.close()  # the iteration ends once the queue is empty
        await ticking
        return received

    with Acquisition(device, poll_interval=0.001) as acquisition:
        if failure is None:
            assert asyncio.run(asyncio.wait_for(consume(acquisition), 10)) == list(range(10))
        else:
            with pytest.raises(vdc.VelmoConnectionError):
                asyncio.run(asyncio.wait_for(consume(acquisition), 10))
