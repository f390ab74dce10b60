"""Simulated VELMO instruments for tests and demonstrations.

``SimulatedInstrument`` serves an ``InstrumentModel`` on a pseudo-terminal that
pyserial opens like a real port; the model alone answers command frames for
any other transport.
"""

from .faults import AnswerFaults
from .instrument import (
    COUNTS_PER_UNIT,
    DEFAULT_BOARD_TEMPERATURE_COUNT,
    DEFAULT_TEDS_LASER,
    FIRST_AUTO_TEDS_V1_FIRMWARE,
    ZERO_COUNT,
    InstrumentModel,
    LoadingPoint,
    Profile,
    StreamPacket,
    counts_of_loads,
    default_profile,
)
from .protocol import (
    MODELS,
    ORVALE_ITEM_NUMBER,
    SAMPLING_RATES,
    FrameParser,
    build_frame,
    checksum,
    default_baud_rate,
)
from .signals import Signal, SignalError, constant, cycle, noise, parse_signal, ramp, sine, steps
from .simulated import SimulatedInstrument
from .teds import TEDSSensor, build_teds_image

__all__ = [
    "AnswerFaults",
    "COUNTS_PER_UNIT",
    "DEFAULT_BOARD_TEMPERATURE_COUNT",
    "DEFAULT_TEDS_LASER",
    "FIRST_AUTO_TEDS_V1_FIRMWARE",
    "FrameParser",
    "InstrumentModel",
    "LoadingPoint",
    "MODELS",
    "ORVALE_ITEM_NUMBER",
    "Profile",
    "SAMPLING_RATES",
    "Signal",
    "SignalError",
    "SimulatedInstrument",
    "StreamPacket",
    "TEDSSensor",
    "ZERO_COUNT",
    "build_frame",
    "build_teds_image",
    "checksum",
    "constant",
    "counts_of_loads",
    "cycle",
    "default_baud_rate",
    "default_profile",
    "noise",
    "parse_signal",
    "ramp",
    "sine",
    "steps",
]
