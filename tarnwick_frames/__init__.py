# SPDX-License-Identifier: MIT
"""tarnwick_arrays for pandas, polars and Arrow data: the containers in, the same containers out.

tarnwick_arrays hands a call here, once bound, when one of its series is a
pandas, polars or pyarrow object (a subclass included) or exports Arrow data
(_unwrap). Each such series
is read as numbers in one pass (in place when it already is float64 without
nulls: a frame's columns and a chunked array's chunks each where it lies, not
joined into one array), the tarnwick_arrays function runs on them, and its result is
given back in the container of the first series (each field of a named
tuple of results in its own): a Series on the same index,
a frame with the same columns, an Arrow array; a pandas Index or array gives
a numpy array. Columns of anything but numbers (dates, durations, text,
nested values) are refused as tarnwick refuses their values. pandas, polars
and pyarrow are imported only when one of their objects is given.
"""

import contextlib
import functools
import math
import operator
import sys

__all__ = ["_dispatch", "_unwrap"]

# Functions that reduce each series to numbers: a series gives numbers, a
# frame one value per column.
_REDUCING = ("garch11_loglik", "garch11_fit")
# The numbers a function takes one of per series, with their places among
# the arguments: a frame's fit gives them per column, and they go back in
# with the frame.
_GARCH_NUMBERS = (("omega", 1), ("alpha", 2), ("beta", 3), ("seed", None))
_PER_SERIES = {"garch11_loglik": _GARCH_NUMBERS, "garch11_variance": _GARCH_NUMBERS}
# The policies under which a null is refused: with "omit" it is a missing bar.
_REFUSING_NULLS = ("propagate", "raise")
# The axes that read a frame's values (dates down, one series per column)
# as the frame holds them.
_FRAME_AXES = (0, -2)
_NUMBERS = (
    "tarnwick_arrays reads numbers only (bool, integer, floating or decimal columns); "
    "give the prices or returns as numbers"
)


class _Series:
    """One series argument as numbers: `values` is 1-D, or 2-D with one row
    per column of a frame; `nulls` the boolean mask of its nulls, or None."""

    def __init__(self, kind, values, nulls=None, index=None, columns=None, chunked=False):
        self.kind = kind  # "numpy", "pandas", "pandas-frame", "polars", "polars-frame", "arrow"
        self.values = values
        self.nulls = nulls
        self.index = index
        self.columns = columns
        self.chunked = chunked

    @property
    def frame(self):
        return self.kind.endswith("-frame")


class _Pieces(tuple):
    """float64 arrays that tarnwick_arrays reads where each lies, instead of
    one array joined from them."""

    def joined(self):
        import numpy as np

        return np.concatenate(self) if self else np.empty(0)


class _Rows(_Pieces):
    """A frame's columns, one series each: a 2-D series of one row per column."""

    ndim = 2

    @property
    def shape(self):
        return (len(self), len(self[0]))

    def joined(self):
        import numpy as np

        return np.stack(self)


class _Chunks(_Pieces):
    """The chunks of one series, one after the other."""

    ndim = 1

    @property
    def shape(self):
        return (sum(map(len, self)),)


def _in_place(values):
    """Whether tarnwick_arrays can read `values` where they lie as a piece."""
    import numpy as np

    return (
        type(values) is np.ndarray
        and values.dtype == np.float64
        and values.ndim == 1
        and values.flags.c_contiguous
        and values.flags.aligned
    )


def _library(obj):
    """ "pandas", "polars" or "pyarrow" when `obj` is an instance of one of
    their types (a subclass too), only asking libraries already imported."""
    for name in ("pandas", "polars", "pyarrow"):
        module = sys.modules.get(name)
        if module is not None and any(
            c.__module__.partition(".")[0] == name for c in type(obj).__mro__
        ):
            return name
    return None


def _exports_arrow(obj):
    return hasattr(obj, "__arrow_c_array__") or hasattr(obj, "__arrow_c_stream__")


