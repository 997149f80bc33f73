"""tarnwick_stream: every split of a series into extend() and update() calls
gives tarnwick's whole-series bits; pickles keep the exact state and refuse
anything else; a call that fails changes nothing; many symbols match one
stream per symbol; threads that share a stream never lose a bar."""

import copy
import pickle
import random
import struct
import threading

import numpy as np
import pytest
from test_reference_vectors import CASES as VECTOR_CASES
from test_reference_vectors import FUNCTIONS as VECTOR_FUNCTIONS

import tarnwick_arrays
import tarnwick_stream as ts
from exact import INF, NAN, assert_bits_equal, bits
from registry import ADX, ARRAYS_ONLY, FUNCTIONS, GARCH11_VARIANCE, PARABOLIC_SAR
from support import price_bars, run_fresh

CONTINUED = [ADX, PARABOLIC_SAR, *ARRAYS_ONLY]  # GARCH's seed depends on the history: below
EVERY = (*FUNCTIONS, *ARRAYS_ONLY)


def bars(n, seed, odd=True):
    """n bars of high, low and close, and n returns, as lists, with odd values
    sprinkled in."""
    return {k: v.tolist() for k, v in price_bars(n, seed, odd=1 / 40 if odd else 0.0).items()}


def fed(s, *series):
    s.extend(*(np.array(x) if s.symbols else x for x in series))
    return s


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
    whole = f.whole(*args)
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


@pytest.mark.parametrize("f", EVERY, ids=lambda f: f.name)
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
    many = ts.ParabolicSar(0.02, 0.2, symbols=3)
    assert [repr(s), repr(many)] == [
        "Adx(period=14)",
        "ParabolicSar(af_step=0.02, af_max=0.2, symbols=3)",
    ]


GARCH = "Garch11Variance(omega=0.0, alpha=0.1, beta=0.8"


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda: ts.Garch11Variance(0.0, 0.1, 0.8), ")"),
        (lambda: fed(ts.Garch11Variance(0.0, 0.1, 0.8), [0.02]), ", seed=0.0004)"),
        (lambda: ts.Garch11Variance(0.0, 0.1, 0.8, seed=-1.0), ", seed=1e-08)"),
        (lambda: ts.Garch11Variance(0.0, 0.1, 0.8, seed=0.5, symbols=2), ", seed=0.5, symbols=2)"),
        (lambda: fed(ts.Garch11Variance(0.0, 0.1, 0.8, symbols=2), [[0.1], [0.2]]), ", symbols=2)"),
    ],
)
def test_garch_repr_is_the_call_that_makes_its_seed(make, expected):
    s = make()
    assert repr(s) == GARCH + expected
    assert repr(eval("ts." + repr(s))) == GARCH + expected


@pytest.mark.parametrize("method", ["update", "extend"])
def test_counted_messages_agree_with_their_count(method):
    with pytest.raises(TypeError) as info:
        getattr(ts.Garch11Variance(0, 0, 1), method)([1.0], [2.0])
    assert str(info.value) == f"{method}() takes 1 positional argument but 2 were given"


def test_only_garch_promises_every_split():
    assert "for every split" in ts.Adx.__doc__
    assert "for every split" not in ts.Garch11Variance.__doc__
    assert "seed=stream.seed" in ts.Garch11Variance.__doc__


GOOD = pickle.dumps(ts.ParabolicSar(0.02, 0.2))
_, (TYPE, VERSION, PARAMETERS, SYMBOLS, RECORD) = ts.ParabolicSar(0.02, 0.2).__reduce__()
NOT_A_STREAM = "not a pickled tarnwick_stream stream"


