"""What every ``velmo`` command shares: output, logging, errors, and finding its instrument."""

from __future__ import annotations

import contextlib
import logging
import sys
import traceback
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any, TypeVar

import click
import velmo_device_communication as vdc
from rich.console import Console

from .. import acquisition, discovery

MODULE_LOGGER = "velmo_device_communication"
PACKAGE_LOGGER = "velmo"
# Wide enough that no table of ours wraps when the output is a file or a pipe.
NON_TERMINAL_WIDTH = 200

# What to do next, by the kind of failure; the most specific class first.
NEXT_STEPS: tuple[tuple[type[BaseException], str], ...] = (
    (vdc.VelmoDeviceNotFoundError, "list the ports with 'velmo ports', or try 'velmo scan'"),
    (
        vdc.VelmoConnectionError,
        "check the port name ('velmo ports' lists them), your permission to use it "
        "(on Linux: the dialout group) and that no other program holds it",
    ),
    (vdc.VelmoTimeoutError, "the instrument stopped answering: check its cable and power, then retry"),
    (vdc.VelmoCommunicationError, "check the cable and that no other program uses the port, then retry"),
    (vdc.VelmoProtocolError, "answers arrive corrupted: check the cable and connectors, then retry"),
    (vdc.VelmoCalibrationError, "the instrument's calibration table is missing or invalid: recalibrate the profile"),
    (vdc.VelmoTEDSNotSupportedError, "TEDS needs an HDA640 Zeph Orvale (item number QKT08812)"),
    (vdc.VelmoTEDSNotConnectedError, "attach a TEDS sensor and switch AutoTEDS on"),
    (vdc.VelmoTEDSDataCorruptedError, "reseat the sensor's connector and retry"),
    (vdc.VelmoInvalidParameterError, "check the value against what this model accepts"),
    (OSError, "check the path and your permission to use it"),
    (ValueError, "check the value given"),
)


def console(*, stderr: bool = False) -> Console:
    """A console on the current stdout or stderr, plain and wide when it is not a terminal."""
    terminal = Console(stderr=stderr, highlight=False)
    if terminal.is_terminal:
        return terminal
    return Console(stderr=stderr, highlight=False, width=NON_TERMINAL_WIDTH, no_color=True)


def note(text: str) -> None:
    """A line for the user beside the results: on stderr, so pipes get only data."""
    click.echo(text, err=True)


@dataclass
class Settings:
    verbosity: int = 0  # 0: quiet, 1: -v, 2: --debug
    model: str | None = None  # --model: the only model whose rates are tried

    @property
    def debug(self) -> bool:
        return self.verbosity >= 2


class _LoggingState:
    """The handler and levels a command installed, undone when it ends."""

    def __init__(self) -> None:
        self.handler: logging.Handler | None = None
        self.saved_levels: dict[str, int] = {}

    def apply(self, verbosity: int) -> None:
        if not self.saved_levels:
            self.saved_levels = {name: logging.getLogger(name).level for name in (MODULE_LOGGER, PACKAGE_LOGGER)}
        if self.handler is None:
            self.handler = logging.StreamHandler(sys.stderr)
            self.handler.setFormatter(logging.Formatter("%(levelname)s %(name)s: %(message)s"))
            logging.getLogger().addHandler(self.handler)
        # Quiet by default: a scan's expected probe failures are logged as
        # errors by the module, and real failures reach the user as exceptions.
        module_level = {0: logging.CRITICAL + 1, 1: logging.INFO}.get(verbosity, logging.DEBUG)
        package_level = {0: logging.WARNING, 1: logging.INFO}.get(verbosity, logging.DEBUG)
        logging.getLogger(MODULE_LOGGER).setLevel(module_level)
        logging.getLogger(PACKAGE_LOGGER).setLevel(package_level)
        self.handler.setLevel(min(module_level, package_level))

    def restore(self) -> None:
        if self.handler is not None:
            logging.getLogger().removeHandler(self.handler)
            self.handler = None
        for name, level in self.saved_levels.items():
            logging.getLogger(name).setLevel(level)
        self.saved_levels = {}


def settings() -> Settings:
    return click.get_current_context().ensure_object(Settings)


def _raise_verbosity(ctx: click.Context, _param: click.Parameter, value: bool, level: int) -> None:
    if not value:
        return
    state = ctx.ensure_object(Settings)
    state.verbosity = max(state.verbosity, level)
    logging_state = ctx.find_root().meta.setdefault("velmo.logging", _LoggingState())
    logging_state.apply(state.verbosity)


F = TypeVar("F", bound=Callable[..., Any])


def _verbosity_flag(names: tuple[str, ...], level: int, text: str) -> Callable[[F], F]:
    return click.option(
        *names,
        is_flag=True,
        expose_value=False,
        is_eager=True,
        callback=lambda ctx, param, value: _raise_verbosity(ctx, param, value, level),
        help=text,
    )


def logging_options(function: F) -> F:
    """-v and --debug, accepted before or after the command's name."""
    function = _verbosity_flag(("--debug",), 2, "Show the module's DEBUG records and the traceback of an error.")(
        function
    )
    return _verbosity_flag(
        ("-v", "--verbose"), 1, "Show the INFO records of the module (ports opened, instruments found)."
    )(function)


