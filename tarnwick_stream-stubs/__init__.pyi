# SPDX-License-Identifier: MIT
"""ADX, Parabolic SAR and GARCH(1,1) variance a bar at a time, for live data."""

from collections.abc import Sequence, Sized
from typing import (
    Any,
    Generic,
    SupportsFloat,
    SupportsIndex,
    TypeAlias,
    TypeVar,
    final,
    overload,
    type_check_only,
)

import numpy as np
import numpy.typing as npt

__version__: str

_Number: TypeAlias = SupportsFloat | SupportsIndex
_Array: TypeAlias = npt.NDArray[np.float64]
# Anything tarnwick takes as one series; with symbols=N, numpy arrays of one
# value (update) or one row (extend) per symbol.
_Series: TypeAlias = npt.NDArray[np.floating[Any] | np.integer[Any] | np.bool_] | Sequence[_Number]
# A number given to a stream of many symbols: one for all, or an array of one
# per symbol (a fitted panel's omega, alpha, beta and seed).
_PerSymbol: TypeAlias = _Number | npt.NDArray[np.float64]
_Mask: TypeAlias = npt.NDArray[np.bool_] | Sequence[bool]
# Symbols' keys (str or int), or a row's: a list or tuple, or a column of them
# (numpy, pandas Series or Categorical, polars Series, Arrow array).
_Keys: TypeAlias = Sequence[str] | Sequence[int] | npt.NDArray[Any] | Sized

# What a stream gives: a float per bar and a list per history for one series,
# arrays for many symbols.
_Value = TypeVar("_Value", float, _Array)
_History = TypeVar("_History", list[float], _Array)

_One = TypeVar("_One")
_Many = TypeVar("_Many")
_OneSeries: TypeAlias = (
    Adx[float, list[float]] | ParabolicSar[float, list[float]] | Garch11Variance[float, list[float]]
)
_ManySymbols: TypeAlias = (
    Adx[_Array, _Array] | ParabolicSar[_Array, _Array] | Garch11Variance[_Array, _Array]
)

@type_check_only
class _PerKind(Generic[_One, _Many]):
    # A read-only attribute whose type follows the stream's kind: _One on a
    # stream of one series, _Many on one of symbols=N.
    @overload
    def __get__(self, instance: None, owner: type[Any], /) -> _PerKind[_One, _Many]: ...
    @overload
    def __get__(self, instance: _OneSeries, owner: type[Any], /) -> _One: ...
    @overload
    def __get__(self, instance: _ManySymbols, owner: type[Any], /) -> _Many: ...

def _restore(
    type: type[Any], version: object, parameters: tuple[Any, ...], symbols: object, record: object
) -> Any: ...

@final
class Adx(Generic[_Value, _History]):
    @overload
    def __new__(cls, period: SupportsIndex, *, symbols: None = None) -> Adx[float, list[float]]: ...
    @overload
    def __new__(
        cls, period: SupportsIndex, *, symbols: SupportsIndex | _Keys
    ) -> Adx[_Array, _Array]: ...
    def update(
        self,
        high: _Number | _Series,
        low: _Number | _Series,
        close: _Number | _Series,
        *,
        where: _Mask | None = None,
        by: _Keys | None = None,
    ) -> _Value: ...
    def peek(
        self,
        high: _Number | _Series,
        low: _Number | _Series,
        close: _Number | _Series,
        *,
        where: _Mask | None = None,
        by: _Keys | None = None,
    ) -> _Value: ...
    def extend(
        self, high: _Series, low: _Series, close: _Series, *, by: _Keys | None = None
    ) -> _History: ...
    def copy(self) -> Adx[_Value, _History]: ...
    def __copy__(self) -> Adx[_Value, _History]: ...
    def __deepcopy__(self, memo: object, /) -> Adx[_Value, _History]: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    # The last bar's value (None before the first bar of one series; NaN for
    # a symbol without one), and the bars each has taken.
    value: _PerKind[float | None, _Array]
    bars: _PerKind[int, list[int]]
    @property
    def symbols(self) -> int | None: ...
    @property
    def keys(self) -> tuple[str | int, ...] | None: ...
    @property
    def period(self) -> int: ...
    # The last bar's other values, as tarnwick_arrays.directional_movement gives them
    # (None before the first bar of one series; NaN for a symbol without one).
    plus_di: _PerKind[float | None, _Array]
    minus_di: _PerKind[float | None, _Array]
    dx: _PerKind[float | None, _Array]
    atr: _PerKind[float | None, _Array]

