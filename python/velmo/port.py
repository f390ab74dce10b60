"""velmo's hold on an instrument's port: the one place that reaches into the module's link.

Everything else in velmo - discovery, acquisition, recording, the command line - goes
through these functions and never touches the link's or the device's private members.

Holding. On POSIX systems a port that velmo opens is held with an advisory
``flock(LOCK_EX | LOCK_NB)``, the lock pyserial takes with ``exclusive=True``: a second
velmo handle, another velmo program and pyserial's exclusive users all get a clear error
instead of sharing the line. Programs that open the port without asking for a lock are not
kept out; nothing can tell them apart. On other systems (Windows, where a port has one
user at a time anyway) there is no such lock.

The module's ``connect()`` opens the port and asks the instrument for its identity at
once. So a probe first opens the path itself and takes the lock there (``PortClaim``);
when the link has opened the port, before its first byte is sent, the claim's descriptor
is duplicated onto the link's (``dup2``): the link then writes and reads through the very
open file the lock belongs to, and the lock goes with the port's close. No byte is sent to
an instrument another program holds, and there is no moment between the claim and the
hand-over in which another program could take the port.
"""

from __future__ import annotations

import contextlib
import logging
import os
import types
from collections.abc import Iterator
from typing import Any, NamedTuple

import velmo_device_communication as vdc

from .line import stop_stream as _stop_link_stream
from .line import wait_for_silence

try:
    import fcntl
except ImportError:  # not POSIX: no advisory locks
    _flock: Any = None
else:
    _flock = fcntl.flock

logger = logging.getLogger(__name__)

# Stop commands sent by a probe to a line that carries bytes nobody asked for, before
# the rate is given up: a stream at this rate stops at the first, noise at another rate
# never does.
PROBE_STOP_ATTEMPTS = 2


def in_use_error(port: str) -> vdc.VelmoConnectionError:
    return vdc.VelmoConnectionError(
        f"Port {port} is in use by another program (or another open connection of this one); close it there first"
    )


def _lock(fd: int, port: str) -> None:
    try:
        _flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        raise in_use_error(port) from None
    except OSError:
        pass  # a descriptor that cannot be locked (some file systems, odd devices) is used unlocked


def _link(target: Any) -> Any:
    """The link of a ``VelmoDevice``, or ``target`` itself when it is a link."""
    return getattr(target, "communication_interface", target)


def _fileno(target: Any) -> int | None:
    """The descriptor of the open port of ``target`` (a device or its link); None without one."""
    fileno = getattr(getattr(_link(target), "serial_connection", None), "fileno", None)
    if fileno is None:
        return None
    try:
        fd = fileno()
    except Exception:  # closed meanwhile, or a port object without a descriptor
        return None
    return fd if isinstance(fd, int) and fd >= 0 else None


def hold(target: Any) -> None:
    """Hold the open port of ``target`` (a ``VelmoDevice`` or its link) for this connection.

    For a device opened some other way than through velmo. Idempotent for a port this
    connection already holds. A port without a descriptor (a test double) or a system
    without locks is left as it is.

    :raises VelmoConnectionError: If another program or connection holds the port
    """
    fd = _fileno(target)
    if _flock is not None and fd is not None:
        _lock(fd, name(target))


class PortClaim:
    """The lock on a port's path, taken before anything is sent on the port.

    A path that cannot be opened here is not claimed: connecting to it reports why. Use
    as a context manager; the claim ends with the block or with ``hand_over``.

    :raises VelmoConnectionError: If another program or connection holds the port
    """

    def __init__(self, port: str) -> None:
        self.port = port
        self._fd: int | None = None
        self._adopted: Any = None  # the port object that took the claimed file last
        if _flock is None:
            return
        try:
            # As pyserial opens a port: the link will read and write through this open file.
            fd = os.open(port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
        except OSError:
            return
        try:
            _lock(fd, port)
        except BaseException:
            os.close(fd)
            raise
        self._fd = fd

    def adopt(self, link: Any) -> bool:
        """Put the claimed open file under the descriptor of ``link``'s open port, so that the
        link uses the locked file; whether it did. The claim keeps its own descriptor for the
        next link of a probe, until ``hand_over`` or the end of the claim."""
        serial_port = getattr(link, "serial_connection", None)
        if serial_port is not None and serial_port is self._adopted:
            return True
        fd = _fileno(link)
        if self._fd is None or fd is None:
            return False
        os.dup2(self._fd, fd, inheritable=False)
        self._adopted = serial_port
        return True

    def hand_over(self, link: Any) -> None:
        """Leave the port held by ``link`` alone; the claim itself ends.

        :raises VelmoConnectionError: If the link did not take the claimed file and
            another program took the port in between
        """
        adopted = self.adopt(link)
        self.release()
        if not adopted:
            hold(link)

    def release(self) -> None:
        if self._fd is not None:
            fd, self._fd = self._fd, None
            os.close(fd)

    def __enter__(self) -> PortClaim:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, traceback: types.TracebackType | None
    ) -> None:
        self.release()


