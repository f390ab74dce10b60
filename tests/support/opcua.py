"""Servers on a free loopback port over simulated instruments, and a real asyncua client: a
fixture and helpers to import into a test module."""

import asyncio
import contextlib

import pytest



import velmo  # noqa: E402
from velmo.serve import NAMESPACE_URI, OpcUaServer, instrument  # noqa: E402
from velmo.simulator.command import simulated  # noqa: E402
from velmo.simulator.signals import cycle  # noqa: E402

# The simulated load: 0 to 500 N in 1 s, held 0.5 s, back in 1 s, rest 0.5 s.
PEAK = 500.0
CLIENT_TIMEOUT = 60.0


def cycling(serial):
    return simulated("HDA640", serial_number=serial, signal=cycle(peak=PEAK, rest=0.5))


@pytest.fixture
def serving():
    """serving(n, reopen=None, **server_options) -> (the running OpcUaServer, its n cycling
    simulators, serial numbers 20240001...); all closed after the test, simulators last."""
    with contextlib.ExitStack() as stack:

        def start(count=1, reopen=None, **options):
            simulators = [stack.enter_context(cycling(20240001 + number)) for number in range(count)]
            served = []
            for simulator in simulators:
                device = stack.enter_context(velmo.open_device(simulator.port, models=["HDA640"]))
                item = instrument(device)
                item.reopen = reopen
                stack.enter_context(item.acquisition)
                served.append(item)
            options.setdefault("endpoint", "opc.tcp://127.0.0.1:0/velmo")
            return stack.enter_context(OpcUaServer(served, **options)), simulators

        yield start


def run(coroutine):
    """Runs a client coroutine in the test's own loop, with a bound."""
    return asyncio.run(asyncio.wait_for(coroutine, CLIENT_TIMEOUT))


async def instrument_node(client, name):
    index = await client.get_namespace_index(NAMESPACE_URI)
    return index, await client.nodes.objects.get_child([f"{index}:Velmo", f"{index}:{name}"])


async def wait_until(predicate, what, timeout=20.0):
    """Polls an async predicate until it holds."""
    loop = asyncio.get_running_loop()
    deadline = loop.time() + timeout
    while not await predicate():
        if loop.time() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        await asyncio.sleep(0.05)


class Collector:
    """A subscription handler keeping every data change."""

    def __init__(self):
        self.changes = []

    def datachange_notification(self, node, value, data):
        self.changes.append(data.monitored_item.Value)