def _not_numbers(parameter, sample, dtype):
    """The TypeError tarnwick gives for `sample`, a value of the column (or
    None when it has none), with the notes naming the parameter and the cure."""
    message = f"must be real number, not {dtype}"
    if sample is not None:
        try:
            math.fsum([sample])  # tarnwick's conversion of one value, for its words
        except TypeError as refused:
            message = str(refused)
    error = TypeError(message)
    error.add_note(f"while processing {parameter!r}")
    error.add_note(_NUMBERS)
    return error


def _not_a_series(name, parameter, obj, advice):
    return TypeError(
        f"{name}(): {parameter!r} is a {type(obj).__module__.partition('.')[0]} "
        f"{type(obj).__name__}, not a series; {advice}"
    )


def _objects(values):
    """An object column as tarnwick reads its values: pd.NA is a null (NaN
    here, with the mask), anything else is converted by tarnwick_arrays as
    tarnwick converts it, None and NaT refused."""
    import numpy as np
    import pandas as pd

    nulls = np.fromiter((v is pd.NA for v in values), bool, len(values))
    if not nulls.any():
        return values, None
    values = values.copy()
    values[nulls] = np.nan
    return values, nulls


def _masked(array, nulls):
    """`array` as float64 with NaN at its nulls."""
    import numpy as np

    values = np.array(array, dtype=np.float64)  # ints rounded as float(int) rounds
    values[nulls] = np.nan
    return values


def _first_value(array, is_null):
    """The first value of `array` that is not a null, or None."""
    for value in array:
        if not is_null(value):
            return value
    return None


def _pandas_values(array, parameter):
    """A pandas array (a Series' or Index's .array, or an ExtensionArray)
    as (values, nulls): numbers read as they are, everything else refused."""
    import numpy as np
    import pandas as pd

    if isinstance(array, pd.arrays.NumpyExtensionArray):
        array = array.to_numpy()  # a numpy array in pandas' wrapping, read as that
    dtype = array.dtype
    if isinstance(dtype, np.dtype) and dtype.kind in "biuf":
        return np.asarray(array), None  # converted natively when not float64
    if isinstance(dtype, np.dtype) and dtype.kind == "O":
        return _objects(np.asarray(array))
    if isinstance(dtype, pd.CategoricalDtype):
        categories = dtype.categories
        if isinstance(categories.dtype, np.dtype) and categories.dtype.kind in "biuf":
            nulls = array.codes < 0
            values = np.asarray(categories, dtype=np.float64)[array.codes]
            values[nulls] = np.nan
            return values, nulls if nulls.any() else None
        array = categories.array  # refused below for the categories' values
    elif isinstance(dtype, pd.ArrowDtype):  # read as the Arrow data it holds
        return _arrow_chunks(array.__arrow_array__(), parameter)
    elif pd.api.types.is_numeric_dtype(dtype) or pd.api.types.is_bool_dtype(dtype):
        # The extension array's own mask: its nulls, never its NaN values.
        nulls = np.asarray(array.isna(), dtype=bool)
        values = array.to_numpy(dtype=np.float64, na_value=np.nan)
        return values, nulls if nulls.any() else None
    raise _not_numbers(parameter, _first_value(array, lambda v: v is pd.NA), dtype)


@functools.cache
def _dated(index_type):
    """Whether an index of this type holds dates, durations or periods (asked
    once a type: pandas' own check is slow)."""
    import pandas as pd

    return issubclass(index_type, pd.DatetimeIndex | pd.TimedeltaIndex | pd.PeriodIndex)


def _check_order(name, parameter, index):
    """A datetime-like index running newest first would be read backwards."""
    if (
        _dated(type(index))
        and len(index) > 1
        and index.is_monotonic_decreasing
        and not index.is_monotonic_increasing
    ):
        raise ValueError(
            f"{name}(): {parameter!r} runs newest first (its index is decreasing), but a "
            f"series runs oldest first; sort it with {parameter}.sort_index()"
        )


def _stacked(columns, length):
    """One row per column of (values, nulls) pairs: the columns where they
    lie when each is float64 already, else stacked into one array."""
    import numpy as np

    if not columns:
        return np.empty((0, length)), None
    values = _Rows(v.joined() if isinstance(v, _Pieces) else v for v, _ in columns)
    if not all(map(_in_place, values)):
        values = values.joined()
    masks = [m for _, m in columns]
    if all(m is None for m in masks):
        return values, None
    return values, np.stack([np.zeros(length, bool) if m is None else m for m in masks])


