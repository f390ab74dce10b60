"""Opening instruments on ports the caller names, and scanning ports in parallel.

Both probe a port as the module's scanner does: for each candidate rate of the
requested models, open a link, ask for the model number, and wrap the first
link that answers in a ``VelmoDevice``. Unlike the scanner they take any path
(a USB adapter, a simulator's pty), and they are quick: each rate gets one
attempt with a short read time-out (``probe_timeout``), since an instrument
answers within a few milliseconds; once one answers, its link goes back to the
module's own time-outs and retries. ``thorough=True`` probes with the module's
time-outs and retries, for adapters that answer slowly.

A probe holds the port exclusively (see ``velmo.port``) before it sends a
byte, finds an instrument that a previous program left streaming and switches
its stream off, and keeps the records of its expected failures (silence at a
wrong rate, an empty port) out of the way: the module logs them at DEBUG then.
Real failures - a port that cannot be opened or vanishes, answers that are not
answers - are raised by ``open_device`` and reported by ``scan``.

The ports probed when none is named are those the system lists, and those of
``velmo simulate`` processes of the same user: pyserial lists no
pseudo-terminal, so each such process writes one small file per port it serves
into a per-user folder, and removes it when it exits (see ``port_records``).
"""

from __future__ import annotations

import contextlib
import json
import logging
import math
import os
import sys
import tempfile
import threading
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path

import serial.tools.list_ports
import velmo_device_communication as vdc
from serial.tools.list_ports_common import ListPortInfo

from . import models
from . import port as _port
from ._logs import demoted

logger = logging.getLogger(__name__)

MODULE_LOGGER = vdc.__name__

# Candidate line rates per model, in the order the module's scanner tries them.
MODEL_BAUD_RATES: dict[str, tuple[int, ...]] = {name: model.baud_rates for name, model in models.MODELS.items()}
MODELS = models.MODEL_NAMES

# An instrument answers a model query in 2.4-4.4 ms, and a USB adapter may hold
# the answer back for its latency timer (16 ms by default on FTDI chips): a
# tenth of a second leaves a wide margin and keeps a silent rate cheap.
PROBE_TIMEOUT = 0.1

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


def _check_serial_number(serial_number: object) -> int:
    if not isinstance(serial_number, int) or isinstance(serial_number, bool):
        raise TypeError(f"a serial number must be an int, not {type(serial_number).__name__}")
    if serial_number < 0:
        raise ValueError(f"a serial number is not negative, got {serial_number}")
    return serial_number


def _serial_number_set(serial_numbers: Iterable[int] | None) -> frozenset[int] | None:
    if serial_numbers is None:
        return None
    if isinstance(serial_numbers, (str, bytes, int)):
        raise TypeError(f"serial_numbers must be a list of ints, not {type(serial_numbers).__name__}")
    return frozenset(_check_serial_number(number) for number in serial_numbers)


@dataclass(frozen=True)
class ProbeSettings:
    """How a port is probed: ``probe_timeout`` per rate, or the module's time-outs when ``thorough``."""

    probe_timeout: float = PROBE_TIMEOUT
    thorough: bool = False

    def __post_init__(self) -> None:
        if isinstance(self.probe_timeout, bool) or not isinstance(self.probe_timeout, (int, float)):
            raise TypeError(f"probe_timeout must be a number of seconds, not {type(self.probe_timeout).__name__}")
        if not (self.probe_timeout > 0 and math.isfinite(self.probe_timeout)):
            raise ValueError(f"probe_timeout must be a positive number of seconds, not {self.probe_timeout!r}")


@dataclass(frozen=True)
class PortProbe:
    """What probing one port found.

    ``device`` is the instrument found (and kept), or None. ``error`` is the
    real failure that explains why there is none - the port could not be opened
    or is held by another program, it vanished, or what came back was not an
    answer - and None when the port was merely silent or held an instrument
    that the serial-number filter left out; ``serial_number`` is that of the
    instrument found, when it was read.
    """

    port: str
    baud_rates: tuple[int, ...]
    device: vdc.VelmoDevice | None = None
    error: Exception | None = None
    serial_number: int | None = None

    @property
    def reason(self) -> str:
        """Why nothing is kept from this port, in one line."""
        if self.device is not None:
            return "an instrument was found"
        if self.error is not None:
            return error_text(self.error)
        if self.serial_number is not None:
            return f"the instrument there has serial number {self.serial_number}"
        rates = ", ".join(str(rate) for rate in self.baud_rates)
        return f"no instrument answered at {rates} baud"


