import pytest

from exact import assert_bits_equal
from tarnwick import native_parabolic_sar

NAN = float("nan")
INF = float("inf")

# A negative step: the factor goes 1e-6, 1e-6 - 0.25, 1e-6 - 0.5 at each new
# high, and the stop moves away from the extreme.
AF_1 = 1e-6 + -0.25
STOP_2 = (11 - 9) * AF_1 + 9
STOP_3 = (12 - STOP_2) * (AF_1 + -0.25) + STOP_2

HIGH = [10, 11, 12, 11, 10, 9, 10, 12]
LOW = [9, 10, 11, 9.5, 8.5, 8, 9, 11]


def test_worked_example():
    # Two new highs (the factor held at 0.5), a reversal reporting the old
    # extreme 12, two new lows, a reversal reporting 8, and a new high.
    assert_bits_equal(native_parabolic_sar(HIGH, LOW, 0.25, 0.5),
                      [9, 9, 10, 12, 11.375, 10, 8, 8.5])


@pytest.mark.parametrize(
    "high, low, af_step, af_max, expected",
    [
        # Reversal on the first step reports the old extreme.
        ([10, 9], [9, 8], 0.25, 0.5, [9, 10]),
        # A stop equal to the low does not reverse.
        ([10, 11], [9, 9], 0.25, 0.5, [9, 9]),
        # High equal to the stop, low equal to ep: no reversal, no new extreme.
        ([10, 9, 9.5], [9, 8, 8], 0.25, 0.5, [9, 10, 9.5]),
        # NaN af_step: start factor 1e-6, then af_max at the first new extreme.
        ([10, 11, 12], [9, 10, 11], NAN, 0.5, [9, 9, 10]),
        # af_step above af_max: each trend runs at af_step until its first new extreme.
        ([10, 12, 8, 7.5], [9, 11, 7, 6.5], 0.75, 0.5, [9, 9, 12, 8.25]),
        # NaN af_max leaves the factor without a ceiling.
        ([10, 12, 14, 16, 18], [9, 11.5, 13.5, 15.5, 17.5], 0.25, NAN,
         [9, 9, 10.5, 13.125, 15.5]),
        ([10, 12, 14, 16, 18], [9, 11.5, 13.5, 15.5, 17.5], 0.25, 0.5,
         [9, 9, 10.5, 12.25, 14.125]),
        # A NaN low neither reverses its bar nor limits the next stop.
        ([10, 11, 12, 13], [9, NAN, 11, 12], 0.25, 0.5, [9, 9, 10, 11]),
        # Zero step: the factor stays at 1e-6.
        ([10, 11, 12], [9, 10, 11], 0.0, 0.5, [9, 9, 9 + (11 - 9) * 1e-6]),
        # af_max 0: the first new extreme sets the factor to 0 and the stop stays.
        ([10, 11, 12, 13], [9, 10, 11, 12], 0.0, 0.0, [9, 9, 9, 9]),
        # A negative step lowers the factor at each new extreme, below zero.
        ([10, 11, 12, 13], [9, 10, 11, 12], -0.25, 0.5, [9, 9, STOP_2, STOP_3]),
    ],
)
def test_edge_cases(high, low, af_step, af_max, expected):
    assert_bits_equal(native_parabolic_sar(high, low, af_step, af_max),
                      [float(v) for v in expected])


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
    full = native_parabolic_sar(HIGH, LOW, 0.25, 0.5)
    for k in range(len(HIGH) + 1):
        assert_bits_equal(native_parabolic_sar(HIGH[:k], LOW[:k], 0.25, 0.5), full[:k])
