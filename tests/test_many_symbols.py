"""Many series at once: worker processes and threads give the in-process results."""

import multiprocessing
import pickle
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import pytest

from exact import bits
from registry import FUNCTIONS, NAMES
from support import price_bars


def symbol(seed, n=300):
    """A reproducible random-walk OHLC series with its returns, by parameter name."""
    return {k: v.tolist() for k, v in price_bars(n, seed).items()}


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
