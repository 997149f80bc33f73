"""Many rows at once in vector lanes: every path this machine has gives, row by
row, the bits of tarnwick's one-series kernels, for rows mixing NaN, infinities,
-0.0 and subnormals across lanes and row counts that leave rows over."""

import platform
from pathlib import Path

import pytest

from support import run_fresh

# An emulated aarch64 process reads the x86-64 host's /proc/cpuinfo: its
# flags say what this process has only on x86-64.
CPU_FLAGS = (
    set(
        next(
            line
            for line in Path("/proc/cpuinfo").read_text().splitlines()
            if line.startswith("flags")
        ).split()
    )
    if platform.machine() in ("x86_64", "AMD64") and Path("/proc/cpuinfo").exists()
    else set()
)

# "sse2" is the two-lane path, NEON on aarch64 (every aarch64 processor has
# it); the wider ones only where the processor says it has them.
PATHS = ["scalar", "sse2", "avx2", "avx512"]
FLAG = {"sse2": "sse2", "avx2": "avx2", "avx512": "avx512f"}
TWO_LANES = "neon" if platform.machine() in ("aarch64", "arm64") else "sse2"


def available(path):
    if path == "scalar" or (path == "sse2" and TWO_LANES == "neon"):
        return True
    return FLAG[path] in CPU_FLAGS


def cases_on_path(script, path):
    """Runs `script` (which prints the lane path taken and its count of cases)
    in a fresh process forced onto `path`; skips a path this processor lacks
    and checks the path asked for is the one taken."""
    if not available(path):
        pytest.skip(f"this processor has no {path} lanes")
    taken, cases = run_fresh(script, env={"TARNWICK_LANES": path}).split()
    assert taken == (TWO_LANES if path == "sse2" else path)
    return int(cases)


ROWS = (2, 3, 4, 7, 8, 9, 16, 17, 35, 300)
BARS = (0, 1, 2, 3, 9, 300)
# Each row of each of the three functions, and each function side by side.
CASES = sum(len(BARS) * (3 * rows + 6) for rows in ROWS)

CHECK = f"""
import random
import numpy as np
import tarnwick, tarnwick_arrays
from exact import bits
from tarnwick_frames import _Rows

rng = random.Random(11)
special = [float("nan"), -float("nan"), float("inf"), -float("inf"), -0.0, 0.0,
           5e-324, -5e-324, 2.2250738585072014e-308, 1e308, -1e308]

def value():
    return rng.choice(special) if rng.random() < 0.2 else rng.uniform(-3.0, 3.0)

def matrix(rows, n):
    return np.array([[value() for _ in range(n)] for _ in range(rows)]).reshape(rows, n)

cases = 0
for rows in {ROWS}:
    for n in {BARS}:
        h, l, c = matrix(rows, n), matrix(rows, n), matrix(rows, n)
        strided = np.empty((rows, 2 * n))[:, ::2]
        seed = rng.choice([None, 0.5, float("nan")])
        for got, want in (
            (tarnwick_arrays.adx(h, l, c, 3), lambda r: tarnwick.native_adx(h[r], l[r], c[r], 3)),
            (tarnwick_arrays.parabolic_sar(h, l, 0.02, 0.2, out=strided),
             lambda r: tarnwick.native_parabolic_sar(h[r], l[r], 0.02, 0.2)),
            (tarnwick_arrays.garch11_variance(h, 1e-6, 0.1, 0.85, seed=seed),
             lambda r: tarnwick_arrays.garch11_variance(h[r], 1e-6, 0.1, 0.85, seed=seed).tolist()),
        ):
            for r in range(rows):
                assert bits(got[r].tolist()) == bits(want(r)), (rows, n, r)
                cases += 1
        # The same series side by side (dates x symbols), into a plain result,
        # a strided out and an out not aligned as doubles (its lanes stored
        # through a buffer): every value as the rows layout gave it.
        wide = [np.ascontiguousarray(a.T) for a in (h, l, c)]
        strided = np.empty((n, 2 * rows))[:, ::2]
        unaligned = np.frombuffer(bytearray(8 * n * rows + 1), np.float64, offset=1)
        for got, want in (
            (tarnwick_arrays.adx(*wide, 3, axis=0), tarnwick_arrays.adx(h, l, c, 3)),
            (tarnwick_arrays.adx(*wide, 3, axis=0, out=unaligned.reshape(n, rows)),
             tarnwick_arrays.adx(h, l, c, 3)),
            (tarnwick_arrays.parabolic_sar(*wide[:2], 0.02, 0.2, axis=0, out=strided),
             tarnwick_arrays.parabolic_sar(h, l, 0.02, 0.2)),
            (tarnwick_arrays.garch11_variance(wide[0], 1e-6, 0.1, 0.85, seed=seed, axis=0),
             tarnwick_arrays.garch11_variance(h, 1e-6, 0.1, 0.85, seed=seed)),
        ):
            assert got.T.tobytes() == want.tobytes(), (rows, n)
            cases += 1
        # Each row in memory of its own, as tarnwick_frames gives a frame's
        # columns: the lanes start each row where it lies.
        for got, want in (
            (tarnwick_arrays.adx(*map(_Rows, (h, l, c)), 3), tarnwick_arrays.adx(h, l, c, 3)),
            (tarnwick_arrays.garch11_variance(_Rows(h), 1e-6, 0.1, 0.85, seed=seed),
             tarnwick_arrays.garch11_variance(h, 1e-6, 0.1, 0.85, seed=seed)),
        ):
            assert got.tobytes() == want.tobytes(), (rows, n)
            cases += 1
print(tarnwick_arrays._lanes, cases)
"""


