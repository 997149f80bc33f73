"""What every table of benchmarks/run.py shares: the series, parameters and
contenders' names, the floor extension, the data, the timing loops and the
run's conditions.
"""

from __future__ import annotations

import atexit
import contextlib
import importlib
import importlib.metadata
import os
import platform
import shlex
import shutil
import statistics
import sys
import tempfile
import timeit
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[2]
BENCHMARKS = ROOT / "benchmarks"
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


def build_floor():
    """Compile the floor extension into a temporary folder and import it."""
    return build_c_extension("floor.c", "_tarnwick_floor").floor


def build_c_extension(source_name: str, module_name: str):
    """Compile benchmarks/floor/<source_name> as an abi3 extension under
    tarnwick's rules into a temporary folder, and import it."""
    from setuptools import Distribution, Extension

    source = BENCHMARKS / "floor" / source_name
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


def make_data(n_max: int) -> dict[str, np.ndarray]:
    """A random-walk price path with bars around it, and daily-like returns."""
    rng = np.random.default_rng(20261207)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, n_max)))
    spread = close * np.abs(rng.normal(0.0, 0.005, n_max))
    high = close + spread * rng.uniform(0.2, 1.0, n_max)
    low = close - spread * rng.uniform(0.2, 1.0, n_max)
    returns = rng.standard_t(5, n_max) * 0.01
    return {"high": high, "low": low, "close": close, "returns": returns}


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


PEER_DISTS = {
    "TA-Lib": "ta-lib",
    "tulipy": "tulipy",
    "ta": "ta",
    "talipp": "talipp",
    "arch": "arch",
}
