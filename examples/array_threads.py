"""ADX for many symbols at once, one row per symbol, on every core with threads.

    python examples/array_threads.py [SYMBOLS] [BARS]

tarnwick_arrays takes one series per row of a two-dimensional array and lets
go of the interpreter lock while its kernels run, so a thread pool over blocks
of rows keeps every core busy: each thread's call reads its block of the
inputs in place and writes its block of one shared result through `out`.
The prices are a seeded random walk (default 500 symbols x 2,520 daily bars,
ten years); the script checks that the pooled result is bit for bit the
result of one call, and prints both times.
"""

import os
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import tarnwick_arrays


def random_prices(symbols: int, bars: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    rng = np.random.default_rng(2520)
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


def main() -> None:
    symbols = int(sys.argv[1]) if len(sys.argv) > 1 else 500
    bars = int(sys.argv[2]) if len(sys.argv) > 2 else 2520
    high, low, close = random_prices(symbols, bars)
    workers = os.cpu_count() or 1

    one_call = tarnwick_arrays.adx(high, low, close, 14)  # its pages start, like the pool's
    start = time.perf_counter()
    tarnwick_arrays.adx(high, low, close, 14, out=one_call)
    single = time.perf_counter() - start

    with ThreadPoolExecutor(workers) as pool:
        pooled = np.empty(high.shape)
        adx_in_threads(pool, workers, high, low, close, 14, pooled)  # threads and pages start
        start = time.perf_counter()
        adx_in_threads(pool, workers, high, low, close, 14, pooled)
        parallel = time.perf_counter() - start

    assert pooled.tobytes() == one_call.tobytes()
    print(f"ADX(14) of {symbols} symbols x {bars} bars")
    print(f"  one call:             {single * 1e3:8.1f} ms")
    print(f"  {workers} threads, {workers} blocks: {parallel * 1e3:8.1f} ms")
    print(f"  last ADX of the first three symbols: {np.round(one_call[:3, -1], 2).tolist()}")


if __name__ == "__main__":
    main()
