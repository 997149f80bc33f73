# SPDX-License-Identifier: MIT
"""Bit-exact ADX, Parabolic SAR and GARCH(1,1) variance over price series."""

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
) -> list[float]: ...
def native_parabolic_sar(
    high: _Series,
    low: _Series,
    af_step: _Number,
    af_max: _Number,
) -> list[float]: ...
def native_garch11_variance(
    returns: _Series,
    omega: _Number,
    alpha: _Number,
    beta: _Number,
) -> list[float]: ...
