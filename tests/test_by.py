"""by=: a long table's rows, one series per key, each group bit for bit the
function on that group's rows alone (every field of the functions of several
values), on every lane path, whatever the key's type and however the rows
are ordered."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from test_lanes import PATHS, cases_on_path

from registry import FUNCTIONS, MANY_VALUED
from support import run_fresh

# Ragged groups of 0 to 300 rows, with runs of one length long enough for
# every lane width and rows left over from whole blocks of lanes.
LENGTHS = [0, 1, 2, 3, 7, 64, 299, 300] + [252] * 19 + [40] * 9 + [5] * 3
LAYOUTS = ("sorted", "interleaved", "shuffled")

CHECK = f"""
import warnings
import numpy as np
import tarnwick_arrays
from registry import FUNCTIONS, MANY_VALUED
from test_by import keyed

warnings.simplefilter("ignore", RuntimeWarning)  # NaN seeds, warned of elsewhere
rng = np.random.default_rng(7)
special = np.array([np.nan, -np.nan, np.inf, -np.inf, -0.0, 5e-324, 1e308])
cases = 0
for layout in {LAYOUTS}:
    keys = keyed(layout)
    groups = [np.flatnonzero(keys == k) for k in np.unique(keys)]
    for f, array in [(f, f.array) for f in FUNCTIONS] + [(m.single, m.array) for m in MANY_VALUED]:
        series = []
        for _ in range(f.series_count):
            values = rng.uniform(9.0, 11.0, keys.size)
            odd = rng.random(keys.size) < 0.03
            values[odd] = rng.choice(special, odd.sum())
            series.append(values)
        seeds = ({{}}, {{"seed": 0.5}}) if "seed=" in array.__text_signature__ else ({{}},)
        for policy in ("propagate", "omit"):
            for seed in seeds:
                got = array(*series, *f.scalars, nan_policy=policy, by=keys, **seed)
                for rows in groups:
                    alone = array(*(s[rows] for s in series), *f.scalars, nan_policy=policy,
                                  **seed)
                    # Every field of a named tuple, or the one result.
                    for field, want in zip(*map(np.atleast_2d, (got, alone)), strict=True):
                        assert field[rows].tobytes() == want.tobytes(), (layout, f.name, rows.size)
                    cases += 1