def _from_pandas(obj, name, parameter):
    import numpy as np
    import pandas as pd

    if isinstance(obj, pd.DataFrame):
        _check_order(name, parameter, obj.index)
        # Each column is one series, whatever the frame's shape: the result's
        # rows are the frame's columns.
        if all(isinstance(d, np.dtype) and d.kind in "biuf" for d in obj.dtypes):
            values, nulls = obj.to_numpy(dtype=np.float64).T, None
        else:
            values, nulls = _stacked(
                [_pandas_values(obj.iloc[:, i].array, parameter) for i in range(obj.shape[1])],
                len(obj),
            )
        return _Series("pandas-frame", values, nulls, obj.index, obj.columns)
    if isinstance(obj, pd.Series):
        _check_order(name, parameter, obj.index)
        return _Series("pandas", *_pandas_values(obj.array, parameter), obj.index)
    if isinstance(obj, pd.Index):
        return _Series("numpy", *_pandas_values(obj.array, parameter))
    if isinstance(obj, pd.api.extensions.ExtensionArray):
        return _Series("numpy", *_pandas_values(obj, parameter))
    raise _not_a_series(name, parameter, obj, "give a Series, a DataFrame, an Index or an array")


def _polars_values(column, parameter):
    """A polars Series as (values, nulls): numbers read as they are (float64
    without nulls in place), decimals as float(Decimal) rounds them, anything
    else refused."""
    import numpy as np
    import polars as pl

    dtype = column.dtype
    nulls = column.is_null().to_numpy() if column.null_count() else None
    if dtype == pl.Decimal:
        values, _ = _objects(np.array(column.to_list(), dtype=object))
        if nulls is not None:
            values[nulls] = np.nan
        return values, nulls
    if dtype.is_numeric() or dtype in (pl.Boolean, pl.Null):
        # The cast reads every value once, rounding integers as float(int) does.
        values = (column if dtype == pl.Float64 else column.cast(pl.Float64)).to_numpy()
        return np.asarray(values, dtype=np.float64), nulls
    present = column.drop_nulls().head(1).to_list()  # as Python gives its values
    raise _not_numbers(parameter, present[0] if present else None, dtype)


def _from_polars(obj, name, parameter):
    import polars as pl

    if isinstance(obj, pl.DataFrame):
        values, nulls = _stacked(
            [_polars_values(c, parameter) for c in obj.iter_columns()], obj.height
        )
        return _Series("polars-frame", values, nulls, columns=obj.columns)
    if isinstance(obj, pl.Series):
        return _Series("polars", *_polars_values(obj, parameter))
    if isinstance(obj, pl.LazyFrame):
        raise _not_a_series(name, parameter, obj, f"collect it first: {parameter}.collect()")
    raise _not_a_series(name, parameter, obj, "give a Series or a DataFrame")


def _arrow_values(array, parameter):
    """One Arrow array (a chunk) as (values, nulls): numbers read in place
    when they can be, decimals as float(Decimal) rounds them, anything else
    refused."""
    import numpy as np
    import pyarrow as pa

    kind = array.type
    if pa.types.is_dictionary(kind):
        array = array.dictionary_decode()
        kind = array.type
    nulls = array.is_null().to_numpy(zero_copy_only=False) if array.null_count else None
    if pa.types.is_null(kind):
        return np.full(len(array), np.nan), nulls
    if pa.types.is_decimal(kind):
        values, _ = _objects(np.array(array.to_pylist(), dtype=object))
        if nulls is not None:
            values[nulls] = np.nan
        return values, nulls
    if pa.types.is_boolean(kind):
        values = array.fill_null(False).to_numpy(zero_copy_only=False)
    elif pa.types.is_integer(kind) or pa.types.is_floating(kind):
        # The values buffer as it is, whatever the version of pyarrow: every
        # width, float16 included, is converted natively as numpy holds it.
        buffer = array.buffers()[1]
        dtype = np.dtype(kind.to_pandas_dtype())
        values = (
            np.frombuffer(buffer, dtype, len(array), array.offset * dtype.itemsize)
            if len(array)
            else np.empty(0, dtype)
        )
    else:
        present = array.drop_null()
        raise _not_numbers(parameter, present[0].as_py() if len(present) else None, kind)
    return (values, None) if nulls is None else (_masked(values, nulls), nulls)


