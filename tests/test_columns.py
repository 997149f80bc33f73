"""tarnwick_arrays with columns: pandas, polars and Arrow objects handed to
tarnwick_frames, one series per column (axis=0), and NaN bars left out or
refused (nan_policy)."""

import pytest

from exact import NAN, bits
from registry import FUNCTIONS
from support import run_fresh

np = pytest.importorskip("numpy")

# A stand-in for tarnwick_frames that records each bound call it is handed.
FAKE_FRAMES = """
calls = []
class Handed(Exception):
    pass
def _unwrap(function, names, args, kwargs):
    calls.append((function, names, list(args), dict(kwargs)))
    raise Handed
"""


def test_column_containers_are_handed_to_tarnwick_frames(tmp_path):
    (tmp_path / "tarnwick_frames.py").write_text(FAKE_FRAMES)
    out = run_fresh(
        """
        import importlib.util, sys
        import numpy as np
        import tarnwick_arrays as ta
        from registry import FUNCTIONS

        sys.path.insert(0, sys.argv[1])

        def typed(module, **attributes):
            return type("Column", (), {"__module__": module, **attributes})()

        class Near(list):
            __module__ = "pandasx"  # only starts alike

        # Arrays, sequences and buffers are read as they always were.
        for f in FUNCTIONS:
            for make in (np.array, list, tuple, Near, memoryview):
                f.array(*[make(np.array(s)) for s in f.call[: f.series_count]], *f.scalars)
        assert "tarnwick_frames" not in sys.modules

        containers = [
            typed("pandas"), typed("polars.series.series"), typed("pyarrow.lib"),
            typed("elsewhere", __arrow_c_array__=None), typed("elsewhere", __arrow_c_stream__=1),
        ]
        for library, make in [("pandas", "DataFrame"), ("polars", "Series"), ("pyarrow", "array")]:
            if importlib.util.find_spec(library):
                containers.append(getattr(__import__(library), make)([1.0, 2.0]))
        for f in FUNCTIONS:
            for i in range(f.series_count):
                for column in containers:
                    args = list(f.call)
                    args[i] = column
                    import tarnwick_frames
                    try:  # bound first: the last given by keyword comes in its place
                        f.array(*args[:-1], **{f.names[-1]: args[-1]}, out=None)
                    except tarnwick_frames.Handed:
                        pass
                    name, names, given, kwargs = tarnwick_frames.calls.pop()
                    assert name == f.array.__name__
                    assert names == tuple(f.names[: f.series_count])
                    assert len(given) == len(args) and all(g is a for g, a in zip(given, args))
                    assert kwargs == {"out": None}
        # Imported once and kept: the call needs it no more in sys.modules.
        frames = sys.modules.pop("tarnwick_frames")
        try:
            ta.adx(containers[0], [1.0], [1.0], 2)
        except frames.Handed:
            assert frames.calls.pop()[0] == "adx"
        # Binding comes first.
        try:
            ta.adx(containers[0])
        except TypeError as e:
            print(e)
        """,
        str(tmp_path),
    )
    assert out == "adx() missing 3 required positional arguments: 'low', 'close', and 'period'\n"


def test_without_tarnwick_frames_a_column_is_an_import_error():
    out = run_fresh(
        """
        import sys
        import tarnwick_arrays as ta
        sys.modules["tarnwick_frames"] = None  # as if not installed
        Column = type("Column", (), {"__module__": "pandas.core.series"})
        try:
            ta.garch11_variance(Column(), 0.0, 0.0, 0.0)
        except ImportError as e:
            print(type(e).__name__, type(e.__cause__).__name__, e, sep="\\n")
        """
    )
    assert out == (
        "ImportError\nModuleNotFoundError\ntarnwick_arrays needs tarnwick_frames for pandas, "
        "polars and Arrow columns: pip install 'tarnwick[frames]'\n"
    )


# --- axis and nan_policy ------------------------------------------------------

BY_FUNCTION = pytest.mark.parametrize("f", FUNCTIONS, ids=lambda f: f.name)


def rows_of(f, rows):
    """Each of the call's series repeated over `rows` rows, rolled by one bar
    a row so that their NaNs fall on different bars and series."""
    return [
        np.array([np.roll(s, r) for r in range(rows)]).reshape(rows, len(s))
        for s in f.call[: f.series_count]
    ]


