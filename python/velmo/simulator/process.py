"""A simulated instrument in a process of its own.

A real instrument does not share its host's interpreter: a host that holds the GIL
or keeps its cores busy cannot slow it down. A ``SimulatorProcess`` keeps that
independence for load tests and benchmarks, and reports afterwards the counts it
put on the line.
"""

from __future__ import annotations

import array
import multiprocessing
from multiprocessing.connection import Connection
from typing import Any

from .simulated import SimulatedInstrument


def _serve(connection: Connection, model: str, counts_per_second: float | None, options: dict[str, Any]) -> None:
    from .instrument import ZERO_COUNT
    from .signals import ramp

    with SimulatedInstrument(model, **options) as simulator:
        if counts_per_second is not None:
            simulator.instrument.set_signal(0, ramp(ZERO_COUNT, counts_per_second))
        connection.send(simulator.port)
        while True:
            request = connection.recv()
            if request == "stop":
                break
            name, value = request
            if name == "stall":
                simulator.instrument.stall_stream(value)
            connection.send(None)
        connection.send(simulator.overflowed)
        connection.send_bytes(array.array("I", simulator.streamed_counts).tobytes())


class SimulatorProcess:
    """Serves ``SimulatedInstrument(model, **options)`` from a child process.

    :param counts_per_second: Serve a ramp rising by this many counts a second from
        the zero count, so that every sample's count tells when it was taken
    """

    def __init__(self, model: str = "HDA640", *, counts_per_second: float | None = None, **options: Any):
        context = multiprocessing.get_context("spawn")
        self._connection, theirs = context.Pipe()
        self._process = context.Process(
            target=_serve, args=(theirs, model, counts_per_second, options), name=f"velmo-sim {model}", daemon=True
        )
        self._process.start()
        theirs.close()
        self.port: str = self._connection.recv()
        self.overflowed = 0  # known after close(): packets never sent because the host did not read in time
        self._sent: array.array[int] | None = None

    def __enter__(self) -> SimulatorProcess:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def stall_stream(self, seconds: float) -> None:
        """Take no sample for ``seconds`` from now; the stream then goes on without catching up."""
        self._connection.send(("stall", seconds))
        self._connection.recv()

    def close(self) -> array.array[int]:
        """Stop serving; the counts of every packet sent, in order. Safe to repeat."""
        if self._sent is None:
            self._connection.send("stop")
            self.overflowed = self._connection.recv()
            sent: array.array[int] = array.array("I")
            sent.frombytes(self._connection.recv_bytes())
            self._process.join()
            self._connection.close()
            self._sent = sent
        return self._sent
