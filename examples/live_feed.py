"""Replay daily prices bar by bar as a live feed, for several symbols at once.

    python examples/live_feed.py [FOLDER]

Reads every *.csv in FOLDER (default: the bundled examples/data), one symbol
per file, as examples/chart.py reads one: the file needs a Date column (dates
line the symbols up), in any order and one date format throughout. It feeds
the bars to tarnwick_stream date by date, in time order, as a trading system
would receive them: one update per date for all symbols, with where= marking
the symbols that have a bar that day (a share listed later, such as FB in the
bundled data, has none before its first date, and a row with a blank price is
a bar the feed never sent). Halfway through, the streams are checkpointed with
pickle and the replay resumes from the checkpoint, as it would after a
restart. At the end every value is checked against the whole-series functions
of tarnwick over each symbol's bars, bit for bit.

One GARCH(1,1) serves every symbol of a stream: omega 2e-6, alpha 0.08, beta
0.90 (chart.py and many_symbols.py set omega per file instead).
"""

import math
import pickle
import struct
import sys
from itertools import pairwise
from pathlib import Path

import numpy as np
import pandas as pd

import tarnwick
import tarnwick_arrays
import tarnwick_stream
from prices import (
    ADX_PERIOD,
    ALPHA,
    BETA,
    DATA_DIR,
    FIXED_OMEGA,
    PRICE_COLUMNS,
    SAR_MAX,
    SAR_STEP,
    Prices,
    bar_interval,
    csv_files,
    fail,
    load_prices,
    print_table,
)

COLUMNS = [("symbol", "<"), ("bars", ">"), ("close", ">"), ("ADX(14)", ">"), ("SAR", ">")]
COLUMNS += [("volatility", ">")]


def feed(path: Path) -> tuple[Prices, list[list[float]]]:
    """One symbol's prices and the High, Low and Close of its bars with every
    price present: the bars the feed sends."""
    p = load_prices(path)
    if not p.dated:
        fail(f"{path} has no Date column: a live feed lines its symbols up by date")
    sent = p.frame.dropna()
    print(p.summary())
    return p, [sent[c].tolist() for c in PRICE_COLUMNS]


def bits(values) -> list[bytes]:
    return [struct.pack("<d", v) for v in values]


def main() -> None:
    files = csv_files(sys.argv[1] if len(sys.argv) > 1 else DATA_DIR)
    loaded = [feed(path) for path in files]
    symbols = [p for p, _ in loaded]
    bars = [b for _, b in loaded]
    n = len(symbols)
    sent = [p.frame.dropna().index for p in symbols]
    dates = sorted(set().union(*sent))  # timestamps: time order, whatever the text
    # Where each symbol's bars are in the feed: row = symbol, column = date.
    at = [{d: i for i, d in enumerate(s)} for s in sent]

    streams = {
        "ADX(14)": tarnwick_stream.Adx(ADX_PERIOD, symbols=n),
        "SAR": tarnwick_stream.ParabolicSar(SAR_STEP, SAR_MAX, symbols=n),
        "GARCH": tarnwick_stream.Garch11Variance(FIXED_OMEGA, ALPHA, BETA, symbols=n),
    }
    live = {name: np.full((n, len(dates)), np.nan) for name in streams}
    for t, date in enumerate(dates):
        if t == len(dates) // 2:
            checkpoint = pickle.dumps(streams)
            streams = pickle.loads(checkpoint)  # as a restarted process would
            print(f"checkpoint at {date:%Y-%m-%d}: {len(checkpoint)} bytes, resumed from it")
        rows = [a.get(date) for a in at]
        has_bar = np.array([i is not None for i in rows])
        high, low, close = (
            np.array([b[f][i] if i is not None else 0.0 for b, i in zip(bars, rows, strict=True)])
            for f in range(3)
        )
        live["ADX(14)"][:, t] = streams["ADX(14)"].update(high, low, close, where=has_bar)
        live["SAR"][:, t] = streams["SAR"].update(high, low, where=has_bar)
        # A return needs the bar before it: none on a symbol's first date.
        has_return = np.array([i is not None and i > 0 for i in rows])
        returns = np.array(
            [
                b[2][i] / b[2][i - 1] - 1.0 if r else 0.0
                for b, i, r in zip(bars, rows, has_return, strict=True)
            ]
        )
        live["GARCH"][:, t] = streams["GARCH"].update(returns, where=has_return)

    seeds = streams["GARCH"].seed
    print(f"GARCH(1,1) for every symbol: omega {FIXED_OMEGA:g}, alpha {ALPHA}, beta {BETA}")
    interval = bar_interval(pd.DatetimeIndex(dates))
    unit = "%/yr" if interval.per_year is not None else "%/bar"
    rows = []
    for k, (p, (high, low, close)) in enumerate(zip(symbols, bars, strict=True)):
        mine = [t for t, d in enumerate(dates) if d in at[k]]
        returns = [b / a - 1.0 for a, b in pairwise(close)]
        batch = {
            "ADX(14)": tarnwick.native_adx(high, low, close, ADX_PERIOD),
            "SAR": tarnwick.native_parabolic_sar(high, low, SAR_STEP, SAR_MAX),
            # The stream seeded itself from its first return; the batch
            # function takes that seed to give the same recursion.
            "GARCH": [
                math.nan,
                *tarnwick_arrays.garch11_variance(
                    np.array(returns), FIXED_OMEGA, ALPHA, BETA, seed=seeds[k]
                ).tolist(),
            ],
        }
        for name, values in batch.items():
            if bits(live[name][k, mine]) != bits(values):
                raise SystemExit(f"{p.name} {name}: the stream differs from the batch function")
        last = mine[-1]
        volatility = interval.volatility(live["GARCH"][k, last : last + 1])[0]
        rows.append(
            [
                p.name,
                str(len(mine)),
                f"{close[-1]:.2f}",
                f"{live['ADX(14)'][k, last]:.2f}",
                f"{live['SAR'][k, last]:.2f}",
                f"{volatility:.1f} {unit}",
            ]
        )
    print_table(COLUMNS, rows)
    print("every streamed value equals the batch functions' bit for bit")


if __name__ == "__main__":
    main()