def assert_same_bits(actual, expected):
    assert actual.dtype == np.float64 and actual.shape == np.shape(expected)
    assert bits(actual.ravel().tolist()) == bits(np.ravel(expected).tolist())


@BY_FUNCTION
@pytest.mark.parametrize("rows", [0, 1, 3, 11, 17])
def test_axis_0_computes_each_column_as_the_transposed_rows(f, rows):
    series = [s.T for s in rows_of(f, rows)]  # (bars, rows): one series per column
    expected = f.array(*[np.ascontiguousarray(s.T) for s in series], *f.scalars).T
    assert_same_bits(f.array(*series, *f.scalars, axis=0), expected)
    assert_same_bits(f.array(*series, *f.scalars, axis=-2), expected)
    out = np.full((len(series[0]), 2 * rows), 7.0)[:, ::2]  # strided
    assert f.array(*series, *f.scalars, axis=0, out=out) is out
    assert_same_bits(out, expected)
    one = series[0][:, 0] if rows else np.ones(3)
    rest = [s[:, 0] for s in series[1:]] if rows else [np.ones(3)] * (f.series_count - 1)
    assert_same_bits(f.array(one, *rest, *f.scalars, axis=0), f.array(one, *rest, *f.scalars))


@BY_FUNCTION
@pytest.mark.parametrize(
    ("axis", "ndim", "error", "message"),
    [
        (2, 2, ValueError, "axis 2 is out of bounds for array of dimension 2"),
        (-3, 2, ValueError, "axis -3 is out of bounds for array of dimension 2"),
        (1, 1, ValueError, "axis 1 is out of bounds for array of dimension 1"),
        (2**70, 1, ValueError, f"axis {2**70} is out of bounds for array of dimension 1"),
        ("0", 2, TypeError, "'str' object cannot be interpreted as an integer"),
        (0.0, 1, TypeError, "'float' object cannot be interpreted as an integer"),
    ],
)
def test_an_invalid_axis_is_refused_in_numpys_words(f, axis, ndim, error, message):
    series = rows_of(f, 2) if ndim == 2 else [np.array(s) for s in f.call[: f.series_count]]
    with pytest.raises(error) as info:
        f.array(*series, *f.scalars, axis=axis)
    if error is ValueError:
        assert str(info.value) == f"{f.array.__name__}(): {message}"
    else:
        assert str(info.value) == message and info.value.__notes__ == ["while processing 'axis'"]


def omitted(f, series, **keywords):
    """tarnwick on the bars where no series is NaN, put back at those bars."""
    present = ~np.any(np.isnan(series), axis=0)
    result = np.full(len(present), NAN)
    compact = [list(s[present]) for s in series]
    result[present] = f.native(*compact, *f.scalars, **keywords)
    return result


@BY_FUNCTION
def test_omit_is_tarnwick_on_the_present_bars(f):
    rows = rows_of(f, 4)
    rows[0][2] = NAN  # a row with no bar present
    rows[-1][3, 1] = NAN  # and one more, in the last series
    expected = np.array([omitted(f, [s[r] for s in rows]) for r in range(4)])
    assert_same_bits(f.array(*rows, *f.scalars, nan_policy="omit"), expected)
    columns = [np.asfortranarray(s).T for s in rows]
    assert_same_bits(f.array(*columns, *f.scalars, axis=0, nan_policy="omit"), expected.T)
    assert_same_bits(f.array(*[s[1] for s in rows], *f.scalars, nan_policy="omit"), expected[1])
    assert_same_bits(f.array(*rows, *f.scalars, nan_policy="propagate"), f.array(*rows, *f.scalars))
    if f.name == "native_garch11_variance":
        seeded = f.array(rows[0][1], *f.scalars, nan_policy="omit", seed=0.5)
        present = ~np.isnan(rows[0][1])
        assert_same_bits(seeded[present], f.array(rows[0][1][present], *f.scalars, seed=0.5))
    for args, message in f.refusals:  # the kernel's own refusals stay
        with pytest.raises(ValueError, match=f"^{message}$"):
            f.array(*args, nan_policy="omit")


