"""GARCH(1,1) estimation against arch, and the likelihood against the
variance recursion, in the same run.

    python benchmarks/garch_fit.py [--runs 3] [--series 20] [--arch-panel 100]
                                   [--peer SITE_PACKAGES] [--per-series]

Prints, for each figure, the median over the runs and their range; every
timed call gets returns it has not seen before (simulated GARCH(1,1),
omega 2e-6, alpha 0.08, beta 0.9, daily-sized).

- one series of 2,520 returns: tarnwick_arrays.garch11_fit against
  arch_model(100 * r, mean="Zero", vol="GARCH", p=1, q=1).fit(disp="off"),
  per fit: arch on returns in percent, as its users are told to give them
  (on the raw returns it warns of their scale and may stop at its starting
  values, which takes less time and fits nothing);
- a panel of 500 x 2,520: one garch11_fit call against a loop of arch fits
  (arch timed on --arch-panel of the rows, per fit, times 500);
- garch11_loglik over 5,000 x 2,520 against garch11_variance over the same;
- how far the estimates are from arch's on the bundled daily returns.

With --per-series it prints instead garch11_variance over 500 x 2,520 and
5,000 x 252, one series per row and side by side (axis=0), in ns per bar and
series (the calling thread's CPU time): with one omega, alpha, beta for
every series, and with one of each and a seed per series, as a panel's fit
feeds them back
(garch11_variance(panel, fits.omega, fits.alpha, fits.beta, seed=fits.seed)).

Everything runs on one thread. arch is a peer installed for comparison only
(pip install 'tarnwick[bench]'), or kept in a virtual environment of its own:
--peer names that environment's site-packages, searched after this one's.
The load average at the start and the end is printed with the figures.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time
import warnings
from pathlib import Path

import numpy as np

import tarnwick_arrays as ta

ROOT = Path(__file__).resolve().parent.parent
RNG = np.random.default_rng(2026)


def simulate(series: int, n: int, omega=2e-6, alpha=0.08, beta=0.9) -> np.ndarray:
    """GARCH(1,1) returns, one series per row, after a burn-in of 500."""
    burn = 500
    z = RNG.standard_normal((series, n + burn))
    s = np.full(series, omega / (1 - alpha - beta))
    out = np.empty((series, n + burn))
    for t in range(n + burn):
        out[:, t] = np.sqrt(s) * z[:, t]
        s = omega + alpha * out[:, t] ** 2 + beta * s
    return np.ascontiguousarray(out[:, burn:])


def arch_fit(r: np.ndarray):
    from arch import arch_model

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # DataScaleWarning: the scale is the point
        return arch_model(r, mean="Zero", vol="GARCH", p=1, q=1).fit(disp="off")


def per_call(function, inputs) -> float:
    start = time.perf_counter()
    for x in inputs:
        function(x)
    return (time.perf_counter() - start) / len(inputs)


def summary(values: list[float], unit: str, scale: float = 1.0) -> str:
    v = [x * scale for x in values]
    return f"{statistics.median(v):10.3f} {unit} (range {min(v):.3f} to {max(v):.3f})"


def speed(runs: int, series: int, arch_rows: int) -> None:
    one_arch, one_ours, panel_arch, panel_ours, loglik, variance = [], [], [], [], [], []
    for _ in range(runs):
        fresh = simulate(2 * series, 2520)
        one_arch.append(per_call(arch_fit, 100 * fresh[:series]))
        one_ours.append(per_call(ta.garch11_fit, fresh[series:]))
        panel = simulate(500 + arch_rows, 2520)
        start = time.perf_counter()
        ta.garch11_fit(panel[:500])
        panel_ours.append(time.perf_counter() - start)
        panel_arch.append(per_call(arch_fit, 100 * panel[500:]) * 500)
        big = RNG.standard_normal((2, 5000, 2520)) * 0.01
        start = time.perf_counter()
        ta.garch11_loglik(big[0], 2e-6, 0.08, 0.9)
        loglik.append(time.perf_counter() - start)
        start = time.perf_counter()
        ta.garch11_variance(big[1], 2e-6, 0.08, 0.9)
        variance.append(time.perf_counter() - start)
    ratio = [a / o for a, o in zip(one_arch, one_ours, strict=True)]
    print(f"one series of 2,520, per fit ({runs} runs of {series} fits each):")
    print(f"  arch            {summary(one_arch, 'ms', 1e3)}")
    print(f"  garch11_fit     {summary(one_ours, 'ms', 1e3)}")
    print(f"  arch / ours     {summary(ratio, '×')}")
    ratio = [a / o for a, o in zip(panel_arch, panel_ours, strict=True)]
    print(f"500 x 2,520 (arch: {arch_rows} fits per run, times 500/{arch_rows}):")
    print(f"  arch loop       {summary(panel_arch, 's')}")
    print(f"  garch11_fit     {summary(panel_ours, 's')}")
    print(f"  arch / ours     {summary(ratio, '×')}")
    ratio = [a / b for a, b in zip(loglik, variance, strict=True)]
    print("5,000 x 2,520:")
    print(f"  garch11_loglik   {summary(loglik, 'ms', 1e3)}")
    print(f"  garch11_variance {summary(variance, 'ms', 1e3)}")
    print(f"  loglik / variance {summary(ratio, '×')}")


def fitted_numbers(series: int) -> tuple:
    """Numbers such as a panel's fit gives, different for every series."""
    omega = RNG.uniform(1e-6, 4e-6, series)
    alpha = RNG.uniform(0.03, 0.12, series)
    beta = RNG.uniform(0.8, 0.95, series) - alpha
    return omega, alpha, beta, RNG.uniform(1e-5, 4e-4, series)


