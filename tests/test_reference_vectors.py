"""The module against tests/reference_vectors.txt, every bit of every result,
NaN sign and payload included. Run on any machine to check that it gives the
same bits as every other:

    python -m pytest tests/test_reference_vectors.py
"""

import importlib.util
from pathlib import Path

import pytest

import registry
from exact import bits, from_bits

HERE = Path(__file__).resolve().parent
VECTORS = HERE / "reference_vectors.txt"
FUNCTIONS = {f.vectors_name: f for f in registry.FUNCTIONS}


def read_cases(text):
    """(function, name, arguments, expected hex bits or refusal message)."""
    cases = []
    for block in text.split("\ncase ")[1:]:
        head, *lines = block.strip("\n").split("\n")
        function, name = head.split(" ")
        kinds = dict(FUNCTIONS[function].parameters)
        args = []
        for line in lines[:-1]:
            param, *tokens = line.split(" ")
            if kinds[param] == registry.INDEX:
                args.append(int(tokens[0]))
            elif kinds[param] == registry.FLOAT:
                args.append(from_bits(tokens[0]))
            else:
                args.append([from_bits(t) for t in tokens])
        outcome, _, rest = lines[-1].partition(" ")
        if outcome == "expect":
            expected = [t.ljust(16, "0") for t in rest.split(" ")] if rest else []
        else:
            assert outcome == "refuse", lines[-1]
            expected = rest
        cases.append(pytest.param(function, args, expected, id=f"{function}-{name}"))
    return cases


CASES = read_cases(VECTORS.read_text())


def test_every_function_has_cases():
    assert {case.values[0] for case in CASES} == set(FUNCTIONS)
    assert len(CASES) >= 100


@pytest.mark.parametrize("function, args, expected", CASES)
def test_module_gives_the_recorded_bits(function, args, expected):
    if isinstance(expected, str):
        with pytest.raises(ValueError) as info:
            FUNCTIONS[function].native(*args)
        assert info.value.args == (expected,)
    else:
        assert bits(FUNCTIONS[function].native(*args)) == expected


def test_file_is_what_the_models_give():
    generator = HERE.parent / "scripts" / "reference_vectors.py"
    if not generator.exists():
        pytest.skip("the generator is not beside these tests")
    spec = importlib.util.spec_from_file_location("reference_vectors", generator)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    assert module.render() == VECTORS.read_text()