@pytest.mark.parametrize("path", PATHS)
def test_rows_in_lanes_keep_the_bits_of_one_series(path):
    assert cases_on_path(CHECK, path) == CASES


# GARCH's seed reads every bar of a row before its first step: the tiles of
# its look ahead are kept for the steps up to a budget (4,096 to 32,768 bars a
# row by path), those of longer rows gathered again. Rows longer than any
# budget, in groups of lane sets, single lane sets and rows left over, with and
# without a seed given, must keep the bits of each row alone.
LONG_GARCH = """
import numpy as np
import tarnwick_arrays
from exact import bits

rng = np.random.default_rng(7)
returns = rng.normal(0.0, 0.01, (29, 33_000))
returns[3, 5_000] = np.nan
returns[20, 32_999] = np.inf
for seed in (None, 2e-4):
    got = tarnwick_arrays.garch11_variance(returns, 1e-6, 0.1, 0.85, seed=seed)
    for r, row in enumerate(returns):
        want = tarnwick_arrays.garch11_variance(row, 1e-6, 0.1, 0.85, seed=seed)
        assert bits(got[r].tolist()) == bits(want.tolist()), (seed, r)
print(tarnwick_arrays._lanes)
"""


@pytest.mark.parametrize("path", PATHS)
def test_garch_rows_longer_than_the_kept_tiles_keep_the_bits(path):
    if not available(path):
        pytest.skip(f"this processor has no {path} lanes")
    assert run_fresh(LONG_GARCH, env={"TARNWICK_LANES": path}).split() == [
        TWO_LANES if path == "sse2" else path
    ]


