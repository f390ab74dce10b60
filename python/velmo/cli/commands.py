"""The ``velmo`` command: ports, scan, info, read, teds and simulate.

The live commands (monitor, stream) are in ``capture``.
"""

from __future__ import annotations

import contextlib
import platform
import time
from typing import Any

import click
import serial
import velmo_device_communication as vdc
from rich.table import Table
from rich.text import Text

from .. import __version__, discovery, port
from ..simulator import command as simulator
from . import capture, publishing, recording, serve, watch
from .common import (
    NothingFound,
    Target,
    VelmoGroup,
    check_channel,
    console,
    instrument_options,
    instruments,
    logging_options,
    note,
    port_reason,
    probe,
    rate_label,
    start_simulators,
    unit_label,
)

TEDS_PAGE_SIZE = 32


def _cells(*values: object) -> list[Text]:
    """Table cells as plain text: port names and instrument texts are not markup."""
    return [Text(str(value)) for value in values]


def _table(title: str | None, *columns: str) -> Table:
    table = Table(title=title, title_justify="left")
    for column in columns:
        table.add_column(column, no_wrap=True)
    return table


@click.group(cls=VelmoGroup, context_settings={"help_option_names": ["-h", "--help"]})
@click.version_option(__version__, prog_name="velmo")
@logging_options
def main() -> None:
    """Find, read and stream VELMO measuring instruments (HDA640, RPX310, TMV520, GLS870).

    Every command but 'simulate' takes --port PATH or --serial N to choose the
    instrument, or --simulate (or --simulate-model MODEL) to try it against a
    simulated instrument.
    Exit status: 0 done, 1 error, 2 usage error, 130 interrupted (Ctrl-C),
    141 the reader of the output went away.
    """


main.add_command(capture.monitor)
main.add_command(capture.stream)
main.add_command(recording.record)
main.add_command(recording.show)
main.add_command(recording.export)
main.add_command(simulator.serve, name="simulate")
main.add_command(publishing.publish)
main.add_command(serve.serve)
main.add_command(watch.watch)


# -- ports -------------------------------------------------------------------


def _ports_table(only: list[str] | None = None) -> Table:
    table = _table(None, "Port", "Description", "Hardware ID")
    records = {record.device: record for record in discovery.port_records()}
    for name in only or records:
        record = records.get(name)
        if record is None:
            table.add_row(*_cells(name, "(not listed by the system)", "-"))
        else:
            table.add_row(*_cells(record.device, record.description, record.hwid))
    return table


@main.command()
@instrument_options()
@logging_options
def ports(target: Target) -> None:
    """List the serial ports the system enumerates, and those of 'velmo simulate' processes, with
    description and hardware id.

    With --serial, only the port of the instrument with that serial number.
    """
    with contextlib.ExitStack() as stack:
        if target.serials:
            devices = stack.enter_context(instruments(target))
            console().print(_ports_table([port.name(device) for device in devices]))
            return
        start_simulators(target, stack)
        console().print(_ports_table(list(target.ports) or None))


# -- scan --------------------------------------------------------------------


def _optional(read: Any) -> str:
    """A value the instrument may not know how to give: '-' when it cannot."""
    try:
        return str(read())
    except vdc.VelmoDeviceError:
        return "-"


def _identity_row(device: vdc.VelmoDevice) -> list[str]:
    model = device.get_model_number()
    return [
        port.name(device),
        str(port.baud_rate(device)),
        model,
        _optional(lambda: port.item_number(device)),
        _optional(device.get_instrument_serial_number),
        _optional(lambda: port.firmware_version(device)),
        unit_label(device),
        rate_label(model, device.get_sampling_rate()),
    ]


SCAN_COLUMNS = ("Port", "Baud", "Model", "Item number", "Serial", "Firmware", "Unit", "Sampling rate")


@main.command()
@instrument_options(several=True)
@logging_options
def scan(target: Target) -> None:
    """Find instruments, probing all ports in parallel, and list them.

    Each rate is tried once with a short time-out, so a port where nothing
    answers costs about a third of a second (--thorough: about 10 s); ports
    are probed at the same time, so the scan takes as long as the slowest port.
    """
    out = console()
    with contextlib.ExitStack() as stack:
        simulated_ports = start_simulators(target, stack)
        candidates = list(target.ports) or simulated_ports or discovery.enumerated_ports()
        probes = probe(target, candidates, target.serials)
        devices = [stack.enter_context(result.device) for result in probes if result.device is not None]
        if not devices:
            looked_for = "No VELMO instrument" if not target.serials else "No instrument with serial number " + ", ".join(
                str(number) for number in target.serials
            )
            raise NothingFound(f"{looked_for} found", probes)
        for result in probes:
            if result.error is not None:
                note(port_reason(result))
        table = _table(f"{len(devices)} instrument(s)", *SCAN_COLUMNS)
        for device in devices:
            table.add_row(*_cells(*_identity_row(device)))
        out.print(table)


# -- info --------------------------------------------------------------------


def _versions_table() -> Table:
    table = _table("Versions", "Component", "Version")
    table.add_row(*_cells("velmo / velmo_device_communication", __version__))
    table.add_row(*_cells("pyserial", serial.__version__))
    table.add_row(*_cells("Python", f"{platform.python_version()} ({platform.python_implementation()})"))
    table.add_row(*_cells("Platform", platform.platform()))
    return table


