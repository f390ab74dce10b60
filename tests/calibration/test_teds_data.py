"""TEDSData: fields, pickling, the bit helpers and parsing of the 512-byte image."""

import copy
import gc
import os
import pickle
import struct
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import velmo_device_communication as vdc
from velmo.simulator import TEDSSensor, build_teds_image

TEDS = vdc.TEDSData
FUZZ_EXAMPLES = int(os.environ.get("VELMO_FUZZ_EXAMPLES", "50"))
FIELDS = (
    "raw_data", "template", "serial_number", "engineering_unit", "min_capacity", "max_capacity",
    "min_electrical", "max_electrical", "reverse_scaling_enabled", "reverse_max_electrical",
)


def single(value):
    """`value` rounded to single precision."""
    return struct.unpack("<f", struct.pack("<f", value))[0]


def image_with(**offsets):
    """A zero image with the given bytes set: image_with(at_74=0x55)."""
    image = bytearray(512)
    for name, value in offsets.items():
        image[int(name[3:])] = value
    return bytes(image)


def fields_of(record):
    return {name: getattr(record, name) for name in FIELDS}


def test_new_record_has_the_defaults():
    assert fields_of(TEDS()) == {
        "raw_data": None, "template": 0, "serial_number": "", "engineering_unit": 0,
        "min_capacity": 0.0, "max_capacity": 0.0, "min_electrical": 0.0, "max_electrical": 0.0,
        "reverse_scaling_enabled": False, "reverse_max_electrical": 0.0,
    }
    with pytest.raises(TypeError):
        TEDS(1)
    with pytest.raises(TypeError):
        TEDS(template=1)


@pytest.mark.parametrize(
    "field, value, stored",
    [
        ("raw_data", b"\x01", b"\x01"),
        ("template", 3.9, 3),
        ("serial_number", None, None),
        ("serial_number", "42", "42"),
        ("engineering_unit", -(2**31), -(2**31)),
        ("max_capacity", 5, 5.0),
        ("reverse_scaling_enabled", [0], True),
        ("reverse_scaling_enabled", "", False),
    ],
)
def test_fields_convert_on_assignment(field, value, stored):
    record = TEDS()
    setattr(record, field, value)
    assert getattr(record, field) == stored
    assert type(getattr(record, field)) is type(stored)


@pytest.mark.parametrize(
    "field, value, error, message",
    [
        ("serial_number", 12345, TypeError, "Expected str, got int"),
        ("serial_number", b"1", TypeError, "Expected str, got bytes"),
        ("template", 2**31, OverflowError, None),
        ("engineering_unit", "4", TypeError, None),
        ("min_electrical", "1.0", TypeError, None),
    ],
)
def test_fields_refuse_what_they_cannot_hold(field, value, error, message):
    record = TEDS()
    with pytest.raises(error) as info:
        setattr(record, field, value)
    if message:
        assert str(info.value) == message
    assert fields_of(record) == fields_of(TEDS())


@pytest.mark.parametrize("field", FIELDS)
def test_deletion(field):
    record = vdc.TEDSData.parse_from_bytes(image_with(at_6=1), 33)
    if field in ("raw_data", "serial_number"):
        del record.raw_data, record.serial_number
        assert (record.raw_data, record.serial_number) == (None, None)
    else:
        with pytest.raises(NotImplementedError, match="__del__"):
            delattr(record, field)


class TaggedRecord(vdc.TEDSData):
    def __init__(self, tag):
        super().__init__()
        self.tag = tag


@pytest.mark.parametrize("clone", [lambda r: pickle.loads(pickle.dumps(r)), copy.deepcopy, copy.copy])
def test_records_and_subclasses_round_trip(clone):
    record = TEDS.parse_from_bytes(build_teds_image(7, 4, 0.0, 10.0, 0.0, 0.002, 0.001), 33)
    assert fields_of(clone(record)) == fields_of(record)
    tagged = TaggedRecord("left")
    tagged.max_capacity = 250.0
    tagged.serial_number = None
    copied = clone(tagged)
    assert type(copied) is TaggedRecord
    assert copied.tag == "left" and fields_of(copied) == fields_of(tagged)


def test_type_is_immutable_but_subclassable():
    with pytest.raises(TypeError):
        TEDS.parse_from_bytes = staticmethod(lambda raw, template: None)
    with pytest.raises(AttributeError):
        TEDS().extra = 1
    assert TaggedRecord("x").template == 0


def test_object_fields_take_part_in_garbage_collection():
    class Holder:
        pass

    holder, record = Holder(), TEDS()
    holder.record, record.raw_data = record, holder
    alive = weakref.ref(holder)
    del holder, record
    gc.collect()
    assert alive() is None


# -- bit helpers ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "data, skip, bits",
    [
        (b"\x01", False, [True] + [False] * 7),
        (bytearray(b"\x80"), False, [False] * 7 + [True]),
        ([0x03, 0xFF], False, [True, True] + [False] * 6 + [True] * 8),
        ((1,) * 33, True, [True] + [False] * 7),
    ],
)
def test_bytes_to_bits_least_significant_first(data, skip, bits):
    result = TEDS.bytes_to_bits(data, skip)
    assert result[: len(bits)] == bits
    assert all(type(b) is bool for b in result)