# -- what the device does not tell through its public methods ------------------------


def name(target: Any) -> str:
    """The port's name, such as "/dev/ttyUSB0", of a device or its link."""
    return str(getattr(_link(target), "comport", "the instrument's port"))


def baud_rate(device: vdc.VelmoDevice) -> int:
    return int(_link(device).baud_rate)


def item_number(device: vdc.VelmoDevice) -> str:
    """The instrument's item number, asked from it.

    :raises VelmoDeviceError: If the instrument does not tell
    """
    return str(_link(device).get_item_number())


def firmware_version(device: vdc.VelmoDevice) -> str:
    """The instrument's firmware version with its patch level, asked from it.

    :raises VelmoDeviceError: If the instrument does not tell
    """
    return str(_link(device).get_firmware_version_with_patch())


class LoadingPoints(NamedTuple):
    """The loading points of the profile the device converts with: direction 1, then 2."""

    profile: int
    directions: int
    per_direction: int
    loads: tuple[float, ...]
    counts: tuple[int, ...]


def loading_points(device: vdc.VelmoDevice) -> LoadingPoints:
    """The calibration in use, asked from the instrument: the device converts with the
    profile selected on channel 0."""
    link = _link(device)
    profile = device.get_device_channel_selected_profile(0)
    per_direction = link.get_number_of_loading_points(profile)
    directions = 2 if link.get_number_of_directions(profile) == 1 else 1
    points = range(per_direction * directions)
    return LoadingPoints(
        profile,
        directions,
        per_direction,
        tuple(link.get_load_of_loading_point(profile, point) for point in points),
        tuple(link.get_loading_point_value(profile, point) for point in points),
    )


def teds_record(device: vdc.VelmoDevice) -> Any:
    """The ``TEDSData`` the device read from its sensor and converts with, or None."""
    return device._teds_data


def read_teds_record(device: vdc.VelmoDevice) -> Any:
    """The attached sensor's record, read with the instrument slowed down and its rate put back after.

    :raises VelmoTEDSNotConnectedError: If no sensor answers
    """
    link = _link(device)
    device.pre_teds_operations()
    try:
        laser = link.get_teds_laser()
        if laser is None:
            raise vdc.VelmoTEDSNotConnectedError("Failed to read TEDS template - sensor may be disconnected")
        return vdc.TEDSData.parse_from_bytes(link.generate_all_teds_data(), laser[0])
    finally:
        device.post_teds_operations()


# -- streaming --------------------------------------------------------------------------


def descriptor(device: vdc.VelmoDevice) -> int | None:
    """The descriptor of the device's open port, for a native reader that duplicates it;
    None where pyserial has none (not POSIX, or a test double)."""
    return _fileno(device) if os.name == "posix" else None


def stop_stream(device: vdc.VelmoDevice, *, attempts: int | None = None) -> bytes:
    """Switch the device's stream off and wait until the line is silent (``velmo.line.stop_stream``).

    :return: The stream bytes that arrived after the stop command
    :raises VelmoCommunicationError: If the instrument is still streaming after every attempt
    """
    return _stop_link_stream(_link(device), attempts=attempts)


# -- probing ------------------------------------------------------------------------------


class Unanswered(Exception):
    """A rate at which bytes came back that answer nothing, or the port failed."""

    def __init__(self, error: Exception, port_failed: bool) -> None:
        super().__init__(str(error))
        self.error = error
        self.port_failed = port_failed


def _set_timeout(link: Any, timeout: float) -> None:
    """The link's read time-out, for the port it opens next and for the one open now."""
    link.timeout = timeout
    if link.serial_connection is not None:
        link.serial_connection.timeout = timeout


