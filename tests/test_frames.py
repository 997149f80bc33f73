"""tarnwick_frames: every container, with and without nulls, gives tarnwick_arrays'
values bit for bit, in the container it came in."""

from decimal import Decimal

import numpy as np
import pytest

from exact import NAN, bits
from registry import ARRAYS_ONLY, FUNCTIONS, MANY_VALUED
from support import run_fresh

pd = pytest.importorskip("pandas")
pl = pytest.importorskip("polars")
pa = pytest.importorskip("pyarrow")

import tarnwick_frames  # noqa: E402
import tarnwick_frames.polars  # noqa: E402

NULLS = np.zeros(10, bool)
NULLS[[3, 7]] = True  # the registry's series have ten bars


class ArrowExporter:
    """A third party's object that gives its data through the Arrow PyCapsule interface."""

    def __init__(self, array, stream):
        self.array = array
        if stream:
            self.__arrow_c_stream__ = lambda requested_schema=None: pa.chunked_array(
                [array]
            ).__arrow_c_stream__(requested_schema)
        else:
            self.__arrow_c_array__ = array.__arrow_c_array__


# How each container is made from float64 values and a null mask, and what it gives back.
CONTAINERS = {
    "pandas Float64": (
        lambda v, m: pd.Series(pd.arrays.FloatingArray(v, m), index=DATES),
        pd.Series,
    ),
    "pandas float64[pyarrow]": (
        lambda v, m: pd.Series(pd.arrays.ArrowExtensionArray(pa.array(v, mask=m)), index=DATES),
        pd.Series,
    ),
    "polars": (lambda v, m: pl.Series(pa.array(v, mask=m)), pl.Series),
    "pyarrow Array": (lambda v, m: pa.array(v, mask=m), pa.Array),
    "pyarrow ChunkedArray": (
        lambda v, m: pa.chunked_array([pa.array(v[:4], mask=m[:4]), pa.array(v[4:], mask=m[4:])]),
        pa.ChunkedArray,
    ),
    "Arrow array capsule": (lambda v, m: ArrowExporter(pa.array(v, mask=m), False), pa.Array),
    "Arrow stream capsule": (
        lambda v, m: ArrowExporter(pa.array(v, mask=m), True),
        pa.ChunkedArray,
    ),
    # numpy's float64: NaN is a value and there are no nulls.
    "pandas float64": (lambda v, m: pd.Series(v, index=DATES), pd.Series),
}
DATES = pd.date_range("2024-01-01", periods=10)


def short(f):
    return f.name.removeprefix("native_")


def series_args(f, make, masks=None):
    """The registry's valid call with each series made by `make`."""
    masks = masks or {}
    return f.call_on(
        {
            n: make(np.array(f.call[i]), masks.get(n, NULLS & False))
            for i, n in enumerate(f.names[: f.series_count])
        }
    )


def expected(f, masks=None, **kwargs):
    arrays = series_args(f, lambda v, m: np.where(m, NAN, v), masks)
    return bits(f.array(*arrays, **kwargs).tolist())


@pytest.mark.parametrize("container", CONTAINERS)
@pytest.mark.parametrize("f", FUNCTIONS, ids=short)
@pytest.mark.parametrize("policy", [None, "propagate", "raise", "omit"])
def test_each_container_gives_the_arrays_values_in_kind_and_refuses_nulls(f, container, policy):
    make, kind = CONTAINERS[container]
    kwargs = {} if policy is None else {"nan_policy": policy}
    if policy != "raise":  # the registry's series hold NaN values
        result = f.array(*series_args(f, make), **kwargs)
        assert bits(np.asarray(result).tolist()) == expected(f, **kwargs)
        assert isinstance(result, kind) and getattr(result, "name", short(f)) == short(f)
        assert kind is not pd.Series or result.index.equals(DATES)
    if container == "pandas float64":
        return
    last = f.names[f.series_count - 1]
    args = series_args(f, make, {last: NULLS})
    if policy == "omit":  # a null is a missing bar, as NaN is
        result = f.array(*args, nan_policy="omit")
        assert bits(np.asarray(result).tolist()) == expected(f, {last: NULLS}, nan_policy="omit")
        return
    with pytest.raises(ValueError) as info:
        f.array(*args, **kwargs)
    assert str(info.value) == (
        f"{short(f)}(): {last!r} has 2 nulls, the first at position 3; fill them "
        "(pandas: .fillna(...), polars: .fill_null(...)), or pass nan_policy='omit' to skip "
        "those bars"
    )


