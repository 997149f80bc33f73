"""tarnwick_stream: every split of a series into extend() and update() calls
gives tarnwick's whole-series bits; pickles keep the exact state and refuse
anything else; a call that fails changes nothing; many symbols match one
stream per symbol; threads that share a stream never lose a bar."""

import copy
import itertools
import pickle
import random
import threading

import numpy as np
import pytest
from test_reference_vectors import CASES as VECTOR_CASES
from test_reference_vectors import FUNCTIONS as VECTOR_FUNCTIONS

import tarnwick_arrays
import tarnwick_stream as ts
from exact import INF, NAN, assert_bits_equal, bits
from registry import ADX, FUNCTIONS, GARCH11_VARIANCE, PARABOLIC_SAR

CONTINUED = [ADX, PARABOLIC_SAR]  # GARCH's seed depends on the history: below
ODD = [NAN, INF, -INF, -0.0, 5e-324, 1e308]


def bars(n, seed, odd=True):
    """n bars of high, low and close, and n returns, with odd values sprinkled in."""
    rng = random.Random(seed)
    close = [100.0]
    for _ in range(n - 1):
        close.append(close[-1] + rng.gauss(0, 1))
    high = [c + rng.random() for c in close]
    low = [c - rng.random() for c in close]
    for series in (high, low, close):
        for _ in range(n // 40 if odd else 0):
            series[rng.randrange(n)] = rng.choice(ODD)
    returns = [(b - a) * 0.01 for a, b in itertools.pairwise([99.0, *close])]
    return {"high": high, "low": low, "close": close, "returns": returns}


def stream_of(f, args):
    return f.stream(*args[f.series_count :])


def continued(f, args, split, by_steps):
    """The series of `args` given to a new stream: the first `split` bars in
    one extend(), the rest one update() at a time or in a second extend()."""
    s = stream_of(f, args)
    series = args[: f.series_count]
    values = s.extend(*(x[:split] for x in series))
    if by_steps:
        values += [s.update(*bar) for bar in zip(*(x[split:] for x in series), strict=True)]
    else:
        values += s.extend(*(x[split:] for x in series))
    return values


@pytest.mark.parametrize("by_steps", [True, False], ids=["updates", "extends"])
@pytest.mark.parametrize("n", [0, 1, 2, 40, 300])
@pytest.mark.parametrize("f", CONTINUED, ids=lambda f: f.name)
def test_every_split_gives_the_whole_series_bits(f, n, by_steps):
    args = f.call_on(bars(n, seed=n))
    whole = f.native(*args)
    # Every split of the short series, and splits around the kernels' blocks.
    splits = range(n + 1) if n <= 40 else [1, 255, 256, 257, n - 1]
    for split in splits:
        assert_bits_equal(continued(f, args, split, by_steps), whole)


@pytest.mark.parametrize(
    "function, args, expected",
    [c for c in VECTOR_CASES if c.values[0] != "garch" and not isinstance(c.values[2], str)],
)
def test_reference_vectors_at_every_split(function, args, expected):
    f = VECTOR_FUNCTIONS[function]
    n = len(args[0])
    for split in range(n + 1):
        assert bits(continued(f, args, split, by_steps=split % 2 == 0)) == expected


@pytest.mark.parametrize("m", [0, 1, 7, 299])
def test_garch_continues_from_the_historys_seed(m):
    r = bars(300, seed=m, odd=False)["returns"]
    s = ts.Garch11Variance(1e-6, 0.1, 0.85)
    values = s.extend(r[:m]) + [s.update(x) for x in r[m:]]
    expected = tarnwick_arrays.garch11_variance(np.array(r), 1e-6, 0.1, 0.85, seed=s.seed)
    assert_bits_equal(values, expected.tolist())
    if m == 0:  # seeded from the first update's return alone
        assert s.seed == r[0] * r[0]


@pytest.mark.parametrize("seed", [2.5e-5, 0.0, -1.0, NAN, INF])
def test_garch_given_seed_is_the_batch_seed(seed):
    r = GARCH11_VARIANCE.call[0]
    s = ts.Garch11Variance(1e-6, 0.1, 0.85, seed=seed)
    expected = tarnwick_arrays.garch11_variance(np.array(r), 1e-6, 0.1, 0.85, seed=seed)
    assert_bits_equal(s.extend(r), expected.tolist())
    assert s.seed == (seed if seed == 2.5e-5 else 1e-8)
    # Without a seed, the batch function's own seed.
    assert_bits_equal(
        ts.Garch11Variance(1e-6, 0.1, 0.85).extend(r),
        GARCH11_VARIANCE.native(*GARCH11_VARIANCE.call),
    )


@pytest.mark.parametrize("f", FUNCTIONS, ids=lambda f: f.name)
def test_peek_copy_and_pickle_keep_the_exact_state(f):
    args = f.call_on(bars(60, seed=3))
    series = args[: f.series_count]
    s = stream_of(f, args)
    s.extend(*(x[:30] for x in series))
    state = pickle.dumps(s)
    bar = [x[30] for x in series]
    assert bits([s.peek(*bar)]) == bits([s.copy().update(*bar)])
    assert pickle.dumps(s) == state
    restored, copied, deep = pickle.loads(state), copy.copy(s), copy.deepcopy(s)
    rest = [x[30:] for x in series]
    expected = s.extend(*rest)
    for other in (restored, copied, deep):
        assert_bits_equal(other.extend(*rest), expected)
        assert (other.bars, bits([other.value])) == (60, bits([s.value]))
    assert [getattr(restored, name) for name in f.names[f.series_count :]] == list(
        args[f.series_count :]
    )


def test_fresh_stream_reports_nothing_yet():
    s = ts.Adx(14)
    assert (s.value, s.bars, s.symbols, s.period) == (None, 0, None, 14)
    assert s.update(1.0, 0.5, 0.75, where=False) != s.update(1.0, 0.5, 0.75)
    assert s.bars == 1


GOOD = pickle.dumps(ts.ParabolicSar(0.02, 0.2))
_, (TYPE, VERSION, PARAMETERS, SYMBOLS, RECORD) = ts.ParabolicSar(0.02, 0.2).__reduce__()
NOT_A_STREAM = "not a pickled tarnwick_stream stream"


@pytest.mark.parametrize(
    "args, message",
    [
        ((ts.Adx, VERSION, (3,), SYMBOLS, RECORD), NOT_A_STREAM),  # another type's record
        ((dict, VERSION, PARAMETERS, SYMBOLS, RECORD), NOT_A_STREAM),
        ((TYPE, 2, PARAMETERS, SYMBOLS, RECORD), "unknown tarnwick_stream pickle version 2"),
        ((TYPE, "1", PARAMETERS, SYMBOLS, RECORD), NOT_A_STREAM),
        ((TYPE, VERSION, PARAMETERS, SYMBOLS, RECORD[:-1]), NOT_A_STREAM),
        ((TYPE, VERSION, PARAMETERS, SYMBOLS, RECORD + b"\0" * 64), NOT_A_STREAM),
        ((TYPE, VERSION, PARAMETERS, SYMBOLS, b"\2" + RECORD[1:]), NOT_A_STREAM),  # the trend
        ((TYPE, VERSION, PARAMETERS, SYMBOLS, bytearray(RECORD)), NOT_A_STREAM),
        ((TYPE, VERSION, PARAMETERS, 2, RECORD), NOT_A_STREAM),
        ((TYPE, VERSION, PARAMETERS, 2**62, RECORD), NOT_A_STREAM),
        ((TYPE, VERSION, PARAMETERS, -1, RECORD), NOT_A_STREAM),
        ((TYPE, VERSION, ("x", 0.2), SYMBOLS, RECORD), NOT_A_STREAM),
        ((ts.Adx, VERSION, (0,), SYMBOLS, RECORD), NOT_A_STREAM),
        ((TYPE, VERSION, PARAMETERS, SYMBOLS), NOT_A_STREAM),
    ],
)
def test_corrupted_pickles_are_refused(args, message):
    with pytest.raises(ValueError) as info:
        ts._restore(*args)
    assert str(info.value) == message


def test_pickle_bytes_flipped_anywhere_never_crash():
    for i in range(len(GOOD)):
        for flip in (1, 0x80):
            damaged = bytearray(GOOD)
            damaged[i] ^= flip
            try:
                s = pickle.loads(bytes(damaged))
            except Exception:
                continue
            if isinstance(s, ts.ParabolicSar):
                s.update(1.0, 0.5)  # whatever the state, it steps


@pytest.mark.parametrize("f", FUNCTIONS, ids=lambda f: f.name)
def test_errors_are_tarnwicks_and_change_nothing(f):
    args = f.call_on(bars(10, seed=1))
    # Each scalar refused at construction exactly as tarnwick refuses it.
    for i, name in enumerate(f.names[f.series_count :], start=f.series_count):
        refused = f.refusing(name, args)
        with pytest.raises(TypeError) as ours:
            f.stream(*refused[f.series_count :])
        with pytest.raises(TypeError) as theirs:
            f.native(*refused)
        assert (str(ours.value), ours.value.__notes__) == (
            str(theirs.value),
            theirs.value.__notes__,
        ), i
    for refusal, message in f.refusals:
        if refusal[0] == [] or len({len(x) for x in refusal[: f.series_count]}) > 1:
            continue  # a length refusal: below
        with pytest.raises(ValueError, match=f"^{message}$"):
            f.stream(*refusal[f.series_count :])
    s = stream_of(f, args)
    s.extend(*(x[:5] for x in args[: f.series_count]))
    before = pickle.dumps(s)
    bar = [1.0] * f.series_count
    with pytest.raises(TypeError) as info:
        s.update(*bar[:-1], "x")
    assert info.value.__notes__ == [f"while processing '{f.names[f.series_count - 1]}'"]
    if f.series_count > 1:
        with pytest.raises(ValueError, match="lengths must match"):
            s.extend(*([1.0] * (i + 1) for i in range(f.series_count)))
    with pytest.raises(TypeError):
        s.extend(*([1.0, object()] for _ in range(f.series_count)))
    assert pickle.dumps(s) == before


@pytest.mark.parametrize("f", FUNCTIONS, ids=lambda f: f.name)
def test_many_symbols_are_one_stream_each(f):
    panel = [f.call_on(bars(50, seed=k)) for k in range(4)]
    rows = [np.array([p[j] for p in panel]) for j in range(f.series_count)]
    many = f.stream(*panel[0][f.series_count :], symbols=4)
    ones = [stream_of(f, p) for p in panel]
    history = many.extend(*(r[:, :20] for r in rows))
    for k, one in enumerate(ones):
        assert bits(history[k]) == bits(one.extend(*(x[:20] for x in panel[k][: f.series_count])))
    rng = random.Random(5)
    for t in range(20, 50):
        where = np.array([rng.random() < 0.7 for _ in range(4)])
        got = many.update(*(r[:, t] for r in rows), where=where)
        expected = [
            one.update(*(x[t] for x in panel[k][: f.series_count])) if where[k] else NAN
            for k, one in enumerate(ones)
        ]
        assert bits(got) == bits(expected)
    assert many.bars == [one.bars for one in ones]
    assert bits(many.value) == bits([one.value for one in ones])
    assert bits(pickle.loads(pickle.dumps(many)).value) == bits(many.value)


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda s, a: s.update(a[:3], a, a),
            "update(): 'high' has shape (3,), but the stream "
            "has 4 symbols: pass one value per symbol",
        ),
        (
            lambda s, a: s.update(a, a, a, where=[True]),
            "update(): 'where' has shape (1,), but "
            "the stream has 4 symbols: pass one value per symbol",
        ),
        (
            lambda s, a: s.peek(a, a, np.ones((4, 1))),
            "peek(): 'close' has shape (4, 1), but "
            "the stream has 4 symbols: pass one value per symbol",
        ),
        (
            lambda s, a: s.extend(a, a, a),
            "extend(): 'high' has shape (4,), but the stream has "
            "4 symbols: pass one row per symbol",
        ),
        (lambda s, a: ts.Adx(3, symbols=0), "symbols must be > 0"),
    ],
)
def test_many_symbols_refuse_the_wrong_shape(call, message):
    s = ts.Adx(3, symbols=4)
    before = pickle.dumps(s)
    with pytest.raises(ValueError) as info:
        call(s, np.ones(4))
    assert str(info.value) == message
    assert pickle.dumps(s) == before


@pytest.mark.parametrize("symbols", [None, 5000], ids=["one series", "5000 symbols"])
def test_threads_sharing_a_stream_lose_no_bar(symbols):
    # Every thread gives the same bar, so any order of whole updates gives
    # the same state, and a torn or lost update shows in the counts.
    s = ts.Adx(14, symbols=symbols)
    bar = (101.0, 99.0, 100.0) if symbols is None else (np.full(5000, v) for v in (101, 99, 100))
    bar = tuple(bar)
    threads = [
        threading.Thread(target=lambda: [s.update(*bar) for _ in range(200)]) for _ in range(4)
    ]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    one = ts.Adx(14)
    for _ in range(800):
        one.update(101.0, 99.0, 100.0)
    if symbols is None:
        assert (s.bars, bits([s.value])) == (800, bits([one.value]))
    else:
        assert set(s.bars) == {800}
        assert set(bits(s.value)) == set(bits([one.value]))
