import pytest
from test_lanes import PATHS, cases_on_path

from exact import INF, NAN, assert_bits_equal
from tarnwick import native_adx


@pytest.mark.parametrize("value", [0.0, NAN, INF, -INF])
@pytest.mark.parametrize("period", [1, 7, 2**64 - 1])
def test_single_bar_is_zero(value, period):
    assert_bits_equal(native_adx([value], [value], [value], period), [0.0])


def test_prefix_property_across_the_vector_blocks():
    # Per-bar terms are made two bars at a time in blocks; every prefix length
    # (odd, even, at and past a block edge) must give the same leading values.
    n = 530
    high = [100 + ((i * 37) % 11) - ((i * 13) % 7) * 0.5 for i in range(n)]
    low = [h - 1 - (i % 5) * 0.25 for i, h in enumerate(high)]
    close = [(h + lo) / 2 for h, lo in zip(high, low, strict=True)]
    full = native_adx(high, low, close, 14)
    for k in (1, 2, 3, 255, 256, 257, 258, 513, 529):
        assert_bits_equal(native_adx(high[:k], low[:k], close[:k], 14), full[:k])


# Lengths around the one-series pass's blocks (16 bars, in buffers of 256) and
# its lanes, with and without odd values (NaN, infinities, subnormals).
LENGTHS = (1, 2, 3, 15, 16, 17, 18, 33, 256, 257, 258, 529, 1200)

PASS_CHECK = f"""
import numpy as np, tarnwick_arrays as ta, tarnwick_stream as ts
import models
from exact import bits
from support import price_bars

cases = 0
for n in {LENGTHS}:
    for odd in (0.0, 1 / 40):
        b = price_bars(n, (n, odd > 0), odd=odd)
        h, l, c = b["high"], b["low"], b["close"]
        want = models.directional_movement(h.tolist(), l.tolist(), c.tolist(), 14)
        got = ta.directional_movement(h, l, c, 14)
        for field, values in want.items():
            assert bits(getattr(got, field).tolist()) == bits(values), (n, odd, field)
        assert bits(ta.adx(h, l, c, 14).tolist()) == bits(want["adx"]), (n, odd)
        # Into places apart or not aligned as doubles, ADX is made in the
        # pass's buffers and copied out rather than made where it goes.
        for out in (np.full(2 * n, 7.0)[::2],
                    np.frombuffer(bytearray(8 * n + 1), np.float64, offset=1)):
            assert ta.adx(h, l, c, 14, out=out) is out
            assert bits(out.tolist()) == bits(want["adx"]), (n, odd)
        # A stream carries the state of one pass into the next.
        for split in sorted({{0, 1, n // 3, n - 1}}):
            s = ts.Adx(14)
            values = s.extend(h[:split].tolist(), l[:split].tolist(), c[:split].tolist())
            values += s.extend(h[split:].tolist(), l[split:].tolist(), c[split:].tolist())
            assert bits(values) == bits(want["adx"]), (n, odd, split)
        cases += 1
print(ta._lanes, cases)
"""


@pytest.mark.parametrize("path", PATHS)
def test_one_series_pass_keeps_the_documented_bits_on_every_lane_path(path):
    # The divisions of the one-series pass run in the path's lanes (the
    # scalar path keeps the serial pass): every path, every value, bit for bit.
    assert cases_on_path(PASS_CHECK, path) == 2 * len(LENGTHS)
