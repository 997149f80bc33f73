"""Fit GARCH(1,1) to every symbol at once and forecast 20 days of volatility.

    python examples/fit_universe.py [FOLDER]

Reads every *.csv in FOLDER (default: the bundled examples/data), one symbol
per file, lines the closes up by date into one dates x symbols panel (NaN
where a symbol has no price that day), and fits all the symbols in one
garch11_fit call with axis=0 (a column per symbol) and nan_policy="omit"
(each symbol's own returns, its missing days left out). Returns are demeaned
first: the model is of zero-mean returns. Prints the estimates, whether each
fit converged, and the annualised volatility today and 20 trading days ahead.
"""

import math
import sys
from pathlib import Path

import numpy as np
import pandas as pd

import tarnwick_arrays as ta
from prices import DATA_DIR, csv_files, load_prices

HORIZON = 20


def returns_panel(folder: Path) -> tuple[list[str], np.ndarray]:
    """Daily log returns, dates x symbols, NaN where a symbol has none."""
    prices = [load_prices(path) for path in csv_files(folder)]
    for p in prices:
        print(p.summary(), file=sys.stderr)
    # One row per date any symbol has, in date order.
    close = pd.concat({p.name: p.frame["Close"] for p in prices}, axis=1).sort_index()
    r = np.diff(np.log(close.to_numpy()), axis=0)
    return [p.name for p in prices], r - np.nanmean(r, axis=0)


def main() -> None:
    folder = Path(sys.argv[1]) if len(sys.argv) > 1 else DATA_DIR
    names, r = returns_panel(folder)
    fit = ta.garch11_fit(r, axis=0, nan_policy="omit")
    # The last fitted variance of each symbol (which already contains its
    # last return), from the seed the fit used; then the forecasts.
    last = np.array(
        [
            ta.garch11_variance(
                r[:, j][~np.isnan(r[:, j])],
                fit.omega[j],
                fit.alpha[j],
                fit.beta[j],
                seed=fit.seed[j],
            )[-1]
            for j in range(len(names))
        ]
    )
    forecast = ta.garch11_forecast(last[:, None], fit.omega, fit.alpha, fit.beta, HORIZON)
    print(
        f"{'symbol':8}{'omega':>11}{'alpha':>8}{'beta':>8}{'loglik':>10}  converged"
        f"{'vol now':>9}{f'vol +{HORIZON}d':>10}"
    )
    for j, name in enumerate(names):
        now, ahead = (100 * math.sqrt(252 * v) for v in (forecast[j, 0], forecast[j, -1]))
        print(
            f"{name:8}{fit.omega[j]:11.3g}{fit.alpha[j]:8.4f}{fit.beta[j]:8.4f}"
            f"{fit.loglik[j]:10.2f}  {'yes' if fit.converged[j] else 'no':9}"
            f"{now:8.1f}%{ahead:9.1f}%"
        )


if __name__ == "__main__":
    main()
