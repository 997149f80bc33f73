"""Read OHLC prices from a CSV file the way the README recommends, for the examples.

The file needs a header row naming at least the columns High, Low and Close
(any letter case); Date (or Datetime, Time, Timestamp) is used when present,
and other columns are ignored. The rows are put in date order (a newest-first
file is reversed), and an empty cell or one reading "null", "nan" or "na"
becomes NaN. The indicators then go through tarnwick_arrays with
nan_policy="omit": a bar with a blank price is passed over instead of pulling
ADX down to 0 for good and GARCH to 0 for a stretch, as it would through the
list functions of tarnwick. Every fault in the file ends the example with one
line naming the file, and exit status 2.
"""

import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import NoReturn

import numpy as np
import pandas as pd

import tarnwick_arrays

DATA_DIR = Path(__file__).resolve().parent / "data"
DEFAULT_FILE = DATA_DIR / "AAPL.csv"
PRICE_COLUMNS = ("High", "Low", "Close")
DATE_COLUMNS = ("date", "datetime", "time", "timestamp")
BLANK = ["", "null", "nan", "na", "NULL", "NaN", "NA", "N/A"]

ADX_PERIOD = 14
SAR_STEP, SAR_MAX = 0.02, 0.2
# A typical daily GARCH(1,1) for equity returns. Where one set of parameters
# serves every symbol (a stream, a cluster), omega is this fixed value;
# per file (chart.py, many_symbols.py) omega instead makes the long-run
# variance the file's own mean squared return, which suits any bar interval.
ALPHA, BETA = 0.08, 0.90
FIXED_OMEGA = 2e-6
TRADING_DAYS = 252


class DataError(Exception):
    """A fault in the user's data found where it is read, such as a worker."""


def fail(message: str) -> NoReturn:
    """Ends the example with one line on stderr and exit status 2."""
    print(f"{Path(sys.argv[0]).name}: {message}", file=sys.stderr)
    raise SystemExit(2)


def csv_files(folder: str | Path) -> list[Path]:
    """The *.csv files of a folder, one symbol each, by name."""
    folder = Path(folder)
    if not folder.is_dir():
        fail(f"no such folder: {folder}")
    files = sorted(folder.glob("*.csv"))
    if not files:
        fail(f"no .csv files in {folder}")
    return files


@dataclass
class Prices:
    """One file's prices: High, Low and Close in date order, on a DatetimeIndex
    (or a RangeIndex of bar numbers when the file has no date column)."""

    name: str
    source: Path
    frame: pd.DataFrame
    rows: int
    notes: list[str] = field(default_factory=list)

    @property
    def dated(self) -> bool:
        return isinstance(self.frame.index, pd.DatetimeIndex)

    @property
    def blank(self) -> int:
        """Bars with a blank price, which the indicators pass over."""
        return int(self.frame.isna().any(axis=1).sum())

    def when(self, label: object) -> str:
        """A bar's date (and time, for intraday bars), or its number."""
        if not isinstance(label, pd.Timestamp):
            return f"bar {label}"
        return f"{label:%Y-%m-%d %H:%M}".removesuffix(" 00:00")

    def span(self) -> str:
        if not self.dated or not len(self.frame):
            return f"{len(self.frame)} bars, no dates"
        return f"{self.when(self.frame.index[0])} to {self.when(self.frame.index[-1])}"

    def summary(self) -> str:
        """What was read and what was done to it, in one line."""
        span = f", {self.span()}" if self.dated else ", no dates (bar numbers)"
        done = [f"{self.blank} with a blank price, passed over", *self.notes]
        return f"{self.source.name}: {self.rows} rows{span}; " + "; ".join(done)


def _dates(raw: pd.Series, path: Path) -> pd.DatetimeIndex:
    """The dates of a column of text, ISO 8601 or one other consistent format."""
    for fmt in ("ISO8601", None):
        try:
            return pd.DatetimeIndex(pd.to_datetime(raw, format=fmt))
        except (ValueError, TypeError):
            continue
    parsed = pd.to_datetime(raw, errors="coerce", format="mixed")
    bad = int(np.flatnonzero(parsed.isna().to_numpy())[0]) if parsed.isna().any() else 0
    fail(
        f"cannot read the date {raw.iloc[bad]!r} on line {bad + 2} of {path}: "
        "write dates as YYYY-MM-DD (or one format throughout the file)"
    )


