"""Streams of many symbols named by keys: rows (symbol, bar) in any order."""

import copy
import itertools
import pickle
import types

import numpy as np
import pytest

import tarnwick_stream as ts
from exact import bits
from registry import ADX, FUNCTIONS, NAMES
from support import price_bars, run_fresh

KEYS = ["msft", "aapl", "ibm", "xom"]


def read_state(stream, symbol=None):
    """Every attribute, floats as bits; of one symbol (its place) when given."""
    state = {}
    for name, v in vars(type(stream)).items():
        if isinstance(v, types.GetSetDescriptorType) and name not in ("symbols", "keys"):
            value = getattr(stream, name)
            if isinstance(value, (list, np.ndarray)):
                value = value[symbol] if symbol is not None else list(value)
            state[name] = bits(value) if isinstance(value, list) else value
            state[name] = bits([value]) if isinstance(value, float) else state[name]
    return state


def keyed(function, keys):
    return function.stream(*function.scalars, symbols=keys)


def shuffled_rows(function, n, seed):
    """Rows of every key, in one random arrival order, each key's in its own order."""
    bars = price_bars((len(KEYS), n), seed)
    rng = np.random.default_rng(seed)
    order = rng.permutation(np.repeat(np.arange(len(KEYS)), n))
    taken = np.zeros(len(KEYS), dtype=int)
    at = np.empty_like(order)
    for row, symbol in enumerate(order):
        at[row], taken[symbol] = taken[symbol], taken[symbol] + 1
    series = [bars[name][order, at] for name in function.names[: function.series_count]]
    return series, np.array(KEYS)[order]


@pytest.mark.parametrize("function", FUNCTIONS, ids=NAMES)
def test_rows_in_any_order_are_each_symbols_own_stream(function):
    # Past 4096 rows the call lets go of the interpreter lock.
    series, by = shuffled_rows(function, 1100, seed=7)
    own = {key: function.stream(*function.scalars) for key in KEYS}
    expected = [own[k].update(*(float(s[r]) for s in series)) for r, k in enumerate(by)]
    stream = keyed(function, KEYS)
    cuts = [0, 1, 9, 400, len(by)]
    got = []
    for i, (a, b) in enumerate(itertools.pairwise(cuts)):
        step = stream.extend if i % 2 else stream.update
        got.extend(step(*(s[a:b] for s in series), by=by[a:b]))
    assert bits(got) == bits(expected)
    for i, key in enumerate(KEYS):
        assert read_state(stream, i) == read_state(own[key])


def library(name):
    """The column library, or the case skipped where it is not installed."""
    return pytest.importorskip(name)


KINDS = {
    "str list": lambda keys: list(keys),
    "numpy str": lambda keys: np.array(keys),
    "pandas Categorical": lambda keys: library("pandas").Categorical(keys),
    "pandas Series": lambda keys: library("pandas").Series(keys),
    "polars": lambda keys: library("polars").Series(keys),
    "arrow": lambda keys: library("pyarrow").chunked_array([keys[:1], keys[1:]]),
}


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("ints", [False, True], ids=["str", "int"])
def test_key_kinds_agree(kind, ints):
    keys = [10, 3, 7] if ints else ["c", "a", "b"]
    rows = keys[::-1] + keys
    series = [s[: len(rows)] for s in shuffled_rows(ADX, 2, seed=1)[0]]
    expected = keyed(ADX, keys).update(*series, by=rows)
    stream = keyed(ADX, KINDS[kind](keys))
    assert stream.keys == tuple(keys)
    assert bits(stream.update(*series, by=KINDS[kind](rows))) == bits(expected)


def test_symbols_n_are_named_by_their_positions():
    series, _ = shuffled_rows(ADX, 3, seed=2)
    rows = np.array([3, 0, 2, 1, 1, 0, 3, 2, 0, 1, 2, 3])
    numbered = ADX.stream(3, symbols=4)
    assert numbered.keys == ADX.stream(3, symbols=np.array(4)).keys == (0, 1, 2, 3)
    assert bits(numbered.extend(*series, by=rows)) == bits(
        keyed(ADX, [0, 1, 2, 3]).extend(*series, by=rows.tolist())
    )


