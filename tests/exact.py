"""Bit-level comparison of float results."""

import math
import struct


def bits(values):
    """The IEEE-754 bit patterns of a list of floats, NaNs folded to one pattern."""
    return [
        "nan" if math.isnan(v) else struct.pack("<d", v).hex() for v in values
    ]


def assert_bits_equal(actual, expected):
    assert type(actual) is list
    assert all(type(v) is float for v in actual)
    assert bits(actual) == bits(expected), (actual, expected)