def _probe_rate(claim: _port.PortClaim, baud_rate: int, settings: ProbeSettings) -> vdc.VelmoDevice | None:
    timeout = None if settings.thorough else settings.probe_timeout
    device, streaming = _port.probe_rate(claim, baud_rate, timeout)
    if streaming:
        logger.info(
            "%s at %d baud: the instrument was streaming (left on by a program that ended?); switched its stream off",
            claim.port,
            baud_rate,
        )
    if device is None:
        logger.debug("%s at %d baud: no response", claim.port, baud_rate)
    else:
        logger.info("Found %s on %s at %d baud", device.get_model_number(), claim.port, baud_rate)
    return device


def probe_port(
    port: str,
    baud_rates: Sequence[int],
    settings: ProbeSettings = ProbeSettings(),
    stop: threading.Event | None = None,
) -> PortProbe:
    """Probe one port at ``baud_rates`` in order; the first instrument that answers is kept.

    Never raises for what it finds on the port: the outcome says it.
    """
    rates = tuple(baud_rates)
    try:
        claim = _port.PortClaim(port)
    except vdc.VelmoConnectionError as error:
        return PortProbe(port, rates, error=error)
    connection_error: vdc.VelmoConnectionError | None = None
    unanswered: _port.Unanswered | None = None
    opened = False
    with claim, demoted(MODULE_LOGGER):
        for baud_rate in rates:
            if stop is not None and stop.is_set():
                break
            try:
                device = _probe_rate(claim, baud_rate, settings)
            except vdc.VelmoConnectionError as error:
                connection_error = connection_error or error
                logger.debug("%s at %d baud: %s", port, baud_rate, error)
                continue
            except _port.Unanswered as failure:
                opened = True
                logger.debug("%s at %d baud: %s", port, baud_rate, failure)
                if failure.port_failed:
                    return PortProbe(port, rates, error=failure.error)
                unanswered = unanswered or failure
                continue
            except Exception as error:  # answered, then failed while the device was set up
                return PortProbe(port, rates, error=error)
            opened = True
            if device is None:
                continue
            try:
                claim.hand_over(device)
            except vdc.VelmoConnectionError as error:
                device.disconnect()
                return PortProbe(port, rates, error=error)
            return PortProbe(port, rates, device=device)
    if unanswered is not None:
        garbage = vdc.VelmoProtocolError(f"what came back from {port} is not an instrument's answer: {unanswered}")
        garbage.__cause__ = unanswered.error
        return PortProbe(port, rates, error=garbage)
    if not opened and connection_error is not None:
        return PortProbe(port, rates, error=connection_error)
    return PortProbe(port, rates)


def not_found_error(probe: PortProbe) -> vdc.VelmoDeviceError:
    """The error that says why ``probe`` found no instrument."""
    if isinstance(probe.error, vdc.VelmoConnectionError):
        return probe.error
    tried = ", ".join(str(rate) for rate in probe.baud_rates)
    if probe.error is not None:
        error = vdc.VelmoDeviceNotFoundError(f"No VELMO instrument answered on {probe.port}: {probe.reason}")
        error.__cause__ = probe.error
        return error
    return vdc.VelmoDeviceNotFoundError(f"No VELMO instrument answered on {probe.port} at {tried} baud; {USUAL_CAUSES}")


def _found_elsewhere(probes: list[PortProbe]) -> str:
    found = [f"{probe.serial_number} on {probe.port}" for probe in probes if probe.serial_number is not None]
    return f"; found {', '.join(found)}" if found else ""