def _arrow_chunks(obj, parameter):
    """An Arrow Array or ChunkedArray as (values, nulls)."""
    import numpy as np
    import pyarrow as pa

    if not isinstance(obj, pa.ChunkedArray):
        return _arrow_values(obj, parameter)
    chunks = [_arrow_values(c, parameter) for c in obj.chunks]
    if len(chunks) == 1:
        return chunks[0]
    values = _Chunks(v for v, _ in chunks)
    if not values or not all(map(_in_place, values)):
        values = values.joined()
    if all(m is None for _, m in chunks):
        return values, None
    return values, np.concatenate([np.zeros(len(v), bool) if m is None else m for v, m in chunks])


def _from_arrow(obj, name, parameter):
    try:
        import pyarrow as pa
    except ImportError:
        raise ImportError(
            f"{type(obj).__name__} gives its data through the Arrow PyCapsule interface; "
            "reading it needs pyarrow: pip install pyarrow"
        ) from None

    if isinstance(obj, pa.Table | pa.RecordBatch):
        raise _not_a_series(
            name, parameter, obj, f"give one of its columns, {parameter}.column(name)"
        )
    if isinstance(obj, pa.Scalar):
        raise _not_a_series(name, parameter, obj, "give an array of them, pa.array([...])")
    chunked = isinstance(obj, pa.ChunkedArray)
    if not isinstance(obj, pa.Array | pa.ChunkedArray):
        if hasattr(obj, "__arrow_c_array__"):
            obj = pa.array(obj)
        elif hasattr(obj, "__arrow_c_stream__"):
            obj, chunked = pa.chunked_array(obj), True
        else:
            raise _not_a_series(name, parameter, obj, "give a pyarrow Array or ChunkedArray")
    return _Series("arrow", *_arrow_chunks(obj, parameter), chunked=chunked)


_READERS = {"pandas": _from_pandas, "polars": _from_polars, "pyarrow": _from_arrow}


def _read(obj, name, parameter):
    # A float64 pandas Series first, in a few lookups: a short call's time is
    # mostly this module's.
    pd = sys.modules.get("pandas")
    if pd is not None and type(obj) is pd.Series and obj.dtype == "float64":
        _check_order(name, parameter, obj.index)
        return _Series("pandas", obj.to_numpy(), None, obj.index)
    library = _library(obj)
    if library is not None or _exports_arrow(obj):
        return _READERS.get(library, _from_arrow)(obj, name, parameter)
    return _Series("numpy", obj)


def _refuse_nulls(name, parameter, series):
    import numpy as np

    count = int(series.nulls.sum())
    if series.nulls.ndim == 1:
        where = f"position {int(np.argmax(series.nulls))}"
    else:
        column, row = np.unravel_index(int(np.argmax(series.nulls)), series.nulls.shape)
        where = f"position {int(row)} of column {series.columns[int(column)]!r}"
    raise ValueError(
        f"{name}(): {parameter!r} has {count} null{'s' * (count != 1)}, the first at {where}; "
        "fill them (pandas: .fillna(...), polars: .fill_null(...)), or pass "
        "nan_policy='omit' to skip those bars"
    )


def _check_alignment(name, parameters, series):
    """pandas inputs of equal length pair their bars by label, so their labels must agree."""
    first = None
    for parameter, s in zip(parameters, series, strict=True):
        if not s.kind.startswith("pandas"):
            continue
        if first is None:
            first = parameter, s
            continue
        if s.values.shape != first[1].values.shape:
            continue  # the shapes' error is tarnwick_arrays' own
        for what in ("index", "columns"):
            mine, theirs = getattr(s, what), getattr(first[1], what)
            if mine is theirs:
                continue
            if mine is not None and theirs is not None and not mine.equals(theirs):
                raise ValueError(
                    f"{name}(): {parameter!r} has a different {what} from {first[0]!r}; "
                    f"align them first (e.g. {parameter}.reindex_like({first[0]}))"
                )


