"""Every success path and every distinct error path, looped.

Each case runs in rounds of a thousand calls after a warm-up (well over
100,000 calls in all); a leak shows as the interpreter's block count, the
native heap in use or the reference count of an argument object growing round
after round. The
module's own arrays come from C malloc, which the interpreter's counters do not
see, so the native heap is read from glibc's mallinfo2 where it exists. The
probe itself must catch stand-ins for the module that leak on purpose.
"""

import collections
import ctypes
import ctypes.util
import pickle
import sys

import numpy as np
import pytest

import tarnwick
import tarnwick_arrays
import tarnwick_stream
from registry import FUNCTIONS
from support import (
    Boom,
    FloatLike,
    IndexLike,
    Key,
    Seq,
    assert_no_growth,
    interpreter_blocks_counted,
    native_heap_in_use,
)

ROUND = 1_000
WARM_UP = 300


H = [10.0, 11.0, 12.0, 11.5, 12.5]
L = [9.0, 9.5, 10.5, 10.0, 11.0]
C = [9.5, 10.5, 11.5, 10.5, 12.0]
R = [0.01, -0.02, 0.03, 0.0, -0.01]
bad_item = [1.0, FloatLike(0.0, fail=True), 3.0]
text_item = [1.0, "x", 3.0]

adx = tarnwick.native_adx
sar = tarnwick.native_parabolic_sar
garch = tarnwick.native_garch11_variance

# name -> (function, positional args, keyword args, expected exception or None)
CASES = {
    # Success paths, over every accepted kind of series.
    "adx tuple keywords": (
        adx,
        (),
        {"high": tuple(H), "low": tuple(L), "close": tuple(C), "period": 14},
        None,
    ),
    "adx 600 bars": (adx, ([1.0 + i % 7 for i in range(600)],) * 3 + (2**64 - 1,), {}, None),
    "adx index object": (adx, (H, L, C, IndexLike(3)), {}, None),
    "adx empty": (adx, ([], [], [], 5), {}, None),
    "sar range and bytes": (sar, (range(5), b"abcde", FloatLike(0.5), 1), {}, None),
    "sar lying len": (
        sar,
        (Seq([0.0, 1.0, 2.0], 2**62), Seq([0.0, 1.0, 2.0], 2**62), 0.02, 0.2),
        {},
        None,
    ),
    "sar raising len": (
        sar,
        (Seq([0.0, 1.0, 2.0], "raise"), Seq([0.0, 1.0, 2.0], "raise"), 0.02, 0.2),
        {},
        None,
    ),
    "garch mixed": (garch, (R,), {"beta": 0.85, "alpha": 0.1, "omega": 1e-6}, None),
    "garch empty": (garch, ((), 1.0, 1.0, 1.0), {}, None),
    # Binding errors.
    "too many positional": (adx, (H, L, C, 3, 4), {}, TypeError),
    "too few positional": (sar, (H,), {}, TypeError),
    "no arguments": (garch, (), {}, TypeError),
    "unexpected keyword": (adx, (H, L, C), {"periods": 3}, TypeError),
    "lone surrogate keyword": (adx, (H, L, C), {"\udc80": 3}, TypeError),
    "non-ascii keyword": (garch, (R,), {"ωmega": 1.0}, TypeError),
    "unprintable keyword": (garch, (R,), {Key("zz", None): 1.0}, TypeError),
    "multiple values": (adx, (H, L, C, 3), {"high": H}, TypeError),
    # Conversion errors, in series and in scalars.
    "str series": (garch, ("abc", 1.0, 1.0, 1.0), {}, TypeError),
    "None series": (adx, (None, L, C, 3), {}, TypeError),
    "generator series": (garch, ((x for x in ()), 1.0, 1.0, 1.0), {}, TypeError),
    "raising __iter__": (adx, (H, Seq([1.0] * 3, fail_iter=True), C, 3), {}, Boom),
    "raising __next__": (adx, (H, L, Seq([1.0] * 5, fail_at=2), 3), {}, Boom),
    "raising __float__ item": (sar, (H, bad_item, 0.1, 0.2), {}, Boom),
    "str item": (garch, (text_item, 1.0, 1.0, 1.0), {}, TypeError),
    "raising __float__ scalar": (sar, (H, L, FloatLike(0.0, fail=True), 0.2), {}, Boom),
    "raising __index__": (adx, (H, L, C, IndexLike(0, fail=True)), {}, Boom),
    "float period": (adx, (H, L, C, 14.0), {}, TypeError),
    "negative period": (adx, (H, L, C, -1), {}, OverflowError),
    "huge period": (adx, (H, L, C, 2**64), {}, OverflowError),
}
# Every function's valid call, by position and by keyword, with each of its
# parameters refused in turn, and its refused arguments.
for f in FUNCTIONS:
    CASES[f"{f.name} call"] = (f.native, f.call, {}, None)
    CASES[f"{f.name} keywords"] = (f.native, (), f.keywords(), None)
    for parameter in f.names:
        CASES[f"{f.name} refused {parameter}"] = (f.native, f.refusing(parameter), {}, TypeError)
    for i, (args, _) in enumerate(f.refusals):
        CASES[f"{f.name} refusal {i}"] = (f.native, args, {}, ValueError)