def open_device(
    port: str | None = None,
    *,
    models: Iterable[str] | None = None,
    serial_number: int | None = None,
    probe_timeout: float = PROBE_TIMEOUT,
    thorough: bool = False,
) -> vdc.VelmoDevice:
    """Open an instrument by port, by serial number, or both.

    With a ``port`` (any path, listed by the system or not), tries the
    candidate rates of ``models`` (all four models when None) and returns the
    device of the first rate that answers; with a ``serial_number`` as well,
    checks that the instrument has it. With only a ``serial_number``, scans
    every enumerated port and returns the instrument that has it, closing the
    others. Close the device with ``disconnect()`` or a ``with`` block. The
    port is held exclusively while the device is open (see ``velmo.port``).

    :param port: the port's name, such as "/dev/ttyUSB0", "COM3" or a simulator's pty
    :param models: model names whose rates to try, such as ["RPX310"]
    :param serial_number: the instrument's serial number
    :param probe_timeout: read time-out of the one attempt per rate, in seconds
    :param thorough: probe with the module's time-outs and retries instead, for slow adapters
    :return: the connected ``VelmoDevice``
    :raises TypeError: neither ``port`` nor ``serial_number`` given, or an argument of the wrong type
    :raises ValueError: ``port`` is empty, a model is unknown, or ``probe_timeout`` is not positive
    :raises VelmoConnectionError: the port could not be opened at any rate, or another program holds it
    :raises VelmoDeviceNotFoundError: no instrument answered, or none with that serial number
    """
    baud_rates = baud_rates_for(models)
    settings = ProbeSettings(probe_timeout, thorough)
    if serial_number is not None:
        _check_serial_number(serial_number)
    if port is None:
        if serial_number is None:
            raise TypeError("open_device needs a port, a serial_number, or both")
        return _open_by_serial_number(serial_number, baud_rates, settings)
    probe = probe_port(_check_port(port), baud_rates, settings)
    device = probe.device
    if device is None:
        raise not_found_error(probe)
    if serial_number is not None:
        try:
            actual = device.get_instrument_serial_number()
        except BaseException:
            device.disconnect()
            raise
        if actual != serial_number:
            device.disconnect()
            raise vdc.VelmoDeviceNotFoundError(
                f"The instrument on {port} has serial number {actual}, not {serial_number}"
            )
    return device


def _open_by_serial_number(serial_number: int, baud_rates: list[int], settings: ProbeSettings) -> vdc.VelmoDevice:
    probes = probe_ports(enumerated_ports(), baud_rates, settings, serial_numbers=frozenset((serial_number,)))
    matching = [probe for probe in probes if probe.device is not None]
    if len(matching) == 1 and matching[0].device is not None:
        return matching[0].device
    for probe in matching:
        if probe.device is not None:
            probe.device.disconnect()
    if matching:
        ports = ", ".join(probe.port for probe in matching)
        raise vdc.VelmoDeviceNotFoundError(
            f"{len(matching)} instruments have serial number {serial_number}, on {ports}; give the port as well"
        )
    tried = ", ".join(probe.port for probe in probes) or "none"
    raise vdc.VelmoDeviceNotFoundError(
        f"No instrument with serial number {serial_number} on the ports {tried}{_found_elsewhere(probes)}"
    )


def error_text(error: BaseException) -> str:
    """The error's text on one line, with the system's reason said once.

    pyserial puts the system's error into its own text, and the module puts
    that into its own: "... at 2000000 baud: [Errno 2] could not open port X:
    [Errno 2] No such file or directory: 'X'" reads "... at 2000000 baud:
    [Errno 2] No such file or directory".
    """
    text = " ".join(str(error).split()) or type(error).__name__
    cause = error.__cause__
    system = _system_error(cause)
    if cause is not None and system is not None and system is not cause:
        cause_text = " ".join(str(cause).split())
        if cause_text and text.endswith(cause_text):
            text = f"{text[: -len(cause_text)]}[Errno {system.errno}] {system.strerror}"
    return text


