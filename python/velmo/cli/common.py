"""What every ``velmo`` command shares: output, logging, errors and exit statuses, and
choosing the instruments it works with."""

from __future__ import annotations

import contextlib
import functools
import logging
import os
import sys
import traceback
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any, TypeVar

import click
import velmo_device_communication as vdc
from rich.console import Console

from .. import acquisition, discovery, interrupts, port
from ..simulator.command import DEFAULT_MODEL, read_signal, simulated
from ..simulator.instrument import DEFAULT_INSTRUMENT_SERIAL
from ..simulator.signals import Signal

MODULE_LOGGER = "velmo_device_communication"
PACKAGE_LOGGER = "velmo"
# Wide enough that no table of ours wraps when the output is a file or a pipe.
NON_TERMINAL_WIDTH = 200
# Exit statuses besides 0 (done) and 1 (error): interrupted (Ctrl-C), and the
# reader of our output went away (128 + SIGPIPE, as Unix tools end then).
EXIT_INTERRUPTED = 130
EXIT_BROKEN_PIPE = 141

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
        # Quiet by default: real failures reach the user as the command's error.
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


class VelmoGroup(click.Group):
    """Runs a command with quiet logging, turns its failures into one line and gives the exit status."""

    def main(self, *args: Any, **kwargs: Any) -> Any:
        # Once interrupted, a command winds down (streaming off, rates put back, files
        # closed) and exits 130: a second Ctrl-C must not cut that short, up to the exit.
        scope = interrupts.first_only()
        exiting = False
        try:
            return super().main(*args, **kwargs)
        except SystemExit:
            exiting = True
            raise
        finally:
            if scope is not None:
                # A process on its way out ignores Ctrl-C from here: the interpreter's
                # shutdown would put back the system's default, which ends the process by
                # the signal instead of with 130.
                interrupts.end(scope, ignore_further=exiting and scope.interrupted)

    def invoke(self, ctx: click.Context) -> Any:
        logging_state = ctx.meta.setdefault("velmo.logging", _LoggingState())
        if not logging_state.saved_levels:
            logging_state.apply(ctx.ensure_object(Settings).verbosity)
        try:
            return super().invoke(ctx)
        except (click.exceptions.ClickException, click.exceptions.Exit, click.exceptions.Abort):
            raise
        except KeyboardInterrupt:
            raise click.exceptions.Exit(EXIT_INTERRUPTED) from None
        except BrokenPipeError:
            _stdout_to_nowhere()
            raise click.exceptions.Exit(EXIT_BROKEN_PIPE) from None
        except Exception as error:
            debug = ctx.ensure_object(Settings).debug
            if debug:
                traceback.print_exc()
            raise click.ClickException(one_line(error, debug)) from error
        finally:
            logging_state.restore()


def _stdout_to_nowhere() -> None:
    """Whatever is left in stdout's buffer goes nowhere, so the exit does not fail on it again."""
    try:
        fd = sys.stdout.fileno()
    except (AttributeError, OSError, ValueError):  # not a real stream (a test runner's)
        return
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, fd)
    os.close(devnull)


def one_line(error: BaseException, debug: bool = False) -> str:
    """The error's text on one line, with what to do next."""
    text = discovery.error_text(error)
    for kind, step in NEXT_STEPS:
        if isinstance(error, kind):
            return f"{text} ({step})"
    if debug:
        return f"{type(error).__name__}: {text}"
    return f"{type(error).__name__}: {text} (rerun with --debug for the traceback)"


# -- choosing the instruments a command works with ---------------------------


@dataclass(frozen=True)
class Target:
    """The instruments a command was asked for, as its options say.

    ``ports`` and ``serials`` name instruments; ``every`` asks for all that a
    scan finds; with none of them a command takes the one instrument found.
    ``simulate`` starts simulated instruments of these models in this process,
    measuring ``signal``, and scans them instead of the system's ports.
    """

    ports: tuple[str, ...] = ()
    serials: tuple[int, ...] = ()
    every: bool = False
    models: tuple[str, ...] = ()
    simulate: tuple[str, ...] = ()
    signal: Signal | None = None
    thorough: bool = False

    @property
    def named(self) -> bool:
        """Whether the user named the instruments (by port or serial number), asked for all, or
        started several simulated ones."""
        return bool(self.ports or self.serials or self.every or len(self.simulate) > 1)


