"""Bulk fuzzing: a tight loop of random inputs per target, for long runs against the
sanitizer build, where hypothesis would spend most of the time generating.

    python tests/fuzz/bulk.py --inputs 100000 [--seed N] [target ...]

The checks are those of the hypothesis targets in this folder, on inputs drawn with
`random`. Prints the number of inputs and the outcomes per target; exits non-zero on the
first input that breaks a check.
"""

import argparse
import collections
import logging
import math
import pickle
import random
import sys
import time
from pathlib import Path

TESTS = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(TESTS), str(TESTS / "fuzz"), str(TESTS.parent), str(TESTS.parent / "python")]

import velmo_device_communication as vdc  # noqa: E402
from bench.reference import ReferenceConverter, parse_stream, weighted_checksum  # noqa: E402
from support.fuzzing import (BytearraySubclass, BytesSubclass, Exploding, FloatLike, IntLike,  # noqa: E402
                             Opaque)
from test_fuzz_adc_converter import CONVERSION_ERRORS, EXTREMES, FIELDS, fields_of, same  # noqa: E402
from test_fuzz_protocol import ELEMENT_ERRORS, PAYLOAD_TYPES, expected_payload, plain_bytes  # noqa: E402
from test_fuzz_streaming import (TOLERATED, Answering, AnsweringSubclass, Mutating, PlainSubclass,  # noqa: E402
                                 check_shape)

SPECIAL_INTS = [0, -1, 1, 255, 256, 2**31 - 1, -(2**31), 2**32 - 1, 2**32, 2**63 - 1, -(2**63), 2**64, 10**30]
PARSERS = {4: vdc.StreamDataConverter.convert_stream_data_to_reading,
           3: vdc.StreamDataConverter.convert_stream_data_to_reading_38_kHz}


def random_bytes(rng, limit=120):
    return rng.randbytes(rng.randrange(limit))


def random_float(rng):
    return rng.choice([rng.uniform(-1e12, 1e12), rng.choice(EXTREMES), struct_float(rng)])


def struct_float(rng):
    return float.fromhex(rng.choice(["-", ""]) + "0x1.%013xp%d" % (rng.getrandbits(52), rng.randrange(-1074, 1024)))


def random_object(rng, depth=0):
    kind = rng.randrange(14 if depth < 2 else 11)
    return [
        lambda: None, lambda: rng.random() < 0.5, lambda: rng.choice(SPECIAL_INTS), lambda: rng.getrandbits(70) - 2**69,
        lambda: random_float(rng), lambda: rng.choice(["", "ascii", "int", "raw", "\0x", "é"]),
        lambda: random_bytes(rng, 12), lambda: IntLike(rng.choice(SPECIAL_INTS)), lambda: FloatLike(random_float(rng)),
        lambda: Opaque(), lambda: Exploding(),
        lambda: [random_object(rng, depth + 1) for _ in range(rng.randrange(6))],
        lambda: tuple(random_object(rng, depth + 1) for _ in range(rng.randrange(3))),
        lambda: {str(i): random_object(rng, depth + 1) for i in range(rng.randrange(3))},
    ][kind]()


def random_container(rng):
    data = random_bytes(rng, 80)
    return rng.choice([data, bytearray(data), BytesSubclass(data), BytearraySubclass(data), memoryview(data), list(data)])


def random_answers(rng):
    errors = [ValueError("v"), ZeroDivisionError("z"), AttributeError("a"), KeyError("k"), RuntimeError("r")]
    return [rng.choice([random_float(rng), rng.choice(SPECIAL_INTS), random_object(rng), rng.choice(errors)])
            for _ in range(rng.randrange(1, 4))]


