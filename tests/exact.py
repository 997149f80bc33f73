"""Bit-level comparison of float results."""

import struct


def bits(values):
    """The exact IEEE-754 bit patterns of floats, as hex, the sign of zero and
    NaN sign and payload included: a computed NaN is always 7ff8000000000000
    and a NaN copied from an input keeps that input's bits."""
    return [struct.pack(">d", v).hex() for v in values]


def from_bits(hex_bits):
    """The float with these big-endian IEEE-754 bits; trailing zeros may be left
    off ("4024" is 10.0), as in the reference vectors."""
    return struct.unpack(">d", bytes.fromhex(hex_bits.ljust(16, "0")))[0]


# Python's float("nan") spelt out as bits, so that it is the same on every
# platform: the NaN the kernels store for every NaN they compute.
NAN = from_bits("7ff8000000000000")
INF = float("inf")


def assert_bits_equal(actual, expected):
    assert type(actual) is list
    assert len(actual) == len(expected), (actual, expected)
    for i, (a, e) in enumerate(zip(actual, expected, strict=True)):
        assert type(a) is float
        assert bits([a]) == bits([e]), f"bar {i}: {a!r} ({float.hex(a)}) != {e!r} ({float.hex(e)})"
