"""Time tarnwick_arrays' axis and nan_policy against its default layout, on the
same data in the same run.

    python benchmarks/columns.py [--repeat N]

For each shape (dates, symbols) it prints the best time per call of
axis=0 on a C-contiguous (dates, symbols) array, of the default axis=-1 on a
C-contiguous (symbols, dates) copy of the same data, and of nan_policy="omit"
on each (no NaN present, then one bar in 100 NaN), as nanoseconds per bar.
"""

from __future__ import annotations

import argparse
import timeit

import numpy as np

import tarnwick_arrays as ta

SHAPES = ((2_520, 500), (250, 5_000), (100_000, 8), (20, 20_000))


def calls(wide: np.ndarray, tall: np.ndarray):
    bars = (wide + 0.5, wide - 0.5, wide)  # high, low, close
    rows = [np.ascontiguousarray(a.T) for a in bars]
    return {
        "adx axis=-1": lambda: ta.adx(*rows, 14),
        "adx axis=0": lambda: ta.adx(*bars, 14, axis=0),
        "garch axis=-1": lambda: ta.garch11_variance(tall, 1e-6, 0.1, 0.85),
        "garch axis=0": lambda: ta.garch11_variance(wide, 1e-6, 0.1, 0.85, axis=0),
        "garch axis=-1 omit": lambda: ta.garch11_variance(tall, 1e-6, 0.1, 0.85, nan_policy="omit"),
        "garch axis=0 omit": lambda: ta.garch11_variance(
            wide, 1e-6, 0.1, 0.85, axis=0, nan_policy="omit"
        ),
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    rng = np.random.default_rng(1)
    for dates, symbols in SHAPES:
        wide = 100 + np.cumsum(rng.normal(0, 1, (dates, symbols)), axis=0)
        for holes in (False, True):
            if holes:
                wide = wide.copy()
                wide[rng.random(wide.shape) < 0.01] = np.nan
            tall = np.ascontiguousarray(wide.T)
            print(f"({dates}, {symbols}){' 1% NaN' if holes else ''}:")
            for name, call in calls(wide, tall).items():
                if holes and "omit" not in name:
                    continue
                number = max(1, 2_000_000 // wide.size)
                best = min(timeit.repeat(call, number=number, repeat=args.repeat)) / number
                print(f"  {name:20} {best * 1e9 / wide.size:7.2f} ns/bar")


if __name__ == "__main__":
    main()
