"""Time tarnwick against the floor of any list-in, list-out indicator and against
peer libraries, on the same data in the same run.

    python benchmarks/run.py [--quick] [--note TEXT]
    python benchmarks/run.py --stream-only [--stream-runs N] [--quick]
    python benchmarks/run.py --frames [--quick]

Prints the tables and writes docs/benchmarks.md and docs/benchmarks.png;
--stream-only prints only the tarnwick_stream tables, and replaces them in a
report only when one is named with --out (the tracked report stays as it is).
With --frames, prints only the table of ADX over pandas, polars and Arrow
inputs (tarnwick_frames) against float64 arrays and TA-Lib's own wrappers.
Uses whatever tarnwick is installed in the running interpreter.
"""

from __future__ import annotations

import argparse
import array
import atexit
import contextlib
import datetime
import gc
import importlib
import importlib.metadata
import os
import platform
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
from pathlib import Path

import numpy as np

import tarnwick

ROOT = Path(__file__).resolve().parent.parent
SIZES = (10, 1_000, 100_000, 1_000_000)
KINDS = ("list", "numpy")
ADX_PERIOD = 14
AF_STEP, AF_MAX = 0.02, 0.2
OMEGA, ALPHA, BETA = 1e-6, 0.1, 0.85
TARNWICK, FLOOR, ARRAY = "tarnwick", "floor", "array.array"
FUNCTIONS = ("ADX", "SAR", "GARCH")
SERIES = {"ADX": ("high", "low", "close"), "SAR": ("high", "low"), "GARCH": ("returns",)}

# Peers compute their own variant of each indicator; the table compares the
# cost of a call at equal n, not the values.
PEER_NOTES = {
    "TA-Lib": "ADX seeds its smoothing with sums and leaves a 2*period-1 warm-up of NaN; "
    "SAR as TA-Lib defines it.",
    "tulipy": "returns only the bars after its warm-up (shorter output); "
    "its ADX refuses n < 2*period, so it has no figure at n = 10.",
    "ta": "pandas based: each input wrapped in pandas.Series, output Series.tolist(); "
    "its PSAR also needs a close series, which it is given; its ADX fails on n < 2*period.",
    "talipp": "pure Python: one OHLCV object built per bar as its API asks, "
    "output values (None in warm-up) gathered into a list.",
    "arch": "GARCH volatility process on fixed (omega, alpha, beta): backcast, "
    "variance_bounds, then compute_variance into a new array; its recursion uses "
    "r[t-1] and clamps to the bounds. No model fit.",
}
# The short form under each table: where a peer's result differs from tarnwick's.
VARIANTS = {
    "ADX": "TA-Lib seeds with sums and has a 2*period-1 warm-up; tulipy returns only "
    "the bars after its warm-up; ta and talipp have their own warm-ups",
    "SAR": "each peer starts and reverses the trend by its own rules; tulipy drops the "
    "first bar; ta is also given the close series",
    "GARCH": "arch's recursion uses r[t-1] and clamps to its bounds, after its own "
    "backcast and bounds",
}


# ---------------------------------------------------------------- the floor


def build_floor():
    """Compile the floor extension into a temporary folder and import it."""
    return build_c_extension("floor.c", "_tarnwick_floor").floor


def build_c_extension(source_name: str, module_name: str):
    """Compile benchmarks/floor/<source_name> as an abi3 extension under
    tarnwick's rules into a temporary folder, and import it."""
    from setuptools import Distribution, Extension

    source = Path(__file__).resolve().parent / "floor" / source_name
    build = Path(tempfile.mkdtemp(prefix="tarnwick-floor-"))
    atexit.register(shutil.rmtree, build, True)
    ext = Extension(
        module_name,
        [str(source)],
        define_macros=[("Py_LIMITED_API", "0x030B0000")],
        py_limited_api=True,
        extra_compile_args=["-O3"] if os.name != "nt" else ["/O2"],
    )
    dist = Distribution({"name": "tarnwick-floor", "ext_modules": [ext]})
    cmd = dist.get_command_obj("build_ext")
    cmd.build_lib = str(build)
    cmd.build_temp = str(build / "tmp")
    cmd.ensure_finalized()
    devnull = os.open(os.devnull, os.O_WRONLY)
    saved = os.dup(1)
    try:  # keep the compiler's chatter out of the table
        sys.stdout.flush()
        os.dup2(devnull, 1)
        cmd.run()
    finally:
        sys.stdout.flush()
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)
    path = cmd.get_ext_fullpath(module_name)
    sys.path.insert(0, str(Path(path).parent))
    try:
        return importlib.import_module(module_name)
    finally:
        sys.path.pop(0)


