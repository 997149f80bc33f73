# SPDX-License-Identifier: MIT
"""ADX, Parabolic SAR and GARCH(1,1) variance over arrays: numpy, pandas, polars and
Arrow, one series or a whole panel, the interpreter lock released while they run.
Values are bit for bit those of the tarnwick functions, series by series.
"""

from collections.abc import Sequence
from typing import (
    Any,
    Literal,
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

__all__ = ["adx", "garch11_variance", "parabolic_sar"]
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
    omega: _Number,
    alpha: _Number,
    beta: _Number,
    *,
    out: _Out | None = None,
    seed: _Number | None = None,
    axis: SupportsIndex = -1,
    nan_policy: _NanPolicy = "propagate",
    by: _Keys | None = None,
) -> _Out: ...
@overload
def garch11_variance(
    returns: _Container,
    omega: _Number,
    alpha: _Number,
    beta: _Number,
    *,
    out: _Out | None = None,
    seed: _Number | None = None,
    axis: SupportsIndex = -1,
    nan_policy: _NanPolicy = "propagate",
    by: _Keys | None = None,
) -> _Container: ...
@overload
def garch11_variance(
    returns: _Column,
    omega: _Number,
    alpha: _Number,
    beta: _Number,
    *,
    out: _Out | None = None,
    seed: _Number | None = None,
    axis: SupportsIndex = -1,
    nan_policy: _NanPolicy = "propagate",
    by: _Keys | None = None,
) -> Any: ...
