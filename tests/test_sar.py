import pytest

from exact import assert_bits_equal
import registry
from tarnwick import native_parabolic_sar

NAN = float("nan")
INF = float("inf")


@pytest.mark.parametrize("high", [0.0, NAN, INF, -5.0])
@pytest.mark.parametrize("factors", [(0.02, 0.2), (NAN, NAN), (-1.0, INF)])
def test_single_bar_is_its_low(high, factors):
    assert_bits_equal(native_parabolic_sar([high], [7.5], *factors), [7.5])


@pytest.mark.parametrize("lengths", [(3, 2), (0, 1), (1, 0)])
def test_lengths_must_match(lengths):
    with pytest.raises(ValueError) as info:
        native_parabolic_sar([1.0] * lengths[0], [1.0] * lengths[1], 0.02, 0.2)
    assert type(info.value) is ValueError
    assert info.value.args == ("high and low lengths must match",)


@pytest.mark.parametrize(
    "args, parameter",
    [
        (([1, 2, 3], [1, 2], 0.02, "x"), "af_max"),
        (([], [], "x", 0.2), "af_step"),
        (([1], ["x", 1], None, 0.2), "low"),
    ],
)
def test_conversion_error_wins_over_validation(args, parameter):
    with pytest.raises(TypeError) as info:
        native_parabolic_sar(*args)
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


def test_prefix_property():
    # The worked example: both trends, both reversals.
    (high, low, *factors), _ = registry.PARABOLIC_SAR.examples[0]
    full = native_parabolic_sar(high, low, *factors)
    for k in range(len(high) + 1):
        assert_bits_equal(native_parabolic_sar(high[:k], low[:k], *factors), full[:k])
