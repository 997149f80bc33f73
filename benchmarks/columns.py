"""Time tarnwick_arrays' axis and nan_policy against its default layout, on the
same data in the same run.

    python benchmarks/columns.py [--repeat N]

For each shape (dates, symbols) it prints the best time per call of
axis=0 on a C-contiguous (dates, symbols) array, of the default axis=-1 on a
C-contiguous (symbols, dates) copy of the same data, and of nan_policy="omit"
on each (no NaN present, then one bar in 100 NaN), as nanoseconds per bar.

    python benchmarks/columns.py --containers [--runs 3]
    python benchmarks/columns.py --pandas [--runs 3] [--function adx|garch11_loglik]

times instead 1,000,000 bars given as pandas, polars and Arrow containers
against the same bars as float64 ndarrays: ADX of four symbols as frames and
GARCH of one series in one and two chunks. Each timed call gets bars made
fresh for it (outside the timing), the cases taking turns call by call; each
run prints the median wall and CPU time of its calls and their ratios to the
ndarray's (on a shared, busy machine the CPU time, which leaves out waiting
for a core, is the steadier), and the runs' range closes the table. --pandas
times the cost of a short call: ADX (or the GARCH log-likelihood) of 100 bars
as pandas Series against the same call done by hand (to_numpy(), the array
call, a Series made of its bars).
"""

from __future__ import annotations

import argparse
import statistics
import time
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


BARS, SYMBOLS, CALLS = 1_000_000, 4, 9


def containers(rng: np.random.Generator) -> dict:
    """For each input, a maker of fresh arguments and the call on them."""
    import pandas as pd
    import polars as pl
    import pyarrow as pa

    def panel():  # high, low, close of SYMBOLS series, one per row
        close = 100 + np.cumsum(rng.normal(0, 1, (SYMBOLS, BARS)), axis=1)
        return close + 0.5, close - 0.5, close

    def returns():
        return rng.normal(0, 0.01, BARS)

    names = [f"S{j}" for j in range(SYMBOLS)]
    adx = lambda series: ta.adx(*series, 14)  # noqa: E731
    garch = lambda r: ta.garch11_variance(r, 1e-6, 0.08, 0.9)  # noqa: E731
    half = BARS // 2
    return {
        "adx ndarray (symbols, bars)": (panel, adx),
        "adx pandas DataFrame": (lambda: [pd.DataFrame(s.T, columns=names) for s in panel()], adx),
        "adx polars DataFrame": (
            lambda: [pl.DataFrame(dict(zip(names, s, strict=True))) for s in panel()],
            adx,
        ),
        "garch ndarray": (returns, garch),
        "garch pyarrow Array": (lambda: pa.array(returns()), garch),
        "garch ChunkedArray, 2 chunks": (
            lambda: pa.chunked_array([returns()[:half], returns()[half:]]),
            garch,
        ),
    }


def median_times(cases: dict, calls: int) -> dict:
    """For each case, the median wall and CPU (this process's) time of
    `calls` calls, each on arguments its maker gave it; the cases take turns
    call by call, so that the machine's load weighs on each alike."""
    samples: dict = {name: ([], []) for name in cases}
    for _ in range(calls):
        for name, (make, call) in cases.items():
            args = make()
            start, cpu = time.perf_counter(), time.process_time()
            call(args)
            samples[name][0].append(time.perf_counter() - start)
            samples[name][1].append(time.process_time() - cpu)
            del args
    return {name: tuple(map(statistics.median, pair)) for name, pair in samples.items()}


