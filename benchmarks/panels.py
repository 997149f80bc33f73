"""Time whole panels (symbols x bars) against the memory floor, row by row,
the vector-lane paths and TA-Lib looping over rows, in the same run.

    python benchmarks/panels.py [--runs N] [--shapes 5000x2520,500x2520]

For each shape and each layout (one series per row, and side by side: dates x
symbols, axis=0) it prints, in ns per bar and symbol, the median over N runs
and the range:

- floor: a C loop that reads the function's input arrays once and writes one
  result array of the same size, computing nothing else (kernels.cpp);
- kernels: the one-series kernels row by row, and each vector-lane path this
  processor has, all writing into C arrays (kernels.cpp, built here with the
  project's CMake and its per-file instruction-set flags);
- tarnwick_arrays: the call from Python into a kept `out`, on the path the
  module chose (tarnwick_arrays._lanes), and with two threads over blocks of
  rows in a pool kept across calls (rows layout);
- TA-Lib: its ADX and SAR called on each row in turn (it has no GARCH).
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import timeit
from collections import defaultdict
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np

import tarnwick_arrays as ta

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))
from array_threads import adx_in_threads, random_prices  # noqa: E402

NAMES = {"ADX": "adx", "SAR": "parabolic_sar", "GARCH": "garch11_variance"}


def build_kernels(build: Path) -> Path:
    configure = ["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release"]
    configure.append(f"-DPython_EXECUTABLE={sys.executable}")
    subprocess.run(configure, check=True, capture_output=True)
    subprocess.run(
        ["cmake", "--build", str(build), "--target", "kernels", "-j2"],
        check=True,
        capture_output=True,
    )
    return build / "kernels"


def kernel_figures(binary: Path, layout: str, symbols: int, bars: int) -> dict:
    run = subprocess.run(
        [str(binary), layout, str(symbols), str(bars)], check=True, capture_output=True, text=True
    )
    return {(f, path): float(ns) for f, path, ns, _ in map(str.split, run.stdout.splitlines())}


def best_ns(call, values: int, repeat: int = 5) -> float:
    call()  # the result's pages and any first-call work, before timing
    return min(timeit.repeat(call, number=1, repeat=repeat)) / values * 1e9


def python_figures(symbols: int, bars: int, peers: dict) -> dict:
    high, low, close = random_prices(symbols, bars)
    returns = np.ascontiguousarray(np.diff(close, axis=1, prepend=close[:, :1]) / close)
    rows = {"ADX": (high, low, close, 14), "SAR": (high, low, 0.02, 0.2)}
    rows["GARCH"] = (returns, 1e-6, 0.1, 0.85)
    out = np.empty((symbols, bars))
    wide_out = np.empty((bars, symbols))
    figures = {}
    for f, args in rows.items():
        function = getattr(ta, NAMES[f])
        series = [a for a in args if isinstance(a, np.ndarray)]
        scalars = args[len(series) :]
        wide = [np.ascontiguousarray(a.T) for a in series]
        values = symbols * bars
        figures[(f, "rows", "tarnwick_arrays")] = best_ns(
            lambda function=function, series=series, scalars=scalars: function(
                *series, *scalars, out=out
            ),
            values,
        )
        figures[(f, "columns", "tarnwick_arrays")] = best_ns(
            lambda function=function, wide=wide, scalars=scalars: function(
                *wide, *scalars, axis=0, out=wide_out
            ),
            values,
        )
        talib = peers.get("TA-Lib")
        if talib is not None and f != "GARCH":
            peer = getattr(talib, {"ADX": "ADX", "SAR": "SAR"}[f])
            figures[(f, "rows", "TA-Lib")] = best_ns(
                lambda peer=peer, series=series, scalars=scalars: [
                    peer(*(s[r] for s in series), *scalars) for r in range(symbols)
                ],
                values,
                repeat=3,
            )
    with ThreadPoolExecutor(2) as pool:
        figures[("ADX", "rows", "2 threads")] = best_ns(
            lambda: adx_in_threads(pool, 2, high, low, close, 14, out), symbols * bars
        )
    return figures


def cell(values: list[float]) -> str:
    if not values:
        return ""
    return f"{statistics.median(values):.2f} ({min(values):.2f}-{max(values):.2f})"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--shapes", default="5000x2520,500x2520")
    args = parser.parse_args()
    shapes = [tuple(int(n) for n in s.split("x")) for s in args.shapes.split(",")]
    peers = {}
    try:
        import talib

        peers["TA-Lib"] = talib
    except ImportError:
        print("TA-Lib is not installed: no TA-Lib column")
    if shutil.which("cmake") is None:
        print("panels.py needs cmake on PATH to build the kernels")
        return 2
    with tempfile.TemporaryDirectory(prefix="tarnwick-panels-") as build:
        binary = build_kernels(Path(build))
        samples: dict = defaultdict(list)
        for _ in range(args.runs):  # each run takes every figure once, so all see the same load
            for symbols, bars in shapes:
                for layout in ("rows", "columns"):
                    for (f, path), ns in kernel_figures(binary, layout, symbols, bars).items():
                        samples[(symbols, bars, f, layout, path)].append(ns)
                for (f, layout, name), ns in python_figures(symbols, bars, peers).items():
                    samples[(symbols, bars, f, layout, name)].append(ns)
    lane_paths = [p for p in ("sse2", "neon", "avx2", "avx512") if any(k[4] == p for k in samples)]
    columns = ["floor", "scalar", *lane_paths, "tarnwick_arrays", "2 threads", "TA-Lib"]
    print(
        f"\n{os.cpu_count()} logical cores; tarnwick_arrays runs on {ta._lanes!r}; {args.runs} runs"
    )
    print("ns per bar and symbol, median (range); scalar is the one-series kernels row by row\n")
    print("| shape | layout | function | " + " | ".join(columns) + " | lanes / floor |")
    print("|---|---|---|" + "---:|" * (len(columns) + 1))
    for symbols, bars in shapes:
        for layout in ("rows", "columns"):
            for f in NAMES:
                got = [samples.get((symbols, bars, f, layout, c), []) for c in columns]
                floor = statistics.median(got[0])
                best = statistics.median(samples[(symbols, bars, f, layout, ta._lanes)] or [0.0])
                ratio = f"{best / floor:.2f}" if best else ""
                shape = f"{symbols:,} x {bars:,}"
                print(
                    f"| {shape} | {layout} | {f} | " + " | ".join(map(cell, got)) + f" | {ratio} |"
                )
    return 0


if __name__ == "__main__":
    sys.exit(main())