def _as_columns(name, parameters, series, kwargs):
    """With a frame among the series, every 2-D series is read as the frame
    holds it, dates down and one series per column: numpy panels beside it
    are transposed views, `axis` may only say so, and shapes and `out` are
    checked in the caller's orientation before tarnwick_arrays sees the
    transposed ones."""
    import numpy as np

    if "axis" in kwargs:
        try:
            axis = operator.index(kwargs["axis"])
        except TypeError:
            pass  # tarnwick_arrays refuses it in its words
        else:
            if axis not in _FRAME_AXES:
                raise ValueError(
                    f"{name}(): axis={axis} would read each row of a DataFrame as a series, "
                    "but a DataFrame holds one series per column; leave axis out or pass axis=0"
                )
            del kwargs["axis"]
    for s in series:
        if s.kind == "numpy" and isinstance(s.values, np.ndarray) and s.values.ndim == 2:
            s.values = s.values.T
    shapes = [
        (s.values.shape if isinstance(s.values, _Pieces) else np.shape(s.values))[::-1]
        for s in series
    ]
    for parameter, shape in zip(parameters, shapes, strict=True):
        if shape != shapes[0]:
            raise ValueError(
                f"{name}(): {parameter!r} has shape {shape}, but {parameters[0]!r} has shape "
                f"{shapes[0]}"
            )
    out = kwargs.get("out")
    if isinstance(out, np.ndarray) and len(shapes[0]) == 2:
        if out.shape != shapes[0]:
            raise ValueError(
                f"{name}(): out has shape {out.shape}, but the result has shape {shapes[0]}"
            )
        kwargs["out"] = out.T


def _wrap(name, first, result):
    if first.kind == "pandas":
        import pandas as pd

        return pd.Series(result, index=first.index, name=name, copy=False)
    if first.kind == "pandas-frame":
        import pandas as pd

        return pd.DataFrame(result.T, index=first.index, columns=first.columns, copy=False)
    if first.kind == "polars":
        import polars as pl

        return pl.Series(name, result)
    if first.kind == "polars-frame":
        import polars as pl

        return pl.DataFrame(dict(zip(first.columns, result, strict=True)))
    if first.kind == "arrow":
        import pyarrow as pa

        return pa.chunked_array([result]) if first.chunked else pa.array(result)
    return result


def _per_column(name, first, values):
    """One value per column of a frame: a pandas Series on the columns, a
    polars Series in column order."""
    if first.kind == "pandas-frame":
        import pandas as pd

        return pd.Series(values, index=first.columns, name=name)
    import polars as pl

    return pl.Series(name, values)


def _per_series_numbers(name, first, args, kwargs):
    """Numbers given one per series as a pandas Series on a pandas frame's
    columns, matched by label, or as a polars Series beside a polars frame,
    in column order: as a frame's fit gives them."""
    import numpy as np

    kind = first.kind.partition("-")[0]
    series_type = sys.modules[kind].Series
    for parameter, place in _PER_SERIES.get(name, ()):
        container, key = (
            (args, place) if place is not None and place < len(args) else (kwargs, parameter)
        )
        given = container[key] if container is args else container.get(key)
        if not isinstance(given, series_type):
            continue
        if kind == "pandas":
            index = given.index
            if not (
                index.is_unique
                and len(index) == len(first.columns)
                and index.isin(first.columns).all()
            ):
                raise ValueError(
                    f"{name}(): {parameter!r} is a pandas Series whose labels are not the "
                    "frame's columns, one each; give one value per column, labelled by it"
                )
            given = given.reindex(first.columns)
        container[key] = given.to_numpy().astype(np.float64, copy=False)


def _wrap_reduced(name, first, result):
    if first.kind not in ("pandas-frame", "polars-frame"):
        return result
    if name == "garch11_fit":
        return type(result)(
            *(_per_column(f, first, v) for f, v in zip(result._fields, result, strict=True))
        )
    return _per_column(name, first, result)


