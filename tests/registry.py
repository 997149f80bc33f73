"""The module's functions, described once for every test file.

Adding an indicator means one entry in FUNCTIONS (with its model in
models.py); the surface, binding, conversion, leak, thread, interpreter and
interop tests then cover it. Its own test file holds what only it has.
"""

from collections.abc import Callable
from dataclasses import dataclass

import models
from exact import INF, NAN, from_bits

# How a parameter is converted: a sequence of doubles, a double, or an
# unsigned 64-bit integer.
SERIES = "series"
FLOAT = "float"
INDEX = "index"

# A value each kind refuses with a TypeError, whatever the other arguments.
REFUSED = {SERIES: {}, FLOAT: "x", INDEX: "x"}


@dataclass(frozen=True)
class Function:
    name: str
    vectors_name: str  # its cases' prefix in tests/reference_vectors.txt
    parameters: tuple  # (name, kind) in declaration order
    model: Callable
    call: tuple  # a valid call, for tests about anything but the values
    examples: tuple  # (name, arguments, exact result) worked by hand
    stream_name: str  # its type in tarnwick_stream
    refusals: tuple = ()  # (arguments, the ValueError's message)

    def __post_init__(self):
        # Results are lists of floats; examples may be written with integers.
        exact = tuple(
            (name, args, [float(v) for v in expected]) for name, args, expected in self.examples
        )
        object.__setattr__(self, "examples", exact)

    @property
    def native(self):
        # Imported on first use, so that a fresh interpreter can load the
        # registry and still race the module's first import.
        import tarnwick

        return getattr(tarnwick, self.name)

    @property
    def array(self):
        """The same function in tarnwick_arrays."""
        import tarnwick_arrays

        return getattr(tarnwick_arrays, self.name.removeprefix("native_"))

    def whole(self, *args):
        """The values of the whole series, as a list: tarnwick's function, or
        for a function of tarnwick_arrays and tarnwick_stream only, the
        array function's."""
        if self.name.startswith("native_"):
            return self.native(*args)
        return self.array(*args).tolist()

    @property
    def stream(self):
        """Its stream type in tarnwick_stream."""
        import tarnwick_stream

        return getattr(tarnwick_stream, self.stream_name)

    @property
    def names(self):
        return tuple(name for name, _ in self.parameters)

    @property
    def kinds(self):
        return tuple(kind for _, kind in self.parameters)

    @property
    def series_count(self):
        """Series come first: how many the call takes."""
        return self.kinds.count(SERIES)

    @property
    def scalars(self):
        """The valid call's arguments after its series."""
        return self.call[self.series_count :]

    @property
    def signature(self):
        return "(" + ", ".join(self.names) + ")"

    def keywords(self):
        """The valid call as keyword arguments."""
        return dict(zip(self.names, self.call, strict=True))

    def call_on(self, series):
        """The valid call with its series taken from `series`, by parameter name."""
        return tuple(
            series[name] if kind == SERIES else value
            for (name, kind), value in zip(self.parameters, self.call, strict=True)
        )

    def converted(self, args):
        """`args` as the module converts them: what the model takes."""
        convert = {SERIES: lambda s: [float(v) for v in s], FLOAT: float, INDEX: int}
        return tuple(convert[kind](value) for kind, value in zip(self.kinds, args, strict=True))

    def refusing(self, parameter, args=None):
        """The call (or `args`) with `parameter` replaced by a refused value."""
        return tuple(
            REFUSED[kind] if name == parameter else value
            for (name, kind), value in zip(
                self.parameters, self.call if args is None else args, strict=True
            )
        )


def replaced(series, index, value):
    copy = list(series)
    copy[index] = value
    return copy


# Example A of the ADX, and the series of a call that trends, reverses and
# holds a NaN, shared by the SAR and GARCH calls.
A = ([10, 11, 12, 11.5], [9, 9.5, 10.5, 10], [9.5, 10.5, 11.5, 10.5])
HIGH = [10.0, 11.0, 12.0, 11.5, 12.5, NAN, 13.0, 12.0, 11.0, 11.75]
LOW = [9.0, 9.5, 10.5, 10.0, 11.0, 12.0, 12.0, 10.5, 9.5, 10.25]
CLOSE = [9.5, 10.5, 11.5, 10.5, 12.0, 12.5, 12.5, 11.0, 10.0, 11.5]
RETURNS = [0.01, -0.02, 0.03, NAN, 0.0, -0.0125, 1e-160, 0.02, -0.031, 0.007]

