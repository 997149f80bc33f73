"""A GARCH stream of many symbols with each symbol's own numbers, as a fitted
panel gives them: bit for bit the panel's variance and forecasts; wrong
lengths refused as the arrays refuse them; pickles, old records included."""

import pickle

import numpy as np
import pytest

import tarnwick_arrays as ta
import tarnwick_stream as ts
from exact import bits
from support import price_bars

SYMBOLS = 5
PANEL = price_bars((SYMBOLS, 120), seed=31)["returns"]
FITS = ta.garch11_fit(PANEL)
NUMBERS = {"omega": FITS.omega, "alpha": FITS.alpha, "beta": FITS.beta, "seed": FITS.seed}
ONE_FOR_ALL = {"omega": 1e-6, "alpha": 0.1, "beta": 0.85, "seed": 1e-4}


def numbers(per_symbol):
    """The fit's numbers for those named in `per_symbol`, one for all for the others."""
    return {k: NUMBERS[k] if k in per_symbol else ONE_FOR_ALL[k] for k in NUMBERS}


def made(given, symbols=SYMBOLS):
    return ts.Garch11Variance(
        given["omega"], given["alpha"], given["beta"], seed=given["seed"], symbols=symbols
    )


PER_SYMBOL = [("omega", "alpha", "beta", "seed"), ("omega", "alpha", "beta"), ("beta",), ("seed",)]


@pytest.mark.parametrize("per_symbol", PER_SYMBOL, ids="+".join)
@pytest.mark.parametrize("feed", ["update", "extend then update", "by keys"])
def test_a_fitted_panel_streams_as_its_variance(per_symbol, feed):
    given = numbers(per_symbol)
    want = ta.garch11_variance(
        PANEL, given["omega"], given["alpha"], given["beta"], seed=given["seed"]
    )
    keys = [f"s{k}" for k in range(SYMBOLS)]
    s = made(given, symbols=keys if feed == "by keys" else SYMBOLS)
    start = 40 if feed == "extend then update" else 0
    got = [s.extend(PANEL[:, :start])] if start else []
    for t in range(start, PANEL.shape[1]):
        if feed == "by keys":  # the rows of each bar in reverse order
            peeked = s.peek(PANEL[::-1, t], by=keys[::-1])[::-1]
            got.append(s.update(PANEL[::-1, t], by=keys[::-1])[::-1])
        else:
            peeked = s.peek(PANEL[:, t])
            got.append(s.update(PANEL[:, t]))
        assert bits(peeked) == bits(got[-1])
    assert bits(np.column_stack(got).ravel()) == bits(want.ravel())
    expected = ta.garch11_forecast(want, given["omega"], given["alpha"], given["beta"], 4)
    assert bits(np.ravel(s.forecast(4))) == bits(expected.ravel())


def series_message(name, shape, series):
    there = "is 1 series" if series == 1 else f"are {series} series"
    return f"Garch11Variance(): '{name}' has shape {shape}, but there {there}"


@pytest.mark.parametrize(
    "given, symbols, message",
    [
        ({"omega": np.ones(3)}, 2, series_message("omega", "(3,)", 2)),
        ({"seed": np.ones(2)}, 1, series_message("seed", "(2,)", 1)),
        ({"seed": np.ones(2)}, ["a", "b", "c"], series_message("seed", "(2,)", 3)),
        # The parameters' order decides, the seed last.
        (
            {"alpha": np.ones(1), "beta": np.ones(4), "seed": np.ones(1)},
            3,
            series_message("alpha", "(1,)", 3),
        ),
        (
            {"omega": np.ones(1)},
            None,
            "Garch11Variance(): 'omega' has shape (1,), but a stream "
            "of one series takes a number: give symbols= for one per symbol",
        ),
    ],
)
def test_wrong_lengths_are_refused_as_the_arrays_refuse_them(given, symbols, message):
    with pytest.raises(ValueError) as info:
        made({**ONE_FOR_ALL, **given}, symbols=symbols)
    assert str(info.value) == message


# Today's record of a stream of 2 symbols fed [[0.01, -0.02, 0.03], [0.0,
# 0.02, -0.01]]: version 2, numbers one for all.
OLD_RECORD = (
    2,
    (1e-06, 0.1, 0.8),
    2,
    bytes.fromhex(
        "be38a45fc43b383fb4a34b125e953e3f0300000000000000be38a45fc43b383f"
        "1254f3717802213fa5e2ecc367d8253f03000000000000001254f3717802213f"
    ),
)


def test_pickles_keep_each_symbols_numbers_and_old_records_load():
    omega = FITS.omega.copy()
    s = made({**numbers(PER_SYMBOL[0]), "omega": omega})
    omega[:] = 1.0  # the stream holds its own copy
    s.extend(PANEL[:, :60])
    version, parameters = s.__reduce__()[1][1:3]
    assert version == 3 and all(type(p) is np.ndarray for p in parameters)
    restored = pickle.loads(pickle.dumps(s))
    assert bits(restored.alpha) == bits(FITS.alpha) and bits(restored.omega) == bits(FITS.omega)
    assert bits(restored.update(PANEL[:, 60])) == bits(s.update(PANEL[:, 60]))
    old = ts._restore(ts.Garch11Variance, *OLD_RECORD)
    fresh = ts.Garch11Variance(1e-6, 0.1, 0.8, symbols=2)
    fresh.extend(np.array([[0.01, -0.02, 0.03], [0.0, 0.02, -0.01]]))
    assert bits(old.update(np.array([0.02, -0.03]))) == bits(fresh.update(np.array([0.02, -0.03])))
    assert old.__reduce__()[1][1] == 2  # numbers one for all: still readable before version 3
    for args in [
        (2, (np.ones(2), 0.1, 0.8), *OLD_RECORD[2:]),  # arrays are new in version 3
        (3, (np.ones(2), 0.1, 0.8), None, OLD_RECORD[3][:32]),
    ]:
        with pytest.raises(ValueError, match=r"^not a pickled tarnwick_stream stream$"):
            ts._restore(ts.Garch11Variance, *args)
