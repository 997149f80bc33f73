"""Compute the three tarnwick indicators over a short price series."""

from itertools import pairwise

import tarnwick

high = [10.0, 11.0, 12.0, 11.5, 12.5, 13.0, 12.0, 11.0]
low = [9.0, 9.5, 10.5, 10.0, 11.0, 12.0, 10.5, 9.5]
close = [9.5, 10.5, 11.5, 10.5, 12.0, 12.5, 11.0, 10.0]
returns = [(b - a) / a for a, b in pairwise(close)]

adx = tarnwick.native_adx(high, low, close, 3)
sar = tarnwick.native_parabolic_sar(high, low, 0.02, 0.2)
variance = tarnwick.native_garch11_variance(returns, 1e-6, 0.1, 0.85)

print(f"{'bar':>3} {'close':>7} {'ADX(3)':>9} {'SAR':>9} {'GARCH var':>12}")
for i, c in enumerate(close):
    var = f"{variance[i - 1]:12.3e}" if i > 0 else f"{'':>12}"
    print(f"{i:>3} {c:7.2f} {adx[i]:9.4f} {sar[i]:9.4f} {var}")
