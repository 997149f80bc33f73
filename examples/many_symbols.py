"""Compute the three indicators for many symbols in parallel processes.

    python examples/many_symbols.py [FOLDER]

Reads every *.csv in FOLDER (default: the bundled examples/data), one symbol
per file named after it, as examples/chart.py reads one (date order, blank
prices passed over), and computes ADX(14), the Parabolic SAR (0.02, 0.2) and
the GARCH(1,1) volatility (alpha 0.08, beta 0.90, omega from each file's own
mean squared return, as chart.py) for each in a pool of worker processes, one
symbol per task. Every file is read in this process first, so a fault in one
ends the run with one line naming it before any work starts.

Processes suit the list functions of tarnwick, which hold the interpreter lock
for their whole run; tarnwick_arrays, used here, lets go of it for inputs of
4,096 values or more, so threads serve as well for long series.
"""

import sys
from concurrent.futures import ProcessPoolExecutor

from prices import (
    DATA_DIR,
    Prices,
    bar_interval,
    csv_files,
    indicators,
    load_prices,
    print_table,
)

COLUMNS = [("symbol", "<"), ("last bar", "<"), ("close", ">"), ("ADX(14)", ">"), ("SAR", ">")]
COLUMNS += [("trend", "<"), ("volatility", ">")]


def last_values(p: Prices) -> list[str]:
    """Runs in a worker: one symbol's last bar, as the table's cells."""
    values = indicators(p)
    last = p.frame["Close"].last_valid_index()
    if last is None:
        return [p.name, "no prices", *[""] * (len(COLUMNS) - 2)]
    close, sar = p.frame["Close"][last], values["sar"][last]
    interval = bar_interval(p.frame.index)
    volatility = interval.volatility(values["variance"].loc[[last]])[0]
    unit = "%/yr" if interval.per_year is not None else "%/bar"
    # The SAR sits below the price in a rising trend and above it in a falling one.
    trend = "rising" if sar < close else "falling"
    cells = [f"{close:.2f}", f"{values['adx'][last]:.2f}", f"{sar:.2f}", trend]
    return [p.name, p.when(last), *cells, f"{volatility:.1f} {unit}"]


def main() -> None:
    files = csv_files(sys.argv[1] if len(sys.argv) > 1 else DATA_DIR)
    symbols = [load_prices(path) for path in files]
    for p in symbols:
        print(p.summary())
    with ProcessPoolExecutor() as pool:
        rows = list(pool.map(last_values, symbols))
    print_table(COLUMNS, rows)


if __name__ == "__main__":
    main()
