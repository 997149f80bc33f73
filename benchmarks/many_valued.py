"""Time directional_movement and parabolic_sar_trend against adx and
parabolic_sar plus the time to fill as many fresh arrays as they give more:
their extra values are stores, not work.

    python benchmarks/many_valued.py [--runs 3] [--clock wall|thread] [--cases rows,by]
                                     [--warm-pages]

For one series of 1,000,000 bars, panels of 5,000 x 2,520 (one series per
row) and 2,520 x 5,000 (dates x symbols, axis=0), and the long table of the
same 5,000 x 2,520 rows grouped with by= (sorted by symbol, and shuffled),
each timed call gets fresh prices (made before the timer starts). The clock
is the wall clock, or with --clock thread the calling thread's CPU time,
which leaves out the time other processes of a busy machine take from it.
Fresh result arrays are fresh pages, which the system zeroes when first
written, inside the timed call, and on a busy machine that time swings
widely; with --warm-pages (glibc) memory is taken from the heap and never
given back, so after an untimed first call of each case the arrays reuse
pages already touched and the times are those of the work and its stores.
Prints per case the median over the runs and the range, in ms, of the
many-valued call and of the single-valued call followed by filling as many
fresh arrays as it gives more (all kept until the call returns, as a
result's fields are), and their ratio, which the design holds to at most 1.1.
"""

import argparse
import ctypes
import statistics
import time

import numpy as np

import tarnwick_arrays as ta

CASES = {
    "one": ("one series", (1_000_000,), -1),
    "rows": ("rows", (5000, 2520), -1),
    "columns": ("columns", (2520, 5000), 0),
    "by": ("by sorted", (5000 * 2520,), "sorted"),
    "shuffled": ("by shuffled", (5000 * 2520,), "shuffled"),
}
SYMBOLS = 5000


def keys_of(layout):
    """The symbol of each row of the long table: 5,000 symbols of 2,520 rows,
    each symbol's rows together, or shuffled."""
    keys = np.repeat(np.arange(SYMBOLS), 2520)
    return np.random.default_rng(0).permutation(keys) if layout == "shuffled" else keys


def prices(shape, axis, seed):
    rng = np.random.default_rng(seed)
    close = 100.0 + np.cumsum(
        rng.standard_normal(shape), axis=axis if isinstance(axis, int) else -1
    )
    spread = rng.random(shape)
    return close + spread, close - spread, close


def timed(call, shape, axis, seed, clock):
    high, low, close = prices(shape, axis, seed)
    start = clock()
    call(high, low, close, axis)
    return clock() - start


def axis_or_by(axis):
    """The keywords of a case: its time axis, or its long table's keys."""
    return {"axis": axis} if isinstance(axis, int) else {"by": KEYS[axis]}


KEYS = {}


def with_fills(single, count):
    """`single`, then `count` fresh arrays of its result's shape filled, all
    kept until the call returns, as the fields of one result are."""

    def call(high, low, close, axis):
        return single(high, low, close, axis), [np.full(high.shape, 1.0) for _ in range(count)]

    return call


PAIRS = (
    (
        "directional_movement",
        lambda h, lo, c, axis: ta.directional_movement(h, lo, c, 14, **axis_or_by(axis)),
        lambda h, lo, c, axis: ta.adx(h, lo, c, 14, **axis_or_by(axis)),
        4,
    ),
    (
        "parabolic_sar_trend",
        lambda h, lo, c, axis: ta.parabolic_sar_trend(h, lo, 0.02, 0.2, **axis_or_by(axis)),
        lambda h, lo, c, axis: ta.parabolic_sar(h, lo, 0.02, 0.2, **axis_or_by(axis)),
        3,
    ),
)


def keep_pages():
    """Every allocation from the heap (none mapped on its own) and none
    handed back to the system, through glibc's mallopt."""
    libc = ctypes.CDLL("libc.so.6")
    m_trim_threshold, m_mmap_max = -1, -4
    if not (libc.mallopt(m_mmap_max, 0) and libc.mallopt(m_trim_threshold, 2**31 - 1)):
        raise SystemExit("--warm-pages: mallopt refused")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--clock", choices=("wall", "thread"), default="wall")
    parser.add_argument("--cases", default=",".join(CASES))
    parser.add_argument("--warm-pages", action="store_true")
    arguments = parser.parse_args()
    if arguments.warm_pages:
        keep_pages()
    runs = arguments.runs
    clock = time.perf_counter if arguments.clock == "wall" else time.thread_time
    pages = "warm" if arguments.warm_pages else "fresh"
    print(
        f"lanes: {ta._lanes}; {arguments.clock} clock; {pages} pages;"
        f" median ms over {runs} runs (range)"
    )
    seed = 0
    for case, shape, axis in (CASES[c] for c in arguments.cases.split(",")):
        if not isinstance(axis, int):
            KEYS[axis] = keys_of(axis)
        for name, many, single, extra in PAIRS:
            if arguments.warm_pages:
                seed += 1
                timed(many, shape, axis, seed, clock)
                timed(with_fills(single, extra), shape, axis, seed, clock)
            times = {"many": [], "single + fills": [], "ratio": []}
            for _ in range(runs):
                seed += 1
                t_many = timed(many, shape, axis, seed, clock)
                t_base = timed(with_fills(single, extra), shape, axis, seed, clock)
                times["many"].append(t_many * 1e3)
                times["single + fills"].append(t_base * 1e3)
                times["ratio"].append(t_many / t_base)
            cells = [
                f"{key} {statistics.median(v):.3g} ({min(v):.3g}-{max(v):.3g})"
                for key, v in times.items()
            ]
            print(f"{case:11} {name:20} " + "  ".join(cells), flush=True)


if __name__ == "__main__":
    main()
