import ctypes
import importlib.util

import pytest

import tarnwick
from exact import assert_bits_equal
from registry import FUNCTIONS, NAMES


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


class ModuleDefSlot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]


class ModuleDef(ctypes.Structure):
    _fields_ = [
        ("ob_refcnt", ctypes.c_ssize_t),
        ("ob_type", ctypes.c_void_p),
        ("m_init", ctypes.c_void_p),
        ("m_index", ctypes.c_ssize_t),
        ("m_copy", ctypes.c_void_p),
        ("m_name", ctypes.c_char_p),
        ("m_doc", ctypes.c_char_p),
        ("m_size", ctypes.c_ssize_t),
        ("m_methods", ctypes.c_void_p),
        ("m_slots", ctypes.POINTER(ModuleDefSlot)),
    ]


def run_exec_slot_again(module):
    """Runs the module's exec slot on it once more.

    The import system never does this itself (it marks a module as
    initialised), so the slot is called through its definition.
    """
    get_def = ctypes.pythonapi.PyModule_GetDef
    get_def.restype = ctypes.POINTER(ModuleDef)
    get_def.argtypes = [ctypes.py_object]
    definition = get_def(module).contents
    assert definition.m_name == b"tarnwick" and definition.m_size == 0
    exec_slot = definition.m_slots[0]
    assert exec_slot.slot == 2  # Py_mod_exec
    assert definition.m_slots[1].slot == 0
    run = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(exec_slot.value)
    return run(module)


def test_fresh_module_is_independent():
    module = fresh_module()
    assert module is not tarnwick
    assert module.__all__ == NAMES
    for f in FUNCTIONS:
        function = getattr(module, f.name)
        assert function is not f.native
        _, args, expected = f.examples[0]
        assert_bits_equal(function(*args), expected)


@pytest.mark.parametrize(
    "replacement, message",
    [
        (("native_adx",), "'tuple' object is not an instance of 'list'"),
        (None, "'None' is not an instance of 'list'"),
        ({"a": 1}, "'dict' object is not an instance of 'list'"),
    ],
)
def test_rerun_refuses_an_export_list_that_is_not_a_list(replacement, message):
    module = fresh_module()
    module.__all__ = replacement
    del module.native_adx
    with pytest.raises(TypeError) as info:
        run_exec_slot_again(module)
    assert str(info.value) == message
    assert not hasattr(module, "native_adx")
    assert module.__all__ is replacement


def test_rerun_recreates_a_deleted_export_list():
    module = fresh_module()
    del module.__all__
    assert run_exec_slot_again(module) == 0
    assert module.__all__ == NAMES


def test_rerun_appends_names_again_and_replaces_functions():
    module = fresh_module()

    class Exports(list):
        pass

    exports = Exports(["other"])
    module.__all__ = exports
    before = module.native_parabolic_sar
    assert run_exec_slot_again(module) == 0
    assert module.__all__ is exports
    assert exports == ["other", *NAMES]
    assert module.native_parabolic_sar is not before
