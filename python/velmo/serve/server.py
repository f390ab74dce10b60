"""``OpcUaServer``: the instruments' live values on OPC UA, one reader per instrument."""

from __future__ import annotations

import asyncio
import concurrent.futures
import contextlib
import dataclasses
import datetime
import logging
import math
import os
import socket
import threading
from collections.abc import Callable, Iterable
from types import TracebackType
from typing import Any, Literal
from urllib.parse import urlparse

import velmo_device_communication as vdc
from asyncua import Server, ua

from ..acquisition import Acquisition, Chunk, samples_per_second
from ..acquisition.summary import LoadSummary
from ..recording import Recorder
from ..recording.layout import InstrumentInfo, describe
from . import security, space

logger = logging.getLogger("velmo.serve")

DEFAULT_ENDPOINT = "opc.tcp://127.0.0.1:4840/velmo"
DEFAULT_UPDATE_INTERVAL = 0.1
# While an instrument is lost, how often the server tries to open it again.
REOPEN_INTERVAL = 1.0
# How long start() waits for the server's loop thread to listen, and stop() for it to end.
THREAD_TIMEOUT = 30.0
SERVER_NAME = "velmo OPC UA server"

STREAMING, STOPPED = "streaming", "stopped"
MEASURED = ("Load", *space.DOUBLES, "SampleCount")

Reopen = Callable[[contextlib.ExitStack], Acquisition]


@dataclasses.dataclass
class ServedInstrument:
    """One instrument to serve: its acquisition (started and closed by the caller), what it
    said about itself before streaming, and optionally how to open it again after it was lost.

    ``reopen(stack)`` opens the instrument again and returns its started acquisition,
    entering whatever must be closed afterwards (the device, the acquisition) into ``stack``.
    """

    acquisition: Acquisition
    info: InstrumentInfo
    reopen: Reopen | None = None


def instrument(device: vdc.VelmoDevice, *, channel: int = 0, **acquisition_options: Any) -> ServedInstrument:
    """A ``ServedInstrument`` of ``device``, described while it still answers commands; its
    acquisition is not started yet (start it with ``with served.acquisition:``)."""
    info = describe(device, channel)
    return ServedInstrument(Acquisition(device, channel=channel, **acquisition_options), info)


def _record(path: str, acquisition: Acquisition) -> Recorder:
    """A Recorder writing the running acquisition through a tap of its own from now on."""
    recorder = Recorder(path, [acquisition])
    recorder.start()
    return recorder


class _Instrument:
    """One served instrument while the server runs."""

    def __init__(self, served: ServedInstrument, name: str) -> None:
        self.served = served
        self.name = name
        self.acquisition = served.acquisition
        self.reader: Any = None
        self.nodes: space.InstrumentNodes | None = None
        self.window = LoadSummary()
        self.last_values: dict[str, Any] = {}  # the measured values last published
        self.published: dict[str, Any] = {}  # the counters and the state last published
        self.state = STREAMING
        self.lost = False
        self.next_index = 0
        self.counted = {"Received": 0, "Dropped": 0, "Lost": 0}  # by acquisitions before the current one
        self.reopened = contextlib.ExitStack()
        self.recorder: Recorder | None = None

    def take(self, chunk: Chunk) -> None:
        self.window.add(chunk.loads)
        self.next_index = chunk.index + len(chunk)

    def counters(self) -> dict[str, int]:
        stats = self.acquisition.stats
        dropped = self.reader.stats.dropped if self.reader is not None else 0
        current = {"Received": stats.received, "Dropped": dropped, "Lost": stats.lost}
        return {name: self.counted[name] + value for name, value in current.items()}


async def _write(server: Server, node: Any, variant: ua.Variant, status: ua.StatusCode, at: datetime.datetime) -> None:
    """One variable's new value, stamped with the end of its interval; subscribers are notified."""
    await server.write_attribute_value(
        node.nodeid, ua.DataValue(variant, StatusCode=status, SourceTimestamp=at, ServerTimestamp=at)
    )


