"""How tarnwick's +DI, -DI, DX, ATR and SAR compare with TA-Lib's on the
bundled prices (examples/data), and why they differ. TA-Lib is a peer for
comparison only (the `bench` extra installs it).

    python benchmarks/compare_talib.py

Prints, for AAPL with period 14, the absolute difference from TA-Lib's
PLUS_DI, MINUS_DI, DX, ATR and SAR at bars 14, 50, 100, 200 and the last;
then, per symbol with 0.02/0.2, how many bars of the SAR differ, and how
many remain with each of TA-Lib's stop rules added to a plain model of
tarnwick's SAR (which reproduces tarnwick's values bit for bit first).
"""

from pathlib import Path

import numpy as np
import pandas as pd
import talib

import tarnwick_arrays as ta

DATA = Path(__file__).resolve().parent.parent / "examples" / "data"
SYMBOLS = ("AAPL", "GOOG", "IBM", "MSFT", "FB")
PERIOD = 14
STEP, MAXIMUM = 0.02, 0.2
BARS = (14, 50, 100, 200)


def prices(symbol):
    frame = pd.read_csv(DATA / f"{symbol}.csv")
    return [frame[c].to_numpy(np.float64) for c in ("High", "Low", "Close")]


def sar_model(high, low, two_bars=False, clamp_reversal=False):
    """tarnwick's stop, bar by bar, with TA-Lib's rules optionally added: the
    stop limited by the two previous bars' lows (highs), and the stop of a
    reversal limited by the previous and current bar's high (low)."""
    n = len(high)
    out = np.empty(n)
    out[0] = low[0]
    up, sar, ep, af = True, low[0], high[0], STEP
    for i in range(1, n):
        c = (ep - sar) * af + sar
        if up:
            s = min(c, low[i - 1], low[i - 2] if two_bars and i >= 2 else low[i - 1])
            if s > low[i]:
                new = max(ep, high[i - 1], high[i]) if clamp_reversal else ep
                out[i], sar, ep, af, up = new, new, low[i], STEP, False
                continue
            if high[i] > ep:
                af, ep = min(af + STEP, MAXIMUM), high[i]
        else:
            s = max(c, high[i - 1], high[i - 2] if two_bars and i >= 2 else high[i - 1])
            if high[i] > s:
                new = min(ep, low[i - 1], low[i]) if clamp_reversal else ep
                out[i], sar, ep, af, up = new, new, high[i], STEP, True
                continue
            if low[i] < ep:
                af, ep = min(af + STEP, MAXIMUM), low[i]
        out[i], sar = s, s
    return out


def differing(a, b):
    """Bars where both have a value and they differ by more than rounding."""
    both = ~np.isnan(a) & ~np.isnan(b)
    return both & ~np.isclose(a, b, rtol=1e-9, atol=1e-9)


def main():
    high, low, close = prices("AAPL")
    dm = ta.directional_movement(high, low, close, PERIOD)
    sar = ta.parabolic_sar(high, low, STEP, MAXIMUM)
    theirs = {
        "+DI": (dm.plus_di, talib.PLUS_DI(high, low, close, PERIOD)),
        "-DI": (dm.minus_di, talib.MINUS_DI(high, low, close, PERIOD)),
        "DX": (dm.dx, talib.DX(high, low, close, PERIOD)),
        "ATR": (dm.atr, talib.ATR(high, low, close, PERIOD)),
        "SAR": (sar, talib.SAR(high, low, STEP, MAXIMUM)),
    }
    last = len(high) - 1
    print(f"AAPL, period {PERIOD}: |tarnwick - TA-Lib 0.8.2| at bar")
    print(f"{'':5}" + "".join(f"{b:>10}" for b in (*BARS, last)))
    for name, (mine, talib_values) in theirs.items():
        row = [abs(mine[b] - talib_values[b]) for b in (*BARS, last)]
        print(f"{name:5}" + "".join(f"{v:10.4f}" for v in row))
    print()
    print(f"SAR {STEP}/{MAXIMUM}: bars differing from TA-Lib (max difference)")
    print(f"{'':6}{'tarnwick':>16}{'two bars':>16}{'+ reversal':>16}")
    for symbol in SYMBOLS:
        high, low, _ = prices(symbol)
        mine = ta.parabolic_sar(high, low, STEP, MAXIMUM)
        assert np.array_equal(sar_model(high, low), mine), "the model is tarnwick's SAR"
        reference = talib.SAR(high, low, STEP, MAXIMUM)
        cells = []
        for values in (
            mine,
            sar_model(high, low, two_bars=True),
            sar_model(high, low, two_bars=True, clamp_reversal=True),
        ):
            off = differing(values, reference)
            worst = np.max(np.abs(values - reference)[off], initial=0.0)
            cells.append(f"{int(off.sum())}/{len(high)} ({worst:.2f})")
        print(f"{symbol:6}" + "".join(f"{c:>16}" for c in cells))


if __name__ == "__main__":
    main()
