"""tarnwick_stream a bar at a time: one update from Python floats against
TA-Lib's stream handles and a floor method, a history through extend against
the whole-series functions, and one bar of many symbols from numpy arrays.
"""

from __future__ import annotations

import gc
import os
import platform
import statistics
import timeit
from pathlib import Path

import numpy as np

import tarnwick
from suite.common import (
    ADX_PERIOD,
    AF_MAX,
    AF_STEP,
    ALPHA,
    BETA,
    FUNCTIONS,
    OMEGA,
    SERIES,
    Settings,
    build_c_extension,
    cpu_model,
    fmt_ns,
    interleaved,
    make_data,
    version_of,
)

STREAM = "tarnwick_stream"
UPDATE_FLOOR = "floor method"
UPDATE_FLOOR_FUNCTION = "floor function"
LOOP = "loop alone"
STREAM_WARMUP = 100  # bars every stream is opened on before its timed updates
STREAM_CALLS = 20_000  # updates in one timed loop
STREAM_HISTORY = 4_000  # bars of one extend
STREAM_SYMBOLS = 5_000
STREAM_SYMBOL_BARS = 50  # bars of one timed many-symbol loop
WHERE_SHARE = 0.5  # share of symbols with a bar when where= is given
STREAM_TYPES = {
    "ADX": ("Adx", f"{ADX_PERIOD}"),
    "SAR": ("ParabolicSar", f"{AF_STEP}, {AF_MAX}"),
    "GARCH": ("Garch11Variance", f"{OMEGA}, {ALPHA}, {BETA}"),
}
BATCH_NAMES = {"ADX": "adx", "SAR": "parabolic_sar", "GARCH": "garch11_variance"}


def talib_stream_handles(peers) -> bool:
    """Whether the installed TA-Lib has stream handles with update(); older
    releases' talib.stream only has functions over whole arrays."""
    stream = getattr(peers.get("TA-Lib"), "stream", None)
    return isinstance(getattr(stream, "ADX", None), type) and hasattr(stream.ADX, "update")


def update_contenders(function: str, data: dict, update_floor, peers) -> dict[str, tuple]:
    """One update per bar from Python floats, 20,000 bars in a loop, each
    stream opened on the same history first: (statement, setup, namespace)."""
    import tarnwick_stream

    names = SERIES[function]
    args = ", ".join(names)
    cls, scalars = STREAM_TYPES[function]
    live = slice(STREAM_WARMUP, STREAM_WARMUP + STREAM_CALLS)
    ns = {
        "bars": list(zip(*(data[s][live].tolist() for s in names), strict=True)),
        "tws": tarnwick_stream,
        "Floor": update_floor.Floor,
        "floor_update": update_floor.update,
    }
    for s in names:
        ns[f"history_{s}"] = data[s][:STREAM_WARMUP].tolist()
        ns[f"history_{s}_a"] = np.ascontiguousarray(data[s][:STREAM_WARMUP])
    history = ", ".join(f"history_{s}" for s in names)
    loop = f"for {args}, in bars: "  # the trailing comma unpacks one series too
    out = {
        STREAM: (loop + f"s.update({args})", f"s = tws.{cls}({scalars}); s.extend({history})"),
        UPDATE_FLOOR: (loop + f"s.update({args})", "s = Floor()"),
        UPDATE_FLOOR_FUNCTION: (loop + f"floor_update({args})", "pass"),
        LOOP: (loop + "pass", "pass"),
    }
    if function != "GARCH" and talib_stream_handles(peers):
        ns["talib"] = peers["TA-Lib"]
        arrays = ", ".join(f"history_{s}_a" for s in names)
        out["TA-Lib"] = (
            loop + f"s.update({args})",
            f"s = talib.stream.{function}({arrays}, {scalars})",
        )
    return {name: (stmt, setup, ns) for name, (stmt, setup) in out.items()}


