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

Two builds, before and after a change, in the same run:

    python benchmarks/panels.py --against OTHER_PYTHON [--clock thread|wall]
        [--runs N] [--shapes 500x2520] [--lanes scalar,sse2,avx2,avx512]
        [--against-root OTHER_SOURCE_TREE]

times the call from Python of every indicator, both layouts, on each lane path
(TARNWICK_LANES) in a fresh process of this environment's python and of
OTHER_PYTHON (another environment with the other build installed), taking turns
case by case, the first to go alternating from run to run. Each timed call gets
a panel of its own (another seed), so no call finds the last one's data in the
caches; the clock is the calling thread's CPU time by default (the call runs in
it), since on a shared machine wall time swings several-fold with the other
work. It prints the median and range over the runs of each side and the ratio of
the medians, after (this environment) over before. With --against-root the
kernels alone (kernels.cpp) are built from both trees and taken in turns too,
on the same clock where that tree's kernels.cpp reads TARNWICK_KERNELS_CLOCK
(wall time otherwise).
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
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


def build_kernels(build: Path, root: Path = ROOT) -> Path:
    configure = ["cmake", "-S", str(root), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release"]
    configure.append(f"-DPython_EXECUTABLE={sys.executable}")
    subprocess.run(configure, check=True, capture_output=True)
    subprocess.run(
        ["cmake", "--build", str(build), "--target", "kernels", "-j2"],
        check=True,
        capture_output=True,
    )
    return build / "kernels"


def kernel_figures(binary: Path, layout: str, symbols: int, bars: int, clock="wall") -> dict:
    run = subprocess.run(
        [str(binary), layout, str(symbols), str(bars)],
        check=True,
        capture_output=True,
        text=True,
        env=dict(os.environ, TARNWICK_KERNELS_CLOCK=clock),
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


CLOCKS = {"thread": time.thread_time_ns, "wall": time.perf_counter_ns}


def panel(f: str, symbols: int, bars: int, layout: str, seed: int) -> tuple:
    """The arguments of a call of `f` on a panel of its own (`seed`)."""
    high, low, close = random_prices(symbols, bars, seed)
    if f == "GARCH":
        series = [np.diff(close, axis=1, prepend=close[:, :1]) / close]
    else:
        series = [high, low, close][: 3 if f == "ADX" else 2]
    if layout == "columns":
        series = [np.ascontiguousarray(s.T) for s in series]
    else:
        series = [np.ascontiguousarray(s) for s in series]
    scalars = {"ADX": (14,), "SAR": (0.02, 0.2), "GARCH": (1e-6, 0.1, 0.85)}[f]
    return (*series, *scalars)


def case_ns(f: str, layout: str, symbols: int, bars: int, clock: str, calls: int) -> float:
    """Median over `calls` calls, each on a fresh panel, in ns per value."""
    function = getattr(ta, NAMES[f])
    axis = {"axis": 0} if layout == "columns" else {}
    out = np.empty((bars, symbols) if layout == "columns" else (symbols, bars))
    tick = CLOCKS[clock]
    function(*panel(f, symbols, bars, layout, 0), **axis, out=out)  # out's pages
    times = []
    for call in range(1, calls + 1):
        arguments = panel(f, symbols, bars, layout, call)
        start = tick()
        function(*arguments, **axis, out=out)
        times.append(tick() - start)
    return statistics.median(times) / (symbols * bars)


def run_case(python: str, lanes: str, case: list[str]) -> tuple[str, float]:
    """One case in a fresh process of `python` on lane path `lanes`: the path
    it ran on (the default where it has no such path) and its figure."""
    env = dict(os.environ, TARNWICK_LANES=lanes)
    done = subprocess.run(
        [python, __file__, "--case", *case], check=True, capture_output=True, text=True, env=env
    )
    path, ns = done.stdout.split()
    return path, float(ns)


def compare(args, shapes: list) -> int:
    sides = {"before": args.against, "after": sys.executable}
    samples: dict = defaultdict(list)
    binaries = {}
    with tempfile.TemporaryDirectory(prefix="tarnwick-panels-") as build:
        if args.against_root:
            for side, root in (("before", Path(args.against_root)), ("after", ROOT)):
                binaries[side] = build_kernels(Path(build) / side, root)
        for run in range(args.runs):
            order = list(sides) if run % 2 == 0 else list(sides)[::-1]
            for symbols, bars in shapes:
                for layout in ("rows", "columns"):
                    for side in order if binaries else ():
                        figures = kernel_figures(binaries[side], layout, symbols, bars, args.clock)
                        for (f, path), ns in figures.items():
                            samples[(symbols, bars, layout, f, f"kernels {path}", side)].append(ns)
                    for f in NAMES:
                        case = [f, layout, f"{symbols}x{bars}", args.clock, str(args.calls)]
                        for lanes in args.lanes.split(","):
                            for side in order:
                                path, ns = run_case(sides[side], lanes, case)
                                if path == lanes:  # not a path this machine has
                                    key = (symbols, bars, layout, f, path, side)
                                    samples[key].append(ns)
    print(f"\nbefore: {args.against}\nafter: {sys.executable}")
    print(f"{os.cpu_count()} logical cores; load average {os.getloadavg()[0]:.2f} at the end")
    print(
        f"{args.runs} runs; ns per value, median (range) over the runs; tarnwick_arrays rows: "
        f"{args.clock} clock, median of {args.calls} calls on fresh panels; kernels rows: "
        "kernels.cpp, median of 15 batches\n"
    )
    print("| shape | layout | function | path | before | after | after / before |")
    print("|---|---|---|---|---:|---:|---:|")
    for key in dict.fromkeys(k[:5] for k in samples):  # in the order taken
        symbols, bars, layout, f, path = key
        before, after = samples[(*key, "before")], samples[(*key, "after")]
        ratio = f"{statistics.median(after) / statistics.median(before):.2f}" if before else ""
        print(
            f"| {symbols:,} x {bars:,} | {layout} | {f} | {path} | {cell(before)} | {cell(after)} "
            f"| {ratio} |"
        )
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--shapes", default=None)
    parser.add_argument("--against", help="the python of the build to compare with")
    parser.add_argument("--against-root", help="the source tree of that build (kernels.cpp)")
    parser.add_argument("--clock", choices=sorted(CLOCKS), default="thread")
    parser.add_argument("--lanes", default="scalar,sse2,neon,avx2,avx512")
    parser.add_argument("--calls", type=int, default=5, help="timed calls per case and run")
    parser.add_argument("--case", nargs=5, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.case:
        f, layout, shape, clock, calls = args.case
        symbols, bars = (int(n) for n in shape.split("x"))
        print(ta._lanes, case_ns(f, layout, symbols, bars, clock, int(calls)))
        return 0
    default_shapes = "500x2520" if args.against else "5000x2520,500x2520"
    shapes = [
        tuple(int(n) for n in s.split("x")) for s in (args.shapes or default_shapes).split(",")
    ]
    if args.against:
        if args.against_root and shutil.which("cmake") is None:
            print("--against-root needs cmake on PATH to build the kernels")
            return 2
        return compare(args, shapes)
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