def frame_of(kind, columns):
    if kind == "pandas":
        return pd.DataFrame(columns, index=DATES)
    return pl.DataFrame(columns)


@pytest.mark.parametrize("kind", ["pandas", "polars"])
@pytest.mark.parametrize("f", FUNCTIONS, ids=short)
def test_a_frame_is_one_series_per_column_even_when_wider_than_long(f, kind):
    # Twelve columns of ten bars: column j is the registry's series rotated by j.
    names = [f"S{j}" for j in range(12)]
    rotated = [
        {n: np.roll(f.call[i], j) for i, n in enumerate(f.names[: f.series_count])}
        for j in range(12)
    ]
    args = (
        *(
            frame_of(kind, {c: r[n] for c, r in zip(names, rotated, strict=True)})
            for n in f.names[: f.series_count]
        ),
        *f.scalars,
    )
    result = f.array(*args)
    assert list(result.columns) == names
    if kind == "pandas":
        assert result.index.equals(DATES)
    for column, r in zip(names, rotated, strict=True):
        want = f.array(*f.call_on(r)).tolist()
        assert bits(result[column].to_numpy().tolist()) == bits(want)


@pytest.mark.parametrize("f", [f for f in FUNCTIONS if f.series_count > 1], ids=short)
def test_the_first_series_decides_the_container(f):
    numpy_first = series_args(f, lambda v, m: v)
    mixed = (numpy_first[0], pl.Series(numpy_first[1]), *numpy_first[2:])
    assert type(f.array(*mixed)) is np.ndarray
    mixed = (pa.array(numpy_first[0]), *mixed[1:])
    assert isinstance(f.array(*mixed), pa.Array)
    assert bits(np.asarray(f.array(*mixed)).tolist()) == expected(f)


def test_pandas_series_of_one_call_must_share_their_index():
    f = FUNCTIONS[0]
    args = list(series_args(f, CONTAINERS["pandas float64"][0]))
    args[1] = args[1].set_axis(DATES + pd.Timedelta(days=1))
    with pytest.raises(
        ValueError, match=r"^adx\(\): 'low' has a different index from 'high'; align"
    ):
        f.array(*args)


def test_no_frame_library_is_imported_before_its_object_is_given():
    out = run_fresh("""
        import sys
        import tarnwick_frames
        print(sorted({"pandas", "polars", "pyarrow", "dask"} & set(sys.modules)))
        """)
    assert out == "[]\n"


def test_an_arrow_exporter_without_pyarrow_is_a_clear_import_error():
    out = run_fresh("""
        import sys
        sys.modules["pyarrow"] = None  # not installed
        import tarnwick_frames
        class Exporter:
            def __arrow_c_array__(self, requested_schema=None): ...
        try:
            tarnwick_frames._dispatch("garch11_variance", (Exporter(), 0, 0, 1), {})
        except ImportError as e:
            print(e)
        """)
    assert out == (
        "Exporter gives its data through the Arrow PyCapsule interface; reading it needs "
        "pyarrow: pip install pyarrow\n"
    )


