import pytest

from exact import assert_bits_equal
from tarnwick import native_adx

NAN = float("nan")
INF = float("inf")

A = ([10, 11, 12, 11.5], [9, 9.5, 10.5, 10], [9.5, 10.5, 11.5, 10.5])


# Worked by hand: w = 1/period, k = 1 - w, s[j] = s[j-1]*k + x[j]*w from 0,
# +DI = (S+DM*100)/ATR, DX = (|+DI - -DI|*100)/(+DI + -DI).
@pytest.mark.parametrize(
    "period, expected",
    [
        (1, [0.0, 100.0, 100.0, 100.0]),
        (2, [0.0, 50.0, 75.0, 47.5]),
        (3, [0.0, 33.33333333333333, 55.55555555555555, 49.68071519795658]),
        (14, [0.0, 7.142857142857142, 13.775510204081632, 16.816362243274654]),
        (100, [0.0, 1.0, 1.99, 2.565258090765556]),
        # P rounds to 2**64 and k to exactly 1.0.
        (2**64 - 1, [0.0, 5.421010862427522e-18, 1.0842021724855044e-17,
                     1.4094628242311558e-17]),
    ],
)
def test_example_a(period, expected):
    assert_bits_equal(native_adx(*A, period), expected)


def test_example_b_pins_the_operation_order():
    # Dividing before multiplying by 100, or writing the smoothing as
    # s + w * (x - s) or (s * (P - 1) + x) / P, changes these last digits.
    result = native_adx([10.1, 10.1, 12.0, 11.8], [9.4, 8.9, 10.6, 11.8],
                        [9.5, 9.7, 11.0, 11.8], 3)
    assert_bits_equal(result, [0.0, 33.33333333333333, 45.60530679933665, 53.786622443338864])


def replaced(series, index, value):
    copy = list(series)
    copy[index] = value
    return copy


@pytest.mark.parametrize(
    "high, low, close, period, expected",
    [
        # NaN high: no directional movement at bars 1 and 2, TR from low-close.
        (replaced(A[0], 1, NAN), A[1], A[2], 2, [0.0, 0.0, 0.0, 50.0]),
        # All three TR terms NaN at bar 1: ATR is NaN from then on, DX stays 0.
        (A[0], replaced(A[1], 1, NAN), replaced(A[2], 0, NAN), 2, [0.0, 0.0, 0.0, 0.0]),
        # Infinite -DM with finite ATR: DX is inf/inf = NaN and ADX stays NaN.
        ([10, 10, 10.5], [INF, 9, 9.5], [9.5, 9.5, 10], 2, [0.0, NAN, NAN]),
        # Flat bars: nothing moves.
        ([5.0] * 5, [5.0] * 5, [5.0] * 5, 3, [0.0] * 5),
        # Equal up and down moves count on neither side.
        ([10, 11, 12], [9, 8, 7], [9.5, 9.5, 9.5], 2, [0.0, 0.0, 0.0]),
    ],
)
def test_nan_and_infinity(high, low, close, period, expected):
    assert_bits_equal(native_adx(high, low, close, period), expected)


@pytest.mark.parametrize("value", [0.0, NAN, INF, -INF])
@pytest.mark.parametrize("period", [1, 7, 2**64 - 1])
def test_single_bar_is_zero(value, period):
    assert_bits_equal(native_adx([value], [value], [value], period), [0.0])


@pytest.mark.parametrize(
    "high, low, close, period, message",
    [
        ([], [], [], 0, "period must be > 0"),
        ([1.0], [1.0], [1.0], False, "period must be > 0"),
        ([1, 2, 3], [1, 2, 3], [1, 2], 0, "high, low, and close lengths must match"),
        ([1, 2, 3], [1, 2], [1, 2, 3], 5, "high, low, and close lengths must match"),
        ([], [1], [], 5, "high, low, and close lengths must match"),
    ],
)
def test_validation(high, low, close, period, message):
    with pytest.raises(ValueError) as info:
        native_adx(high, low, close, period)
    assert type(info.value) is ValueError
    assert info.value.args == (message,)
    assert not hasattr(info.value, "__notes__")


@pytest.mark.parametrize(
    "args, parameter",
    [
        (([1, 2, 3], [1, 2, 3], ["x", 2], 0), "close"),
        (([1, 2, 3], [1, 2], [1, 2, 3], 14.0), "period"),
        (([1, 2, 3], [1, 2], [1, 2, 3], -1), "period"),
    ],
)
def test_conversion_error_wins_over_validation(args, parameter):
    with pytest.raises((TypeError, OverflowError)) as info:
        native_adx(*args)
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


def test_period_larger_than_the_series():
    # DX[1] is 100, so ADX[1] is 100 * w.
    assert_bits_equal(native_adx(*A, 10**9)[:2], [0.0, 100.0 * (1.0 / 10**9)])


def test_prefix_property_across_the_vector_blocks():
    # Per-bar terms are made two bars at a time in blocks; every prefix length
    # (odd, even, at and past a block edge) must give the same leading values.
    n = 530
    high = [100 + ((i * 37) % 11) - ((i * 13) % 7) * 0.5 for i in range(n)]
    low = [h - 1 - (i % 5) * 0.25 for i, h in enumerate(high)]
    close = [(h + l) / 2 for h, l in zip(high, low)]
    full = native_adx(high, low, close, 14)
    for k in (1, 2, 3, 255, 256, 257, 258, 513, 529):
        assert_bits_equal(native_adx(high[:k], low[:k], close[:k], 14), full[:k])
