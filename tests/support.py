"""Helpers several test files share: caller objects that fail, the leak
probe, fresh interpreters and numpy layouts."""

import ctypes
import ctypes.util
import gc
import os
import subprocess
import sys

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))


class Boom(Exception):
    """An exception raised by the caller's own objects."""


def raiser(error):
    def method(*_):
        raise error

    return method


class LyingLength:
    """A sequence of `items` whose __len__ claims `claimed` (or raises Boom
    when `claimed` is None): a length is only a size hint."""

    def __init__(self, claimed, items=(0.01, -0.02, 0.03)):
        self.claimed = claimed
        self.items = list(items)

    def __len__(self):
        if self.claimed is None:
            raise Boom("len")
        return self.claimed

    def __getitem__(self, i):
        return self.items[i]


# --- the leak probe --------------------------------------------------------


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
                     "fordblks", "keepcost")
    ]


def _native_heap_reader():
    # The module's arrays come from C malloc, which the interpreter's block
    # count does not see; glibc's mallinfo2 does.
    try:
        mallinfo2 = ctypes.CDLL(ctypes.util.find_library("c") or None).mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = _MallInfo2
    mallinfo2.argtypes = []

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return in_use


native_heap_in_use = _native_heap_reader()


def snapshot(objects=()):
    """Interpreter blocks, native heap bytes and the reference count of each
    of `objects`, after a collection."""
    gc.collect()
    return (
        sys.getallocatedblocks(),
        native_heap_in_use() if native_heap_in_use else 0,
        [sys.getrefcount(o) for o in objects],
    )


def assert_no_growth(before, after, blocks, heap):
    """Fails when references moved, or blocks or heap bytes grew by `blocks`
    or `heap` or more."""
    assert after[2] == before[2], "reference counts moved"
    assert after[0] - before[0] < blocks, "interpreter blocks grew"
    assert after[1] - before[1] < heap, "native heap grew"


# --- fresh interpreters ----------------------------------------------------


def run_fresh(source, timeout=120):
    """Runs `source` in a new interpreter that can import the test helpers;
    returns its stdout after checking it exited cleanly."""
    proc = subprocess.run(
        [sys.executable, "-c", f"import sys\nsys.path.insert(0, {TESTS_DIR!r})\n" + source],
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    assert proc.returncode == 0, proc.stderr
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
        "transposed-row": lambda xs: np.array([[0.0] * len(xs), list(xs)]).T[:, 1],
        "unaligned": lambda xs: np.frombuffer(bytearray(b"\0" + np.array(xs, dtype=np.float64).tobytes()), offset=1),
        "big-endian": lambda xs: np.array(xs, dtype=">f8"),
        "masked-unmasked": lambda xs: np.ma.masked_array(xs),
    }