print(tarnwick_arrays._lanes, cases)
"""


def keyed(layout):
    """Group k's key (k * 7 - 30: negative, gapped) once per row of LENGTHS[k],
    its rows together, taken round-robin from every group, or shuffled."""
    rng = np.random.default_rng(3)
    codes = np.repeat(np.arange(len(LENGTHS)), LENGTHS)
    if layout == "interleaved":
        rank = np.concatenate([np.arange(n) for n in LENGTHS])
        codes = codes[np.lexsort((codes, rank))]
    elif layout == "shuffled":
        codes = rng.permutation(codes)
    return codes * 7 - 30


@pytest.mark.parametrize("path", PATHS)
def test_each_group_is_bit_for_bit_the_function_on_it_alone(path):
    groups = sum(n > 0 for n in LENGTHS)
    seeded = sum("seed=" in f.array.__text_signature__ for f in FUNCTIONS)
    calls = len(FUNCTIONS) + len(MANY_VALUED) + seeded
    assert cases_on_path(CHECK, path) == len(LAYOUTS) * 2 * calls * groups


def _keys_of_every_type(layout):
    pd = pytest.importorskip("pandas")
    pl = pytest.importorskip("polars")
    pa = pytest.importorskip("pyarrow")
    codes = keyed(layout)
    names = np.array([f"SYM{c}" for c in codes])
    return {
        "int64": codes,
        "int8": codes.astype(np.int8),
        "uint32": (codes + 30).astype(np.uint32),
        "sparse int": codes * 10**15,
        "float": codes / 4,
        "str": names,
        "bytes": names.astype("S"),
        "object": names.astype(object),
        "datetime64": codes.astype("datetime64[D]"),
        "list": names.tolist(),
        "pandas object": pd.Series(names.astype(object)),
        "pandas string": pd.Series(names, dtype="string"),
        "pandas Categorical, unused categories": pd.Categorical(
            names, categories=["unused", *np.unique(names), "unused too"]
        ),
        "pandas categorical Series": pd.Series(names, dtype="category"),
        "pandas Index": pd.Index(codes),
        "polars str": pl.Series(names),
        # Runs of keys, a key coming back after another's run.
        "polars str, runs": pl.Series(names[: codes.size // 2]).extend(
            pl.Series(names[::-1][: codes.size - codes.size // 2])
        ),
        "polars Categorical": pl.Series(names, dtype=pl.Categorical),
        "polars Int32": pl.Series(codes, dtype=pl.Int32),
        "arrow str": pa.array(names),
        "arrow dictionary": pa.array(names).dictionary_encode(),
        "arrow chunked": pa.chunked_array([names[:500], names[500:]]),
        # Keys of types that neither sort together nor group in polars.
        "object, mixed types": np.array([str(c) if c % 2 else c for c in codes], dtype=object),
        "polars Object": pl.Series([str(c) if c % 2 else c for c in codes], dtype=pl.Object),
    }


@pytest.mark.parametrize("layout", ["sorted", "shuffled"])
@pytest.mark.parametrize("f", FUNCTIONS, ids=lambda f: f.name)
def test_keys_of_every_type_group_alike(f, layout):
    codes = keyed(layout)
    rng = np.random.default_rng(1)
    series = [rng.uniform(9.0, 11.0, codes.size) for _ in range(f.series_count)]
    half = codes.size // 2
    runs = np.concatenate([codes[:half], codes[::-1][: codes.size - half]])
    for name, keys in _keys_of_every_type(layout).items():
        want = f.array(*series, *f.scalars, by=runs if name == "polars str, runs" else codes)
        assert f.array(*series, *f.scalars, by=keys).tobytes() == want.tobytes(), name


# Text keys read natively (numpy str or str objects, pandas, polars, Arrow):
# thousands of keys, keys alike but for their last bytes (past a 12-byte
# Arrow view and a hash word), empty, non-ASCII, with a NUL inside.
TEXT_KEYS = [f"{'x' * 37}{i:05d}" for i in range(3000)] + [f"k{i}" for i in range(2000)]
TEXT_KEYS += ["", "é", "\U0001f600", "a\x00b", "a\x00c", "a", "x" * 42]
# Past 16 bytes the first and last eight do not tell keys apart.
TEXT_KEYS += [f"{'m' * 9}{i:03d}{'m' * 9}" for i in range(100)]


def _text_columns():
    pd = pytest.importorskip("pandas")
    pl = pytest.importorskip("polars")
    pa = pytest.importorskip("pyarrow")
    return {
        "numpy str": np.array,
        "numpy object": lambda k: np.array(k, dtype=object),
        "pandas object": lambda k: pd.Series(k, dtype=object),
        "pandas string": lambda k: pd.Series(k, dtype="string"),
        "polars": pl.Series,
        "polars chunks": lambda k: pl.concat(
            [pl.Series(k[:999]), pl.Series(k[999:])], rechunk=False
        ),
        "arrow string": pa.array,
        "arrow large_string": lambda k: pa.array(k, pa.large_string()),
        "arrow string_view": lambda k: pa.array(k, pa.string_view()),
        "arrow chunks": lambda k: pa.chunked_array([k[:999], k[999:]], pa.string_view()),
        "arrow sliced": lambda k: pa.array(["pad", *k], pa.large_string())[1:],
    }


@pytest.mark.parametrize("column", list(_text_columns()))
def test_text_keys_group_as_their_codes(column):
    import tarnwick_arrays as ta

    rng = np.random.default_rng(5)
    names = np.array(TEXT_KEYS, dtype=object)[rng.integers(0, len(TEXT_KEYS), 40_000)]
    codes = np.unique(names.astype(str), return_inverse=True)[1]
    high = rng.uniform(10.0, 11.0, names.size)
    want = ta.adx(high, high - 1, high - 0.5, 3, by=codes)
    keys = _text_columns()[column](names.tolist())
    assert ta._text_codes(keys) is not None  # read natively, not by the library
    assert ta.adx(high, high - 1, high - 0.5, 3, by=keys).tobytes() == want.tobytes()


@pytest.mark.parametrize("column", list(_text_columns()))
def test_text_codes_number_the_keys_as_they_first_come(column):
    import pandas as pd

    import tarnwick_arrays as ta

    names = np.array(TEXT_KEYS, dtype=object)[np.random.default_rng(6).permutation(len(TEXT_KEYS))]
    names = np.concatenate([names, names[::-1]]).tolist()
    codes = ta._text_codes(_text_columns()[column](names))
    assert codes.dtype == np.int64 and codes.tolist() == pd.factorize(np.array(names))[0].tolist()


@pytest.mark.parametrize("column", list(_text_columns()))
def test_text_codes_number_runs_of_a_key_as_their_first_row(column):
    # Rows that repeat the row before take its number without hashing: runs
    # of 1 to 40 rows cross the numbering's blocks and the columns' chunks,
    # and a key comes back after other keys' runs.
    import pandas as pd

    import tarnwick_arrays as ta

    rng = np.random.default_rng(7)
    picks = rng.integers(0, len(TEXT_KEYS), 400)
    # Then runs of a few keys, short and long, that keep coming back.
    picks = np.concatenate([picks, rng.choice(picks[:60], 1000)])
    names = [TEXT_KEYS[k] for k in np.repeat(picks, rng.integers(1, 41, picks.size))]
    # Equal keys as the same str object, and as distinct ones.
    names = [n.encode().decode() if i % 3 == 0 else n for i, n in enumerate(names)]
    codes = ta._text_codes(_text_columns()[column](names))
    assert codes.tolist() == pd.factorize(np.array(names))[0].tolist()


def test_short_string_views_are_keys_by_their_bytes_not_their_padding():
    # A string view of 12 bytes or fewer holds them inline; the bytes past
    # them should be zero but are not read: the same key with other padding,
    # and keys alike but for their length, each come back many times apart.
    pa = pytest.importorskip("pyarrow")
    import pandas as pd

    import tarnwick_arrays as ta

    rng = np.random.default_rng(8)
    short = ["", "\x00", "a", "a\x00", "a\x00\x00", "abcd", "abcd\x00", "abcdefgh"]
    short += [
        "abcdefgh\x00",
        "abcdefghi",
        "abcdefghi\x00",
        "abcdefghijkl",
        "abcdefghijk",
        "abcdefghijklm",
        "é",
    ]
    names = [short[k] for k in rng.integers(0, len(short), 3000)]
    clean = pa.array(names, pa.string_view())
    views = bytearray(clean.buffers()[1])
    for i, name in enumerate(names):
        size = len(name.encode())
        if size <= 12:
            views[16 * i + 4 + size : 16 * i + 16] = rng.integers(
                1, 256, 12 - size, dtype=np.uint8
            ).tobytes()
    padded = pa.Array.from_buffers(
        pa.string_view(), len(names), [None, pa.py_buffer(bytes(views)), *clean.buffers()[2:]]
    )
    want = pd.factorize(np.array(names, dtype=object))[0].tolist()
    assert ta._text_codes(clean).tolist() == want
    assert ta._text_codes(padded).tolist() == want


def _malformed_text():
    # Arrow arrays whose offsets or views point outside their data, as an
    # array made from buffers without validation can.
    pa = pytest.importorskip("pyarrow")

    def views(index, offset):
        clean = pa.array(["a" * 20, "b" * 20], pa.string_view())
        words = bytearray(clean.buffers()[1])
        words[24:32] = np.array([index, offset], np.int32).tobytes()
        buffers = [None, pa.py_buffer(bytes(words)), *clean.buffers()[2:]]
        return pa.Array.from_buffers(pa.string_view(), 2, buffers)

    def offsets(kind, width, values):
        buffers = [None, pa.py_buffer(np.array(values, width).tobytes()), pa.py_buffer(b"x" * 40)]
        return pa.Array.from_buffers(kind, 2, buffers)

    return {
        "view past the buffers": views(5, 0),
        "view before the buffers": views(-1, 0),
        "view past its buffer's size": views(0, 1000),
        "view at a negative offset": views(0, -4),
        "string offsets out of order": offsets(pa.string(), np.int32, [0, 50, 40]),
        "large_string offsets out of order": offsets(pa.large_string(), np.int64, [30, 10, 40]),
    }


@pytest.mark.parametrize("case", list(_malformed_text()))
def test_keys_of_a_malformed_arrow_array_are_refused_not_read(case):
    import tarnwick_arrays as ta
    import tarnwick_stream as ts

    keys = _malformed_text()[case]
    message = "the Arrow array of keys places a string outside its data buffers"
    high = np.array([10.0, 11.0])
    calls = [
        lambda: ta._text_codes(keys),
        lambda: ta.adx(high, high - 1, high - 0.5, 3, by=keys),
        lambda: ts.Adx(3, symbols=["a" * 20, "b" * 20]).update(high, high - 1, high - 0.5, by=keys),
    ]
    for call in calls:
        with pytest.raises(ValueError) as raised:
            call()
        assert str(raised.value) == message


def _not_text():
    pd = pytest.importorskip("pandas")
    pl = pytest.importorskip("polars")
    pa = pytest.importorskip("pyarrow")
    return {
        "numpy int": np.arange(3),
        "numpy bytes": np.array([b"a", b"b"]),
        "object, a number": np.array(["a", 1], dtype=object),
        "object, None": np.array(["a", None], dtype=object),
        "object, a lone surrogate": np.array(["a", "\ud800"], dtype=object),
        "pandas, pd.NA": pd.Series(["a", pd.NA], dtype="string"),
        "polars, a null": pl.Series(["a", None]),
        "polars Int64": pl.Series([1, 2]),
        "arrow, a null": pa.chunked_array([["a"], [None]]),
        "arrow dictionary": pa.array(["a", "b"]).dictionary_encode(),
        "list": ["a", "b"],
    }


@pytest.mark.parametrize("column", list(_not_text()))
def test_text_codes_leave_other_columns_to_their_library(column):
    import tarnwick_arrays as ta

    assert ta._text_codes(_not_text()[column]) is None


# Arrow asks producers to align their buffers but does not require it: the
# offsets read one at a time wherever they lie (a typed load at an odd
# address stops the undefined-behaviour sanitizer's build), in a fresh
# process as that stop is a crash.
MISALIGNED = """
import sys
import numpy as np
import pyarrow as pa
import tarnwick_arrays as ta