def _system_error(error: BaseException | None) -> OSError | None:
    """The innermost OSError with the system's errno and text in the chain of ``error``."""
    found, seen = None, set()
    while error is not None and id(error) not in seen:
        seen.add(id(error))
        if isinstance(error, OSError) and error.errno is not None and error.strerror:
            found = error
        error = error.__cause__ or error.__context__
    return found


# -- the ports: the system's, and those of simulators in other processes -------

SIMULATOR_RECORD_SUFFIX = ".json"


def port_record(device: str, description: str) -> ListPortInfo:
    """A port as ``serial.tools.list_ports`` lists it, for a simulator's pseudo-terminal."""
    record = ListPortInfo(device, skip_link_detection=True)
    record.description = description
    record.hwid = "PTY"
    return record


def simulator_folder() -> Path | None:
    """Where the ``velmo simulate`` processes of this user list their ports (None on Windows).

    $XDG_RUNTIME_DIR/velmo/simulators, or velmo-<uid>/simulators in the
    temporary folder where there is no runtime folder.
    """
    if sys.platform == "win32":
        return None
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    base = Path(runtime, "velmo") if runtime else Path(tempfile.gettempdir(), f"velmo-{os.getuid()}")
    return base / "simulators"


def _ours(folder: Path) -> bool:
    """A folder of this user's, not one another user placed where ours would be."""
    try:
        status = folder.lstat()
    except OSError:
        return False
    return folder.is_dir() and not folder.is_symlink() and status.st_uid == os.getuid()


def _running(pid: int) -> bool:
    if pid <= 0:
        return False
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:  # alive, but another user's
        return True
    return True


def simulator_ports() -> list[ListPortInfo]:
    """The ports that running ``velmo simulate`` processes of this user serve.

    A file whose process is gone (killed before it could remove it) is
    ignored, and removed.
    """
    folder = simulator_folder()
    if folder is None or not (_ours(folder.parent) and _ours(folder)):
        return []
    records = []
    for path in sorted(folder.glob("*" + SIMULATOR_RECORD_SUFFIX)):
        try:
            entry = json.loads(path.read_text(encoding="utf-8"))
            pid, port, description = int(entry["pid"]), str(entry["port"]), str(entry["description"])
        except (OSError, ValueError, KeyError, TypeError):
            continue
        if _running(pid) and os.path.exists(port):
            records.append(port_record(port, description))
        else:
            with contextlib.suppress(OSError):
                path.unlink()
    return records


@contextlib.contextmanager
def listed_for_other_processes(port: str, description: str) -> Iterator[None]:
    """Within the block, ``port`` is among the ports of every velmo process of this user.

    Where that cannot be (no folder of ours to write in, or Windows), a warning
    says so and the port is reached by its name only.
    """
    path = None
    try:
        path = _write_simulator_record(port, description)
    except OSError as error:
        logger.warning("%s is not listed for other programs (%s); give them its name to reach it", port, error)
    try:
        yield
    finally:
        if path is not None:
            with contextlib.suppress(OSError):
                path.unlink()


def _write_simulator_record(port: str, description: str) -> Path:
    folder = simulator_folder()
    if folder is None:
        raise OSError("other programs find simulators only on POSIX systems")
    for level in (folder.parent, folder):
        level.mkdir(mode=0o700, exist_ok=True)
        if not _ours(level):
            raise OSError(f"{level} is not a folder of this user's")
    path = folder / f"{os.getpid()}-{Path(port).name}{SIMULATOR_RECORD_SUFFIX}"
    # Written whole under another name first: a reader never sees half a record.
    partial = path.with_suffix(".partial")
    partial.write_text(json.dumps({"pid": os.getpid(), "port": port, "description": description}), encoding="utf-8")
    partial.replace(path)
    return path


def port_records() -> list[ListPortInfo]:
    """The serial ports the system lists, then those of ``velmo simulate`` processes."""
    records = list(serial.tools.list_ports.comports())
    listed = {record.device for record in records}
    return records + [record for record in simulator_ports() if record.device not in listed]


def enumerated_ports() -> list[str]:
    """The serial ports the system lists and those of ``velmo simulate`` processes, by device name."""
    return [record.device for record in port_records()]