REFUSED = [
    (["aapl", "zzz", None], None, ValueError, "'by' has 1 null key, the first at position 2"),
    (["aapl", "zzz", 5], None, ValueError, "'by' has the key 'zzz' at position 1, which is"),
    (["aapl", "ibm"], None, ValueError, "'by' has 2 keys, but the series have 3 bars"),
    (KEYS[:3], np.ones(3, bool), TypeError, "'where' and 'by' cannot be given together"),
]


@pytest.mark.parametrize(
    "method, by, where, error, message",
    [
        (m, *case)
        for m in ("update", "peek", "extend")
        for case in REFUSED[: 3 if m == "extend" else 4]
    ],
)
def test_a_refused_call_changes_nothing(method, by, where, error, message):
    stream = keyed(ADX, KEYS)
    stream.update(*shuffled_rows(ADX, 2, seed=3)[0], by=KEYS * 2)
    before = pickle.dumps(stream)
    extra = {} if where is None else {"where": where}
    with pytest.raises(error) as info:
        getattr(stream, method)([1.0] * 3, [0.5] * 3, [0.7] * 3, by=by, **extra)
    assert str(info.value).startswith(f"{method}(): {message}")
    assert pickle.dumps(stream) == before


@pytest.mark.parametrize(
    "symbols, error, message",
    [
        (["a", "b", "a"], ValueError, "symbols: the key 'a' is given twice"),
        (["a", None], ValueError, "symbols: the key at position 1 is null"),
        ([1.5], TypeError, "symbols: keys must be str or int, not 'float'"),
        ([], ValueError, "symbols must hold at least one key"),
    ],
)
def test_bad_keys_are_refused(symbols, error, message):
    with pytest.raises(error, match=message):
        ADX.stream(3, symbols=symbols)


def test_peek_follows_rows_of_one_symbol_and_changes_nothing():
    stream = keyed(ADX, KEYS)
    series, _ = shuffled_rows(ADX, 2, seed=4)
    before = pickle.dumps(stream)
    peeked = stream.peek(*series, by=["ibm"] * 8)
    assert pickle.dumps(stream) == before
    assert bits(peeked) == bits(stream.update(*series, by=["ibm"] * 8))


@pytest.mark.parametrize("function", FUNCTIONS, ids=NAMES)
def test_keys_survive_pickle_and_copies(function):
    stream = keyed(function, KEYS)
    series, by = shuffled_rows(function, 3, seed=5)
    stream.update(*series, by=by)
    for again in (pickle.loads(pickle.dumps(stream)), copy.copy(stream), copy.deepcopy(stream)):
        assert again.keys == tuple(KEYS) and repr(again) == repr(stream)
        assert read_state(again) == read_state(stream)
        assert bits(again.update(*series, by=by)) == bits(stream.copy().update(*series, by=by))
    assert "symbols=('msft', 'aapl', 'ibm', 'xom')" in repr(stream)
    assert "symbols=<9 keys>" in repr(keyed(function, list("abcdefghi")))


def test_version_1_records_load_and_damaged_keys_are_refused():
    restore, (kind, version, parameters, keys, record) = keyed(ADX, ["a", "b"]).__reduce__()
    assert (version, keys) == (2, ("a", "b"))
    assert restore(kind, 1, parameters, 2, record).keys == (0, 1)
    for damaged in [(kind, 1, parameters, keys, record), (kind, 2, parameters, ("a", "a"), record)]:
        with pytest.raises(ValueError, match=r"^not a pickled tarnwick_stream stream$"):
            restore(*damaged)


