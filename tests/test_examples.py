"""The worked examples, to the bit, from the module and from its pure-Python
models: a slip in a model cannot then hide the same slip in a kernel."""

import pytest

from exact import assert_bits_equal
import registry

EXAMPLES = [
    pytest.param(f, args, expected, id=f"{f.name}-{i}")
    for f in registry.FUNCTIONS
    for i, (args, expected) in enumerate(f.examples)
]


@pytest.mark.parametrize("function, args, expected", EXAMPLES)
def test_worked_example(function, args, expected):
    assert_bits_equal(function.native(*args), expected)


@pytest.mark.parametrize("function, args, expected", EXAMPLES)
def test_model_reproduces_worked_example(function, args, expected):
    assert_bits_equal(function.model(*function.converted(args)), expected)