# The array module: each way into its own code, on success and on error.
H2, L2, C2 = (np.array([s, s[::-1]]) for s in (H, L, C))
OUT = np.empty((2, 5))
CASES.update(
    {
        "arrays adx 2-D in place": (tarnwick_arrays.adx, (H2, L2, C2, 3), {}, None),
        "arrays adx into out": (tarnwick_arrays.adx, (H2, L2, C2, 3), {"out": OUT}, None),
        "arrays sar list first, then float32": (
            tarnwick_arrays.parabolic_sar,
            (H, L2[0].astype(np.float32), 0.02, 0.2),
            {},
            None,
        ),
        "arrays garch object rows": (
            tarnwick_arrays.garch11_variance,
            (H2.astype(object), 0.1, 0.1, 0.1),
            {},
            None,
        ),
        "arrays garch lock released": (
            tarnwick_arrays.garch11_variance,
            (np.ones((2, 4096)), 0.1, 0.1, 0.1),
            {},
            None,
        ),
        # the arrays read and written kept from being resized (weak references)
        "arrays garch lock released, a view into out": (
            tarnwick_arrays.garch11_variance,
            (np.ones((3, 4096))[1:], 0.1, 0.1, 0.1),
            {"out": np.empty((2, 4096))},
            None,
        ),
        "arrays garch numbers per series": (
            tarnwick_arrays.garch11_variance,
            (np.ones((2, 4096)), np.array([1e-6, 2e-6]), 0.1, np.array([0.8, 0.9])),
            {"seed": np.array([1e-4, 2e-4])},
            None,
        ),
        "arrays garch numbers per series, wrong shape": (
            tarnwick_arrays.garch11_variance,
            (H2, np.array([1e-6, 2e-6, 3e-6]), 0.1, 0.8),
            {},
            ValueError,
        ),
        "arrays garch numbers per series, a bad item": (
            tarnwick_arrays.garch11_variance,
            (H2, 0.1, np.array([0.1, FloatLike(0.0, fail=True)], dtype=object), 0.8),
            {},
            Boom,
        ),
        "arrays three dimensions": (
            tarnwick_arrays.garch11_variance,
            (np.ones((1, 1, 2)), 0.1, 0.1, 0.1),
            {},
            ValueError,
        ),
        "arrays shapes differ": (tarnwick_arrays.adx, (H2, L2[:1], C2, 3), {}, ValueError),
        "arrays out not an array": (
            tarnwick_arrays.adx,
            (H2, L2, C2, 3),
            {"out": [0.0]},
            TypeError,
        ),
        "arrays out read-only": (
            tarnwick_arrays.adx,
            (H2, L2, C2, 3),
            {"out": np.broadcast_to(0.0, (2, 5))},
            ValueError,
        ),
        "arrays out of another shape": (
            tarnwick_arrays.adx,
            (H2, L2, C2, 3),
            {"out": OUT[:1]},
            ValueError,
        ),
        "arrays zero period": (tarnwick_arrays.adx, (H2, L2, C2, 0), {}, ValueError),
        "arrays axis 0": (tarnwick_arrays.adx, (H2.T, L2.T, C2.T, 3), {"axis": 0}, None),
        "arrays omit in lanes": (
            tarnwick_arrays.garch11_variance,
            (np.where(np.eye(16, 40) == 1, np.nan, 0.01), 1e-6, 0.1, 0.85),
            {"nan_policy": "omit"},
            None,
        ),
        "arrays axis out of bounds": (
            tarnwick_arrays.adx,
            (H2, L2, C2, 3),
            {"axis": 2},
            ValueError,
        ),
        "arrays unknown nan_policy": (
            tarnwick_arrays.adx,
            (H2, L2, C2, 3),
            {"nan_policy": "skip"},
            ValueError,
        ),
        "arrays NaN refused": (
            tarnwick_arrays.garch11_variance,
            (np.array([0.1, np.nan]), 0.1, 0.1, 0.1),
            {"nan_policy": "raise"},
            ValueError,
        ),
        "arrays by= gathered, omit": (
            tarnwick_arrays.garch11_variance,
            (np.tile([0.01, np.nan, -0.02, 0.03], 16), 1e-6, 0.1, 0.85),
            {"nan_policy": "omit", "by": np.arange(64) % 5},
            None,
        ),
        "arrays by= in place, text keys": (
            tarnwick_arrays.adx,
            (np.arange(64.0) + 9, np.arange(64.0) + 8, np.arange(64.0) + 8.5, 3),
            {"by": np.repeat(np.array(["a", "b"]), 32)},
            None,
        ),
        "arrays by= null key": (
            tarnwick_arrays.adx,
            (R, R, R, 3),
            {"by": np.array([1, None, 1, 2, 2], dtype=object)},
            ValueError,
        ),
        "arrays by= with 2-D": (
            tarnwick_arrays.adx,
            (H2, L2, C2, 3),
            {"by": np.arange(10)},
            ValueError,
        ),
        "arrays raising __float__ in a row": (
            tarnwick_arrays.garch11_variance,
            (np.array([bad_item, bad_item], dtype=object), 0.1, 0.1, 0.1),
            {},
            Boom,
        ),
    }
)

