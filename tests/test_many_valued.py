"""directional_movement and parabolic_sar_trend: every field bit for bit the
models' (tests/models.py), the field their single-valued kin gives equal to
it on every path, and the named tuple in every container."""

import numpy as np
import pytest
from test_lanes import PATHS, cases_on_path

from exact import bits
from registry import MANY_VALUED
from support import price_bars

NAN = float("nan")


def _random_bars(seed, n, special=0.1):
    bars = price_bars(n, seed, odd=special)
    return [bars[name].tolist() for name in ("high", "low", "close")]


def _cases():
    for i, f in enumerate(MANY_VALUED):
        count = f.single.series_count
        for name, args, _ in f.single.examples:
            yield pytest.param(f, args, id=f"{f.name}-{name}")
        for n in (0, 1, 2, 50):
            args = (*_random_bars((5, i, n), n)[:count], *f.single.scalars)
            yield pytest.param(f, args, id=f"{f.name}-random-{n}")


@pytest.mark.parametrize(("f", "args"), list(_cases()))
def test_every_field_is_the_models_bit_for_bit(f, args):
    count = f.single.series_count
    arrays = [np.array(s, dtype=float) for s in args[:count]]
    got = f.array(*arrays, *args[count:])
    want = f.model(*f.single.converted(args))
    assert got._fields == tuple(want)
    for field, values in want.items():
        assert bits(getattr(got, field).tolist()) == bits(values), field
    assert bits(getattr(got, f.same_as).tolist()) == bits(f.single.native(*args))


@pytest.mark.parametrize("f", MANY_VALUED)
def test_omitted_bars_are_nan_in_every_field(f):
    count = f.single.series_count
    series = _random_bars(8, 40, special=0.0)[:count]
    for at in (0, 7, 8, 39):
        series[at % count][at] = NAN
    got = f.array(*map(np.array, series), *f.single.scalars, nan_policy="omit")
    kept = [k for k in range(40) if all(s[k] == s[k] for s in series)]
    want = f.model(*[[s[k] for k in kept] for s in series], *f.single.scalars)
    for field, values in want.items():
        column = getattr(got, field)
        assert np.isnan(np.delete(column, kept)).all()
        assert bits(column[kept].tolist()) == bits(values)


@pytest.mark.parametrize("f", MANY_VALUED)
def test_refusals_are_the_single_functions(f):
    count = f.single.series_count
    for args, message in f.single.refusals:
        with pytest.raises(ValueError, match=f"^{message}$"):
            f.array(*map(np.array, args[:count]), *args[count:])
    with pytest.raises(TypeError, match="'out'"):
        f.array(*map(np.array, f.single.call[:count]), *f.single.scalars, out=None)


# Rows and columns on each lane path, ragged NaN panels under omit, each
# field row by row the one-series call's.
LANES = """
import random
import numpy as np
from registry import MANY_VALUED

rng = np.random.default_rng(3)
cases = 0
for f in MANY_VALUED:
    count = f.single.series_count
    for rows, n in ((2, 5), (9, 40), (17, 300), (35, 3)):
        panel = [rng.uniform(9, 11, (rows, n)) for _ in range(count)]
        panel[0][rng.random((rows, n)) < 0.05] = np.nan
        for policy in ("propagate", "omit"):
            by_rows = f.array(*panel, *f.single.scalars, nan_policy=policy)
            by_columns = f.array(*[p.T.copy() for p in panel], *f.single.scalars, axis=0,
                                 nan_policy=policy)
            single = getattr(__import__("tarnwick_arrays"), f.single.name.removeprefix("native_"))
            whole = single(*panel, *f.single.scalars, nan_policy=policy)
            assert getattr(by_rows, f.same_as).tobytes() == whole.tobytes()
            for field in by_rows._fields:
                got = getattr(by_rows, field)
                assert getattr(by_columns, field).T.tobytes() == got.tobytes(), field
                for r in range(rows):
                    one = f.array(*[p[r] for p in panel], *f.single.scalars, nan_policy=policy)
                    assert getattr(one, field).tobytes() == got[r].tobytes(), (field, r)
                    cases += 1
import tarnwick_arrays
print(tarnwick_arrays._lanes, cases)
"""


