"""The server's address space: one object type for every VELMO instrument, and one object
per instrument served under ``Objects/Velmo``."""

from __future__ import annotations

import dataclasses
import logging
from typing import Any

from asyncua import Node, Server, ua
from asyncua.common.instantiate_util import instantiate

from ..recording.layout import TEDS_FIELDS, InstrumentInfo

NAMESPACE_URI = "urn:velmo:instruments"
TYPE_NAME = "VelmoInstrumentType"
FOLDER_NAME = "Velmo"
# EngineeringUnits are UNECE Recommendation 20 codes in the namespace OPC UA assigns them.
UNECE_NAMESPACE = "http://www.opcfoundation.org/UA/units/un/cefact"

# Updated every interval from that interval's samples; Received, Dropped and Lost count from the start.
DOUBLES = ("LoadMin", "LoadMax", "LoadMean")
COUNTERS = ("Received", "Dropped", "Lost")
PROPERTIES = ("Model", "ItemNumber", "SerialNumber", "Firmware", "SamplingRate", "Unit", "Port")
PROPERTY_DEFAULTS = {"SerialNumber": ua.Variant(0, ua.VariantType.UInt32), "SamplingRate": 0.0}  # else text

# The instrument's unit names (the module's UnitOfMeasureEnum) with their UNECE common code and symbol.
UNITS: dict[str, tuple[str, str]] = {
    "atm": ("ATM", "atm"),
    "bar": ("BAR", "bar"),
    "dyn": ("DU", "dyn"),
    "ft_H2O": ("K24", "ftH2O"),
    "ft_lb": ("85", "ft·lbf"),
    "gram": ("GRM", "g"),
    "inch_H2O": ("F78", "inH2O"),
    "kg": ("KGM", "kg"),
    "kg_cm_sq": ("E42", "kgf/cm²"),
    "k_N": ("B47", "kN"),
    "k_Pa": ("KPA", "kPa"),
    "lb": ("C78", "lbf"),
    "mm_Hg": ("HP", "mmHg"),
    "m_Nm": ("D83", "mN·m"),
    "M_Pa": ("MPA", "MPa"),
    "MT": ("TNE", "t"),
    "N": ("NEW", "N"),
    "Nm": ("NU", "N·m"),
    "psi": ("PS", "psi"),
    "Pa": ("PAL", "Pa"),
    "ST": ("STN", "ton (US)"),
    "uA": ("B84", "µA"),
    "mA": ("4K", "mA"),
}


def unece_unit_id(code: str) -> int:
    """The UnitId OPC UA derives from a common code: its characters as the bytes of an integer."""
    value = 0
    for character in code.upper():
        value = (value << 8) | ord(character)
    return value


def engineering_units(unit: str) -> ua.EUInformation:
    """The EUInformation of the instrument's unit; UnitId -1 for a unit without a UNECE code."""
    code, symbol = UNITS.get(unit, ("", unit))
    return ua.EUInformation(
        NamespaceUri=UNECE_NAMESPACE,
        UnitId=unece_unit_id(code) if code else -1,
        DisplayName=ua.LocalizedText(symbol),
        Description=ua.LocalizedText(unit),
    )


def eu_range(info: InstrumentInfo) -> ua.Range:
    """The span of the calibration's loading points."""
    loads = info.calibration.loads
    return ua.Range(Low=min(loads), High=max(loads)) if loads else ua.Range(Low=0.0, High=0.0)


def teds_properties(teds: Any) -> dict[str, Any]:
    """The TEDS record's fields as properties, TedsSerialNumber and so on."""
    if teds is None:
        return {}
    properties = {}
    for field in TEDS_FIELDS:
        value = getattr(teds, field)
        properties["Teds" + "".join(part.title() for part in field.split("_"))] = "" if value is None else value
    return properties


