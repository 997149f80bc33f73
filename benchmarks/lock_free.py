"""Time the calls that run without the interpreter lock, where what they hold
for the length of the call (the arrays kept from being resized) is part of
the cost:

    python benchmarks/lock_free.py [--runs N] [--calls N]

It prints, in microseconds per call, the median over N runs (each the median
of its calls) and the range of those run medians, for

- Adx(14, symbols=8).extend over three 8 x 4,000 float64 arrays, each call on
  a stream made and data drawn just before it (neither timed);
- tarnwick_arrays.garch11_variance over 1,000,000 returns, fresh returns for
  every call.
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np

import tarnwick_arrays as ta
import tarnwick_stream as ts


def extend_call(rng: np.random.Generator):
    close = 100.0 + np.cumsum(rng.standard_normal((8, 4_000)), axis=1)
    spread = rng.random((8, 4_000))
    high, low = close + spread, close - spread
    stream = ts.Adx(14, symbols=8)
    return lambda: stream.extend(high, low, close)


def garch_call(rng: np.random.Generator):
    returns = rng.standard_normal(1_000_000) * 0.01
    return lambda: ta.garch11_variance(returns, 1e-6, 0.1, 0.85)


def median_us(make, calls: int, rng: np.random.Generator) -> float:
    samples = []
    for _ in range(calls):
        call = make(rng)
        start = time.perf_counter_ns()
        call()
        samples.append((time.perf_counter_ns() - start) / 1e3)
    return statistics.median(samples)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--calls", type=int, default=200)
    args = parser.parse_args()
    rng = np.random.default_rng(20261209)
    cases = {
        "Adx(14, symbols=8).extend, 8 x 4,000": (extend_call, args.calls),
        "garch11_variance, 1,000,000 bars": (garch_call, max(1, args.calls // 10)),
    }
    for name, (make, calls) in cases.items():
        runs = [median_us(make, calls, rng) for _ in range(args.runs)]
        print(
            f"{name}: {statistics.median(runs):,.1f} us per call "
            f"(runs {min(runs):,.1f} to {max(runs):,.1f}; {args.runs} runs of {calls} calls)"
        )


if __name__ == "__main__":
    main()