@pytest.mark.parametrize("skip, length", [(True, 496), (False, 512), (0, 512)])
def test_bytes_to_bits_drops_each_page_checksum(skip, length):
    data = bytes([0xFF] + [0] * 31) * 2
    bits = TEDS.bytes_to_bits(data, skip_checksums=skip)
    assert len(bits) == length
    assert any(bits) is not bool(skip)


@pytest.mark.parametrize(
    "element, message",
    [(256, "value too large to convert to unsigned char"), (-1, "can't convert negative value to unsigned char")],
)
def test_bytes_to_bits_refuses_non_bytes(element, message):
    with pytest.raises(OverflowError, match=message):
        TEDS.bytes_to_bits([0, element])


@pytest.mark.parametrize(
    "bits, start, length, value",
    [
        ([True, False, True], 0, 3, 5),
        ([True], 0, 8, 1),
        ((True, True), 1, 2, 1),
        ([True] * 40, 0, 40, 254),  # bits 32..39 wrap onto 2**0..2**7
        ([True, False, False, True], -1, 1, 1),
        ([False, True, True], -2, 2, 3),
        ([1, 0, "x", None], 0, 4, 5),
        ([True], 5, 4, 0),
        ([True], 0, -3, 0),
    ],
)
def test_bits_to_int(bits, start, length, value):
    assert TEDS.bits_to_int(bits, start, length) == value


@pytest.mark.parametrize(
    "bits, start, length, error",
    [([True], 0, 2.0, TypeError), ([True], 0.0, 1, TypeError), ([True], -5, 1, IndexError), (5, 0, 1, TypeError)],
)
def test_bits_to_int_errors(bits, start, length, error):
    with pytest.raises(error):
        TEDS.bits_to_int(bits, start, length)


@pytest.mark.parametrize("value", [1.0, 0.1, -2.5e-7, float("inf"), 3.4e38])
def test_bits_to_float_reads_single_precision(value):
    bits = TEDS.bytes_to_bits(b"\xaa" + struct.pack("<f", value))
    assert TEDS.bits_to_float(bits, 8) == single(value)


# -- parsing --------------------------------------------------------------------------------


def test_parse_reads_every_field_from_its_place():
    image = build_teds_image(12345, 11, -50.0, 2000.0, 0.0005, 0.002, reverse_max_electrical=0.0015)
    record = TEDS.parse_from_bytes(image, 33)
    assert type(record) is TEDS and record.raw_data is image
    assert fields_of(record) == {
        "raw_data": image, "template": 33, "serial_number": "12345", "engineering_unit": 11,
        "min_capacity": -50.0, "max_capacity": 2000.0, "min_electrical": single(0.0005) * 1000.0,
        "max_electrical": single(0.002) * 1000.0, "reverse_scaling_enabled": True,
        "reverse_max_electrical": single(0.0015) * 1000.0,
    }


@pytest.mark.parametrize(
    "image, field, value",
    [
        (image_with(at_6=0x39, at_7=0x30, at_8=0x00), "serial_number", "12345"),
        (image_with(at_6=0x39, at_0=0xFF, at_32=0xFF), "serial_number", "57"),  # checksums skipped
        (image_with(at_74=0x55), "reverse_scaling_enabled", True),
        (image_with(at_74=0x54), "reverse_scaling_enabled", False),
        (image_with(at_74=0xD5), "reverse_scaling_enabled", False),
        (image_with(at_10=0xFF), "engineering_unit", 63),
        (bytes(512), "serial_number", "0"),
    ],
)
def test_parse_examples(image, field, value):
    assert getattr(TEDS.parse_from_bytes(image, 0), field) == value


@pytest.mark.parametrize("size", [0, 511, 513])
def test_parse_refuses_a_wrong_length_without_a_cause(size):
    with pytest.raises(vdc.VelmoTEDSDataCorruptedError) as info:
        TEDS.parse_from_bytes(bytes(size), 33)
    assert str(info.value) == f"TEDS data must be 512 bytes, got {size}"
    assert info.value.__cause__ is None


@pytest.mark.parametrize(
    "image, template, cause",
    [
        (bytes(512), "33", TypeError),
        (bytes(512), 2**40, OverflowError),
        ([0] * 100 + [300] + [0] * 411, 33, OverflowError),
        ([0] * 100 + ["x"] + [0] * 411, 33, TypeError),
    ],
)
def test_parse_failures_are_chained(image, template, cause):
    with pytest.raises(vdc.VelmoTEDSDataCorruptedError) as info:
        TEDS.parse_from_bytes(image, template)
    assert type(info.value.__cause__) is cause
    assert str(info.value) == f"Failed to parse TEDS data: {info.value.__cause__}"