@pytest.mark.parametrize("dtype", ["i1", "u1", "i2", "<u4", ">i4", "i8", "u8"])
def test_integer_arrays_name_positions_directly(dtype):
    rows = [3, 0, 2, 1, 1, 0, 3, 2, 0, 1, 2, 3]
    series, _ = shuffled_rows(ADX, 3, seed=6)
    expected = ADX.stream(3, symbols=4).update(*series, by=rows)
    strided = np.repeat(np.array(rows, dtype=dtype), 2)[::2]
    assert bits(ADX.stream(3, symbols=4).update(*series, by=strided)) == bits(expected)
    for bad in ([4], [-1] if dtype[-2] == "i" else [2**8 - 1]):
        stream = ADX.stream(3, symbols=4)
        with pytest.raises(ValueError, match=f"'by' has the key {bad[0]} at position 1, which"):
            stream.update(*(s[:2] for s in series), by=np.array([0, *bad], dtype=dtype))
        assert stream.bars == [0] * 4


def _arrow(**options):
    pa = pytest.importorskip("pyarrow")
    return lambda rows: pa.array(rows, **options)


def _library(name, **options):
    def make(rows):
        return pytest.importorskip(name).Series(rows, **options)

    return make


def _arrow_chunks(rows):
    pa = pytest.importorskip("pyarrow")
    return pa.chunked_array([rows[:7], rows[7:], []], pa.string_view())


# Columns of keys with no nulls (numpy, pandas, polars, Arrow) are read in
# place and grouped by key before lookup; lists go a row at a time. Both
# ways give the same bits and refusals.
IN_PLACE = {
    "str": np.array,
    "str strided": lambda rows: np.repeat(np.array(rows), 2)[::2],
    "str padded": lambda rows: np.array(rows, dtype="<U12"),
    "str big-endian": lambda rows: np.array(rows, dtype=">U8"),
    "object": lambda rows: np.array(rows, dtype=object),
    "pandas object": _library("pandas", dtype=object),
    "pandas str": _library("pandas", dtype="string"),
    "polars": _library("polars"),
    "arrow string": _arrow(),
    "arrow large_string": _arrow(type="large_string"),
    "arrow string_view": _arrow(type="string_view"),
    "arrow chunks": _arrow_chunks,
}
WIDE_KEYS = ["k", "a\x00b", "é", "\U0001f600", "\ufeffbom"] + [f"s{i}" for i in range(300)]


@pytest.mark.parametrize("kind", IN_PLACE)
def test_keys_read_in_place_agree_with_a_list(kind):
    rng = np.random.default_rng(11)
    rows = [WIDE_KEYS[i] for i in rng.integers(0, len(WIDE_KEYS), 5000)]
    series = [s.ravel()[: len(rows)] for s in shuffled_rows(ADX, 1250, seed=8)[0]]
    by_list, by_array = keyed(ADX, WIDE_KEYS), keyed(ADX, WIDE_KEYS)
    expected = by_list.update(*series, by=rows)
    assert bits(by_array.update(*series, by=IN_PLACE[kind](rows))) == bits(expected)
    assert read_state(by_array) == read_state(by_list)


def test_columns_of_str_and_int_keys_agree_with_a_list():
    pd = pytest.importorskip("pandas")
    keys = ["a", 7, "b", 2**40]
    rows = (keys * 3)[::-1]
    series = [s[: len(rows)] for s in shuffled_rows(ADX, 3, seed=10)[0]]
    expected = bits(keyed(ADX, keys).update(*series, by=rows))
    for column in (np.array(rows, dtype=object), pd.Series(rows, dtype=object)):
        assert bits(keyed(ADX, keys).update(*series, by=column)) == expected


@pytest.mark.parametrize("dtype", ["i1", "u2", "i8", "u8"])
def test_integer_keys_read_in_place_agree_with_a_list(dtype):
    keys = [10, 3, 7, 0, 2**40] if dtype[1] == "8" else [10, 3, 7, 0]
    rows = (keys * 3)[::-1]
    series = [s[: len(rows)] for s in shuffled_rows(ADX, 4, seed=9)[0]]
    expected = keyed(ADX, keys).update(*series, by=rows)
    assert bits(keyed(ADX, keys).update(*series, by=np.array(rows, dtype=dtype))) == bits(expected)


