"""Every script in examples/ runs, in a fresh interpreter, on small inputs."""

import os
import pathlib

import pytest

from support import run_fresh

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
HELPERS = {"prices.py"}  # imported by the scripts, not run


def small_prices(folder, bars=60):
    """The first `bars` rows of each bundled price file, in `folder`."""
    folder.mkdir()
    for source in sorted((EXAMPLES / "data").glob("*.csv")):
        lines = source.read_text().splitlines(keepends=True)[: bars + 1]
        (folder / source.name).write_text("".join(lines))
    return folder


def test_every_script_is_run_here():
    scripts = {p.name for p in EXAMPLES.glob("*.py")} - HELPERS
    tested = {name.removeprefix("test_") + ".py" for name in globals() if name.startswith("test_")}
    assert scripts <= tested


def test_quickstart():
    rows = run_fresh(None, str(EXAMPLES / "quickstart.py")).splitlines()
    assert rows[0].split() == ["bar", "close", "ADX(3)", "SAR", "GARCH", "var"]
    assert [r.split()[0] for r in rows[1:]] == [str(i) for i in range(8)]


def test_array_threads():
    pytest.importorskip("numpy")
    out = run_fresh(None, str(EXAMPLES / "array_threads.py"), "7", "300", "3")
    rows = out.splitlines()
    assert rows[0] == "ADX(14) of 7 symbols x 300 bars, best and median of 3"
    assert [r.split(":")[0].strip() for r in rows[1:4]] == [
        "one call",
        f"{os.cpu_count() or 1} threads, {os.cpu_count() or 1} blocks",
        "one call / threads",
    ]


def odd_copy(folder, kind, bars=60):
    """IBM's first `bars` rows written to folder/IBM.csv as a user's own file
    might have them: "plain", "reversed" (newest first), "us_dates"
    (MM/DD/YYYY), "blank_row" (a row with a date but no prices, at the end),
    "intraday" (5-minute bars, 12 a day), "no_date" (no Date column),
    "no_close" (no Close column) or "bad_date" (a date that is not one)."""
    lines = (EXAMPLES / "data" / "IBM.csv").read_text().splitlines()[: bars + 1]
    header, rows = lines[0], [r.split(",") for r in lines[1:]]
    if kind == "reversed":
        rows.reverse()
    elif kind == "us_dates":
        for r in rows:
            year, month, day = r[0].split("-")
            r[0] = f"{month}/{day}/{year}"
    elif kind == "blank_row":
        rows.append(["2011-04-09", "", "", "", "", ""])  # a Saturday, out of order
    elif kind == "intraday":
        for i, r in enumerate(rows):
            day, slot = divmod(i, 12)
            r[0] = f"2011-03-{day + 1:02}T09:{slot * 5:02}"
    elif kind in ("no_date", "no_close"):
        drop = 0 if kind == "no_date" else 4
        header = ",".join(h for i, h in enumerate(header.split(",")) if i != drop)
        rows = [[c for i, c in enumerate(r) if i != drop] for r in rows]
    elif kind == "bad_date":
        rows[7][0] = "2011-13-45"
    folder.mkdir(exist_ok=True)
    path = folder / "IBM.csv"
    path.write_text("\n".join([header, *(",".join(r) for r in rows)]) + "\n")
    return path


def run_example(script, *args, cwd):
    return run_fresh(None, str(EXAMPLES / script), *args, cwd=cwd, check=False)