@pytest.mark.parametrize("path", PATHS)
def test_every_lane_path_keeps_each_fields_bits(path):
    # Each policy, each field of both functions (5 + 4), each row of each panel.
    assert cases_on_path(LANES, path) == 2 * (5 + 4) * (2 + 9 + 17 + 35)


@pytest.mark.parametrize("f", MANY_VALUED)
def test_each_field_comes_back_in_the_first_series_container(f):
    pd = pytest.importorskip("pandas")
    pl = pytest.importorskip("polars")
    pa = pytest.importorskip("pyarrow")
    import tarnwick_frames.polars as tp

    count = f.single.series_count
    rng = np.random.default_rng(4)
    values = [rng.uniform(9, 11, 30) for _ in range(count)]
    plain = f.array(*values, *f.single.scalars)
    index = pd.date_range("2024-01-01", periods=30)
    by_series = f.array(*[pd.Series(v, index=index) for v in values], *f.single.scalars)
    frame = f.array(*[pd.DataFrame({"a": v, "b": v[::-1]}) for v in values], *f.single.scalars)
    arrow = f.array(*map(pa.array, values), *f.single.scalars)
    names = ("high", "low", "close")[:count]
    symbols = pl.DataFrame(
        {"symbol": ["x"] * 12 + ["y"] * 18, **dict(zip(names, values, strict=False))}
    )
    expression = getattr(tp, f.name)(*names, *f.single.scalars)
    grouped = symbols.lazy().with_columns(expression.over("symbol")).collect().unnest(f.name)
    # by= in one expression, the keys shuffled: each field the array call's.
    shuffled = symbols.sample(fraction=1.0, shuffle=True, seed=6)
    keyed = getattr(tp, f.name)(*names, *f.single.scalars, by="symbol")
    by = shuffled.select(keyed).unnest(f.name)
    by_array = f.array(
        *[shuffled[n].to_numpy() for n in names],
        *f.single.scalars,
        by=shuffled["symbol"].to_numpy(),
    )
    for field in plain._fields:
        want = getattr(plain, field)
        series = getattr(by_series, field)
        assert series.name == field and series.index.equals(index)
        assert series.to_numpy().tobytes() == want.tobytes()
        assert getattr(frame, field)["a"].to_numpy().tobytes() == want.tobytes()
        assert getattr(arrow, field).to_numpy().tobytes() == want.tobytes()
        parts = [
            getattr(f.array(*[v[a:b] for v in values], *f.single.scalars), field)
            for a, b in ((0, 12), (12, 30))
        ]
        assert grouped[field].to_numpy().tobytes() == np.concatenate(parts).tobytes()
        assert by[field].to_numpy().tobytes() == getattr(by_array, field).tobytes()


def _attributes(f, stream):
    """The stream's readings of its kin's fields: its value under the field
    the single function gives."""
    return {
        field: stream.value if field == f.same_as else getattr(stream, field)
        for field in f.array(*[np.zeros(1)] * f.single.series_count, *f.single.scalars)._fields
    }


@pytest.mark.parametrize("f", MANY_VALUED)
def test_stream_reads_each_field_of_its_last_bar_at_every_split(f):
    import pickle

    count = f.single.series_count
    series = [np.array(s) for s in _random_bars(9, 14)[:count]]
    whole = f.array(*series, *f.single.scalars)
    empty = f.single.stream(*f.single.scalars)
    assert all(value is None for value in _attributes(f, empty).values())
    for split in range(1, 15):
        stream = f.single.stream(*f.single.scalars)
        stream.extend(*(s[:split] for s in series))
        for bar in range(split, 15):
            for field, value in _attributes(f, stream).items():
                assert bits([value]) == bits([getattr(whole, field)[bar - 1]]), (split, field)
            if bar < 14:
                stream = pickle.loads(pickle.dumps(stream))
                stream.update(*(s[bar] for s in series))
    many = f.single.stream(*f.single.scalars, symbols=2)
    many.extend(*(np.stack([s, s[::-1]]) for s in series))
    reversed_fields = f.array(*(s[::-1] for s in series), *f.single.scalars)
    for field, value in _attributes(f, many).items():
        want = [getattr(whole, field)[-1], getattr(reversed_fields, field)[-1]]
        assert bits(value.tolist()) == bits(want), field
    assert np.isnan(getattr(f.single.stream(*f.single.scalars, symbols=2), field)).all()