# Containers, handed to tarnwick_frames and back: only where pandas and
# polars are installed (the emulated aarch64 run has neither, and must still
# run every other case).
try:
    import pandas as pd
    import polars as pl

    from tarnwick_frames import _Chunks
except ImportError:
    pd = pl = None
if pd is not None:
    FRAME = pd.DataFrame({"a": R, "b": R[::-1]}, index=pd.date_range("2024-01-01", periods=5))
    CASES.update(
        {
            "frames pandas frame": (
                tarnwick_arrays.garch11_variance,
                (FRAME, 1e-6, 0.1, 0.85),
                {},
                None,
            ),
            "frames polars omit null": (
                tarnwick_arrays.garch11_variance,
                (pl.Series([0.01, None, 0.02]), 1e-6, 0.1, 0.85),
                {"nan_policy": "omit"},
                None,
            ),
            "frames null refused": (
                tarnwick_arrays.garch11_variance,
                (pl.Series([0.01, None, 0.02]), 1e-6, 0.1, 0.85),
                {},
                ValueError,
            ),
            "frames index differs": (
                tarnwick_arrays.parabolic_sar,
                (FRAME, FRAME.shift(1, freq="D"), 0.02, 0.2),
                {},
                ValueError,
            ),
            # A polars frame's columns and Arrow chunks read where they lie.
            "frames polars columns": (
                tarnwick_arrays.adx,
                (*[pl.from_pandas(FRAME)] * 3, 2),
                {},
                None,
            ),
            "frames pieces refused": (
                tarnwick_arrays.garch11_variance,
                (_Chunks((np.asarray(R), np.asarray(R, np.float32))), 1e-6, 0.1, 0.85),
                {},
                TypeError,
            ),
        }
    )
    import pyarrow as pa

    CASES["frames chunks"] = (
        tarnwick_arrays.garch11_variance,
        (pa.chunked_array([R[:2], [], R[2:]], pa.float64()), 1e-6, 0.1, 0.85),
        {},
        None,
    )


