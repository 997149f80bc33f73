"""The installed type stubs, as mypy --strict and pyright in strict mode see them."""

import ast
import doctest
import re
import sys
import textwrap
from importlib import metadata
from pathlib import Path

import pytest

from support import run_fresh

# Calls the way the README shows them. Every line must type-check.
GOOD = textwrap.dedent(
    """\
    from decimal import Decimal
    from fractions import Fraction

    import numpy as np
    import tarnwick
    from tarnwick import native_adx, native_garch11_variance, native_parabolic_sar

    high = [10.0, 11.0, 12.0, 11.5]
    low = [9.0, 9.5, 10.5, 10.0]
    close = (9.5, 10.5, 11.5, 10.5)

    adx: list[float] = tarnwick.native_adx(high, low, close, 2)
    sar: list[float] = native_parabolic_sar(high, low, 0.25, 0.5)
    var: list[float] = native_garch11_variance([0.03], 1e-05, 0.1, 0.85)

    native_adx(high=high, low=low, close=close, period=np.int64(14))
    native_adx([10, 11], range(9, 11), [True, False], True)
    native_parabolic_sar(
        np.array(high), np.asarray(low, dtype=np.float32), Fraction(1, 50), Decimal("0.2")
    )
    native_garch11_variance(np.diff(np.log(np.array(close))), np.float64(1e-6), 0.1, beta=1)
    native_garch11_variance(b"ab", 0, 0, 1)
    arr = np.asarray(tarnwick.native_adx(np.array(high), np.array(low), np.array(close), 2))
    first: float = adx[0] + sar[0] + var[0]
    names: list[str] = tarnwick.__all__

    import tarnwick_arrays
    from numpy.typing import NDArray

    rows = np.array([high, high])
    out: NDArray[np.float64] = tarnwick_arrays.adx(rows, rows, rows, 14)
    tarnwick_arrays.parabolic_sar(rows.astype(np.float32), rows, 0.02, af_max=0.2, out=out)
    tarnwick_arrays.garch11_variance(np.ones(3, dtype=np.int64), 1e-6, 0.1, 0.85, out=None)
    tarnwick_arrays.adx(high, low, close, np.int64(14))

    import tarnwick_stream

    stream = tarnwick_stream.Adx(14)
    history: list[float] = stream.extend(high, low, close)
    bar: float = stream.update(12.5, 11.0, 12.0) + stream.peek(13, 12, 12.5)
    last: float | None = stream.value
    symbols = tarnwick_stream.ParabolicSar(0.02, 0.2, symbols=2)
    now: NDArray[np.float64] = symbols.update(rows[:, 0], rows[:, 1], where=np.array([True, False]))
    garch = tarnwick_stream.Garch11Variance(1e-6, 0.1, 0.85, seed=1e-4)
    seed: float | None = garch.seed
    """
)

# Misuse: each line marked "# error" must be reported, and no other.
BAD = textwrap.dedent(
    """\
    import tarnwick

    xs = [1.0, 2.0]
    tarnwick.native_adx(xs, xs, xs, 14.0)  # error
    tarnwick.native_adx("abc", xs, xs, 14)  # error
    tarnwick.native_adx(xs, xs, xs)  # error
    tarnwick.native_parabolic_sar(xs, xs, "0.02", 0.2)  # error
    tarnwick.native_parabolic_sar({0: 1.0}, xs, 0.02, 0.2)  # error
    tarnwick.native_garch11_variance(iter(xs), 0.0, 0.1, 0.8)  # error
    tarnwick.native_garch11_variance(xs, 0.0, 0.1, 0.8, 0.0)  # error
    tarnwick.native_garch11_variance(xs, 0.0, 0.1, gamma=0.8)  # error
    text: str = tarnwick.native_garch11_variance(xs, 0.0, 0.1, 0.8)  # error
    n: int = tarnwick.native_adx(xs, xs, xs, 2)[0]  # error
    tarnwick.native_atr(xs, xs, xs, 14)  # error
    import tarnwick_arrays
    tarnwick_arrays.adx(xs, xs, xs, 14, None)  # error
    tarnwick_arrays.garch11_variance(xs, 0.0, 0.1, 0.8, out=xs)  # error
    s: str = tarnwick_arrays.parabolic_sar(xs, xs, 0.02, 0.2)  # error
    tarnwick_arrays.directional_movement(xs, xs, xs, 14, out=None)  # error
    import tarnwick_stream
    tarnwick_stream.Adx(14.0)  # error
    one: str = tarnwick_stream.Adx(3).update(1.0, 1.0, 1.0)  # error
    many: float = tarnwick_stream.Adx(3, symbols=2).update(xs, xs, xs)  # error
    """
)


