"""ADX over pandas, polars and Arrow inputs (tarnwick_frames) against float64
arrays and TA-Lib's own wrappers.
"""

from __future__ import annotations

import gc
import statistics
import timeit

import numpy as np

from suite.common import ADX_PERIOD, Settings, available_peers, make_data, version_of

FRAMES_SIZES = (10, 1_000, 1_000_000)
FRAMES_BASE = "float64 ndarray"


def frames_contenders(high, low, close, peers) -> dict[str, tuple]:
    """ADX(14) of the same bars given as each container, each result in kind."""
    import pandas as pd
    import polars as pl
    import pyarrow as pa

    import tarnwick_arrays

    containers = {
        FRAMES_BASE: lambda x: x,
        "pandas Series float64": pd.Series,
        "polars Series": pl.Series,
        "pyarrow Array": pa.array,
        "pandas float64[pyarrow]": lambda x: pd.Series(pd.arrays.ArrowExtensionArray(pa.array(x))),
    }
    cands = {}
    for label, make in containers.items():
        ns = {"f": tarnwick_arrays.adx, "h": make(high), "l": make(low), "c": make(close)}
        cands[f"tarnwick_arrays, {label}"] = ("f(h, l, c, ADX_PERIOD)", ns)
    if "TA-Lib" in peers:
        for label, make in (("pandas", pd.Series), ("polars", pl.Series)):
            ns = {"f": peers["TA-Lib"].ADX, "h": make(high), "l": make(low), "c": make(close)}
            cands[f"TA-Lib, {label} in and out"] = ("f(h, l, c, ADX_PERIOD)", ns)
    for ns in (ns for _, ns in cands.values()):
        ns["ADX_PERIOD"] = ADX_PERIOD
    return cands


def frames_samples(cands: dict, settings: Settings) -> dict[str, list[float]]:
    """Seconds per call of each contender, one sample per timed batch, the
    contenders interleaved and rotated so that all see the same load."""
    timers, calls = {}, {}
    for name, (stmt, ns) in cands.items():
        timers[name] = timeit.Timer(stmt, globals=ns)
        timers[name].timeit(1)  # warm-up: the first call imports tarnwick_frames' libraries
        once = timers[name].timeit(1)
        calls[name] = max(1, int(settings.batch_s / max(once, 1e-9)))
    samples: dict = {name: [] for name in cands}
    order = list(cands)
    for r in range(settings.repeats):
        shift = r % len(order)
        for name in order[shift:] + order[:shift]:
            samples[name].append(timers[name].timeit(calls[name]) / calls[name])
    return samples


def run_frames(settings: Settings) -> dict:
    data = make_data(max(FRAMES_SIZES))
    peers = available_peers()
    cells = {}
    for n in FRAMES_SIZES:
        high, low, close = (np.ascontiguousarray(data[s][:n]) for s in ("high", "low", "close"))
        cells[n] = frames_samples(frames_contenders(high, low, close, peers), settings)
        gc.collect()
        print(f"  frames n={n:>9,}", flush=True)
    versions = {d: version_of(d) for d in ("numpy", "pandas", "polars", "pyarrow", "ta-lib")}
    return {"cells": cells, "versions": versions, "repeats": settings.repeats}


def _frames_cell(values: list[float]) -> str:
    median = statistics.median(values)
    return f"{median * 1e6:,.1f} ({min(values) * 1e6:,.1f} to {max(values) * 1e6:,.1f})"


def render_frames(frames: dict) -> str:
    cells = frames["cells"]
    sizes = list(cells)
    lines = [
        "# ADX(14) over pandas, polars and Arrow inputs",
        "",
        "One call of `tarnwick_arrays.adx` on the same bars given as each container, the "
        "result in the same kind (a Series, an Arrow array, an ndarray), against TA-Lib's "
        "own pandas and polars wrappers. µs per call: the median of "
        f"{frames['repeats']} timed batches, the fastest and slowest batch in brackets; "
        f"**× base** is the median over that of a {FRAMES_BASE}.",
        "",
        ", ".join(f"{d} {v}" for d, v in frames["versions"].items()),
        "",
        "| input | " + " | ".join(f"n = {n:,} µs | × base" for n in sizes) + " |",
        "|---|" + "---:|---:|" * len(sizes),
    ]
    base = f"tarnwick_arrays, {FRAMES_BASE}"
    for name in cells[sizes[0]]:
        row = [name]
        for n in sizes:
            values = cells[n][name]
            ratio = statistics.median(values) / statistics.median(cells[n][base])
            row += [_frames_cell(values), f"{ratio:.2f}"]
        lines.append("| " + " | ".join(row) + " |")
    return "\n".join([*lines, ""])
