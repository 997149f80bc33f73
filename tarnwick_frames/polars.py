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

import polars as pl

import tarnwick_arrays
from tarnwick_frames import _dispatch

__all__ = [
    "adx",
    "directional_movement",
    "garch11_variance",
    "parabolic_sar",
    "parabolic_sar_trend",
]


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


def adx(high: str | pl.Expr, low: str | pl.Expr, close: str | pl.Expr, period, **keywords):
    """tarnwick_arrays.adx of the three columns."""
    return _expression("adx", (high, low, close), (period,), keywords)


def parabolic_sar(high: str | pl.Expr, low: str | pl.Expr, af_step, af_max, **keywords):
    """tarnwick_arrays.parabolic_sar of the two columns."""
    return _expression("parabolic_sar", (high, low), (af_step, af_max), keywords)


def garch11_variance(returns: str | pl.Expr, omega, alpha, beta, **keywords):
    """tarnwick_arrays.garch11_variance of the column (`seed=` as there)."""
    return _expression("garch11_variance", (returns,), (omega, alpha, beta), keywords)


def directional_movement(
    high: str | pl.Expr, low: str | pl.Expr, close: str | pl.Expr, period, **keywords
):
    """tarnwick_arrays.directional_movement of the three columns, as a struct
    of plus_di, minus_di, dx, adx and atr."""
    return _expression(
        "directional_movement",
        (high, low, close),
        (period,),
        keywords,
        tarnwick_arrays.DirectionalMovement._fields,
    )


def parabolic_sar_trend(high: str | pl.Expr, low: str | pl.Expr, af_step, af_max, **keywords):
    """tarnwick_arrays.parabolic_sar_trend of the two columns, as a struct of
    sar, trend, extreme and factor."""
    return _expression(
        "parabolic_sar_trend",
        (high, low),
        (af_step, af_max),
        keywords,
        tarnwick_arrays.ParabolicSarTrend._fields,
    )
