"""numpy arrays and pandas Series in, and the documented ways back out."""

import math

import pytest

import tarnwick
from exact import bits
from registry import CLOSE, FUNCTIONS, HIGH, LOW, NAMES, RETURNS, SERIES
from support import numpy_layouts

np = pytest.importorskip("numpy")
LAYOUTS = numpy_layouts()


@pytest.fixture(params=FUNCTIONS, ids=NAMES)
def call(request):
    """A function, the series of its call, and its other arguments."""
    f = request.param
    series = [v for kind, v in zip(f.kinds, f.call, strict=True) if kind == SERIES]
    return f.native, series, f.call[len(series) :]


@pytest.mark.parametrize("layout", LAYOUTS)
def test_ndarray_gives_the_list_result(call, layout):
    func, series, scalars = call
    expected = func(*series, *scalars)
    result = func(*(LAYOUTS[layout](s) for s in series), *scalars)
    assert type(result) is list and all(type(v) is float for v in result)
    assert bits(result) == bits(expected)


@pytest.mark.parametrize("dtype", ["float32", "float16", "int64", "int32", "uint8"])
def test_other_dtypes_convert_exactly(call, dtype):
    func, series, scalars = call
    arrays = [np.nan_to_num(np.array(s), nan=7.0).astype(dtype) for s in series]
    expected = func(*(a.tolist() for a in arrays), *scalars)
    assert bits(func(*arrays, *scalars)) == bits(expected)


def test_numpy_scalars_as_parameters(call):
    func, series, scalars = call
    expected = func(*series, *scalars)
    as_numpy = [np.int64(x) if type(x) is int else np.float64(x) for x in scalars]
    assert bits(func(*series, *as_numpy)) == bits(expected)


def test_ndarray_back(call):
    func, series, scalars = call
    result = np.asarray(func(*(np.array(s) for s in series), *scalars))
    assert result.dtype == np.float64 and result.shape == (len(series[0]),)
    assert bits(result.tolist()) == bits(func(*series, *scalars))


def test_two_dimensional_array_is_refused():
    with pytest.raises(TypeError) as info:
        tarnwick.native_adx(np.ones((3, 2)), np.ones(3), np.ones(3), 2)
    assert info.value.__notes__ == ["while processing 'high'"]


@pytest.fixture(params=["dates", "integers"])
def frame(request):
    pd = pytest.importorskip("pandas")
    if request.param == "dates":
        index = pd.date_range("2024-01-01", periods=len(HIGH), freq="B", name="date")[::-1]
    else:
        index = range(100, 100 + len(HIGH))
    return pd.DataFrame({"high": HIGH, "low": LOW, "close": CLOSE, "returns": RETURNS}, index=index)


@pytest.mark.parametrize("function", FUNCTIONS, ids=NAMES)
def test_series_in_series_out(function, frame):
    pd = pytest.importorskip("pandas")
    # Iterating a Series yields its values, never its index labels.
    result = pd.Series(function.native(*function.call_on(frame)), index=frame.index)
    assert bits(result.tolist()) == bits(function.native(*function.call))
    assert result.index.equals(frame.index)


def test_nullable_series_needs_converting_first():
    pd = pytest.importorskip("pandas")
    series = pd.Series([0.01, None, 0.02], dtype="Float64")
    with pytest.raises(TypeError) as info:
        tarnwick.native_garch11_variance(series, 1e-06, 0.1, 0.85)
    assert info.value.__notes__ == ["while processing 'returns'"]
    converted = series.to_numpy(dtype="float64", na_value=np.nan)
    assert bits(tarnwick.native_garch11_variance(converted, 1e-06, 0.1, 0.85)) == bits(
        tarnwick.native_garch11_variance([0.01, math.nan, 0.02], 1e-06, 0.1, 0.85)
    )
