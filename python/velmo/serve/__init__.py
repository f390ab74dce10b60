"""The instruments on OPC UA, for the plant's PLC, SCADA or MES (needs the ``serve`` extra: asyncua).

``OpcUaServer`` serves each instrument under ``Objects/Velmo/<MODEL>_<SERIAL>``, an object
of ``VelmoInstrumentType`` in the namespace ``urn:velmo:instruments``: the load of the last
update interval with its minimum, maximum, mean and sample count, the sample counters and
the state, the instrument's identity as properties, and methods to record it::

    with open_device("/dev/ttyUSB0") as device:
        served = instrument(device)
        with served.acquisition, OpcUaServer([served]):
            ...  # clients connect to opc.tcp://127.0.0.1:4840/velmo

By default the server listens on 127.0.0.1 only and anonymous sessions read; methods need
a user from a users file (``security.add_user``).
"""

from .._requirements import asyncua_missing

_hint = asyncua_missing()
if _hint is not None:
    raise ImportError(_hint)

from .security import add_user, make_certificate, read_users  # noqa: E402
from .server import DEFAULT_ENDPOINT, DEFAULT_UPDATE_INTERVAL, OpcUaServer, ServedInstrument, instrument  # noqa: E402
from .space import NAMESPACE_URI  # noqa: E402

__all__ = [
    "DEFAULT_ENDPOINT",
    "DEFAULT_UPDATE_INTERVAL",
    "NAMESPACE_URI",
    "OpcUaServer",
    "ServedInstrument",
    "add_user",
    "instrument",
    "make_certificate",
    "read_users",
]