def parser_target(size):
    def run(rng):
        data = random_bytes(rng)
        shape = rng.randrange(6)
        if shape == 0:  # exact or subclassed converter with arbitrary fields: the reference's result
            fields = {name: random_float(rng) for name in FIELDS if name not in ("number_of_loading_points",
                                                                                "number_of_directions")}
            fields["number_of_directions"] = rng.choice([0, 1, 2, -1])
            converter = rng.choice([vdc.ADCConverter, PlainSubclass])()
            for name, value in fields.items():
                setattr(converter, name, value)
            result = PARSERS[size](rng.choice([bytes, bytearray])(data), converter)
            expected, _, remainder = parse_stream(data, ReferenceConverter(**fields), packet_size=size)
            got = [(r.calibrated_value, r.adc_value) for r in result.readings]
            assert len(got) == len(expected) and result.remainder == remainder
            assert all(same(g[0], e[0]) and g[1] == e[1] for g, e in zip(got, expected))
            return "reference"
        if shape in (1, 2):  # duck-typed or subclassed converter answering anything
            converter = (Answering if shape == 1 else AnsweringSubclass)(random_answers(rng))
            try:
                result = PARSERS[size](bytearray(data), converter)
            except TOLERATED:
                raise AssertionError("a tolerated conversion failure escaped the parser")
            except (KeyError, RuntimeError, TypeError, OverflowError) as error:
                return type(error).__name__
        elif shape == 3:  # converter rewriting and trying to resize the buffer
            buffer = bytearray(data)
            writes = [(rng.randrange(200), rng.randrange(256)) for _ in range(rng.randrange(6))]
            converter = Mutating(buffer, writes)
            result = PARSERS[size](buffer, converter)
            assert converter.resized == 0 and len(buffer) == len(data)
            data = buffer
        else:  # arbitrary data and converter objects
            data, converter = random_container(rng) if shape == 4 else random_object(rng), random_object(rng)
            if not (isinstance(data, bytes) or type(data) is bytearray):
                try:
                    PARSERS[size](data, converter)
                except TypeError:
                    return "refused"
                raise AssertionError("data of a refused type was parsed")
            result = PARSERS[size](data, converter)
        check_shape(result, data, size)
        return "parsed"

    return run


def calculate_checksum(rng, commands=vdc._CommandOperations()):
    data = random_container(rng) if rng.random() < 0.6 else random_object(rng)
    try:
        result = commands.calculate_checksum(data)
    except ELEMENT_ERRORS as error:
        return type(error).__name__
    assert type(result) is int and 0 <= result <= 255
    if plain_bytes(data) is not None:
        assert result == weighted_checksum(bytes(data))
    return "summed"


def validate_response_checksum(rng, commands=vdc._CommandOperations()):
    data = random_container(rng) if rng.random() < 0.6 else random_object(rng)
    raw = plain_bytes(data)
    if raw is not None and len(raw) >= 2 and rng.random() < 0.5:
        data = raw = raw[:-1] + bytes([weighted_checksum(raw[:-1])])
    try:
        assert commands.validate_response_checksum(data) is None
    except vdc.VelmoProtocolError as error:
        if raw is not None:
            assert str(error) == ("Response too short for checksum validation" if len(raw) < 2
                                  else "Invalid checksum in response")
        return "mismatch"
    except ELEMENT_ERRORS as error:
        assert raw is None
        return type(error).__name__
    assert raw is None or raw[-1] == weighted_checksum(raw[:-1])
    return "valid"


def convert_payload(rng, commands=vdc._CommandOperations()):
    if rng.random() < 0.6:  # a bytes answer: the exact result or message
        length = rng.choice([rng.randrange(-8, 80), rng.choice(SPECIAL_INTS[:7])])
        kind = rng.choice(PAYLOAD_TYPES + ["NA"])
        answer = random_bytes(rng, 90)
        expected = expected_payload(length, kind, answer)
        try:
            result = commands.convert_payload(length, kind, answer)
        except vdc.VelmoProtocolError as error:
            assert str(error) == expected
            return "error"
        assert result == expected or (isinstance(expected, float) and math.isnan(expected) and math.isnan(result))
        return "converted"
    length = rng.choice([rng.choice(SPECIAL_INTS), random_object(rng)])
    kind = rng.choice(PAYLOAD_TYPES + [random_object(rng)])
    try:
        commands.convert_payload(length, kind, random_container(rng) if rng.random() < 0.5 else random_object(rng))
    except vdc.VelmoProtocolError as error:
        assert str(error).startswith(("Payload too short", "Float conversion", "Unknown payload type",
                                      "Failed to convert payload"))
        return "error"
    except ELEMENT_ERRORS as error:
        return type(error).__name__
    return "converted"