@final
class ParabolicSar(Generic[_Value, _History]):
    @overload
    def __new__(
        cls, af_step: _Number, af_max: _Number, *, symbols: None = None
    ) -> ParabolicSar[float, list[float]]: ...
    @overload
    def __new__(
        cls, af_step: _Number, af_max: _Number, *, symbols: SupportsIndex | _Keys
    ) -> ParabolicSar[_Array, _Array]: ...
    def update(
        self,
        high: _Number | _Series,
        low: _Number | _Series,
        *,
        where: _Mask | None = None,
        by: _Keys | None = None,
    ) -> _Value: ...
    def peek(
        self,
        high: _Number | _Series,
        low: _Number | _Series,
        *,
        where: _Mask | None = None,
        by: _Keys | None = None,
    ) -> _Value: ...
    def extend(self, high: _Series, low: _Series, *, by: _Keys | None = None) -> _History: ...
    def copy(self) -> ParabolicSar[_Value, _History]: ...
    def __copy__(self) -> ParabolicSar[_Value, _History]: ...
    def __deepcopy__(self, memo: object, /) -> ParabolicSar[_Value, _History]: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    # The last bar's value (None before the first bar of one series; NaN for
    # a symbol without one), and the bars each has taken.
    value: _PerKind[float | None, _Array]
    bars: _PerKind[int, list[int]]
    @property
    def symbols(self) -> int | None: ...
    @property
    def keys(self) -> tuple[str | int, ...] | None: ...
    @property
    def af_step(self) -> float: ...
    @property
    def af_max(self) -> float: ...
    # The last bar's other values, as tarnwick_arrays.parabolic_sar_trend gives them
    # (None before the first bar of one series; NaN for a symbol without one).
    trend: _PerKind[float | None, _Array]
    extreme: _PerKind[float | None, _Array]
    factor: _PerKind[float | None, _Array]

@final
class Garch11Variance(Generic[_Value, _History]):
    """GARCH(1,1) conditional variance a return at a time.

    A stream seeds from the first returns it is given (the history passed to
    its first extend(), or the first update's return), as the whole-series
    function seeds from its series, or from seed= when given; so unlike ADX
    and SAR it does not match the whole-series function at every split.
    tarnwick_arrays.garch11_variance(returns, omega, alpha, beta,
    seed=stream.seed) gives the values of everything fed to it, bit for bit.

    With symbols=, omega, alpha, beta and seed= may each be an array of one
    per symbol (the fields of tarnwick_arrays.garch11_fit(panel)): each
    symbol then runs as its own stream with its own numbers.
    """

    @overload
    def __new__(
        cls,
        omega: _Number,
        alpha: _Number,
        beta: _Number,
        *,
        seed: _Number | None = None,
        symbols: None = None,
    ) -> Garch11Variance[float, list[float]]: ...
    @overload
    def __new__(
        cls,
        omega: _PerSymbol,
        alpha: _PerSymbol,
        beta: _PerSymbol,
        *,
        seed: _PerSymbol | None = None,
        symbols: SupportsIndex | _Keys,
    ) -> Garch11Variance[_Array, _Array]: ...
    def update(
        self, returns: _Number | _Series, *, where: _Mask | None = None, by: _Keys | None = None
    ) -> _Value: ...
    def peek(
        self, returns: _Number | _Series, *, where: _Mask | None = None, by: _Keys | None = None
    ) -> _Value: ...
    def extend(self, returns: _Series, *, by: _Keys | None = None) -> _History: ...
    def copy(self) -> Garch11Variance[_Value, _History]: ...
    def __copy__(self) -> Garch11Variance[_Value, _History]: ...
    def __deepcopy__(self, memo: object, /) -> Garch11Variance[_Value, _History]: ...
    def forecast(self, horizon: SupportsIndex, /) -> list[float] | list[list[float]]: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    # The last bar's value (None before the first bar of one series; NaN for
    # a symbol without one), and the bars each has taken.
    value: _PerKind[float | None, _Array]
    bars: _PerKind[int, list[int]]
    @property
    def symbols(self) -> int | None: ...
    @property
    def keys(self) -> tuple[str | int, ...] | None: ...
    omega: _PerKind[float, float | _Array]
    alpha: _PerKind[float, float | _Array]
    beta: _PerKind[float, float | _Array]
    seed: _PerKind[float | None, _Array]
