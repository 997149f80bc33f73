import importlib.util

import pytest

import tarnwick
from exact import assert_bits_equal
from registry import FUNCTIONS, NAMES
from support import run_fresh


def test_exports_the_functions_in_order():
    assert tarnwick.__all__ == NAMES
    assert type(tarnwick.__all__) is list
    assert tarnwick.__doc__ == ""


def test_star_import_binds_exactly_the_functions():
    namespace = {}
    exec("from tarnwick import *", namespace)
    namespace.pop("__builtins__")
    assert namespace == {f.name: f.native for f in FUNCTIONS}


@pytest.mark.parametrize("entry", FUNCTIONS, ids=NAMES)
def test_function_surface(entry):
    function = entry.native
    assert function.__name__ == entry.name
    assert function.__qualname__ == entry.name
    assert function.__module__ == "tarnwick"
    assert function.__text_signature__ == entry.signature
    assert function.__doc__ is None
    assert function.__self__ is None


def fresh_module():
    """A second module object from the same extension, with its exec slot run."""
    spec = importlib.util.find_spec("tarnwick")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_fresh_module_is_independent():
    module = fresh_module()
    assert module is not tarnwick
    assert module.__all__ == NAMES
    for f in FUNCTIONS:
        function = getattr(module, f.name)
        assert function is not f.native
        _, args, expected = f.examples[0]
        assert_bits_equal(function(*args), expected)


# What the import system does to a module already imported: importlib.reload
# runs its loader again on the same object, which must neither add its names
# a second time nor replace its functions.
RELOAD = """
import importlib
import tarnwick

exports = tarnwick.__all__
functions = {name: getattr(tarnwick, name) for name in exports}
assert importlib.reload(tarnwick) is tarnwick
assert tarnwick.__all__ is exports, tarnwick.__all__
assert {name: getattr(tarnwick, name) for name in exports} == functions
print(*exports)
"""


def test_reload_leaves_the_module_as_it_was():
    assert run_fresh(RELOAD).split() == NAMES