@pytest.mark.parametrize(
    "args, message",
    [
        ((ts.Adx, VERSION, (3,), SYMBOLS, RECORD), NOT_A_STREAM),  # another type's record
        ((dict, VERSION, PARAMETERS, SYMBOLS, RECORD), NOT_A_STREAM),
        ((TYPE, 4, PARAMETERS, SYMBOLS, RECORD), "unknown tarnwick_stream pickle version 4"),
        ((TYPE, 0, PARAMETERS, SYMBOLS, RECORD), "unknown tarnwick_stream pickle version 0"),
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


def words(stream):
    _, (kind, version, parameters, symbols, record) = stream.__reduce__()
    return [kind, version, parameters, symbols], list(
        struct.unpack(f"<{len(record) // 8}Q", record)
    )


def with_words(stream, changes):
    """The _restore arguments of `stream` with record words replaced: {index: float or int}."""
    head, w = words(stream)
    for i, value in changes.items():
        w[i] = value if isinstance(value, int) else struct.unpack("<Q", struct.pack("<d", value))[0]
    return (*head, struct.pack(f"<{len(w)}Q", *w))


GARCH_FED = fed(ts.Garch11Variance(1e-6, 0.1, 0.8), [0.01, -0.02, 0.03])
ADX_FED = fed(ts.Adx(3), [10.0, 11.0, 12.0], [9.0, 9.5, 10.5], [9.5, 10.5, 11.5])
SAR_FED = fed(ts.ParabolicSar(0.02, 0.2), [10.0, 11.0], [9.0, 9.5])
ALL_ONES = 2**64 - 1


# Record words: GARCH variance, seed, bars, value; ADX high, low, close, atr,
# +DM, -DM, ADX, bars, value; SAR rising, sar, ep, af, high, low, bars, value.
@pytest.mark.parametrize(
    "stream, changes",
    [
        (GARCH_FED, {1: -1.0}),
        (GARCH_FED, {1: 0.0}),
        (GARCH_FED, {1: INF}),
        (GARCH_FED, {1: NAN}),
        (GARCH_FED, {0: -1.0, 3: -1.0}),
        (GARCH_FED, {0: NAN, 3: NAN}),
        (GARCH_FED, {0: -0.0, 3: -0.0}),
        (GARCH_FED, {3: 0.5}),
        (GARCH_FED, {2: ALL_ONES}),
        (ts.Garch11Variance(0, 0, 1), {3: 0.5}),
        (ts.Garch11Variance(0, 0, 1), {0: 0.5}),
        (ts.Garch11Variance(0, 0, 1, seed=0.5), {0: 0.25}),
        (ADX_FED, {7: ALL_ONES}),
        (ADX_FED, {4: -1.0}),
        (ADX_FED, {6: -1.0, 8: -1.0}),
        (ADX_FED, {8: 1.0}),
        (ts.Adx(3), {7: 1}),
        (SAR_FED, {6: ALL_ONES}),
        (SAR_FED, {7: 1.0}),
        (ts.ParabolicSar(0.02, 0.2), {1: 1.0}),
    ],
)
def test_records_no_stream_reaches_are_refused(stream, changes):
    with pytest.raises(ValueError, match=f"^{NOT_A_STREAM}$"):
        ts._restore(*with_words(stream, changes))


@pytest.mark.parametrize(
    "stream",
    [
        fed(ts.Garch11Variance(1e308, 1.0, 10.0), [1e200, 1.0]),  # variance +inf
        fed(ts.Garch11Variance(NAN, 0.1, 0.8), [0.01, NAN]),  # floored to +0.0
        fed(ts.Adx(1), [INF, INF, 1.0], [1.0, -INF, NAN], [NAN, 1.0, INF]),
        fed(ts.ParabolicSar(NAN, -1.0), [NAN, 1.0, INF], [NAN, -INF, 2.0]),
        ts.Garch11Variance(0, 0, 1, seed=-3.0),
    ],
)
def test_records_of_odd_but_reachable_states_load(stream):
    restored = ts._restore(*with_words(stream, {}))
    assert words(restored)[1] == words(stream)[1]


def test_a_checkpoint_of_many_symbols_needs_numpy_not_repair():
    data = pickle.dumps(ts.Adx(3, symbols=2))
    out = run_fresh(
        f"""
        import pickle, sys
        sys.modules["numpy"] = None
        try:
            pickle.loads({data!r})
        except ImportError as e:
            print(e)
        """
    )
    assert out == (
        "a tarnwick_stream stream of many symbols needs numpy: pip install 'tarnwick[arrays]'\n"
    )


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


@pytest.mark.parametrize("f", EVERY, ids=lambda f: f.name)
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
            lambda s, a: s.update(a, a, a, where=np.ones(1, bool)),
            "update(): 'where' has shape (1,), but "
            "the stream has 4 symbols: pass one value per symbol",
        ),
        (
            lambda s, a: ts.Adx(3, symbols=1).update(a, a, a),
            "update(): 'high' has shape (4,), but the stream has 1 symbol: "
            "pass one value per symbol",
        ),
        (
            lambda s, a: s.peek(a, a, a, where=np.array(True)),
            "peek(): 'where' has 0 dimensions; expected 1 (one flag per symbol)",
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


WHERE_REFUSED = ": give one, such as np.isfinite(close) or flags.astype(bool)"


@pytest.mark.parametrize(
    "where, refused",
    [
        ("abcd", "'str'"),
        (b"\1\0\1\0", "'bytes'"),
        ([True, False, True, False], "'list'"),
        (np.array([1.0, NAN, 0.0, 1.0]), "an array of float64"),
        (np.array([1, 0, 1, 0]), "an array of int64"),
        (np.ma.masked_array([1.0, 0, 1, 0]), "an array of float64"),
    ],
)
def test_many_symbols_take_only_a_boolean_where(where, refused):
    s = ts.Adx(3, symbols=4)
    with pytest.raises(TypeError) as info:
        s.update(np.ones(4), np.ones(4), np.ones(4), where=where)
    assert (
        str(info.value)
        == f"update(): 'where' must be a boolean array, not {refused}{WHERE_REFUSED}"
    )
    assert getattr(info.value, "__notes__", None) is None
    assert s.bars == [0, 0, 0, 0]


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


def test_a_forked_child_takes_over_a_claim_its_parent_held():
    # A thread extends without the interpreter lock, holding the stream's
    # claim, while the main thread forks: the child has no such thread, and
    # must still be able to use the stream.
    run_fresh(
        """
        import os, threading, numpy as np, tarnwick_stream as ts
        s = ts.Garch11Variance(1e-6, 0.1, 0.85, symbols=4096)
        history = np.full((4096, 64), 0.01)
        stop = False
        def work():
            while not stop:
                s.extend(history)
        t = threading.Thread(target=work)
        t.start()
        for _ in range(20):
            pid = os.fork()
            if pid == 0:
                s.update(np.full(4096, 0.01))
                os._exit(0)
            _, status = os.waitpid(pid, 0)
            assert status == 0, status
        stop = True
        t.join()
        """,
        timeout=60,
    )
