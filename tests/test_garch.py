import math

import pytest

from exact import INF, NAN
from tarnwick import native_garch11_variance


@pytest.mark.parametrize("omega, alpha, beta", [(0, 0, 0), (NAN, NAN, NAN), (-1, -1, -1)])
def test_empty_returns_any_parameters(omega, alpha, beta):
    assert native_garch11_variance([], omega, alpha, beta) == []


@pytest.mark.parametrize(
    "returns, omega, alpha, beta",
    [
        # Each of these makes a zero of either sign, a negative value or NaN
        # before the floor.
        ([0.0, 0.0], -0.0, 0.0, -0.0),
        ([0.0, 0.0], 0.0, -0.0, 0.0),
        ([1.0, -2.0, 3.0], -5.0, 1.0, -1.0),
        ([INF, -INF], 0.0, 1.0, 1.0),
        ([INF, 1.0], -INF, 1.0, 1.0),
        ([1e308, 1e308], 1e308, 1e308, 1e308),
    ],
)
def test_never_negative_zero_nan_or_negative(returns, omega, alpha, beta):
    for v in native_garch11_variance(returns, omega, alpha, beta):
        assert not math.isnan(v)
        assert v >= 0.0
        assert math.copysign(1.0, v) == 1.0
