"""Write the bundled daily price files from the Quandl WIKI Prices extract.

The extract ships in the `bokeh-sampledata` package (version 2026.1), whose
dataset inventory records the data as public domain, with the archived Quandl
publisher notice permitting copying and redistribution. To regenerate the
files in this folder:

    pip install bokeh-sampledata==2026.1
    python examples/data/extract_prices.py

Each file keeps the source's unadjusted daily open, high, low, close and
volume, unchanged, for the two years up to the end of the extract.
"""

import csv
import gzip
import importlib.resources
from pathlib import Path

FIRST_DATE = "2011-03-01"
TICKERS = ("AAPL", "FB", "GOOG", "IBM", "MSFT")
HERE = Path(__file__).resolve().parent


def main() -> None:
    source = importlib.resources.files("bokeh_sampledata") / "_data" / "stocks.csv.gz"
    rows: dict[str, list[list[str]]] = {ticker: [] for ticker in TICKERS}
    with source.open("rb") as raw, gzip.open(raw, "rt", newline="") as text:
        for row in csv.DictReader(text):
            if row["Date"] >= FIRST_DATE:
                rows[row["Ticker"]].append(
                    [row[k] for k in ("Date", "Open", "High", "Low", "Close", "Volume")]
                )
    for ticker, table in rows.items():
        table.sort()
        with open(HERE / f"{ticker}.csv", "w", newline="") as out:
            writer = csv.writer(out, lineterminator="\n")
            writer.writerow(["Date", "Open", "High", "Low", "Close", "Volume"])
            writer.writerows(table)
        print(f"{ticker}: {len(table)} days, {table[0][0]} to {table[-1][0]}")


if __name__ == "__main__":
    main()
