"""The three indicators for every symbol of a Parquet data set, on a dask.distributed cluster.

    python examples/dask_universe.py [DATASET] [--scheduler ADDRESS] [--workers N]
                                     [--random SYMBOLS,BARS] [--out RESULT]

DATASET is a Parquet data set partitioned by symbol (one symbol=NAME folder
each, as pyarrow, dask and Spark write them). Without one, the bundled
examples/data/*.csv, or with --random a random walk of SYMBOLS x BARS, are
written as one into a temporary folder. With --scheduler the tasks go to that
cluster (its workers must see DATASET at the same path); otherwise a
LocalCluster of N worker processes (default: one per core) is started.

Each task reads the partitions of a few symbols (about four tasks per
worker) as one long frame, a row per symbol and date, and computes ADX(14),
the Parabolic SAR (0.02, 0.2) and the GARCH(1,1) variance of each symbol's
day-on-day returns in one call each, giving tarnwick_arrays the pandas
columns as they are with by= the symbol column: no shuffle, and a symbol
never leaves its worker until its results do. The GARCH(1,1) is the one examples/
live_feed.py uses for every symbol: omega 2e-6, alpha 0.08, beta 0.90. RESULT,
if given, receives the results as a Parquet data set partitioned by symbol; a
symbol's partition already there is replaced, not appended to. The script says
what it is doing on stderr (with dask's progress bar on a terminal) and
prints each symbol's last values and the time of the cluster against this one
process doing the same work on one thread and on a thread per core.
"""

import argparse
import os
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq

import tarnwick_arrays
from prices import (
    ADX_PERIOD,
    ALPHA,
    BETA,
    DATA_DIR,
    FIXED_OMEGA,
    PRICE_COLUMNS,
    SAR_MAX,
    SAR_STEP,
    DataError,
    fail,
)

VALUES = ("adx", "sar", "variance")


def say(message: str) -> None:
    """What the script is doing, on stderr, so that a long step is not silent."""
    print(message, file=sys.stderr, flush=True)


def read_partition(partition: str) -> pd.DataFrame:
    prices = pd.read_parquet(partition)
    missing = [c for c in ("Date", *PRICE_COLUMNS) if c not in prices.columns]
    if missing:
        raise DataError(f"partition {partition} has no {', '.join(missing)} column")
    return prices.assign(symbol=Path(partition).name.partition("=")[2])


def indicators(partitions: list[str]) -> pd.DataFrame:
    """Runs in a worker: a few symbols' prices in as one long frame, their
    indicators out, by symbol and date."""
    prices = pd.concat([read_partition(p) for p in partitions], ignore_index=True)
    prices = prices.sort_values(["symbol", "Date"], kind="stable", ignore_index=True)
    symbol = prices["symbol"]
    high, low, close = (prices[c] for c in PRICE_COLUMNS)
    # A symbol's first bar has no return: its variance is NaN, not a bar of
    # the recursion.
    later = symbol.duplicated()
    returns = close.groupby(symbol, sort=False).pct_change()[later]
    variance = np.full(len(prices), np.nan)
    variance[later.to_numpy()] = tarnwick_arrays.garch11_variance(
        returns, FIXED_OMEGA, ALPHA, BETA, by=symbol[later]
    )
    return pd.DataFrame(
        {
            "Date": prices["Date"],
            "symbol": symbol,
            "adx": tarnwick_arrays.adx(high, low, close, ADX_PERIOD, by=symbol),
            "sar": tarnwick_arrays.parabolic_sar(high, low, SAR_STEP, SAR_MAX, by=symbol),
            "variance": variance,
        }
    )


def write_dataset(root: Path, random: str | None) -> Path:
    """The bundled prices, or a random walk, as a data set partitioned by symbol."""
    if random:
        from array_threads import random_prices

        symbols, bars = (int(n) for n in random.split(","))
        high, low, close = random_prices(symbols, bars)
        dates = pd.bdate_range("2000-01-03", periods=bars)
        frames = [
            pd.DataFrame(
                {
                    "Date": dates,
                    "High": high[s],
                    "Low": low[s],
                    "Close": close[s],
                    "symbol": f"S{s}",
                }
            )
            for s in range(symbols)
        ]
    else:
        frames = [
            pd.read_csv(path, parse_dates=["Date"]).assign(symbol=path.stem)
            for path in sorted(DATA_DIR.glob("*.csv"))
        ]
    table = pa.Table.from_pandas(pd.concat(frames, ignore_index=True), preserve_index=False)
    pq.write_to_dataset(table, root, partition_cols=["symbol"])
    return root


