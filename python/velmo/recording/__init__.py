"""Recording instruments into self-describing HDF5 files, and reading them back.

``Recorder`` streams one or more instruments into one file that another process can
read while it grows and that keeps every flushed sample if the recorder dies;
``load`` reads such a file, closed, growing or crashed. The layout is described in
``velmo.recording.layout``; any HDF5 tool reads it without velmo. Needs h5py (the
``record`` extra).
"""

from .reader import Gap, Instrument, NotARecordingError, Recording, UnreadableRecordingError, load
from .recorder import InstrumentStats, Recorder, RecordingError

__all__ = [
    "Gap", "Instrument", "InstrumentStats", "NotARecordingError", "Recorder", "Recording", "RecordingError",
    "UnreadableRecordingError", "load",
]
