"""ADX for many symbols at once, one row per symbol, on every core with threads.

    python examples/array_threads.py [SYMBOLS] [BARS] [REPEATS]

tarnwick_arrays takes one series per row of a two-dimensional array and lets
go of the interpreter lock while its kernels run, so a thread pool over blocks
of rows keeps every core busy: each thread's call reads its block of the
inputs in place and writes its block of one shared result through `out`.
The prices are a seeded random walk (default 500 symbols x 2,520 daily bars,
ten years); the script checks that the pooled result is bit for bit the
result of one call, and prints the best and the median of REPEATS timings
(default 30) of each, every timing on a fresh panel of prices.

How much the threads gain depends on the machine: where the kernels run 4 or 8
symbols at once in vector lanes, one thread nearly keeps up with memory, and
a second core, or a core shared with other work, adds little or nothing.
"""

import os
import statistics
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import tarnwick_arrays


def random_prices(
    symbols: int, bars: int, seed: int = 2520
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, (symbols, bars)), axis=1))
    spread = close * np.abs(rng.normal(0.0, 0.005, (symbols, bars)))
    return close + spread, close - spread, close


def adx_in_threads(pool, workers, high, low, close, period, out):
    """ADX of every row into `out`, the rows split into one block per worker
    of `pool`. Both are kept for many calls, as a server keeps them: starting
    threads, or faulting in the pages of a fresh result, costs more than a
    block of ADX, and page faults of two threads wait on each other."""
    blocks = np.array_split(np.arange(high.shape[0]), workers)
    for future in [
        pool.submit(
            tarnwick_arrays.adx,
            high[b[0] : b[-1] + 1],
            low[b[0] : b[-1] + 1],
            close[b[0] : b[-1] + 1],
            period,
            out=out[b[0] : b[-1] + 1],
        )
        for b in blocks
        if len(b)
    ]:
        future.result()  # raises any error of the call
    return out


def timings(compute, symbols: int, bars: int, repeats: int) -> list[float]:
    """Seconds of compute(high, low, close), each time on a fresh panel of prices:
    one panel timed over and over would sit in the cache and flatter the figure."""
    seconds = []
    for seed in range(repeats):
        high, low, close = random_prices(symbols, bars, seed)
        start = time.perf_counter()
        compute(high, low, close)
        seconds.append(time.perf_counter() - start)
    return seconds


def main() -> None:
    symbols = int(sys.argv[1]) if len(sys.argv) > 1 else 500
    bars = int(sys.argv[2]) if len(sys.argv) > 2 else 2520
    repeats = int(sys.argv[3]) if len(sys.argv) > 3 else 30
    workers = os.cpu_count() or 1
    high, low, close = random_prices(symbols, bars)

    one_call = tarnwick_arrays.adx(high, low, close, 14)  # its pages start, like the pool's
    last_three = np.round(one_call[:3, -1], 2).tolist()

    with ThreadPoolExecutor(workers) as pool:
        pooled = np.empty(high.shape)
        adx_in_threads(pool, workers, high, low, close, 14, pooled)  # threads and pages start
        if pooled.tobytes() != one_call.tobytes():
            raise SystemExit("the threads' ADX differs from one call's")
        parallel = timings(
            lambda h, lo, c: adx_in_threads(pool, workers, h, lo, c, 14, pooled),
            symbols,
            bars,
            repeats,
        )
    single = timings(
        lambda h, lo, c: tarnwick_arrays.adx(h, lo, c, 14, out=one_call), symbols, bars, repeats
    )

    print(f"ADX(14) of {symbols} symbols x {bars} bars, best and median of {repeats}")
    print(f"  one call:             {_ms(single)}")
    print(f"  {workers} threads, {workers} blocks: {_ms(parallel)}")
    print(f"  one call / threads:   {min(single) / min(parallel):8.2f}x (best against best)")
    print(f"  last ADX of the first three symbols: {last_three}")


def _ms(seconds: list[float]) -> str:
    return f"{min(seconds) * 1e3:8.1f} ms, median {statistics.median(seconds) * 1e3:.1f} ms"


if __name__ == "__main__":
    main()
