"""Many series at once: worker processes and threads give the in-process results."""

import multiprocessing
import pickle
import random
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
from itertools import pairwise

import pytest

from exact import bits
from registry import FUNCTIONS, NAMES


def symbol(seed, n=300):
    """A reproducible random-walk OHLC series with its returns, by parameter name."""
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
    returns = [b / a - 1.0 for a, b in pairwise(close)]
    return {"high": high, "low": low, "close": close, "returns": returns}


def indicators(series):
    return [bits(f.native(*f.call_on(series))) for f in FUNCTIONS]


SYMBOLS = [symbol(seed) for seed in range(24)]


@pytest.mark.parametrize("function", FUNCTIONS, ids=NAMES)
def test_functions_pickle_by_reference(function):
    assert pickle.loads(pickle.dumps(function.native)) is function.native


@pytest.mark.parametrize("method", multiprocessing.get_all_start_methods())
def test_process_pool_matches_in_process(method):
    expected = [indicators(s) for s in SYMBOLS]
    with ProcessPoolExecutor(max_workers=2, mp_context=multiprocessing.get_context(method)) as pool:
        # The functions themselves go to the workers, one task per symbol.
        results = [
            pool.map(f.native, *zip(*(f.call_on(s) for s in SYMBOLS), strict=True))
            for f in FUNCTIONS
        ]
        got = [[bits(r) for r in per_symbol] for per_symbol in zip(*results, strict=True)]
    assert got == expected


def test_threads_match_sequential():
    expected = [indicators(s) for s in SYMBOLS]
    with ThreadPoolExecutor(max_workers=8) as pool:
        for _ in range(3):
            assert list(pool.map(indicators, SYMBOLS)) == expected
