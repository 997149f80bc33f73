# SPDX-License-Identifier: MIT
"""tarnwick_arrays for pandas, polars and Arrow data: the containers in, the same containers out.

tarnwick_arrays hands a call here when one of its series is a pandas, polars or
pyarrow object or exports Arrow data. Each such series is read as float64 in
one native pass (in place when it already is float64 without nulls), the
tarnwick_arrays function runs on the arrays, and its result is given back in
the container of the first series: a Series on the same index, a frame with
the same columns, an Arrow array. pandas, polars and pyarrow are imported only
when one of their objects is given.
"""

import sys

__all__ = ["_dispatch"]

# Each function's series parameters, which come first in its signature.
_SERIES = {
    "adx": ("high", "low", "close"),
    "parabolic_sar": ("high", "low"),
    "garch11_variance": ("returns",),
    "garch11_loglik": ("returns",),
    "garch11_fit": ("returns",),
}
# Functions that reduce each series to numbers: a series gives numbers, a
# frame one value per column.
_REDUCING = ("garch11_loglik", "garch11_fit")
# The policies under which a null is refused: with "omit" it is a missing bar.
_REFUSING_NULLS = ("propagate", "raise")


class _Series:
    """One series argument as float64: `values` is 1-D, or 2-D with one row
    per column of a frame; `nulls` the boolean mask of its nulls, or None."""

    def __init__(self, kind, values, nulls=None, index=None, columns=None, chunked=False):
        self.kind = kind  # "numpy", "pandas", "pandas-frame", "polars", "polars-frame", "arrow"
        self.values = values
        self.nulls = nulls
        self.index = index
        self.columns = columns
        self.chunked = chunked


def _module_of(obj):
    return type(obj).__module__.partition(".")[0]


def is_frame_data(obj):
    """Whether `obj` is a pandas, polars or pyarrow object or exports Arrow data."""
    return _module_of(obj) in ("pandas", "polars", "pyarrow") or (
        hasattr(obj, "__arrow_c_array__") or hasattr(obj, "__arrow_c_stream__")
    )


def _float64(values):
    import numpy as np

    return np.asarray(values, dtype=np.float64)


def _from_pandas(obj):
    import numpy as np
    import pandas as pd

    if isinstance(obj, pd.DataFrame):
        # Each column is one series, whatever the frame's shape: the result's
        # rows are the frame's columns.
        if all(isinstance(dtype, np.dtype) for dtype in obj.dtypes):
            values = obj.to_numpy(dtype=np.float64).T
            nulls = None
        else:
            columns = [_from_pandas(obj.iloc[:, i]) for i in range(obj.shape[1])]
            values = np.stack([c.values for c in columns]) if columns else np.empty((0, len(obj)))
            masks = [c.nulls for c in columns]
            nulls = (
                None
                if all(m is None for m in masks)
                else np.stack([np.zeros(len(obj), bool) if m is None else m for m in masks])
            )
        return _Series("pandas-frame", values, nulls, obj.index, obj.columns)
    if not isinstance(obj, pd.Series):
        raise TypeError(f"a pandas {type(obj).__name__} is not a series; give a Series or frame")
    if isinstance(obj.dtype, np.dtype):
        # NaN in a numpy column is a value, not a null.
        return _Series("pandas", _float64(obj.to_numpy()), None, obj.index)
    if isinstance(obj.dtype, pd.ArrowDtype):  # read as the Arrow data it holds
        arrow = _from_arrow(obj.array.__arrow_array__())
        return _Series("pandas", arrow.values, arrow.nulls, obj.index)
    # The extension array's own mask: its nulls, never its NaN values.
    nulls = np.asarray(obj.array.isna(), dtype=bool)
    values = obj.to_numpy(dtype=np.float64, na_value=np.nan)
    return _Series("pandas", values, nulls if nulls.any() else None, obj.index)


