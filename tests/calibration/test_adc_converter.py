"""ADCConverter: fields, calibration lines and direction selection."""

import math
import pickle

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import velmo_device_communication as vdc
from bench.reference import ReferenceConverter

FIELDS = ("number_of_loading_points", "direction_1_offset_load", "direction_1_fullscale_load",
          "direction_1_offset_value", "direction_1_fullscale_value", "direction_2_offset_load",
          "direction_2_fullscale_load", "direction_2_offset_value", "direction_2_fullscale_value",
          "scale_factor", "offset", "number_of_directions", "midpoint_offset")
DEFAULTS = (0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 1, 0.0)


def same(a, b):
    """Exact equality that tells -0.0 from 0.0 and takes any NaN as equal to any NaN."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


def make(cls=vdc.ADCConverter, **fields):
    converter = cls()
    for name, value in fields.items():
        setattr(converter, name, value)
    return converter


def values(converter):
    return tuple(getattr(converter, name) for name in FIELDS)


class Recording(vdc.ADCConverter):
    """Overrides both lines, which makes the native choice of direction visible."""

    def __init__(self):
        self.calls = []

    def calculate_for_direction_1(self, ndr_adc):
        self.calls.append((1, ndr_adc))
        return 1  # an int result comes back as a float

    def calculate_for_direction_2(self, ndr_adc):
        self.calls.append((2, ndr_adc))
        if ndr_adc == 13:
            raise LookupError(ndr_adc)
        return -2.5


def test_construction():
    converter = vdc.ADCConverter()
    assert values(converter) == DEFAULTS and [type(v) for v in values(converter)] == [type(d) for d in DEFAULTS]
    assert math.isnan(converter.calculate_for_direction_1(5))  # 0 / 0, unguarded
    assert not hasattr(converter, "__dict__")
    for call in (lambda: vdc.ADCConverter(1), lambda: vdc.ADCConverter(scale_factor=2.0)):
        with pytest.raises(TypeError):
            call()


LINE = dict(number_of_directions=0, direction_1_offset_value=10, direction_1_fullscale_value=410,
            direction_1_fullscale_load=100)
TWO = dict(number_of_directions=1, direction_1_offset_value=100, direction_1_fullscale_value=900,
           direction_2_offset_value=110, direction_2_fullscale_value=1000)
FALLING = dict(TWO, direction_1_offset_value=900, direction_1_fullscale_value=100,
               direction_2_offset_value=950, direction_2_fullscale_value=0)


@pytest.mark.parametrize(
    "fields, count, expected",
    [
        ({}, 5, 0.0), ({}, -1.0, 0.0), ({}, float("nan"), 0.0),  # fresh: falling, not O1 > F2
        (LINE, 210, 50.0), (LINE, 210.99, 50.0), (LINE, 0, -2.5),  # truncated, not clamped
        (LINE, -1.0, (4294967295 - 10) * 100 / 400), (LINE, 2.0**32 + 210, 50.0),
        (LINE, float("nan"), -2.5), (LINE, 1e300, -2.5),
        (dict(LINE, number_of_directions=5, scale_factor=2.0, offset=1.5), 210, 101.5),
        # Direction 2 negates after adding the offset: -(10 + 2).
        (dict(TWO, direction_2_offset_value=50, direction_2_fullscale_value=0, direction_2_fullscale_load=20,
              offset=2.0, midpoint_offset=75), 25, -12.0),
        (dict(FALLING, direction_2_fullscale_value=900, direction_1_fullscale_load=1), 300, 0.0),
    ],
)
def test_convert_examples(fields, count, expected):
    assert same(make(**fields).convert_adc(count), expected)


@pytest.mark.parametrize(
    "fields, midpoint, count, line",
    [
        (TWO, None, 104, 2), (TWO, None, 105, 1), (TWO, None, 5000, 1),  # midpoint 105 from the offsets
        (TWO, 0.0, 4294967000, 1), (TWO, -100.0, 4294967000, 2),  # a negative midpoint acts as 2**32 - 100
        (dict(TWO, direction_2_offset_value=60), None, 60, 2), (dict(TWO, direction_2_offset_value=60), None, 79, 2),
        (dict(TWO, direction_2_offset_value=60), None, 80, 1), (dict(TWO, direction_2_offset_value=100), None, 100, 1),
        (FALLING, None, 50, 1), (FALLING, None, 930, 2), (FALLING, None, 920, 1), (FALLING, None, 2000, 2),
    ],
)
def test_direction_choice_reaches_python_override(fields, midpoint, count, line):
    converter = make(Recording, **fields, midpoint_offset=midpoint or 0.0)
    if midpoint is None:
        converter._set_midpoint_offset()
    result = converter.convert_adc(count)
    assert converter.calls == [(line, count)] and type(converter.calls[0][1]) is int
    assert type(result) is float and result == (1.0 if line == 1 else -2.5)


def test_python_override_errors_propagate():
    with pytest.raises(LookupError, match="13"):
        make(Recording, **TWO, midpoint_offset=105).convert_adc(13.9)


@pytest.mark.parametrize(
    "method, count, error",
    [("calculate_for_direction_1", -1, OverflowError), ("calculate_for_direction_2", 2**32, OverflowError),
     ("calculate_for_direction_1", "7", TypeError), ("convert_adc", "7", TypeError), ("convert_adc", None, TypeError)],
)
def test_count_argument_errors(method, count, error):
    with pytest.raises(error) as info:
        getattr(vdc.ADCConverter(), method)(count)
    assert count != -1 or str(info.value) == "can't convert negative value to unsigned long"


@pytest.mark.parametrize(
    "name, value, expected",
    [
        ("number_of_directions", 3.9, 3), ("number_of_directions", -3.9, -3), ("scale_factor", 3, 3.0),
        ("number_of_loading_points", -(2**31), -(2**31)), ("number_of_directions", 2**31, OverflowError),
        ("number_of_directions", "1", TypeError), ("scale_factor", "1.0", TypeError),
    ],
)
def test_field_conversion(name, value, expected):
    converter = vdc.ADCConverter()
    if isinstance(expected, type):
        with pytest.raises(expected, match="an integer is required" if value == "1" else None):
            setattr(converter, name, value)
        assert values(converter) == DEFAULTS
    else:
        setattr(converter, name, value)
        assert type(getattr(converter, name)) is type(expected) and getattr(converter, name) == expected
    with pytest.raises(NotImplementedError, match="^__del__$"):
        delattr(converter, name)


@pytest.mark.parametrize("cls", [vdc.ADCConverter, Recording])
def test_pickle_round_trip(cls):
    fields = (7, 1.5, -2.5, 3.25, 4e9, -0.0, 6.5, float("inf"), 8.0, 0.5, -1.0, 0, 42.75)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        copy = pickle.loads(pickle.dumps(make(cls, **dict(zip(FIELDS, fields))), protocol))
        assert type(copy) is cls and all(same(a, b) for a, b in zip(values(copy), fields))


# The native arithmetic against the plain-Python transcription.
counts_like = st.one_of(st.integers(0, 2**32 - 1).map(float), st.floats(-1e4, 4.3e9))  # counts are mostly whole
loads = st.floats(-1e6, 1e6)


@st.composite
def cases(draw):
    # Four calibration counts from a pool of at most four values, so equal counts are common.
    pool = draw(st.lists(counts_like, min_size=1, max_size=4))
    o1, f1, o2, f2 = draw(st.lists(st.sampled_from(pool), min_size=4, max_size=4))
    order = draw(st.sampled_from([None, False, True]))
    if order is not None:  # force direction 1 to rise or to fall
        o1, f1 = sorted((o1, f1), reverse=order)
    fields = dict(zip(FIELDS, (3, 0.0, draw(loads), o1, f1, 0.0, draw(loads), o2, f2, draw(st.floats(-10, 10)),
                               draw(loads), draw(st.sampled_from([1, 1, 1, 0, 2])))))
    # None: computed from the offsets; a negative midpoint compares as a huge unsigned count.
    midpoint = [None, draw(counts_like), -draw(st.floats(1.0, 1e4))][draw(st.integers(0, 2))]
    anchors = [o1, f1, o2, f2, midpoint or 0.0]
    counts = [a + d for a, d in draw(st.lists(st.tuples(st.sampled_from(anchors), st.integers(-1, 1)), max_size=3))]
    return fields, midpoint, counts + draw(st.lists(st.one_of(st.integers(0, 2**32 - 1), st.floats()), max_size=2))


@settings(max_examples=150, deadline=None)
@given(case=cases())
def test_convert_adc_matches_reference(case):
    fields, midpoint, counts = case
    native, oracle = make(**fields), ReferenceConverter(**fields)
    if midpoint is None:
        native._set_midpoint_offset()
        oracle._set_midpoint_offset()
        assert same(native.midpoint_offset, oracle.midpoint_offset)
    else:
        native.midpoint_offset = oracle.midpoint_offset = midpoint
    for count in counts:
        assert same(native.convert_adc(count), oracle.convert_adc(count)), count
