"""A normal data request through the module's link against bare pyserial, one run.

    python bench/link_round_trip.py [--requests N]

Both talk to the same simulated instrument on a pseudo-terminal, served by its own process
as a real instrument would be: the module through `_SerialCommunicationInterface.get_ndr`,
pyserial through reset_input_buffer, write and read of the same frame. The ratio is what the
module adds on top of the port itself.
"""

import argparse
import contextlib
import os
import subprocess
import sys
import time

import velmo_device_communication as vdc

PYTHON_TOOLS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python")

NDR_FRAME = bytes([0x00, 0x06, 0x00, 0x05, 0x00, 0x20])
NDR_ANSWER_SIZE = 9


def timed(function, requests):
    start = time.perf_counter()
    for _ in range(requests):
        function()
    return (time.perf_counter() - start) / requests


def bare_request(port):
    port.reset_input_buffer()
    port.write(NDR_FRAME)
    return port.read(NDR_ANSWER_SIZE)


@contextlib.contextmanager
def simulator_process(model):
    """The simulated instrument in a process of its own; yields its port path."""
    environment = dict(os.environ, PYTHONPATH=PYTHON_TOOLS + os.pathsep + os.environ.get("PYTHONPATH", ""))
    process = subprocess.Popen(
        [sys.executable, "-m", "velmo.simulator", "--model", model],
        stdout=subprocess.PIPE,
        text=True,
        env=environment,
    )
    try:
        yield process.stdout.readline().strip()
    finally:
        process.terminate()
        process.wait(timeout=10)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--requests", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=5)
    arguments = parser.parse_args()

    with simulator_process("HDA640") as port_path:
        link = vdc._SerialCommunicationInterface(port_path, 2000000, 1)
        link.connect()
        port = link.serial_connection
        assert len(bare_request(port)) == NDR_ANSWER_SIZE
        module_times, bare_times = [], []
        # Interleaved rounds, so both see the same machine.
        for _ in range(arguments.rounds):
            module_times.append(timed(lambda: link.get_ndr(0), arguments.requests))
            bare_times.append(timed(lambda: bare_request(port), arguments.requests))
        link.disconnect()

    module_time, bare_time = min(module_times), min(bare_times)
    print(f"{'figure':34} {'module':>10} {'pyserial':>10} {'ratio':>7}  goal")
    print(f"{'get_ndr round trip over a pty':34} {module_time * 1e6:8.1f}us {bare_time * 1e6:8.1f}us "
          f"{module_time / bare_time:6.2f}x  <= 1.2x")


if __name__ == "__main__":
    main()
