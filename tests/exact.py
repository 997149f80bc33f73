"""Bit-level comparison of float results."""

import struct


def bits(values):
    """The IEEE-754 bit patterns of floats, every NaN folded to one key (a NaN's
    payload is not part of any documented result)."""
    return ["nan" if v != v else struct.pack("<d", v).hex() for v in values]


def raw_bits(values):
    """The exact bit patterns, NaN payloads and the sign of zero included: for
    comparing two routes to the same result."""
    return [struct.pack("<d", v) for v in values]


def assert_bits_equal(actual, expected):
    assert type(actual) is list
    assert len(actual) == len(expected), (actual, expected)
    for i, (a, e) in enumerate(zip(actual, expected)):
        assert type(a) is float
        assert bits([a]) == bits([e]), f"bar {i}: {a!r} ({float.hex(a)}) != {e!r} ({float.hex(e)})"