@BY_FUNCTION
def test_raise_names_the_first_series_holding_nan(f):
    clean = [np.ones((2, 3)) for _ in range(f.series_count)]
    assert_same_bits(f.array(*clean, *f.scalars, nan_policy="raise"), f.array(*clean, *f.scalars))
    out = np.zeros((2, 3))
    clean[-1][1, 2] = NAN
    if f.series_count > 1:
        clean[1][1, 1] = NAN
    with pytest.raises(ValueError) as info:
        f.array(*clean, *f.scalars, nan_policy="raise", out=out)
    name = f.names[min(1, f.series_count - 1)]
    where = "(1, 1)" if f.series_count > 1 else "(1, 2)"
    assert str(info.value) == (
        f"{f.array.__name__}(): '{name}' is NaN at index {where} (nan_policy='raise')"
    )
    assert not out.any()  # refused before anything is written
    for policy in ("Omit", None, b"omit"):
        with pytest.raises(ValueError) as info:
            f.array(*clean, *f.scalars, nan_policy=policy)
        assert str(info.value) == (
            f"{f.array.__name__}(): nan_policy must be 'propagate', 'omit' or 'raise'"
        )


# --- the GARCH seed made NaN -------------------------------------------------

GARCH = next(f for f in FUNCTIONS if f.name == "native_garch11_variance")
FELL_BACK = (
    "(the mean of the squared returns) fell back to 1e-8; drop the NaN bars first "
    "(returns.dropna()) or pass nan_policy='omit'"
)
ONE, SOME, SPLIT = (
    "holds NaN, so its seed",
    "hold NaN, so their seeds",
    [[NAN, 0.1, 1], [2, NAN, 1]],
)
# Rows of 200 returns, scanned in blocks of 64 and a tail of 8: one NaN in
# each of five rows (first, last of a block, first of the next, -NaN, in the
# tail), then rows of infinities and of plain returns, which hold none.
LONG = [[0.01] * 200 for _ in range(7)]
for row, (at, value) in enumerate([(0, NAN), (63, NAN), (64, NAN), (130, -NAN), (195, NAN)]):
    LONG[row][at] = value
LONG[5][70], LONG[5][199] = float("inf"), -float("inf")


@pytest.mark.parametrize(
    ("returns", "keywords", "warned"),
    [
        ([NAN, 0.01], {}, f"'returns' {ONE}"),
        ([[NAN, 0.1, 1], [2, 0.1, 1]], {"axis": 0}, f"1 of 3 series of 'returns' {ONE}"),
        (SPLIT, {"axis": 0}, f"2 of 3 series of 'returns' {SOME}"),
        (SPLIT, {}, f"2 of 2 series of 'returns' {SOME}"),  # one per row: no frame
        (LONG, {}, f"5 of 7 series of 'returns' {SOME}"),
        ([0.03, 0.01], {}, None),  # no NaN, no fallback
        ([NAN, 0.01], {"nan_policy": "omit"}, None),  # left out, not seeded from
        ([NAN, 0.01], {"seed": 0.5}, None),  # not seeded from the returns
    ],
)
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_a_seed_made_nan_by_the_returns_is_warned_of_at_the_callers_line(returns, keywords, warned):
    import warnings

    pd = pytest.importorskip("pandas")
    returns = np.array(returns, dtype=float)
    expected = bits(GARCH.array(returns, *GARCH.scalars, **keywords).ravel().tolist())
    calls = [(returns, keywords)]
    if returns.ndim == 1 or keywords.get("axis") == 0:  # as pandas too: a series per column
        rest = {k: v for k, v in keywords.items() if k != "axis"}
        calls.append((pd.DataFrame(returns) if returns.ndim == 2 else pd.Series(returns), rest))
    for given, given_keywords in calls:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            result = GARCH.array(given, *GARCH.scalars, **given_keywords)
            GARCH.native(list(np.ravel(returns)), *GARCH.scalars)  # tarnwick stays silent
        assert bits(np.ravel(result).tolist()) == expected
        assert [(w.category, w.filename, str(w.message)) for w in caught] == (
            []
            if warned is None
            else [(RuntimeWarning, __file__, f"garch11_variance(): {warned} {FELL_BACK}")]
        )
