"""Pure-Python models of the three kernels, written out step by step.

Python floats are IEEE-754 doubles and every operator rounds on its own, so
writing each step in the documented order and grouping gives the reference
bits the native kernels must reproduce. Nothing here is vectorised, blocked or
fused: a model that is easy to read against the algorithm is the point.

NaN bits: a NaN that arithmetic makes has a sign and payload that depend on the
processor and on the operand order, in Python as in C++; the kernels store
every NaN they compute as exact.NAN, and a value copied from an input keeps
its bits. The models do the same with `stored`.
"""

import math
import struct

from exact import NAN, from_bits

ADX_LENGTHS = "high, low, and close lengths must match"
ADX_PERIOD = "period must be > 0"
SAR_LENGTHS = "high and low lengths must match"


def stored(computed):
    """A value the kernel computed, as it is stored: every NaN is NAN."""
    return NAN if computed != computed else computed


class Refused(Exception):
    """A model's validation failure; the native call raises ValueError(message)."""


def nan_ignoring_max(a, b):
    m = a if a > b else b
    return a if m != m else m


def nan_ignoring_min(a, b):
    m = a if a < b else b
    return a if m != m else m


def adx(high, low, close, period):
    return directional_movement(high, low, close, period)["adx"]


def directional_movement(high, low, close, period):
    """Every value of the ADX pass, by field name (the fields of
    tarnwick_arrays.DirectionalMovement)."""
    if len(low) != len(high) or len(close) != len(high):
        raise Refused(ADX_LENGTHS)
    if period == 0:
        raise Refused(ADX_PERIOD)
    n = len(high)
    fields = ("plus_di", "minus_di", "dx", "adx", "atr")
    if n == 0:
        return {name: [] for name in fields}
    p = float(period)  # rounds to nearest: 2**64 - 1 becomes 2**64
    w = 1.0 / p
    k = 1.0 - w

    tr = [0.0] * n
    plus_dm = [0.0] * n
    minus_dm = [0.0] * n
    for j in range(1, n):
        up = high[j] - high[j - 1]
        down = low[j - 1] - low[j]
        plus_dm[j] = up if (down < up and up > 0.0) else 0.0
        minus_dm[j] = down if (up < down and down > 0.0) else 0.0
        hl = high[j] - low[j]
        hc = math.fabs(high[j] - close[j - 1])
        lc = math.fabs(low[j] - close[j - 1])
        tr[j] = nan_ignoring_max(nan_ignoring_max(hl, hc), lc)

    atr = [0.0] * n
    splus = [0.0] * n
    sminus = [0.0] * n
    for j in range(1, n):
        atr[j] = atr[j - 1] * k + tr[j] * w
        splus[j] = splus[j - 1] * k + plus_dm[j] * w
        sminus[j] = sminus[j - 1] * k + minus_dm[j] * w

    plus_di = [0.0] * n
    minus_di = [0.0] * n
    dx = [0.0] * n
    for i in range(n):
        if atr[i] > 0.0:
            plus_di[i] = (splus[i] * 100.0) / atr[i]
            minus_di[i] = (sminus[i] * 100.0) / atr[i]
        total = plus_di[i] + minus_di[i]
        dx[i] = (math.fabs(plus_di[i] - minus_di[i]) * 100.0) / total if total > 0.0 else 0.0

    adx = [0.0] * n
    for j in range(1, n):
        adx[j] = adx[j - 1] * k + dx[j] * w
    values = (plus_di, minus_di, dx, adx, atr)
    return {name: [stored(v) for v in field] for name, field in zip(fields, values, strict=True)}


def parabolic_sar(high, low, af_step, af_max):
    return parabolic_sar_trend(high, low, af_step, af_max)["sar"]