# A negative step: the factor goes 1e-6, 1e-6 - 0.25, 1e-6 - 0.5 at each new
# high, and the stop moves away from the extreme.
_AF_1 = 1e-6 + -0.25
_STOP_2 = (11 - 9) * _AF_1 + 9
_STOP_3 = (12 - _STOP_2) * (_AF_1 + -0.25) + _STOP_2

# Input NaNs that are not float("nan"): copied, they keep their bits.
_NEGATIVE_NAN = from_bits("fff8000000000abc")
_PAYLOAD_NAN = from_bits("7ff80000000c0de0")

ADX = Function(
    name="native_adx",
    vectors_name="adx",
    stream_name="Adx",
    parameters=(("high", SERIES), ("low", SERIES), ("close", SERIES), ("period", INDEX)),
    model=models.adx,
    call=(HIGH, LOW, CLOSE, 3),
    # w = 1/period, k = 1 - w, s[j] = s[j-1]*k + x[j]*w from 0,
    # +DI = (S+DM*100)/ATR, DX = (|+DI - -DI|*100)/(+DI + -DI).
    examples=(
        ("example-a-period-2", (*A, 2), [0.0, 50.0, 75.0, 47.5]),
        ("example-a-period-1", (*A, 1), [0.0, 100.0, 100.0, 100.0]),
        (
            "example-a-period-3",
            (*A, 3),
            [0.0, 33.33333333333333, 55.55555555555555, 49.68071519795658],
        ),
        (
            "example-a-period-14",
            (*A, 14),
            [0.0, 7.142857142857142, 13.775510204081632, 16.816362243274654],
        ),
        ("example-a-period-100", (*A, 100), [0.0, 1.0, 1.99, 2.565258090765556]),
        # P rounds to 2**64 and k to exactly 1.0.
        (
            "example-a-period-18446744073709551615",
            (*A, 2**64 - 1),
            [0.0, 5.421010862427522e-18, 1.0842021724855044e-17, 1.4094628242311558e-17],
        ),
        # Dividing before multiplying by 100, or writing the smoothing as
        # s + w * (x - s) or (s * (P - 1) + x) / P, changes these last digits.
        (
            "example-b",
            ([10.1, 10.1, 12.0, 11.8], [9.4, 8.9, 10.6, 11.8], [9.5, 9.7, 11.0, 11.8], 3),
            [0.0, 33.33333333333333, 45.60530679933665, 53.786622443338864],
        ),
        # NaN high: no directional movement at bars 1 and 2, TR from low-close.
        ("example-a-nan-high", (replaced(A[0], 1, NAN), A[1], A[2], 2), [0.0, 0.0, 0.0, 50.0]),
        # All three TR terms NaN at bar 1: ATR is NaN from then on, DX stays 0.
        (
            "example-a-nan-low-close",
            (A[0], replaced(A[1], 1, NAN), replaced(A[2], 0, NAN), 2),
            [0.0, 0.0, 0.0, 0.0],
        ),
        # Infinite -DM with finite ATR: DX is inf/inf = NaN and ADX stays NaN.
        ("infinite-low", ([10, 10, 10.5], [INF, 9, 9.5], [9.5, 9.5, 10], 2), [0.0, NAN, NAN]),
        # Both operands of the last step NaN: whichever the compiler puts first
        # would win; every computed NaN is stored as float("nan").
        ("both-operands-nan", ([1.0, 9e307, 0], [0, 9e307, 0], [0, 0, 0], 2), [0.0, NAN, NAN]),
        # Flat bars: nothing moves.
        ("flat", ([5.0] * 5, [5.0] * 5, [5.0] * 5, 3), [0.0] * 5),
        # Equal up and down moves count on neither side.
        ("equal-moves", ([10, 11, 12], [9, 8, 7], [9.5, 9.5, 9.5], 2), [0.0, 0.0, 0.0]),
        # DX[1] is 100, so ADX[1] is 100 * w.
        (
            "period-1000000000",
            ([10, 11], [9, 9.5], [9.5, 10.5], 10**9),
            [0.0, 100.0 * (1.0 / 10**9)],
        ),
    ),
    refusals=(
        (([], [], [], 0), models.ADX_PERIOD),
        (([1.0], [1.0], [1.0], False), models.ADX_PERIOD),
        (([1, 2, 3], [1, 2, 3], [1, 2], 0), models.ADX_LENGTHS),
        (([1, 2, 3], [1, 2], [1, 2, 3], 5), models.ADX_LENGTHS),
        (([], [1], [], 5), models.ADX_LENGTHS),
    ),
)

