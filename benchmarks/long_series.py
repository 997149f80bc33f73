"""One long series: ADX and the Parabolic SAR of tarnwick_arrays against TA-Lib's
builds, at 1e3 .. 1e7 bars, in nanoseconds per bar.

    python benchmarks/long_series.py [--peer NAME=PYTHON ...] [--lanes PATH ...] [--runs 3]

Every timed call gets a series of its own, never timed before (a random walk
from a seed used once per size and run), so that no branch predictor has
learnt its reversals. Each peer (TA-Lib, or ta-lib-takt, both imported as
`talib`) runs this script in its own interpreter, as the two cannot share one
environment; the series are the same for every library. The libraries take
turns at each size and run, so that a busy machine's load falls on all of
them alike. The figure of a run is the total time of its calls over their
bars; the median and the range over the runs are printed. --lanes PATH also
times tarnwick in a process of its own with TARNWICK_LANES=PATH (`scalar`
is the serial one-series ADX pass, the others divide in lanes). --cpu-time
times each call by the processor time of its thread instead of the wall
clock, leaving out the time a busy machine gives other processes.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np

SIZES = (1_000, 10_000, 100_000, 1_000_000, 10_000_000)
PERIOD = 14
STEP, MAXIMUM = 0.02, 0.2


def series(n, seed):
    rng = np.random.default_rng(seed)
    close = 100.0 + np.cumsum(rng.standard_normal(n))
    spread = np.abs(rng.standard_normal(n)) * 0.5
    return close + spread, close - spread, close


def calls(n):
    # About 2 million bars per size and run, and at least two calls.
    return max(2, 2_000_000 // n)


def timing(functions, n, run, clock=time.perf_counter_ns):
    """{name: ns per bar} of functions {name: f(high, low, close)} at n bars."""
    figures = {}
    for name, function in functions.items():
        total = 0
        for call in range(calls(n)):
            high, low, close = series(n, (n, run, call))
            start = clock()
            function(high, low, close)
            total += clock() - start
        figures[name] = total / (calls(n) * n)
    return figures


def tarnwick_functions():
    import tarnwick_arrays as ta

    return {
        "tarnwick ADX": lambda high, low, close: ta.adx(high, low, close, PERIOD),
        "tarnwick SAR": lambda high, low, close: ta.parabolic_sar(high, low, STEP, MAXIMUM),
    }


def tarnwick_on(path):
    return {f"{name}[{path}]": function for name, function in tarnwick_functions().items()}


def talib_functions(label):
    import talib

    return {
        f"{label} ADX": lambda high, low, close: talib.ADX(high, low, close, PERIOD),
        f"{label} SAR": lambda high, low, close: talib.SAR(high, low, STEP, MAXIMUM),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--peer", action="append", default=[], metavar="NAME=PYTHON")
    parser.add_argument("--lanes", action="append", default=[], metavar="PATH")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--cpu-time", action="store_true")
    parser.add_argument("--as-peer", nargs=3, metavar=("NAME", "N", "RUN"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    clock = time.thread_time_ns if args.cpu_time else time.perf_counter_ns
    if args.as_peer:
        name, n, run = args.as_peer
        functions = tarnwick_on(name) if name in args.lanes else talib_functions(name)
        print(json.dumps(timing(functions, int(n), int(run), clock)))
        return
    load_before = os.getloadavg()[0]
    figures = {}
    mine = tarnwick_functions()
    for n in SIZES:
        for run in range(args.runs):
            found = timing(mine, n, run, clock)
            peers = [peer.split("=", 1) for peer in args.peer]
            peers += [(path, sys.executable) for path in args.lanes]
            for name, python in peers:
                lanes = ["--lanes", name] if name in args.lanes else []
                options = ["--cpu-time"] if args.cpu_time else []
                answer = subprocess.run(
                    [python, __file__, "--as-peer", name, str(n), str(run), *lanes, *options],
                    check=True,
                    capture_output=True,
                    text=True,
                    env={**os.environ, "TARNWICK_LANES": name} if lanes else None,
                )
                found.update(json.loads(answer.stdout))
            for key, value in found.items():
                figures.setdefault(key, {}).setdefault(n, []).append(value)
    what = "processor time" if args.cpu_time else "wall clock"
    print(f"ns per bar ({what}), median [min - max] of {args.runs} runs; fresh series each call")
    load_after = os.getloadavg()[0]
    print(f"load average (1 min) {load_before:.1f} at the start, {load_after:.1f} at the end")
    print(f"{'':24}" + "".join(f"{n:>22,}" for n in SIZES))
    for name, by_size in figures.items():
        cells = "".join(
            f"{statistics.median(r):>9.2f} [{min(r):5.2f}-{max(r):5.2f}]"
            for r in (by_size[n] for n in SIZES)
        )
        print(f"{name:24}{cells}")


if __name__ == "__main__":
    sys.exit(main())