def adc_converter(rng):
    converter = vdc.ADCConverter()
    for _ in range(rng.randrange(14)):
        name = rng.choice(FIELDS)
        value = rng.choice([random_float(rng), rng.choice(SPECIAL_INTS), random_object(rng)])
        try:
            setattr(converter, name, value)
        except CONVERSION_ERRORS:
            pass
    if rng.random() < 0.5:
        converter._set_midpoint_offset()
    oracle = ReferenceConverter(**fields_of(converter))
    argument = rng.choice([random_float(rng), rng.choice(SPECIAL_INTS), random_object(rng)])
    try:
        load = converter.convert_adc(argument)
    except CONVERSION_ERRORS:
        return "refused"
    assert type(load) is float and same(load, oracle.convert_adc(float(argument)))
    copy = pickle.loads(pickle.dumps(converter, pickle.HIGHEST_PROTOCOL))
    assert all(same(a, b) for a, b in zip(fields_of(copy).values(), fields_of(converter).values()))
    return "converted"


# LookupError: indexing a mapping as if it were a sequence; RuntimeError: raised by the
# exploding objects themselves. Both pass through unchanged.
TEDS_HELPER_ERRORS = (TypeError, ValueError, OverflowError, LookupError, RuntimeError)


def random_image(rng):
    size = rng.choice([512, 512, 512, rng.randrange(600)])
    if rng.random() < 0.8:
        data = rng.randbytes(size)
        return rng.choice([data, bytearray(data), BytesSubclass(data), memoryview(data)])
    return [rng.choice([rng.randrange(256), rng.choice(SPECIAL_INTS), random_object(rng)]) for _ in range(size)]


def teds_parse(rng):
    image = random_image(rng)
    template = rng.choice([rng.randrange(256), rng.choice(SPECIAL_INTS), random_object(rng)])
    try:
        record = vdc.TEDSData.parse_from_bytes(image, template)
    except vdc.VelmoTEDSDataCorruptedError as error:
        assert str(error).startswith(("TEDS data must be 512 bytes, got ", "Failed to parse TEDS data: "))
        return "refused"
    assert len(image) == 512 and record.raw_data is image
    if isinstance(image, memoryview):  # the record keeps the image itself, and a view does not pickle
        return "parsed"
    copy = pickle.loads(pickle.dumps(record, pickle.HIGHEST_PROTOCOL))
    assert copy.serial_number == record.serial_number and same(copy.max_capacity, record.max_capacity)
    return "parsed"


def teds_helpers(rng):
    bits = rng.choice([[rng.random() < 0.5 for _ in range(rng.randrange(80))], random_object(rng),
                       random_container(rng)])
    start = rng.choice([rng.randrange(-90, 90), rng.choice(SPECIAL_INTS), random_object(rng)])
    length = rng.choice([rng.randrange(70), rng.choice(SPECIAL_INTS[:8]), random_object(rng)])
    outcome = "converted"
    for call in (lambda: vdc.TEDSData.bytes_to_bits(bits, start),
                 lambda: vdc.TEDSData.bits_to_int(bits, start, length),
                 lambda: vdc.TEDSData.bits_to_float(bits, start)):
        try:
            call()
        except TEDS_HELPER_ERRORS:
            outcome = "refused"
    return outcome


TARGETS = {
    "standard_parser": parser_target(4),
    "high_rate_parser": parser_target(3),
    "calculate_checksum": calculate_checksum,
    "validate_response_checksum": validate_response_checksum,
    "convert_payload": convert_payload,
    "adc_converter": adc_converter,
    "teds_parse": teds_parse,
    "teds_helpers": teds_helpers,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--inputs", type=int, default=100_000)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("targets", nargs="*", help=", ".join(TARGETS))
    arguments = parser.parse_args()
    unknown = set(arguments.targets) - set(TARGETS)
    if unknown:
        parser.error(f"unknown targets: {', '.join(sorted(unknown))}")
    logging.getLogger(vdc.__name__).disabled = True
    for name in arguments.targets or TARGETS:
        rng = random.Random(f"{arguments.seed}-{name}")
        outcomes = collections.Counter()
        started = time.process_time()
        for index in range(arguments.inputs):
            state = rng.getstate()
            try:
                outcomes[TARGETS[name](rng)] += 1
            except Exception:
                print(f"{name}: input {index} broke a check (seed {arguments.seed}); replay from this state:")
                print(repr(state)[:200])
                raise
        print(f"{name}: {arguments.inputs} inputs, {time.process_time() - started:.1f} s CPU, "
              f"{dict(sorted(outcomes.items()))}", flush=True)


if __name__ == "__main__":
    main()