def _free_port(host: str) -> int:
    with socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET) as probe:
        probe.bind((host, 0))
        port: int = probe.getsockname()[1]
        return port


def _inside(folder: str, path: str) -> str | None:
    """``path`` (relative to ``folder``) as an absolute path, or None when it leads outside ``folder``."""
    root = os.path.realpath(folder)
    target = os.path.realpath(os.path.join(root, path))
    return target if os.path.commonpath([root, target]) == root and target != root else None


class OpcUaServer:
    """Serves instruments on OPC UA, under ``Objects/Velmo/<MODEL>_<SERIAL>``.

    ::

        async with OpcUaServer([served], endpoint="opc.tcp://127.0.0.1:4840/velmo"):
            await asyncio.Event().wait()

    or from plain code ``server.start()`` ... ``server.stop()``, which runs it on a loop
    thread of its own. Each instrument's values are updated every ``update_interval`` from
    the samples of that interval, stamped with its end; when an instrument is lost its
    measured values turn BadCommunicationError, and Good again once ``reopen`` brought it back.

    :param instruments: ``ServedInstrument`` objects, their acquisitions started by the caller
        before the server starts
    :param endpoint: ``opc.tcp://HOST:PORT/PATH``; port 0 takes a free port
    :param update_interval: Seconds between two updates
    :param certificate: The server's certificate (PEM or DER); with ``private_key`` it enables
        Basic256Sha256 Sign and SignAndEncrypt
    :param private_key: The certificate's private key (PEM)
    :param users: User names and their password hashes (see ``security.read_users``); only
        they can call methods
    :param allow_unencrypted: Offer the endpoint without security beside the secured ones; on
        by default on a loopback address or without a certificate
    :param record_dir: The folder recordings started through the methods are written in
    :raises ValueError: For no instruments, or a bad endpoint or interval
    :raises RuntimeError: When the server starts, if an acquisition has not been started
    """

    def __init__(
        self,
        instruments: Iterable[ServedInstrument],
        *,
        endpoint: str = DEFAULT_ENDPOINT,
        update_interval: float = DEFAULT_UPDATE_INTERVAL,
        certificate: str | os.PathLike[str] | None = None,
        private_key: str | os.PathLike[str] | None = None,
        users: dict[str, security.PasswordHash] | None = None,
        allow_unencrypted: bool | None = None,
        record_dir: str | os.PathLike[str] = ".",
    ) -> None:
        served = list(instruments)
        if not served:
            raise ValueError("OpcUaServer needs at least one instrument")
        if not update_interval > 0:
            raise ValueError(f"update_interval must be a positive number of seconds, not {update_interval!r}")
        if (certificate is None) != (private_key is None):
            raise ValueError("give the certificate and its private key together")
        parsed = urlparse(endpoint)
        if parsed.scheme != "opc.tcp" or not parsed.hostname:
            raise ValueError(f"the endpoint is opc.tcp://HOST:PORT/PATH, not {endpoint!r}")
        host = parsed.hostname
        port = parsed.port if parsed.port is not None else 4840
        if port == 0:
            port = _free_port(host)
        netloc = f"[{host}]" if ":" in host else host
        self.endpoint = f"opc.tcp://{netloc}:{port}{parsed.path}"
        self.host = host
        self.update_interval = update_interval
        self.namespace_uri = space.NAMESPACE_URI
        self._certificate = certificate
        self._private_key = private_key
        self._users = users or {}
        self._allow_unencrypted = certificate is None or security.is_loopback(host) or bool(allow_unencrypted)
        self._record_dir = os.fspath(record_dir)
        names: list[str] = []
        for item in served:
            name, suffix = item.info.name, 2
            while name in names:
                name, suffix = f"{item.info.name}_{suffix}", suffix + 1
            names.append(name)
        self._instruments = [_Instrument(item, name) for item, name in zip(served, names)]
        self._server: Server | None = None
        self._namespace_index = 0
        self._tasks: list[asyncio.Task[None]] = []
        self._thread: threading.Thread | None = None
        self._loop: asyncio.AbstractEventLoop | None = None
        self._stop_event: asyncio.Event | None = None

    @property
    def names(self) -> list[str]:
        """The browse names of the instruments' objects, in order."""
        return [instrument.name for instrument in self._instruments]

    # -- asyncio -----------------------------------------------------------

    async def __aenter__(self) -> OpcUaServer:
        for instrument in self._instruments:
            if instrument.acquisition.rate is None:
                raise RuntimeError(f"Start the acquisition of {instrument.name} before serving it")
        server = Server(user_manager=security.Users(self._users))
        await server.init()
        await server.set_application_uri(security.APPLICATION_URI)
        server.set_server_name(SERVER_NAME)
        server.set_endpoint(self.endpoint)
        policies = []
        if self._allow_unencrypted:
            policies.append(ua.SecurityPolicyType.NoSecurity)
        if self._certificate is not None and self._private_key is not None:
            await server.load_certificate(os.fspath(self._certificate))
            await server.load_private_key(os.fspath(self._private_key))
            policies += [
                ua.SecurityPolicyType.Basic256Sha256_Sign,
                ua.SecurityPolicyType.Basic256Sha256_SignAndEncrypt,
            ]
        server.set_security_policy(policies, permission_ruleset=security.Permissions())
        server.set_identity_tokens([ua.AnonymousIdentityToken, ua.UserNameIdentityToken])
        await server.register_namespace(space.NAMESPACE_URI)
        self._namespace_index = index = await server.get_namespace_index(space.NAMESPACE_URI)
        instrument_type = await space.define_type(server, index)
        folder = await server.nodes.objects.add_folder(index, space.FOLDER_NAME)
        for instrument in self._instruments:
            assert instrument.acquisition.rate is not None
            rate = samples_per_second(instrument.acquisition.rate)
            instrument.nodes = await space.add_instrument(
                folder,
                instrument_type,
                index,
                instrument.name,
                instrument.served.info,
                rate,
                self._method(instrument, self._start_recording),
                self._method(instrument, self._stop_recording),
            )
        self._server = server
        for instrument in self._instruments:
            await self._publish_waiting(instrument)
        await server.start()
        self._tasks = [asyncio.create_task(self._pump(instrument)) for instrument in self._instruments]
        self._tasks.append(asyncio.create_task(self._update()))
        logger.info("Serving %d instrument(s) on %s", len(self._instruments), self.endpoint)
        return self

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        for task in self._tasks:
            task.cancel()
        await asyncio.gather(*self._tasks, return_exceptions=True)
        self._tasks = []
        for instrument in self._instruments:
            await self._end_recording(instrument)
            self._close_reader(instrument)
            await asyncio.to_thread(instrument.reopened.close)
        if self._server is not None:
            await self._server.stop()
            self._server = None

    # -- plain code: the server on a loop thread of its own ------------------

    def start(self) -> None:
        """Start serving on a thread of its own; returns once the server listens.

        :raises RuntimeError: If it runs already
        """
        if self._thread is not None:
            raise RuntimeError("The server runs already")
        started: concurrent.futures.Future[None] = concurrent.futures.Future()
        self._thread = threading.Thread(target=self._run_thread, args=(started,), name="velmo-opcua", daemon=True)
        self._thread.start()
        try:
            started.result(THREAD_TIMEOUT)
        except BaseException:
            self._thread.join(THREAD_TIMEOUT)
            self._thread = None
            raise

    def stop(self) -> None:
        """Stop serving and wait for the loop thread to end. Safe to repeat."""
        thread, loop, event = self._thread, self._loop, self._stop_event
        if thread is None:
            return
        if loop is not None and event is not None:
            with contextlib.suppress(RuntimeError):  # the loop ended already
                loop.call_soon_threadsafe(event.set)
        thread.join(THREAD_TIMEOUT)
        if thread.is_alive():
            logger.warning("The OPC UA server's thread did not stop in time")
        self._thread = None

    def __enter__(self) -> OpcUaServer:
        self.start()
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> Literal[False]:
        self.stop()
        return False

    def _run_thread(self, started: concurrent.futures.Future[None]) -> None:
        async def serve() -> None:
            self._loop = asyncio.get_running_loop()
            self._stop_event = asyncio.Event()
            try:
                async with self:
                    started.set_result(None)
                    await self._stop_event.wait()
            except BaseException as error:
                if not started.done():
                    started.set_exception(error)
                else:
                    logger.error("The OPC UA server stopped: %s", error)

        asyncio.run(serve())

    # -- the instruments' readers ------------------------------------------------

    async def _pump(self, instrument: _Instrument) -> None:
        """Reads the instrument's samples into its window; after a loss opens it again."""
        while True:
            instrument.reader = instrument.acquisition.tap(name=f"OPC UA {instrument.name}")
            try:
                async for chunk in instrument.reader.chunks():
                    instrument.take(chunk)
                instrument.state = STOPPED
                return
            except Exception as error:
                reason = " ".join(str(error).split()) or type(error).__name__
                logger.warning("%s lost: %s", instrument.name, reason)
                instrument.lost = True
                instrument.state = f"lost: {reason}"
            if instrument.served.reopen is None:
                return
            await self._reopen(instrument)

    async def _reopen(self, instrument: _Instrument) -> None:
        reopen = instrument.served.reopen
        assert reopen is not None
        while True:
            await asyncio.sleep(REOPEN_INTERVAL)
            stack = contextlib.ExitStack()
            try:
                acquisition = await asyncio.to_thread(reopen, stack)
            except Exception as error:
                await asyncio.to_thread(stack.close)
                logger.debug("%s not back yet: %s", instrument.name, error)
                continue
            break
        await self._end_recording(instrument)
        for name, value in instrument.counters().items():
            instrument.counted[name] = value
        self._close_reader(instrument)
        lost_acquisition = instrument.acquisition
        with contextlib.suppress(Exception):  # its port is gone: nothing to switch off
            await asyncio.to_thread(lost_acquisition.close)
        await asyncio.to_thread(instrument.reopened.close)
        instrument.reopened = stack
        instrument.acquisition = acquisition
        instrument.window = LoadSummary()
        instrument.lost = False
        instrument.state = STREAMING
        logger.warning("%s is back", instrument.name)

    @staticmethod
    def _close_reader(instrument: _Instrument) -> None:
        if instrument.reader is not None and instrument.reader is not instrument.acquisition:
            instrument.reader.close()
        instrument.reader = None

    # -- updates -------------------------------------------------------------------

    async def _update(self) -> None:
        """Publishes every instrument's window at the end of each interval, on a fixed schedule."""
        loop = asyncio.get_running_loop()
        next_tick = loop.time() + self.update_interval
        while True:
            await asyncio.sleep(max(0.0, next_tick - loop.time()))
            next_tick += self.update_interval
            if next_tick < loop.time():  # fell behind: skip the missed ticks rather than bunch them
                next_tick = loop.time() + self.update_interval
            end = datetime.datetime.now(datetime.timezone.utc)
            for instrument in self._instruments:
                await self._publish(instrument, end)

    async def _publish_waiting(self, instrument: _Instrument) -> None:
        """Before the first samples: the loads wait for their initial data, the rest is current."""
        server, nodes = self._server, instrument.nodes
        assert server is not None and nodes is not None
        now = datetime.datetime.now(datetime.timezone.utc)
        waiting = ua.StatusCode(ua.StatusCodes.BadWaitingForInitialData)
        for name in ("Load", *space.DOUBLES):
            await _write(server, nodes.variables[name], ua.Variant(math.nan, ua.VariantType.Double), waiting, now)
        await self._publish(instrument, now)

    async def _publish(self, instrument: _Instrument, end: datetime.datetime) -> None:
        server, nodes = self._server, instrument.nodes
        assert server is not None and nodes is not None
        window, instrument.window = instrument.window, LoadSummary()
        values: dict[str, ua.Variant] = {}
        if window.n:
            values["Load"] = ua.Variant(window.last, ua.VariantType.Double)
            values["LoadMin"] = ua.Variant(window.low, ua.VariantType.Double)
            values["LoadMax"] = ua.Variant(window.high, ua.VariantType.Double)
            values["LoadMean"] = ua.Variant(window.mean, ua.VariantType.Double)
        values["SampleCount"] = ua.Variant(window.n, ua.VariantType.UInt32)
        instrument.last_values.update(values)
        status = ua.StatusCode(ua.StatusCodes.BadCommunicationError if instrument.lost else ua.StatusCodes.Good)
        if instrument.lost:  # every measured value Bad, the last one kept for its type
            values = {name: instrument.last_values[name] for name in MEASURED if name in instrument.last_values}
        for name, variant in values.items():
            await _write(server, nodes.variables[name], variant, status, end)
        # Counters and the state are written when they change: most of them seldom do.
        good = ua.StatusCode(ua.StatusCodes.Good)
        current: dict[str, Any] = {**instrument.counters(), "State": instrument.state}
        for name, value in current.items():
            if instrument.published.get(name) == value:
                continue
            instrument.published[name] = value
            variant_type = ua.VariantType.String if name == "State" else ua.VariantType.UInt64
            await _write(server, nodes.variables[name], ua.Variant(value, variant_type), good, end)

    # -- methods -------------------------------------------------------------------

    @staticmethod
    def _method(instrument: _Instrument, function: Callable[..., Any]) -> Callable[..., Any]:
        async def call(parent: ua.NodeId, *arguments: ua.Variant) -> Any:
            try:
                return await function(instrument, *arguments)
            except Exception as error:  # a failed call answers Bad; the server goes on
                logger.warning("%s: a method call failed: %s", instrument.name, error)
                return ua.StatusCode(ua.StatusCodes.BadInternalError)

        return call

    async def _start_recording(self, instrument: _Instrument, *arguments: ua.Variant) -> Any:
        if len(arguments) != 1 or not isinstance(arguments[0].Value, str) or not arguments[0].Value:
            return ua.StatusCode(ua.StatusCodes.BadInvalidArgument)
        path = _inside(self._record_dir, arguments[0].Value)
        if path is None:
            logger.warning(
                "%s: refused to record outside %s: %r", instrument.name, self._record_dir, arguments[0].Value
            )
            return ua.StatusCode(ua.StatusCodes.BadInvalidArgument)
        if instrument.recorder is not None or instrument.lost or instrument.reader is None:
            return ua.StatusCode(ua.StatusCodes.BadInvalidState)
        try:
            recorder = await asyncio.to_thread(_record, path, instrument.acquisition)
        except (OSError, ValueError) as error:
            logger.warning("%s: could not start recording into %s: %s", instrument.name, path, error)
            return ua.StatusCode(ua.StatusCodes.BadInvalidArgument)
        instrument.recorder = recorder
        logger.info("%s: recording into %s", instrument.name, path)
        return [ua.Variant(recorder.path, ua.VariantType.String)]

    async def _stop_recording(self, instrument: _Instrument, *arguments: ua.Variant) -> Any:
        if arguments:
            return ua.StatusCode(ua.StatusCodes.BadInvalidArgument)
        if instrument.recorder is None:
            return ua.StatusCode(ua.StatusCodes.BadInvalidState)
        written = await self._end_recording(instrument)
        return [ua.Variant(written, ua.VariantType.UInt64)]

    async def _end_recording(self, instrument: _Instrument) -> int:
        """Closes the instrument's recording, if any; the samples written."""
        recorder, instrument.recorder = instrument.recorder, None
        if recorder is None:
            return 0
        try:
            await asyncio.to_thread(recorder.close)
        except Exception as error:
            logger.error("%s: the recording into %s failed: %s", instrument.name, recorder.path, error)
        return sum(stats.written for stats in recorder.stats.values())

    # -- for tests and tools ---------------------------------------------------------

    @property
    def namespace_index(self) -> int:
        """The namespace's index on the running server."""
        return self._namespace_index