# ---------------------------------------------------------------- the data


def make_data(n_max: int) -> dict[str, np.ndarray]:
    """A random-walk price path with bars around it, and daily-like returns."""
    rng = np.random.default_rng(20261207)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, n_max)))
    spread = close * np.abs(rng.normal(0.0, 0.005, n_max))
    high = close + spread * rng.uniform(0.2, 1.0, n_max)
    low = close - spread * rng.uniform(0.2, 1.0, n_max)
    returns = rng.standard_t(5, n_max) * 0.01
    return {"high": high, "low": low, "close": close, "returns": returns}


# ---------------------------------------------------------------- contenders


def available_peers() -> dict[str, object]:
    peers = {}
    for name, module in (
        ("TA-Lib", "talib"),
        ("tulipy", "tulipy"),
        ("arch", "arch"),
        ("ta", "ta"),
        ("talipp", "talipp"),
    ):
        # A peer that does not import is just absent.
        with contextlib.suppress(Exception):
            peers[name] = __import__(module)
    return peers


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


# ---------------------------------------------------------------- timing


class Settings:
    def __init__(self, quick: bool):
        self.quick = quick
        self.repeats = 5 if quick else 21
        self.repeats_large = 3 if quick else 7  # n = 1,000,000
        self.batch_s = 0.005 if quick else 0.02  # one timed batch of calls
        self.cell_s = 1.0 if quick else 3.0  # most a slow peer may spend on one cell
        self.max_call_s = 1.0 if quick else 3.0  # a peer projected slower is skipped
        self.stream_repeats = 5 if quick else 21  # samples per stream figure and run


def run_cell(cands: dict, n: int, settings: Settings, projected: dict) -> dict:
    """Median seconds per call for each contender, repeats interleaved."""
    timers, calls, repeats, result = {}, {}, {}, {}
    base = settings.repeats_large if n >= 1_000_000 else settings.repeats
    for name, (stmt, ns) in cands.items():
        guess = projected.get(name)
        if guess is not None and guess * n > settings.max_call_s:
            result[name] = ("skipped", guess * n)
            continue
        timer = timeit.Timer(stmt, globals=ns)
        if name in (TARNWICK, FLOOR, ARRAY):
            out = eval(stmt, ns)
            if type(out) is not list or len(out) != n or type(out[-1]) is not float:
                raise RuntimeError(f"{name} did not return a list of {n} floats")
            del out
        try:
            timer.timeit(1)  # warm-up; also tells whether the peer takes this n
            once = timer.timeit(1)
        except Exception as exc:  # a peer refusing an n is a result
            if name in (TARNWICK, FLOOR, ARRAY):
                raise
            result[name] = ("error", f"{type(exc).__name__}: {exc}".strip(": "))
            continue
        timers[name] = timer
        calls[name] = max(1, int(settings.batch_s / max(once, 1e-9)))
        repeats[name] = max(min(base, 3), min(base, int(settings.cell_s / max(once, 1e-9))))
    for name, values in interleaved(timers, calls, repeats).items():
        result[name] = ("ok", statistics.median(values))
    return result


def interleaved(timers: dict, calls: dict, repeats: dict) -> dict[str, list[float]]:
    """Seconds per call of each timer, one sample per repeat, the contenders
    taking turns so that all of them see the same load."""
    samples: dict[str, list[float]] = {name: [] for name in timers}
    order = list(timers)
    for r in range(max(repeats.values(), default=0)):
        shift = r % max(len(order), 1)
        for name in order[shift:] + order[:shift]:  # rotate who goes first
            if r < repeats[name]:
                samples[name].append(timers[name].timeit(calls[name]) / calls[name])
    return samples


