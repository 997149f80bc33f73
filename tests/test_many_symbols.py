"""Many series at once: worker processes and threads give the in-process results."""

import itertools
import pathlib
import multiprocessing
import pickle
import random
import subprocess
import sys
import textwrap
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import pytest

from exact import raw_bits

import tarnwick



def symbol(seed, n=300):
    """A reproducible random-walk OHLC series with its returns."""
    rng = random.Random(seed)
    close, high, low = [], [], []
    price = 100.0
    for _ in range(n):
        step = rng.gauss(0.0, 0.015)
        new = price * (1.0 + step)
        high.append(max(price, new) * (1.0 + abs(rng.gauss(0.0, 0.005))))
        low.append(min(price, new) * (1.0 - abs(rng.gauss(0.0, 0.005))))
        close.append(new)
        price = new
    returns = [b / a - 1.0 for a, b in zip(close, close[1:])]
    return high, low, close, returns


def indicators(high, low, close, returns):
    return (
        tarnwick.native_adx(high, low, close, 14),
        tarnwick.native_parabolic_sar(high, low, 0.02, 0.2),
        tarnwick.native_garch11_variance(returns, 1e-06, 0.08, 0.9),
    )


SYMBOLS = [symbol(seed) for seed in range(24)]


def test_functions_pickle_by_reference():
    for func in (tarnwick.native_adx, tarnwick.native_parabolic_sar, tarnwick.native_garch11_variance):
        assert pickle.loads(pickle.dumps(func)) is func


@pytest.mark.parametrize("method", multiprocessing.get_all_start_methods())
def test_process_pool_matches_in_process(method):
    expected = [indicators(*s) for s in SYMBOLS]
    highs, lows, closes, returns = zip(*SYMBOLS)
    with ProcessPoolExecutor(max_workers=2, mp_context=multiprocessing.get_context(method)) as pool:
        # The functions themselves go to the workers, one task per symbol.
        adx = pool.map(tarnwick.native_adx, highs, lows, closes, itertools.repeat(14))
        sar = pool.map(tarnwick.native_parabolic_sar, highs, lows, itertools.repeat(0.02), itertools.repeat(0.2))
        var = pool.map(
            tarnwick.native_garch11_variance, returns,
            itertools.repeat(1e-06), itertools.repeat(0.08), itertools.repeat(0.9),
        )
        got = list(zip(adx, sar, var))
    assert len(got) == len(expected)
    for mine, theirs in zip(got, expected):
        assert [raw_bits(r) for r in mine] == [raw_bits(r) for r in theirs]


def test_threads_match_sequential():
    expected = [indicators(*s) for s in SYMBOLS]
    with ThreadPoolExecutor(max_workers=8) as pool:
        for _ in range(3):
            got = list(pool.map(lambda s: indicators(*s), SYMBOLS))
            assert [[raw_bits(r) for r in g] for g in got] == [[raw_bits(r) for r in e] for e in expected]


def test_first_calls_from_many_threads_at_once():
    # In a fresh interpreter, the first failed conversion makes values that are
    # kept for later calls; many threads reach that point together here.
    script = textwrap.dedent(
        """
        import threading, tarnwick
        start = threading.Barrier(16)
        seen = []
        def work():
            start.wait()
            for _ in range(50):
                try:
                    tarnwick.native_garch11_variance({}, 0.0, 0.1, 0.8)
                except TypeError as e:
                    seen.append((str(e), tuple(e.__notes__)))
                assert tarnwick.native_garch11_variance([0.03], 1e-05, 0.1, 0.85) == [0.0008649999999999999]
        threads = [threading.Thread(target=work) for _ in range(16)]
        for t in threads: t.start()
        for t in threads: t.join()
        print(len(seen), sorted(set(seen)))
        """
    )
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == (
        "800 [(\"'dict' object is not an instance of 'Sequence'\", (\"while processing 'returns'\",))]"
    )


def test_many_symbols_example(tmp_path):
    root = pathlib.Path(__file__).resolve().parent.parent
    proc = subprocess.run(
        [sys.executable, str(root / "examples" / "many_symbols.py")],
        cwd=tmp_path, capture_output=True, text=True, timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    rows = proc.stdout.splitlines()[1:]
    assert [r.split()[0] for r in rows] == ["AAPL", "FB", "GOOG", "IBM", "MSFT"]
    assert all(r.split()[-1] in ("up", "down") for r in rows)