@pytest.mark.parametrize("f", FUNCTIONS, ids=short)
def test_polars_expressions_over_symbols_are_each_symbols_arrays_values(f):
    # Two symbols interleaved, the second one's series reversed.
    series = f.names[: f.series_count]
    a = {n: np.array(f.call[i]) for i, n in enumerate(series)}
    b = {n: v[::-1].copy() for n, v in a.items()}
    long = pl.DataFrame(
        {"symbol": ["a", "b"] * 10, **{n: np.ravel([a[n], b[n]], order="F") for n in series}}
    )
    expression = getattr(tarnwick_frames.polars, short(f))(*series, *f.scalars).over("symbol")
    for frame in (
        long.with_columns(expression),
        long.lazy().select(expression, "symbol").collect(),
    ):
        for symbol, values in (("a", a), ("b", b)):
            got = frame.filter(pl.col("symbol") == symbol)[short(f)].to_list()
            assert bits(got) == bits(f.array(*f.call_on(values)).tolist())


# --- what is not a series of numbers ------------------------------------------

GARCH, ADX = (next(f for f in FUNCTIONS if short(f) == n) for n in ("garch11_variance", "adx"))
WHEN, TEXT = [pd.Timestamp("2024-01-01")], ["0.01"]
DAY, SPAN = WHEN[0].date(), WHEN[0] - WHEN[0]
# Columns tarnwick refuses as their Python values; in an object column pd.NA
# is a null, but None and NaT are values tarnwick refuses.
NOT_NUMBERS = {
    "pandas datetime": lambda: pd.Series(WHEN),
    "pandas datetime tz": lambda: pd.Series(WHEN).dt.tz_localize("UTC"),
    "pandas timedelta": lambda: pd.Series([SPAN]),
    "pandas text": lambda: pd.Series(TEXT, dtype=object),
    "pandas string[pyarrow]": lambda: pd.Series(TEXT, dtype="string[pyarrow]"),
    "pandas period": lambda: pd.Series(pd.period_range("2024-01", periods=1, freq="M")),
    "pandas interval": lambda: pd.Series(pd.interval_range(0, 1)),
    "pandas category of text": lambda: pd.Series(TEXT, dtype="category"),
    "pandas frame with a date": lambda: pd.DataFrame({"x": [0.5], "when": WHEN}),
    "pandas object None": lambda: pd.Series([0.5, None], dtype=object),
    "pandas object NaT": lambda: pd.Series([0.5, pd.NaT], dtype=object),
    **{
        f"polars {t.__name__}": (lambda t=t, v=v: pl.Series(v, dtype=t))
        for t, v in [
            (pl.String, TEXT),
            (pl.Datetime, WHEN),
            (pl.Date, [DAY]),
            (pl.Categorical, TEXT),
            (pl.Duration, [SPAN.to_pytimedelta()]),
            (pl.Time, [WHEN[0].time()]),
        ]
    },
    "polars Struct": lambda: pl.Series([{"a": 1.0}]),
    "polars List": lambda: pl.Series([[1.0]]),
    **{
        f"Arrow {t}": (lambda t=t, v=v: pa.array(v, t))
        for t, v in [
            (pa.string(), TEXT),
            (pa.large_string(), TEXT),
            (pa.binary(), [b"1"]),
            (pa.date32(), [DAY]),
            (pa.timestamp("ns"), WHEN),
            (pa.duration("s"), [1]),
        ]
    },
    "Arrow list": lambda: pa.array([[1.0]]),
    "Arrow dictionary of text": lambda: pa.array(TEXT).dictionary_encode(),
}


def as_python(column):
    """The values tarnwick would be given for `column` (a frame's last column)."""
    if isinstance(column, pd.DataFrame):
        return list(column.iloc[:, -1])
    if isinstance(column, pa.Array | pa.ChunkedArray):
        return column.to_pylist()
    return column.to_list() if isinstance(column, pl.Series) else list(column)


@pytest.mark.parametrize("make", NOT_NUMBERS.values(), ids=NOT_NUMBERS)
@pytest.mark.parametrize(("f", "at"), [(GARCH, 0), (ADX, 2)], ids=["returns", "close"])
def test_columns_of_anything_but_numbers_are_refused_as_tarnwick_refuses_them(make, f, at):
    args, oracle = list(f.call), list(f.call)
    args[at] = make()
    oracle[at] = as_python(args[at])
    with pytest.raises(TypeError) as got:
        f.array(*args)
    with pytest.raises(TypeError) as want:
        f.native(*oracle)
    assert str(got.value) == str(want.value)
    assert want.value.__notes__ == [f"while processing {f.names[at]!r}"]
    # An object column's values are tarnwick_arrays' to convert, as tarnwick does.
    objects = getattr(args[at], "dtype", None) is np.dtype(object)
    assert got.value.__notes__ == want.value.__notes__ + [tarnwick_frames._NUMBERS] * (not objects)


