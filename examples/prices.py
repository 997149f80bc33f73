"""Read daily OHLC prices from a CSV file, for the examples.

The file needs a header row naming at least the columns High, Low and Close
(any letter case); Date and Open are used when present, and other columns are
ignored. An empty cell or one reading "null" or "nan" becomes NaN, which the
indicators handle as their reference describes.
"""

import csv
import math
from dataclasses import dataclass
from itertools import pairwise
from pathlib import Path

DATA_DIR = Path(__file__).resolve().parent / "data"
DEFAULT_FILE = DATA_DIR / "AAPL.csv"


@dataclass
class Prices:
    name: str
    dates: list[str]
    high: list[float]
    low: list[float]
    close: list[float]


def _number(cell: str) -> float:
    cell = cell.strip()
    if cell.lower() in ("", "null", "nan", "na"):
        return math.nan
    return float(cell)


def load_prices(path: str | Path) -> Prices:
    path = Path(path)
    with open(path, newline="") as f:
        reader = csv.reader(f)
        header = [name.strip().lower() for name in next(reader, [])]
        missing = [c for c in ("high", "low", "close") if c not in header]
        if missing:
            raise SystemExit(f"{path}: no column named {', '.join(missing)} in the header row")
        hi, lo, cl = (header.index(c) for c in ("high", "low", "close"))
        dt = header.index("date") if "date" in header else None
        prices = Prices(path.stem, [], [], [], [])
        for number, row in enumerate(reader, start=2):
            if not row:
                continue
            try:
                prices.high.append(_number(row[hi]))
                prices.low.append(_number(row[lo]))
                prices.close.append(_number(row[cl]))
            except (ValueError, IndexError) as e:
                raise SystemExit(f"{path}, line {number}: {e}") from None
            prices.dates.append(row[dt] if dt is not None else str(number - 2))
    return prices


def simple_returns(close: list[float]) -> list[float]:
    """Day-on-day returns: one fewer than there are closes."""
    return [b / a - 1.0 for a, b in pairwise(close)]


def garch_parameters(returns: list[float]) -> tuple[float, float, float]:
    """omega, alpha and beta for a typical daily GARCH(1,1).

    alpha and beta are common values for daily equity returns; omega makes
    the long-run variance omega / (1 - alpha - beta) equal to the mean squared
    return of the series, ignoring NaN.
    """
    alpha, beta = 0.08, 0.90
    squares = [r * r for r in returns if not math.isnan(r)]
    mean_square = sum(squares) / len(squares) if squares else 1e-4
    return (1.0 - alpha - beta) * mean_square, alpha, beta
