"""ADCConverter with arbitrary field values and arguments."""

import math
import pickle
import struct

import pytest
from hypothesis import given
from hypothesis import strategies as st

import velmo_device_communication as vdc
from bench.reference import ReferenceConverter
from support.fuzzing import any_floats, extreme_ints, fuzz_settings, objects

pytestmark = pytest.mark.fuzz

INT_FIELDS = ("number_of_loading_points", "number_of_directions")
FIELDS = ("number_of_loading_points", "direction_1_offset_load", "direction_1_fullscale_load",
          "direction_1_offset_value", "direction_1_fullscale_value", "direction_2_offset_load",
          "direction_2_fullscale_load", "direction_2_offset_value", "direction_2_fullscale_value",
          "scale_factor", "offset", "number_of_directions", "midpoint_offset")
# What an assignment or argument conversion may refuse with: no conversion (TypeError), NaN to an
# integer (ValueError), out of range (OverflowError), a hostile __int__/__float__ (RuntimeError).
CONVERSION_ERRORS = (TypeError, ValueError, OverflowError, RuntimeError)
EXTREMES = [0.0, -0.0, math.inf, -math.inf, math.nan, 1e308, -1e308, 5e-324, 2.0**32, 2.0**63, -(2.0**63)]
field_values = st.one_of(any_floats, st.sampled_from(EXTREMES), extreme_ints, objects)
counts = st.one_of(any_floats, st.sampled_from(EXTREMES), extreme_ints, objects)


def same(a, b):
    return struct.pack("<d", a) == struct.pack("<d", b) or (math.isnan(a) and math.isnan(b))


def fields_of(converter):
    return {name: getattr(converter, name) for name in FIELDS}


def test_arbitrary_fields_and_counts():
    @fuzz_settings
    @given(assignments=st.lists(st.tuples(st.sampled_from(FIELDS), field_values), max_size=14),
           arguments=st.lists(counts, max_size=4), midpoint=st.booleans())
    def run(assignments, arguments, midpoint):
        converter = vdc.ADCConverter()
        for name, value in assignments:
            before = getattr(converter, name)
            try:
                setattr(converter, name, value)
            except CONVERSION_ERRORS:
                assert same(getattr(converter, name), before)  # a refused value leaves the field as it was
                continue
            stored = getattr(converter, name)
            assert type(stored) is (int if name in INT_FIELDS else float)
            if name in INT_FIELDS:
                assert -(2**31) <= stored < 2**31
        if midpoint:
            assert converter._set_midpoint_offset() is None
        oracle = ReferenceConverter(**fields_of(converter))
        for argument in arguments:
            try:
                load = converter.convert_adc(argument)
            except CONVERSION_ERRORS:
                continue
            assert type(load) is float and same(load, oracle.convert_adc(float(argument)))
            for line in ("calculate_for_direction_1", "calculate_for_direction_2"):
                try:
                    value = getattr(converter, line)(argument)
                except CONVERSION_ERRORS:
                    continue
                assert same(value, getattr(oracle, line)(int(argument)))
        for protocol in (0, pickle.HIGHEST_PROTOCOL):
            copy = pickle.loads(pickle.dumps(converter, protocol))
            assert all(same(a, b) for a, b in zip(fields_of(copy).values(), fields_of(converter).values()))

    run()


def test_construction_refuses_arguments():
    @fuzz_settings
    @given(args=st.lists(objects, max_size=3), kwargs=st.dictionaries(st.text(max_size=5), objects, max_size=2))
    def run(args, kwargs):
        if not args and not kwargs:
            assert fields_of(vdc.ADCConverter())["scale_factor"] == 1.0
            return
        with pytest.raises(TypeError):
            vdc.ADCConverter(*args, **kwargs)

    run()
