"""TEDSData: fields, pickling, the bit helpers and parsing of the 512-byte image."""

import copy
import gc
import pickle
import struct
import weakref

import pytest
from hypothesis import given
from hypothesis import strategies as st

import velmo_device_communication as vdc
from velmo.simulator import TEDSSensor, build_teds_image

from support.fuzzing import fuzz_settings

TEDS = vdc.TEDSData
FIELDS = ("raw_data", "template", "serial_number", "engineering_unit", "min_capacity", "max_capacity",
          "min_electrical", "max_electrical", "reverse_scaling_enabled", "reverse_max_electrical")
DEFAULTS = dict(zip(FIELDS, (None, 0, "", 0, 0.0, 0.0, 0.0, 0.0, False, 0.0)))


def single(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def image_with(offset, value):
    image = bytearray(512)
    image[offset] = value
    return bytes(image)


def fields_of(record):
    return {name: getattr(record, name) for name in FIELDS}


@pytest.mark.parametrize(
    "field, value, stored",
    [("template", 3.9, 3), ("serial_number", None, None), ("max_capacity", 5, 5.0),
     ("reverse_scaling_enabled", [0], True), ("serial_number", 12345, TypeError("Expected str, got int")),
     ("template", 2**31, OverflowError()), ("min_electrical", "1.0", TypeError())],
)
def test_fields_convert_on_assignment(field, value, stored):
    record = TEDS()
    assert fields_of(record) == DEFAULTS
    if isinstance(stored, Exception):
        with pytest.raises(type(stored), match=str(stored) or None):
            setattr(record, field, value)
        assert fields_of(record) == DEFAULTS
    else:
        setattr(record, field, value)
        assert getattr(record, field) == stored and type(getattr(record, field)) is type(stored)


def test_deletion_and_construction():
    record = TEDS.parse_from_bytes(bytes(512), 33)
    del record.raw_data, record.serial_number
    assert (record.raw_data, record.serial_number) == (None, None)
    for field in FIELDS[1:]:
        if field != "serial_number":
            with pytest.raises(NotImplementedError, match="__del__"):
                delattr(record, field)
    with pytest.raises(TypeError):
        TEDS(template=1)


class TaggedRecord(TEDS):
    def __init__(self, tag):
        super().__init__()
        self.tag = tag


@pytest.mark.parametrize("clone", [lambda r: pickle.loads(pickle.dumps(r)), copy.deepcopy])
def test_records_and_subclasses_round_trip(clone):
    record = TEDS.parse_from_bytes(build_teds_image(7, 4, 0.0, 10.0, 0.0, 0.002, 0.001), 33)
    assert fields_of(clone(record)) == fields_of(record)
    tagged = TaggedRecord("left")
    tagged.max_capacity, tagged.serial_number = 250.0, None
    copied = clone(tagged)
    assert type(copied) is TaggedRecord and copied.tag == "left" and fields_of(copied) == fields_of(tagged)


def test_object_fields_take_part_in_garbage_collection():
    class Holder:
        pass

    holder, record = Holder(), TEDS()
    holder.record, record.raw_data = record, holder
    alive = weakref.ref(holder)
    del holder, record
    gc.collect()
    assert alive() is None


@pytest.mark.parametrize(
    "data, skip, head, size",
    [(b"\x01", False, [True] + [False] * 7, 8), (bytearray(b"\x80"), False, [False] * 7 + [True], 8),
     ([3, 255], False, [True, True] + [False] * 6 + [True] * 8, 16), ((1,) * 64, True, [True] + [False] * 7, 496),
     (bytes(64), 0, [False], 512)],
)
def test_bytes_to_bits(data, skip, head, size):
    bits = TEDS.bytes_to_bits(data, skip_checksums=skip)
    assert bits[:len(head)] == head and len(bits) == size and all(type(b) is bool for b in bits)


@pytest.mark.parametrize("element, message", [(256, "value too large to convert to unsigned char"),
                                              (-1, "can't convert negative value to unsigned char")])
def test_bytes_to_bits_refuses_non_bytes(element, message):
    with pytest.raises(OverflowError, match=message):
        TEDS.bytes_to_bits([0, element])


@pytest.mark.parametrize(
    "bits, start, length, value",
    [([True, False, True], 0, 3, 5), ([True], 0, 8, 1), ((True, True), 1, 2, 1),
     ([True] * 40, 0, 40, 254),  # bits 32..39 wrap onto 2**0..2**7
     ([False, True, True], -2, 2, 3), ([1, 0, "x", None], 0, 4, 5), ([True], 0, -3, 0),
     ([True], 0, 2.0, TypeError), ([True], -5, 1, IndexError), (5, 0, 1, TypeError)],
)
def test_bits_to_int(bits, start, length, value):
    if isinstance(value, type):
        with pytest.raises(value):
            TEDS.bits_to_int(bits, start, length)
    else:
        assert TEDS.bits_to_int(bits, start, length) == value


@pytest.mark.parametrize("value", [1.0, 0.1, float("inf")])
def test_bits_to_float_reads_single_precision(value):
    assert TEDS.bits_to_float(TEDS.bytes_to_bits(b"\xaa" + struct.pack("<f", value)), 8) == single(value)


@pytest.mark.parametrize(
    "image, field, value",
    [(bytes(512), "serial_number", "0"), (bytes([0] * 6 + [0x39, 0x30] + [0] * 504), "serial_number", "12345"),
     ([0xFF] + [0] * 5 + [0x39] + [0] * 505, "serial_number", "57"),  # the checksum byte is skipped
     (image_with(74, 0x55), "reverse_scaling_enabled", True), (image_with(74, 0x54), "reverse_scaling_enabled", False),
     (image_with(74, 0xD5), "reverse_scaling_enabled", False), (image_with(10, 0xFF), "engineering_unit", 63),
     (build_teds_image(1, 4, 0.0, 1.0, 0.0, 0.002), "max_electrical", single(0.002) * 1000.0)],
)
def test_parse_examples(image, field, value):
    record = TEDS.parse_from_bytes(image, 33)
    assert getattr(record, field) == value and record.raw_data is image and record.template == 33


@pytest.mark.parametrize("size", [511, 513])
def test_parse_refuses_a_wrong_length_without_a_cause(size):
    with pytest.raises(vdc.VelmoTEDSDataCorruptedError, match=f"^TEDS data must be 512 bytes, got {size}$") as info:
        TEDS.parse_from_bytes(bytes(size), 33)
    assert info.value.__cause__ is None


@pytest.mark.parametrize("image, template, cause", [(bytes(512), "33", TypeError), (bytes(512), 2**40, OverflowError),
                                                    ([0] * 100 + [300] + [0] * 411, 33, OverflowError)])
def test_parse_failures_are_chained(image, template, cause):
    with pytest.raises(vdc.VelmoTEDSDataCorruptedError) as info:
        TEDS.parse_from_bytes(image, template)
    assert type(info.value.__cause__) is cause
    assert str(info.value) == f"Failed to parse TEDS data: {info.value.__cause__}"


def test_parse_ignores_overrides_on_subclasses():
    class Doctored(TEDS):
        bits_to_int = staticmethod(lambda bit_array, start_index, length: 99)

    record = Doctored.parse_from_bytes(image_with(6, 5), 33)
    assert type(record) is TEDS and record.serial_number == "5"
    with pytest.raises(TypeError):
        TEDS.bits_to_int = Doctored.bits_to_int


singles = st.floats(width=32, allow_nan=False, allow_infinity=False)


@given(st.builds(TEDSSensor, serial_number=st.integers(0, 2**24 - 1), engineering_unit=st.integers(0, 63),
                 min_capacity=singles, max_capacity=singles, min_electrical=singles, max_electrical=singles,
                 reverse_max_electrical=st.none() | singles, template=st.integers(0, 255)))
def test_simulated_sensors_parse_back(sensor):
    record = TEDS.parse_from_bytes(sensor.image(), sensor.laser()[0])
    assert fields_of(record) == {
        "raw_data": sensor.image(), "template": sensor.template, "serial_number": str(sensor.serial_number),
        "engineering_unit": sensor.engineering_unit, "min_capacity": sensor.min_capacity,
        "max_capacity": sensor.max_capacity, "min_electrical": sensor.min_electrical * 1000.0,
        "max_electrical": sensor.max_electrical * 1000.0, "reverse_scaling_enabled": sensor.reverse_scaling_enabled,
        "reverse_max_electrical": (sensor.reverse_max_electrical or 0.0) * 1000.0,
    }


anything = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=8) | st.binary(max_size=40),
    lambda inner: st.lists(inner, max_size=40) | st.tuples(inner, inner), max_leaves=60)