def _from_polars(obj):
    import numpy as np
    import polars as pl

    if isinstance(obj, pl.DataFrame):
        columns = [_from_polars(s) for s in obj.iter_columns()]
        values = np.stack([c.values for c in columns]) if columns else np.empty((0, obj.height))
        masks = [c.nulls for c in columns]
        nulls = (
            None
            if all(m is None for m in masks)
            else np.stack([np.zeros(obj.height, bool) if m is None else m for m in masks])
        )
        return _Series("polars-frame", values, nulls, columns=obj.columns)
    if not isinstance(obj, pl.Series):
        raise TypeError(f"a polars {type(obj).__name__} is not a series; give a Series or frame")
    nulls = obj.is_null().to_numpy() if obj.null_count() else None
    # The cast reads every value once; a float64 series without nulls is
    # viewed in place.
    values = (obj if obj.dtype == pl.Float64 else obj.cast(pl.Float64)).to_numpy()
    return _Series("polars", _float64(values), nulls)


def _from_arrow(obj):
    try:
        import pyarrow as pa
    except ImportError:
        raise ImportError(
            f"{type(obj).__name__} gives its data through the Arrow PyCapsule interface; "
            "reading it needs pyarrow: pip install pyarrow"
        ) from None
    chunked = isinstance(obj, pa.ChunkedArray)
    if not isinstance(obj, pa.Array | pa.ChunkedArray):
        if hasattr(obj, "__arrow_c_array__"):
            obj = pa.array(obj)
        else:
            obj, chunked = pa.chunked_array(obj), True
    import numpy as np
    import pyarrow.compute as pc

    if obj.type != pa.float64():
        obj = obj.cast(pa.float64())
    nulls = None
    if obj.null_count:
        nulls = obj.is_null().to_numpy(zero_copy_only=False)
        obj = pc.fill_null(obj, np.nan)
    # In place for one chunk without nulls; otherwise one copy.
    values = obj.to_numpy(zero_copy_only=False)
    return _Series("arrow", _float64(values), nulls, chunked=chunked)


_READERS = {"pandas": _from_pandas, "polars": _from_polars}


def _read(obj):
    # A float64 pandas Series first, in a few lookups: a short call's time is
    # mostly this module's.
    pd = sys.modules.get("pandas")
    if pd is not None and type(obj) is pd.Series and obj.dtype == "float64":
        return _Series("pandas", obj.to_numpy(), None, obj.index)
    if is_frame_data(obj):
        return _READERS.get(_module_of(obj), _from_arrow)(obj)
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
                    f"{name}(): {parameter!r} has another {what} than {first[0]!r}; "
                    f"align them first (e.g. {parameter}.reindex_like({first[0]}))"
                )


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


def _wrap_reduced(name, first, result):
    if first.kind not in ("pandas-frame", "polars-frame"):
        return result
    if name == "garch11_fit":
        return type(result)(
            *(_per_column(f, first, v) for f, v in zip(result._fields, result, strict=True))
        )
    return _per_column(name, first, result)


def _dispatch(name, args, kwargs):
    """Calls tarnwick_arrays.<name> on `args` and `kwargs` with every pandas,
    polars and Arrow series read as float64, and wraps the result in the
    container of the first series."""
    import tarnwick_arrays

    function = getattr(tarnwick_arrays, name)
    parameters = _SERIES[name]
    args, kwargs = list(args), dict(kwargs)
    # (parameter, where it was given): positionally or by keyword.
    present = [
        (p, (args, i) if i < len(args) else (kwargs, p))
        for i, p in enumerate(parameters)
        if i < len(args) or p in kwargs
    ]
    series = [_read(c[k]) for _, (c, k) in present]
    policy = kwargs.get("nan_policy", "propagate")
    for (parameter, _), s in zip(present, series, strict=True):
        if s.nulls is not None and isinstance(policy, str) and policy in _REFUSING_NULLS:
            _refuse_nulls(name, parameter, s)
    _check_alignment(name, [p for p, _ in present], series)
    for (_, (container, key)), s in zip(present, series, strict=True):
        container[key] = s.values
    result = function(*args, **kwargs)
    if not series:
        return result
    if name in _REDUCING:
        return _wrap_reduced(name, series[0], result)
    return _wrap(name, series[0], result)