@pytest.mark.parametrize(
    ("make", "advice"),
    [
        (lambda: pa.table({"a": [0.5]}), "pyarrow Table, not a series; give one of its columns, "),
        (lambda: pa.scalar(0.5), "pyarrow DoubleScalar, not a series; give an array of them, "),
        (lambda: pl.LazyFrame({"a": [0.5]}), "polars LazyFrame, not a series; collect it first: "),
    ],
)
def test_containers_that_are_not_series_are_refused_with_what_to_give(make, advice):
    with pytest.raises(TypeError, match=rf"^garch11_variance\(\): 'returns' is a {advice}"):
        GARCH.array(make(), *GARCH.scalars)


# Series tarnwick takes, and the container each gives back; under alpha 1 and
# beta 0 each variance is the square of its return.
SQUARES = (0.0, 1.0, 0.0)
TENTHS = [Decimal("0.1"), Decimal("-0.3"), Decimal("0.7")]
NUMBERS = {
    "Arrow decimal128": (lambda: pa.array(TENTHS, pa.decimal128(10, 2)), pa.Array),
    "polars Decimal": (lambda: pl.Series(TENTHS, dtype=pl.Decimal(10, 2)), pl.Series),
    "pandas object Decimal": (lambda: pd.Series(TENTHS, dtype=object), pd.Series),
    "Arrow int64 beyond 2**53": (lambda: pa.array([2**53 + 1, -(2**63), 2**62 + 3]), pa.Array),
    "Arrow float16": (lambda: pa.array(np.array([0.1, -0.3], np.float16)), pa.Array),
    "Arrow int32, sliced": (lambda: pa.array([5, -7, 9], pa.int32())[1:], pa.Array),
    "Arrow bool, chunked": (lambda: pa.chunked_array([[True], [False, True]]), pa.ChunkedArray),
    "pandas Index": (lambda: pd.Index([0.1, 0.2, 0.4]), np.ndarray),
    "pandas Float64 array": (lambda: pd.array([0.1, 0.3], "Float64"), np.ndarray),
    "pandas NumpyExtensionArray": (lambda: pd.arrays.NumpyExtensionArray(np.ones(2)), np.ndarray),
    "pandas Categorical": (lambda: pd.Categorical([0.1, 3, 0.1]), np.ndarray),
    # Subclasses from outside pandas, as a caller's own.
    "pandas Series subclass": (lambda: type("S", (pd.Series,), {})([0.1], index=[7]), pd.Series),
    "pandas DataFrame subclass": (
        lambda: type("F", (pd.DataFrame,), {})({"a": [0.1]}),
        pd.DataFrame,
    ),
}


@pytest.mark.parametrize(("make", "kind"), NUMBERS.values(), ids=NUMBERS)
def test_numbers_tarnwick_takes_are_taken_with_its_values(make, kind):
    given = make()
    result = GARCH.array(given, *SQUARES)
    assert isinstance(result, kind)
    assert expected_of(result) == bits(GARCH.native(as_python(given), *SQUARES))
    assert kind is not pd.Series or result.index.equals(given.index)


@pytest.mark.parametrize("policy", ["propagate", "raise", "omit"])
def test_pd_na_in_an_object_column_is_a_null(policy):
    column, floats = pd.Series([0.1, pd.NA, 0.3, pd.NA], dtype=object), [0.1, NAN, 0.3, NAN]
    if policy == "omit":
        result, want = (GARCH.array(c, *GARCH.scalars, nan_policy="omit") for c in (column, floats))
        assert expected_of(result) == expected_of(want)
        return
    with pytest.raises(ValueError, match=r"'returns' has 2 nulls, the first at position 1; fill"):
        GARCH.array(column, *GARCH.scalars, nan_policy=policy)


