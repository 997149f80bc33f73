"""Replay daily prices bar by bar as a live feed, for several symbols at once.

    python examples/live_feed.py [FOLDER]

Reads every *.csv in FOLDER (default: the bundled examples/data), one symbol
per file, and feeds the bars to tarnwick_stream date by date, as a trading
system would receive them: one update per date for all symbols, with where=
marking the symbols that have a bar that day (a share listed later, such as FB
in the bundled data, has none before its first date). Halfway through, the
streams are checkpointed with pickle and the replay resumes from the
checkpoint, as it would after a restart. At the end every value is checked
against the whole-series functions of tarnwick, bit for bit.
"""

import math
import pickle
import struct
import sys
from pathlib import Path

import numpy as np

import tarnwick
import tarnwick_arrays
import tarnwick_stream
from prices import DATA_DIR, load_prices, simple_returns

# A typical daily GARCH(1,1), the same for every symbol of the stream.
OMEGA, ALPHA, BETA = 2e-6, 0.08, 0.90


def bits(values) -> list[bytes]:
    return [struct.pack("<d", v) for v in values]


def main() -> None:
    folder = Path(sys.argv[1]) if len(sys.argv) > 1 else DATA_DIR
    symbols = [load_prices(path) for path in sorted(folder.glob("*.csv"))]
    if not symbols:
        raise SystemExit(f"no .csv files in {folder}")
    n = len(symbols)
    dates = sorted({d for p in symbols for d in p.dates})
    # Where each symbol's bars are in the feed: row = symbol, column = date.
    at = [{d: i for i, d in enumerate(p.dates)} for p in symbols]

    streams = {
        "ADX(14)": tarnwick_stream.Adx(14, symbols=n),
        "SAR": tarnwick_stream.ParabolicSar(0.02, 0.2, symbols=n),
        "GARCH": tarnwick_stream.Garch11Variance(OMEGA, ALPHA, BETA, symbols=n),
    }
    live = {name: np.full((n, len(dates)), np.nan) for name in streams}
    for t, date in enumerate(dates):
        if t == len(dates) // 2:
            checkpoint = pickle.dumps(streams)
            streams = pickle.loads(checkpoint)  # as a restarted process would
            print(f"checkpoint at {date}: {len(checkpoint)} bytes, resumed from it")
        rows = [a.get(date) for a in at]
        has_bar = np.array([i is not None for i in rows])
        high, low, close = (
            np.array(
                [
                    getattr(p, f)[i] if i is not None else 0.0
                    for p, i in zip(symbols, rows, strict=True)
                ]
            )
            for f in ("high", "low", "close")
        )
        live["ADX(14)"][:, t] = streams["ADX(14)"].update(high, low, close, where=has_bar)
        live["SAR"][:, t] = streams["SAR"].update(high, low, where=has_bar)
        # A return needs the bar before it: none on a symbol's first date.
        has_return = np.array([i is not None and i > 0 for i in rows])
        returns = np.array(
            [
                p.close[i] / p.close[i - 1] - 1.0 if r else 0.0
                for p, i, r in zip(symbols, rows, has_return, strict=True)
            ]
        )
        live["GARCH"][:, t] = streams["GARCH"].update(returns, where=has_return)

    seeds = streams["GARCH"].seed
    print(f"{'symbol':<8} {'bars':>5} {'close':>9} {'ADX(14)':>8} {'SAR':>9} {'vol %/yr':>9}")
    for k, p in enumerate(symbols):
        mine = [t for t, d in enumerate(dates) if d in at[k]]
        returns = simple_returns(p.close)
        batch = {
            "ADX(14)": tarnwick.native_adx(p.high, p.low, p.close, 14),
            "SAR": tarnwick.native_parabolic_sar(p.high, p.low, 0.02, 0.2),
            # The stream seeded itself from its first return; the batch
            # function takes that seed to give the same recursion.
            "GARCH": [
                math.nan,
                *tarnwick_arrays.garch11_variance(
                    np.array(returns), OMEGA, ALPHA, BETA, seed=seeds[k]
                ).tolist(),
            ],
        }
        for name, values in batch.items():
            if bits(live[name][k, mine]) != bits(values):
                raise SystemExit(f"{p.name} {name}: the stream differs from the batch function")
        vol = 100.0 * math.sqrt(live["GARCH"][k, mine[-1]] * 252)
        print(
            f"{p.name:<8} {len(mine):5} {p.close[-1]:9.2f} {live['ADX(14)'][k, mine[-1]]:8.2f} "
            f"{live['SAR'][k, mine[-1]]:9.2f} {vol:9.1f}"
        )
    print("every streamed value equals the batch functions' bit for bit")


if __name__ == "__main__":
    main()
