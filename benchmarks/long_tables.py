"""Time by= on a long table (one row per symbol and date) against the same
bars as a 2-D array, and against polars' .over("symbol").

    python benchmarks/long_tables.py [--runs 3] [--calls 5]

For 5,000 symbols x 252 bars and 500 x 2,520, with the rows sorted by
(symbol, date) and shuffled, each run prints the median time per call of
ADX(14) as nanoseconds per bar:

    2-D array    tarnwick_arrays.adx on (symbols, bars) float64 arrays
    by= numpy    tarnwick_arrays.adx on the long columns, by= int64 codes
    by= polars   tarnwick_frames.polars.adx(..., by="symbol"), text keys, select
    by= pl cat   the same with the keys a polars Categorical (read by its codes)
    .over        tarnwick_frames.polars.adx(...).over("symbol"), select
    polars-talib polars_talib.adx(...).over("symbol"), when installed (5,000 x 252)

Every timed call gets prices made fresh for it, outside the timing (the keys
of a shape and layout are the same from call to call, as a universe's are);
the contenders of a shape and layout take turns call by call, so that the
machine's load weighs on each alike. Each line gives the median wall time
and, in brackets, this process's CPU time.
Each run prints the load average before it; the last lines give each
figure's range over the runs, its ratio to the 2-D array, and polars-talib's
time over polars by='s (medians over the runs).

polars-talib is a peer for this script only: install it in a separate
environment with this package, never in the test one.
"""

from __future__ import annotations

import argparse
import os
import statistics

import numpy as np
import polars as pl
from columns import median_times

import tarnwick_arrays as ta
import tarnwick_frames.polars as tp

try:
    import polars_talib as plta
except ImportError:  # a peer, in the bench extra only
    plta = None

SHAPES = ((5_000, 252), (500, 2_520))
LAYOUTS = ("sorted", "shuffled")


def prices(rng, symbols, bars):
    close = 100 + np.cumsum(rng.normal(0, 1, (symbols, bars)), axis=1)
    spread = rng.uniform(0.1, 1.0, (symbols, bars))
    return close + spread, close - spread, close


def contenders(symbols, bars, layout, rng):
    order = np.arange(symbols * bars)
    if layout == "shuffled":
        order = rng.permutation(order)
    codes = np.repeat(np.arange(symbols, dtype=np.int64), bars)[order]
    names = pl.Series("symbol", [f"S{c:05d}" for c in range(symbols)])[codes]

    def wide():
        return prices(rng, symbols, bars)

    def long():
        return [a.reshape(-1)[order] for a in prices(rng, symbols, bars)]

    def frame(keys=names):
        high, low, close = long()
        return pl.DataFrame({"symbol": keys, "high": high, "low": low, "close": close})

    categories = names.cast(pl.Categorical)

    found = {
        "2-D array": (wide, lambda d: ta.adx(*d, 14)),
        "by= numpy": (long, lambda d: ta.adx(*d, 14, by=codes)),
        "by= polars": (frame, lambda d: d.select(tp.adx("high", "low", "close", 14, by="symbol"))),
        "by= pl cat": (
            lambda: frame(categories),
            lambda d: d.select(tp.adx("high", "low", "close", 14, by="symbol")),
        ),
        ".over": (frame, lambda d: d.select(tp.adx("high", "low", "close", 14).over("symbol"))),
    }
    if plta is not None and symbols == 5_000:
        found["polars-talib"] = (
            frame,
            lambda d: d.select(
                plta.adx(pl.col("high"), pl.col("low"), pl.col("close"), timeperiod=14).over(
                    "symbol"
                )
            ),
        )
    return found


def load():
    return " ".join(f"{n:.1f}" for n in os.getloadavg())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--calls", type=int, default=5)
    options = parser.parse_args()
    rng = np.random.default_rng(1)
    figures = {}
    for run in range(options.runs):
        print(f"run {run + 1}, load average {load()}")
        for symbols, bars in SHAPES:
            for layout in LAYOUTS:
                cases = contenders(symbols, bars, layout, rng)
                for name, (wall, cpu) in median_times(cases, options.calls).items():
                    ns, cpu_ns = (t / (symbols * bars) * 1e9 for t in (wall, cpu))
                    figures.setdefault((symbols, bars, layout, name), []).append(ns)
                    print(
                        f"  {symbols:>5} x {bars:<5} {layout:<8} {name:<13} {ns:7.1f} ns/bar"
                        f" (CPU {cpu_ns:7.1f})"
                    )
    print(f"load average {load()}")
    print(f"over {options.runs} runs (min - max ns/bar; ratios of medians)")
    for (symbols, bars, layout, name), values in figures.items():
        median = statistics.median(values)
        wide = statistics.median(figures[(symbols, bars, layout, "2-D array")])
        peer = figures.get((symbols, bars, layout, "polars-talib"))
        against = ""
        if name == "by= polars" and peer:
            against = f"   polars-talib x{statistics.median(peer) / median:5.2f} of it"
        print(
            f"  {symbols:>5} x {bars:<5} {layout:<8} {name:<13} "
            f"{min(values):7.1f} - {max(values):7.1f}   x{median / wide:5.2f} of 2-D{against}"
        )


if __name__ == "__main__":
    main()