PARABOLIC_SAR = Function(
    name="native_parabolic_sar",
    stream_name="ParabolicSar",
    vectors_name="sar",
    parameters=(("high", SERIES), ("low", SERIES), ("af_step", FLOAT), ("af_max", FLOAT)),
    model=models.parabolic_sar,
    call=(HIGH, LOW, 0.02, 0.2),
    examples=(
        # Two new highs (the factor held at 0.5), a reversal reporting the old
        # extreme 12, two new lows, a reversal reporting 8, and a new high.
        (
            "worked-example",
            ([10, 11, 12, 11, 10, 9, 10, 12], [9, 10, 11, 9.5, 8.5, 8, 9, 11], 0.25, 0.5),
            [9, 9, 10, 12, 11.375, 10, 8, 8.5],
        ),
        # Reversal on the first step reports the old extreme.
        ("reversal-first-step", ([10, 9], [9, 8], 0.25, 0.5), [9, 10]),
        # A stop equal to the low does not reverse.
        ("stop-equals-low", ([10, 11], [9, 9], 0.25, 0.5), [9, 9]),
        # High equal to the stop, low equal to ep: no reversal, no new extreme.
        ("equal-high-and-extreme", ([10, 9, 9.5], [9, 8, 8], 0.25, 0.5), [9, 10, 9.5]),
        # NaN af_step: start factor 1e-6, then af_max at the first new extreme.
        ("nan-af-step", ([10, 11, 12], [9, 10, 11], NAN, 0.5), [9, 9, 10]),
        # af_step above af_max: each trend runs at af_step until its first new extreme.
        ("step-above-max", ([10, 12, 8, 7.5], [9, 11, 7, 6.5], 0.75, 0.5), [9, 9, 12, 8.25]),
        # NaN af_max leaves the factor without a ceiling.
        (
            "nan-af-max",
            ([10, 12, 14, 16, 18], [9, 11.5, 13.5, 15.5, 17.5], 0.25, NAN),
            [9, 9, 10.5, 13.125, 15.5],
        ),
        (
            "af-max-0.5",
            ([10, 12, 14, 16, 18], [9, 11.5, 13.5, 15.5, 17.5], 0.25, 0.5),
            [9, 9, 10.5, 12.25, 14.125],
        ),
        # A NaN low neither reverses its bar nor limits the next stop.
        ("nan-low", ([10, 11, 12, 13], [9, NAN, 11, 12], 0.25, 0.5), [9, 9, 10, 11]),
        # Zero step: the factor stays at 1e-6.
        ("zero-step", ([10, 11, 12], [9, 10, 11], 0.0, 0.5), [9, 9, 9 + (11 - 9) * 1e-6]),
        # af_max 0: the first new extreme sets the factor to 0 and the stop stays.
        ("zero-max", ([10, 11, 12, 13], [9, 10, 11, 12], 0.0, 0.0), [9, 9, 9, 9]),
        # A negative step lowers the factor at each new extreme, below zero.
        (
            "negative-step",
            ([10, 11, 12, 13], [9, 10, 11, 12], -0.25, 0.5),
            [9, 9, _STOP_2, _STOP_3],
        ),
        # A NaN extreme reported at a reversal is the input, sign and payload kept.
        ("copied-nan-extreme", ([_NEGATIVE_NAN, 9], [9, 8], 0.25, 0.5), [9, _NEGATIVE_NAN]),
        # Bar 0 is low[0] as given; bar 1 is the NaN step c itself (its limit
        # low[0] is NaN too), a computed NaN, stored as float("nan").
        (
            "computed-nan-stop",
            ([_NEGATIVE_NAN, 10], [_PAYLOAD_NAN, 9], 0.25, 0.5),
            [_PAYLOAD_NAN, NAN],
        ),
    ),
    refusals=tuple(
        (([1.0] * high, [1.0] * low, 0.02, 0.2), models.SAR_LENGTHS)
        for high, low in [(3, 2), (0, 1), (1, 0)]
    ),
)