kind, skew = sys.argv[1], int(sys.argv[2])
width = 4 if kind == "string" else 8
raw = bytearray(skew + 5 * width)
np.frombuffer(raw, f"<i{width}", 5, skew)[:] = [0, 1, 3, 12, 13]
offsets = pa.py_buffer(raw).slice(skew)
data = pa.py_buffer(b"abbabbabbabba")
keys = pa.Array.from_buffers(pa.type_for_alias(kind), 4, [None, offsets, data])
print(offsets.address % width, ta._text_codes(keys).tolist(), ta._text_codes(keys[1:]).tolist())
"""


@pytest.mark.parametrize("skew", [1, 3])
@pytest.mark.parametrize("kind", ["string", "large_string"])
def test_text_codes_read_offsets_at_any_address(kind, skew):
    pytest.importorskip("pyarrow")
    assert run_fresh(MISALIGNED, kind, str(skew)).split(None, 1) == [
        str(skew),
        "[0, 1, 2, 0] [0, 1, 2]\n",
    ]


NULL_MESSAGE = (
    "adx(): 'by' has {count} null key{s}, the first at position 2; drop those rows or fill "
    "their keys first (pandas: .dropna() or .fillna(...), polars: .drop_nulls() or "
    ".fill_null(...))"
)


def _null_keys():
    pd = pytest.importorskip("pandas")
    pl = pytest.importorskip("polars")
    pa = pytest.importorskip("pyarrow")
    keys = ["a", "b", None, "a", None, "b"]
    return {
        "object None": (np.array(keys, dtype=object), 2),
        "object NaN": (np.array(["a", "b", np.nan, "a", "b", "a"], dtype=object), 1),
        "float NaN": (np.array([1.0, 2.0, np.nan, 1.0, 2.0, 1.0]), 1),
        "datetime NaT": (np.array(["2024-01-01"] * 2 + ["NaT"] * 4, dtype="datetime64[D]"), 4),
        "pandas": (pd.Series(keys), 2),
        "pandas Categorical": (pd.Categorical(keys), 2),
        "polars": (pl.Series(keys), 2),
        "polars Categorical": (pl.Series(keys, dtype=pl.Categorical), 2),
        "arrow": (pa.array(keys), 2),
        "arrow chunked": (pa.chunked_array([keys[:3], keys[3:]]), 2),
        "pandas object": (pd.Series(keys, dtype=object), 2),
        "polars chunks": (pl.concat([pl.Series(keys[:3]), pl.Series(keys[3:])], rechunk=False), 2),
        "arrow large_string": (pa.array(keys, pa.large_string()), 2),
        "arrow string_view": (pa.array(keys, pa.string_view()), 2),
    }


@pytest.mark.parametrize("case", list(_null_keys()))
def test_null_keys_are_refused(case):
    import tarnwick_arrays as ta

    keys, count = _null_keys()[case]
    high = np.arange(6.0) + 10
    message = NULL_MESSAGE.format(count=count, s="s" * (count != 1))
    with pytest.raises(ValueError) as caught:
        ta.adx(high, high - 1, high - 0.5, 3, by=keys)
    assert str(caught.value) == message


@pytest.mark.parametrize(
    ("shape", "keys", "message"),
    [
        (
            (10,),
            np.zeros(9, dtype=np.int64),
            "adx(): 'by' has 9 keys, but the series have 10 bars; give one key per row",
        ),
        (
            (10,),
            np.zeros((2, 5), dtype=np.int64),
            "adx(): 'by' must be one-dimensional, but has shape (2, 5)",
        ),
        (
            (2, 5),
            np.zeros(10, dtype=np.int64),
            "adx(): by= groups the rows of one-dimensional series, but 'high' has shape "
            "(2, 5); give the long table's columns as 1-D arrays, or leave out by= for one "
            "series per row",
        ),
    ],
)
def test_keys_that_do_not_fit_the_series_are_refused(shape, keys, message):
    import tarnwick_arrays as ta

    high = np.arange(10.0).reshape(shape) + 10
    with pytest.raises(ValueError) as caught:
        ta.adx(high, high - 1, high - 0.5, 3, by=keys)
    assert str(caught.value) == message


@pytest.mark.parametrize("container", ["numpy", "pandas", "polars", "pyarrow"])
def test_options_are_checked_before_the_keys_in_every_container(container):
    import tarnwick_arrays as ta

    library = pytest.importorskip(container)
    wrap = {"numpy": np.asarray, "pyarrow": getattr(library, "array", None)}.get(container)
    wrap = wrap or library.Series
    high = np.arange(10.0) + 10
    series = [wrap(high), wrap(high - 1), wrap(high - 0.5)]
    keys = wrap(np.zeros(9, dtype=np.int64))
    with pytest.raises(ValueError, match=r"^adx\(\): nan_policy must be"):
        ta.adx(*series, 3, by=keys, nan_policy="bad")
    with pytest.raises(ValueError, match=r"^adx\(\): 'by' has 9 keys"):
        ta.adx(*series, 3, by=keys, nan_policy="omit")


def test_unhashable_object_keys_are_refused_naming_by():
    import tarnwick_arrays as ta

    keys = np.empty(4, dtype=object)
    keys[:] = [1, "a", [2], 1]
    with pytest.raises(TypeError, match=r"^adx\(\): 'by' holds a key that cannot be hashed"):
        ta.adx(np.ones(4), np.ones(4), np.ones(4), 3, by=keys)


def test_series_are_checked_before_the_keys():
    import tarnwick_arrays as ta

    # Unequal series lengths are the kernel's refusal, as without by=.
    with pytest.raises(ValueError, match=r"^high, low, and close lengths must match$"):
        ta.adx(np.ones(5), np.ones(4), np.ones(5), 3, by=np.zeros(3, dtype=np.int64))
    with pytest.raises(TypeError):
        ta.adx({}, np.ones(5), np.ones(5), 3, by=np.zeros(3, dtype=np.int64))


def test_each_group_holding_nan_is_warned_of_once():
    import tarnwick_arrays as ta

    returns = np.array([0.01, np.nan, 0.02, -0.01, np.nan, 0.03])
    keys = np.array([1, 1, 2, 2, 3, 3])
    with pytest.warns(RuntimeWarning, match=r"^garch11_variance\(\): 2 of 3 series of 'returns'"):
        ta.garch11_variance(returns, 1e-6, 0.1, 0.85, by=keys)


@pytest.mark.parametrize("returns_to_a_key", [False, True])
def test_many_short_runs_are_read_in_place_only_when_each_key_is_one_run(returns_to_a_key):
    # More runs than a sorted table's heads are kept for (past 1,024 and a
    # quarter of the rows) are counted to the end instead: sorted, they are
    # read in place; a key that comes back after other keys must be gathered.
    import tarnwick_arrays as ta

    rng = np.random.default_rng(4)
    keys = np.repeat(np.arange(6_000), rng.integers(1, 4, 6_000))
    if returns_to_a_key:
        keys[-1] = keys[1_500]
    returns = rng.normal(0, 0.01, keys.size)
    got = ta.garch11_variance(returns, 1e-6, 0.1, 0.85, by=keys)
    for key in np.unique(keys):
        rows = np.flatnonzero(keys == key)
        want = ta.garch11_variance(returns[rows], 1e-6, 0.1, 0.85)
        assert got[rows].tobytes() == want.tobytes(), key


@pytest.mark.parametrize("layout", LAYOUTS)
def test_a_strided_out_is_filled_in_row_order(layout):
    import tarnwick_arrays as ta

    keys = keyed(layout)
    returns = np.random.default_rng(2).normal(0, 0.01, keys.size)
    out = np.full((keys.size, 2), -1.0)[:, 0]
    got = ta.garch11_variance(returns, 1e-6, 0.1, 0.85, out=out, by=keys)
    assert got is out
    assert out.tobytes() == ta.garch11_variance(returns, 1e-6, 0.1, 0.85, by=keys).tobytes()


def _long_frame(layout):
    pd = pytest.importorskip("pandas")
    codes = keyed(layout)
    rng = np.random.default_rng(4)
    high = rng.uniform(10.0, 11.0, codes.size)
    return pd.DataFrame(
        {"symbol": [f"S{c}" for c in codes], "high": high, "low": high - 1, "close": high - 0.5},
        index=pd.RangeIndex(1000, 1000 + codes.size, name="row"),
    )


@pytest.mark.parametrize("layout", LAYOUTS)
def test_pandas_columns_give_a_series_on_the_frame_index(layout):
    import tarnwick_arrays as ta

    df = _long_frame(layout)
    got = ta.adx(df["high"], df["low"], df["close"], 14, by=df["symbol"])
    want = ta.adx(*(df[c].to_numpy() for c in ("high", "low", "close")), 14, by=keyed(layout))
    assert got.index.equals(df.index)
    assert got.to_numpy().tobytes() == want.tobytes()
    shifted = df["symbol"].set_axis(df.index + 1)
    with pytest.raises(ValueError, match=r"^adx\(\): 'by' has a different index from 'high'"):
        ta.adx(df["high"], df["low"], df["close"], 14, by=shifted)


@pytest.mark.parametrize("how", ["select", "with_columns", "lazy"])
def test_polars_by_is_one_expression_and_one_native_call(how, monkeypatch):
    pl = pytest.importorskip("polars")
    import tarnwick_arrays as ta
    import tarnwick_frames
    import tarnwick_frames.polars as tp

    calls = []

    def counted(*args):
        calls.append(args[0])
        return tarnwick_frames._dispatch(*args)

    monkeypatch.setattr(tp, "_dispatch", counted)
    df = pl.from_pandas(_long_frame("shuffled"))
    expression = tp.parabolic_sar("high", "low", 0.02, 0.2, by=pl.col("symbol"))
    if how == "select":
        got = df.select(expression)
    elif how == "with_columns":
        got = df.with_columns(expression)
    else:
        got = df.lazy().select(expression).collect()
    want = ta.parabolic_sar(
        df["high"].to_numpy(), df["low"].to_numpy(), 0.02, 0.2, by=keyed("shuffled")
    )
    assert got["parabolic_sar"].to_numpy().tobytes() == want.tobytes()
    assert calls == ["parabolic_sar"]


# Shuffled tables of (symbols, bars) called in turn, larger, smaller and
# larger again, and by threads at once (each call over 4,096 bars lets go of
# the interpreter lock): the scratch of gathered rows kept from one call must
# never carry rows into the next, nor be used by two calls at once. Each
# result is the 2-D array of the same bars, taken to the shuffled rows.
REUSE = """
import sys, threading
import numpy as np
from registry import FUNCTIONS

