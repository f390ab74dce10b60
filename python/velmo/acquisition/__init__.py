"""Continuous acquisition from a streaming instrument.

``Acquisition`` switches the instrument's stream on, drains the port on a reader
and hands the consumer chunks of calibrated loads and raw counts in typed arrays::

    with Acquisition(device, rate="SPS_1200") as acquisition:
        for chunk in acquisition:
            loads, counts = chunk.to_numpy()

Where the port has a file descriptor (POSIX), a native thread of ``velmo._columns``
reads it without the GIL, so a consumer that holds the interpreter cannot make the
port's input buffer overflow; elsewhere a Python thread reads it through pyserial.

Every sample is accounted for: ``received`` from the line, ``dropped`` because the
consumer fell behind the bounded queue, ``lost`` on the line (fewer samples arrived
than the instrument's rate gives over the arrival clock), ``discarded_at_stop``
while the stream was being switched off. A chunk's ``t0`` is right after any gap.

The device must not be used by anything else while the acquisition runs: the
reader owns its port until the acquisition is closed.
"""

from .acquisition import DEFAULT_BUFFER_SECONDS, Acquisition
from .chunks import AcquisitionStats, Chunk, SampleGap
from .rates import packet_size, rate_enumeration, resolve_rate, samples_per_second
from .taps import Tap

__all__ = [
    "DEFAULT_BUFFER_SECONDS",
    "Acquisition",
    "AcquisitionStats",
    "Chunk",
    "SampleGap",
    "Tap",
    "packet_size",
    "rate_enumeration",
    "resolve_rate",
    "samples_per_second",
]
