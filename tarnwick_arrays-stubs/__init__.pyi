# SPDX-License-Identifier: MIT
"""ADX, Parabolic SAR and GARCH(1,1) variance over arrays: numpy, pandas, polars and
Arrow, one series or a whole panel, the interpreter lock released while they run.
Values are bit for bit those of the tarnwick functions, series by series.
"""

from collections.abc import Sequence
from typing import (
    Any,
    Generic,
    Literal,
    NamedTuple,
    Protocol,
    SupportsFloat,
    SupportsIndex,
    TypeAlias,
    TypeVar,
    overload,
    type_check_only,
)

import numpy as np
import numpy.typing as npt
import pandas as pd
import polars as pl
import pyarrow as pa

__all__ = [
    "adx",
    "directional_movement",
    "garch11_fit",
    "garch11_forecast",
    "garch11_loglik",
    "garch11_variance",
    "parabolic_sar",
    "parabolic_sar_trend",
]
__version__: str

_Number: TypeAlias = SupportsFloat | SupportsIndex
# A numpy array of one dimension (one series) or two (one series per row) of
# any real dtype, or anything tarnwick takes as one series.
_Series: TypeAlias = npt.NDArray[np.floating[Any] | np.integer[Any] | np.bool_] | Sequence[_Number]
_Out: TypeAlias = npt.NDArray[np.float64]
# A pandas, polars or pyarrow object comes back as the same kind of container:
# a Series on the same index, a DataFrame with the same index and columns,
# polars for polars, Arrow for Arrow. Each library's types show only where it
# (pandas: pandas-stubs; pyarrow: pyarrow-stubs) is typed; otherwise, and for
# anything else exporting Arrow data, the result is Any.
_Container = TypeVar(
    "_Container",
    pd.Series[Any],
    pd.DataFrame,
    pl.Series,
    pl.DataFrame,
    pa.Array[Any],
    pa.ChunkedArray[Any],
)

@type_check_only
class _ArrowArray(Protocol):
    def __arrow_c_array__(self, requested_schema: object = None, /) -> object: ...

@type_check_only
class _ArrowStream(Protocol):
    def __arrow_c_stream__(self, requested_schema: object = None, /) -> object: ...

# Any other object exporting Arrow data; the result is of its own library.
_Column: TypeAlias = _ArrowArray | _ArrowStream
_NanPolicy: TypeAlias = Literal["propagate", "omit", "raise"]
_T = TypeVar("_T")
# The group key of each bar of a long table (by=): any 1-D column of keys.
_Keys: TypeAlias = (
    npt.NDArray[Any]
    | pd.Series[Any]
    | pd.Categorical
    | pl.Series
    | pa.Array[Any]
    | pa.ChunkedArray[Any]
    | Sequence[Any]
)

@overload
def adx(
    high: _Series,
    low: _Series,
    close: _Series,
    period: SupportsIndex,
    *,
    out: _Out | None = None,
    axis: SupportsIndex = -1,
    nan_policy: _NanPolicy = "propagate",
    by: _Keys | None = None,
) -> _Out: ...
@overload
def adx(
    high: _Container,
    low: _Container,
    close: _Container,
    period: SupportsIndex,
    *,
    out: _Out | None = None,
    axis: SupportsIndex = -1,
    nan_policy: _NanPolicy = "propagate",
    by: _Keys | None = None,
) -> _Container: ...
@overload
def adx(
    high: _Column,
    low: _Column,
    close: _Column,
    period: SupportsIndex,
    *,
    out: _Out | None = None,
    axis: SupportsIndex = -1,
    nan_policy: _NanPolicy = "propagate",
    by: _Keys | None = None,
) -> Any: ...
@overload
def parabolic_sar(
    high: _Series,
    low: _Series,
    af_step: _Number,
    af_max: _Number,
    *,
    out: _Out | None = None,
    axis: SupportsIndex = -1,
    nan_policy: _NanPolicy = "propagate",
    by: _Keys | None = None,
) -> _Out: ...
@overload
def parabolic_sar(
    high: _Container,
    low: _Container,
    af_step: _Number,
    af_max: _Number,
    *,
    out: _Out | None = None,
    axis: SupportsIndex = -1,
    nan_policy: _NanPolicy = "propagate",
    by: _Keys | None = None,
) -> _Container: ...
@overload
def parabolic_sar(
    high: _Column,
    low: _Column,
    af_step: _Number,
    af_max: _Number,
    *,
    out: _Out | None = None,
    axis: SupportsIndex = -1,
    nan_policy: _NanPolicy = "propagate",
    by: _Keys | None = None,
) -> Any: ...
@overload
def garch11_variance(
    returns: _Series,
    omega: _PerSeries,
    alpha: _PerSeries,
    beta: _PerSeries,
    *,
    out: _Out | None = None,
    seed: _PerSeries | None = None,
    axis: SupportsIndex = -1,
    nan_policy: _NanPolicy = "propagate",
    by: _Keys | None = None,
) -> _Out: ...
@overload
def garch11_variance(
    returns: _Container,
    omega: _PerSeries,
    alpha: _PerSeries,
    beta: _PerSeries,
    *,
    out: _Out | None = None,
    seed: _PerSeries | None = None,
    axis: SupportsIndex = -1,
    nan_policy: _NanPolicy = "propagate",
    by: _Keys | None = None,
) -> _Container: ...
@overload
def garch11_variance(
    returns: _Column,
    omega: _PerSeries,
    alpha: _PerSeries,
    beta: _PerSeries,
    *,
    out: _Out | None = None,
    seed: _PerSeries | None = None,
    axis: SupportsIndex = -1,
    nan_policy: _NanPolicy = "propagate",
    by: _Keys | None = None,
) -> Any: ...

