"""Helpers several test files share: the caller's objects that lie or fail,
the leak probe, fresh interpreters, numpy layouts and the random prices."""

import ctypes
import ctypes.util
import gc
import os
import subprocess
import sys
import textwrap

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))


class Boom(Exception):
    """An exception raised by the caller's own objects."""


class Raiser:
    """A caller's object whose protocol methods may raise Boom. It keeps the
    last one it raised, to check that the caller gets that very object."""

    raised = None

    def boom(self, where):
        self.raised = Boom(where)
        raise self.raised


class Seq(Raiser):
    """A sequence of `items` whose length may lie (a claimed int, or "raise"
    for a failing __len__: a length is only a size hint) and whose iteration
    may fail at its start or at item `fail_at`."""

    def __init__(self, items, length=None, fail_iter=False, fail_at=None):
        self.items = list(items)
        self.length = length
        self.fail_iter = fail_iter
        self.fail_at = fail_at

    def __len__(self):
        if self.length == "raise":
            self.boom("__len__")
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        if self.fail_iter:
            self.boom("__iter__")
        for i, item in enumerate(self.items):
            if i == self.fail_at:
                self.boom("__next__")
            yield item


class _Number(Raiser):
    def __init__(self, value, fail=False):
        self.value = value
        self.fail = fail

    def _convert(self, where):
        if self.fail:
            self.boom(where)
        return self.value


class FloatLike(_Number):
    def __float__(self):
        return self._convert("__float__")


class IndexLike(_Number):
    def __index__(self):
        return self._convert("__index__")


class Key(str):
    """A keyword name whose str() is `shown` instead of its text, or raises
    Boom when `shown` is None."""

    def __new__(cls, text, shown):
        self = super().__new__(cls, text)
        self.shown = shown
        return self

    def __str__(self):
        if self.shown is None:
            raise Boom("__str__")
        return self.shown


# --- the leak probe --------------------------------------------------------


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
    # The module's arrays come from C malloc, which the interpreter's block
    # count does not see; glibc's mallinfo2 does, unless a sanitizer's
    # allocator has taken malloc over.
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or None)
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = _MallInfo2
    mallinfo2.argtypes = []
    libc.malloc.restype = ctypes.c_void_p
    libc.malloc.argtypes = [ctypes.c_size_t]
    libc.free.argtypes = [ctypes.c_void_p]

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    before = in_use()
    block = libc.malloc(1 << 20)
    seen = in_use() - before >= 1 << 20
    libc.free(block)
    return in_use if seen else None


native_heap_in_use = _native_heap_reader()
# Without the interpreter's small-object allocator (PYTHONMALLOC=malloc) its
# block count stays 0.
interpreter_blocks_counted = sys.getallocatedblocks() > 0


# A leak grows every round by about as much; a free list, a cache or another
# thread's allocation grows once in a while. So growth counts only when the
# same reading grows in this many consecutive rounds, and a single round
# without growth clears the case.
GROWING_ROUNDS = 3
MAX_ROUNDS = 10


# From 3.12 an object whose count is at least this is immortal: the
# interpreter never frees it, and a module built for the 3.11 stable ABI
# counts its references with plain increments that the interpreter's own
# (immortal-aware) decrements leave in place, so its count says nothing.
IMMORTAL = 2**31


def _reading(objects):
    gc.collect()
    return (
        [sys.getrefcount(o) for o in objects if sys.getrefcount(o) < IMMORTAL],
        sys.getallocatedblocks(),
        native_heap_in_use() if native_heap_in_use else 0,
    )


