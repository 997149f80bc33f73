"""Every kernel against its pure-Python model, bit for bit.

The default run takes a few seconds. TARNWICK_LONG_RUN=1 raises the case count
to at least 100,000 per kernel (CI runs it once).
"""

import os
import random
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import models
import registry
from exact import assert_bits_equal

LONG_RUN = os.environ.get("TARNWICK_LONG_RUN") == "1"
EXAMPLES = int(os.environ.get("TARNWICK_EXAMPLES", 100_000)) if LONG_RUN else 300

SETTINGS = settings(
    max_examples=EXAMPLES,
    deadline=None,
    database=None,
    suppress_health_check=list(HealthCheck),
)

SMALLEST_SUBNORMAL = 5e-324
LARGEST_SUBNORMAL = 2.225073858507201e-308
SPECIALS = [
    0.0,
    -0.0,
    1.0,
    -1.0,
    float("nan"),
    float("inf"),
    float("-inf"),
    SMALLEST_SUBNORMAL,
    -SMALLEST_SUBNORMAL,
    LARGEST_SUBNORMAL,
    2.2250738585072014e-308,
    1.7976931348623157e308,
    -1.7976931348623157e308,
    1e300,
    1e-300,
    100.0,
    100.5,
]

# Lengths around the ADX block (256 bars) and its two-bar lanes, plus the
# empty and one-bar series.
BLOCK_EDGES = [0, 1, 2, 3, 4, 5, 254, 255, 256, 257, 258, 511, 512, 513, 514, 769]
lengths = st.one_of(
    st.integers(0, 9),
    st.sampled_from(BLOCK_EDGES),
    st.integers(0, 600),
)

element = st.one_of(
    st.sampled_from(SPECIALS),
    st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True),
    st.floats(min_value=-1e-305, max_value=1e-305, allow_subnormal=True),
    st.floats(min_value=1.0, max_value=200.0),
)


def _random_double(rng):
    return struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]


def _walk(rng, n):
    start = rng.choice([100.0, 1.0, 1e-300, 1e300, 5e-322, 1e-10, 12345.678])
    scale = rng.choice([1e-3, 1e-2, 0.1, 1.0])
    out = []
    price = start
    for _ in range(n):
        tie = out and rng.random() < 0.2  # the same close as the previous bar
        price = out[-1] if tie else price * (1.0 + rng.gauss(0.0, scale))
        out.append(price)
    return out


@st.composite
def series(draw, n):
    """n doubles: drawn directly when short, otherwise from a seeded style
    (random walk, tie-heavy pool, specials, raw bit patterns) with specials
    spliced in at random bars."""
    if n <= 8 and draw(st.booleans()):
        return draw(st.lists(element, min_size=n, max_size=n))
    rng = random.Random(draw(st.integers(0, 2**32 - 1)))
    style = draw(st.sampled_from(["walk", "pool", "specials", "bits"]))
    if style == "walk":
        values = _walk(rng, n)
    elif style == "pool":
        pool = [draw(element) for _ in range(3)]
        values = [rng.choice(pool) for _ in range(n)]
    elif style == "specials":
        values = [rng.choice(SPECIALS) for _ in range(n)]
    else:
        values = [_random_double(rng) for _ in range(n)]
    for _ in range(draw(st.integers(0, 3))):
        if values:
            values[rng.randrange(n)] = rng.choice(SPECIALS)
    return values


@st.composite
def price_bars(draw, n):
    """high, low and close of n bars: either related (low below high, close
    between) or three independent series."""
    if draw(st.booleans()):
        high = draw(series(n))
        rng = random.Random(draw(st.integers(0, 2**32 - 1)))
        spread = rng.choice([0.0, 1e-9, 0.01, 1.0, 1e300])
        low = [h - spread * rng.random() for h in high]
        close = [lo + (h - lo) * rng.random() for h, lo in zip(high, low, strict=True)]
        return high, low, close
    return draw(series(n)), draw(series(n)), draw(series(n))


periods = st.one_of(
    st.sampled_from([1, 2, 3, 14, 255, 256, 2**53, 2**53 + 1, 2**63, 2**64 - 2, 2**64 - 1]),
    st.integers(1, 50),
    st.integers(1, 2**64 - 1),
)

FINITE_FACTORS = [0.0, -0.0, 1e-6, 1e-7, 0.02, 0.2, 0.25, 0.5, 0.75, 1.0, -0.02, -1.0, 1e300]
factors = st.one_of(
    st.sampled_from(
        [*FINITE_FACTORS, float("nan"), float("inf"), float("-inf"), SMALLEST_SUBNORMAL]
    ),
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(min_value=-1.0, max_value=1.0),
)


def _outcome(function, *args):
    """The native result, checked against the model: same bits, or the same
    ValueError message."""
    try:
        expected = function.model(*args)
    except models.Refused as refused:
        with pytest.raises(ValueError) as raised:
            function.native(*args)
        assert raised.value.args == (str(refused),)
        return
    assert_bits_equal(function.native(*args), expected)


@SETTINGS
@given(st.data())
def test_adx_matches_model(data):
    n = data.draw(lengths)
    high, low, close = data.draw(price_bars(n))
    if data.draw(st.integers(0, 19)) == 0:
        # Occasionally refused inputs: a short series or a zero period.
        which = data.draw(st.sampled_from(["low", "close", "period"]))
        if which == "low":
            low = low[:-1] if low else [1.0]
        elif which == "close":
            close = [*close, 1.0]
        period = 0 if which == "period" else data.draw(periods)
    else:
        period = data.draw(periods)
    _outcome(registry.ADX, high, low, close, period)


@SETTINGS
@given(st.data())
def test_parabolic_sar_matches_model(data):
    n = data.draw(lengths)
    high, low, _ = data.draw(price_bars(n))
    if data.draw(st.integers(0, 19)) == 0:
        low = [*low, 1.0] if data.draw(st.booleans()) else low[:-1]
    af_step = data.draw(factors)
    af_max = data.draw(factors)
    _outcome(registry.PARABOLIC_SAR, high, low, af_step, af_max)


@SETTINGS
@given(st.data())
def test_garch11_variance_matches_model(data):
    n = data.draw(lengths)
    if data.draw(st.booleans()):
        returns = data.draw(series(n))
    else:
        rng = random.Random(data.draw(st.integers(0, 2**32 - 1)))
        scale = rng.choice([1e-2, 1e-160, 1e155, 1.0])
        returns = [rng.gauss(0.0, scale) for _ in range(n)]
    omega = data.draw(st.one_of(factors, st.floats(min_value=0.0, max_value=1e-4)))
    alpha = data.draw(factors)
    beta = data.draw(factors)
    result = registry.GARCH11_VARIANCE.native(returns, omega, alpha, beta)
    assert_bits_equal(result, registry.GARCH11_VARIANCE.model(returns, omega, alpha, beta))
    # The floor: never negative, never -0.0, never NaN.
    assert all(v == v and struct.pack("<d", v)[7] & 0x80 == 0 for v in result)