SIZES = [(40, 300), (7, 50), (200, 120), (3, 9), (90, 260)]
rng = np.random.default_rng(5)
tables = []
for f in FUNCTIONS:
    for symbols, bars in SIZES:
        wide = [rng.uniform(9.0, 11.0, (symbols, bars)) for _ in range(f.series_count)]
        # Symbols' rows interleaved at random, each symbol's in date order.
        labels = rng.permutation(np.repeat(np.arange(symbols), bars))
        date = np.empty_like(labels)
        date[np.argsort(labels, kind="stable")] = np.tile(np.arange(bars), symbols)
        order = labels * bars + date
        keys = labels * 3 + 1
        want = f.array(*wide, *f.scalars).reshape(-1)[order].tobytes()
        tables.append((f, [w.reshape(-1)[order] for w in wide], keys, want))

def check(turns, shift, failures):
    for t in range(turns):
        f, series, keys, want = tables[(t + shift) % len(tables)]
        if f.array(*series, *f.scalars, by=keys).tobytes() != want:
            failures.append((f.name, keys.size))

failures = []
if sys.argv[1] == "threads":
    workers = [threading.Thread(target=check, args=(3 * len(tables), k, failures))
               for k in range(8)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
else:
    check(2 * len(tables), 0, failures)
print(len(failures), failures[:3])
"""


@pytest.mark.parametrize("how", ["in turn", "threads"])
def test_scratch_kept_between_calls_holds_no_rows_of_another(how):
    assert run_fresh(REUSE, how.split()[-1]).split()[0] == "0"


# Sorted tables are grouped from their runs in one pass, unless the runs are
# too many to keep (more than about a quarter of the rows): then by counting.
@pytest.mark.parametrize("shape", [(1, 50), (3000, 2), (700, 3), (2, 5000)])
@pytest.mark.parametrize("f", FUNCTIONS, ids=lambda f: f.name)
def test_sorted_tables_of_one_or_many_short_groups(f, shape):
    rng = np.random.default_rng(6)
    wide = [rng.uniform(9.0, 11.0, shape) for _ in range(f.series_count)]
    keys = np.repeat(rng.permutation(shape[0]) * 2 + 3, shape[1])
    got = f.array(*(w.reshape(-1) for w in wide), *f.scalars, by=keys)
    assert got.tobytes() == f.array(*wide, *f.scalars).tobytes()


# A shuffled table's rows are gathered and put back with the lines of rows a
# little ahead asked for: tables shorter than that, just as long, or just
# longer, come out alike.
@pytest.mark.parametrize("rows", [2, 15, 16, 17, 63, 64, 65, 200])
@pytest.mark.parametrize("f", FUNCTIONS, ids=lambda f: f.name)
def test_shuffled_tables_around_the_rows_fetched_ahead(f, rows):
    rng = np.random.default_rng(rows)
    keys = rng.integers(0, 3, rows) * 5 - 4
    series = [rng.uniform(9.0, 11.0, rows) for _ in range(f.series_count)]
    got = f.array(*series, *f.scalars, by=keys)
    for key in np.unique(keys):
        alone = f.array(*(s[keys == key] for s in series), *f.scalars)
        assert got[keys == key].tobytes() == alone.tobytes(), key


def test_the_long_tables_benchmark_takes_its_options():
    script = Path(__file__).resolve().parent.parent / "benchmarks" / "long_tables.py"
    if not script.exists():
        pytest.skip("needs the repository's benchmarks")
    pytest.importorskip("polars")
    shown = subprocess.run([sys.executable, script, "--help"], capture_output=True, text=True)
    assert shown.returncode == 0, shown.stderr
    assert "--runs" in shown.stdout and "--calls" in shown.stdout


@pytest.mark.parametrize("head", ["runs", "one row each", "shuffled"])
def test_polars_keys_are_grouped_whatever_their_first_rows_look_like(head):
    # A polars key column is compared neighbour by neighbour only where its
    # first 4,096 rows look sorted; a head of one-row groups before long
    # runs, or a shuffled head, takes the hashing route, with the same groups.
    pl = pytest.importorskip("polars")
    import tarnwick_arrays

    rng = np.random.default_rng(5)
    runs = np.repeat(np.arange(4_500, 4_600), 60)
    first = {
        "runs": np.repeat(np.arange(1_500), 3),
        "one row each": np.arange(4_500),
        "shuffled": rng.integers(0, 300, 4_500),
    }[head]
    codes = np.concatenate([first, runs])
    key = pl.Series("symbol", [f"s{c}" for c in codes])
    high = rng.uniform(10.0, 11.0, codes.size)
    low = high - rng.uniform(0.1, 1.0, codes.size)
    got = tarnwick_arrays.parabolic_sar(high, low, 0.02, 0.2, by=key)
    for c in np.unique(codes):
        rows = np.flatnonzero(codes == c)
        alone = tarnwick_arrays.parabolic_sar(high[rows], low[rows], 0.02, 0.2)
        assert got[rows].tobytes() == alone.tobytes()