HELPER_ERRORS = (TypeError, ValueError, OverflowError, IndexError)


@pytest.mark.fuzz
@fuzz_settings
@given(image=st.binary(min_size=512, max_size=512) | st.lists(st.integers(-5, 300), min_size=512, max_size=512),
       template=anything)
def test_any_512_byte_image_parses_or_is_refused(image, template):
    try:
        assert TEDS.parse_from_bytes(image, template).raw_data is image
    except vdc.VelmoTEDSDataCorruptedError as error:
        assert isinstance(error.__cause__, HELPER_ERRORS)


@pytest.mark.fuzz
@fuzz_settings
@given(data=anything, start=anything, length=anything, raw=anything)
def test_arbitrary_objects_to_the_helpers(data, start, length, raw):
    for call in (lambda: TEDS.bytes_to_bits(data, start), lambda: TEDS.bits_to_int(data, start, length),
                 lambda: TEDS.bits_to_float(data, start)):
        try:
            call()
        except HELPER_ERRORS:
            pass
    try:
        TEDS.parse_from_bytes(raw, length)
    except vdc.VelmoTEDSDataCorruptedError as error:
        assert str(error).startswith(("TEDS data must be 512 bytes, got ", "Failed to parse TEDS data: "))
    except TypeError:  # no length at all
        assert not hasattr(raw, "__len__")