def test_many_symbols(tmp_path):
    pytest.importorskip("pandas")
    folder = small_prices(tmp_path / "prices")
    (folder / "IBM.csv").rename(folder / "A_LONG_SYMBOL_NAME.csv")
    proc = run_example("many_symbols.py", str(folder), cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    rows = proc.stdout.splitlines()[5:]
    names = ["AAPL", "A_LONG_SYMBOL_NAME", "FB", "GOOG", "MSFT"]
    assert [r.split()[0] for r in rows[1:]] == names
    header = "symbol last bar close ADX(14) SAR trend volatility"
    assert rows[0].split() == header.split()
    # Every column lines up under its header, whatever a symbol's length:
    # left-aligned ones start, right-aligned ones end, where their name does.
    starts = [rows[0].index(n) for n in ("last bar", "trend")]
    ends = [rows[0].index(n) + len(n) for n in ("close", "ADX(14)", "SAR", "volatility")]
    assert all(r[i - 1] == " " != r[i] for r in rows for i in starts)
    assert all(r[i - 1] != " " and r[i : i + 1] in (" ", "") for r in rows for i in ends)
    assert all(r.split()[5] in ("rising", "falling") for r in rows[1:])


def chart(path, tmp_path):
    """chart.py's two printed lines for `path`, after checking it drew a PNG."""
    png = tmp_path / "chart.png"
    png.unlink(missing_ok=True)
    proc = run_example("chart.py", str(path), "--out", str(png), cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    return proc.stdout.splitlines()[:2]


@pytest.mark.parametrize(
    ("kind", "note"),
    [
        ("plain", "0 with a blank price, passed over"),
        ("reversed", "reversed to oldest first (the file is newest-first)"),
        ("us_dates", "0 with a blank price, passed over"),
        ("blank_row", "sorted by date (the file is out of order)"),
    ],
)
def test_chart(kind, note, tmp_path):
    pytest.importorskip("matplotlib")
    plain = chart(odd_copy(tmp_path / "plain", "plain"), tmp_path)
    summary, last = chart(odd_copy(tmp_path / kind, kind), tmp_path)
    assert plain[0] == (
        "IBM.csv: 60 rows, 2011-03-01 to 2011-05-24; 0 with a blank price, passed over"
    )
    assert note in summary.split("; ")
    # The same bars in another order or spelling, or with a blank row passed
    # over, give the very same last values.
    assert last == plain[1]
    assert last.startswith("IBM, last bar 2011-05-24: close ")
    if kind == "blank_row":
        assert "1 with a blank price, passed over" in summary


def last_volatility(line):
    return float(line.split("volatility ")[1].split()[0]), line.split()[-1]


def test_chart_volatility_follows_the_bar_interval(tmp_path):
    pytest.importorskip("matplotlib")
    daily = chart(odd_copy(tmp_path / "daily", "plain"), tmp_path)
    intraday = chart(odd_copy(tmp_path / "intraday", "intraday"), tmp_path)
    undated = chart(odd_copy(tmp_path / "undated", "no_date"), tmp_path)
    assert intraday[0].startswith("IBM.csv: 60 rows, 2011-03-01 09:00 to 2011-03-05 09:55; ")
    assert undated[0].startswith("IBM.csv: 60 rows, no dates (bar numbers); ")
    (vol_daily, unit_daily), (vol_intraday, unit), (vol_bar, unit_bar) = (
        last_volatility(out[1]) for out in (daily, intraday, undated)
    )
    assert (unit_daily, unit, unit_bar) == ("%/yr", "%/yr", "bar")
    # The same variance: 252 daily bars a year, 12 * 252 five-minute bars, one bar.
    assert vol_intraday == pytest.approx(vol_daily * 12**0.5, abs=0.2)
    assert vol_bar == pytest.approx(vol_daily / 252**0.5, abs=0.06)


def test_chart_refuses_an_out_in_no_folder(tmp_path):
    pytest.importorskip("matplotlib")
    proc = run_example("chart.py", "--out", "nowhere/chart.png", cwd=tmp_path)
    assert (proc.returncode, proc.stderr) == (2, "chart.py: no such folder for --out: nowhere\n")


BAD_FILES = [
    ("no_close", "has no Close column (its columns: Date, Open, High, Low, Volume)"),
    ("bad_date", "cannot read the date '2011-13-45' on line 9 of "),
    ("missing", "no such file: "),
]


@pytest.mark.parametrize(("kind", "message"), BAD_FILES, ids=[k for k, _ in BAD_FILES])
@pytest.mark.parametrize("script", ["chart.py", "many_symbols.py", "live_feed.py"])
def test_a_bad_file_ends_with_one_line_and_status_2(script, kind, message, tmp_path):
    pytest.importorskip("pandas")
    if script == "chart.py":
        pytest.importorskip("matplotlib")
    folder = tmp_path / "prices"
    path = odd_copy(folder, "plain" if kind == "missing" else kind)
    if kind == "missing":
        path.unlink()
        folder = tmp_path / "no such folder"
    proc = run_example(script, str(path if script == "chart.py" else folder), cwd=tmp_path)
    assert proc.returncode == 2, proc.stdout + proc.stderr
    if kind == "missing" and script != "chart.py":
        message = "no such folder: "
    assert proc.stderr.startswith(f"{script}: ")
    assert message in proc.stderr
    assert len(proc.stderr.splitlines()) == 1, proc.stderr


@pytest.mark.parametrize("kind", ["plain", "reversed", "us_dates", "blank_row"])
def test_live_feed(kind, tmp_path):
    pytest.importorskip("pandas")
    folder = small_prices(tmp_path / "prices")
    odd_copy(folder, kind)
    proc = run_example("live_feed.py", str(folder), cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    rows = proc.stdout.splitlines()
    assert [r.split(":")[0] for r in rows[:5]] == [
        f"{s}.csv" for s in ("AAPL", "FB", "GOOG", "IBM", "MSFT")
    ]
    assert rows[5].startswith("checkpoint at 2012-05-18: ")
    assert rows[6] == "GARCH(1,1) for every symbol: omega 2e-06, alpha 0.08, beta 0.9"
    assert [r.split()[0] for r in rows[8:-1]] == ["AAPL", "FB", "GOOG", "IBM", "MSFT"]
    # A row without prices is a bar the feed never sent.
    assert rows[8 + 3].split()[1] == "60"
    assert rows[-1] == "every streamed value equals the batch functions' bit for bit"


def test_live_feed_needs_dates(tmp_path):
    pytest.importorskip("pandas")
    folder = tmp_path / "prices"
    odd_copy(folder, "no_date")
    proc = run_example("live_feed.py", str(folder), cwd=tmp_path)
    assert (proc.returncode, proc.stderr) == (
        2,
        f"live_feed.py: {folder / 'IBM.csv'} has no Date column: "
        "a live feed lines its symbols up by date\n",
    )


def test_dask_universe(tmp_path):
    pytest.importorskip("dask.distributed")
    pd = pytest.importorskip("pandas")
    import numpy as np

    import tarnwick_arrays as ta

    # A result already there, as a rerun finds it: replaced, not appended to.
    stale = tmp_path / "result" / "symbol=AAPL"
    stale.mkdir(parents=True)
    pd.DataFrame({"Date": [pd.Timestamp("2000-01-03")], "adx": [1.0]}).to_parquet(
        stale / "stale.parquet"
    )
    proc = run_example("dask_universe.py", "--workers", "2", "--out", "result", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines()[0] == (
        "5 symbols, 2,212 bars, on a LocalCluster of 2 worker processes"
    )
    # Each slow step says what it is doing before it starts.
    assert proc.stderr.splitlines()[:2] == [
        "writing the bundled prices as Parquet",
        "starting a LocalCluster of 2 worker processes",
    ]
    for source in sorted((EXAMPLES / "data").glob("*.csv")):
        prices = pd.read_csv(source)
        high, low, close = (prices[c].to_numpy() for c in ("High", "Low", "Close"))
        result = pd.read_parquet(tmp_path / "result" / f"symbol={source.stem}")
        variance = ta.garch11_variance(close[1:] / close[:-1] - 1.0, 2e-6, 0.08, 0.90)
        for column, expected in [
            ("adx", ta.adx(high, low, close, 14)),
            ("sar", ta.parabolic_sar(high, low, 0.02, 0.2)),
            ("variance", np.concatenate([[np.nan], variance])),
        ]:
            assert result[column].to_numpy().tobytes() == expected.tobytes(), (source, column)


def test_dask_universe_names_the_partition_without_a_column(tmp_path):
    pytest.importorskip("dask.distributed")
    pd = pytest.importorskip("pandas")
    for symbol, columns in [("GOOD", ["Date", "High", "Low", "Close"]), ("BAD", ["Date", "High"])]:
        folder = tmp_path / "prices" / f"symbol={symbol}"
        folder.mkdir(parents=True)
        frame = pd.DataFrame({c: [1.0, 2.0] for c in columns[1:]})
        frame.insert(0, "Date", pd.bdate_range("2024-01-01", periods=2))
        frame.to_parquet(folder / "part.parquet")
    proc = run_example("dask_universe.py", "prices", "--workers", "1", cwd=tmp_path)
    assert proc.returncode == 2, proc.stdout + proc.stderr
    assert proc.stderr.splitlines()[-1] == (
        "dask_universe.py: partition prices/symbol=BAD has no Low, Close column"
    )


def test_fit_universe(tmp_path):
    pytest.importorskip("pandas")
    folder = small_prices(tmp_path / "prices")
    rows = run_fresh(None, str(EXAMPLES / "fit_universe.py"), str(folder), cwd=tmp_path)
    rows = rows.splitlines()
    assert rows[0].split()[:2] == ["symbol", "omega"]
    assert [r.split()[0] for r in rows[1:]] == ["AAPL", "FB", "GOOG", "IBM", "MSFT"]
    assert all(r.split()[5] in ("yes", "no") and r.endswith("%") for r in rows[1:])