def single_call_ns(cands: dict, settings: Settings, name: str = TARNWICK) -> float:
    """Median ns of one call of a contender (tarnwick's by default), timed in loops of calls."""
    stmt, ns = cands[name]
    timer = timeit.Timer(stmt, globals=ns)
    number = 2_000 if settings.quick else 20_000
    timer.timeit(number)
    return statistics.median(timer.timeit(number) / number for _ in range(7)) * 1e9


# ---------------------------------------------------------------- report


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as fh:
            for line in fh:
                if line.lower().startswith(("model name", "hardware", "cpu model")):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def version_of(dist: str) -> str:
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return "not installed"


def fmt_ns(x: float) -> str:
    return f"{x:,.1f}" if x < 100 else f"{x:,.0f}"


def margin(ratio: float) -> str:
    return f"{ratio:.2f}×" if ratio < 100 else f"{ratio:,.0f}×"


def mark(ok: bool) -> str:
    return "met" if ok else "**missed**"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer repeats, shorter batches")
    parser.add_argument("--note", default="", help="conditions of this run, written to the report")
    parser.add_argument(
        "--out",
        default=None,
        help="markdown report to write ('' to write none; default: docs/benchmarks.md,"
        " or none with --stream-only)",
    )
    parser.add_argument(
        "--sizes", default=",".join(map(str, SIZES)), help="comma-separated n values"
    )
    parser.add_argument(
        "--no-arrays",
        dest="arrays",
        action="store_false",
        help="leave out the tarnwick_arrays tables",
    )
    parser.add_argument(
        "--no-stream",
        dest="stream",
        action="store_false",
        help="leave out the tarnwick_stream tables",
    )
    parser.add_argument(
        "--stream-only",
        action="store_true",
        help="run only the tarnwick_stream tables and replace them in the report",
    )
    parser.add_argument(
        "--stream-runs",
        type=int,
        default=1,
        help="times the stream tables are measured over, for the spread between runs",
    )
    parser.add_argument(
        "--frames", action="store_true", help="only the table of pandas, polars and Arrow inputs"
    )
    args = parser.parse_args()
    if args.stream_only:
        return stream_only(args)
    if args.out is None:
        args.out = str(ROOT / "docs" / "benchmarks.md")
    settings = Settings(args.quick)
    if args.frames:
        print(render_frames(run_frames(settings)))
        return 0
    sizes = tuple(int(s) for s in args.sizes.split(","))

    started = datetime.datetime.now(datetime.UTC)
    load_start = os.getloadavg() if hasattr(os, "getloadavg") else None
    t_start = time.perf_counter()
    floor = build_floor()
    peers = available_peers()
    data = make_data(max(sizes))
    print(f"CPU: {cpu_model()} ({os.cpu_count()} logical cores)")
    print(
        f"Python {platform.python_version()} ({platform.python_implementation()}), "
        f"tarnwick {version_of('tarnwick')}, numpy {np.__version__}"
    )
    print(
        "peers: " + ", ".join(f"{p} {version_of(d)}" for p, d in PEER_DISTS.items() if p in peers)
    )
    missing = [p for p in PEER_DISTS if p not in peers]
    if missing:
        print("peers not installed: " + ", ".join(missing))

    # results[function][kind][n][library] = ("ok", s/call) | ("skipped", s) | ("error", text)
    results: dict = {f: {k: {} for k in KINDS} for f in FUNCTIONS}
    single: dict = {f: {} for f in FUNCTIONS}
    gc.collect()
    for function in FUNCTIONS:
        for kind in KINDS:
            projected: dict = {}
            for n in sizes:
                inputs = {}
                for s in SERIES[function] + (("close",) if function == "SAR" else ()):
                    a = np.ascontiguousarray(data[s][:n])
                    inputs[s] = a.tolist() if kind == "list" else a
                cands = contenders(function, kind, inputs, floor, peers)
                cell = run_cell(cands, n, settings, projected)
                results[function][kind][n] = cell
                for name, (status, value) in cell.items():
                    if status == "ok":
                        projected[name] = value / n
                if n == 10:
                    single[function][kind] = single_call_ns(cands, settings)
                print(
                    f"  {function:5} {kind:5} n={n:>9,}  tarnwick "
                    f"{fmt_ns(cell[TARNWICK][1] / n * 1e9)} ns/bar",
                    flush=True,
                )
                del cands, inputs
                gc.collect()

    arrays = run_arrays(data, sizes, peers, settings) if args.arrays else None
    stream = run_stream(settings, peers, args.stream_runs) if args.stream else None
    elapsed = time.perf_counter() - t_start
    load_end = os.getloadavg() if hasattr(os, "getloadavg") else None
    report = render(
        results, single, sizes, peers, settings, args, started, elapsed, load_start, load_end
    )
    if arrays is not None:
        report += "\n" + render_arrays(arrays, sizes, peers)
    if stream is not None:
        conditions = {
            "started": started,
            "elapsed": elapsed,
            "runs": args.stream_runs,
            "command": command_line(),
            "load": (load_start[0], load_end[0]) if load_start else None,
            "note": "",  # the report's own conditions, above
        }
        report += "\n" + render_stream(stream, settings, peers, conditions)
    out = Path(args.out) if args.out else None
    report = report.replace("CHART", out.with_suffix(".png").name if out else "")
    print()
    print(report)
    if out:
        out.parent.mkdir(parents=True, exist_ok=True)
        chart = out.with_suffix(".png")
        plot(results, sizes, chart)
        out.write_text(report, encoding="utf-8")
        print(f"wrote {out.name} and {chart.name} in {out.parent}")
    return 0


