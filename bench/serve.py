"""OPC UA server benchmark: four instruments, ten clients subscribed to every Load at 100 ms.

    python bench/serve.py [--seconds 30] [--clients 10]

One HDA640 Zeph Orvale at 38 400 SPS and an RPX310, a TMV520 and a GLS870 at 1 300 SPS, each
simulated in its own process (bench/record.py's simulators); the clients run in one process of
their own. This process holds the acquisitions and the server, so its share of one core is
the server's cost with the acquisitions'.

Latency is from the arrival of an update's last sample (the Load it publishes) to the client's
callback for that update: the server side notes when each published sample arrived, the
clients when each notification came, joined by instrument and source timestamp.
"""

import argparse
import asyncio
import contextlib
import multiprocessing
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from bench.record import INSTRUMENTS, Simulators, open_devices, set_rates  # noqa: E402
from velmo.serve import NAMESPACE_URI, OpcUaServer, instrument  # noqa: E402
from velmo.serve import server as server_module  # noqa: E402

SUBSCRIPTION_MS = 100
WARM_UP = 3.0


def clients(endpoint, names, count, seconds, connection):
    """Child process: ``count`` clients, each with one subscription to every instrument's Load; sends back
    (name, source timestamp, callback time) of every notification after the warm-up."""
    from asyncua import Client

    notifications = []
    began = time.time() + WARM_UP

    class Handler:
        def __init__(self):
            self.names = {}

        def datachange_notification(self, node, value, data):
            now = time.time()
            if now >= began:
                stamp = data.monitored_item.Value.SourceTimestamp.timestamp()
                notifications.append((self.names[node.nodeid], stamp, now))

    async def one():
        async with Client(endpoint, timeout=30) as client:
            index = await client.get_namespace_index(NAMESPACE_URI)
            handler = Handler()
            loads = []
            for name in names:
                load = await client.nodes.objects.get_child([f"{index}:Velmo", f"{index}:{name}", f"{index}:Load"])
                handler.names[load.nodeid] = name
                loads.append(load)
            subscription = await client.create_subscription(SUBSCRIPTION_MS, handler)
            await subscription.subscribe_data_change(loads)
            await asyncio.sleep(WARM_UP + seconds)

    async def main():
        await asyncio.gather(*(one() for _ in range(count)))

    asyncio.run(main())
    connection.send(notifications)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=30.0)
    parser.add_argument("--clients", type=int, default=10)
    arguments = parser.parse_args()

    # Server side: when the last sample of each published Load arrived, by (name, stamp).
    arrivals = {}
    last_arrival = {}
    original_take, original_publish = server_module._Instrument.take, server_module.OpcUaServer._publish

    def take(self, chunk):
        original_take(self, chunk)
        if len(chunk):
            last_arrival[self.name] = chunk.arrivals[-1][1] - time.monotonic() + time.time()

    async def publish(self, instrument_state, end):
        if instrument_state.window.count:
            arrivals[(instrument_state.name, end.timestamp())] = last_arrival[instrument_state.name]
        await original_publish(self, instrument_state, end)

    server_module._Instrument.take = take
    server_module.OpcUaServer._publish = publish

    simulators = Simulators()
    devices = open_devices(simulators.ports)
    set_rates(devices)
    served = [instrument(device) for device in devices]
    with contextlib.ExitStack() as stack:
        for item in served:
            stack.enter_context(item.acquisition)
        server = stack.enter_context(OpcUaServer(served, endpoint="opc.tcp://127.0.0.1:0/velmo"))
        context = multiprocessing.get_context("spawn")
        ours, theirs = context.Pipe()
        process = context.Process(
            target=clients, args=(server.endpoint, server.names, arguments.clients, arguments.seconds, theirs)
        )
        process.start()
        time.sleep(WARM_UP + 2.0)  # the clients connected and subscribed
        before = os.times()
        stats_before = [item.acquisition.stats for item in served]
        time.sleep(arguments.seconds - 2.0)
        after = os.times()
        stats_after = [item.acquisition.stats for item in served]
        notifications = ours.recv()
        process.join()
    whole_run = [item.acquisition.stats for item in served]
    for device in devices:
        device.disconnect()
    sent = simulators.stop()

    busy = (after.user + after.system - before.user - before.system) / (after.elapsed - before.elapsed)
    latencies = [
        received - arrivals[(name, stamp)] for name, stamp, received in notifications if (name, stamp) in arrivals
    ]
    publishing = [received - stamp for _name, stamp, received in notifications]
    print(f"{len(served)} instruments, {arguments.clients} clients subscribed to every Load at "
          f"{SUBSCRIPTION_MS} ms, {arguments.seconds:g} s")
    print(f"  server process (acquisitions and server): {busy * 100:.1f} % of one core")
    print(f"  notifications: {len(notifications)} ({len(notifications) / arguments.seconds:.0f}/s)")
    if latencies:
        latencies.sort()
        print(f"  last sample's arrival to client callback: median {statistics.median(latencies) * 1000:.1f} ms, "
              f"95th percentile {latencies[int(0.95 * (len(latencies) - 1))] * 1000:.1f} ms "
              f"({len(latencies)} matched)")
    if publishing:
        print(f"  interval's end to client callback: median {statistics.median(publishing) * 1000:.1f} ms")
    print("  per instrument during the measurement; over the whole run, what the simulator sent and what arrived:")
    for (model, _item, _rate, sps), first, last, run, record in zip(INSTRUMENTS, stats_before, stats_after, whole_run, sent):
        print(f"  {model} at {sps} SPS: received {last.received - first.received}, "
              f"dropped {last.dropped - first.dropped}, lost {last.lost - first.lost}; whole run: sent {len(record)}, "
              f"received {run.received + run.discarded_at_stop}, judged lost {run.lost}")


if __name__ == "__main__":
    main()
