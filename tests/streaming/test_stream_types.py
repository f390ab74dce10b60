"""StreamReading and StreamConversionResult."""

import gc
import math
import pickle
import sys

import pytest

import velmo_device_communication as vdc

StreamReading, StreamConversionResult = vdc.StreamReading, vdc.StreamConversionResult
IntLike = type("IntLike", (), {"__int__": lambda self: 77})
FloatLike = type("FloatLike", (), {"__float__": lambda self: 2.25})


@pytest.mark.parametrize(
    "calibrated, adc, expected",
    [(1, 2.9, (1.0, 2)), (FloatLike(), IntLike(), (2.25, 77)), (-0.0, 2**32 - 1, (-0.0, 4294967295))],
)
def test_reading_conversion(calibrated, adc, expected):
    assigned = StreamReading(0.0, 0)
    assigned.calibrated_value, assigned.adc_value = calibrated, adc
    for reading in (StreamReading(calibrated, adc), StreamReading(adc_value=adc, calibrated_value=calibrated), assigned):
        assert (reading.calibrated_value, reading.adc_value) == expected and type(reading.adc_value) is int
        assert math.copysign(1, reading.calibrated_value) == math.copysign(1, expected[0])


@pytest.mark.parametrize(
    "field, value, error",
    [("adc_value", -1.5, OverflowError), ("adc_value", 2**32, OverflowError), ("adc_value", "3", TypeError),
     ("adc_value", None, TypeError), ("calibrated_value", "1.0", TypeError)],
)
def test_reading_conversion_errors(field, value, error):
    with pytest.raises(error) as info:
        StreamReading(**{"calibrated_value": 0.5, "adc_value": 6, field: value})
    assert value != -1.5 or str(info.value) == "can't convert negative value to unsigned long"
    reading = StreamReading(0.5, 6)
    with pytest.raises(error):
        setattr(reading, field, value)
    assert (reading.calibrated_value, reading.adc_value) == (0.5, 6)
    with pytest.raises(NotImplementedError):
        delattr(reading, field)


def test_reading_is_compact_and_untracked():
    # One is created per streamed sample: no instance dict, no GC header.
    reading = StreamReading(1.0, 5)
    assert sys.getsizeof(reading) <= 32 and not gc.is_tracked(reading) and not hasattr(reading, "__dict__")
    with pytest.raises(TypeError):
        StreamReading(1.0)


@pytest.mark.parametrize(
    "field, value",
    [("readings", type("Sub", (list,), {})()), ("readings", ()), ("remainder", b""),
     ("remainder", type("Sub", (bytearray,), {})()), ("remainder", memoryview(bytearray()))],
)
def test_result_refuses_other_types(field, value):
    with pytest.raises(TypeError):
        StreamConversionResult(**{"readings": [], "remainder": bytearray(), field: value})
    result = StreamConversionResult(readings=[], remainder=bytearray())
    before = getattr(result, field)
    with pytest.raises(TypeError):
        setattr(result, field, value)
    assert getattr(result, field) is before
    delattr(result, field)
    assert getattr(result, field) is None
    setattr(result, field, before)  # None and the exact types are accepted
    assert getattr(result, field) is before and StreamConversionResult(None, None).remainder is None


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickling(protocol):
    copy = pickle.loads(pickle.dumps(StreamConversionResult([StreamReading(-12.5, 4294967040)], bytearray(b"\x07")), protocol))
    assert type(copy) is StreamConversionResult and type(copy.remainder) is bytearray and copy.remainder == b"\x07"
    ((reading,),) = (copy.readings,)
    assert type(reading) is StreamReading and (reading.calibrated_value, reading.adc_value) == (-12.5, 4294967040)
    assert pickle.loads(pickle.dumps(StreamConversionResult(None, None), protocol)).readings is None