def command_line() -> str:
    """This run's command, quoted for a shell; a --note's text is the report's
    Conditions line and is not repeated here."""
    words, rest = [], iter(sys.argv[1:])
    for word in rest:
        if word == "--note":
            words.append("--note ...")
            next(rest, None)
        elif not word.startswith("--note="):
            words.append(shlex.quote(word))
    return " ".join(["python benchmarks/run.py", *words])


def stream_only(args) -> int:
    """The stream tables alone, replacing those of the report already written."""
    settings = Settings(args.quick)
    started = datetime.datetime.now(datetime.UTC)
    load_start = os.getloadavg() if hasattr(os, "getloadavg") else None
    t_start = time.perf_counter()
    peers = available_peers()
    print(f"CPU: {cpu_model()} ({os.cpu_count()} logical cores)")
    print(f"Python {platform.python_version()}, tarnwick {version_of('tarnwick')}")
    stream = run_stream(settings, peers, args.stream_runs)
    load_end = os.getloadavg() if load_start else None
    conditions = {
        "started": started,
        "elapsed": time.perf_counter() - t_start,
        "runs": args.stream_runs,
        "command": command_line(),
        "load": (load_start[0], load_end[0]) if load_start else None,
        "note": args.note,
    }
    section = render_stream(stream, settings, peers, conditions)
    print()
    print(section)
    if args.out:
        out = Path(args.out)
        out.parent.mkdir(parents=True, exist_ok=True)
        out.write_text(splice_stream(out, section), encoding="utf-8")
        print(f"wrote the stream tables into {out.name} in {out.parent}")
    return 0


PEER_DISTS = {
    "TA-Lib": "ta-lib",
    "tulipy": "tulipy",
    "ta": "ta",
    "talipp": "talipp",
    "arch": "arch",
}
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


# ---------------------------------------------------------------- arrays
# tarnwick_arrays for numpy users: float64 arrays in, a float64 ndarray out,
# against the peers' array calls and the kernels alone on C arrays.

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
    here = Path(__file__).resolve().parent
    build = Path(tempfile.mkdtemp(prefix="tarnwick-kernels-"))
    atexit.register(shutil.rmtree, build, True)
    sources = [here / "floor" / "kernels.cpp", *sorted((ROOT / "indicators").glob("*.cpp"))]
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


# ---------------------------------------------------------------- streams
# tarnwick_stream a bar at a time: one update from Python floats against
# TA-Lib's stream handles and a floor method, a history through extend against
# the whole-series functions, and one bar of many symbols from numpy arrays.

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


# ---------------------------------------------------------------- frames

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


if __name__ == "__main__":
    sys.exit(main())