def instrument_options(*, several: bool = False) -> Callable[[F], F]:
    """--port, --serial, --model, --simulate, --simulate-model, --signal, --thorough, and with ``several`` --all.

    The command receives them as one ``target`` argument. A command that works
    with one instrument refuses several --port or --serial.
    """

    def decorate(function: F) -> F:
        @functools.wraps(function)
        def command(
            *args: Any,
            ports: tuple[str, ...],
            serials: tuple[int, ...],
            every: bool = False,
            models: tuple[str, ...],
            simulate: bool,
            simulate_models: tuple[str, ...],
            signal: Signal | None,
            thorough: bool,
            **kwargs: Any,
        ) -> Any:
            if not several and (len(ports) > 1 or len(serials) > 1):
                raise click.UsageError("this command works with one instrument: give one --port or one --serial")
            if every and serials:
                raise click.UsageError("--all takes every instrument found; leave out --serial, or --all")
            simulated_models = tuple(model.upper() for model in simulate_models)
            if simulate and not simulated_models:
                simulated_models = (DEFAULT_MODEL,)
            if signal is not None and not simulated_models:
                raise click.UsageError("--signal describes what a simulated instrument measures: give --simulate too")
            models = tuple(model.upper() for model in models)
            target = Target(ports, serials, every, models, simulated_models, signal, thorough)
            return function(*args, target=target, **kwargs)

        which = "the instruments" if several else "the instrument"
        options = [
            click.option(
                "--port",
                "ports",
                multiple=True,
                metavar="PATH",
                help=f"Use {which} on this port{' (repeatable)' if several else ''}: a device path, COMn, "
                "or a simulator's pty.",
            ),
            click.option(
                "--serial",
                "serials",
                multiple=True,
                type=click.IntRange(min=0),
                metavar="N",
                help=f"Use {which} with this serial number{' (repeatable)' if several else ''}, wherever it is "
                "plugged in; with --port, check that it is there.",
            ),
            click.option(
                "--model",
                "models",
                multiple=True,
                type=click.Choice(discovery.MODELS, case_sensitive=False),
                help="The instrument's model, if known: only its baud rates are tried, which is quicker (repeatable).",
            ),
            click.option(
                "--simulate",
                is_flag=True,
                help=f"Start a simulated {DEFAULT_MODEL} (serial number {DEFAULT_INSTRUMENT_SERIAL}) in this process "
                "and use it.",
            ),
            click.option(
                "--simulate-model",
                "simulate_models",
                multiple=True,
                type=click.Choice(discovery.MODELS, case_sensitive=False),
                metavar="MODEL",
                help="Simulate an instrument of MODEL instead, implies --simulate; repeat for several "
                f"(serial numbers {DEFAULT_INSTRUMENT_SERIAL}, {DEFAULT_INSTRUMENT_SERIAL + 1}...).",
            ),
            click.option(
                "--signal",
                callback=read_signal,
                metavar="SIGNAL",
                help="What the simulated instruments measure, in load units, such as cycle:peak=500,rise=1 or "
                "sine:amplitude=50,frequency=0.5+noise:sigma=0.5 (see 'velmo simulate --help'); "
                "default: a load cycle with a little noise.",
            ),
            click.option(
                "--thorough",
                is_flag=True,
                help="Probe ports with the module's time-outs and retries, for adapters that answer slowly.",
            ),
        ]
        if several:
            options.append(
                click.option("--all", "every", is_flag=True, help="Use every instrument found.")
            )
        for option in reversed(options):
            command = option(command)
        return command  # type: ignore[return-value]

    return decorate


def start_simulators(
    target: Target, stack: contextlib.ExitStack, options: Callable[[str], dict[str, Any]] | None = None
) -> list[str]:
    """Start the simulators of ``target`` on ``stack``, listed among the ports; their ports.

    The k-th simulator has serial number 20240001 + k. ``options(model)`` adds
    simulator options per model.
    """
    ports = []
    for index, model in enumerate(target.simulate):
        simulator = stack.enter_context(
            simulated(
                model,
                serial_number=DEFAULT_INSTRUMENT_SERIAL + index,
                signal=target.signal,
                **(options(model) if options else {}),
            )
        )
        stack.enter_context(simulator.visible_to_discovery())
        note(f"Simulated {model} on {simulator.port}")
        ports.append(simulator.port)
    return ports


