"""tarnwick_arrays for numpy users: float64 arrays in, a float64 ndarray out,
against the peers' array calls and the kernels alone on C arrays, and how a
panel scales with threads.
"""

from __future__ import annotations

import atexit
import gc
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import timeit
from pathlib import Path

import numpy as np

import tarnwick
from suite.common import (
    ADX_PERIOD,
    AF_MAX,
    AF_STEP,
    ALPHA,
    BENCHMARKS,
    BETA,
    FUNCTIONS,
    OMEGA,
    ROOT,
    SERIES,
    Settings,
    fmt_ns,
    margin,
    mark,
    run_cell,
    single_call_ns,
)

ARRAYS = "tarnwick_arrays"
LIST_TO_ARRAY = "tarnwick + np.array"
ARRAY_PEERS = {"ADX": ("TA-Lib", "tulipy"), "SAR": ("TA-Lib", "tulipy"), "GARCH": ("arch",)}
THREAD_SHAPE = (500, 2_520)


def build_kernel_floor(data: dict):
    """A function n -> {function: ns/bar} that times each kernel writing into a
    C array, with benchmarks/floor/kernels.cpp built with the project's
    optimisation and floating-point flags; None without a C++ compiler."""
    compiler = shutil.which(os.environ.get("CXX", "c++"))
    if compiler is None:
        return None
    build = Path(tempfile.mkdtemp(prefix="tarnwick-kernels-"))
    atexit.register(shutil.rmtree, build, True)
    sources = [BENCHMARKS / "floor" / "kernels.cpp", *sorted((ROOT / "indicators").glob("*.cpp"))]
    subprocess.run(
        [
            compiler,
            "-O3",
            "-DNDEBUG",
            "-std=c++20",
            "-ffp-contract=off",
            "-fno-fast-math",
            "-o",
            str(build / "kernels"),
            *map(str, sources),
        ],
        check=True,
    )
    for name in ("high", "low", "close", "returns"):
        np.ascontiguousarray(data[name], dtype=np.float64).tofile(build / f"{name}.f64")

    def floor(n: int) -> dict:
        run = subprocess.run(
            [str(build / "kernels"), str(build), str(n)], check=True, capture_output=True, text=True
        )
        return {
            function: float(ns_bar)
            for function, _, ns_bar in map(str.split, run.stdout.splitlines())
        }

    return floor


def array_contenders(function: str, inputs: dict, peers) -> dict[str, tuple]:
    import tarnwick_arrays

    ns = dict(inputs, np=np, ta=tarnwick_arrays, tw=tarnwick)
    args = ", ".join(SERIES[function])
    scalars = {
        "ADX": f"{ADX_PERIOD}",
        "SAR": f"{AF_STEP}, {AF_MAX}",
        "GARCH": f"{OMEGA}, {ALPHA}, {BETA}",
    }[function]
    name = {"ADX": "adx", "SAR": "parabolic_sar", "GARCH": "garch11_variance"}[function]
    out = {
        ARRAYS: f"ta.{name}({args}, {scalars})",
        LIST_TO_ARRAY: f"np.array(tw.native_{name}({args}, {scalars}))",
    }
    if function != "GARCH":
        talib_name, tulipy_name = {"ADX": ("ADX", "adx"), "SAR": ("SAR", "psar")}[function]
        if "TA-Lib" in peers:
            ns["talib"] = peers["TA-Lib"]
            out["TA-Lib"] = f"talib.{talib_name}({args}, {scalars})"
        if "tulipy" in peers:
            ns["tulipy"] = peers["tulipy"]
            out["tulipy"] = f"tulipy.{tulipy_name}({args}, {scalars})"
    elif "arch" in peers:
        from arch.univariate import GARCH

        ns.update(vol=GARCH(), params=np.array([OMEGA, ALPHA, BETA]), garch=_arch_variance_array)
        out["arch"] = "garch(vol, params, returns)"
    return {name: (stmt, ns) for name, stmt in out.items()}


def _arch_variance_array(vol, params, resids):
    sigma2 = np.empty(resids.shape[0])
    backcast = vol.backcast(resids)
    bounds = vol.variance_bounds(resids)
    return vol.compute_variance(params, resids, sigma2, backcast, bounds)


def thread_scaling(settings: Settings) -> dict:
    """ADX over 500 symbols x 2,520 bars, one call against a pool of two
    threads over blocks of rows (the example's function)."""
    sys.path.insert(0, str(ROOT / "examples"))
    try:
        from array_threads import adx_in_threads, random_prices
    finally:
        sys.path.pop(0)
    from concurrent.futures import ThreadPoolExecutor

    high, low, close = random_prices(*THREAD_SHAPE)
    repeats = 5 if settings.quick else 21
    samples: dict = {1: [], 2: []}
    pools = {workers: ThreadPoolExecutor(workers) for workers in samples}
    out = np.empty(high.shape)
    try:
        for workers, pool in pools.items():  # threads and result pages start before timing
            adx_in_threads(pool, workers, high, low, close, ADX_PERIOD, out)
        for _ in range(repeats):  # interleaved, so that both see the same load
            for workers, pool in pools.items():
                samples[workers].append(
                    timeit.timeit(
                        lambda pool=pool, workers=workers: adx_in_threads(
                            pool, workers, high, low, close, ADX_PERIOD, out
                        ),
                        number=1,
                    )
                )
    finally:
        for pool in pools.values():
            pool.shutdown()
    return {workers: statistics.median(times) for workers, times in samples.items()}