# The values of the ADX pass, each field what adx() returns for the inputs.
class DirectionalMovement(NamedTuple, Generic[_T]):
    plus_di: _T
    minus_di: _T
    dx: _T
    adx: _T
    atr: _T

@overload
def directional_movement(
    high: _Series,
    low: _Series,
    close: _Series,
    period: SupportsIndex,
    *,
    axis: SupportsIndex = -1,
    nan_policy: _NanPolicy = "propagate",
    by: _Keys | None = None,
) -> DirectionalMovement[_Out]: ...
@overload
def directional_movement(
    high: _Container,
    low: _Container,
    close: _Container,
    period: SupportsIndex,
    *,
    axis: SupportsIndex = -1,
    nan_policy: _NanPolicy = "propagate",
    by: _Keys | None = None,
) -> DirectionalMovement[_Container]: ...
@overload
def directional_movement(
    high: _Column,
    low: _Column,
    close: _Column,
    period: SupportsIndex,
    *,
    axis: SupportsIndex = -1,
    nan_policy: _NanPolicy = "propagate",
    by: _Keys | None = None,
) -> DirectionalMovement[Any]: ...

# The stop and the state each bar leaves: trend is +1.0 rising, -1.0 falling,
# float64 so that every field has one dtype and an omitted bar is NaN in each.
class ParabolicSarTrend(NamedTuple, Generic[_T]):
    sar: _T
    trend: _T
    extreme: _T
    factor: _T

@overload
def parabolic_sar_trend(
    high: _Series,
    low: _Series,
    af_step: _Number,
    af_max: _Number,
    *,
    axis: SupportsIndex = -1,
    nan_policy: _NanPolicy = "propagate",
    by: _Keys | None = None,
) -> ParabolicSarTrend[_Out]: ...
@overload
def parabolic_sar_trend(
    high: _Container,
    low: _Container,
    af_step: _Number,
    af_max: _Number,
    *,
    axis: SupportsIndex = -1,
    nan_policy: _NanPolicy = "propagate",
    by: _Keys | None = None,
) -> ParabolicSarTrend[_Container]: ...
@overload
def parabolic_sar_trend(
    high: _Column,
    low: _Column,
    af_step: _Number,
    af_max: _Number,
    *,
    axis: SupportsIndex = -1,
    nan_policy: _NanPolicy = "propagate",
    by: _Keys | None = None,
) -> ParabolicSarTrend[Any]: ...

# A number for every series, or a 1-D array with one per series.
_PerSeries: TypeAlias = _Number | npt.NDArray[np.float64]

class Garch11Fit(NamedTuple):
    """What garch11_fit found: floats, an int and a bool for one series;
    arrays with one value per series for a panel."""

    omega: float | npt.NDArray[np.float64]
    alpha: float | npt.NDArray[np.float64]
    beta: float | npt.NDArray[np.float64]
    loglik: float | npt.NDArray[np.float64]
    seed: float | npt.NDArray[np.float64]
    iterations: int | npt.NDArray[np.int64]
    converged: bool | npt.NDArray[np.bool_]

@overload
def garch11_loglik(
    returns: npt.NDArray[np.floating[Any] | np.integer[Any] | np.bool_] | Sequence[_Number],
    omega: _PerSeries,
    alpha: _PerSeries,
    beta: _PerSeries,
    *,
    seed: _PerSeries | None = None,
    axis: SupportsIndex = -1,
    nan_policy: _NanPolicy = "propagate",
) -> Any: ...
@overload
def garch11_loglik(
    returns: _Column,
    omega: _PerSeries,
    alpha: _PerSeries,
    beta: _PerSeries,
    *,
    seed: _PerSeries | None = None,
    axis: SupportsIndex = -1,
    nan_policy: _NanPolicy = "propagate",
) -> Any: ...
def garch11_fit(
    returns: _Series | _Column,
    *,
    seed: _PerSeries | None = None,
    axis: SupportsIndex = -1,
    nan_policy: _NanPolicy = "propagate",
) -> Garch11Fit: ...
def garch11_forecast(
    variance: _Series,
    omega: _PerSeries,
    alpha: _PerSeries,
    beta: _PerSeries,
    horizon: SupportsIndex,
) -> npt.NDArray[np.float64]: ...
