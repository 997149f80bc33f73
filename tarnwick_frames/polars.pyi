# SPDX-License-Identifier: MIT
"""The indicators as polars expressions, for select, with_columns, lazy frames and windows."""

from typing import Any, SupportsFloat, SupportsIndex, TypeAlias

import polars as pl

__all__ = [
    "adx",
    "directional_movement",
    "garch11_variance",
    "parabolic_sar",
    "parabolic_sar_trend",
]

_Number: TypeAlias = SupportsFloat | SupportsIndex

# Each function: its series as column names or expressions, its other
# parameters as tarnwick_arrays takes them, its options (nan_policy=, by=, and
# seed= where the function has it) as keywords; a Float64 expression, or a
# struct of Float64 fields for a function of several values per bar.
def adx(
    high: str | pl.Expr,
    low: str | pl.Expr,
    close: str | pl.Expr,
    period: SupportsIndex,
    **keywords: Any,
) -> pl.Expr: ...
def parabolic_sar(
    high: str | pl.Expr, low: str | pl.Expr, af_step: _Number, af_max: _Number, **keywords: Any
) -> pl.Expr: ...
def garch11_variance(
    returns: str | pl.Expr, omega: _Number, alpha: _Number, beta: _Number, **keywords: Any
) -> pl.Expr: ...
def directional_movement(
    high: str | pl.Expr,
    low: str | pl.Expr,
    close: str | pl.Expr,
    period: SupportsIndex,
    **keywords: Any,
) -> pl.Expr: ...
def parabolic_sar_trend(
    high: str | pl.Expr, low: str | pl.Expr, af_step: _Number, af_max: _Number, **keywords: Any
) -> pl.Expr: ...
