# SPDX-License-Identifier: MIT
"""The indicators as polars expressions, for select, with_columns, lazy frames and windows.

    df.with_columns(adx=tarnwick_frames.polars.adx("high", "low", "close", 14, by="symbol"))

With `by=` (a column name or expression of keys) a long frame, one row per
symbol and date, is one expression and one native call however many symbols
it holds: each symbol's rows, in the frame's order, are one series. That is
the way for many symbols; `.over("symbol")` works too, but calls back into
Python once per symbol.

    df.with_columns(adx=tarnwick_frames.polars.adx("high", "low", "close", 14).over("symbol"))

Each expression hands its columns, group by group under `.over(...)`, to the
tarnwick_arrays function as float64 arrays, so every group's values are bit
for bit those of tarnwick_arrays on that group's rows. Series arguments are
column names or expressions; the others are passed on as given, keyword-only
`nan_policy` included. The functions of several values per bar
(directional_movement, parabolic_sar_trend) are struct expressions, one
Float64 field per value:

    df.with_columns(dm=tarnwick_frames.polars.directional_movement("high", "low", "close", 14))
      .unnest("dm")
"""

import inspect

import polars as pl

import tarnwick_arrays
from tarnwick_frames import _dispatch


def _struct(name, result, fields):
    # A named tuple of Series, one per value: one struct Series.
    return result if fields is None else pl.DataFrame(list(result)).to_struct(name)


def _expression(name, series, scalars, keywords, fields=None):
    dtype = pl.Float64 if fields is None else pl.Struct(dict.fromkeys(fields, pl.Float64))
    if keywords.get("by") is not None:
        return _grouped(name, series, scalars, keywords, fields, dtype)

    def batch(columns):
        return _struct(name, _dispatch(name, (*columns, *scalars), keywords), fields)

    # Not elementwise: a bar's value depends on every bar before it, so
    # polars must hand over whole groups, never slices of one. map_groups
    # does under .over(...) in every polars 1.x and later; map_batches gave
    # polars before 2.0 the whole column for each group.
    return pl.map_groups(list(series), batch, return_dtype=dtype).alias(name)


def _grouped(name, series, scalars, keywords, fields, dtype):
    # by= groups a long frame in one native call however many keys it has:
    # the whole columns and the key column go over at once.
    keywords = dict(keywords)
    by = keywords.pop("by")

    def batch(columns):
        result = _dispatch(name, (*columns[:-1], *scalars), {**keywords, "by": columns[-1]})
        return _struct(name, result, fields)

    return pl.map_batches([*series, by], batch, return_dtype=dtype).alias(name)


def _listed(names):
    return names[0] if len(names) == 1 else f"{', '.join(names[:-1])} and {names[-1]}"


def _function(stem, parameters, outputs):
    # One expression function per function of tarnwick_arrays, its parameters
    # named as there: the series first, then the scalars, then the options.
    count = sum(kind == "series" for _, kind in parameters)
    signature = inspect.Signature(
        [inspect.Parameter(name, inspect.Parameter.POSITIONAL_OR_KEYWORD) for name, _ in parameters]
        + [inspect.Parameter("keywords", inspect.Parameter.VAR_KEYWORD)]
    )

    def function(*arguments, **keywords):
        bound = signature.bind(*arguments, **keywords)
        given = bound.args
        return _expression(stem, given[:count], given[count:], bound.kwargs, outputs or None)

    columns = "the column" if count == 1 else f"the {('two', 'three')[count - 2]} columns"
    shape = f", as a struct of {_listed(outputs)}" if outputs else ""
    function.__name__ = function.__qualname__ = stem
    function.__doc__ = f"tarnwick_arrays.{stem} of {columns}{shape}."
    function.__signature__ = signature
    return function


# Every function of tarnwick_arrays over series of bars, from its catalogue.
globals().update(
    (stem, _function(stem, parameters, outputs))
    for stem, parameters, outputs, _ in tarnwick_arrays._catalogue
)
__all__ = sorted(stem for stem, *_ in tarnwick_arrays._catalogue)
