"""The list functions of tarnwick against the floor and the peer libraries:
who runs, and the tables and chart of the report.
"""

from __future__ import annotations

import array
import os
import platform
from pathlib import Path

import numpy as np

import tarnwick
from suite.common import (
    ADX_PERIOD,
    AF_MAX,
    AF_STEP,
    ALPHA,
    ARRAY,
    BETA,
    FLOOR,
    FUNCTIONS,
    KINDS,
    OMEGA,
    PEER_DISTS,
    PEER_NOTES,
    SERIES,
    TARNWICK,
    VARIANTS,
    cpu_model,
    fmt_ns,
    margin,
    mark,
    version_of,
)


def contenders(function: str, kind: str, inputs: dict, floor, peers) -> dict[str, tuple]:
    """Each library's call as a user writes it: (statement, namespace)."""
    ns = dict(inputs)
    ns.update(asarray=np.asarray, floor=floor, array=array.array, np=np)
    names = SERIES[function]
    args = ", ".join(names)
    out: dict[str, tuple] = {}

    if function == "ADX":
        ns["f"] = tarnwick.native_adx
        out[TARNWICK] = f"f({args}, {ADX_PERIOD})"
    elif function == "SAR":
        ns["f"] = tarnwick.native_parabolic_sar
        out[TARNWICK] = f"f({args}, {AF_STEP}, {AF_MAX})"
    else:
        ns["f"] = tarnwick.native_garch11_variance
        out[TARNWICK] = f"f({args}, {OMEGA}, {ALPHA}, {BETA})"
    out[FLOOR] = f"floor({args})"
    if kind == "list":
        out[ARRAY] = "[" + ", ".join(f"array('d', {s})" for s in names) + "][0].tolist()"
    else:
        # frombytes reads the buffer; array('d', ndarray) would iterate item by item
        ns["new"] = _array_from_buffer
        out[ARRAY] = "[" + ", ".join(f"new({s})" for s in names) + "][0].tolist()"

    # how each peer receives one series, from this kind of input
    arr = (lambda s: f"asarray({s})") if kind == "list" else (lambda s: s)
    arrs = ", ".join(arr(s) for s in names)

    if "TA-Lib" in peers and function != "GARCH":
        ns["talib"] = peers["TA-Lib"]
        if function == "ADX":
            out["TA-Lib"] = f"talib.ADX({arrs}, {ADX_PERIOD}).tolist()"
        else:
            out["TA-Lib"] = f"talib.SAR({arrs}, {AF_STEP}, {AF_MAX}).tolist()"
    if "tulipy" in peers and function != "GARCH":
        ns["tulipy"] = peers["tulipy"]
        if function == "ADX":
            out["tulipy"] = f"tulipy.adx({arrs}, {ADX_PERIOD}).tolist()"
        else:
            out["tulipy"] = f"tulipy.psar({arrs}, {AF_STEP}, {AF_MAX}).tolist()"
    if "ta" in peers and function != "GARCH":
        import pandas as pd
        from ta.trend import ADXIndicator, PSARIndicator

        ns.update(Series=pd.Series, ADXIndicator=ADXIndicator, PSARIndicator=PSARIndicator)
        hlc = ", ".join(f"Series({arr(s)})" for s in ("high", "low", "close"))
        if function == "ADX":
            out["ta"] = f"ADXIndicator({hlc}, {ADX_PERIOD}).adx().tolist()"
        else:
            out["ta"] = f"PSARIndicator({hlc}, {AF_STEP}, {AF_MAX}).psar().tolist()"
    if "talipp" in peers and function != "GARCH":
        from talipp.indicators import ADX, ParabolicSAR
        from talipp.ohlcv import OHLCV

        ns.update(ADX=ADX, ParabolicSAR=ParabolicSAR, OHLCV=OHLCV)
        # talipp wants Python floats per bar; from numpy that means tolist() first
        lst = (lambda s: s) if kind == "list" else (lambda s: f"{s}.tolist()")
        if function == "ADX":
            bars = (
                f"[OHLCV(None, h, l, c) for h, l, c in zip("
                f"{lst('high')}, {lst('low')}, {lst('close')})]"
            )
            out["talipp"] = (
                f"[None if v is None else v.adx for v in "
                f"ADX({ADX_PERIOD}, {ADX_PERIOD}, input_values={bars})]"
            )
        else:
            bars = f"[OHLCV(None, h, l, None) for h, l in zip({lst('high')}, {lst('low')})]"
            out["talipp"] = (
                f"[None if v is None else v.value for v in "
                f"ParabolicSAR({AF_STEP}, {AF_STEP}, {AF_MAX}, input_values={bars})]"
            )
    if "arch" in peers and function == "GARCH":
        from arch.univariate import GARCH

        ns.update(
            vol=GARCH(), params=np.array([OMEGA, ALPHA, BETA]), empty=np.empty, garch=_arch_variance
        )
        out["arch"] = f"garch(vol, params, {arr('returns')})"
    return {name: (stmt, ns) for name, stmt in out.items()}


