"""GARCH(1,1) estimation: the module's logarithm, the likelihood's operation
order, the fit's maximum against scipy's best, and panels row by row."""

import math
import os
import re
import warnings
from decimal import Decimal, getcontext
from pathlib import Path

import numpy as np
import pytest
from test_lanes import PATHS, cases_on_path
from test_lanes import available as lanes_available

import models
import tarnwick_arrays as ta
import tarnwick_stream as ts
from support import run_fresh

LONG_RUN = os.environ.get("TARNWICK_LONG_RUN") == "1"
DATA = Path(__file__).resolve().parent.parent / "examples" / "data"


def bits(x):
    return np.float64(x).view(np.uint64).item()


# ---- the logarithm: within 1 ulp of a 60-digit reference over the whole range


def _log_cases(count):
    rng = np.random.default_rng(7)
    normal = rng.integers(0x0010000000000000, 0x7FF0000000000000, count, dtype=np.uint64)
    subnormal = rng.integers(1, 0x0010000000000000, count // 4, dtype=np.uint64)
    near_one = np.float64(1.0) + rng.uniform(-0.3, 0.42, count // 4)
    edges = [
        5e-324,
        2.2250738585072014e-308,
        1.7976931348623157e308,
        math.sqrt(2) / 2,
        math.sqrt(2),
        1 - 2**-53,
        1 + 2**-52,
        2.0,
        0.5,
        math.e,
    ]
    return [
        *normal.view(np.float64).tolist(),
        *subnormal.view(np.float64).tolist(),
        *near_one.tolist(),
        *edges,
    ]


def test_log_is_within_one_ulp_of_the_true_logarithm():
    getcontext().prec = 60
    worst = 0.0
    for x in _log_cases(100_000 if LONG_RUN else 4_000):
        got = ta._exact_log(x)
        true = Decimal(x).ln()
        ulp = Decimal(math.ulp(float(true)))
        worst = max(worst, abs(float((Decimal(got) - true) / ulp)))
    assert worst < 1.0


@pytest.mark.parametrize(
    ("x", "expected"),
    [
        (0.0, -math.inf),
        (-0.0, -math.inf),
        (math.inf, math.inf),
        (1.0, 0.0),
        (-1.0, math.nan),
        (-math.inf, math.nan),
        (math.nan, math.nan),
    ],
)
def test_log_special_values(x, expected):
    got = ta._exact_log(x)
    assert (math.isnan(got) and math.isnan(expected)) or bits(got) == bits(expected)


# ---- the likelihood: the documented order, bit for bit


def model_loglik(r, omega, alpha, beta, seed=None):
    r = [float(v) for v in r]
    s = sum(v * v for v in r) / len(r) if seed is None else seed
    return models.garch11_loglik(r, omega, alpha, beta, s if math.isfinite(s) and s > 0 else 1e-8)


def returns(shape, seed=3, scale=0.01):
    return np.random.default_rng(seed).standard_normal(shape) * scale


@pytest.mark.parametrize("seed", [None, 2e-4, -1.0])
def test_loglik_follows_the_documented_order(seed):
    r = returns(300)
    got = ta.garch11_loglik(r, 1e-5, 0.08, 0.9, seed=seed)
    assert bits(got) == bits(model_loglik(r, 1e-5, 0.08, 0.9, seed))


def test_loglik_panel_rows_axis_and_omit():
    panel = returns((4, 200))
    omega, alpha = np.array([1e-5, 2e-5, 1e-6, 3e-5]), np.array([0.05, 0.1, 0.0, 0.2])
    rows = ta.garch11_loglik(panel, omega, alpha, 0.7)
    assert rows.tolist() == [
        model_loglik(p, o, a, 0.7) for p, o, a in zip(panel, omega, alpha, strict=True)
    ]
    assert ta.garch11_loglik(panel.T, omega, alpha, 0.7, axis=0).tolist() == rows.tolist()
    holed = panel.copy()
    holed[1, [0, 50, 199]] = np.nan
    omitted = ta.garch11_loglik(holed, omega, alpha, 0.7, nan_policy="omit")
    present = holed[1][~np.isnan(holed[1])]
    assert omitted[1] == model_loglik(present, 2e-5, 0.1, 0.7)
    assert np.isnan(ta.garch11_loglik(holed, omega, alpha, 0.7)[1])
    with pytest.raises(ValueError, match="'omega' has shape \\(3,\\), but there are 4 series"):
        ta.garch11_loglik(panel, omega[:3], 0.1, 0.7)


# ---- the fit


def simulate(n, omega, alpha, beta, rng):
    z = rng.standard_normal(n + 500)
    s, out = omega / (1 - alpha - beta), np.empty(n + 500)
    for t in range(n + 500):
        out[t] = math.sqrt(s) * z[t]
        s = omega + alpha * out[t] ** 2 + beta * s
    return out[500:]


def scipy_best(r):
    """The best of several scipy.optimize methods and starts on the same
    likelihood in numpy (the recursion as a linear filter)."""
    pytest.importorskip("scipy")
    from scipy.optimize import minimize
    from scipy.signal import lfilter

    seed = float(np.mean(r * r))

    def nll(x):
        omega, alpha, beta = x[0] * seed, x[1], x[2]
        if x[0] <= 0 or alpha < 0 or beta < 0 or alpha + beta >= 1:
            return 1e300
        s = np.empty(len(r))
        s[0] = seed
        s[1:] = lfilter([1.0], [1.0, -beta], alpha * r[:-1] ** 2 + omega, zi=[beta * seed])[0]
        return 0.5 * np.sum(math.log(2 * math.pi) + np.log(s) + r * r / s)

    best = -math.inf
    box = [(1e-12, 10), (0, 1), (0, 1)]
    for start in [(0.05, 0.05, 0.9), (0.01, 0.1, 0.89), (1e-4, 0.0, 0.998), (0.5, 0.2, 0.3)]:
        for method, extra in [
            ("Nelder-Mead", {}),
            ("L-BFGS-B", {"bounds": box}),
            (
                "SLSQP",
                {
                    "bounds": box,
                    "constraints": [{"type": "ineq", "fun": lambda x: 1 - 1e-9 - x[1] - x[2]}],
                },
            ),
        ]:
            best = max(best, -minimize(nll, start, method=method, **extra).fun)
    return best


def bundled_returns():
    out = {}
    for path in sorted(DATA.glob("*.csv")):
        close = np.loadtxt(path, delimiter=",", skiprows=1, usecols=4)
        out[path.stem] = np.diff(np.log(close))
    return out


@pytest.mark.parametrize(("name", "r"), bundled_returns().items())
def test_fit_of_real_returns_is_no_lower_than_scipy(name, r):
    fit = ta.garch11_fit(r)
    assert fit.converged
    assert fit.loglik >= scipy_best(r) - 1e-6


def test_fit_finds_the_boundary_maximum_over_the_interior_one():
    # GOOG has an interior local maximum about 1.1 below its best, at alpha = 0.
    fit = ta.garch11_fit(bundled_returns()["GOOG"])
    assert fit.alpha == 0.0 and 0.998 < fit.beta < 0.9995 and fit.omega < 1e-12


def test_fit_recovers_simulated_parameters_and_beats_scipy():
    truth = (2e-6, 0.08, 0.9)
    rng = np.random.default_rng(11)
    count = 1_000 if LONG_RUN else 20
    panel = np.array([simulate(2520, *truth, rng) for _ in range(count)])
    fits = ta.garch11_fit(panel)
    assert fits.converged.all()
    for row in panel[: 100 if LONG_RUN else 5]:
        assert ta.garch11_fit(row).loglik >= scipy_best(row) - 1e-6
    for estimates, true in zip((fits.omega, fits.alpha, fits.beta), truth, strict=True):
        # Maximum likelihood is biased in finite samples (omega up, beta down,
        # by about a third of a standard deviation at 2,520 returns): the mean
        # estimate lies within half a standard deviation of the truth, give or
        # take its own standard error, and most estimates within two.
        spread = estimates.std()
        assert abs(estimates.mean() - true) < 0.5 * spread + 3 * spread / math.sqrt(count)
        assert np.mean(abs(estimates - true) < 2 * spread) >= 0.85


def test_fit_is_the_same_bits_row_by_row_axis_and_scale():
    panel = np.array([simulate(600, 1e-5, 0.1, 0.85, np.random.default_rng(k)) for k in range(4)])
    fits = ta.garch11_fit(panel)
    by_column = ta.garch11_fit(panel.T, axis=0)
    assert all(np.array_equal(a, b) for a, b in zip(by_column, fits, strict=True))
    for k, row in enumerate(panel):
        one = ta.garch11_fit(row)
        assert tuple(one) == tuple(field[k] for field in fits)
        # A power-of-two scale is exact: the same alpha and beta, omega scaled.
        big = ta.garch11_fit(row * 2.0**40)
        assert (big.alpha, big.beta, big.omega) == (one.alpha, one.beta, one.omega * 2.0**80)
        assert one.loglik == ta.garch11_loglik(row, one.omega, one.alpha, one.beta, seed=one.seed)


def test_fit_given_seed_and_nan():
    r = simulate(500, 1e-5, 0.1, 0.85, np.random.default_rng(5))
    assert ta.garch11_fit(r, seed=3e-4).seed == 3e-4
    assert ta.garch11_fit(r, seed=0.0).seed == 1e-8
    holed = r.copy()
    holed[10] = np.nan
    fit = ta.garch11_fit(holed)
    assert np.isnan(fit.omega) and not fit.converged
    assert ta.garch11_fit(holed, nan_policy="omit") == ta.garch11_fit(np.delete(r, 10))


@pytest.mark.parametrize(
    ("values", "message"),
    [
        (np.ones(9), "garch11_fit(): returns has 9 values; a fit needs at least 10"),
        (
            np.full(20, -0.01),
            "garch11_fit(): returns has no variation (every squared return is the same)",
        ),
        (
            np.vstack([returns(20), np.zeros(20)]),
            "garch11_fit(): series 1 of returns has no variation",
        ),
        (np.vstack([returns(20), [np.nan] * 12 + [0.1] * 8]), None),
    ],
)
def test_fit_refusals(values, message):
    if message is None:  # omitted NaN leave 8 values in series 1
        message = "garch11_fit(): series 1 of returns has 8 values; a fit needs at least 10"
        with pytest.raises(ValueError, match=f"^{message.replace('(', '.').replace(')', '.')}$"):
            ta.garch11_fit(values, nan_policy="omit")
        return
    with pytest.raises(ValueError, match="^" + message.replace("(", "\\(").replace(")", "\\)")):
        ta.garch11_fit(values)


# ---- panels in vector lanes: each row the bits of its own 1-D call

# The paths this processor has (test_lanes.py).
LANE_PATHS = [
    pytest.param(p, marks=pytest.mark.skipif(not lanes_available(p), reason=f"no {p} lanes"))
    for p in ("scalar", "sse2", "avx2", "avx512")
]

LANES_CHECK = """
import numpy as np
import tarnwick_arrays as ta

rng = np.random.default_rng(11)
# Rows whose fits take different numbers of steps (so lanes empty and refill
# at different times), one holding NaN, one on the alpha = 0 edge, and under
# 'omit' rows of three lengths (lanes wait for the next length).
weights = [(1e-5, 0.1, 0.85), (2e-6, 0.05, 0.94), (1e-4, 0.0, 0.5), (3e-6, 0.2, 0.7)]
panel = []
for k in range(9):
    omega, alpha, beta = weights[k % 4]
    s, z, row = omega / (1 - alpha - beta), rng.standard_normal(400), []
    for x in z:
        row.append(np.sqrt(s) * x)
        s = omega + alpha * row[-1] ** 2 + beta * s
    panel.append(row)
panel = np.array(panel)
panel[4, 17] = np.nan
holed = panel.copy()
holed[[1, 5, 6], 3] = np.nan
holed[6, 30] = np.nan
seeds = np.linspace(1e-5, 3e-4, 9)
cases = 0
for values, policy, seed, axis in ((panel, "propagate", None, -1),
                                   (panel, "propagate", seeds, -1),
                                   (holed, "omit", None, -1), (holed.T, "omit", seeds, 0)):
    fits = ta.garch11_fit(values, seed=seed, axis=axis, nan_policy=policy)
    loglik = ta.garch11_loglik(values, fits.omega, fits.alpha, fits.beta, seed=seed,
                               axis=axis, nan_policy=policy)
    for r in range(9):
        row = values[:, r] if axis == 0 else values[r]
        one = ta.garch11_fit(row, seed=None if seed is None else seed[r], nan_policy=policy)
        got = tuple(field[r] for field in fits)
        assert np.array([one[:5]]).tobytes() == np.array([got[:5]]).tobytes(), (policy, r)
        assert one[5:] == got[5:], (policy, r)
        alone = ta.garch11_loglik(row, one.omega, one.alpha, one.beta,
                                  seed=None if seed is None else seed[r], nan_policy=policy)
        assert np.float64(alone).tobytes() == loglik[r].tobytes(), (policy, r)
        cases += 1
# Variances that are subnormal, zero, infinite and NaN: every branch of the
# logarithm, in each lane.
special = np.array([[0.01] * 6, [1e300] * 6, [np.nan] + [0.01] * 5, [1e-170] * 6] * 2)
weights = [np.array(w * 2) for w in ([0.0, 1e-5, 1e-5, 1e-320], [0.0, 0.5, 0.1, 0.0],
                                      [1e-300, 0.5, 0.8, 0.5])]
for order in (list(range(8)), list(range(8))[::-1], [1, 3, 0, 2, 7, 5, 4, 6]):
    got = ta.garch11_loglik(special[order], *(w[order] for w in weights), seed=1e-8)
    for k, r in enumerate(order):
        alone = ta.garch11_loglik(special[r], *(w[r] for w in weights), seed=1e-8)
        assert np.float64(alone).tobytes() == got[k].tobytes(), (order, k)
        cases += 1
print(cases)
"""


@pytest.mark.parametrize("path", LANE_PATHS)
def test_panel_rows_in_lanes_keep_the_bits_of_one_series(path):
    assert run_fresh(LANES_CHECK, env={"TARNWICK_LANES": path}).split() == ["60"]


LOG_CHECK = """
import numpy as np
import tarnwick_arrays as ta

# One zero return per row from a seed per row: each row's likelihood is
# -0.5 * ((log(2 pi) + log(seed)) + 0 / seed), so a panel of them takes the
# logarithm of every seed in the lanes, normal and subnormal alike.
rng = np.random.default_rng(5)
seeds = np.concatenate([
    rng.integers(1, 0x7FF0000000000000, 3000, dtype=np.uint64).view(np.float64),
    rng.integers(1, 0x0010000000000000, 1000, dtype=np.uint64).view(np.float64),
    [5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 1.0, 2.0, 0.5],
])
got = ta.garch11_loglik(np.zeros((len(seeds), 1)), 0.0, 0.0, 0.0, seed=seeds)
log_two_pi = float.fromhex("0x1.d67f1c864beb5p+0")  # log(2 pi), correctly rounded
for k, x in enumerate(seeds.tolist()):
    expected = -0.5 * ((log_two_pi + ta._exact_log(x)) + 0.0 / x)
    assert got[k].tobytes() == np.float64(expected).tobytes(), (k, x)
print(len(seeds))
"""


@pytest.mark.parametrize("path", LANE_PATHS)
def test_logarithm_in_lanes_is_the_scalar_one(path):
    assert run_fresh(LOG_CHECK, env={"TARNWICK_LANES": path}).split() == ["4006"]


RECORDED_CHECK = """
import numpy as np
import models
import tarnwick_arrays as ta
from test_garch_fit import vector_cases

# The recorded fits, alone and as panels of the cases of one length and one
# kind of seed, with a row whose squares overflow (fitted without a run).
groups = {}
for case in vector_cases():
    function, inputs, expected = case.values
    if function != "fit":
        continue
    r = [models.from_bits(t) for t in inputs["returns"]]
    seed = models.from_bits(inputs["seed"][0]) if "seed" in inputs else None
    groups.setdefault((len(r), seed is None), []).append((r, seed, expected))
cases = 0
for (n, unseeded), rows in groups.items():
    panel = np.array([r for r, _, _ in rows] + [([1e200, 1e-3] * n)[:n]])
    seeds = None if unseeded else np.array([s for _, s, _ in rows] + [1.0])
    fits = ta.garch11_fit(panel, seed=seeds)
    for k, (r, seed, expected) in enumerate(rows):
        alone = ta.garch11_fit(np.array(r), seed=seed)
        for got in (list(alone), [field[k] for field in fits]):
            assert [f"{np.float64(v).view(np.uint64):016x}" for v in got] == expected
            cases += 1
    last = np.array([float(field[-1]) for field in fits])
    alone = np.array([float(v) for v in ta.garch11_fit(panel[-1], seed=None if unseeded else 1.0)])
    assert np.isnan(last[0]) and last[6] == 0 and last.tobytes() == alone.tobytes()
print(cases)
"""


@pytest.mark.parametrize("path", LANE_PATHS)
def test_recorded_fits_on_each_lane_path_alone_and_in_panels(path):
    count = 2 * sum(1 for c in vector_cases() if c.values[0] == "fit")
    assert run_fresh(RECORDED_CHECK, env={"TARNWICK_LANES": path}).split() == [str(count)]


# ---- a panel's fit back into its variance


@pytest.mark.parametrize("axis", [-1, 0])
@pytest.mark.parametrize("seeded", [False, True])
@pytest.mark.parametrize("policy", ["propagate", "omit"])
@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # a row alone; the panel's are recorded
def test_a_panels_fit_drives_its_variance_row_by_row(axis, seeded, policy):
    panel = returns((5, 300))
    panel[2, [0, 40]] = np.nan  # its seed falls back to 1e-8 unless given or omitted
    fits = ta.garch11_fit(panel, nan_policy="omit")
    fits.omega[4] = np.nan  # taken as a NaN omega alone is, not refused
    seed = fits.seed if seeded else None
    weights = (fits.omega, fits.alpha, 0.5 * fits.beta)
    given = panel if axis == -1 else np.asfortranarray(panel.T)
    out = np.empty_like(given)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = ta.garch11_variance(given, *weights, seed=seed, axis=axis, nan_policy=policy, out=out)
    assert got is out
    rows = got if axis == -1 else got.T
    for r in range(5):
        own = {"seed": None if seed is None else seed[r], "nan_policy": policy}
        alone = ta.garch11_variance(panel[r], *(w[r] for w in weights), **own)
        assert rows[r].tobytes() == alone.tobytes(), r
    warned = [str(w.message) for w in caught]
    assert warned == (
        []
        if seeded or policy == "omit"
        else [
            "garch11_variance(): 1 of 5 series of 'returns' holds NaN, so its seed (the mean of "
            "the squared returns) fell back to 1e-8; drop the NaN bars first (returns.dropna()) "
            "or pass nan_policy='omit'"
        ]
    )


# Numbers one per series in each lane: counts that fill no lane set, leave
# rows over, and pass a batch side by side; lanes with NaN, infinite, zero,
# subnormal and negative numbers and seeds beside ordinary ones; a NaN return;
# rows, rows in place by column (a transposed view) and series side by side.
PER_SERIES_CHECK = """
import warnings
import numpy as np
import tarnwick_arrays as ta

rng = np.random.default_rng(13)
special = [np.nan, np.inf, -0.0, 0.0, 5e-324, -1e-6]
cases = 0
for count, bars in ((1, 40), (3, 40), (5, 40), (17, 300), (600, 3)):
    panel = rng.standard_normal((count, bars)) * 0.01
    panel[count // 2, bars // 3] = np.nan
    weights = [rng.uniform(1e-7, 4e-6, 2 * count)[::2], rng.uniform(0.02, 0.15, count),
               rng.uniform(0.6, 0.85, count), rng.uniform(1e-5, 4e-4, count)]
    for w in weights:
        w[rng.integers(0, count, 2)] = rng.choice(special, 2)
    *weights, seeds = weights
    for given in ((weights[0], 0.1, 0.8), weights, (1e-6, 0.1, 0.8)):
        for seed in (None, 2e-4, seeds):
            for values, axis in ((panel, -1), (panel.T, 0), (np.ascontiguousarray(panel.T), 0)):
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore", RuntimeWarning)  # the NaN row's seed
                    got = ta.garch11_variance(values, *given, seed=seed, axis=axis)
                    rows = got if axis == -1 else got.T
                    for r in range(count):
                        own = [w if np.ndim(w) == 0 else w[r] for w in given]
                        s = seed if np.ndim(seed) == 0 else seed[r]
                        alone = ta.garch11_variance(panel[r], *own, seed=s)
                        assert rows[r].tobytes() == alone.tobytes(), (count, axis, r)
                cases += 1
print(ta._lanes, cases)
"""


@pytest.mark.parametrize("path", PATHS)
def test_numbers_per_series_in_lanes_keep_each_series_bits(path):
    assert cases_on_path(PER_SERIES_CHECK, path) == 5 * 3 * 3 * 3


W = np.full(5, 1e-6)
BY = "with by=, whose series are the groups of its keys: give a number"


@pytest.mark.parametrize(
    ("shape", "given", "message"),
    [
        ((5, 300), {"omega": W[:3]}, "'omega' has shape (3,), but there are 5 series"),
        ((5, 300), {"beta": W[:, None]}, "'beta' has shape (5, 1), but there are 5 series"),
        ((300, 5), {"alpha": W, "seed": W}, "'alpha' has shape (5,), but there are 300 series"),
        ((5, 300), {"seed": W[:2], "axis": 0}, "'seed' has shape (2,), but there are 300 series"),
        (300, {"alpha": W}, "'alpha' has shape (5,), but there is 1 series"),
        (
            300,
            {"omega": W[:1], "by": np.zeros(300)},
            f"'omega' cannot be given one per series {BY}",
        ),
    ],
)
def test_numbers_per_series_of_the_wrong_shape_are_refused(shape, given, message):
    with pytest.raises(ValueError, match=f"^garch11_variance\\(\\): {re.escape(message)}$"):
        ta.garch11_variance(returns(shape), **{"omega": 1e-6, "alpha": 0.1, "beta": 0.8, **given})


@pytest.mark.parametrize("library", ["pandas", "polars"])
def test_a_frames_fit_drives_its_variance(library):
    lib = pytest.importorskip(library)
    panel = returns((3, 300))
    columns = ["A", "B", "C"]
    frame = lib.DataFrame(
        panel.T, **({"columns": columns} if library == "pandas" else {"schema": columns})
    )
    fit = ta.garch11_fit(frame)
    expected = ta.garch11_variance(
        panel, *(np.asarray(f) for f in fit[:3]), seed=np.asarray(fit.seed)
    )
    got = ta.garch11_variance(frame, fit.omega, fit.alpha, fit.beta, seed=fit.seed)
    assert list(got.columns) == columns
    assert got.to_numpy().T.tobytes() == expected.tobytes()
    if library == "pandas":  # matched by label, not by place
        turned = ta.garch11_variance(frame, fit.omega[::-1], fit.alpha, fit.beta, seed=fit.seed)
        assert turned.to_numpy().T.tobytes() == expected.tobytes()


# ---- forecasts


def test_forecast_recursion_panel_and_stream():
    v, omega, alpha, beta = returns((3, 50)) ** 2, 1e-5, 0.1, 0.85
    got = ta.garch11_forecast(v, omega, alpha, beta, 20)
    for row, forecast in zip(v, got, strict=True):
        f, expected = row[-1], []
        for _ in range(20):
            expected.append(f)
            f = max(0.0, f * beta + (alpha * f + omega))
        assert forecast.tolist() == expected
    stream = ts.Garch11Variance(omega, alpha, beta, seed=1e-4)
    assert all(math.isnan(f) for f in stream.forecast(3))  # no variance before a return
    variance = ta.garch11_variance(v[0], omega, alpha, beta, seed=1e-4)
    for x in v[0]:
        stream.update(x)
    assert stream.forecast(20) == ta.garch11_forecast(variance, omega, alpha, beta, 20).tolist()


# ---- the recorded bits (tests/garch_fit_vectors.txt), on every platform


def vector_cases():
    text = (Path(__file__).resolve().parent / "garch_fit_vectors.txt").read_text()
    for block in text.split("\ncase ")[1:]:
        head, *lines = block.strip("\n").split("\n")
        function, name = head.split(" ")
        inputs = {line.split(" ")[0]: line.split(" ")[1:] for line in lines[:-1]}
        expected = [t.ljust(16, "0") for t in lines[-1].split(" ")[1:]]
        yield pytest.param(function, inputs, expected, id=f"{function}-{name}")


@pytest.mark.parametrize(("function", "inputs", "expected"), list(vector_cases()))
def test_recorded_bits(function, inputs, expected):
    values = {k: [models.from_bits(t) for t in v] for k, v in inputs.items()}
    if function == "log":
        got = [ta._exact_log(x) for x in values["x"]]
    elif function == "loglik":
        omega, alpha, beta, seed = (values[k][0] for k in ("omega", "alpha", "beta", "seed"))
        got = [ta.garch11_loglik(values["returns"], omega, alpha, beta, seed=seed)]
    else:
        fit = ta.garch11_fit(values["returns"], seed=values.get("seed", [None])[0])
        got = [float(v) for v in fit]
    assert [f"{bits(v):016x}" for v in got] == expected


def test_frames_give_one_value_per_column():
    pd = pytest.importorskip("pandas")
    panel = returns((3, 300))
    frame = pd.DataFrame(panel.T, columns=["A", "B", "C"])
    loglik = ta.garch11_loglik(frame, 1e-5, 0.1, 0.85)
    assert list(loglik.index) == ["A", "B", "C"]
    assert loglik.tolist() == ta.garch11_loglik(panel, 1e-5, 0.1, 0.85).tolist()
    assert ta.garch11_loglik(frame["B"], 1e-5, 0.1, 0.85) == loglik["B"]
    fit = ta.garch11_fit(frame)
    assert fit.converged.index.tolist() == ["A", "B", "C"]
    assert all(
        np.array_equal(a.to_numpy(), b) for a, b in zip(fit, ta.garch11_fit(panel), strict=True)
    )


@pytest.mark.parametrize("library", ["pandas", "polars"])
def test_a_frames_fit_goes_back_into_its_likelihood(library):
    lib = pytest.importorskip(library)
    panel = returns((3, 300))
    frame = (
        lib.DataFrame(panel.T, columns=["A", "B", "C"])
        if library == "pandas"
        else lib.DataFrame(panel.T, schema=["A", "B", "C"])
    )
    fit = ta.garch11_fit(frame)
    expected = ta.garch11_loglik(
        panel, *(np.asarray(f) for f in fit[:3]), seed=np.asarray(fit.seed)
    )
    got = ta.garch11_loglik(frame, fit.omega, fit.alpha, fit.beta, seed=fit.seed)
    assert np.asarray(got).tolist() == expected.tolist() == np.asarray(fit.loglik).tolist()
    if library == "pandas":
        # Matched by label, not by place.
        turned = ta.garch11_loglik(frame, fit.omega[::-1], fit.alpha, fit.beta, seed=fit.seed)
        assert turned.tolist() == expected.tolist()
        message = (
            "garch11_loglik(): 'omega' is a pandas Series whose labels are not the frame's "
            "columns, one each; give one value per column, labelled by it"
        )
        for wrong in (fit.omega.rename({"A": "Z"}), fit.omega[:2], fit.omega.iloc[[0, 0, 1]]):
            with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
                ta.garch11_loglik(frame, wrong, fit.alpha, fit.beta)


@pytest.mark.parametrize("function", ["garch11_fit", "garch11_loglik"])
@pytest.mark.parametrize("kind", ["pandas Series", "pandas DataFrame", "polars DataFrame"])
def test_a_call_of_columns_is_bound_once(function, kind, monkeypatch):
    # tarnwick_frames reads the columns of the bound call and hands the
    # numbers back: the function is not called again with them.
    pd = pytest.importorskip("pandas")
    pl = pytest.importorskip("polars") if kind.startswith("polars") else None
    panel = returns((2, 60))
    calls = []
    original = getattr(ta, function)

    def counted(*args, **kwargs):
        calls.append(args)
        return original(*args, **kwargs)

    monkeypatch.setattr(ta, function, counted)
    containers = {
        "pandas Series": lambda: pd.Series(panel[0]),
        "pandas DataFrame": lambda: pd.DataFrame(panel.T, columns=["A", "B"]),
        "polars DataFrame": lambda: pl.DataFrame({"A": panel[0], "B": panel[1]}),
    }
    weights = (1e-5, 0.1, 0.85) if function == "garch11_loglik" else ()
    got = counted(containers[kind](), *weights, seed=2e-4, nan_policy="raise")
    assert len(calls) == 1
    want = original(panel[0] if kind == "pandas Series" else panel, *weights, seed=2e-4)
    assert np.array(got).tobytes() == np.array(want).tobytes()


# Found in one order with an array or a pandas Series: the axis, the NaN
# policy, then omega, alpha, beta and last the seed.
@pytest.mark.parametrize("function", ["garch11_fit", "garch11_loglik"])
@pytest.mark.parametrize(
    ("keywords", "expected"),
    [
        ({"nan_policy": "never", "seed": "x", "axis": 2}, "{f}(): axis 2 is out of bounds for"),
        ({"nan_policy": "never", "seed": "x"}, "{f}(): nan_policy must be 'propagate', 'omit'"),
        ({"seed": "x"}, "must be real number, not str; while processing {p!r}"),
    ],
)
def test_errors_are_found_in_one_order_with_arrays_and_pandas(function, keywords, expected):
    pd = pytest.importorskip("pandas")
    weights = ("y", 0.1, 0.85) if function == "garch11_loglik" else ()
    for given in (returns(60), pd.Series(returns(60))):
        with pytest.raises((TypeError, ValueError)) as caught:
            getattr(ta, function)(given, *weights, **keywords)
        text = "; ".join([str(caught.value), *getattr(caught.value, "__notes__", [])])
        assert text.startswith(expected.format(f=function, p="omega" if weights else "seed"))


def test_threads_give_the_same_bits():
    from concurrent.futures import ThreadPoolExecutor

    panels = [returns((6, 700), seed=k) for k in range(4)]
    alone = [ta.garch11_fit(p) for p in panels]
    with ThreadPoolExecutor(4) as pool:
        together = list(pool.map(ta.garch11_fit, panels))
    for a, b in zip(alone, together, strict=True):
        assert all(np.array_equal(x, y) for x, y in zip(a, b, strict=True))


def test_fit_finds_maxima_on_the_edge_alpha_zero():
    # A variance that decays to a level and stays (alpha = 0): the best fit
    # of this one lies at alpha = 0 with omega well above 0, 0.02 above the
    # maximum the other two starts reach; only the start on that edge, with
    # omega free, finds it.
    rng = np.random.default_rng(7)
    for i in range(12):
        r = simulate((252, 503, 1000, 2520)[i % 4], 1e-6, 0.0, rng.uniform(0.3, 0.99), rng)
    fit = ta.garch11_fit(r)
    assert fit.converged and fit.alpha == 0.0 and fit.omega > 1e-3 * np.mean(r * r)
    assert fit.loglik >= scipy_best(r) - 1e-6