def load_prices(path: str | Path) -> Prices:
    path = Path(path)
    if not path.is_file():
        fail(f"no such file: {path}")
    try:
        table = pd.read_csv(path, dtype=str, keep_default_na=False, skip_blank_lines=True)
    except (pd.errors.ParserError, pd.errors.EmptyDataError, UnicodeDecodeError) as e:
        fail(f"cannot read {path} as CSV: {str(e).strip().splitlines()[0]}")
    names = {str(c).strip().lower(): c for c in table.columns}
    missing = [c for c in PRICE_COLUMNS if c.lower() not in names]
    if missing:
        have = ", ".join(map(str, table.columns)) or "none"
        fail(f"{path} has no {', '.join(missing)} column (its columns: {have})")
    prices = pd.DataFrame(index=table.index)
    for c in PRICE_COLUMNS:
        cells = table[names[c.lower()]].str.strip().replace(BLANK, None)
        values = pd.to_numeric(cells, errors="coerce")
        wrong = values.isna() & cells.notna()
        if wrong.any():
            row = int(np.flatnonzero(wrong.to_numpy())[0])
            fail(f"{c} on line {row + 2} of {path} is not a number: {cells.iloc[row]!r}")
        prices[c] = values.astype("float64")

    notes = []
    date_column = next((names[c] for c in DATE_COLUMNS if c in names), None)
    if date_column is not None:
        prices.index = _dates(table[date_column].str.strip(), path)
        prices.index.name = "Date"
        if prices.index.has_duplicates:
            fail(f"{path} has the date {prices.index[prices.index.duplicated()][0]} twice")
        if not prices.index.is_monotonic_increasing:
            if prices.index.is_monotonic_decreasing:
                notes.append("reversed to oldest first (the file is newest-first)")
            else:
                notes.append("sorted by date (the file is out of order)")
            prices = prices.sort_index(kind="stable")
    return Prices(path.stem, path, prices, len(prices), notes)


def simple_returns(close: pd.Series) -> pd.Series:
    """Bar-on-bar returns from each close to the next one that is not blank, on
    the later bar; NaN on the first bar and on bars with a blank close."""
    present = close.dropna()
    return (present / present.shift(1) - 1.0).reindex(close.index)


def mean_square_omega(returns: pd.Series) -> float:
    """omega that makes the long-run variance omega / (1 - alpha - beta) the
    mean squared return, ignoring NaN."""
    mean_square = float(np.nanmean(returns.to_numpy() ** 2)) if returns.notna().any() else 1e-4
    return (1.0 - ALPHA - BETA) * mean_square


def indicators(p: Prices) -> pd.DataFrame:
    """ADX(14) with +DI and -DI, Parabolic SAR (0.02, 0.2) with its trend
    (+1 rising, -1 falling), the GARCH(1,1) variance of the returns (omega
    from the file's own mean squared return) and the return itself, one row
    per bar; NaN on bars passed over."""
    high, low, close = (p.frame[c] for c in PRICE_COLUMNS)
    returns = simple_returns(close)
    omega = mean_square_omega(returns)
    dm = tarnwick_arrays.directional_movement(high, low, close, ADX_PERIOD, nan_policy="omit")
    stops = tarnwick_arrays.parabolic_sar_trend(high, low, SAR_STEP, SAR_MAX, nan_policy="omit")
    return pd.DataFrame(
        {
            "adx": dm.adx,
            "plus_di": dm.plus_di,
            "minus_di": dm.minus_di,
            "sar": stops.sar,
            "trend": stops.trend,
            # Each variance uses the return into its own bar: the forecast
            # for the next one.
            "variance": tarnwick_arrays.garch11_variance(
                returns, omega, ALPHA, BETA, nan_policy="omit"
            ),
            "return": returns,
        }
    ).assign(omega=omega)


@dataclass
class Interval:
    """How to turn a per-bar variance into volatility: bars per year and a label."""

    per_year: float | None
    label: str

    def volatility(self, variance: pd.Series | np.ndarray) -> np.ndarray:
        """Volatility in percent: a year's with per_year, else a bar's."""
        scale = self.per_year if self.per_year is not None else 1.0
        return 100.0 * np.sqrt(np.asarray(variance, dtype="float64") * scale)


def bar_interval(index: pd.Index) -> Interval:
    """The bar interval, from the typical gap between dates: daily bars make
    252 a year, weekly 52, monthly 12; intraday bars the typical number of
    bars a day times 252. Without dates, volatility stays per bar."""
    if not isinstance(index, pd.DatetimeIndex) or len(index) < 3:
        return Interval(None, "volatility per bar, %")
    gap = pd.Series(index).diff().median()
    if gap < pd.Timedelta(hours=20):
        per_day = float(pd.Series(index.normalize()).value_counts().median())
        return Interval(per_day * TRADING_DAYS, f"volatility, %/yr ({per_day:g} bars a day x 252)")
    for limit, per_year, name in (
        (pd.Timedelta(days=5), TRADING_DAYS, "daily"),
        (pd.Timedelta(days=10), 52, "weekly"),
        (pd.Timedelta(days=40), 12, "monthly"),
    ):
        if gap < limit:
            return Interval(per_year, f"volatility, %/yr ({name} bars x {per_year})")
    return Interval(None, "volatility per bar, %")


def print_table(columns: list[tuple[str, str]], rows: list[list[str]]) -> None:
    """Rows of cells under a header, each column as wide as its widest cell;
    columns are (name, "<" or ">") for left or right alignment."""
    header = [name for name, _ in columns]
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(columns))]
    for row in [header, *rows]:
        cells = (f"{c:{a}{w}}" for c, (_, a), w in zip(row, columns, widths, strict=True))
        print("  ".join(cells).rstrip())