def assert_no_growth(run_round, objects=(), blocks=1, heap=1):
    """Calls `run_round` until a round moves no reference count of `objects`
    and grows interpreter blocks by less than `blocks` and native heap bytes by
    less than `heap`. Fails when one of those grows in GROWING_ROUNDS rounds
    in a row, or no round is clean in MAX_ROUNDS."""
    probes = ("reference counts moved", "interpreter blocks grew", "native heap grew")
    streaks = [0, 0, 0]
    before = _reading(objects)
    for _ in range(MAX_ROUNDS):
        run_round()
        after = _reading(objects)
        grew = [after[0] != before[0], after[1] - before[1] >= blocks, after[2] - before[2] >= heap]
        if not any(grew):
            return
        streaks = [n + 1 if g else 0 for n, g in zip(streaks, grew, strict=True)]
        for probe, n in zip(probes, streaks, strict=True):
            assert n < GROWING_ROUNDS, f"{probe} in {n} rounds in a row"
        before = after
    raise AssertionError(f"no round of {MAX_ROUNDS} without growth")


# --- fresh interpreters ----------------------------------------------------


def run_fresh(source=None, *args, cwd=None, env=None, timeout=120, check=True):
    """Runs `source` (dedented) in a new interpreter that can import the test
    helpers, or with no source the interpreter on `args` alone (a script or
    -m module and its arguments); `env` adds variables to the environment.
    Returns its stdout after checking it exited cleanly; with check=False,
    the finished process, whatever its exit."""
    if source is None:
        command = [sys.executable, *args]
    else:
        prelude = f"import sys\nsys.path.insert(0, {TESTS_DIR!r})\n"
        command = [sys.executable, "-c", prelude + textwrap.dedent(source), *args]
    proc = subprocess.run(
        command,
        capture_output=True,
        text=True,
        timeout=timeout,
        cwd=cwd,
        env=None if env is None else {**os.environ, **env},
    )
    if not check:
        return proc
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout


# --- numpy -------------------------------------------------------------------


def numpy_layouts():
    """Makers of float64 arrays holding the given values, laid out in memory
    in different ways, by name."""
    import numpy as np

    return {
        "float64": lambda xs: np.array(xs, dtype=np.float64),
        "view-of-reversed-view": lambda xs: np.array(xs, dtype=np.float64)[::-1][::-1],
        "reversed": lambda xs: np.array(xs[::-1], dtype=np.float64)[::-1],
        "strided": lambda xs: np.repeat(np.array(xs, dtype=np.float64), 3)[::3],
        "column": lambda xs: np.array([[x, 0.0] for x in xs])[:, 0],
        "row-of-transpose": lambda xs: np.array([[0.0, x] for x in xs]).T[1],
        "unaligned": lambda xs: np.frombuffer(
            bytearray(b"\0" + np.array(xs, dtype=np.float64).tobytes()), offset=1
        ),
        "big-endian": lambda xs: np.array(xs, dtype=">f8"),
        "masked-unmasked": lambda xs: np.ma.masked_array(xs),
    }


# Values a price series should never hold, which every path must still give
# the documented bits for: NaN of either sign, infinities, signed zeros,
# subnormals, the smallest normal and the largest magnitudes.
ODD_VALUES = (
    float("nan"),
    -float("nan"),
    float("inf"),
    -float("inf"),
    -0.0,
    0.0,
    5e-324,
    -5e-324,
    2.2250738585072014e-308,
    1e308,
    -1e308,
)


def price_bars(shape, seed, odd=0.0):
    """The test suite's random prices: float64 arrays of `shape` (bars along
    the last axis) by name, high, low and close of a random walk from 100 and
    the returns of close, the same for the same seed (an int or a tuple of
    ints). With `odd` > 0, about that share of each series' values are
    replaced by values from ODD_VALUES."""
    import numpy as np

    rng = np.random.default_rng(seed)
    close = 100 + np.cumsum(rng.normal(0, 1, shape), axis=-1)
    spread = np.abs(rng.normal(0, 0.5, shape))
    bars = {"high": close + spread, "low": close - spread, "close": close}
    previous = np.concatenate([np.full((*close.shape[:-1], 1), 100.0), close[..., :-1]], axis=-1)
    bars["returns"] = (close - previous) * 0.01
    if odd > 0:
        for values in bars.values():
            at = rng.random(values.shape) < odd
            values[at] = rng.choice(ODD_VALUES, int(at.sum()))
    return bars