def expected_of(result):
    return bits(np.ravel(result).tolist())


@pytest.mark.parametrize("kind", ["pandas", "polars"])
def test_a_frame_is_read_as_it_stands_whatever_axis_out_and_neighbours(kind):
    high, low, close = (
        frame_of(kind, {f"S{j}": np.roll(s, j) for j in range(3)}) for s in ADX.call[:3]
    )
    want = expected_of(ADX.array(high, low, close, 4))
    for keywords in ({"axis": 0}, {"axis": -2}, {"out": np.full(high.shape, 7.0)}):
        assert expected_of(ADX.array(high, low, close, 4, **keywords)) == want
    # A panel beside the frame is read as the frame it came from.
    assert expected_of(ADX.array(high, low.to_numpy(), close, 4)) == want
    for refused, message in [
        ({"axis": -1}, "axis=-1 would read each row of a DataFrame as a series, but a DataFrame "
         "holds one series per column; leave axis out or pass axis=0"),
        ({"out": np.empty((3, 10))}, "out has shape (3, 10), but the result has shape (10, 3)"),
        ({"low": low[:, :2] if kind == "polars" else low.iloc[:, :2]},
         "'low' has shape (10, 2), but 'high' has shape (10, 3)"),
    ]:  # fmt: skip
        with pytest.raises(ValueError) as info:
            ADX.array(**{"high": high, "low": low, "close": close, "period": 4, **refused})
        assert str(info.value) == f"adx(): {message}"


@pytest.mark.parametrize(
    ("index", "refused"),
    [
        (DATES[::-1], True),
        (pd.timedelta_range("1D", periods=10)[::-1], True),
        (DATES[[1, 0, *range(2, 10)]], False),  # not monotonic: left alone
        (pd.RangeIndex(10)[::-1], False),  # not datetime-like: left alone
    ],
)
def test_a_datetime_index_running_newest_first_is_refused(index, refused):
    returns = pd.Series(np.array(GARCH.call[0]), index=index)
    for given in (returns, returns.to_frame("x")):
        if not refused:
            assert expected_of(GARCH.array(given, 0, 0.5, 0.5)) == expected_of(
                GARCH.array(returns.to_numpy(), 0, 0.5, 0.5)
            )
            continue
        newest = r"^garch11_variance\(\): 'returns' runs newest first \(its index is decreasing\)"
        with pytest.raises(ValueError, match=newest + r".*; sort it with returns\.sort_index\(\)$"):
            GARCH.array(given, *GARCH.scalars)


# Every tarnwick_arrays function over the registry's series: (function, the
# single-valued entry whose parameters it takes).
SINGLE = (*FUNCTIONS, *ARRAYS_ONLY)
EVERY = [(f.array, f) for f in SINGLE] + [(m.array, m.single) for m in MANY_VALUED]
EVERY_IDS = [short(f) for f in SINGLE] + [m.name for m in MANY_VALUED]


def field_bits(result, rows=False):
    """Each field of a result as bits, a frame's columns as rows."""
    fields = result if isinstance(result, tuple) else (result,)
    as_array = (lambda v: np.asarray(v).T) if rows else np.asarray
    return [bits(as_array(v).ravel().tolist()) for v in fields]


def panel(f, columns, bars, rng):
    """Each series of `f` as `columns` rows of `bars`, the registry's values
    tiled and shifted, with a ragged run of NaN in the last series' rows."""
    series = {}
    for i, name in enumerate(f.names[: f.series_count]):
        rows = np.array([np.roll(np.resize(f.call[i], bars), j) for j in range(columns)])
        series[name] = rows
    last = series[f.names[f.series_count - 1]]
    for j in range(columns):
        start = rng.integers(0, bars)
        last[j, start : start + j % 4] = NAN
    return series