def time_containers(runs: int) -> None:
    rng = np.random.default_rng(1)
    cases = containers(rng)
    medians: dict = {name: [] for name in cases}
    for run in range(runs):
        for name, times in median_times(cases, CALLS).items():
            medians[name].append(times)
        print(f"run {run + 1} (wall ms, CPU ms, each x the ndarray's):")
        for name, values in medians.items():
            base = medians["adx ndarray (symbols, bars)" if "adx" in name else "garch ndarray"]
            (wall, cpu), (base_wall, base_cpu) = values[-1], base[-1]
            print(
                f"  {name:30} {wall * 1e3:8.2f} x{wall / base_wall:.2f}"
                f"  {cpu * 1e3:8.2f} x{cpu / base_cpu:.2f}"
            )
    print(
        f"range over {runs} runs (wall ms; CPU ms; each the median of {CALLS} calls on fresh bars):"
    )
    for name, values in medians.items():
        walls, cpus = zip(*values, strict=True)
        print(
            f"  {name:30} {min(walls) * 1e3:8.2f} to {max(walls) * 1e3:8.2f};"
            f" {min(cpus) * 1e3:8.2f} to {max(cpus) * 1e3:8.2f}"
        )


SHORT_BARS, SHORT_CALLS = 100, 2_000
# For each function: its series made of closes, the call on them, and whether
# it gives a value per bar (a Series by hand) or one number.
SHORT = {
    "adx": (lambda c: (c + 0.5, c - 0.5, c), lambda *s: ta.adx(*s, 14), True),
    "garch11_loglik": (
        lambda c: (c * 1e-4,),
        lambda *s: ta.garch11_loglik(*s, 1e-5, 0.1, 0.85),
        False,
    ),
}


def time_pandas(runs: int, function: str) -> None:
    """The function of 100 bars given as pandas Series on one index, against
    the same bars taken out with to_numpy(), computed, and put back in a
    Series by hand: microseconds per call over SHORT_CALLS calls, each on its
    own bars (the median wall time of a call; the mean CPU time, the process
    clock being too coarse for one call)."""
    import pandas as pd

    rng = np.random.default_rng(1)
    index = pd.date_range("2024-01-01", periods=SHORT_BARS)
    series_of, call, per_bar = SHORT[function]

    def bars():
        close = 100 + np.cumsum(rng.normal(0, 1, (SHORT_CALLS, SHORT_BARS)), axis=1)
        return [[pd.Series(s, index=index) for s in series_of(c)] for c in close]

    def by_hand(*series):
        values = call(*(s.to_numpy() for s in series))
        return (
            pd.Series(values, index=series[0].index, name=function, copy=False)
            if per_bar
            else values
        )

    routes = {"pandas Series": call, "by hand": by_hand}
    figures: dict = {name: [] for name in routes}
    for run in range(runs):
        # The routes take turns call by call, each on bars of its own.
        series = {name: bars() for name in routes}
        samples: dict = {name: ([], []) for name in routes}
        for i in range(SHORT_CALLS):
            for name, route in routes.items():
                start, cpu = time.perf_counter(), time.process_time()
                route(*series[name][i])
                samples[name][0].append(time.perf_counter() - start)
                samples[name][1].append(time.process_time() - cpu)
        for name, (walls, cpus) in samples.items():
            figures[name].append((statistics.median(walls) * 1e6, sum(cpus) * 1e6 / SHORT_CALLS))
        (wall, cpu), (hand_wall, hand_cpu) = figures["pandas Series"][-1], figures["by hand"][-1]
        print(
            f"run {run + 1}: pandas Series {wall:.1f} us wall, {cpu:.1f} us CPU; by hand "
            f"{hand_wall:.1f}, {hand_cpu:.1f}; "
            f"x{wall / hand_wall:.2f} wall, x{cpu / hand_cpu:.2f} CPU"
        )
    print(f"range over {runs} runs (us per call; wall; CPU):")
    for name, values in figures.items():
        walls, cpus = zip(*values, strict=True)
        print(
            f"  {name:14} {min(walls):.1f} to {max(walls):.1f}; {min(cpus):.1f} to {max(cpus):.1f}"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--containers", action="store_true")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--pandas", action="store_true")
    parser.add_argument("--function", choices=sorted(SHORT), default="adx")
    args = parser.parse_args()
    if args.pandas:
        time_pandas(args.runs, args.function)
        return
    if args.containers:
        time_containers(args.runs)
        return
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