def _calibration_table(device: vdc.VelmoDevice) -> Table:
    points = port.loading_points(device)
    table = _table(f"Calibration of profile {points.profile} (channel 0)", "Point", "Direction", "Load", "Count")
    for index, (load, count) in enumerate(zip(points.loads, points.counts)):
        table.add_row(*_cells(index, 1 + index // points.per_direction, f"{load:g}", count))
    return table


def _teds_state(device: vdc.VelmoDevice) -> str:
    if not device.supports_teds():
        return "not supported by this instrument"
    connected = "sensor attached" if device.teds_is_connected() else "no sensor"
    auto = "on" if device.get_auto_teds() else "off"
    return f"{connected}, AutoTEDS {auto}"


@main.command()
@instrument_options()
@logging_options
def info(target: Target) -> None:
    """Versions, serial ports, and one instrument's identity, calibration and TEDS state."""
    out = console()
    with contextlib.ExitStack() as stack:
        out.print(_versions_table())
        [device] = stack.enter_context(instruments(target))
        out.print(_ports_table())
        row = _identity_row(device)
        identity = _table("Instrument", "Property", "Value")
        for name, value in zip(SCAN_COLUMNS, row):
            identity.add_row(*_cells(name, value))
        identity.add_row(*_cells("Sensor serial", _optional(device.get_sensor_serial_number)))
        identity.add_row(*_cells("Board temperature", f"{device.get_board_temperature():.1f} °C"))
        identity.add_row(*_cells("TEDS", _teds_state(device)))
        out.print(identity)
        out.print(_calibration_table(device))


# -- read --------------------------------------------------------------------


@main.command()
@instrument_options()
@click.option("--channel", type=click.IntRange(0, 255), default=0, show_default=True, help="Channel to read.")
@click.option("--count", type=click.IntRange(min=1), default=5, show_default=True, help="Number of readings.")
@click.option(
    "--interval", type=click.FloatRange(min=0), default=0.2, show_default=True, help="Seconds between readings."
)
@logging_options
def read(target: Target, channel: int, count: int, interval: float) -> None:
    """Print calibrated loads with their unit, one reading per line."""
    with instruments(target) as [device]:
        check_channel(device, channel)
        unit = unit_label(device, channel)
        note(f"{device.get_model_number()} on {port.name(device)}, channel {channel}")
        start = time.monotonic()
        for index in range(count):
            if index:
                time.sleep(interval)
            load = device.get_reading(channel)
            click.echo(f"{time.monotonic() - start:8.3f} s {load:14.4f} {unit}")


# -- teds --------------------------------------------------------------------

TEDS_FIELDS = (
    ("Template", "template"),
    ("Serial number", "serial_number"),
    ("Engineering unit", "engineering_unit"),
    ("Minimum capacity", "min_capacity"),
    ("Maximum capacity", "max_capacity"),
    ("Minimum electrical output (mV/V)", "min_electrical"),
    ("Maximum electrical output (mV/V)", "max_electrical"),
    ("Reverse scaling", "reverse_scaling_enabled"),
    ("Reverse maximum electrical output (mV/V)", "reverse_max_electrical"),
)


def page_checksums_hold(image: bytes) -> list[bool]:
    """Per 32-byte page: do its bytes, checksum byte included, sum to 0 modulo 256?"""
    return [sum(image[start : start + TEDS_PAGE_SIZE]) % 256 == 0 for start in range(0, len(image), TEDS_PAGE_SIZE)]


def _with_sensor(model: str) -> dict[str, Any]:
    """A simulated HDA640 is the TEDS-capable variant, with a sensor attached and AutoTEDS on."""
    return {"sensor": True, "auto_teds": True} if model == "HDA640" else {}


@main.command()
@instrument_options()
@logging_options
def teds(target: Target) -> None:
    """Show the attached sensor's TEDS record, AutoTEDS state and page checksums.

    With --simulate, a simulated HDA640 is the TEDS-capable variant with a sensor.
    """
    with instruments(target, simulator_options=_with_sensor) as [device]:
        if not device.supports_teds():
            raise vdc.VelmoTEDSNotSupportedError(f"TEDS is not supported on {device.get_model_number()}")
        auto = device.get_auto_teds()
        if not device.teds_is_connected():
            raise vdc.VelmoTEDSNotConnectedError("No TEDS sensor connected to device")
        record = port.read_teds_record(device)
        out = console()
        table = _table("TEDS record", "Field", "Value")
        for label, field in TEDS_FIELDS:
            value = getattr(record, field)
            if field == "engineering_unit":
                value = f"{value} ({vdc._TEDS_UNIT_MAPPING.get(value, 'unknown')})"
            elif isinstance(value, float):
                value = f"{value:.7g}"  # the memory holds single-precision numbers
            table.add_row(*_cells(label, value))
        table.add_row(*_cells("AutoTEDS", "on" if auto else "off"))
        out.print(table)
        holds = page_checksums_hold(record.raw_data)
        pages = _table("Page checksums (the 32 bytes of a page sum to 0 modulo 256)", *map(str, range(len(holds))))
        pages.add_row(*_cells(*("ok" if good else "BAD" for good in holds)))
        out.print(pages)
        if not all(holds):
            raise vdc.VelmoTEDSDataCorruptedError(
                f"{holds.count(False)} of {len(holds)} TEDS pages fail their checksum"
            )
