"""Every script in examples/ runs, in a fresh interpreter, on small inputs."""

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
    out = run_fresh(None, str(EXAMPLES / "array_threads.py"), "7", "300")
    assert out.splitlines()[0] == "ADX(14) of 7 symbols x 300 bars"


def test_many_symbols(tmp_path):
    folder = small_prices(tmp_path / "prices")
    rows = run_fresh(
        None, str(EXAMPLES / "many_symbols.py"), str(folder), cwd=tmp_path
    ).splitlines()
    assert [r.split()[0] for r in rows[1:]] == ["AAPL", "FB", "GOOG", "IBM", "MSFT"]
    assert all(r.split()[-1] in ("up", "down") for r in rows[1:])


def test_chart(tmp_path):
    pytest.importorskip("matplotlib")
    prices = small_prices(tmp_path / "prices") / "IBM.csv"
    chart = tmp_path / "chart.png"
    out = run_fresh(
        None, str(EXAMPLES / "chart.py"), str(prices), "--out", str(chart), cwd=tmp_path
    )
    assert out.startswith("IBM, 60 bars; last bar ")
    assert chart.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_live_feed(tmp_path):
    pytest.importorskip("numpy")
    folder = small_prices(tmp_path / "prices")
    rows = run_fresh(None, str(EXAMPLES / "live_feed.py"), str(folder), cwd=tmp_path).splitlines()
    assert rows[0].startswith("checkpoint at ")
    assert [r.split()[0] for r in rows[2:-1]] == ["AAPL", "FB", "GOOG", "IBM", "MSFT"]
    assert rows[-1] == "every streamed value equals the batch functions' bit for bit"


def test_dask_universe(tmp_path):
    pytest.importorskip("dask.distributed")
    pd = pytest.importorskip("pandas")
    import numpy as np

    import tarnwick_arrays as ta

    out = run_fresh(
        None,
        str(EXAMPLES / "dask_universe.py"),
        "--workers",
        "2",
        "--out",
        "result",
        cwd=tmp_path,
    )
    assert out.splitlines()[0] == "5 symbols, 2,212 bars, on a LocalCluster of 2 worker processes"
    for source in sorted((EXAMPLES / "data").glob("*.csv")):
        prices = pd.read_csv(source)
        high, low, close = (prices[c].to_numpy() for c in ("High", "Low", "Close"))
        result = pd.read_parquet(tmp_path / "result" / f"symbol={source.stem}")
        variance = ta.garch11_variance(close[1:] / close[:-1] - 1.0, 1e-6, 0.08, 0.90)
        for column, expected in [
            ("adx", ta.adx(high, low, close, 14)),
            ("sar", ta.parabolic_sar(high, low, 0.02, 0.2)),
            ("variance", np.concatenate([[np.nan], variance])),
        ]:
            assert result[column].to_numpy().tobytes() == expected.tobytes(), (source, column)


def test_fit_universe(tmp_path):
    pytest.importorskip("numpy")
    folder = small_prices(tmp_path / "prices")
    rows = run_fresh(None, str(EXAMPLES / "fit_universe.py"), str(folder), cwd=tmp_path)
    rows = rows.splitlines()
    assert rows[0].split()[:2] == ["symbol", "omega"]
    assert [r.split()[0] for r in rows[1:]] == ["AAPL", "FB", "GOOG", "IBM", "MSFT"]
    assert all(r.split()[5] in ("yes", "no") and r.endswith("%") for r in rows[1:])
