"""Time a many-symbol stream fed rows in arrival order by key (by=),
against the same bars fed one row per symbol (positional extend):

    python benchmarks/stream_keys.py [--runs N] [--symbols N] [--rows N]

It prints nanoseconds per row: the median over N runs and the range of the
run figures, each run one call on a stream and data made just before it
(neither timed), for by= as a numpy int64 array on symbols=N, as a numpy
str array and as pandas, polars and Arrow text columns (those installed) on
symbols=keys, and for extend of N x rows/N without by=.
"""

from __future__ import annotations

import argparse
import functools
import importlib
import statistics
import time

import numpy as np

import tarnwick_stream as ts


def bars(rng: np.random.Generator, shape):
    close = 100.0 + rng.standard_normal(shape).cumsum(axis=-1)
    spread = rng.random(shape)
    return close + spread, close - spread, close


def per_row(make_call, runs: int, rows: int) -> list[float]:
    figures = []
    for _ in range(runs):
        call = make_call()
        start = time.perf_counter()
        call()
        figures.append((time.perf_counter() - start) / rows * 1e9)
    return figures


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--symbols", type=int, default=1_000)
    parser.add_argument("--rows", type=int, default=200_000)
    options = parser.parse_args()
    n, rows = options.symbols, options.rows
    rng = np.random.default_rng()
    names = np.array([f"S{i}" for i in range(n)])

    def by_int():
        stream, series = ts.Adx(14, symbols=n), bars(rng, rows)
        by = rng.integers(0, n, rows)
        return lambda: stream.update(*series, by=by)

    def by_text(column):
        def make():
            stream, series = ts.Adx(14, symbols=names), bars(rng, rows)
            by = column(names[rng.integers(0, n, rows)])
            return lambda: stream.update(*series, by=by)

        return make

    def positional():
        stream, series = ts.Adx(14, symbols=n), bars(rng, (n, rows // n))
        return lambda: stream.extend(*series)

    contenders = [
        ("by= numpy int64, symbols=N", by_int),
        ("by= numpy str, symbols=keys", by_text(lambda keys: keys)),
    ]
    for library, label, column in [
        ("pandas", "pandas object", lambda pd, keys: pd.Series(keys, dtype=object)),
        ("pandas", "pandas str", lambda pd, keys: pd.Series(keys, dtype="string")),
        ("polars", "polars String", lambda pl, keys: pl.Series(keys)),
        ("pyarrow", "Arrow string", lambda pa, keys: pa.array(keys)),
    ]:
        try:
            module = importlib.import_module(library)
        except ImportError:
            continue
        contenders.append(
            (f"by= {label}, symbols=keys", by_text(functools.partial(column, module)))
        )
    contenders.append(("extend, one row per symbol", positional))
    for label, make in contenders:
        figures = per_row(make, options.runs, rows)
        print(
            f"{label:34s} {statistics.median(figures):8.1f} ns/row "
            f"({min(figures):.1f}-{max(figures):.1f} over {options.runs} runs)"
        )


if __name__ == "__main__":
    main()
