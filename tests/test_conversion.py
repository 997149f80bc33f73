import array
import collections

import pytest

import registry
from exact import assert_bits_equal
from support import Boom, FloatLike, IndexLike, Seq
from tarnwick import native_adx, native_garch11_variance, native_parabolic_sar


# omega 0, alpha 0, beta 1 makes every element the seed: the mean of the
# squared returns. So the result shows exactly which values were read.
def mean_square(returns):
    return native_garch11_variance(returns, 0.0, 0.0, 1.0)


def conversion_error(expected_type, function, *args, **kwargs):
    with pytest.raises(expected_type) as info:
        function(*args, **kwargs)
    assert type(info.value) is expected_type
    return info.value


class Custom(collections.abc.Sequence):
    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize(
    "series, expected",
    [
        ([3.0, 4.0], 12.5),
        ((3, 4), 12.5),
        (range(3, 5), 12.5),
        (b"\x03\x04", 12.5),
        (bytearray(b"\x03\x04"), 12.5),
        (array.array("d", [3.0, 4.0]), 12.5),
        (memoryview(array.array("i", [3, 4])), 12.5),
        (Custom(3, 4.0), 12.5),
        (Custom(FloatLike(12.0)), 144.0),
        (Custom(IndexLike(3), True), 5.0),
        ([-1.0, -1], 1.0),
    ],
)
def test_series_kinds(series, expected):
    assert_bits_equal(mean_square(series), [expected] * len(series))


def test_bytes_read_as_byte_values():
    assert_bits_equal(native_parabolic_sar(b"ab", b"ab", 0.02, 0.2), [97.0, 97.0])


@pytest.mark.parametrize(
    "series, message",
    [
        ("ab", "Can't extract `str` to `Vec`"),
        ("", "Can't extract `str` to `Vec`"),
        (None, "'None' is not an instance of 'Sequence'"),
        ({1: 2}, "'dict' object is not an instance of 'Sequence'"),
        ({1.0}, "'set' object is not an instance of 'Sequence'"),
        ((x for x in [1.0]), "'generator' object is not an instance of 'Sequence'"),
        (iter([1.0]), "'list_iterator' object is not an instance of 'Sequence'"),
        (1.5, "'float' object is not an instance of 'Sequence'"),
        (collections.OrderedDict(), "'OrderedDict' object is not an instance of 'Sequence'"),
    ],
)
def test_series_refused(series, message):
    error = conversion_error(TypeError, native_garch11_variance, series, 1, 2, 3)
    assert error.args == (message,)
    assert error.__notes__ == ["while processing 'returns'"]


def test_str_subclass_refused_as_series():
    class Name(str):
        pass

    error = conversion_error(TypeError, native_parabolic_sar, [1.0], Name("ab"), 0.1, 0.2)
    assert str(error) == "Can't extract `str` to `Vec`"
    assert error.__notes__ == ["while processing 'low'"]


def test_nested_type_is_named_by_qualname():
    class Outer:
        class Inner:
            pass

    error = conversion_error(TypeError, native_garch11_variance, Outer.Inner(), 1, 2, 3)
    assert str(error) == (
        "'test_nested_type_is_named_by_qualname.<locals>.Outer.Inner' object is not an "
        "instance of 'Sequence'"
    )


@pytest.mark.parametrize(
    "call, parameter",
    [
        (lambda: native_garch11_variance(["x"], 1, 2, 3), "returns"),
        (lambda: native_garch11_variance([1.0], "x", 2, 3), "omega"),
        (lambda: native_garch11_variance([1.0], 1, None, 3), "alpha"),
        (lambda: native_garch11_variance([1.0], 1, 2, [3]), "beta"),
        (lambda: native_parabolic_sar([1.0], [None], 0.1, 0.2), "low"),
        (lambda: native_parabolic_sar([1.0], [1.0], "x", 0.2), "af_step"),
        (lambda: native_adx([1.0], [1.0], [1.0, "c"], 2), "close"),
    ],
)
def test_float_conversion_error_keeps_its_message_and_gains_a_note(call, parameter):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value).startswith("must be real number, not ")
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


def raiser(error):
    def method(*_):
        raise error

    return method


def test_caller_exception_reaches_the_caller_unchanged():
    error = Boom("from __float__")
    bad = type("Bad", (), {"__float__": raiser(error)})()
    with pytest.raises(Boom) as info:
        native_garch11_variance([1.0, bad], 1, 2, 3)
    assert info.value is error
    assert error.args == ("from __float__",)
    assert error.__notes__ == ["while processing 'returns'"]
    assert info.traceback[-1].name == "method"


@pytest.mark.parametrize("method", ["__iter__", "__getitem__"])
def test_exception_while_iterating_a_series(method):
    error = Boom(method)
    attributes = {"__len__": lambda self: 2, "__getitem__": lambda self, i: 1.0}
    attributes[method] = raiser(error)
    series = type("Series", (), attributes)()
    with pytest.raises(Boom) as info:
        native_parabolic_sar([1.0, 2.0], series, 0.1, 0.2)
    assert info.value is error
    assert error.__notes__ == ["while processing 'low'"]