@pytest.mark.parametrize(("function", "f"), EVERY, ids=EVERY_IDS)
@pytest.mark.parametrize("policy", [None, "omit"])
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_frame_columns_read_where_they_lie_give_the_arrays_rows_bits(function, f, policy):
    # 19 columns: more than two lane groups of any width and a remainder.
    rng = np.random.default_rng(7)
    series = panel(f, 19, 41, rng)
    nulls = rng.random((19, 41)) < 0.1
    names = [f"S{j}" for j in range(19)]
    kwargs = {} if policy is None else {"nan_policy": policy}
    last = f.names[f.series_count - 1]
    for with_nulls in (False, True) if policy else (False,):
        frames = {
            n: pl.DataFrame(
                {
                    c: pl.Series(pa.array(row, mask=nulls[j] if with_nulls and n == last else None))
                    for j, (c, row) in enumerate(zip(names, rows, strict=True))
                }
            )
            for n, rows in series.items()
        }
        arrays = {
            n: np.where(nulls, NAN, r) if with_nulls and n == last else r for n, r in series.items()
        }
        want = function(*f.call_on(arrays), **kwargs)
        got = function(*f.call_on(frames), **kwargs)
        assert field_bits(got, rows=True) == field_bits(want)
        assert list((got[0] if isinstance(got, tuple) else got).columns) == names


# Where each series' chunks end: empty chunks, chunks of one bar, a split
# inside the run of NaN at bars 4 to 6, and the series in one piece.
CHUNKINGS = {
    "empty chunks": [0, 0, 3, 3, 9, 9, 14],
    "one-bar chunks": list(range(15)),
    "NaN run split": [5, 14],
    "whole": [14],
}


def chunked(values, ends, mask=None):
    starts = [0, *ends[:-1]]
    return pa.chunked_array(
        [
            pa.array(values[a:b], mask=None if mask is None else mask[a:b], type=pa.float64())
            for a, b in zip(starts, ends, strict=True)
        ],
        type=pa.float64(),
    )


@pytest.mark.parametrize(("function", "f"), EVERY, ids=EVERY_IDS)
@pytest.mark.parametrize("chunking", CHUNKINGS)
@pytest.mark.parametrize("policy", [None, "propagate", "omit"])
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_chunks_read_one_after_another_give_the_joined_arrays_bits(function, f, chunking, policy):
    ends = CHUNKINGS[chunking]
    series = {n: np.resize(f.call[i], 14) for i, n in enumerate(f.names[: f.series_count])}
    last = f.names[f.series_count - 1]
    series[last][4:7] = NAN
    # Each series split its own way: the first as named, the others at other bars too.
    split = {n: ends if i == 0 else sorted({*ends, 2 + i}) for i, n in enumerate(series)}
    kwargs = {} if policy is None else {"nan_policy": policy}
    seeds = [{}, {"seed": 2e-4}] if "seed" in function.__doc__ else [{}]
    nulls = np.zeros(14, bool)
    nulls[[1, 8, 13]] = True
    for seed in seeds:
        want = function(*f.call_on(series), **kwargs, **seed)
        got = function(
            *f.call_on({n: chunked(v, split[n]) for n, v in series.items()}), **kwargs, **seed
        )
        assert field_bits(got) == field_bits(want)
        if policy == "omit":  # a null in any chunk is a missing bar
            holed = {**series, last: np.where(nulls, NAN, series[last])}
            want = function(*f.call_on(holed), **kwargs, **seed)
            got = function(
                *f.call_on(
                    {
                        n: chunked(v, split[n], nulls if n == last else None)
                        for n, v in series.items()
                    }
                ),
                **kwargs,
                **seed,
            )
            assert field_bits(got) == field_bits(want)


