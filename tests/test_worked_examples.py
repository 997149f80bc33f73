"""The worked examples and refused arguments, from the module and from its
pure-Python models: a slip in a model cannot then hide the same slip in a
kernel."""

import pytest

import models
import registry
from exact import assert_bits_equal

EXAMPLES = [
    pytest.param(f, args, expected, id=f"{f.name}-{name}")
    for f in registry.FUNCTIONS
    for name, args, expected in f.examples
]
REFUSALS = [
    pytest.param(f, args, message, id=f"{f.name}-{i}")
    for f in registry.FUNCTIONS
    for i, (args, message) in enumerate(f.refusals)
]


@pytest.mark.parametrize("function, args, expected", EXAMPLES)
def test_worked_example(function, args, expected):
    assert_bits_equal(function.native(*args), expected)


@pytest.mark.parametrize("function, args, expected", EXAMPLES)
def test_model_reproduces_worked_example(function, args, expected):
    assert_bits_equal(function.model(*function.converted(args)), expected)


@pytest.mark.parametrize("function, args, message", REFUSALS)
def test_refused(function, args, message):
    with pytest.raises(ValueError) as info:
        function.native(*args)
    assert type(info.value) is ValueError
    assert info.value.args == (message,)
    assert not hasattr(info.value, "__notes__")


@pytest.mark.parametrize("function, args, message", REFUSALS)
def test_model_refuses_alike(function, args, message):
    with pytest.raises(models.Refused) as info:
        function.model(*function.converted(args))
    assert str(info.value) == message