def timed(run):
    start = time.perf_counter()
    results = run()
    return results, time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("dataset", nargs="?", help="a Parquet data set partitioned by symbol")
    parser.add_argument("--scheduler", help="address of a running dask scheduler")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--random", metavar="SYMBOLS,BARS", help="a random walk, not the CSVs")
    parser.add_argument("--out", help="write the results here, partitioned by symbol")
    args = parser.parse_args()

    from dask.distributed import Client, LocalCluster, progress

    with tempfile.TemporaryDirectory() as scratch:
        if not args.dataset:
            say(
                "writing a random universe of {} symbols x {} bars as Parquet".format(
                    *args.random.split(",")
                )
                if args.random
                else "writing the bundled prices as Parquet"
            )
        root = Path(args.dataset or write_dataset(Path(scratch) / "prices", args.random))
        if not root.is_dir():
            fail(f"no such data set: {root}")
        partitions = sorted(str(p) for p in root.glob("symbol=*"))
        if not partitions:
            fail(f"no symbol=... partitions in {root}")
        per_task = -(-len(partitions) // (4 * args.workers))
        tasks = [partitions[i : i + per_task] for i in range(0, len(partitions), per_task)]

        cluster = None
        if args.scheduler is None:
            say(f"starting a LocalCluster of {args.workers} worker processes")
            cluster = LocalCluster(
                n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=None
            )
        try:
            with Client(args.scheduler or cluster) as client:
                client.gather(client.map(indicators, [partitions[:1]], pure=False))  # workers warm
                say(f"{len(partitions)} symbols in {len(tasks)} tasks on the cluster")

                def on_cluster():
                    futures = client.map(indicators, tasks, pure=False)
                    if sys.stderr.isatty():
                        progress(futures)
                    return client.gather(futures)

                results, on_cluster_time = timed(on_cluster)
            if cluster is not None:
                cluster.close()

            say("the same in this process, on one thread and on a thread per core")
            local, one_thread = timed(lambda: [indicators(t) for t in tasks])
            with ThreadPoolExecutor(args.workers) as pool:
                threaded, in_threads = timed(lambda: list(pool.map(indicators, tasks)))
        except DataError as e:
            fail(str(e))
        for frames in zip(results, local, threaded, strict=True):
            for column in VALUES:
                if len({f[column].to_numpy().tobytes() for f in frames}) != 1:
                    symbol = frames[0]["symbol"].iloc[0]
                    raise SystemExit(f"{symbol} {column}: the cluster's values differ")

    result = pd.concat(results, ignore_index=True)
    if args.out:
        say(f"writing the results to {args.out}")
        pq.write_to_dataset(
            pa.Table.from_pandas(result, preserve_index=False),
            args.out,
            partition_cols=["symbol"],
            existing_data_behavior="delete_matching",
        )
    bars = len(result)
    where = args.scheduler or f"a LocalCluster of {args.workers} worker processes"
    print(f"{len(partitions)} symbols, {bars:,} bars, on {where}")
    last = result.groupby("symbol").last()
    print(last[["Date", *VALUES]].head(10).to_string(float_format="{:.6g}".format))
    print(f"cluster:                 {on_cluster_time * 1e3:9.1f} ms")
    print(f"one process, one thread: {one_thread * 1e3:9.1f} ms")
    print(f"one process, {args.workers} threads:  {in_threads * 1e3:9.1f} ms")
    print("the cluster's values equal this process's bit for bit")


if __name__ == "__main__":
    main()
    # Everything is computed, written and printed. pyarrow's native thread
    # pools, which read and wrote the Parquet files, can abort the process
    # while the interpreter tears down ("terminate called without an active
    # exception", apache/arrow#34314): leave without that teardown.
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(0)