def _wrap_all(name, first, result):
    """The result in the first series' container; a named tuple of results
    field by field, each named after its field."""
    if isinstance(result, tuple):
        return type(result)._make(
            _wrap(field, first, value) for field, value in zip(result._fields, result, strict=True)
        )
    return _wrap(name, first, result)


# Keywords a call of float64 pandas Series may give and still take the short
# route: none of them reads the series' labels.
_PLAIN_KEYWORDS = frozenset(("nan_policy", "seed", "out"))


@functools.cache
def _float64():
    import numpy as np

    return np.dtype(np.float64)


def _plain_pandas(parameters, args, kwargs):
    """The series' values when every series is a float64 pandas Series given
    positionally on one index object (most calls on one frame's columns):
    their labels agree without a look, and nothing but their values and that
    index is needed; None otherwise."""
    pd = sys.modules.get("pandas")
    count = len(parameters)
    if pd is None or len(args) < count or not _PLAIN_KEYWORDS.issuperset(kwargs):
        return None
    index = args[0].index if type(args[0]) is pd.Series else None
    float64 = _float64()
    for series in args[:count]:
        if type(series) is not pd.Series or series.index is not index:
            return None
        if series.dtype is not float64:
            return None
    return [series.to_numpy() for series in args[:count]]


def _unwrap(name, parameters, args, kwargs):
    """Reads every pandas, polars and Arrow series of a call to
    tarnwick_arrays.<name> as numbers, in place: `parameters` names the
    series, which come first among `args` (a list) or are given by keyword
    in `kwargs` (a dict), whose options it may change to read the numbers as
    the containers hold them. Returns what wraps the call's result in the
    container of the first series."""
    values = _plain_pandas(parameters, args, kwargs)
    if values is not None:
        index = args[0].index
        _check_order(name, parameters[0], index)
        args[: len(parameters)] = values
        return _finish(name, _Series("pandas", None, index=index))
    # (parameter, where it was given): positionally or by keyword.
    present = [
        (p, (args, i) if i < len(args) else (kwargs, p))
        for i, p in enumerate(parameters)
        if i < len(args) or p in kwargs
    ]
    names = [p for p, _ in present]
    series = [_read(c[k], name, p) for p, (c, k) in present]
    policy = kwargs.get("nan_policy", "propagate")
    for parameter, s in zip(names, series, strict=True):
        if s.nulls is not None and isinstance(policy, str) and policy in _REFUSING_NULLS:
            _refuse_nulls(name, parameter, s)
    _check_alignment(name, names, series)
    by = kwargs.get("by")
    by_index = getattr(by, "index", None) if _library(by) == "pandas" else None
    if by_index is not None and _library(by_index) == "pandas" and by_index.ndim == 1:
        # A key Series pairs its keys with the bars by label, as the series do.
        import numpy as np

        keys = _Series("pandas", np.empty(len(by_index)), index=by_index)
        _check_alignment(name, [*names, "by"], [*series, keys])
    if any(s.frame for s in series):
        _as_columns(name, names, series, kwargs)
        _per_series_numbers(name, series[0], args, kwargs)
    for (_, (container, key)), s in zip(present, series, strict=True):
        if kwargs.get("by") is not None and isinstance(s.values, _Pieces):
            s.values = s.values.joined()  # the keys are paired with the bars of one array
        container[key] = s.values
    if kwargs.get("by") is not None and series and series[0].values.ndim == 1:
        # The keys as codes here, before any column is read in place.
        from tarnwick_frames._groups import _group_codes

        # Keys of another length or a null key are left for the call to
        # report, after any fault in the options before `by`, as for arrays.
        with contextlib.suppress(ValueError):
            kwargs["by"] = _group_codes(name, kwargs["by"], len(series[0].values))
    return _finish(name, series[0] if series else None)


def _finish(name, first):
    if first is None:
        return lambda result: result
    if name in _REDUCING:
        return lambda result: _wrap_reduced(name, first, result)
    return lambda result: _wrap_all(name, first, result)


def _dispatch(name, args, kwargs):
    """Calls tarnwick_arrays.<name> on `args` and `kwargs`: it binds the call
    and hands its pandas, polars and Arrow series to _unwrap itself."""
    import tarnwick_arrays

    return getattr(tarnwick_arrays, name)(*args, **kwargs)