# Each container a user may hand tarnwick_arrays, and each kind of stream:
# every reveal_type must show the type after "# ->", to both checkers (names
# without their modules), with no error anywhere.
REVEALED = textwrap.dedent(
    """\
    import numpy as np
    import pandas as pd
    import polars as pl
    import pyarrow as pa
    import tarnwick_arrays as ta
    import tarnwick_frames.polars as tfp
    import tarnwick_stream as ts

    h = np.array([3.0, 2.0, 4.0])
    s = pd.Series(h)
    frame = pd.DataFrame({"a": h})
    chunked = pa.chunked_array([h])

    def arrow(a: pa.DoubleArray) -> None:
        reveal_type(ta.garch11_variance(a, 1e-6, 0.1, 0.8))  # -> Array[Any]

    reveal_type(ta.adx(h, h, h, 14))  # -> ndarray[tuple[Any, ...], dtype[float64]]
    reveal_type(ta.adx([3.0], (2.0,), [4], 14))  # -> ndarray[tuple[Any, ...], dtype[float64]]
    reveal_type(ta.adx(s, s, s, 14, nan_policy="omit"))  # -> Series[Any]
    reveal_type(ta.parabolic_sar(frame, frame, 0.02, 0.2))  # -> DataFrame
    reveal_type(ta.parabolic_sar(pl.Series(h), pl.Series(h), 0.02, 0.2))  # -> Series
    reveal_type(ta.garch11_variance(pl.DataFrame({"a": h}), 1e-6, 0.1, 0.8))  # -> DataFrame
    reveal_type(ta.garch11_variance(chunked, 1e-6, 0.1, 0.8))  # -> ChunkedArray[Any]
    one, many = ts.Adx(14), ts.Adx(14, symbols=2)
    reveal_type(one.bars)  # -> int
    reveal_type(one.value)  # -> float | None
    reveal_type(many.bars)  # -> list[int]
    reveal_type(many.value)  # -> ndarray[tuple[Any, ...], dtype[float64]]
    reveal_type(ts.ParabolicSar(0.02, 0.2).bars)  # -> int
    reveal_type(ts.Garch11Variance(1e-6, 0.1, 0.8).seed)  # -> float | None
    garch = ts.Garch11Variance(1e-6, 0.1, 0.8, symbols=2)
    reveal_type(garch.seed)  # -> ndarray[tuple[Any, ...], dtype[float64]]
    dm = ta.directional_movement(h, h, h, 14)
    reveal_type(dm.plus_di)  # -> ndarray[tuple[Any, ...], dtype[float64]]
    reveal_type(ta.parabolic_sar_trend(s, s, 0.02, 0.2).trend)  # -> Series[Any]
    reveal_type(many.plus_di)  # -> ndarray[tuple[Any, ...], dtype[float64]]
    reveal_type(ts.ParabolicSar(0.02, 0.2).trend)  # -> float | None
    # The module's own parameters are partly unannotated, which strict pyright
    # reports on use; mypy --strict takes it as it is.
    lazy: pl.Expr = tfp.adx("High", "Low", "Close", 14)  # pyright: ignore[reportUnknownMemberType]
    """
)


def run_mypy(path: Path) -> tuple[int, set[int], str]:
    pytest.importorskip("mypy")
    proc = run_fresh(
        None,
        "-m",
        "mypy",
        "--strict",
        "--no-incremental",
        "--cache-dir",
        str(path.parent / ".mypy_cache"),
        path.name,
        cwd=path.parent,
        timeout=600,
        check=False,
    )
    lines = {
        int(m[1]) for m in re.finditer(rf"^{re.escape(path.name)}:(\d+): error:", proc.stdout, re.M)
    }
    return proc.returncode, lines, proc.stdout + proc.stderr