def _array_from_buffer(values: np.ndarray) -> array.array:
    out = array.array("d")
    out.frombytes(memoryview(values).cast("B"))
    return out


def _arch_variance(vol, params, resids):
    sigma2 = np.empty(resids.shape[0])
    backcast = vol.backcast(resids)
    bounds = vol.variance_bounds(resids)
    return vol.compute_variance(params, resids, sigma2, backcast, bounds).tolist()


PEERS_OF = {
    "ADX": ("TA-Lib", "tulipy", "ta", "talipp"),
    "SAR": ("TA-Lib", "tulipy", "ta", "talipp"),
    "GARCH": ("arch",),
}


def render(
    results, single, sizes, peers, settings, args, started, elapsed, load_start, load_end
) -> str:
    lines = _run_conditions(peers, settings, args, started, elapsed, load_start, load_end)
    lines += _how_to_read(peers, settings)
    for function in FUNCTIONS:
        lines += _function_table(function, results[function], sizes, peers)
    lines += _single_call_table(single)
    lines += _targets_table(results, single, sizes, peers)
    lines += _every_library_tables(results, sizes, peers)
    return "\n".join(lines)


def _run_conditions(peers, settings, args, started, elapsed, load_start, load_end) -> list[str]:
    """The title, and when, where and how the figures were taken."""
    installed = ", ".join(f"{p} {version_of(d)}" for p, d in PEER_DISTS.items() if p in peers)
    lines = [
        "# Benchmarks",
        "",
        f"Taken {started:%Y-%m-%d %H:%M} UTC by `python benchmarks/run.py"
        f"{' --quick' if settings.quick else ''}` in {elapsed:.0f} s.",
        "",
        f"- CPU: {cpu_model()}, {os.cpu_count()} logical cores",
        f"- Python {platform.python_version()} ({platform.python_implementation()}), "
        f"tarnwick {version_of('tarnwick')}, numpy {np.__version__}",
        "- peers: " + (installed or "none"),
    ]
    if load_start is not None:
        lines.append(
            f"- load average (1 min) at start {load_start[0]:.2f}, at end {load_end[0]:.2f}"
        )
    lines.append(
        f"- repeats: {settings.repeats} per cell ({settings.repeats_large} at "
        f"n = 1,000,000), fewer for a peer whose single call is slow; "
        f"batches of about {settings.batch_s * 1000:.0f} ms; garbage collector off "
        "while timing, as in timeit"
    )
    if args.note:
        lines += ["", f"**Conditions:** {args.note}"]
    return lines


def _how_to_read(peers, settings) -> list[str]:
    """What each column means, the peers' variants, and the chart."""
    lines = [
        "",
        "How to read the tables:",
        "",
        "- **ns/bar**: median over repeats of the time of one call divided by n. A call "
        "starts from the inputs and ends with a Python `list` of floats, which is then "
        "dropped (its freeing is timed too).",
        "- **list** rows: every input is a Python `list` of floats; peers are given "
        "`numpy.asarray` of each list and their result is turned into a list with "
        "`.tolist()`. **numpy** rows: every input is a float64 array; the output is still "
        "a list.",
        "- **floor**: a minimal C extension built for this run under tarnwick's rules "
        "(limited API 3.11): it reads each input series into a malloc'd array of doubles "
        "(`PyList_GetItem` + `PyFloat_AsDouble`, or the buffer for numpy) and builds one "
        "list of n floats, computing nothing. It reads as many series as the function: "
        "three for ADX, two for SAR, one for GARCH. **vs floor** is tarnwick's time over "
        "the floor's.",
        "- **array.array**: `array.array('d', s)` of each series plus one `.tolist()` "
        "(from numpy, `frombytes`), a familiar standard-library reference.",
        "- **peer columns**: the peer's time divided by tarnwick's; above 1 means tarnwick "
        "is faster. `n/a`: the peer refuses that n; `skipped`: one call was projected to "
        "take longer than "
        f"{settings.max_call_s:.0f} s.",
        f"- Parameters: ADX period {ADX_PERIOD}; SAR step {AF_STEP}, maximum {AF_MAX}; "
        f"GARCH omega {OMEGA}, alpha {ALPHA}, beta {BETA}. Data: a seeded random walk.",
        "",
        "Peers compute their own variants; the comparison is of cost at equal n, not of values:",
        "",
    ]
    lines += [f"- {p}: {PEER_NOTES[p]}" for p in PEER_DISTS if p in peers]
    not_installed = [p for p in PEER_DISTS if p not in peers]
    if not_installed:
        lines.append(f"- not installed in this run: {', '.join(not_installed)}")
    lines.append(
        "- pandas-ta is not in the benchmark: its releases that install need CPython 3.12 or later."
    )
    return [*lines, "", "![ns per bar against n](CHART)", ""]