def extend_contenders(function: str, data: dict, peers) -> dict[str, tuple]:
    """A fresh stream extended over a 4,000-bar history, and the whole-series
    functions on the same history: (statement, setup, namespace)."""
    import tarnwick_arrays
    import tarnwick_stream

    names = SERIES[function]
    cls, scalars = STREAM_TYPES[function]
    name = BATCH_NAMES[function]
    ns: dict = {"tws": tarnwick_stream, "tw": tarnwick, "ta": tarnwick_arrays}
    for s in names:
        ns[s] = data[s][:STREAM_HISTORY].tolist()
        ns[f"{s}_a"] = np.ascontiguousarray(data[s][:STREAM_HISTORY])
    lists = ", ".join(names)
    arrays = ", ".join(f"{s}_a" for s in names)
    rows = ", ".join(f"{s}_a[None, :]" for s in names)  # one symbol's row, as a 2-D array
    out = {
        "stream extend, lists": f"tws.{cls}({scalars}).extend({lists})",
        f"tarnwick.native_{name}, lists": f"tw.native_{name}({lists}, {scalars})",
        "stream extend, arrays": f"tws.{cls}({scalars}).extend({arrays})",
        f"tarnwick.native_{name}, arrays": f"tw.native_{name}({arrays}, {scalars})",
        "stream symbols=1 extend, 2-D array": (f"tws.{cls}({scalars}, symbols=1).extend({rows})"),
        f"tarnwick_arrays.{name}": f"ta.{name}({arrays}, {scalars})",
    }
    if function != "GARCH" and talib_stream_handles(peers):
        ns["talib"] = peers["TA-Lib"]
        out["TA-Lib stream open_and_fill"] = (
            f"talib.stream.{function}.open_and_fill({arrays}, {scalars})"
        )
        out[f"TA-Lib {function}"] = f"talib.{function}({arrays}, {scalars})"
    return {name: (stmt, "pass", ns) for name, stmt in out.items()}


# Each stream's ratio in the extend table: (stream, whole-series function).
EXTEND_PAIRS = (
    ("stream extend, lists", "tarnwick.native_{}, lists"),
    ("stream extend, arrays", "tarnwick.native_{}, arrays"),
    ("stream symbols=1 extend, 2-D array", "tarnwick_arrays.{}"),
    ("TA-Lib stream open_and_fill", "TA-Lib {}"),
)


def symbols_contenders(function: str, peers) -> dict[str, tuple]:
    """One bar for 5,000 symbols from numpy arrays, 50 bars in a loop, each
    stream opened on a 100-bar history per symbol: (statement, setup, namespace)."""
    import tarnwick_stream

    names = SERIES[function]
    args = ", ".join(names)
    cls, scalars = STREAM_TYPES[function]
    width = STREAM_WARMUP + STREAM_SYMBOL_BARS
    # each symbol a stretch of the same seeded walk, one row per symbol
    walk = make_data(STREAM_SYMBOLS * width)
    rows = {s: walk[s].reshape(STREAM_SYMBOLS, width) for s in names}
    masks = np.random.default_rng(20261208).random((STREAM_SYMBOL_BARS, STREAM_SYMBOLS))
    bars = [
        tuple(np.ascontiguousarray(rows[s][:, STREAM_WARMUP + b]) for s in names)
        for b in range(STREAM_SYMBOL_BARS)
    ]
    ns: dict = {
        "tws": tarnwick_stream,
        "np": np,
        "bars": bars,
        "bars_where": [(*bar, m < WHERE_SHARE) for bar, m in zip(bars, masks, strict=True)],
        "everywhere": np.ones(STREAM_SYMBOLS, dtype=bool),
    }
    for s in names:
        ns[f"history_{s}"] = np.ascontiguousarray(rows[s][:, :STREAM_WARMUP])
    history = ", ".join(f"history_{s}" for s in names)
    setup = f"s = tws.{cls}({scalars}, symbols={STREAM_SYMBOLS}); s.extend({history})"
    first = names[0]
    out = {
        "update": (f"for {args}, in bars: s.update({args})", setup),
        "update, where=": (
            f"for {args}, where in bars_where: s.update({args}, where=where)",
            setup,
        ),
        "update, where= all true": (
            f"for {args}, in bars: s.update({args}, where=everywhere)",
            setup,
        ),
        f"np.add({first}, {first})": (f"for {args}, in bars: np.add({first}, {first})", "pass"),
    }
    return {name: (stmt, setup, ns) for name, (stmt, setup) in out.items()}


def time_group(cands: dict, repeats: int, number=None, batch_s: float = 0.0) -> dict:
    """Samples of seconds per timed statement for each contender, interleaved;
    `number` statements per sample, or as many as fill `batch_s`."""
    timers, calls = {}, {}
    for name, (stmt, setup, ns) in cands.items():
        timer = timeit.Timer(stmt, setup, globals=ns)
        timer.timeit(1)  # warm-up
        once = timer.timeit(1)
        timers[name] = timer
        calls[name] = number or max(1, int(batch_s / max(once, 1e-9)))
    return interleaved(timers, calls, dict.fromkeys(timers, repeats))