# The stream module: each method on success, and each way a call fails.
ADX_STREAM = tarnwick_stream.Adx(3)
GARCH_STREAMS = tarnwick_stream.Garch11Variance(1e-6, 0.1, 0.85, symbols=2)
KEYED = tarnwick_stream.Adx(3, symbols=["a", "b", 7])
OWN_NUMBERS = (np.array([1e-6, 2e-6]), 0.1, np.array([0.8, 0.85]))
OWN_NUMBERS_STREAM = tarnwick_stream.Garch11Variance(*OWN_NUMBERS, symbols=2)
KEYED_ROWS = np.array(["b", "a", "b", "b", "a"])
_, RESTORE_ARGS = tarnwick_stream.ParabolicSar(0.02, 0.2).__reduce__()
CASES.update(
    {
        "stream made": (tarnwick_stream.Garch11Variance, (0.1, 0.1, 0.1), {"seed": 1.0}, None),
        "stream update": (ADX_STREAM.update, (12.0, 10.0, 11.0), {}, None),
        "stream update by keyword": (ADX_STREAM.peek, (12.0, 10.0), {"close": 11}, None),
        "stream extend": (ADX_STREAM.extend, (H, L, C), {}, None),
        "stream pickled": (pickle.dumps, (ADX_STREAM,), {}, None),
        "stream restored": (tarnwick_stream._restore, RESTORE_ARGS, {}, None),
        "stream copied": (ADX_STREAM.copy, (), {}, None),
        "streams update": (
            GARCH_STREAMS.update,
            (R[:2],),
            {"where": np.array([True, False])},
            None,
        ),
        "streams where refused": (GARCH_STREAMS.update, (R[:2],), {"where": R[:2]}, TypeError),
        "streams extend": (GARCH_STREAMS.extend, (np.array([R, R]),), {}, None),
        "streams extend lock released": (GARCH_STREAMS.extend, (np.ones((2, 4096)),), {}, None),
        "streams value": (getattr, (GARCH_STREAMS, "value"), {}, None),
        "streams own numbers": (tarnwick_stream.Garch11Variance, OWN_NUMBERS, {"symbols": 2}, None),
        "streams own numbers pickled": (pickle.dumps, (OWN_NUMBERS_STREAM,), {}, None),
        "streams own numbers wrong length": (
            tarnwick_stream.Garch11Variance,
            OWN_NUMBERS,
            {"seed": np.ones(3), "symbols": 2},
            ValueError,
        ),
        "stream zero period": (tarnwick_stream.Adx, (0,), {}, ValueError),
        "stream bad symbols": (tarnwick_stream.Adx, (3,), {"symbols": "x"}, TypeError),
        "stream raising __float__ bar": (ADX_STREAM.update, (1.0, 1.0, bad_item[1]), {}, Boom),
        "stream lengths differ": (ADX_STREAM.extend, (H, L[:2], C), {}, ValueError),
        "stream corrupted pickle": (
            tarnwick_stream._restore,
            (*RESTORE_ARGS[:4], b"\2" * len(RESTORE_ARGS[4])),
            {},
            ValueError,
        ),
        "streams wrong shape": (GARCH_STREAMS.update, (R,), {}, ValueError),
        "streams wrong rows": (GARCH_STREAMS.extend, (np.array([R]),), {}, ValueError),
        "keyed streams by= in place": (KEYED.update, (R, R, R), {"by": KEYED_ROWS}, None),
        "keyed streams unknown key in place": (
            KEYED.update,
            (R, R, R),
            {"by": np.array(["b", "b", "z", "a", "z"])},
            ValueError,
        ),
    }
)
try:  # text key columns taken through the Arrow interface, released each call
    import pyarrow as pa

    ARROW_ROWS = pa.chunked_array([KEYED_ROWS[:2].tolist(), KEYED_ROWS[2:].tolist()])
    CASES["arrays by= Arrow text keys"] = (
        tarnwick_arrays.adx,
        (R, R, R, 3),
        {"by": ARROW_ROWS.cast(pa.string_view())},
        None,
    )
    CASES["keyed streams by= Arrow"] = (KEYED.update, (R, R, R), {"by": ARROW_ROWS}, None)
    CASES["keyed streams by= Arrow, a null"] = (
        KEYED.update,
        (R, R, R),
        {"by": pa.array(["a", "b", None, "a", "b"])},
        ValueError,
    )
    # A view whose data buffer is past the array's: refused as it is read.
    _clean = pa.array(["x" * 20] * 5, pa.string_view())
    _views = bytearray(_clean.buffers()[1])
    _views[72:76] = np.array([7], np.int32).tobytes()
    _malformed = [None, pa.py_buffer(bytes(_views)), *_clean.buffers()[2:]]
    CASES["arrays by= malformed Arrow keys"] = (
        tarnwick_arrays.adx,
        (R, R, R, 3),
        {"by": pa.Array.from_buffers(pa.string_view(), 5, _malformed)},
        ValueError,
    )
