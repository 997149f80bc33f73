"""tarnwick_frames: every container, with and without nulls, gives tarnwick_arrays'
values bit for bit, in the container it came in."""

import numpy as np
import pytest

from exact import NAN, bits
from registry import FUNCTIONS
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


@pytest.mark.parametrize(
    ("what", "moved"),
    [
        ("index", lambda s: s.set_axis(s.index + pd.Timedelta(days=1))),
        ("columns", lambda s: s.to_frame("other")),
    ],
)
def test_pandas_series_of_one_call_must_share_their_labels(what, moved):
    f = FUNCTIONS[0]
    args = list(series_args(f, CONTAINERS["pandas float64"][0]))
    if what == "columns":
        args = [a.to_frame("same") for a in args[:3]] + args[3:]
    args[1] = moved(args[1].squeeze(axis=1) if what == "columns" else args[1])
    with pytest.raises(ValueError) as info:
        f.array(*args)
    assert str(info.value) == (
        f"adx(): 'low' has a different {what} from 'high'; align them first "
        "(e.g. low.reindex_like(high))"
    )


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