def parabolic_sar_trend(high, low, af_step, af_max):
    """The stops and the state each bar leaves, by field name (the fields of
    tarnwick_arrays.ParabolicSarTrend): the extreme is copied from the prices,
    the factor computed."""
    if len(high) != len(low):
        raise Refused(SAR_LENGTHS)
    n = len(high)
    fields = {"sar": [], "trend": [], "extreme": [], "factor": []}
    if n == 0:
        return fields
    out = [0.0] * n
    out[0] = low[0]  # copied: keeps its bits, NaN payload included
    af_start = af_step if af_step > 1e-6 else 1e-6
    up = True
    sar = low[0]
    ep = high[0]
    af = af_start

    def leave(i):
        fields["sar"].append(out[i])
        fields["trend"].append(1.0 if up else -1.0)
        fields["extreme"].append(ep)
        fields["factor"].append(stored(af))

    leave(0)
    for i in range(1, n):
        c = (ep - sar) * af + sar
        if up:
            s = nan_ignoring_min(c, low[i - 1])
            if s > low[i]:
                out[i] = ep  # an input value, copied
                sar = ep
                ep = low[i]
                af = af_start
                up = False
                leave(i)
                continue
            if high[i] > ep:
                af = nan_ignoring_min(af + af_step, af_max)
                ep = high[i]
        else:
            s = nan_ignoring_max(c, high[i - 1])
            if high[i] > s:
                out[i] = ep  # an input value, copied
                sar = ep
                ep = high[i]
                af = af_start
                up = True
                leave(i)
                continue
            if low[i] < ep:
                af = nan_ignoring_min(af + af_step, af_max)
                ep = low[i]
        # NaN only when c and the limit both are, and then s is the computed c.
        out[i] = stored(s)
        sar = s
        leave(i)
    return fields


def garch11_variance(returns, omega, alpha, beta):
    n = len(returns)
    if n == 0:
        return []
    total = 0.0
    for r in returns:
        total = total + r * r
    mean = total / float(n)
    v = mean if (math.isfinite(mean) and mean > 0.0) else 1e-8
    out = [0.0] * n
    for i, r in enumerate(returns):
        p = (alpha * r) * r
        q = p + omega
        w = v * beta
        t = w + q
        v = t if t > 0.0 else 0.0
        out[i] = v
    return out


# The module's logarithm (indicators/exact_log.hpp), step for step in Python
# floats, which round every operation to double as the kernels do.
_LG = [
    from_bits(h)
    for h in (
        "3fe5555555555593",
        "3fd999999997fa04",
        "3fd2492494229359",
        "3fcc71c51d8e78af",
        "3fc7466496cb03de",
        "3fc39a09d078c69f",
        "3fc2f112df3e5244",
    )
]
LN2_HI, LN2_LO = from_bits("3fe62e42fee00000"), from_bits("3dea39ef35793c76")
LOG_TWO_PI = from_bits("3ffd67f1c864beb5")


def exact_log(x):
    b = struct.unpack(">Q", struct.pack(">d", x))[0]
    if b >= 0x7FF0000000000000:
        if x != x or b == 0x7FF0000000000000:
            return x
        return -math.inf if b == 0x8000000000000000 else NAN
    k = 0
    if b < 0x0010000000000000:
        if b == 0:
            return -math.inf
        x = x * 2.0**54
        b = struct.unpack(">Q", struct.pack(">d", x))[0]
        k = -54
    high = b >> 32
    mantissa = high & 0x000FFFFF
    halve = (mantissa + 0x95F64) & 0x100000
    k += (high >> 20) - 1023 + (halve >> 20)
    m = from_bits(f"{((mantissa | (halve ^ 0x3FF00000)) << 32) | (b & 0xFFFFFFFF):016x}")
    f = m - 1.0
    s = f / (2.0 + f)
    z = s * s
    w = z * z
    even = w * (_LG[1] + w * (_LG[3] + w * _LG[5]))
    odd = z * (_LG[0] + w * (_LG[2] + w * (_LG[4] + w * _LG[6])))
    r = odd + even
    hfsq = 0.5 * f * f
    dk = float(k)
    return dk * LN2_HI + (f - (hfsq - (s * (hfsq + r) + dk * LN2_LO)))


def _ieee_divide(a, b):
    """a / b as IEEE-754 divides, where Python raises on a zero divisor."""
    if b != 0.0:
        return a / b
    if a != a or a == 0.0:
        return NAN
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


def garch11_loglik(returns, omega, alpha, beta, seed):
    """The log-likelihood from `seed` as given (after the 1e-8 rule)."""
    acc, s = 0.0, seed
    for r in returns:
        acc = acc + ((LOG_TWO_PI + exact_log(s)) + _ieee_divide(r * r, s))
        t = s * beta + ((alpha * r) * r + omega)
        s = t if t > 0.0 else 0.0
    return -0.5 * acc