def simulate_option(function: F) -> F:
    """--simulate [MODEL]: a simulated instrument in this process."""
    return click.option(
        "--simulate",
        "simulate",
        type=click.Choice(discovery.MODELS, case_sensitive=False),
        is_flag=False,
        flag_value="HDA640",
        default=None,
        metavar="[MODEL]",
        help="Start a simulated instrument of MODEL (default HDA640) in this process and use it.",
    )(function)


def port_options(function: F) -> F:
    """--port and --simulate: which instrument a command works with."""
    return click.option(
        "--port",
        "port",
        metavar="PATH",
        default=None,
        help="Open the instrument on this port without scanning (a device path, COMn, or a simulator's pty).",
    )(simulate_option(function))


def _remember_model(ctx: click.Context, _param: click.Parameter, value: str | None) -> None:
    ctx.ensure_object(Settings).model = value


def target_options(function: F) -> F:
    """--port, --simulate, and --model to try only the rates of one model."""
    function = click.option(
        "--model",
        type=click.Choice(discovery.MODELS, case_sensitive=False),
        default=None,
        expose_value=False,
        callback=_remember_model,
        help="The instrument's model, if known: only its baud rates are tried, which is quicker.",
    )(function)
    return port_options(function)


class VelmoGroup(click.Group):
    """Runs a command with quiet logging and turns its failures into one line."""

    def invoke(self, ctx: click.Context) -> Any:
        logging_state = ctx.meta.setdefault("velmo.logging", _LoggingState())
        if not logging_state.saved_levels:
            logging_state.apply(ctx.ensure_object(Settings).verbosity)
        try:
            return super().invoke(ctx)
        except (click.exceptions.ClickException, click.exceptions.Exit, click.exceptions.Abort):
            raise
        except KeyboardInterrupt:
            raise click.Abort() from None
        except Exception as error:
            debug = ctx.ensure_object(Settings).debug
            if debug:
                traceback.print_exc()
            raise click.ClickException(one_line(error, debug)) from error
        finally:
            logging_state.restore()


def one_line(error: BaseException, debug: bool = False) -> str:
    """The error's text on one line, with what to do next."""
    text = " ".join(str(error).split()) or type(error).__name__
    for kind, step in NEXT_STEPS:
        if isinstance(error, kind):
            return f"{text} ({step})"
    if debug:
        return f"{type(error).__name__}: {text}"
    return f"{type(error).__name__}: {text} (rerun with --debug for the traceback)"


# -- finding the instrument a command works with ----------------------------


@contextlib.contextmanager
def simulated_instrument(model: str, **options: Any) -> Iterator[Any]:
    """A simulator serving ``model`` in this process, listed among the ports."""
    from ..simulator import SimulatedInstrument

    with SimulatedInstrument(model.upper(), **options) as simulator, simulator.visible_to_discovery():
        note(f"Simulated {simulator.instrument.model} on {simulator.port}")
        yield simulator


def scan_ports(ports: list[str] | None, models: list[str] | None = None) -> list[vdc.VelmoDevice]:
    """Parallel scan with a progress line on stderr; returns the devices found."""
    names = discovery.enumerated_ports() if ports is None else ports
    if not names:
        raise vdc.VelmoDeviceNotFoundError(
            "No serial ports found; plug the instrument in, or try --simulate to use a simulated one"
        )
    progress = console(stderr=True)
    done: list[str] = []
    with progress.status(f"Probing {len(names)} port(s)...") as status:

        def on_port_done(port: str, _device: vdc.VelmoDevice | None) -> None:
            done.append(port)
            status.update(f"Probing {len(names)} port(s)... {len(done)} done")

        return discovery.scan(names, models=models, on_port_done=on_port_done)


@contextlib.contextmanager
def open_target(
    port: str | None, simulate: str | None, *, models: list[str] | None = None, **simulator_options: Any
) -> Iterator[vdc.VelmoDevice]:
    """The instrument of --port or --simulate, or else the first one a scan finds; closed afterwards.

    ``models`` restricts the rates tried, as --model does.
    """
    chosen = settings().model
    if models is None and chosen is not None:
        models = [chosen]
    with contextlib.ExitStack() as stack:
        if simulate is not None:
            simulator = stack.enter_context(simulated_instrument(simulate, **simulator_options))
            if port is None:
                port = simulator.port
                models = [simulate]  # a simulator answers at its model's rates only: try no others
        if port is not None:
            device = discovery.open_device(port, models=models)
        else:
            devices = scan_ports(None, models)
            if not devices:
                tried = ", ".join(discovery.enumerated_ports()) or "none"
                raise vdc.VelmoDeviceNotFoundError(
                    f"No VELMO instrument found on the ports {tried}; {discovery.USUAL_CAUSES}"
                )
            device, others = devices[0], devices[1:]
            for other in others:
                other.disconnect()
            if others:
                note(f"{len(devices)} instruments found; using the one on {device.communication_interface.comport}")
        stack.enter_context(device)
        yield device


def rate_label(model: str, code: int) -> str:
    """'100 SPS' for a rate code of ``model``; the bare code when the model does not know it."""
    try:
        return f"{acquisition.samples_per_second(acquisition.rate_enumeration(model)(code)):g} SPS"
    except ValueError:
        return f"code {code}"


def unit_label(device: vdc.VelmoDevice, channel: int = 0) -> str:
    try:
        return str(device.get_unit_of_measure(channel).name)
    except ValueError:  # a unit code the module's enumeration lacks
        return "(unknown unit)"