@contextlib.contextmanager
def _watched_transactions(
    link: Any, timeout: float | None, claim: PortClaim | None = None
) -> Iterator[list[Exception]]:
    """Within the block, collect the failures of the link's transactions.

    With a ``timeout``, each transaction is also made once with that read time-out instead
    of under the module's retries; the link's time-out is put back afterwards, on the open
    port too. With a ``claim``, the link takes the claimed file before its first transaction.
    """
    failures: list[Exception] = []
    retried = type(link).send_convert_return_sequence
    module_timeout = link.timeout
    if timeout is None:
        transaction = types.MethodType(retried, link)
    else:
        transaction = types.MethodType(getattr(retried, "__wrapped__", retried), link)
        _set_timeout(link, timeout)

    def watched(command: Any, arguments: Any = b"") -> Any:
        if claim is not None:
            claim.adopt(link)  # before the first byte of a newly opened port
        try:
            return transaction(command, arguments)
        except vdc.VelmoDeviceError as error:
            failures.append(error)
            raise

    # The link calls its transactions through the instance, so this shadows them.
    setattr(link, "send_convert_return_sequence", watched)
    try:
        yield failures
    finally:
        delattr(link, "send_convert_return_sequence")
        if timeout is not None:
            _set_timeout(link, module_timeout)


def _unanswered(failures: list[Exception]) -> Unanswered | None:
    """None when the failures are only silence; else what they say about the line."""
    for error in failures:
        if not isinstance(error, vdc.VelmoTimeoutError) and isinstance(error.__cause__, OSError):
            return Unanswered(error, port_failed=True)
    for error in failures:
        if not isinstance(error, vdc.VelmoTimeoutError):
            return Unanswered(error, port_failed=False)
    return None


def _identify(link: Any, timeout: float | None, claim: PortClaim) -> tuple[str | None, bool]:
    """Connect; the model that answers (None for silence), and whether a stream was switched off.

    Connecting asks for model and item number. A previous program may have left the
    instrument streaming: then the answers are lost among the packets, or come through
    between two slow ones. So the stream is switched off on every line that answers, and
    the instrument asked again if its answers were lost.

    :raises VelmoConnectionError: If the port cannot be opened
    :raises Unanswered: If the port failed, or the line carries bytes that neither answer nor stop
    """
    with _watched_transactions(link, timeout, claim) as failures:
        link.connect()
        answered = bool(link._cached_model_number)
        if not answered:
            unanswered = _unanswered(failures)
            if unanswered is None:
                return None, False
            if unanswered.port_failed:
                raise unanswered
        try:
            # Bytes that come unasked within a moment are a stream; a slow one may not show
            # in that moment, so the stream is switched off in any case.
            streaming = not answered or not wait_for_silence(link, timeout=0)[0]
            streaming = bool(_stop_link_stream(link, attempts=PROBE_STOP_ATTEMPTS)) or streaming
        except vdc.VelmoDeviceError as error:
            raise Unanswered(error, port_failed=isinstance(error.__cause__, OSError)) from error
        if answered:
            return str(link._cached_model_number), streaming
        failures.clear()
        link.disconnect()
        link.connect()
        if link._cached_model_number:
            return str(link._cached_model_number), streaming
        raise _unanswered(failures) or Unanswered(vdc.VelmoTimeoutError("no answer after the stream stopped"), False)


def probe_rate(claim: PortClaim, baud_rate: int, timeout: float | None) -> tuple[vdc.VelmoDevice | None, bool]:
    """Open the claimed port at ``baud_rate`` and wrap the instrument that answers in a device.

    Each transaction is made once with the read ``timeout``; None: with the module's
    time-outs and retries. Returns the device (None when nothing answered) and whether a
    stream was found and switched off.

    :raises VelmoConnectionError: If the port cannot be opened
    :raises Unanswered: If the port failed, or the line carries bytes that neither answer nor stop
    """
    link = vdc._SerialCommunicationInterface(claim.port, baud_rate)
    try:
        model, streaming = _identify(link, timeout, claim)
        if model is None:
            link.disconnect()
            return None, streaming
        if link._cached_item_number is None:
            # Answered the model in time but not the item number: ask again at the module's pace.
            link.disconnect()
            with _watched_transactions(link, None, claim):
                link.connect()
        return vdc.VelmoDevice(link, _internal_token=vdc._DEVICE_CREATION_TOKEN), streaming
    except BaseException:
        with contextlib.suppress(Exception):
            link.disconnect()
        raise


def answers_for_channel(device: vdc.VelmoDevice, channel: int, timeout: float) -> bool:
    """Whether the instrument answers for ``channel`` within ``timeout``: one question, no retries.

    :raises VelmoDeviceError: For a failure other than silence
    """
    link = _link(device)
    with _watched_transactions(link, timeout):
        try:
            link.get_device_channel_selected_profile(channel)
        except vdc.VelmoTimeoutError:
            return False
    return True
