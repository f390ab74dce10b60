"""The link under random fault episodes on a real line, one run.

    python bench/link_faults.py [--seconds 200] [--timeout 1.0] [--seed N]

A simulated HDA640 on a pseudo-terminal, the module's link on the real pyserial. First the
fixed sequence: six calls against answers 5 % later than the read time-out, a wait, one
call. Then, until the time is up, episodes: one to three of the simulator's faults at once
(late by 0.2-3.5 read time-outs, dropped, cut, corrupted, garbage in front, silent), one to
four calls, the faults cleared, a wait for the late answers to land, two calls. Counted:
values that are not the command's own (must be 0) and episodes where neither of the two
calls after the faults returned the right value (must be 0).
"""

import argparse
import logging
import random
import time

import velmo_device_communication as vdc
from velmo.simulator import SimulatedInstrument

CALLS = {
    "ndr 0": (lambda link: link.get_ndr(0), lambda instrument: instrument.live_count(0)),
    "serial": (lambda link: link.get_instrument_serial_number(), lambda instrument: instrument.instrument_serial),
    "model": (lambda link: link.get_model_number(), lambda instrument: instrument.model),
    "item": (lambda link: link.get_item_number(), lambda instrument: instrument.item_number),
    "rate": (lambda link: link.get_sampling_rate(0), lambda instrument: instrument.profiles[0].rate_code),
}
MAX_LATENESS = 3.5  # in read time-outs


class Tally:
    def __init__(self):
        self.calls = self.right = self.failed = self.wrong = 0

    def call(self, link, instrument, name):
        """True when the call returned its command's value."""
        run, expected = CALLS[name]
        self.calls += 1
        try:
            value = run(link)
        except vdc.VelmoDeviceError:
            self.failed += 1
            return False
        if value != expected(instrument):
            self.wrong += 1
            print(f"wrong value: {name} returned {value!r}")
            return False
        self.right += 1
        return True


def arm(faults, rng, timeout):
    """Arms a random fault; returns how late an answer may come, in seconds."""
    kind = rng.choice(["delay", "delay_next", "drop_next", "cut_next", "corrupt_next_checksum",
                       "garbage_before_next", "silent"])
    lateness = rng.uniform(0.2, MAX_LATENESS) * timeout
    if kind == "delay":
        faults.delay = lateness
        return lateness
    if kind == "delay_next":
        faults.delay_next(lateness, rng.randint(1, 3))
        return lateness
    if kind == "cut_next":
        faults.cut_next(rng.randint(1, 8), rng.randint(1, 2))
    elif kind == "silent":
        faults.silent = True
    elif kind == "garbage_before_next":
        faults.garbage_before_next(times=rng.randint(1, 2))
    else:
        getattr(faults, kind)(rng.randint(1, 3))
    return 0.0


def fixed_sequence(link, sim, tally, timeout):
    sim.faults.delay = 1.05 * timeout
    for name in ["ndr 0", "serial", "ndr 0", "serial", "model", "serial"]:
        tally.call(link, sim.instrument, name)
    sim.faults.clear()
    time.sleep(4 * timeout)
    start = time.perf_counter()
    right = tally.call(link, sim.instrument, "serial")
    print(f"fixed sequence: first call after the wait {'right' if right else 'FAILED'} "
          f"in {time.perf_counter() - start:.2f} s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=200.0)
    parser.add_argument("--timeout", type=float, default=1.0)
    parser.add_argument("--seed", type=int, default=1)
    options = parser.parse_args()
    logging.getLogger("velmo_device_communication").addHandler(logging.NullHandler())
    rng = random.Random(options.seed)
    with SimulatedInstrument("HDA640") as sim:
        link = vdc._SerialCommunicationInterface(sim.port, sim.baud_rate, options.timeout)
        link.connect()
        fixed = Tally()
        fixed_sequence(link, sim, fixed, options.timeout)
        tally, episodes, unrecovered, recovery = Tally(), 0, 0, []
        end = time.monotonic() + options.seconds
        while time.monotonic() < end:
            episodes += 1
            lateness = max(arm(sim.faults, rng, options.timeout) for _ in range(rng.randint(1, 3)))
            for _ in range(rng.randint(1, 4)):
                tally.call(link, sim.instrument, rng.choice(sorted(CALLS)))
            sim.faults.clear()
            time.sleep(lateness + 0.2)
            start = time.perf_counter()
            if not (tally.call(link, sim.instrument, rng.choice(sorted(CALLS)))
                    or tally.call(link, sim.instrument, rng.choice(sorted(CALLS)))):
                unrecovered += 1
            recovery.append(time.perf_counter() - start)
        link.disconnect()
    recovery.sort()
    print(f"{episodes} episodes in {options.seconds:.0f} s at a {options.timeout:g} s time-out: "
          f"{tally.calls} calls, {tally.right} right, {tally.failed} failed, {tally.wrong} wrong values "
          f"({fixed.wrong} in the fixed sequence); {unrecovered} episodes without recovery by the "
          f"second call; recovery took {recovery[len(recovery) // 2]:.2f} s median, "
          f"{recovery[-1]:.2f} s at most")


if __name__ == "__main__":
    main()
