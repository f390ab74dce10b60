"""The data path's three goals, against simulated instruments in processes of their own.

    python bench/data_path.py [--seconds 10] [--cpu-seconds 20] [--skip-late]

1. A consumer that holds the GIL for 500 ms after every read, at 38 400 SPS: the share of
   the samples sent that it received, with the native reader and with the Python reader.
2. Four instruments in one process (an HDA640 Zeph Orvale at 38 400 SPS, an RPX310, a
   TMV520 and a GLS870 at 1 300 SPS), read every 0.5 s: the acquisition process's CPU.
3. One answer 1.05 to 4 s late, then prompt answers, with the module's default time-out:
   how many calls returned another command's value (must be none).
"""

import argparse
import ctypes
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import velmo  # noqa: E402
import velmo.acquisition as acquisition_module  # noqa: E402
import velmo_device_communication as vdc  # noqa: E402
from velmo.acquisition import Acquisition  # noqa: E402
from velmo.simulator import ORVALE_ITEM_NUMBER, SimulatedInstrument  # noqa: E402
from velmo.simulator.process import SimulatorProcess  # noqa: E402

HIGH_RATE = 38400
# Holds the GIL for the whole call, as a C extension that never releases it does.
hold_the_gil_for_microseconds = ctypes.PyDLL(None).usleep


def gil_holder(seconds, native):
    """Share of the samples sent that a consumer holding the GIL half the time receives."""
    descriptor = acquisition_module._descriptor
    if not native:
        acquisition_module._descriptor = lambda device: None
    try:
        step = 1 << 16
        with SimulatorProcess("HDA640", counts_per_second=step * HIGH_RATE, item_number=ORVALE_ITEM_NUMBER) as sim:
            received = 0
            with velmo.open_device(sim.port, models=["HDA640"]) as device:
                with Acquisition(device, rate="SPS_38400") as acquisition:
                    start = time.monotonic()
                    while time.monotonic() - start < seconds:
                        chunk = acquisition.read(timeout=1)
                        received += len(chunk) if chunk else 0
                        hold_the_gil_for_microseconds(500_000)
                received += sum(len(chunk) for chunk in acquisition)
            sent = len(sim.close())
            overflowed = sim.overflowed
    finally:
        acquisition_module._descriptor = descriptor
    stats = acquisition.stats
    # The instrument's timeline: what it sent, and what it could not because the line was full.
    offered = sent + overflowed
    reader = "native reader" if native else "Python reader"
    print(f"  {reader}: {received} of {offered} samples received ({100 * received / offered:.2f} %), "
          f"lost {stats.lost} (counted), dropped {stats.dropped}, discarded at stop {stats.discarded_at_stop}")


def four_instruments(seconds):
    """CPU of one process acquiring from four instruments."""
    setups = [("HDA640", "SPS_38400", {"item_number": ORVALE_ITEM_NUMBER}), ("RPX310", "SPS_1300", {}),
              ("TMV520", "SPS_1300", {}), ("GLS870", "SPS_1300", {})]
    simulators = [SimulatorProcess(model, **options) for model, _rate, options in setups]
    devices = [velmo.open_device(sim.port, models=[model]) for sim, (model, _rate, _options) in zip(simulators, setups)]
    acquisitions = [Acquisition(device, rate=rate) for device, (_model, rate, _options) in zip(devices, setups)]
    for acquisition in acquisitions:
        acquisition.start()
    time.sleep(1)  # settled
    for acquisition in acquisitions:
        while acquisition.read(timeout=0):
            pass
    before, received = os.times(), 0
    start = time.monotonic()
    while time.monotonic() - start < seconds:
        time.sleep(0.5)
        for acquisition in acquisitions:
            while chunk := acquisition.read(timeout=0):
                received += len(chunk)
    after = os.times()
    for acquisition, device, sim in zip(acquisitions, devices, simulators):
        acquisition.close()
        device.disconnect()
        sim.close()
    busy = (after.user + after.system - before.user - before.system) / (after.elapsed - before.elapsed)
    rates = ", ".join(f"{a.stats.rate:.0f}" for a in acquisitions)
    print(f"  {received} samples in {seconds:g} s ({rates} SPS); acquisition process {100 * busy:.1f} % of one core; "
          f"dropped {sum(a.stats.dropped for a in acquisitions)}, lost {sum(a.stats.lost for a in acquisitions)}")


CALLS = [
    ("get_ndr(0)", lambda link: link.get_ndr(0), lambda inst: inst.live_count(0)),
    ("serial number", lambda link: link.get_instrument_serial_number(), lambda inst: inst.instrument_serial),
    ("get_ndr(1)", lambda link: link.get_ndr(1), lambda inst: inst.live_count(1)),
    ("model", lambda link: link.get_model_number(), lambda inst: inst.model),
    ("item number", lambda link: link.get_item_number(), lambda inst: inst.item_number),
]


def late_answers(lateness):
    """Calls after one answer `lateness` seconds late: values right, wrong, timed out."""
    with SimulatedInstrument("HDA640") as sim:
        link = vdc._SerialCommunicationInterface(sim.port, sim.baud_rate)  # the default 1 s time-out
        link.connect()
        sim.delay_next_answer(lateness)
        right = wrong = timed_out = 0
        start = time.monotonic()
        for _round in range(2):
            for _name, call, expected in CALLS:
                try:
                    value = call(link)
                except vdc.VelmoTimeoutError:
                    timed_out += 1
                    continue
                if value == expected(sim.instrument):
                    right += 1
                else:
                    wrong += 1
        link.disconnect()
    print(f"  {lateness:4.2f} s late: {right} right, {wrong} another command's value, {timed_out} timed out "
          f"({time.monotonic() - start:.1f} s)")
    return wrong


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--cpu-seconds", type=float, default=20)
    parser.add_argument("--skip-late", action="store_true")
    arguments = parser.parse_args()
    print(f"1. consumer holding the GIL 500 ms after every read, 38 400 SPS, {arguments.seconds:g} s:")
    gil_holder(arguments.seconds, native=True)
    gil_holder(arguments.seconds, native=False)
    print(f"2. four instruments in one process, {arguments.cpu_seconds:g} s:")
    four_instruments(arguments.cpu_seconds)
    if not arguments.skip_late:
        print("3. one answer late, then prompt answers (1 s time-out):")
        wrong = sum(late_answers(lateness) for lateness in (1.05, 1.5, 2.1, 2.5, 3.0, 4.0))
        print(f"  calls that returned another command's value: {wrong}")


if __name__ == "__main__":
    main()