def _per_bar(cell, name, n):
    """ns per bar of `name` in the cell, or None when it has no time there."""
    entry = cell.get(name)
    return entry[1] / n * 1e9 if entry and entry[0] == "ok" else None


def _ratio_text(cell, name, tw):
    """`name`'s time over tarnwick's `tw`, or why there is none."""
    entry = cell.get(name)
    if entry is None:
        return ""
    if entry[0] == "error":
        return "n/a"
    if entry[0] == "skipped":
        return "skipped"
    return f"{entry[1] / tw:,.1f}×" if entry[1] / tw < 100 else f"{entry[1] / tw:,.0f}×"


def _function_table(function, cells, sizes, peers) -> list[str]:
    """One function: tarnwick, the floor and array.array per bar, peers as ratios."""
    peer_cols = [p for p in PEERS_OF[function] if p in peers]
    head = [
        "input",
        "n",
        "tarnwick ns/bar",
        "floor ns/bar",
        "vs floor",
        "array.array ns/bar",
    ] + [f"{p} ÷ tarnwick" for p in peer_cols]
    lines = [
        f"## {function}",
        "",
        "| " + " | ".join(head) + " |",
        "|" + "|".join(["---"] * 2 + ["---:"] * (len(head) - 2)) + "|",
    ]
    for kind in KINDS:
        for n in sizes:
            cell = cells[kind][n]
            tw = cell[TARNWICK][1]
            row = [
                kind,
                f"{n:,}",
                fmt_ns(_per_bar(cell, TARNWICK, n)),
                fmt_ns(_per_bar(cell, FLOOR, n)),
                f"{tw / cell[FLOOR][1]:.2f}",
                fmt_ns(_per_bar(cell, ARRAY, n)),
            ]
            row += [_ratio_text(cell, p, tw) for p in peer_cols]
            lines.append("| " + " | ".join(row) + " |")
    if peer_cols:
        lines += [
            "",
            f"Peers compute other variants, so only cost at equal n compares: "
            f"{VARIANTS[function]}.",
        ]
    return [*lines, ""]


def _single_call_table(single) -> list[str]:
    lines = [
        "## One call at n = 10",
        "",
        "Median time of one tarnwick call with n = 10, in loops of calls.",
        "",
        "| function | list input, ns | numpy input, ns |",
        "|---|---:|---:|",
    ]
    for function in FUNCTIONS:
        lines.append(
            f"| {function} | {single[function]['list']:,.0f} | {single[function]['numpy']:,.0f} |"
        )
    return [*lines, ""]


# The most tarnwick's list-input time may be over the floor's, by n.
FLOOR_RATIO_LIMITS = {
    1_000: {"ADX": 1.6, "SAR": 1.35, "GARCH": 1.35},
    1_000_000: {"ADX": 1.15, "SAR": 1.15, "GARCH": 1.15},
}


def _targets_table(results, single, sizes, peers) -> list[str]:
    lines = [
        "## Targets",
        "",
        "Ratios to the floor are for list input, which is what the floor measures.",
        "",
        "| target | figure | |",
        "|---|---|---|",
    ]
    lines += _floor_targets(results, sizes)
    lines += _peer_targets(results, sizes, peers)
    if "TA-Lib" in peers:
        lines += _ta_lib_numpy_targets(results, sizes)
    for function in FUNCTIONS:
        ns_call = single[function]["list"]
        lines.append(
            f"| {function}: one call at n = 10 under 1 µs (list input) | "
            f"{ns_call:,.0f} ns | {mark(ns_call < 1000)} |"
        )
    return [*lines, ""]


def _floor_targets(results, sizes) -> list[str]:
    lines = []
    for n, limits in FLOOR_RATIO_LIMITS.items():
        if n not in sizes:
            continue
        for function in FUNCTIONS:
            cell = results[function]["list"][n]
            r = cell[TARNWICK][1] / cell[FLOOR][1]
            lines.append(
                f"| {function} vs floor at n = {n:,} <= {limits[function]} | "
                f"{r:.2f} | {mark(r <= limits[function])} |"
            )
    return lines