@pytest.mark.parametrize(
    "keys, rows, message",
    [
        (KEYS, ["msft", "zzz", "aapl", "zzz", "yyy"], "'by' has the key 'zzz' at position 1,"),
        (KEYS, ["ibm", "ibm", "msft\x00x"], "'by' has the key 'msft\\x00x' at position 2,"),
        (KEYS, ["ibm", "zzz", None, "yyy"], "'by' has 1 null key, the first at position 2;"),
        ([0, 1, 2], np.array([2, 2, 9, 9], "i8"), "'by' has the key 9 at position 2,"),
        ([0, 1, 2], np.array([1, 2**64 - 1], "u8"), "'by' has the key 18446744073709551615 at"),
    ],
)
def test_an_unknown_key_read_in_place_is_refused_as_in_a_list(keys, rows, message):
    stream = keyed(ADX, keys)
    before = pickle.dumps(stream)
    refused = []
    listed = list(np.asarray(rows).tolist())
    text = all(isinstance(key, str) or key is None for key in listed)
    # A null is None in each column but numpy's str arrays (where it is the
    # text "None") and pandas' string (pd.NA, a key to a stream).
    no_none = {"str padded", "str big-endian", "pandas str"} if None in listed else set()
    columns = [f(listed) for k, f in IN_PLACE.items() if k not in no_none] if text else [rows]
    for by in [listed, *columns]:
        with pytest.raises(ValueError) as info:
            stream.update(*([1.0] * len(rows) for _ in range(3)), by=by)
        refused.append(str(info.value))
    assert set(refused) == {refused[0]} and refused[0].startswith(f"update(): {message}")
    assert pickle.dumps(stream) == before


# Two bad options at once: the first declared is reported (seed before
# symbols; where= with by= before a key is looked up; a key before the bar).
GARCH = (1e-6, 0.1, 0.85)
TWO_BAD = [
    (lambda: ts.Garch11Variance(*GARCH, seed="x", symbols=0), TypeError, "must be real number"),
    (lambda: ts.Adx(0, symbols=["a", "a"]), ValueError, "symbols: the key 'a' is given twice"),
    (
        lambda: ts.Adx(3).update("x", 0.5, 0.7, where=np.ones(2), by=["a"]),
        TypeError,
        "update(): 'by' needs a stream of many symbols",
    ),
    (
        lambda: keyed(ADX, KEYS).update([1.0], [0.5], [0.7], where=np.ones(1), by=["z"]),
        TypeError,
        "update(): 'where' and 'by' cannot be given together",
    ),
    (
        lambda: keyed(ADX, KEYS).peek(["x"], [0.5], [0.7], by=["z"], where="x"),
        TypeError,
        "peek(): 'where' and 'by' cannot be given together",
    ),
    (
        lambda: keyed(ADX, KEYS).extend(["x"], [0.5], [0.7], by=np.array(["z"])),
        ValueError,
        "extend(): 'by' has the key 'z' at position 0",
    ),
]


@pytest.mark.parametrize("call, error, message", TWO_BAD)
def test_the_first_of_two_bad_options_is_reported(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value).startswith(message)


# One key broadcast (stride 0) over more rows than memory can place: the
# rows' places cannot be had, a MemoryError, not a wrapped size and a write
# past a small buffer (a crash, so in a fresh process).
HUGE_BY = """
import sys
import numpy as np
import tarnwick_stream as ts

symbols = 4 if sys.argv[1] == "count" else [0, 1, 2, 3]
rows = (np.iinfo(np.intp).max + 1) * 2 // np.dtype(np.intp).itemsize  # the size wraps
by = np.broadcast_to(np.int8(0), (rows,))
h = np.linspace(10.0, 11.0, 4)
try:
    ts.Adx(3, symbols=symbols).update(h, h - 1, h - 0.5, by=by)
except MemoryError as e:
    print(e)
"""


@pytest.mark.parametrize("symbols", ["count", "keys"])
def test_by_of_more_rows_than_memory_is_refused(symbols):
    assert run_fresh(HUGE_BY, symbols) == "cannot allocate the rows of 'by'\n"