def _keep_if_wanted(probe: PortProbe, serial_numbers: frozenset[int] | None) -> PortProbe:
    """The probe with its device's serial number read, and the device closed when it is not wanted."""
    device = probe.device
    if device is None or serial_numbers is None:
        return probe
    try:
        serial_number = device.get_instrument_serial_number()
    except vdc.VelmoDeviceError as error:
        device.disconnect()
        return PortProbe(probe.port, probe.baud_rates, error=error)
    if serial_number in serial_numbers:
        return PortProbe(probe.port, probe.baud_rates, device, serial_number=serial_number)
    device.disconnect()
    return PortProbe(probe.port, probe.baud_rates, serial_number=serial_number)


def probe_ports(
    ports: Iterable[str],
    baud_rates: Sequence[int],
    settings: ProbeSettings = ProbeSettings(),
    *,
    serial_numbers: frozenset[int] | None = None,
    on_port_done: Callable[[str, vdc.VelmoDevice | None], None] | None = None,
) -> list[PortProbe]:
    """Probe ``ports`` in parallel, one thread per port; one ``PortProbe`` per port, in port order.

    With ``serial_numbers``, only the instruments that have one of them are
    kept; the others are closed. ``on_port_done(port, device_or_None)`` is
    called from the worker threads. A KeyboardInterrupt stops the workers
    after their current probe and closes whatever they had found.
    """
    ports = list(dict.fromkeys(_check_port(port) for port in ports))
    probes: dict[str, PortProbe] = {}
    lock = threading.Lock()
    stop = threading.Event()

    def worker(port: str) -> None:
        probe = _keep_if_wanted(probe_port(port, baud_rates, settings, stop), serial_numbers)
        with lock:
            probes[port] = probe
        if on_port_done is not None:
            on_port_done(port, probe.device)

    threads = [threading.Thread(target=worker, args=(port,), name=f"velmo-scan {port}") for port in ports]
    for thread in threads:
        thread.start()
    try:
        for thread in threads:
            thread.join()
    except BaseException:
        stop.set()
        for thread in threads:
            thread.join()
        for probe in probes.values():
            if probe.device is not None:
                probe.device.disconnect()
        raise
    return [probes[port] for port in ports]


def scan(
    ports: Iterable[str] | None = None,
    *,
    models: Iterable[str] | None = None,
    serial_numbers: Iterable[int] | None = None,
    probe_timeout: float = PROBE_TIMEOUT,
    thorough: bool = False,
    on_port_done: Callable[[str, vdc.VelmoDevice | None], None] | None = None,
) -> list[vdc.VelmoDevice]:
    """Probe ``ports`` (every enumerated port when None) in parallel, one thread per port.

    Each thread has its own link, so a scan costs as long as its slowest port
    rather than the sum of all. Returns the devices found, in port order, each
    holding its port exclusively; with ``serial_numbers``, only the instruments
    that have one of them (the others are closed). A port that could not be
    probed (no permission, held by another program, vanished, answering
    garbage) is logged at WARNING on this module's logger; a silent one only at
    DEBUG. ``on_port_done(port, device_or_None)`` is called from the worker
    threads. A KeyboardInterrupt stops the workers after their current probe
    and closes whatever they had found.
    """
    baud_rates = baud_rates_for(models)
    settings = ProbeSettings(probe_timeout, thorough)
    wanted = _serial_number_set(serial_numbers)
    ports = enumerated_ports() if ports is None else list(ports)
    probes = probe_ports(ports, baud_rates, settings, serial_numbers=wanted, on_port_done=on_port_done)
    for probe in probes:
        if probe.error is not None:
            logger.warning("No instrument on %s: %s", probe.port, probe.reason)
    return [probe.device for probe in probes if probe.device is not None]


def has_channel(device: vdc.VelmoDevice, channel: int, timeout: float = PROBE_TIMEOUT) -> bool:
    """Whether the instrument answers for ``channel``: an instrument ignores a channel it lacks.

    Asks once for the channel's selected profile, with a short read time-out.
    """
    with demoted(MODULE_LOGGER):
        return _port.answers_for_channel(device, channel, timeout)
