import pytest

import registry
from exact import INF, NAN, assert_bits_equal
from tarnwick import native_parabolic_sar


@pytest.mark.parametrize("high", [0.0, NAN, INF, -5.0])
@pytest.mark.parametrize("factors", [(0.02, 0.2), (NAN, NAN), (-1.0, INF)])
def test_single_bar_is_its_low(high, factors):
    assert_bits_equal(native_parabolic_sar([high], [7.5], *factors), [7.5])


def test_prefix_property():
    # The worked example: both trends, both reversals.
    _, (high, low, *factors), _ = registry.PARABOLIC_SAR.examples[0]
    full = native_parabolic_sar(high, low, *factors)
    for k in range(len(high) + 1):
        assert_bits_equal(native_parabolic_sar(high[:k], low[:k], *factors), full[:k])
