"""Time directional_movement and parabolic_sar_trend against adx and
parabolic_sar plus the time to fill as many fresh arrays as they give more:
their extra values are stores, not work.

    python benchmarks/many_valued.py [--runs 3]

For one series of 1,000,000 bars and panels of 5,000 x 2,520 (one series per
row) and 2,520 x 5,000 (dates x symbols, axis=0), each timed call gets fresh
prices (made before the timer starts). Prints per case the median over the
runs and the range, in ms, of the many-valued call and of the single-valued
call followed by filling as many fresh arrays as it gives more (all kept
until the call returns, as a result's fields are), and their ratio, which
the design holds to at most 1.1.
"""

import argparse
import statistics
import time

import numpy as np

import tarnwick_arrays as ta

CASES = (("one series", (1_000_000,), -1), ("rows", (5000, 2520), -1), ("columns", (2520, 5000), 0))


def prices(shape, axis, seed):
    rng = np.random.default_rng(seed)
    close = 100.0 + np.cumsum(rng.standard_normal(shape), axis=axis)
    spread = rng.random(shape)
    return close + spread, close - spread, close


def timed(call, shape, axis, seed):
    high, low, close = prices(shape, axis, seed)
    start = time.perf_counter()
    call(high, low, close, axis)
    return time.perf_counter() - start


def with_fills(single, count):
    """`single`, then `count` fresh arrays of its result's shape filled, all
    kept until the call returns, as the fields of one result are."""

    def call(high, low, close, axis):
        return single(high, low, close, axis), [np.full(high.shape, 1.0) for _ in range(count)]

    return call


PAIRS = (
    (
        "directional_movement",
        lambda h, lo, c, axis: ta.directional_movement(h, lo, c, 14, axis=axis),
        lambda h, lo, c, axis: ta.adx(h, lo, c, 14, axis=axis),
        4,
    ),
    (
        "parabolic_sar_trend",
        lambda h, lo, c, axis: ta.parabolic_sar_trend(h, lo, 0.02, 0.2, axis=axis),
        lambda h, lo, c, axis: ta.parabolic_sar(h, lo, 0.02, 0.2, axis=axis),
        3,
    ),
)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    runs = parser.parse_args().runs
    print(f"lanes: {ta._lanes}; median ms over {runs} runs (range)")
    seed = 0
    for case, shape, axis in CASES:
        for name, many, single, extra in PAIRS:
            times = {"many": [], "single + fills": [], "ratio": []}
            for _ in range(runs):
                seed += 1
                t_many = timed(many, shape, axis, seed)
                t_base = timed(with_fills(single, extra), shape, axis, seed)
                times["many"].append(t_many * 1e3)
                times["single + fills"].append(t_base * 1e3)
                times["ratio"].append(t_many / t_base)
            cells = [
                f"{key} {statistics.median(v):.3g} ({min(v):.3g}-{max(v):.3g})"
                for key, v in times.items()
            ]
            print(f"{case:10} {name:20} " + "  ".join(cells), flush=True)


if __name__ == "__main__":
    main()
