"""Simulated instruments on ptys, each opened as a device: a fixture to import into a test module."""

import contextlib

import pytest

import velmo
from velmo.simulator import ORVALE_ITEM_NUMBER, ZERO_COUNT, SimulatedInstrument, ramp

def ramping(simulator, step=3 << 8):
    """Counts that rise by about `step` per sample at 1200 SPS, so neighbours always differ."""
    simulator.instrument.set_signal(0, ramp(ZERO_COUNT, step * 1200))
    return simulator


@pytest.fixture
def instruments():
    """instruments(model, ...) -> [(simulator, device)]; all closed after the test."""
    with contextlib.ExitStack() as stack:

        def start(*models, **options):
            pairs = []
            for serial, model in enumerate(models, start=20240001):
                item_number = ORVALE_ITEM_NUMBER if model == "ORVALE" else None
                model = "HDA640" if model == "ORVALE" else model
                simulator = stack.enter_context(
                    SimulatedInstrument(model, item_number, instrument_serial=serial, **options)
                )
                device = stack.enter_context(velmo.open_device(simulator.port, models=[model]))
                pairs.append((ramping(simulator), device))
            return pairs

        yield start