except ImportError:
    pass


def _run(function, args, kwargs, expected, count):
    for _ in range(count):
        try:
            function(*args, **kwargs)
        except Exception as exc:
            if expected is None or type(exc) is not expected:
                raise
        else:
            assert expected is None


def _watched_objects(args, kwargs):
    objects = list(args) + list(kwargs) + list(kwargs.values())
    for obj in list(objects):
        if isinstance(obj, (list, tuple)):
            objects.extend(obj)
    # Small integers are shared with the whole interpreter; their counts move
    # with everything else that runs.
    objects = [o for o in objects if not isinstance(o, int) and o is not None]
    # Instances of heap types hold a reference to their type, so a leaked
    # instance of one of these classes shows in the class's count too.
    objects.extend({type(o) for o in objects if type(o).__module__ != "builtins"})
    objects.append(Boom)
    return objects


@pytest.fixture
def quiet_unraisable(monkeypatch):
    # The unprintable keyword reports its __str__ failure as unraisable on
    # every call; keep that off the terminal.
    seen = collections.Counter()

    def hook(unraisable):
        seen[str(unraisable.exc_value)] += 1

    monkeypatch.setattr(sys, "unraisablehook", hook)
    return seen


def check_no_leak(function, args, kwargs, expected):
    """Returns the number of calls it made."""
    calls = [WARM_UP]
    _run(function, args, kwargs, expected, WARM_UP)

    def run_round():
        _run(function, args, kwargs, expected, ROUND)
        calls.append(ROUND)

    # One leaked object or array per call is a thousand blocks or kilobytes a
    # round; a tenth of a block or 8 bytes a call is noise of free lists.
    assert_no_growth(run_round, _watched_objects(args, kwargs), blocks=ROUND // 10, heap=8 * ROUND)
    return sum(calls)


@pytest.mark.parametrize("name", list(CASES))
def test_no_leak(name, quiet_unraisable):
    calls = check_no_leak(*CASES[name])
    if name == "unprintable keyword":
        assert quiet_unraisable == {"__str__": calls}


# Stand-ins for the module that leak on purpose, one per probe: a probe that
# never fails proves nothing.
_incref = ctypes.pythonapi.Py_IncRef
_incref.argtypes = [ctypes.py_object]
_malloc = ctypes.CDLL(ctypes.util.find_library("c") or None).malloc
_malloc.restype = ctypes.c_void_p
_malloc.argtypes = [ctypes.c_size_t]
_kept = []


def keeps_a_reference(returns, *rest):
    _incref(returns)
    return garch(returns, *rest)


def never_frees(returns, *rest):
    _malloc(64)
    return garch(returns, *rest)


def keeps_an_object(returns, *rest):
    result = garch(returns, *rest)
    _kept.append(result)
    return result


@pytest.mark.parametrize(
    "stand_in, probe",
    [
        (keeps_a_reference, "reference counts moved"),
        pytest.param(
            keeps_an_object,
            "interpreter blocks grew",
            marks=pytest.mark.skipif(
                not interpreter_blocks_counted, reason="the interpreter counts no blocks"
            ),
        ),
        pytest.param(
            never_frees,
            "native heap grew",
            marks=pytest.mark.skipif(
                native_heap_in_use is None, reason="the native heap cannot be read"
            ),
        ),
    ],
)
def test_probe_reports_a_leaking_stand_in(stand_in, probe):
    with pytest.raises(AssertionError, match=probe):
        check_no_leak(stand_in, (list(R), 1e-6, 0.1, 0.85), {}, None)
    _kept.clear()
