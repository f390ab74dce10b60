"""velmo._columns against the module's stream parsers."""

import array
import gc
import logging
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import velmo_device_communication as vdc
from bench.reference import high_rate_packet, standard_packet
from support.isolated import last_line
from velmo import _columns

PARSERS = {4: vdc.StreamDataConverter.convert_stream_data_to_reading,
           3: vdc.StreamDataConverter.convert_stream_data_to_reading_38_kHz}
COLUMNS = {4: _columns.parse_standard, 3: _columns.parse_high_rate}
PACKETS = {4: standard_packet, 3: high_rate_packet}
both = pytest.mark.parametrize("size", [4, 3], ids=["standard", "high_rate"])


class Subclass(vdc.ADCConverter):
    """Not the exact type: goes through the module's parser."""


class Halving:
    def convert_adc(self, adc):
        if adc % 3 == 0:
            raise ValueError("not this one")  # counted as invalid, skipped by one byte
        return adc / 2


calibrations = st.fixed_dictionaries({
    "number_of_directions": st.sampled_from([0, 1]),
    "direction_1_offset_value": st.floats(0, 2**32), "direction_1_fullscale_value": st.floats(0, 2**32),
    "direction_2_offset_value": st.floats(0, 2**32), "direction_2_fullscale_value": st.floats(0, 2**32),
    "direction_1_fullscale_load": st.floats(-1e4, 1e4), "direction_2_fullscale_load": st.floats(-1e4, 1e4),
    "scale_factor": st.floats(-10, 10), "offset": st.floats(-100, 100), "midpoint_offset": st.floats(-2**33, 2**33),
})


def converter_with(fields, cls=vdc.ADCConverter):
    converter = cls()
    for name, value in fields.items():
        setattr(converter, name, value)
    return converter


def streams(size):
    piece = st.one_of(st.integers(0, 2**32 - 1).map(PACKETS[size]), st.binary(min_size=1, max_size=5))
    return st.lists(piece, max_size=40).map(b"".join)


def parse_in_pieces(parse, data, bounds):
    """Feeds the remainder forward across the pieces; (loads, counts, remainder, invalid in all)."""
    loads, counts, remainder, invalid = array.array("d"), array.array("I"), bytearray(), 0
    for lo, hi in zip(bounds, bounds[1:]):
        piece_loads, piece_counts, remainder, piece_invalid = parse(remainder + data[lo:hi])
        loads += piece_loads
        counts += piece_counts
        invalid += piece_invalid
    return loads, counts, remainder, invalid


def module_in_pieces(size, data, bounds, converter, caplog):
    caplog.clear()
    loads, counts, remainder = [], [], bytearray()
    for lo, hi in zip(bounds, bounds[1:]):
        result = PARSERS[size](remainder + data[lo:hi], converter)
        loads += [r.calibrated_value for r in result.readings]
        counts += [r.adc_value for r in result.readings]
        remainder = result.remainder
    messages = [r.getMessage() for r in caplog.records]
    invalid = sum(int(n) for m in messages for n in re.findall(r"^Stream conversion: (\d+) invalid", m))
    return array.array("d", loads), array.array("I", counts), remainder, invalid


@both
@pytest.mark.parametrize("kind", ["exact", "subclass", "duck-typed"])
def test_columns_equal_the_module_parser_in_random_pieces(size, kind, caplog):
    caplog.set_level(logging.WARNING, logger="velmo_device_communication")

    @settings(max_examples=120, deadline=None)
    @given(data=streams(size), cuts=st.lists(st.integers(0, 200), max_size=8), fields=calibrations)
    def run(data, cuts, fields):
        converter = {"exact": lambda: converter_with(fields), "subclass": lambda: converter_with(fields, Subclass),
                     "duck-typed": Halving}[kind]()
        bounds = sorted({min(c, len(data)) for c in cuts} | {0, len(data)})
        expected = module_in_pieces(size, data, bounds, converter, caplog)
        loads, counts, remainder, invalid = parse_in_pieces(lambda d: COLUMNS[size](d, converter), data, bounds)
        # Bit for bit: NaN and -0.0 loads included.
        assert (loads.tobytes(), counts, remainder, invalid) == (expected[0].tobytes(), *expected[1:])

    run()