def test_parse_ignores_overrides_on_subclasses():
    class Doctored(TEDS):
        @staticmethod
        def bits_to_int(bit_array, start_index, length):
            return 99

    record = Doctored.parse_from_bytes(image_with(at_6=5), 33)
    assert type(record) is TEDS and record.serial_number == "5"


def test_parse_takes_any_sequence_of_bytes():
    image = build_teds_image(777, 4, 0.0, 100.0, 0.0, 0.001)
    expected = fields_of(TEDS.parse_from_bytes(image, 1))
    for same in (bytearray(image), list(image), memoryview(image)):
        record = TEDS.parse_from_bytes(same, 1)
        assert record.raw_data is same
        assert {k: v for k, v in fields_of(record).items() if k != "raw_data"} == {
            k: v for k, v in expected.items() if k != "raw_data"
        }


def test_parse_is_the_reference_bit_walk(reference_teds):
    image = build_teds_image(424242, 13, 1.5, 3000.0, 0.0001, 0.0031, 0.0029)
    assert TEDS.bits_to_int(TEDS.bytes_to_bits(image, True), 40, 24) == 424242
    assert reference_teds(image) == {k: v for k, v in fields_of(TEDS.parse_from_bytes(image, 0)).items()
                                     if k not in ("raw_data", "template")}


@pytest.fixture
def reference_teds():
    """The record's fields read with the Python-level helpers, one call per field."""

    def parse(image):
        bits = TEDS.bytes_to_bits(image, skip_checksums=True)
        return {
            "serial_number": str(TEDS.bits_to_int(bits, 40, 24)),
            "engineering_unit": TEDS.bits_to_int(bits, 74, 6),
            "min_capacity": TEDS.bits_to_float(bits, 80),
            "max_capacity": TEDS.bits_to_float(bits, 112),
            "min_electrical": TEDS.bits_to_float(bits, 146) * 1000.0,
            "max_electrical": TEDS.bits_to_float(bits, 178) * 1000.0,
            "reverse_scaling_enabled": TEDS.bits_to_int(bits, 568, 8) == 85,
            "reverse_max_electrical": TEDS.bits_to_float(bits, 576) * 1000.0,
        }

    return parse


finite_singles = st.floats(width=32, allow_nan=False, allow_infinity=False)


@given(
    sensor=st.builds(
        TEDSSensor,
        serial_number=st.integers(0, 2**24 - 1),
        engineering_unit=st.integers(0, 63),
        min_capacity=finite_singles,
        max_capacity=finite_singles,
        min_electrical=finite_singles,
        max_electrical=finite_singles,
        reverse_max_electrical=st.none() | finite_singles,
        template=st.integers(0, 255),
    )
)
def test_simulated_sensors_parse_back(sensor):
    record = TEDS.parse_from_bytes(sensor.image(), sensor.laser()[0])
    assert (record.serial_number, record.engineering_unit, record.template) == (
        str(sensor.serial_number), sensor.engineering_unit, sensor.template)
    assert (record.min_capacity, record.max_capacity) == (sensor.min_capacity, sensor.max_capacity)
    assert record.min_electrical == sensor.min_electrical * 1000.0
    assert record.max_electrical == sensor.max_electrical * 1000.0
    assert record.reverse_scaling_enabled is sensor.reverse_scaling_enabled
    if sensor.reverse_scaling_enabled:
        assert record.reverse_max_electrical == sensor.reverse_max_electrical * 1000.0


# -- bad input ------------------------------------------------------------------------------

anything = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=8) | st.binary(max_size=40),
    lambda inner: st.lists(inner, max_size=40) | st.tuples(inner, inner),
    max_leaves=60,
)
HELPER_ERRORS = (TypeError, ValueError, OverflowError, IndexError)


@pytest.mark.fuzz
@settings(max_examples=FUZZ_EXAMPLES)
@given(image=st.binary(min_size=512, max_size=512) | st.lists(st.integers(-5, 300), min_size=512, max_size=512),
       template=anything)
def test_any_512_byte_image_parses_or_is_refused(image, template):
    try:
        record = TEDS.parse_from_bytes(image, template)
    except vdc.VelmoTEDSDataCorruptedError as error:
        assert isinstance(error.__cause__, HELPER_ERRORS)
    else:
        assert record.raw_data is image


@pytest.mark.fuzz
@settings(max_examples=FUZZ_EXAMPLES)
@given(data=anything, start=anything, length=anything, raw=anything, template=anything)
def test_arbitrary_objects_to_the_helpers(data, start, length, raw, template):
    for call in (
        lambda: TEDS.bytes_to_bits(data, start),
        lambda: TEDS.bits_to_int(data, start, length),
        lambda: TEDS.bits_to_float(data, start),
    ):
        try:
            call()
        except HELPER_ERRORS:
            pass
    try:
        TEDS.parse_from_bytes(raw, template)
    except vdc.VelmoTEDSDataCorruptedError as error:
        assert str(error).startswith(("TEDS data must be 512 bytes, got ", "Failed to parse TEDS data: "))
    except TypeError:  # no length at all
        assert not hasattr(raw, "__len__")
