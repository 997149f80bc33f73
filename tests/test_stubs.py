"""The type stubs are what tools/stubs.py writes from the built modules, and the
catalogue it reads describes the functions as they are."""

import importlib
import importlib.util
import inspect
from pathlib import Path

import pytest

import tarnwick_arrays
import tarnwick_stream
from support import run_fresh

ROOT = Path(__file__).resolve().parent.parent
GENERATOR = ROOT / "tools" / "stubs.py"
CATALOGUE = {stem: rest for stem, *rest in tarnwick_arrays._catalogue}


def frames_polars():
    pytest.importorskip("polars")
    return importlib.import_module("tarnwick_frames.polars")


def generator():
    if not GENERATOR.exists():
        pytest.skip("tools/ is not beside the tests (an installed wheel's run)")
    spec = importlib.util.spec_from_file_location("stubs", GENERATOR)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_committed_stubs_are_the_generated_ones():
    generator()
    # The generator lays its output out with ruff, which the test extra brings.
    pytest.importorskip("ruff")
    proc = run_fresh(None, str(GENERATOR), "--check", cwd=ROOT, timeout=300, check=False)
    assert proc.returncode == 0, proc.stdout + proc.stderr


@pytest.mark.parametrize("stem", sorted(CATALOGUE))
def test_catalogue_describes_the_array_function(stem):
    parameters, outputs, type_name = CATALOGUE[stem]
    signature = inspect.signature(getattr(tarnwick_arrays, stem))
    positional = [
        p.name for p in signature.parameters.values() if p.kind is p.POSITIONAL_OR_KEYWORD
    ]
    assert positional == [name for name, _ in parameters]
    kinds = [kind for _, kind in parameters]
    assert kinds[0] == "series"
    assert set(kinds) <= {"series", "real", "count", "real or one per series"}
    assert kinds == sorted(kinds, key=lambda k: k != "series"), "series parameters come first"
    if outputs:
        assert getattr(tarnwick_arrays, type_name)._fields == outputs
    else:
        # A single-valued function has a stream type of that name.
        stream = getattr(tarnwick_stream, type_name)
        scalars = [name for name, kind in parameters if kind != "series"]
        assert [p for p in inspect.signature(stream).parameters if p in scalars] == scalars


@pytest.mark.parametrize("stem", sorted(CATALOGUE))
def test_polars_expression_takes_the_array_functions_parameters(stem):
    parameters = CATALOGUE[stem][0]
    function = getattr(frames_polars(), stem)
    names = [name for name, _ in parameters]
    assert list(inspect.signature(function).parameters) == [*names, "keywords"]
    with pytest.raises(TypeError):
        function(*names[:-1])
    expression = function(*names)
    assert expression.meta.output_name() == stem


def test_polars_module_lists_every_function():
    assert frames_polars().__all__ == sorted(CATALOGUE)


def test_a_new_entry_gets_its_overloads(monkeypatch):
    stubs = generator()

    # A name no entry has: the generator takes whatever the catalogue lists.
    def smooth(close, period, *, out=None, axis=-1, nan_policy="propagate", by=None): ...

    entry = ("smooth", (("close", "series"), ("period", "count")), (), "Smooth")
    monkeypatch.setattr(tarnwick_arrays, "_catalogue", (*tarnwick_arrays._catalogue, entry))
    monkeypatch.setattr(tarnwick_arrays, "smooth", smooth, raising=False)
    text = stubs.array_functions(stubs.catalogue(), {})
    assert text.count("def smooth(close: _") == 3
    assert "def smooth(close: _Column, period: SupportsIndex, *, out: _Out | None = None, " in text

    def unknown(close, period, *, window=3): ...

    monkeypatch.setattr(tarnwick_arrays, "smooth", unknown)
    with pytest.raises(SystemExit, match="option 'window' has no type"):
        stubs.array_functions(stubs.catalogue(), {})