@dataclasses.dataclass
class InstrumentNodes:
    """The nodes of one instrument that the server writes."""

    node: Node
    variables: dict[str, Node]
    start_recording: Node
    stop_recording: Node


async def _mandatory(node: Node) -> Node:
    await node.set_modelling_rule(True)
    return node


async def define_type(server: Server, index: int) -> Node:
    """VelmoInstrumentType: the variables and properties every instrument has; methods are
    added per instrument, where their callbacks are bound."""
    instrument_type = await server.nodes.base_object_type.add_object_type(index, TYPE_NAME)
    load_type = server.get_node(ua.NodeId(ua.ObjectIds.AnalogItemType))
    # Copying a variable type's attributes logs a warning for each one only variables have.
    copying = logging.getLogger("asyncua.common.copy_node_util")
    level = copying.level
    copying.setLevel(logging.ERROR)
    try:
        load = (await instantiate(instrument_type, load_type, bname=ua.QualifiedName("Load", index), idx=index))[0]
    finally:
        copying.setLevel(level)
    await _mandatory(load)
    await load.write_value(ua.Variant(0.0, ua.VariantType.Double))
    for child in await load.get_children():
        if (await child.read_browse_name()).Name in ("EURange", "EngineeringUnits"):
            await _mandatory(child)
        else:  # AnalogItemType's other optional parts, which an instrument does not give
            await child.delete()
    for name in DOUBLES:
        await _mandatory(await instrument_type.add_variable(index, name, 0.0, ua.VariantType.Double))
    await _mandatory(await instrument_type.add_variable(index, "SampleCount", 0, ua.VariantType.UInt32))
    for name in COUNTERS:
        await _mandatory(await instrument_type.add_variable(index, name, 0, ua.VariantType.UInt64))
    await _mandatory(await instrument_type.add_variable(index, "State", "stopped", ua.VariantType.String))
    for name in PROPERTIES:
        await _mandatory(await instrument_type.add_property(index, name, PROPERTY_DEFAULTS.get(name, "")))
    return instrument_type


def _argument(name: str, data_type: int, description: str) -> ua.Argument:
    return ua.Argument(
        Name=name,
        DataType=ua.NodeId(data_type),
        ValueRank=-1,
        ArrayDimensions=[],
        Description=ua.LocalizedText(description),
    )


async def add_instrument(
    folder: Node,
    instrument_type: Node,
    index: int,
    name: str,
    info: InstrumentInfo,
    sampling_rate: float,
    start_recording: Any,
    stop_recording: Any,
) -> InstrumentNodes:
    """One instrument's object with its properties set and its two methods bound."""
    node = await folder.add_object(index, name, objecttype=instrument_type)
    variables = {}
    for child in await node.get_children():
        variables[(await child.read_browse_name()).Name] = child
    load = variables["Load"]
    await (await load.get_child("0:EngineeringUnits")).write_value(engineering_units(info.unit))
    await (await load.get_child("0:EURange")).write_value(eu_range(info))
    values = {
        "Model": info.model,
        "ItemNumber": info.item_number,
        "SerialNumber": ua.Variant(info.serial_number, ua.VariantType.UInt32),
        "Firmware": info.firmware,
        "SamplingRate": sampling_rate,
        "Unit": info.unit,
        "Port": info.port,
    }
    for property_name, value in values.items():
        await variables[property_name].write_value(value)
    for property_name, value in teds_properties(info.teds).items():
        await node.add_property(index, property_name, value)
    start = await node.add_method(
        index,
        "StartRecording",
        start_recording,
        [_argument("path", ua.ObjectIds.String, "The HDF5 file to write, inside the server's recording folder")],
        [_argument("file", ua.ObjectIds.String, "The file being written")],
    )
    stop = await node.add_method(
        index,
        "StopRecording",
        stop_recording,
        [],
        [_argument("written", ua.ObjectIds.UInt64, "Samples written to the file")],
    )
    return InstrumentNodes(node, variables, start, stop)