def check_stream_results(data: dict) -> None:
    """The timed calls return what they should: a float per update, as many
    values as bars from extend, one value per symbol."""
    import tarnwick_stream

    for function in FUNCTIONS:
        cls, scalars = STREAM_TYPES[function]
        bar = [float(data[s][0]) for s in SERIES[function]]
        one = eval(f"tws.{cls}({scalars})", {"tws": tarnwick_stream})
        if type(one.update(*bar)) is not float:
            raise RuntimeError(f"{STREAM} {cls}.update did not return a float")
        history = [data[s][:STREAM_HISTORY].tolist() for s in SERIES[function]]
        out = eval(f"tws.{cls}({scalars})", {"tws": tarnwick_stream}).extend(*history)
        if type(out) is not list or len(out) != STREAM_HISTORY:
            raise RuntimeError(f"{STREAM} {cls}.extend did not return {STREAM_HISTORY} values")
        many = eval(f"tws.{cls}({scalars}, symbols=3)", {"tws": tarnwick_stream})
        values = many.update(*(np.full(3, v) for v in bar), where=np.array([True, False, True]))
        if values.shape != (3,) or not np.isnan(values[1]):
            raise RuntimeError(f"{STREAM} {cls}.update(where=) did not skip a symbol")


def run_stream(settings: Settings, peers, runs: int) -> dict:
    """Every stream figure, `runs` times over, in ns: per update, per extend,
    per symbol. results[part][function][name] = a list of sample lists, one per run."""
    update_floor = build_c_extension("update_floor.c", "_tarnwick_update_floor")
    data = make_data(STREAM_WARMUP + STREAM_CALLS)
    check_stream_results(data)
    groups = {
        "update": {f: update_contenders(f, data, update_floor, peers) for f in FUNCTIONS},
        "extend": {f: extend_contenders(f, data, peers) for f in FUNCTIONS},
        "symbols": {f: symbols_contenders(f, peers) for f in FUNCTIONS},
    }
    per = {"update": STREAM_CALLS, "extend": 1e3, "symbols": STREAM_SYMBOL_BARS * STREAM_SYMBOLS}
    results: dict = {part: {f: {} for f in FUNCTIONS} for part in groups}
    for run in range(runs):
        for part, by_function in groups.items():
            for function, cands in by_function.items():
                gc.collect()
                samples = time_group(
                    cands,
                    settings.stream_repeats,
                    number=None if part == "extend" else 1,
                    batch_s=settings.batch_s,
                )
                for name, values in samples.items():
                    ns_each = [v / per[part] * 1e9 for v in values]
                    results[part][function].setdefault(name, []).append(ns_each)
        ns_call = statistics.median(results["update"]["ADX"][STREAM][-1])
        print(f"  stream run {run + 1} of {runs}: ADX update {fmt_ns(ns_call)} ns", flush=True)
    return results


def summary(runs: list[list[float]]) -> tuple[float, float, float, float]:
    """The median of the runs' medians, the widest interquartile range within
    a run as a share of its median, and the lowest and highest run median."""
    medians = [statistics.median(r) for r in runs]
    iqr = max(
        (q[2] - q[0]) / statistics.median(r)
        for r in runs
        for q in [statistics.quantiles(r, n=4, method="inclusive")]
    )
    return statistics.median(medians), iqr, min(medians), max(medians)


def _figure(runs: list[list[float]], digits=fmt_ns) -> list[str]:
    med, iqr, lo, hi = summary(runs)
    return [digits(med), f"±{iqr * 50:.0f}%", f"{digits(lo)}-{digits(hi)}"]