def variance_per_series(runs: int, calls: int = 5) -> None:
    """garch11_variance with scalars against numbers one per series; each
    timed call on returns of its own, into a kept `out`, on the calling
    thread's CPU clock (the call runs in it; wall time swings with the
    machine's other work)."""
    samples: dict = {}
    for _ in range(runs):
        for series, bars in ((500, 2520), (5000, 252)):
            for layout in ("rows", "axis=0"):
                by_column = layout == "axis=0"
                shape = (bars, series) if by_column else (series, bars)
                axis = {"axis": 0} if by_column else {}
                out = np.empty(shape)
                for numbers in ("scalars", "per series"):
                    times = []
                    for _ in range(calls):
                        returns = RNG.standard_normal(shape) * 0.01
                        if numbers == "scalars":
                            given, seed = (2e-6, 0.08, 0.9), 1e-4
                        else:
                            *given, seed = fitted_numbers(series)
                        start = time.thread_time_ns()
                        ta.garch11_variance(returns, *given, seed=seed, out=out, **axis)
                        times.append(time.thread_time_ns() - start)
                    key = (series, bars, layout, numbers)
                    samples.setdefault(key, []).append(statistics.median(times) / (series * bars))
    print(
        f"garch11_variance on {ta._lanes!r} lanes, ns per bar and series, median (range) over "
        f"{runs} runs, each the median of {calls} calls on fresh returns:"
    )
    for (series, bars, layout, numbers), values in samples.items():
        print(f"  {series:5,} x {bars:5,} {layout:6} {numbers:10} {summary(values, 'ns')}")


def against_arch() -> None:
    """Estimates on the bundled returns. arch starts its variance from a
    backcast (an exponentially weighted mean of the first squared returns),
    garch11_fit from the plain mean of all of them, so the two maximise
    slightly different likelihoods; `ours at arch's` is garch11_loglik at
    arch's estimates, which separates the seed from the optimiser. arch runs
    on the raw returns (as a user would, which it warns about) and on 100x
    them (its advice), its omega and loglik brought back to the raw scale."""
    print("bundled daily log returns (not demeaned): ours / arch on raw / arch on 100x;")
    print("loglik per return: ours - arch, ours - ours at arch's estimates (raw, 100x)")
    for path in sorted((ROOT / "examples" / "data").glob("*.csv")):
        close = np.loadtxt(path, delimiter=",", skiprows=1, usecols=4)
        r = np.diff(np.log(close))
        n = len(r)
        ours = ta.garch11_fit(r)
        row = [f"  {path.stem:5}"]
        for name, value in (("omega", ours.omega), ("alpha", ours.alpha), ("beta", ours.beta)):
            row.append(f"{name} {value:.3g}")
        gaps = []
        for scale in (1.0, 100.0):
            theirs = arch_fit(r * scale)
            w, a, b = (float(theirs.params[k]) for k in ("omega", "alpha[1]", "beta[1]"))
            w = w / scale**2
            theirs_loglik = theirs.loglikelihood + n * np.log(scale)
            row[1] += f" / {w:.3g}"
            row[2] += f" / {a:.4f}"
            row[3] += f" / {b:.4f}"
            at_theirs = ta.garch11_loglik(r, w, a, b)
            gaps.append(
                f"{(ours.loglik - theirs_loglik) / n:+.1e} {(ours.loglik - at_theirs) / n:+.1e}"
            )
        print("  ".join(row) + "  loglik " + ", ".join(gaps))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--series", type=int, default=20)
    parser.add_argument("--arch-panel", type=int, default=100)
    parser.add_argument("--peer", help="site-packages of an environment holding arch")
    parser.add_argument(
        "--per-series",
        action="store_true",
        help="garch11_variance with numbers one per series against scalars, alone",
    )
    args = parser.parse_args()
    if args.peer:
        sys.path.append(args.peer)
    print("load average at start: {:.2f} {:.2f} {:.2f}".format(*os.getloadavg()))
    if args.per_series:
        variance_per_series(args.runs)
    else:
        against_arch()
        speed(args.runs, args.series, args.arch_panel)
    print("load average at end: {:.2f} {:.2f} {:.2f}".format(*os.getloadavg()))


if __name__ == "__main__":
    main()