@pytest.mark.parametrize(("function", "f"), EVERY, ids=EVERY_IDS)
@pytest.mark.parametrize("keywords", [{}, {"nan_policy": "omit"}, {"out": True}])
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_series_on_one_index_object_give_what_series_on_equal_indexes_give(function, f, keywords):
    # One index object lets the labels go unchecked; equal copies are compared.
    if keywords.get("out") and function is not f.array:
        return  # several values per bar: no out
    results = []
    for index in (DATES, None):
        series = {
            n: pd.Series(np.array(f.call[i]), index=DATES if index is DATES else DATES.copy())
            for i, n in enumerate(f.names[: f.series_count])
        }
        given = {**keywords, "out": np.empty(10)} if keywords.get("out") else keywords
        results.append(function(*f.call_on(series), **given))
    short_route, long_route = results
    assert field_bits(short_route) == field_bits(long_route)
    for got in short_route if isinstance(short_route, tuple) else (short_route,):
        assert isinstance(got, pd.Series) and got.index is DATES
    names = lambda r: [v.name for v in (r if isinstance(r, tuple) else (r,))]  # noqa: E731
    assert names(short_route) == names(long_route)


@pytest.mark.parametrize(("function", "f"), EVERY, ids=EVERY_IDS)
@pytest.mark.parametrize("kind", ["pandas on one index", "pandas on equal indexes", "polars"])
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_a_call_of_columns_is_bound_once(function, f, kind, monkeypatch):
    # tarnwick_frames reads the columns of the bound call and hands the
    # numbers back: the function is not called again with them.
    import tarnwick_arrays

    calls = []

    def counted(*args, **kwargs):
        calls.append(args)
        return function(*args, **kwargs)

    monkeypatch.setattr(tarnwick_arrays, function.__name__, counted)
    names = f.names[: f.series_count]
    arrays = {n: np.array(f.call[i]) for i, n in enumerate(names)}
    make = {
        "pandas on one index": lambda v: pd.Series(v, index=DATES),
        "pandas on equal indexes": lambda v: pd.Series(v, index=DATES.copy()),
        "polars": lambda v: pl.Series(v),
    }[kind]
    got = counted(*f.call_on({n: make(v) for n, v in arrays.items()}), nan_policy="propagate")
    assert len(calls) == 1
    assert field_bits(got) == field_bits(function(*f.call_on(arrays)))


# Options in error, alone and two at once (the first declared is refused).
OPTIONS_IN_ERROR = [
    {"seed": "x"},
    {"axis": 1},
    {"axis": "0"},
    {"nan_policy": "never"},
    {"out": np.empty(3)},
    {"by": np.arange(3)},
    {"nan_policy": "never", "seed": "x", "axis": 1},
]


@pytest.mark.parametrize(("function", "f"), EVERY, ids=EVERY_IDS)
@pytest.mark.parametrize("index", [DATES, None], ids=["one index", "equal indexes"])
@pytest.mark.parametrize("keywords", OPTIONS_IN_ERROR, ids=lambda k: ",".join(k))
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_an_option_in_error_with_pandas_series_is_refused_as_with_arrays(
    function, f, index, keywords
):
    arrays = {n: np.array(f.call[i]) for i, n in enumerate(f.names[: f.series_count])}
    series = {
        n: pd.Series(v, index=DATES if index is DATES else DATES.copy()) for n, v in arrays.items()
    }
    errors = []
    for given in (arrays, series):
        with pytest.raises((TypeError, ValueError)) as caught:
            function(*f.call_on(given), **keywords)
        errors.append(
            (type(caught.value), str(caught.value), getattr(caught.value, "__notes__", []))
        )
    assert errors[1] == errors[0]


def test_pieces_are_kept_from_being_resized_while_a_call_reads_them():
    # A row freed by a resize under the kernel would be read after it is gone.
    out = run_fresh(
        """
        import numpy as np
        import tarnwick_arrays
        from tarnwick_frames import _Chunks, _Rows

        rows = [np.arange(5000.0) for _ in range(9)]  # each owns its memory
        refused = []

        class Period:
            def __index__(self):
                for row in rows:
                    try:
                        row.resize(1, refcheck=False)
                    except ValueError:
                        refused.append(True)
                return 3

        for pieces in (_Rows(rows), _Chunks(rows)):
            tarnwick_arrays.adx(pieces, pieces, pieces, Period())
        print(len(refused))
        """
    )
    assert out.split() == ["18"]
