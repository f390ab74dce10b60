"""The parsers against Python code that changes the caller's buffer while they run."""

import logging

import pytest

import velmo_device_communication as vdc

PARSERS = [vdc.StreamDataConverter.convert_stream_data_to_reading,
           vdc.StreamDataConverter.convert_stream_data_to_reading_38_kHz]
# One valid packet of each format; runs of 9 and of 7 never pass either checksum.
VALID = {4: [1, 2, 3, 14], 3: [1, 2, 5]}


class MutatingHandler(logging.Handler):
    def __init__(self, data, mutate):
        super().__init__(logging.DEBUG)
        self.data, self.mutate, self.errors = data, mutate, []

    def emit(self, record):
        try:
            self.mutate(self.data)
        except BufferError as error:
            self.errors.append(error)

    def handleError(self, record):  # pragma: no cover - a failure is reported by the assertions
        raise


def overwrite(data):
    data[len(VALID[4]):] = b"\xee" * (len(data) - len(VALID[4]))


def shrink(data):
    del data[4:]


@pytest.mark.parametrize("parser, size", [(PARSERS[0], 4), (PARSERS[1], 3)], ids=["standard", "high_rate"])
@pytest.mark.parametrize("mutate", [overwrite, shrink])
@pytest.mark.parametrize("converter", [vdc.ADCConverter(), type("Duck", (), {"convert_adc": lambda self, c: 1.0})()],
                         ids=["native", "python"])
def test_remainder_is_the_input_as_it_was_when_parsed(parser, size, mutate, converter):
    data = bytearray(VALID[size] + [9] * 4 + [7] * 60)
    expected = bytes(data)
    handler = MutatingHandler(data, mutate)
    logger = logging.getLogger("velmo_device_communication")
    logger.addHandler(handler)
    old_level = logger.level
    logger.setLevel(logging.DEBUG)
    try:
        result = parser(data, converter)
    finally:
        logger.removeHandler(handler)
        logger.setLevel(old_level)
    consumed = len(expected) - len(result.remainder)
    assert len(result.readings) == 1 and result.remainder == expected[consumed:]
    assert consumed > size  # the handler ran on the warning about the damaged windows


@pytest.mark.parametrize("parser", PARSERS)
def test_converter_cannot_resize_the_buffer_during_a_parse(parser):
    data = bytearray([1, 2, 3, 14, 1, 2, 3, 14, 1, 2, 5])
    original = bytes(data)

    class Resizing:
        def convert_adc(self, count):
            data.clear()

    with pytest.raises(BufferError):
        parser(data, Resizing())
    assert data == original
