"""The server's life: from asyncio or its own thread; an instrument lost, then plugged in again."""

import asyncio

import pytest

pytest.importorskip("asyncua")

from asyncua import Client, ua  # noqa: E402
from support.opcua import cycling, instrument_node, run, serving, wait_until  # noqa: E402, F401
import velmo  # noqa: E402
from velmo.acquisition import Acquisition  # noqa: E402
from velmo.serve import OpcUaServer, instrument  # noqa: E402


async def _value(node, index, name):
    return await (await node.get_child(f"{index}:{name}")).read_data_value(raise_on_bad_status=False)


def test_async_with_serves_until_the_block_ends():
    with cycling(20240001) as simulator, velmo.open_device(simulator.port, models=["HDA640"]) as device:
        served = instrument(device)

        async def main():
            with served.acquisition:
                async with OpcUaServer([served], endpoint="opc.tcp://127.0.0.1:0/velmo") as server:
                    async with Client(server.endpoint) as client:
                        index, node = await instrument_node(client, "HDA640_20240001")
                        first = await _value(node, index, "Load")
                        assert first.StatusCode.value == ua.StatusCodes.BadWaitingForInitialData

                        async def good():
                            return (await _value(node, index, "Load")).StatusCode.is_good()

                        await wait_until(good, "the first load")
                endpoint = server.endpoint
            with pytest.raises((OSError, asyncio.TimeoutError)):
                async with Client(endpoint, timeout=2):
                    pass

        run(main())
        assert not simulator.instrument.streaming


def test_unplugged_instrument_turns_bad_and_good_again_when_back(serving):
    plugged = {}

    def reopen(stack):
        simulator = plugged.get("simulator")
        if simulator is None:
            raise ConnectionError("not plugged in again yet")
        device = stack.enter_context(velmo.open_device(simulator.port, models=["HDA640"]))
        return stack.enter_context(Acquisition(device))

    with cycling(20240001) as replacement:
        server, [simulator] = serving(reopen=reopen)

        async def client():
            async with Client(server.endpoint) as client:
                index, node = await instrument_node(client, "HDA640_20240001")

                def status_of(name, wanted):
                    async def check():
                        return (await _value(node, index, name)).StatusCode.value == wanted

                    return check

                await wait_until(status_of("Load", ua.StatusCodes.Good), "the first load")
                simulator.unplug()
                for name in ("Load", "LoadMin", "LoadMax", "LoadMean", "SampleCount"):
                    await wait_until(status_of(name, ua.StatusCodes.BadCommunicationError), f"{name} to turn Bad")
                state = await _value(node, index, "State")
                assert state.StatusCode.is_good() and state.Value.Value.startswith("lost: ")
                received = (await _value(node, index, "Received")).Value.Value

                plugged["simulator"] = replacement
                await wait_until(status_of("Load", ua.StatusCodes.Good), "the load to be Good again")
                assert (await _value(node, index, "State")).Value.Value == "streaming"

                async def counting_on():
                    return (await _value(node, index, "Received")).Value.Value > received

                await wait_until(counting_on, "Received to go on from where it was")

        run(client())
        server.stop()  # the reopened instrument is closed before its simulator
        assert not replacement.instrument.streaming


def test_an_acquisition_not_started_is_refused_and_the_port_stays_free():
    with cycling(20240001) as simulator, velmo.open_device(simulator.port, models=["HDA640"]) as device:
        server = OpcUaServer([instrument(device)], endpoint="opc.tcp://127.0.0.1:0/velmo")
        with pytest.raises(RuntimeError, match="Start the acquisition of HDA640_20240001"):
            server.start()
        server.stop()
        with pytest.raises(ValueError, match="at least one"):
            OpcUaServer([])
        assert device.get_instrument_serial_number() == 20240001


@pytest.mark.parametrize(
    ("options", "message"),
    [
        ({"update_interval": 0}, "update_interval"),
        ({"certificate": "server.pem"}, "together"),
        ({"endpoint": "http://127.0.0.1:4840"}, "opc.tcp://"),
        ({"endpoint": "opc.tcp://:4840"}, "opc.tcp://"),
    ],
)
def test_bad_settings_are_refused_before_anything_starts(options, message):
    with pytest.raises(ValueError, match=message):
        OpcUaServer([object()], **options)
