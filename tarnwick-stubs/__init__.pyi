# SPDX-License-Identifier: MIT
"""Bit-exact ADX, Parabolic SAR and GARCH(1,1) variance over price series.

Each function takes plain sequences of numbers (lists, tuples, numpy arrays,
...) and returns a new list of floats, the same to the last bit on every
platform. The installed version is importlib.metadata.version("tarnwick").
For numpy, pandas, polars or Arrow columns in and out, use tarnwick_arrays;
for one bar at a time, tarnwick_stream.
"""

from collections.abc import Iterator, Sequence
from typing import Protocol, SupportsFloat, SupportsIndex, TypeAlias, type_check_only

__all__ = ["native_adx", "native_garch11_variance", "native_parabolic_sar"]

# One item of a series: anything float() accepts without parsing text, which
# is an object with __float__ or __index__ (float, int, bool, numpy scalars,
# decimal.Decimal, fractions.Fraction, ...).
_Number: TypeAlias = SupportsFloat | SupportsIndex

@type_check_only
class _ArrayLike(Protocol):
    # An array that converts to numpy (a numpy ndarray, a pandas Series, ...)
    # but is not a registered Sequence. The functions read any object that the
    # interpreter sees as a sequence, item by item.
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[_Number]: ...
    def __array__(self) -> object: ...

_Series: TypeAlias = Sequence[_Number] | _ArrayLike

def native_adx(
    high: _Series,
    low: _Series,
    close: _Series,
    period: SupportsIndex,
) -> list[float]:
    """The Average Directional Index of each bar, with Wilder's smoothing.

    high, low, close: series of prices of equal length (NaN allowed).
    period: the smoothing period, an integer from 1 to 2**64 - 1; it may be
        longer than the series.

    Returns a list of floats as long as the series: bar 0 is 0.0 and the
    first bars rise from 0 (there is no warm-up window). A NaN high or low
    does not make the result NaN, but once the true range is NaN (a bar with
    all of high, low and previous close NaN) ADX decays toward 0 for good:
    drop blank rows first, or use tarnwick_arrays.adx(..., nan_policy="omit").

    Raises ValueError("high, low, and close lengths must match"), then
    ValueError("period must be > 0") (also for empty series).

    >>> tarnwick.native_adx([10, 11, 12, 11.5], [9, 9.5, 10.5, 10], [9.5, 10.5, 11.5, 10.5], 3)
    [0.0, 33.33333333333333, 55.55555555555555, 49.68071519795658]
    """

def native_parabolic_sar(
    high: _Series,
    low: _Series,
    af_step: _Number,
    af_max: _Number,
) -> list[float]:
    """The Parabolic stop-and-reverse level of each bar.

    high, low: series of prices of equal length (NaN allowed).
    af_step: the step of the acceleration factor, and its start (1e-6 if
        smaller); af_max: the cap on its growth (NaN removes the cap).

    Returns a list of floats as long as the series; bar 0 is low[0], in a
    rising trend. A value below the close marks a rising trend, above it a
    falling one. Empty series give [].

    Raises ValueError("high and low lengths must match").

    >>> tarnwick.native_parabolic_sar([10, 11, 12, 11], [9, 10, 11, 9.5], 0.25, 0.5)
    [9.0, 9.0, 10.0, 12.0]
    """

def native_garch11_variance(
    returns: _Series,
    omega: _Number,
    alpha: _Number,
    beta: _Number,
) -> list[float]:
    """The GARCH(1,1) conditional variance, one value per return.

    returns: the series of returns r (not demeaned; each enters its own step).
    omega, alpha, beta: the recursion v[i] = max(0, v[i-1] * beta +
        ((alpha * r[i]) * r[i] + omega)), each operation rounded on its own.
        No range is imposed on them.

    Returns a list of floats as long as returns, seeded with v[-1] = the mean
    of the squared returns (1e-8 when that is not finite and above 0). v[i]
    uses r[i], so it is the variance forecast for the step after i. The
    result never holds NaN: a step that comes out NaN or below 0 gives 0.0.

    Raises no ValueError: every length and every value is accepted.

    >>> tarnwick.native_garch11_variance([0.01, -0.02, 0.03], 1e-06, 0.1, 0.85)
    [0.00040766666666666664, 0.00038751666666666666, 0.00042038916666666665]
    """