def _peer_targets(results, sizes, peers) -> list[str]:
    """Faster than each installed peer with lists in and out, at every n >= 100."""
    lines = []
    for function in FUNCTIONS:
        for p in PEERS_OF[function]:
            if p not in peers:
                continue
            worst, refused = None, []
            for n in sizes:
                if n < 100:
                    continue
                cell = results[function]["list"][n]
                entry = cell.get(p)
                if entry and entry[0] == "ok":
                    r = entry[1] / cell[TARNWICK][1]
                    worst = r if worst is None else min(worst, r)
                elif entry:
                    refused.append(f"{n:,} {entry[0]}")
            if worst is None:
                continue
            extra = f" ({', '.join(refused)})" if refused else ""
            lines.append(
                f"| {function}: faster than {p}, lists in and out, every n >= 100 | "
                f"slowest margin {margin(worst)}{extra} | {mark(worst > 1)} |"
            )
    return lines


def _ta_lib_numpy_targets(results, sizes) -> list[str]:
    """With numpy input, faster than TA-Lib followed by `.tolist()`, at every n."""
    lines = []
    for function in ("ADX", "SAR"):
        worst = None
        for n in sizes:
            entry = results[function]["numpy"][n].get("TA-Lib")
            if entry and entry[0] == "ok":
                r = entry[1] / results[function]["numpy"][n][TARNWICK][1]
                worst = r if worst is None else min(worst, r)
        if worst is not None:
            lines.append(
                f"| {function}: numpy input faster than TA-Lib + `.tolist()`, "
                f"every n | slowest margin {margin(worst)} | {mark(worst > 1)} |"
            )
    return lines


def _every_library_tables(results, sizes, peers) -> list[str]:
    """ns per bar of every contender, peers included, one table per function."""
    lines = ["## ns per bar, every library", ""]
    for function in FUNCTIONS:
        names = [TARNWICK, FLOOR, ARRAY] + [p for p in PEERS_OF[function] if p in peers]
        lines += [
            f"**{function}**",
            "",
            "| input | n | " + " | ".join(names) + " |",
            "|---|---|" + "---:|" * len(names),
        ]
        for kind in KINDS:
            for n in sizes:
                cell = results[function][kind][n]
                vals = [_cell_text(cell, name, n) for name in names]
                lines.append(f"| {kind} | {n:,} | " + " | ".join(vals) + " |")
        lines.append("")
    return lines


def _cell_text(cell, name, n) -> str:
    """ns per bar, or why there is no time: n/a (refused), skipped, or blank."""
    v = _per_bar(cell, name, n)
    if v is not None:
        return fmt_ns(v)
    entry = cell.get(name)
    if entry is None:
        return ""
    return "n/a" if entry[0] == "error" else entry[0]


def plot(results, sizes, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(len(KINDS), len(FUNCTIONS), figsize=(15, 8.5), sharex=True)
    styles = {
        TARNWICK: dict(color="black", linewidth=2.5, marker="o"),
        FLOOR: dict(color="grey", linestyle="--", marker="."),
        ARRAY: dict(color="grey", linestyle=":", marker="."),
        "TA-Lib": dict(color="tab:blue", marker="s"),
        "tulipy": dict(color="tab:orange", marker="^"),
        "ta": dict(color="tab:green", marker="v"),
        "talipp": dict(color="tab:red", marker="D"),
        "arch": dict(color="tab:purple", marker="s"),
    }
    order = [TARNWICK, FLOOR, ARRAY, *PEER_DISTS]
    for i, kind in enumerate(KINDS):
        for j, function in enumerate(FUNCTIONS):
            ax = axes[i][j]
            for name in order:
                xs, ys = [], []
                for n in sizes:
                    entry = results[function][kind][n].get(name)
                    if entry and entry[0] == "ok":
                        xs.append(n)
                        ys.append(entry[1] / n * 1e9)
                if xs:
                    ax.plot(xs, ys, label=name, **styles[name])
            ax.set_xscale("log")
            ax.set_yscale("log")
            ax.set_title(f"{function}, {kind} input")
            ax.grid(True, which="major", alpha=0.4)
            if i == len(KINDS) - 1:
                ax.set_xlabel("n (bars)")
            if j == 0:
                ax.set_ylabel("ns per bar (median)")
            ax.legend(fontsize=8)
    fig.suptitle("Time per bar, from the inputs to a Python list of floats (lower is faster)")
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)