GARCH11_VARIANCE = Function(
    name="native_garch11_variance",
    stream_name="Garch11Variance",
    vectors_name="garch",
    parameters=(("returns", SERIES), ("omega", FLOAT), ("alpha", FLOAT), ("beta", FLOAT)),
    model=models.garch11_variance,
    call=(RETURNS, 1e-06, 0.1, 0.85),
    # v[i] = max(0, (alpha * r[i]) * r[i] + omega + v[i-1] * beta), seeded with
    # the sequential mean of r**2, or 1e-8 when that is not finite and > 0.
    examples=(
        # alpha * (r * r), or omega added last, would give 0.000865.
        ("grouping", ([0.03], 1e-05, 0.1, 0.85), [0.0008649999999999999]),
        # The sequential sum of squares is 0.0008550000000000001; a compensated
        # or four-way interleaved sum would give 0.00017099999999999998.
        ("sum-order", ([0.011, 0.012, 0.013, 0.014, 0.015], 0, 0, 1), [0.000171] * 5),
        (
            "mean-seed",
            ([0.01, -0.02, 0.03], 1e-06, 0.1, 0.85),
            [0.00040766666666666664, 0.00038751666666666666, 0.00042038916666666665],
        ),
        (
            "zero-returns",
            ([0.0, 0.0, 0.0], 0, 0.1, 0.9),
            [9.000000000000001e-09, 8.100000000000001e-09, 7.290000000000001e-09],
        ),
        ("subnormal-seed", ([1e-160], 0, 0, 1), [1e-320]),
        ("overflowing-squares", ([1e200, 0.0], 0, 0, 1), [1e-08, 1e-08]),
        (
            "nan-return",
            ([0.01, NAN, 0.02], 1e-06, 0.1, 0.85),
            [1.1008500000000001e-05, 0.0, 4.1e-05],
        ),
        ("infinite-return", ([INF, 0.01], 1e-06, 0.1, 0), [INF, 0.0]),
        ("infinite-return-alpha-0", ([INF, 0.01], 1e-06, 0, 0.5), [0.0, 1e-06]),
        ("nan-return-only", ([NAN], 1e-06, 0, 0.5), [0.0]),
        ("nan-omega", ([0.01, 0.02], NAN, 0.1, 0.9), [0.0, 0.0]),
        ("negative", ([0.0], -1, 0.1, 0.9), [0.0]),
        ("square-seed", ([0.5], 0, 0, 1), [0.25]),
    ),
)

FUNCTIONS = (ADX, PARABOLIC_SAR, GARCH11_VARIANCE)
BY_NAME = {f.name: f for f in FUNCTIONS}
NAMES = [f.name for f in FUNCTIONS]


@dataclass(frozen=True)
class ManyValued:
    """A tarnwick_arrays function of several values per bar (a named tuple),
    the single-valued function whose pass it shares, and the field that is
    that function's value."""

    name: str
    single: Function
    model: Callable  # the fields by name, as lists
    same_as: str

    @property
    def array(self):
        import tarnwick_arrays

        return getattr(tarnwick_arrays, self.name)


DIRECTIONAL_MOVEMENT = ManyValued(
    "directional_movement", ADX, models.directional_movement, same_as="adx"
)
PARABOLIC_SAR_TREND = ManyValued(
    "parabolic_sar_trend", PARABOLIC_SAR, models.parabolic_sar_trend, same_as="sar"
)
MANY_VALUED = (DIRECTIONAL_MOVEMENT, PARABOLIC_SAR_TREND)

# Functions of tarnwick_arrays and tarnwick_stream only, added since
# tarnwick's list functions were frozen; `name` is the array function's.
ARRAYS_ONLY = ()
