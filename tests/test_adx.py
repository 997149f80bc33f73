import pytest

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
