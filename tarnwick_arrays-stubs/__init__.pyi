# SPDX-License-Identifier: MIT
"""ADX, Parabolic SAR and GARCH(1,1) variance over numpy arrays, one series or one per row."""

from collections.abc import Sequence
from typing import Any, Literal, SupportsFloat, SupportsIndex, TypeAlias

import numpy as np
import numpy.typing as npt

__all__ = ["adx", "garch11_variance", "parabolic_sar"]

_Number: TypeAlias = SupportsFloat | SupportsIndex
# A numpy array of one dimension (one series) or two (one series per row) of
# any real dtype, or anything tarnwick takes as one series.
_Series: TypeAlias = npt.NDArray[np.floating[Any] | np.integer[Any] | np.bool_] | Sequence[_Number]
_Out: TypeAlias = npt.NDArray[np.float64]
_NanPolicy: TypeAlias = Literal["propagate", "omit", "raise"]

def adx(
    high: _Series,
    low: _Series,
    close: _Series,
    period: SupportsIndex,
    *,
    out: _Out | None = None,
    axis: SupportsIndex = -1,
    nan_policy: _NanPolicy = "propagate",
) -> _Out: ...
def parabolic_sar(
    high: _Series,
    low: _Series,
    af_step: _Number,
    af_max: _Number,
    *,
    out: _Out | None = None,
    axis: SupportsIndex = -1,
    nan_policy: _NanPolicy = "propagate",
) -> _Out: ...
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
) -> _Out: ...