def render_stream(stream: dict, settings: Settings, peers, conditions: dict) -> str:
    runs = conditions["runs"]
    talib = "TA-Lib" in peers
    lines = [
        "# Streams: a bar at a time",
        "",
        f"Taken {conditions['started']:%Y-%m-%d %H:%M} UTC by `{conditions['command']}` "
        f"in {conditions['elapsed']:.0f} s, {runs} run{'s' if runs > 1 else ''} of "
        f"{settings.stream_repeats} repeats each, every contender's repeats interleaved "
        "with the others'.",
        "",
        f"- CPU: {cpu_model()}, {os.cpu_count()} logical cores",
        f"- Python {platform.python_version()} ({platform.python_implementation()}), "
        f"tarnwick {version_of('tarnwick')}, numpy {np.__version__}"
        + (f", TA-Lib {version_of('ta-lib')}" if talib else ""),
    ]
    if conditions["load"] is not None:
        start, end = conditions["load"]
        lines.append(f"- load average (1 min) at start {start:.2f}, at end {end:.2f}")
    if conditions["note"]:
        lines += ["", f"**Conditions:** {conditions['note']}"]
    lines += [
        "",
        "How to read the tables: **median** is the median of the runs' medians; **IQR** is "
        "half the widest interquartile range of the repeats within one run, as a share of "
        "that run's median; **runs** is the lowest and the highest run median.",
        "",
        "## One update from Python floats",
        "",
        f"ns per call, in a loop of {STREAM_CALLS:,} calls over the bars of a seeded random "
        f"walk (`for high, low, close, in bars: s.update(high, low, close)`), each stream "
        f"first opened on the same {STREAM_WARMUP} bars. **floor method** is `update` of a "
        "minimal C type built for this run (benchmarks/floor/update_floor.c, limited API "
        "3.11, METH_FASTCALL): it reads the floats, adds them to a running sum and returns "
        "a new float. **floor function** is the same call as a module function, without the "
        "method lookup. **loop alone** is the loop with `pass` for a body; **net ÷ floor** "
        "takes it out of both sides.",
    ]
    if talib:
        lines += [
            "",
            "TA-Lib "
            + (
                f"{version_of('ta-lib')} has stream handles (`talib.stream.ADX(high, low, close, "
                "14)` opened on history, then `update(high, low, close)` per bar, the value of "
                "TA-Lib's own ADX and SAR); they are timed the same way."
                if talib_stream_handles(peers)
                else f"{version_of('ta-lib')}'s `talib.stream` has only functions over whole "
                "arrays, not handles with update(): it has no figure here."
            ),
        ]
    lines += [
        "",
        "| function | contender | ns/call | IQR | runs | ÷ floor method | net ÷ floor |",
        "|---|---|---:|---:|---:|---:|---:|",
    ]
    for function in FUNCTIONS:
        cells = stream["update"][function]
        floor = summary(cells[UPDATE_FLOOR])[0]
        loop = summary(cells[LOOP])[0]
        for name in (STREAM, "TA-Lib", UPDATE_FLOOR, UPDATE_FLOOR_FUNCTION, LOOP):
            if name not in cells:
                continue
            med = summary(cells[name])[0]
            ratios = ["", ""]
            if name != LOOP:
                ratios = [f"{med / floor:.2f}", f"{(med - loop) / (floor - loop):.2f}"]
            lines.append(
                f"| {function} | {name} | " + " | ".join(_figure(cells[name]) + ratios) + " |"
            )
    lines += [
        "",
        f"## extend over {STREAM_HISTORY:,} bars",
        "",
        "µs per call: a fresh stream (`Adx(14).extend(high, low, close)`) against the "
        "whole-series function on the same history, lists and arrays in (the one-series "
        "stream returns a list either way; with symbols=1, one row in and a 2-D array out, "
        "against tarnwick_arrays' ndarray)"
        + (", and TA-Lib's `open_and_fill` against its own function" if talib else "")
        + ". **÷ batch** is the stream's median over the whole-series function's.",
        "",
        "| function | call | µs/call | IQR | runs | ÷ batch |",
        "|---|---|---:|---:|---:|---:|",
    ]
    for function in FUNCTIONS:
        cells = stream["extend"][function]
        ratio_of = {}
        for a, b in EXTEND_PAIRS:
            b = b.format(BATCH_NAMES[function] if b.startswith("tarnwick") else function)
            if a in cells and b in cells:
                ratio_of[a] = f"{summary(cells[a])[0] / summary(cells[b])[0]:.2f}"
        for name, runs_ in cells.items():
            row = [*_figure(runs_, lambda x: f"{x:,.1f}"), ratio_of.get(name, "")]
            lines.append(f"| {function} | {name} | " + " | ".join(row) + " |")
    lines += [
        "",
        f"## update of {STREAM_SYMBOLS:,} symbols",
        "",
        f"ns per symbol: one bar of {STREAM_SYMBOLS:,} symbols as float64 arrays "
        f"(`s = Adx(14, symbols={STREAM_SYMBOLS})`, `s.update(high, low, close)`), in a "
        f"loop of {STREAM_SYMBOL_BARS} bars, each stream first extended over "
        f"{STREAM_WARMUP} bars per symbol. **where=** gives a boolean array with "
        f"{WHERE_SHARE:.0%} of the symbols true, drawn at random for each bar, or all of them "
        "true. **np.add** is one numpy ufunc over one of "
        "the input arrays into a new array, for scale.",
        "",
        "| function | call | ns/symbol | IQR | runs |",
        "|---|---|---:|---:|---:|",
    ]
    for function in FUNCTIONS:
        for name, runs_ in stream["symbols"][function].items():
            row = _figure(runs_, lambda x: f"{x:.2f}")
            lines.append(f"| {function} | `{name}` | " + " | ".join(row) + " |")
    return "\n".join([*lines, ""])


def splice_stream(path: Path, section: str) -> str:
    """The report at `path` with its stream section replaced by `section`
    (added at the end when it has none)."""
    old = path.read_text(encoding="utf-8") if path.exists() else ""
    head = old.split("\n# Streams: a bar at a time\n", 1)[0].rstrip("\n")
    return (head + "\n\n" if head else "") + section
