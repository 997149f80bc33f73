import pytest

from exact import assert_bits_equal
from tarnwick import native_adx

NAN = float("nan")
INF = float("inf")


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
