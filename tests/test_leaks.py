"""Every success path and every distinct error path, looped.

Each case runs a few thousand times (well over 100,000 calls in all) after a
warm-up; afterwards the interpreter's block count, the native heap in use and
the reference count of every argument object must be where they were. The
module's own arrays come from C malloc, which the interpreter's counters do not
see, so the native heap is read from glibc's mallinfo2 where it exists.
"""

import collections
import ctypes
import ctypes.util
import gc
import sys

import pytest

import tarnwick

LOOPS = 3_000
WARM_UP = 300


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def _native_heap_reader():
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or None)
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = _MallInfo2
    mallinfo2.argtypes = []

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return in_use


native_heap_in_use = _native_heap_reader()


class Boom(Exception):
    pass


class RaisingLen:
    """A sequence whose __len__ fails: the size hint is then ignored."""

    def __len__(self):
        raise Boom("len")

    def __getitem__(self, i):
        if i < 3:
            return float(i)
        raise IndexError(i)


class LyingLen:
    def __len__(self):
        return 2**62

    def __getitem__(self, i):
        if i < 3:
            return float(i)
        raise IndexError(i)


class RaisingIter:
    def __len__(self):
        return 3

    def __getitem__(self, i):
        return 1.0

    def __iter__(self):
        raise Boom("iter")


class _FailingIterator:
    def __init__(self):
        self.i = 0

    def __iter__(self):
        return self

    def __next__(self):
        self.i += 1
        if self.i > 2:
            raise Boom("next")
        return 1.0


class RaisingNext:
    def __len__(self):
        return 5

    def __getitem__(self, i):
        return 1.0

    def __iter__(self):
        return _FailingIterator()


class RaisingFloat:
    def __float__(self):
        raise Boom("float")


class RaisingIndex:
    def __index__(self):
        raise Boom("index")


class GoodIndex:
    def __index__(self):
        return 3


class GoodFloat:
    def __float__(self):
        return 0.5


class UnprintableKey(str):
    def __str__(self):
        raise Boom("str")


H = [10.0, 11.0, 12.0, 11.5, 12.5]
L = [9.0, 9.5, 10.5, 10.0, 11.0]
C = [9.5, 10.5, 11.5, 10.5, 12.0]
R = [0.01, -0.02, 0.03, 0.0, -0.01]
bad_item = [1.0, RaisingFloat(), 3.0]
text_item = [1.0, "x", 3.0]

adx = tarnwick.native_adx
sar = tarnwick.native_parabolic_sar
garch = tarnwick.native_garch11_variance