@both
@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview], ids=lambda t: t.__name__)
def test_any_buffer_in_new_columns_out(size, wrap):
    data = PACKETS[size](0x12345600) * 3 + b"\x01"
    source = wrap(data)
    loads, counts, remainder, invalid = COLUMNS[size](source, vdc.ADCConverter())
    assert (loads.typecode, counts.typecode, type(remainder), invalid) == ("d", "I", bytearray, 0)
    assert list(counts) == [0x12345600 & (0xFFFFFF00 if size == 4 else 0xFFFF0000)] * 3 and remainder == b"\x01"
    short = wrap(data[: size - 1])
    assert COLUMNS[size](short, Subclass())[2] is not short  # even the short-input remainder is a new object
    with pytest.raises(TypeError):
        COLUMNS[size](None, vdc.ADCConverter())



# --- hostile parsers and array types: an exception, never a crash (each in a fresh interpreter) ---

PATCHED_PARSER = """
import velmo_device_communication as vdc
from velmo import _columns

class Result:
    remainder = bytearray()

def parser(data, converter):
    return Result()

vdc.StreamDataConverter.convert_stream_data_to_reading = staticmethod(parser)

class Subclass(vdc.ADCConverter):
    pass
"""

HOSTILE_COLUMNS = {
    "parser returns readings as a tuple": (PATCHED_PARSER + """
Result.readings = (vdc.StreamReading(1.0, 2),)
try:
    _columns.parse_standard(bytes(8), Subclass())
except TypeError as error:
    print(error)
""", "readings must be a list, got tuple"),
    "a reading empties the list while it is read": (PATCHED_PARSER + """
class Emptying:
    adc_value = 7

    @property
    def calibrated_value(self):
        Result.readings.clear()
        return 1.0

Result.readings = [Emptying(), Emptying(), Emptying()]
loads, counts, remainder, invalid = _columns.parse_standard(bytes(8), Subclass())
print(list(loads), list(counts))
""", "[1.0] [7]"),
    "array type whose repetition gives 8 bytes": ("""
import array

class ShortArray:  # a sequence whose every repetition is 8 bytes long
    def __init__(self, *arguments):
        pass

    def __getitem__(self, index):
        return 0

    def __len__(self):
        return 1

    def __mul__(self, count):
        return bytearray(8)

array.array = ShortArray
import velmo_device_communication as vdc
from bench.reference import standard_packet
from velmo import _columns

try:
    _columns.parse_standard(standard_packet(0x100) * 100_000, vdc.ADCConverter())
except TypeError as error:
    print(type(error).__name__)
""", "TypeError"),
    "ADCConverter replaced before the import": ("""
import velmo_device_communication as vdc

class ADCConverter(vdc.ADCConverter):  # not the module's class: converts through Python
    def convert_adc(self, ndr_adc):
        return -1.0

vdc.ADCConverter = ADCConverter
from bench.reference import standard_packet
from velmo import _columns

print(list(_columns.parse_standard(standard_packet(0x100), ADCConverter())[0]))
""", "[-1.0]"),
}


@pytest.mark.parametrize("code, expected", HOSTILE_COLUMNS.values(), ids=HOSTILE_COLUMNS.keys())
def test_hostile_parsers_and_array_types_raise_instead_of_crashing(code, expected):
    assert last_line(code) == expected


def test_the_extension_state_is_visible_to_the_collector():
    referents = gc.get_referents(_columns)
    assert any(r is vdc.ADCConverter for r in referents) and any(r is vdc for r in referents)


@both
def test_arguments_by_position_or_keyword(size):
    data = PACKETS[size](0x12345600)
    converter = vdc.ADCConverter()
    assert list(COLUMNS[size](data=data, converter=converter)[1]) == list(COLUMNS[size](data, converter)[1])
    for arguments, keywords, message in [((data,), {}, "missing required argument 'converter'"),
                                         ((data, converter, 1), {}, "takes 2 positional arguments"),
                                         ((data,), {"adc_converter": converter}, "unexpected keyword"),
                                         ((data, converter), {"data": data}, "multiple values")]:
        with pytest.raises(TypeError, match=message):
            COLUMNS[size](*arguments, **keywords)
