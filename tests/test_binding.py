import pytest

import registry
from exact import assert_bits_equal
from support import Boom, Key
from tarnwick import native_adx, native_garch11_variance, native_parabolic_sar

A_HIGH, A_LOW, A_CLOSE = registry.A


def binding_error(function, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        function(*args, **kwargs)
    error = info.value
    assert type(error) is TypeError
    assert not hasattr(error, "__notes__")
    assert len(error.args) == 1
    return error.args[0]


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (
            (),
            {},
            "native_adx() missing 4 required positional arguments: "
            "'high', 'low', 'close', and 'period'",
        ),
        (
            (A_HIGH, A_LOW),
            {},
            "native_adx() missing 2 required positional arguments: 'close' and 'period'",
        ),
        (
            (),
            {"low": A_LOW, "high": A_HIGH},
            "native_adx() missing 2 required positional arguments: 'close' and 'period'",
        ),
        (
            (A_HIGH, A_LOW, A_CLOSE),
            {},
            "native_adx() missing 1 required positional argument: 'period'",
        ),
        (
            (A_HIGH,),
            {"period": 2},
            "native_adx() missing 2 required positional arguments: 'low' and 'close'",
        ),
        (
            (),
            {"close": A_CLOSE},
            "native_adx() missing 3 required positional arguments: 'high', 'low', and 'period'",
        ),
        (
            (A_HIGH, A_LOW, A_CLOSE, 2),
            {"high": A_HIGH},
            "native_adx() got multiple values for argument 'high'",
        ),
        (
            (A_HIGH, A_LOW, A_CLOSE),
            {"periods": 2},
            "native_adx() got an unexpected keyword argument 'periods'",
        ),
        # Keywords are matched exactly: no case folding, no prefix match.
        (
            (A_HIGH, A_LOW, A_CLOSE),
            {"Period": 2},
            "native_adx() got an unexpected keyword argument 'Period'",
        ),
        (
            (A_HIGH, A_LOW, A_CLOSE, 2, 5),
            {},
            "native_adx() takes 4 positional arguments but 5 were given",
        ),
    ],
)
def test_adx_binding_messages(args, kwargs, message):
    assert binding_error(native_adx, *args, **kwargs) == message


def test_too_many_positionals_wins_over_a_stray_keyword():
    message = binding_error(native_parabolic_sar, [1], [1], 0.1, 0.2, 0.3, bogus=1)
    assert message == "native_parabolic_sar() takes 4 positional arguments but 5 were given"


def test_keywords_are_checked_in_call_order():
    # The first offending keyword decides, whatever the kind of fault.
    assert binding_error(native_garch11_variance, [1], beta=1, zeta=2, returns=[1]) == (
        "native_garch11_variance() got an unexpected keyword argument 'zeta'"
    )
    assert binding_error(native_garch11_variance, [1], returns=[1], zeta=2) == (
        "native_garch11_variance() got multiple values for argument 'returns'"
    )


def test_unexpected_keyword_wins_over_missing_arguments():
    assert binding_error(native_garch11_variance, nope=1) == (
        "native_garch11_variance() got an unexpected keyword argument 'nope'"
    )


@pytest.mark.parametrize(
    "key, shown",
    [
        ("h\u00e9", "h\u00e9"),
        ("\u9ad8", "\u9ad8"),
        # A lone surrogate has no UTF-8 form; each of its bytes shows as U+FFFD.
        ("x\ud800", "x\ufffd\ufffd\ufffd"),
    ],
)
def test_unexpected_keyword_text(key, shown):
    message = binding_error(native_parabolic_sar, [1], [1], 0.1, 0.2, **{key: 1})
    assert message == f"native_parabolic_sar() got an unexpected keyword argument '{shown}'"


def test_unprintable_keyword(monkeypatch):
    unraisable = []
    monkeypatch.setattr("sys.unraisablehook", unraisable.append)
    message = binding_error(native_garch11_variance, [1], 1, 2, 3, **{Key("lone\ud800", None): 1})
    assert (
        message
        == "native_garch11_variance() got an unexpected keyword argument '<unprintable Key object>'"
    )
    assert [type(u.exc_value) for u in unraisable] == [Boom]


SPLITS = [(f, k) for f in registry.FUNCTIONS for k in range(len(f.names) + 1)]


@pytest.mark.parametrize("function, positional", SPLITS, ids=[f"{f.name}-{k}" for f, k in SPLITS])
def test_positional_and_keyword_bind_alike(function, positional):
    # The first `positional` arguments by position, the rest by keyword in
    # reverse order.
    keywords = dict(reversed(list(function.keywords().items())[positional:]))
    result = function.native(*function.call[:positional], **keywords)
    assert_bits_equal(result, function.model(*function.converted(function.call)))


def test_binding_converts_nothing():
    class Loud(list):
        def __iter__(self):
            raise AssertionError("converted before binding succeeded")

    binding_error(native_garch11_variance, Loud([1.0]), 1, 2)
    binding_error(native_garch11_variance, Loud([1.0]), 1, 2, 3, 4)