def run_pyright(path: Path) -> tuple[int, set[int], str]:
    pytest.importorskip("pyright")
    (path.parent / "pyrightconfig.json").write_text('{"typeCheckingMode": "strict"}')
    proc = run_fresh(
        None,
        "-m",
        "pyright",
        "--pythonpath",
        sys.executable,
        "--pythonversion",
        "{}.{}".format(*sys.version_info[:2]),
        path.name,
        cwd=path.parent,
        timeout=600,
        check=False,
    )
    lines = {int(m[1]) for m in re.finditer(r"^\s+\S+:(\d+):\d+ - error:", proc.stdout, re.M)}
    return proc.returncode, lines, proc.stdout + proc.stderr


CHECKERS = [pytest.param(run_mypy, id="mypy"), pytest.param(run_pyright, id="pyright")]


@pytest.mark.parametrize("check", CHECKERS)
def test_documented_calls_type_check(check, tmp_path):
    user = tmp_path / "user_code.py"
    user.write_text(GOOD)
    code, errors, output = check(user)
    assert (code, errors) == (0, set()), output


def revealed(output: str) -> dict[int, str]:
    """Line -> revealed type, as mypy or pyright prints it, without module names."""
    found = re.finditer(
        r':(\d+):(?:\d+ - information: Type of ".*" is|\s*note: Revealed type is) "(.*)"',
        output,
    )
    return {int(m[1]): re.sub(r"\b(?:\w+\.)+(?=\w)", "", m[2]) for m in found}


@pytest.mark.parametrize("check", CHECKERS)
def test_each_container_and_stream_has_its_own_type(check, tmp_path):
    # pandas and pyarrow carry their types in separate distributions.
    for distribution in ("pandas-stubs", "polars", "pyarrow-stubs"):
        try:
            metadata.version(distribution)
        except metadata.PackageNotFoundError:
            pytest.skip(f"{distribution} is not installed")
    user = tmp_path / "user_code.py"
    user.write_text(REVEALED)
    lines = REVEALED.splitlines()
    expected = {n: line.split("# -> ")[1] for n, line in enumerate(lines, 1) if "# -> " in line}
    code, _, output = check(user)
    assert code == 0, output
    assert revealed(output) == expected, output


@pytest.mark.parametrize("check", CHECKERS)
def test_misuse_is_reported(check, tmp_path):
    user = tmp_path / "user_code.py"
    user.write_text(BAD)
    expected = {n for n, line in enumerate(BAD.splitlines(), start=1) if line.endswith("# error")}
    code, errors, output = check(user)
    assert code != 0
    assert errors == expected, output


@pytest.mark.parametrize("module", ["tarnwick", "tarnwick_arrays", "tarnwick_stream"])
def test_stubs_match_the_module(module, tmp_path):
    pytest.importorskip("mypy")
    run_fresh(None, "-m", "mypy.stubtest", module, cwd=tmp_path, timeout=600)


def installed_file(name: str) -> Path:
    """A file the tarnwick distribution installed, by its path in the wheel."""
    files = {str(f): f for f in metadata.files("tarnwick") or []}
    assert name in files, f"{name} is not in the installed wheel"
    return Path(files[name].locate())


@pytest.mark.parametrize("name", ["native_adx", "native_parabolic_sar", "native_garch11_variance"])
def test_stub_docstrings_document_and_run(name):
    # IDEs show the stubs' docstrings: the module itself carries none.
    import tarnwick

    tree = ast.parse(installed_file("tarnwick-stubs/__init__.pyi").read_text())
    functions = {f.name: f for f in tree.body if isinstance(f, ast.FunctionDef)}
    doc = ast.get_docstring(functions[name])
    assert doc is not None
    params = [a.arg for a in functions[name].args.args]
    assert [p for p in params if f"{p}:" not in doc and f"{p}," not in doc] == []
    assert "Returns " in doc and "Raises " in doc
    test = doctest.DocTestParser().get_doctest(doc, {"tarnwick": tarnwick}, name, None, 0)
    assert len(test.examples) >= 1
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    assert runner.run(test).failed == 0
    # The module's own surface stays bare.
    assert getattr(tarnwick, name).__doc__ is None


def test_frames_is_marked_typed():
    # Without the marker, mypy --strict refuses `import tarnwick_frames.polars`.
    assert installed_file("tarnwick_frames/py.typed").read_bytes() == b""