def run_arrays(data: dict, sizes, peers, settings: Settings) -> dict:
    results: dict = {f: {} for f in FUNCTIONS}
    single: dict = {}
    kernel: dict = {}
    floor = build_kernel_floor(data)
    for function in FUNCTIONS:
        for n in sizes:
            if floor is not None:  # timed right before the cell it is the floor of
                kernel[(function, n)] = floor(n)[function]
            inputs = {s: np.ascontiguousarray(data[s][:n]) for s in SERIES[function]}
            cands = array_contenders(function, inputs, peers)
            stmt, ns = cands[ARRAYS]
            result = eval(stmt, ns)
            if type(result) is not np.ndarray or result.dtype != np.float64 or result.shape != (n,):
                raise RuntimeError(f"{ARRAYS} did not return {n} float64 values")
            results[function][n] = run_cell(cands, n, settings, {})
            if n == 10:
                single[function] = {
                    name: single_call_ns(cands, settings, name)
                    for name in cands
                    if name in (ARRAYS, "TA-Lib")
                }
            print(
                f"  {function:5} arrays n={n:>9,}  {ARRAYS} "
                f"{fmt_ns(results[function][n][ARRAYS][1] / n * 1e9)} ns/bar",
                flush=True,
            )
            gc.collect()
    return {
        "cells": results,
        "single": single,
        "kernel": kernel,
        "threads": thread_scaling(settings),
    }


def render_arrays(arrays: dict, sizes, peers) -> str:
    cells, kernel = arrays["cells"], arrays["kernel"]
    lines = [
        "# Arrays: float64 in, ndarray out",
        "",
        f"`{ARRAYS}` against the peers' array functions in the same run: every input a "
        "C-contiguous float64 array, every result a float64 ndarray, medians as above. "
        f"**kernel** is the C++ kernel alone writing into a C array (benchmarks/floor/"
        "kernels.cpp, the project's flags), timed just before the row, the floor for any "
        f"binding; **vs kernel** is {ARRAYS} over it. **{LIST_TO_ARRAY}** is the list "
        "module's result turned into an array, for comparison.",
        "",
    ]
    for function in FUNCTIONS:
        names = [ARRAYS, LIST_TO_ARRAY] + [p for p in ARRAY_PEERS[function] if p in peers]
        lines += [
            f"## {function} (arrays)",
            "",
            "| n | "
            + " | ".join(f"{name} ns/bar" for name in names[:1])
            + " | kernel ns/bar | vs kernel | "
            + " | ".join(f"{name} ns/bar" for name in names[1:])
            + " |",
            "|---|" + "---:|" * (len(names) + 2),
        ]
        for n in sizes:
            cell = cells[function][n]
            tw = cell[ARRAYS][1] / n * 1e9
            floor = kernel.get((function, n))
            row = [
                f"{n:,}",
                fmt_ns(tw),
                fmt_ns(floor) if floor else "",
                f"{tw / floor:.2f}" if floor else "",
            ]
            for name in names[1:]:
                entry = cell.get(name)
                row.append(
                    fmt_ns(entry[1] / n * 1e9)
                    if entry and entry[0] == "ok"
                    else (entry[0] if entry else "")
                )
            lines.append("| " + " | ".join(row) + " |")
        lines.append("")

    lines += ["## Targets (arrays)", "", "| target | figure | |", "|---|---|---|"]
    for function in ("ADX", "SAR"):
        for n in sizes:
            if n < 1_000:
                continue
            cell = cells[function][n]
            fastest = [
                (cell[p][1], p) for p in ARRAY_PEERS[function] if p in cell and cell[p][0] == "ok"
            ]
            if fastest:
                best, who = min(fastest)
                r = best / cell[ARRAYS][1]
                lines.append(
                    f"| {function} n = {n:,}: as fast as the fastest peer ({who}) | "
                    f"{margin(r)} | {mark(r >= 1)} |"
                )
            floor = kernel.get((function, n))
            if n >= 100_000 and floor:
                r = cell[ARRAYS][1] / n * 1e9 / floor
                lines.append(
                    f"| {function} n = {n:,}: within 1.2× of the kernel | "
                    f"{r:.2f}× | {mark(r <= 1.2)} |"
                )
    for function, calls in arrays["single"].items():
        if "TA-Lib" in calls:
            lines.append(
                f"| {function}: one call at n = 10 no slower than TA-Lib's | "
                f"{calls[ARRAYS]:,.0f} ns against {calls['TA-Lib']:,.0f} ns | "
                f"{mark(calls[ARRAYS] <= calls['TA-Lib'])} |"
            )
    threads = arrays["threads"]
    speedup = threads[1] / threads[2]
    lines += [
        f"| ADX {THREAD_SHAPE[0]} symbols × {THREAD_SHAPE[1]:,} bars: 2 threads ≥ 1.8× "
        f"one | {threads[1] * 1e3:.1f} ms → {threads[2] * 1e3:.1f} ms, {speedup:.2f}× | "
        f"{mark(speedup >= 1.8)} |",
        "",
    ]
    return "\n".join(lines)