# One long series of stops is cut into chunks stepped side by side, each but
# the first from a guessed state, until its path meets the true one. Series
# around the length where that starts, series whose paths meet at once
# (random walks), late (NaN bursts, zigzags) or never (a steady rise with a
# tiny factor never reverses: the chunk is stepped on alone), must give the
# bits of the one-series pass that the list function takes.
LONG_SAR = """
import numpy as np
import tarnwick, tarnwick_arrays
from exact import bits

rng = np.random.default_rng(11)
def series():
    for n in (8_191, 8_192, 8_195, 20_003, 70_001):
        close = 100 + np.cumsum(rng.standard_normal(n))
        spread = np.abs(rng.standard_normal(n)) * 0.5
        yield close + spread, close - spread
    n = 40_000
    rise = np.arange(n, dtype=float)
    yield rise + 1, rise
    zigzag_high, zigzag_low = np.full(n, 10.0), np.full(n, 9.0)
    zigzag_high[::2], zigzag_low[1::2] = 11.0, 8.0
    yield zigzag_high, zigzag_low
    close = 100 + np.cumsum(rng.standard_normal(n))
    high, low = close + 0.5, close - 0.5
    high[rng.integers(0, n, 400)] = np.nan
    low[12_000:15_000] = np.nan
    yield high, low
cases = 0
for high, low in series():
    for af_step, af_max in ((0.02, 0.2), (0.5, 0.9), (1e-9, 1e-9)):
        got = tarnwick_arrays.parabolic_sar(high, low, af_step, af_max)
        want = tarnwick.native_parabolic_sar(high.tolist(), low.tolist(), af_step, af_max)
        assert bits(got.tolist()) == bits(want), (len(high), af_step)
        cases += 1

# Where the chunks are written: a strided `out` (taken bar by bar), rows of a
# panel the lanes leave over and groups of a long table (each a series of
# its own), and threads at once, each with scratch of its own.
n = 30_001
close = 100 + np.cumsum(rng.standard_normal((5, n)), axis=1)
high, low = close + 0.5, close - 0.5
want = [tarnwick_arrays.parabolic_sar(h, l, 0.02, 0.2) for h, l in zip(high, low)]
strided = np.empty(2 * n)[::2]
tarnwick_arrays.parabolic_sar(high[0], low[0], 0.02, 0.2, out=strided)
assert strided.tobytes() == want[0].tobytes()
panel = tarnwick_arrays.parabolic_sar(high, low, 0.02, 0.2)
assert all(panel[r].tobytes() == want[r].tobytes() for r in range(5))
keys = rng.permutation(np.repeat(np.arange(5), n))
long_high, long_low, long_want = np.empty(5 * n), np.empty(5 * n), np.empty(5 * n)
for g in range(5):
    long_high[keys == g], long_low[keys == g], long_want[keys == g] = high[g], low[g], want[g]
long = tarnwick_arrays.parabolic_sar(long_high, long_low, 0.02, 0.2, by=keys)
assert long.tobytes() == long_want.tobytes()
from concurrent.futures import ThreadPoolExecutor
def stops(r):
    return tarnwick_arrays.parabolic_sar(high[r % 5], low[r % 5], 0.02, 0.2)
with ThreadPoolExecutor(4) as pool:
    runs = list(pool.map(stops, range(20)))
assert all(got.tobytes() == want[r % 5].tobytes() for r, got in enumerate(runs))
print(tarnwick_arrays._lanes, cases + 4)
"""


@pytest.mark.parametrize("path", PATHS)
def test_a_long_series_of_stops_in_chunks_keeps_the_bits_of_one_pass(path):
    assert cases_on_path(LONG_SAR, path) == 28


# One series of ADX weaves the work of three blocks of bars together (the
# movements of the next, the divisions of the one before, the ADX two
# behind): lengths on either side of one, two and many blocks, with NaN and
# infinities, must give every path the bits of the scalar path's serial pass.
ONE_ADX = """
import hashlib
import numpy as np
import tarnwick_arrays

rng = np.random.default_rng(5)
digest = hashlib.sha256()
cases = 0
for n in (*range(0, 70), 127, 128, 129, 1_000, 4_099):
    for period in (1, 3, 14):
        close = 100 + np.cumsum(rng.standard_normal(n))
        spread = rng.uniform(0.0, 1.0, n)
        high, low = close + spread, close - spread
        if n and rng.random() < 0.3:
            high[rng.integers(0, n, 3)] = rng.choice([np.nan, np.inf, -0.0], 3)
        digest.update(tarnwick_arrays.adx(high, low, close, period).tobytes())
        for values in tarnwick_arrays.directional_movement(high, low, close, period):
            digest.update(np.asarray(values).tobytes())
        cases += 1
print(tarnwick_arrays._lanes, f"{cases}:{digest.hexdigest()}")
"""


@pytest.mark.parametrize("path", PATHS[1:])
def test_one_series_of_adx_keeps_the_bits_of_the_serial_pass(path):
    if not available(path):
        pytest.skip(f"this processor has no {path} lanes")
    assert (
        run_fresh(ONE_ADX, env={"TARNWICK_LANES": path}).split()[1]
        == (run_fresh(ONE_ADX, env={"TARNWICK_LANES": "scalar"}).split()[1])
    )
