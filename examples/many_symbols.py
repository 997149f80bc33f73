"""Compute the three indicators for many symbols in parallel processes.

    python examples/many_symbols.py [FOLDER]

Reads every *.csv in FOLDER (default: the bundled examples/data), one symbol
per file, and computes ADX(14), the Parabolic SAR and the GARCH(1,1) variance
for each in a pool of worker processes, one symbol per task.

Each call holds the interpreter lock for its whole run, so threads give no
speed-up for these functions (calls from many threads are safe, just not
parallel); processes do. The functions pickle by reference, like any
module-level function, so they can also be handed to the pool directly:
pool.map(tarnwick.native_adx, highs, lows, closes, itertools.repeat(14)).
"""

import math
import sys
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import tarnwick
from prices import DATA_DIR, garch_parameters, load_prices, simple_returns


def indicators(path: Path) -> tuple[str, float, float, float, float]:
    """Runs in a worker: the last close, ADX, SAR and volatility of one file."""
    p = load_prices(path)
    adx = tarnwick.native_adx(p.high, p.low, p.close, 14)
    sar = tarnwick.native_parabolic_sar(p.high, p.low, 0.02, 0.2)
    returns = simple_returns(p.close)
    variance = tarnwick.native_garch11_variance(returns, *garch_parameters(returns))
    volatility = 100.0 * math.sqrt(variance[-1] * 252) if variance else math.nan
    return p.name, p.close[-1], adx[-1], sar[-1], volatility


def main() -> None:
    folder = Path(sys.argv[1]) if len(sys.argv) > 1 else DATA_DIR
    files = sorted(folder.glob("*.csv"))
    if not files:
        raise SystemExit(f"no .csv files in {folder}")
    with ProcessPoolExecutor() as pool:
        rows = list(pool.map(indicators, files))
    print(f"{'symbol':<8} {'close':>10} {'ADX(14)':>8} {'SAR':>10} {'vol %/yr':>9}")
    for name, close, adx, sar, vol in rows:
        trend = "up" if sar < close else "down"
        print(f"{name:<8} {close:10.2f} {adx:8.2f} {sar:10.2f} {vol:9.1f}  {trend}")


if __name__ == "__main__":
    main()
