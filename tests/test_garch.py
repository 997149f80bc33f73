import math

import pytest

from exact import assert_bits_equal
from tarnwick import native_garch11_variance

NAN = float("nan")
INF = float("inf")


# Reference vectors worked by hand from the recursion
#   v[i] = max(0, (alpha * r[i]) * r[i] + omega + v[i-1] * beta)
# seeded with the sequential mean of r**2, or 1e-8 when that is not finite and > 0.
@pytest.mark.parametrize(
    "returns, omega, alpha, beta, expected",
    [
        # alpha * (r * r), or omega added last, would give 0.000865.
        ([0.03], 1e-05, 0.1, 0.85, [0.0008649999999999999]),
        # The sequential sum of squares is 0.0008550000000000001; a compensated
        # or four-way interleaved sum would give 0.00017099999999999998.
        ([0.011, 0.012, 0.013, 0.014, 0.015], 0, 0, 1, [0.000171] * 5),
        ([0.01, -0.02, 0.03], 1e-06, 0.1, 0.85,
         [0.00040766666666666664, 0.00038751666666666666, 0.00042038916666666665]),
        ([0.0, 0.0, 0.0], 0, 0.1, 0.9,
         [9.000000000000001e-09, 8.100000000000001e-09, 7.290000000000001e-09]),
        ([1e-160], 0, 0, 1, [1e-320]),
        ([1e200, 0.0], 0, 0, 1, [1e-08, 1e-08]),
        ([0.01, NAN, 0.02], 1e-06, 0.1, 0.85, [1.1008500000000001e-05, 0.0, 4.1e-05]),
        ([INF, 0.01], 1e-06, 0.1, 0, [INF, 0.0]),
        ([INF, 0.01], 1e-06, 0, 0.5, [0.0, 1e-06]),
        ([NAN], 1e-06, 0, 0.5, [0.0]),
        ([0.01, 0.02], NAN, 0.1, 0.9, [0.0, 0.0]),
        ([0.0], -1, 0.1, 0.9, [0.0]),
        ([0.5], 0, 0, 1, [0.25]),
    ],
)
def test_reference_vectors(returns, omega, alpha, beta, expected):
    assert_bits_equal(native_garch11_variance(returns, omega, alpha, beta), expected)


@pytest.mark.parametrize("omega, alpha, beta", [(0, 0, 0), (NAN, NAN, NAN), (-1, -1, -1)])
def test_empty_returns_any_parameters(omega, alpha, beta):
    assert native_garch11_variance([], omega, alpha, beta) == []


@pytest.mark.parametrize("parameter", ["omega", "alpha", "beta"])
def test_scalars_converted_even_for_empty_returns(parameter):
    args = {"returns": [], "omega": 1.0, "alpha": 1.0, "beta": 1.0, parameter: "x"}
    with pytest.raises(TypeError) as info:
        native_garch11_variance(**args)
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


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