def probe(target: Target, ports: Sequence[str], serials: Sequence[int] = ()) -> list[discovery.PortProbe]:
    """Probe ``ports`` in parallel with a progress line on stderr."""
    models = target.models or tuple(dict.fromkeys(target.simulate))
    settings = discovery.ProbeSettings(thorough=target.thorough)
    progress = console(stderr=True)
    done: list[str] = []
    with progress.status(f"Probing {len(ports)} port(s)...") as status:

        def on_port_done(port: str, _device: vdc.VelmoDevice | None) -> None:
            done.append(port)
            status.update(f"Probing {len(ports)} port(s)... {len(done)} done")

        return discovery.probe_ports(
            ports,
            discovery.baud_rates_for(models),
            settings,
            serial_numbers=frozenset(serials) if serials else None,
            on_port_done=on_port_done,
        )


class NothingFound(click.ClickException):
    """No instrument where the command looked: what was found instead, and why."""

    def __init__(self, looked_for: str, probes: Sequence[discovery.PortProbe]) -> None:
        causes = "; ".join(port_reason(probe) for probe in probes) or "the system lists no serial port"
        # Instruments that answered with other serial numbers (the causes name them) are
        # powered and reachable: the number asked for is the question.
        answered = any(probe.serial_number is not None for probe in probes)
        hint = "check the serial number asked for" if answered else discovery.USUAL_CAUSES
        super().__init__(f"{looked_for}: {causes} ({hint})")


def port_reason(probe: discovery.PortProbe) -> str:
    """'PORT: why nothing is kept there', naming the port once."""
    reason = probe.reason
    return reason if probe.port in reason else f"{probe.port}: {reason}"


def serial_text(device: vdc.VelmoDevice) -> str:
    """The instrument's serial number, or 'unknown' when it does not tell."""
    try:
        return str(device.get_instrument_serial_number())
    except vdc.VelmoDeviceError:
        return "unknown"


def describe(device: vdc.VelmoDevice) -> str:
    """'HDA640 20240001 on /dev/ttyUSB0'."""
    return f"{device.get_model_number()} {serial_text(device)} on {port.name(device)}"


def _by_serial_number(target: Target, probes: list[discovery.PortProbe]) -> list[vdc.VelmoDevice]:
    found = {probe.serial_number: probe.device for probe in probes if probe.device is not None}
    missing = [number for number in target.serials if number not in found]
    if missing:
        numbers = ", ".join(str(number) for number in missing)
        raise NothingFound(f"No instrument with serial number {numbers}", probes)
    return [found[number] for number in target.serials]


@contextlib.contextmanager
def instruments(
    target: Target, *, several: bool = False, simulator_options: Callable[[str], dict[str, Any]] | None = None
) -> Iterator[list[vdc.VelmoDevice]]:
    """The instruments ``target`` names, open, in order; closed afterwards.

    Named instruments (--port, --serial) must all be found; --all takes every
    one found. Otherwise the one instrument a scan finds is taken, and of
    several the first, saying so and how to choose: never silently.
    """
    with contextlib.ExitStack() as stack:
        simulated_ports = start_simulators(target, stack, simulator_options)
        candidates = list(target.ports) or simulated_ports or discovery.enumerated_ports()
        probes = probe(target, candidates, target.serials)
        for probe_result in probes:
            if probe_result.device is not None:
                stack.enter_context(probe_result.device)
        devices = [probe_result.device for probe_result in probes if probe_result.device is not None]
        if target.serials:
            devices = _by_serial_number(target, probes)
        elif target.ports:
            for probe_result in probes:
                if probe_result.device is None:
                    raise discovery.not_found_error(probe_result)
        elif not devices:
            raise NothingFound("No VELMO instrument found", probes)
        if len(devices) > 1 and not (several and target.named):
            choices = "--serial N or --port PATH" + (", or --all for every one" if several else "")
            found = ", ".join(describe(device) for device in devices)
            note(f"{len(devices)} instruments found: {found}; using the {describe(devices[0])} (choose with {choices})")
            for other in devices[1:]:
                other.disconnect()
            devices = devices[:1]
        yield devices


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


def check_channel(device: vdc.VelmoDevice, channel: int) -> None:
    """Refuse a channel the instrument does not have, before anything waits on it."""
    if not discovery.has_channel(device, channel):
        raise click.BadParameter(
            f"the {device.get_model_number()} on {port.name(device)} has no channel {channel} "
            "(it does not answer for it)",
            param_hint="--channel",
        )