@pytest.mark.parametrize("claimed", ["raise", 0, 1, 2**60, 2**62, 2**63 - 1])
def test_length_is_only_a_hint(claimed):
    garch = registry.GARCH11_VARIANCE
    assert_bits_equal(
        garch.native(Seq([0.01, -0.02, 0.03], claimed), 1e-6, 0.1, 0.85),
        garch.model([0.01, -0.02, 0.03], 1e-6, 0.1, 0.85),
    )


def test_note_is_added_once_per_failure():
    error = Boom("shared")
    bad = type("Bad", (), {"__float__": raiser(error)})()
    for _ in range(3):
        with pytest.raises(Boom):
            native_garch11_variance([1.0], bad, 2, 3)
    # The same exception object is raised three times; each call notes it once.
    assert error.__notes__ == ["while processing 'omega'"] * 3


@pytest.mark.parametrize(
    "value, expected",
    [(True, 1), (1, 1), (IndexLike(3), 3), (2**64 - 1, 2**64 - 1)],
)
def test_period_accepted(value, expected):
    assert_bits_equal(
        native_adx([1.0, 2.0], [0.5, 1.0], [1.0, 1.5], value),
        native_adx([1.0, 2.0], [0.5, 1.0], [1.0, 1.5], expected),
    )


@pytest.mark.parametrize(
    "value, error_type, message",
    [
        (14.0, TypeError, "'float' object cannot be interpreted as an integer"),
        ("14", TypeError, "'str' object cannot be interpreted as an integer"),
        (None, TypeError, "'NoneType' object cannot be interpreted as an integer"),
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, "int too big to convert"),
    ],
)
def test_period_refused(value, error_type, message):
    error = conversion_error(error_type, native_adx, [1.0], [1.0], [1.0], value)
    assert str(error) == message
    assert error.__notes__ == ["while processing 'period'"]


def test_period_index_exception_is_the_callers():
    error = Boom("index")
    bad = type("Bad", (), {"__index__": raiser(error)})()
    with pytest.raises(Boom) as info:
        native_adx([1.0], [1.0], [1.0], bad)
    assert info.value is error
    assert error.__notes__ == ["while processing 'period'"]


def test_minus_one_is_an_ordinary_value():
    assert_bits_equal(native_garch11_variance([-1.0], -1.0, -1, -1.0), [0.0])
    assert_bits_equal(native_parabolic_sar([-1.0, -1.0], [-1, -1.0], -1.0, -1), [-1.0, -1.0])


@pytest.mark.parametrize(
    "call, parameter",
    [
        # An earlier parameter's error wins over a later one's.
        (lambda: native_adx("h", None, [1], -1), "high"),
        (lambda: native_adx([1], [1], None, -1), "close"),
        (lambda: native_garch11_variance("r", "o", 1, 1), "returns"),
        (lambda: native_garch11_variance([1], 1, "a", "b"), "alpha"),
        # Keyword order in the call does not matter, declaration order does.
        (lambda: native_garch11_variance(beta="b", omega="o", returns=[1], alpha=1), "omega"),
        (lambda: native_parabolic_sar(af_max="m", low=[1], af_step="s", high=[1]), "af_step"),
        # Conversion comes before validation: differing lengths or a zero
        # period do not hide a conversion error.
        (lambda: native_adx([1, 2, 3], [1, 2, 3], ["x", 2], 0), "close"),
        (lambda: native_adx([1, 2, 3], [1, 2], [1, 2, 3], 14.0), "period"),
        (lambda: native_adx([1, 2, 3], [1, 2], [1, 2, 3], -1), "period"),
        (lambda: native_parabolic_sar([1, 2, 3], [1, 2], 0.02, "x"), "af_max"),
        (lambda: native_parabolic_sar([], [], "x", 0.2), "af_step"),
        (lambda: native_parabolic_sar([1], ["x", 1], None, 0.2), "low"),
    ],
)
def test_first_bad_parameter_in_declaration_order_is_reported(call, parameter):
    with pytest.raises((TypeError, OverflowError)) as info:
        call()
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


SCALARS = [
    (f, name) for f in registry.FUNCTIONS for name, kind in f.parameters if kind != registry.SERIES
]


@pytest.mark.parametrize("function, parameter", SCALARS, ids=[f"{f.name}-{p}" for f, p in SCALARS])
def test_scalars_are_converted_even_for_empty_series(function, parameter):
    args = [
        [] if kind == registry.SERIES else v
        for kind, v in zip(function.kinds, function.call, strict=True)
    ]
    with pytest.raises(TypeError) as info:
        function.native(*function.refusing(parameter, args))
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


def test_empty_series_give_an_empty_list():
    assert native_adx([], [], [], 5) == []
    assert native_parabolic_sar([], (), 0.1, 0.2) == []
    assert native_garch11_variance(b"", float("nan"), 1, 1) == []


def test_result_is_a_new_list():
    first = native_garch11_variance([0.01], 0, 0, 1)
    second = native_garch11_variance([0.01], 0, 0, 1)
    assert first == second and first is not second