# name -> (function, positional args, keyword args, expected exception or None)
CASES = {
    # Success paths, over every accepted kind of series.
    "adx list": (adx, (H, L, C, 3), {}, None),
    "adx tuple keywords": (adx, (), {"high": tuple(H), "low": tuple(L), "close": tuple(C), "period": 14}, None),
    "adx 600 bars": (adx, ([1.0 + i % 7 for i in range(600)],) * 3 + (2**64 - 1,), {}, None),
    "adx index object": (adx, (H, L, C, GoodIndex()), {}, None),
    "adx empty": (adx, ([], [], [], 5), {}, None),
    "sar list": (sar, (H, L, 0.02, 0.2), {}, None),
    "sar range and bytes": (sar, (range(5), b"abcde", GoodFloat(), 1), {}, None),
    "sar lying len": (sar, (LyingLen(), LyingLen(), 0.02, 0.2), {}, None),
    "sar raising len": (sar, (RaisingLen(), RaisingLen(), 0.02, 0.2), {}, None),
    "garch list": (garch, (R, 1e-6, 0.1, 0.85), {}, None),
    "garch mixed": (garch, (R,), {"beta": 0.85, "alpha": 0.1, "omega": 1e-6}, None),
    "garch empty": (garch, ((), 1.0, 1.0, 1.0), {}, None),
    # Binding errors.
    "too many positional": (adx, (H, L, C, 3, 4), {}, TypeError),
    "too few positional": (sar, (H,), {}, TypeError),
    "no arguments": (garch, (), {}, TypeError),
    "unexpected keyword": (adx, (H, L, C), {"periods": 3}, TypeError),
    "lone surrogate keyword": (adx, (H, L, C), {"\udc80": 3}, TypeError),
    "non-ascii keyword": (garch, (R,), {"ωmega": 1.0}, TypeError),
    "unprintable keyword": (garch, (R,), {UnprintableKey("zz"): 1.0}, TypeError),
    "multiple values": (adx, (H, L, C, 3), {"high": H}, TypeError),
    # Conversion errors, in series and in scalars.
    "str series": (garch, ("abc", 1.0, 1.0, 1.0), {}, TypeError),
    "None series": (adx, (None, L, C, 3), {}, TypeError),
    "dict series": (sar, (H, {1: 2}, 0.1, 0.2), {}, TypeError),
    "generator series": (garch, ((x for x in ()), 1.0, 1.0, 1.0), {}, TypeError),
    "raising __iter__": (adx, (H, RaisingIter(), C, 3), {}, Boom),
    "raising __next__": (adx, (H, L, RaisingNext(), 3), {}, Boom),
    "raising __float__ item": (sar, (H, bad_item, 0.1, 0.2), {}, Boom),
    "str item": (garch, (text_item, 1.0, 1.0, 1.0), {}, TypeError),
    "raising __float__ scalar": (sar, (H, L, RaisingFloat(), 0.2), {}, Boom),
    "str scalar": (garch, (R, 1.0, "x", 1.0), {}, TypeError),
    "raising __index__": (adx, (H, L, C, RaisingIndex()), {}, Boom),
    "float period": (adx, (H, L, C, 14.0), {}, TypeError),
    "negative period": (adx, (H, L, C, -1), {}, OverflowError),
    "huge period": (adx, (H, L, C, 2**64), {}, OverflowError),
    # Validation errors.
    "adx lengths": (adx, (H, L, C[:-1], 3), {}, ValueError),
    "adx zero period": (adx, (H, L, C, 0), {}, ValueError),
    "sar lengths": (sar, (H, L[:-1], 0.02, 0.2), {}, ValueError),
}


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
    objects.extend({type(o) for o in objects if type(o).__module__ == __name__})
    objects.append(Boom)
    return objects


def _snapshot(objects):
    gc.collect()
    return (
        sys.getallocatedblocks(),
        native_heap_in_use() if native_heap_in_use else 0,
        [sys.getrefcount(o) for o in objects],
    )


@pytest.fixture
def quiet_unraisable(monkeypatch):
    # The unprintable keyword reports its __str__ failure as unraisable on
    # every call; keep that off the terminal.
    seen = collections.Counter()

    def hook(unraisable):
        seen[str(unraisable.exc_value)] += 1

    monkeypatch.setattr(sys, "unraisablehook", hook)
    return seen


def test_cases_cover_the_promised_volume():
    assert len(CASES) * LOOPS >= 100_000


@pytest.mark.parametrize("name", list(CASES))
def test_no_leak(name, quiet_unraisable):
    function, args, kwargs, expected = CASES[name]
    objects = _watched_objects(args, kwargs)
    _run(function, args, kwargs, expected, WARM_UP)
    quiet_unraisable.clear()
    blocks_before, heap_before, refs_before = _snapshot(objects)
    _run(function, args, kwargs, expected, LOOPS)
    blocks_after, heap_after, refs_after = _snapshot(objects)

    assert refs_after == refs_before
    # One leaked object or array per call would be thousands of blocks or
    # tens of kilobytes; allow only the noise of free lists and caches.
    assert blocks_after - blocks_before < LOOPS // 10
    assert heap_after - heap_before < 8 * LOOPS
    if name == "unprintable keyword":
        assert quiet_unraisable == {"str": LOOPS}
