"""Opening instruments on ports the caller names, and scanning ports in parallel.

Both probe a port as the module's scanner does: for each candidate rate of the
requested models, open a link, ask for the model number, and wrap the first
link that answers in a ``VelmoDevice``. The scanner only picks among the ports
pyserial enumerates; these take any path (a USB adapter, a simulator's pty).
"""

from __future__ import annotations

import contextlib
import logging
import threading
from collections.abc import Callable, Iterable, Sequence
from typing import NamedTuple

import serial.tools.list_ports
import velmo_device_communication as vdc

logger = logging.getLogger(__name__)

# Candidate line rates per model, in the order the module's scanner tries them.
MODEL_BAUD_RATES: dict[str, tuple[int, ...]] = {
    "HDA640": (2_000_000,),
    "RPX310": (320_000, 115_200),
    "TMV520": (320_000, 115_200),
    "GLS870": (320_000, 115_200),
}
MODELS = tuple(MODEL_BAUD_RATES)

USUAL_CAUSES = (
    "is the instrument powered and plugged in, is the port yours to use "
    "(on Linux: membership of the dialout group), and is no other program holding it?"
)


def baud_rates_for(models: Iterable[str] | None = None) -> list[int]:
    """The rates to try for ``models`` (all models when None or empty), each once, in order.

    Raises TypeError when ``models`` is a string or holds a non-string, and
    ValueError naming the known models when one is unknown.
    """
    if models is None:
        models = ()
    if isinstance(models, (str, bytes)):
        raise TypeError(f"models must be a list of model names such as ['HDA640'], not {type(models).__name__}")
    try:
        requested = list(models)
    except TypeError:
        raise TypeError(f"models must be a list of model names, not {type(models).__name__}") from None
    rates: list[int] = []
    for model in requested or MODELS:
        if not isinstance(model, str):
            raise TypeError(f"a model name must be a str, not {type(model).__name__}")
        if model.upper() not in MODEL_BAUD_RATES:
            raise ValueError(f"unknown model {model!r}; known models: {', '.join(MODELS)}")
        rates.extend(rate for rate in MODEL_BAUD_RATES[model.upper()] if rate not in rates)
    return rates


def _check_port(port: object) -> str:
    if not isinstance(port, str):
        raise TypeError(f"port must be a str such as '/dev/ttyUSB0' or 'COM3', not {type(port).__name__}")
    if not port:
        raise ValueError("port must not be empty")
    return port


class _ProbeOutcome(NamedTuple):
    device: vdc.VelmoDevice | None
    opened_at: list[int]  # rates at which the port could be opened
    connection_error: vdc.VelmoConnectionError | None  # the first failure to open


def _probe(port: str, baud_rates: Sequence[int], stop: threading.Event | None = None) -> _ProbeOutcome:
    opened_at: list[int] = []
    connection_error = None
    for baud_rate in baud_rates:
        if stop is not None and stop.is_set():
            break
        link = None
        try:
            link = vdc._SerialCommunicationInterface(port, baud_rate)
            link.connect()
            opened_at.append(baud_rate)
            model = link.get_model_number()
            if not model:
                logger.debug("%s at %d baud: no response", port, baud_rate)
                link.disconnect()
                continue
            logger.info("Found %s on %s at %d baud", model, port, baud_rate)
            device = vdc.VelmoDevice(link, _internal_token=vdc._DEVICE_CREATION_TOKEN)
            return _ProbeOutcome(device, opened_at, connection_error)
        except vdc.VelmoConnectionError as error:
            connection_error = connection_error or error
            logger.debug("%s at %d baud: %s", port, baud_rate, error)
        except vdc.VelmoCommunicationError as error:
            logger.debug("%s at %d baud: communication error - %s", port, baud_rate, error)
        except Exception as error:
            logger.warning("Unexpected error probing %s at %d baud: %s", port, baud_rate, error)
        if link is not None:
            with contextlib.suppress(Exception):
                link.disconnect()
    return _ProbeOutcome(None, opened_at, connection_error)


def open_device(port: str, *, models: Iterable[str] | None = None) -> vdc.VelmoDevice:
    """Open the instrument on ``port``: any path, listed by the system or not.

    Tries the candidate rates of ``models`` (all four models when None) as
    discovery does and returns the connected device of the first rate that
    answers; close it with ``disconnect()`` or use it in a ``with`` block.

    :param port: the port's name, such as "/dev/ttyUSB0", "COM3" or a simulator's pty
    :param models: model names whose rates to try, such as ["RPX310"]
    :return: the connected ``VelmoDevice``
    :raises TypeError: ``port`` is not a str, or ``models`` is a str or holds a non-string
    :raises ValueError: ``port`` is empty or a model is unknown
    :raises VelmoConnectionError: the port could not be opened at any rate
    :raises VelmoDeviceNotFoundError: the port opened but no instrument answered
    """
    _check_port(port)
    baud_rates = baud_rates_for(models)
    outcome = _probe(port, baud_rates)
    if outcome.device is not None:
        return outcome.device
    if not outcome.opened_at and outcome.connection_error is not None:
        raise outcome.connection_error
    tried = ", ".join(str(rate) for rate in baud_rates)
    raise vdc.VelmoDeviceNotFoundError(f"No VELMO instrument answered on {port} at {tried} baud; {USUAL_CAUSES}")


def enumerated_ports() -> list[str]:
    """The serial ports the system lists, by device name."""
    return [record.device for record in serial.tools.list_ports.comports()]


def scan(
    ports: Iterable[str] | None = None,
    *,
    models: Iterable[str] | None = None,
    on_port_done: Callable[[str, vdc.VelmoDevice | None], None] | None = None,
) -> list[vdc.VelmoDevice]:
    """Probe ``ports`` (every enumerated port when None) in parallel, one thread per port.

    Each thread has its own link, so a scan costs as long as its slowest port
    rather than the sum of all. Returns the devices found, in port order;
    ``on_port_done(port, device_or_None)`` is called from the worker threads.
    A KeyboardInterrupt stops the workers after their current probe and
    closes whatever they had found.
    """
    baud_rates = baud_rates_for(models)
    port_names = enumerated_ports() if ports is None else [_check_port(port) for port in ports]
    port_names = list(dict.fromkeys(port_names))
    found: dict[str, vdc.VelmoDevice] = {}
    lock = threading.Lock()
    stop = threading.Event()

    def worker(port: str) -> None:
        device = _probe(port, baud_rates, stop).device
        with lock:
            if device is not None:
                found[port] = device
        if on_port_done is not None:
            on_port_done(port, device)

    threads = [threading.Thread(target=worker, args=(port,), name=f"velmo-scan {port}") for port in port_names]
    for thread in threads:
        thread.start()
    try:
        for thread in threads:
            thread.join()
    except BaseException:
        stop.set()
        for thread in threads:
            thread.join()
        for device in found.values():
            device.disconnect()
        raise
    return [found[port] for port in port_names if port in found]
