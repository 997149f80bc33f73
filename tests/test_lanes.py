"""Many rows at once in vector lanes: every path this machine has gives, row by
row, the bits of tarnwick's one-series kernels, for rows mixing NaN, infinities,
-0.0 and subnormals across lanes and row counts that leave rows over."""

import pytest

from support import run_fresh

# A path wider than the processor has gives the default, so every name is safe
# to run anywhere; "sse2" is the two-lane path, NEON on aarch64.
PATHS = ["scalar", "sse2", "avx2", "avx512"]

CHECK = """
import random
import numpy as np
import tarnwick, tarnwick_arrays
from exact import bits

rng = random.Random(11)
special = [float("nan"), -float("nan"), float("inf"), -float("inf"), -0.0, 0.0,
           5e-324, -5e-324, 2.2250738585072014e-308, 1e308, -1e308]

def value():
    return rng.choice(special) if rng.random() < 0.2 else rng.uniform(-3.0, 3.0)

def matrix(rows, n):
    return np.array([[value() for _ in range(n)] for _ in range(rows)]).reshape(rows, n)

cases = 0
for rows in (2, 3, 4, 7, 8, 9, 16, 17, 35):
    for n in (0, 1, 2, 3, 9, 300):
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
print(cases)
"""


@pytest.mark.parametrize("path", PATHS)
def test_rows_in_lanes_keep_the_bits_of_one_series(path):
    assert run_fresh(CHECK, env={"TARNWICK_LANES": path}).strip() == "1818"
