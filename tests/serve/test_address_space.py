"""The address space as a real client sees it: browse, read, subscribe."""

import asyncio

import pytest

pytest.importorskip("asyncua")

from asyncua import Client, ua  # noqa: E402
from support.opcua import PEAK, Collector, instrument_node, run, serving, wait_until  # noqa: E402, F401
import velmo  # noqa: E402
from velmo.serve import NAMESPACE_URI, OpcUaServer, instrument  # noqa: E402
from velmo.simulator import ORVALE_ITEM_NUMBER, SimulatedInstrument, TEDSSensor  # noqa: E402
from velmo.serve.space import UNECE_NAMESPACE, unece_unit_id  # noqa: E402

VARIABLES = {
    "Load": ua.VariantType.Double,
    "LoadMin": ua.VariantType.Double,
    "LoadMax": ua.VariantType.Double,
    "LoadMean": ua.VariantType.Double,
    "SampleCount": ua.VariantType.UInt32,
    "Received": ua.VariantType.UInt64,
    "Dropped": ua.VariantType.UInt64,
    "Lost": ua.VariantType.UInt64,
    "State": ua.VariantType.String,
}


@pytest.mark.parametrize(("code", "unit_id"), [("NEW", 5129559), ("B47", 4338743), ("4K", 13387)])
def test_unece_unit_ids(code, unit_id):
    assert unece_unit_id(code) == unit_id


def test_browse_and_read_every_variable_and_property(serving):
    server, (first, second) = serving(2)

    async def client():
        async with Client(server.endpoint) as client:
            index = await client.get_namespace_index(NAMESPACE_URI)
            assert index == server.namespace_index
            folder = await client.nodes.objects.get_child(f"{index}:Velmo")
            names = [(await child.read_browse_name()).Name for child in await folder.get_children()]
            assert names == ["HDA640_20240001", "HDA640_20240002"]
            instrument_type = await client.nodes.base_object_type.get_child(f"{index}:VelmoInstrumentType")
            for serial, simulator in ((20240001, first), (20240002, second)):
                _, node = await instrument_node(client, f"HDA640_{serial}")
                assert (await node.read_type_definition()) == instrument_type.nodeid
                await wait_until(
                    lambda: _is_good(node, index, "Load"), "the first load of an update interval"
                )
                for name, variant_type in VARIABLES.items():
                    value = await (await node.get_child(f"{index}:{name}")).read_data_value(raise_on_bad_status=False)
                    assert value.Value.VariantType == variant_type, name
                    assert value.StatusCode.is_good(), name
                properties = {
                    (await child.read_browse_name()).Name: await child.read_value()
                    for child in await node.get_properties()
                }
                assert properties == {
                    "Model": "HDA640",
                    "ItemNumber": "SIM-HDA640",
                    "SerialNumber": serial,
                    "Firmware": "04.03.02",
                    "SamplingRate": 100.0,
                    "Unit": "N",
                    "Port": simulator.port,
                }
                load = await node.get_child(f"{index}:Load")
                assert (await load.read_type_definition()) == ua.NodeId(ua.ObjectIds.AnalogItemType)
                units = await (await load.get_child("0:EngineeringUnits")).read_value()
                assert (units.NamespaceUri, units.UnitId, units.DisplayName.Text) == (
                    UNECE_NAMESPACE, unece_unit_id("NEW"), "N",
                )
                span = await (await load.get_child("0:EURange")).read_value()
                assert (span.Low, span.High) == (0.0, 1000.0)
                assert await (await node.get_child(f"{index}:State")).read_value() == "streaming"

    run(client())


async def _is_good(node, index, name):
    value = await (await node.get_child(f"{index}:{name}")).read_data_value(raise_on_bad_status=False)
    return value.StatusCode.is_good()


def test_subscribed_load_follows_the_cycle(serving):
    server, _ = serving()

    async def client():
        async with Client(server.endpoint) as client:
            index, node = await instrument_node(client, "HDA640_20240001")
            names = ("Load", "LoadMin", "LoadMax", "SampleCount", "Received")
            handlers = {name: Collector() for name in names}
            for name, handler in handlers.items():
                subscription = await client.create_subscription(100, handler)
                await subscription.subscribe_data_change(await node.get_child(f"{index}:{name}"))

            # Over a whole cycle the load passes near 0 and near the peak.
            def loads():
                return [change.Value.Value for change in handlers["Load"].changes if change.StatusCode.is_good()]

            async def seen_a_cycle():
                values = loads()
                return values and min(values) < 0.1 * PEAK and max(values) > 0.9 * PEAK

            await wait_until(seen_a_cycle, "the load to rise to the peak and fall back")
            assert all(-0.1 * PEAK < value < 1.1 * PEAK for value in loads())
            changes = handlers["Load"].changes
            stamps = [change.SourceTimestamp for change in changes if change.StatusCode.is_good()]
            assert stamps == sorted(stamps)
            # The interval's extremes bracket every value; counters only grow.
            assert all(
                    change.Value.Value <= 1.1 * PEAK for change in handlers["LoadMax"].changes if change.StatusCode.is_good()
                )
            received = [change.Value.Value for change in handlers["Received"].changes]
            assert received == sorted(received) and received[-1] > 0
            counts = [change.Value.Value for change in handlers["SampleCount"].changes]
            assert max(counts) > 0

    run(client())


def test_several_clients_subscribed_at_once(serving):
    server, _ = serving()

    async def one_client(handler):
        async with Client(server.endpoint) as client:
            index, node = await instrument_node(client, "HDA640_20240001")
            subscription = await client.create_subscription(100, handler)
            await subscription.subscribe_data_change(await node.get_child(f"{index}:Received"))

            async def enough():
                return len({change.Value.Value for change in handler.changes}) >= 5

            await wait_until(enough, "five updates of the counter")

    async def clients():
        handlers = [Collector() for _ in range(10)]
        await asyncio.gather(*(one_client(handler) for handler in handlers))

    run(clients())


def test_a_teds_record_read_becomes_properties():
    sensor = TEDSSensor(serial_number=4711, max_capacity=500.0)
    with SimulatedInstrument("HDA640", ORVALE_ITEM_NUMBER, sensor=sensor, auto_teds_v1=True) as simulator:
        with velmo.open_device(simulator.port, models=["HDA640"]) as device:
            device.initialize_teds()
            served = instrument(device)
            with served.acquisition, OpcUaServer([served], endpoint="opc.tcp://127.0.0.1:0/velmo") as server:

                async def client():
                    async with Client(server.endpoint) as client:
                        index, node = await instrument_node(client, "HDA640_20240001")
                        properties = {
                            (await child.read_browse_name()).Name: await child.read_value()
                            for child in await node.get_properties()
                        }
                        load = await node.get_child(f"{index}:Load")
                        return properties, await (await load.get_child("0:EURange")).read_value()

                properties, span = run(client())
    assert properties["TedsSerialNumber"] == "4711" and properties["TedsMaxCapacity"] == 500.0
    assert {"TedsTemplate", "TedsEngineeringUnit", "TedsReverseScalingEnabled"} <= set(properties)
    assert properties["ItemNumber"] == ORVALE_ITEM_NUMBER
    assert span.High > span.Low
