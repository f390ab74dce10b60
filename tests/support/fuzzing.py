"""Budget and input strategies of the fuzz tests (marked ``fuzz``).

VELMO_FUZZ_EXAMPLES sets the number of inputs per target (default 200, the CI budget); a
long run against the sanitizer build sets it to 100000 or more.
"""

import os

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

FUZZ_EXAMPLES = int(os.environ.get("VELMO_FUZZ_EXAMPLES", "200"))

fuzz_settings = settings(
    max_examples=FUZZ_EXAMPLES,
    deadline=None,
    database=None,
    suppress_health_check=list(HealthCheck),
)


class Opaque:
    """An object no conversion knows."""


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value

    def __index__(self):
        return self.value


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Exploding:
    """Raises from every conversion and from iteration."""

    def __int__(self):
        raise RuntimeError("int refused")

    def __index__(self):
        raise RuntimeError("index refused")

    def __float__(self):
        raise RuntimeError("float refused")

    def __len__(self):
        raise RuntimeError("len refused")

    def __iter__(self):
        raise RuntimeError("iteration refused")


class BytesSubclass(bytes):
    pass


class BytearraySubclass(bytearray):
    pass


extreme_ints = st.one_of(
    st.integers(),
    st.sampled_from([0, -1, 255, 256, 2**31 - 1, -(2**31), 2**32 - 1, 2**32, 2**63 - 1, -(2**63), 2**64]),
)
any_floats = st.floats(allow_nan=True, allow_infinity=True)
scalars = st.one_of(
    st.none(),
    st.booleans(),
    extreme_ints,
    any_floats,
    st.text(max_size=8),
    st.binary(max_size=8),
    extreme_ints.map(IntLike),
    any_floats.map(FloatLike),
    st.just(Opaque()),
    st.just(Exploding()),
)
# Arbitrary Python objects: scalars and small containers of them.
objects = st.recursive(
    scalars,
    lambda inner: st.one_of(st.lists(inner, max_size=6), st.tuples(inner, inner), st.dictionaries(st.text(max_size=3), inner, max_size=3)),
    max_leaves=12,
)
byte_containers = st.binary(max_size=80).flatmap(
    lambda data: st.sampled_from([data, bytearray(data), BytesSubclass(data), BytearraySubclass(data), memoryview(data), list(data)])
)
