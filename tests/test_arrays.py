"""tarnwick_arrays against tarnwick: the same values row by row, bit for bit,
over every input route; the array-only errors; the interpreter lock."""

import array
import sys
import textwrap
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from exact import bits
from registry import ARRAYS_ONLY, BY_NAME, FUNCTIONS
from support import price_bars, run_fresh

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
pytestmark = [
    pytest.mark.filterwarnings("ignore:Warning. converting a masked element:UserWarning"),
    pytest.mark.filterwarnings("ignore:the matrix subclass:PendingDeprecationWarning"),
]
import tarnwick_arrays as ta  # noqa: E402 (only once numpy is known to be there)


@pytest.mark.parametrize("f", FUNCTIONS, ids=lambda f: f.name)
def test_worked_examples_and_refusals_are_tarnwicks(f):
    for _, args, expected in f.examples:
        assert bits(f.array(*args).tolist()) == bits(expected)
    for args, message in f.refusals:
        with pytest.raises(ValueError) as info:
            f.array(*args)
        assert str(info.value) == message


def expected_rows(f, series):
    """tarnwick's result for each row of the series arguments (a masked
    array's rows as they iterate, any other array's as plain ndarrays)."""
    series = [
        s if isinstance(s, (list, tuple, array.array, np.ma.MaskedArray)) else np.asarray(s)
        for s in series
    ]
    if np.ndim(series[0]) == 1:
        return [f.native(*series, *f.scalars)]
    return [f.native(*(s[r] for s in series), *f.scalars) for r in range(len(series[0]))]


def assert_matches_tarnwick(f, series, result):
    expected = expected_rows(f, series)
    assert type(result) is np.ndarray and result.dtype == np.float64
    assert result.flags.c_contiguous
    rows = [result] if result.ndim == 1 else list(result)
    assert [bits(r.tolist()) for r in rows] == [bits(e) for e in expected]


def prices(shape, seed=7):
    bars = price_bars(shape, seed)
    return [bars["high"], bars["low"], bars["close"]]


values = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True, width=64),
    st.sampled_from([0.0, -0.0, float("nan"), 5e-324, 1e308]),
)


@settings(max_examples=150, deadline=None, database=None, suppress_health_check=list(HealthCheck))
@given(
    f=st.sampled_from(FUNCTIONS),
    rows=st.integers(0, 3),
    columns=st.integers(0, 30),
    two_d=st.booleans(),
    data=st.data(),
)
def test_rows_match_tarnwick_bit_for_bit(f, rows, columns, two_d, data):
    shape = (rows, columns) if two_d else (columns,)
    size = rows * columns if two_d else columns
    series = [
        np.array(
            data.draw(st.lists(values, min_size=size, max_size=size)), dtype=np.float64
        ).reshape(shape)
        for _ in range(f.series_count)
    ]
    assert_matches_tarnwick(f, series, f.array(*series, *f.scalars))


def _routes():
    base = prices((3, 40))
    wide = [np.repeat(s, 2, axis=1) for s in base]
    return {
        "float64 C order": base,
        "float64 Fortran order": [np.asfortranarray(s) for s in base],
        "float64 column stride": [s[:, ::2] for s in wide],
        "float64 reversed rows": [s[::-1, ::-1] for s in base],
        "float64 padded rows": [np.ascontiguousarray(w)[:, :40] for w in wide],
        "float64 unaligned": [
            np.frombuffer(b"\0" + s.tobytes(), np.float64, offset=1).reshape(3, 40) for s in base
        ],
        "float64 big-endian": [s.astype(">f8") for s in base],
        "float32": [s.astype(np.float32) for s in base],
        "float16 (row by row)": [s.astype(np.float16) for s in base],
        "longdouble": [s.astype(np.longdouble) for s in base],
        "int64": [(s * 1000).astype(np.int64) for s in base],
        "uint8": [(s % 256).astype(np.uint8) for s in base],
        "bool": [s > 100 for s in base],
        "object": [s.astype(object) for s in base],
        "memmap": [memmap_of(s) for s in base],
        "ndarray subclass": [s.view(Sub) for s in base],
        "matrix": [np.asmatrix(s) for s in base],
        "masked, one item masked": [np.ma.masked_array(s, mask=s == s[1, 3]) for s in base],
        "longdouble, foreign byte order": [
            s.astype(">g" if np.little_endian else "<g") for s in base
        ],
        "1-D float64": [s[0] for s in base],
        "1-D strided": [s[:, 1] for s in base],
        "list": [s[0].tolist() for s in base],
        "tuple and array.array": [tuple(base[0][0]), *(array.array("d", s[0]) for s in base[1:])],
        "1-D mixed with a list": [base[0][0], base[1][0].tolist(), *(s[0] for s in base[2:])],
    }


class Sub(np.ndarray):
    pass


def memmap_of(values):
    import tempfile

    # The mapping outlives the file object, and the unnamed file goes with it.
    with tempfile.TemporaryFile() as file:
        mapped = np.memmap(file, dtype=np.float64, mode="w+", shape=values.shape)
    mapped[:] = values
    return mapped


ROUTES = _routes()


@pytest.mark.parametrize("f", FUNCTIONS, ids=lambda f: f.name)
@pytest.mark.parametrize("route", list(ROUTES))
def test_every_input_route_gives_tarnwicks_values(f, route):
    series = ROUTES[route][: f.series_count]
    assert_matches_tarnwick(f, series, f.array(*series, *f.scalars))


@pytest.mark.parametrize("f", FUNCTIONS, ids=lambda f: f.name)
@pytest.mark.parametrize(
    "layout", ["contiguous", "strided", "aliases an input", "unaligned", "packed field", "memmap"]
)
def test_out_is_filled_and_returned(f, layout):
    series = [s.copy() for s in prices((2, 50))[: f.series_count]]
    expected = f.array(*series, *f.scalars)
    out = {
        "contiguous": lambda: np.empty((2, 50)),
        "strided": lambda: np.full((2, 100), 7.0)[:, ::2],
        "aliases an input": lambda: series[-1],
        "unaligned": lambda: np.frombuffer(bytearray(801), np.float64, offset=1).reshape(2, 50),
        "packed field": lambda: np.zeros((2, 50), [("a", "u1"), ("b", "f8")])["b"],
        "memmap": lambda: memmap_of(np.zeros((2, 50))),
    }[layout]()
    assert f.array(*series, *f.scalars, out=out) is out
    assert bits(out.ravel().tolist()) == bits(expected.ravel().tolist())


H, L, C = prices((2, 5))


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda: ta.adx(np.zeros((2, 2, 2)), L, C, 3),
            ValueError,
            "adx(): 'high' has 3 dimensions; expected 1 (one series) or 2 (one series per row)",
        ),
        (
            lambda: ta.adx(H, L[:1], C, 3),
            ValueError,
            "adx(): 'low' has shape (1, 5), but 'high' has shape (2, 5)",
        ),
        (
            lambda: ta.parabolic_sar(H[0], L, 0.02, 0.2),
            ValueError,
            "parabolic_sar(): 'low' has shape (2, 5), but 'high' has shape (5,)",
        ),
        (
            lambda: ta.garch11_variance(H, 0, 0, 0, out=[0.0]),
            TypeError,
            "garch11_variance(): out must be a numpy.ndarray, not 'list'",
        ),
        (
            lambda: ta.adx(H, L, C, 3, out=np.empty((2, 5), np.float32)),
            ValueError,
            "adx(): out must have dtype float64 in native byte order",
        ),
        (
            lambda: ta.adx(H, L, C, 3, out=np.empty((2, 5), ">f8")),
            ValueError,
            "adx(): out must have dtype float64 in native byte order",
        ),
        (
            lambda: ta.adx(H, L, C, 3, out=np.broadcast_to(0.0, (2, 5))),
            ValueError,
            "adx(): out must be writable",
        ),
        (
            lambda: ta.adx(H, L, C, 3, out=np.empty((5, 2))),
            ValueError,
            "adx(): out has shape (5, 2), but the result has shape (2, 5)",
        ),
        (
            lambda: ta.garch11_variance(H[0], 0, 0, 0, out=np.empty((1, 1, 5))),
            ValueError,
            "garch11_variance(): out has 3 dimensions, but the result has shape (5,)",
        ),
        (
            lambda: ta.adx(np.zeros((2, 2, 2)).view(Sub), L, C, 3),
            ValueError,
            "adx(): 'high' has 3 dimensions; expected 1 (one series) or 2 (one series per row)",
        ),
        # tarnwick's own errors keep their types and messages.
        (
            lambda: ta.adx(H[0], L[0], C[0, :4], 3),
            ValueError,
            "high, low, and close lengths must match",
        ),
        (lambda: ta.adx(H, L, C, 0), ValueError, "period must be > 0"),
        (lambda: ta.adx(H[:0], L[:0], C[:0], 0), ValueError, "period must be > 0"),
        (
            lambda: ta.parabolic_sar(H[0], L[0, :4], 0.02, 0.2),
            ValueError,
            "high and low lengths must match",
        ),
        (
            lambda: ta.adx(H, L, C, 3, 4),
            TypeError,
            "adx() takes 4 positional arguments but 5 were given",
        ),
        (
            lambda: ta.adx(H, L, C, out=None),
            TypeError,
            "adx() missing 1 required positional argument: 'period'",
        ),
        (
            lambda: ta.adx(H, L, C, 3, output=None),
            TypeError,
            "adx() got an unexpected keyword argument 'output'",
        ),
        # First failure wins: conversion, then shapes, then out, then the kernel.
        (
            lambda: ta.adx(H[:1], L, C, -1, out=[]),
            OverflowError,
            "can't convert negative int to unsigned",
        ),
        (
            lambda: ta.adx(H[:1], L, C, 0, out=[]),
            ValueError,
            "adx(): 'low' has shape (2, 5), but 'high' has shape (1, 5)",
        ),
        (
            lambda: ta.adx(H[0], L[0], C[0, :4], 0, out=[]),
            TypeError,
            "adx(): out must be a numpy.ndarray, not 'list'",
        ),
    ],
)
def test_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message
    assert not hasattr(info.value, "__notes__") or error is OverflowError


@pytest.mark.parametrize(
    "args, parameter",
    [
        ((H[0], [1.0, "x"], C[0], 3), "low"),
        ((H[0], L[0], np.array([1 + 0j, 2j], dtype=object), 3), "close"),
        ((H[0], L[0], np.array(2.0), 3), "close"),
        ((H[0], L[0], C[0], 1.5), "period"),
        ((np.float64(1.0), L[0], C[0], 3), "high"),
        (({1: 2}, L[0], C[0], 3), "high"),
    ],
)
def test_conversion_errors_are_tarnwicks(args, parameter):
    with pytest.raises(Exception) as ours:
        ta.adx(*args)
    with pytest.raises(Exception) as theirs:
        BY_NAME["native_adx"].native(*args)
    assert (type(ours.value), str(ours.value)) == (type(theirs.value), str(theirs.value))
    assert ours.value.__notes__ == theirs.value.__notes__ == [f"while processing '{parameter}'"]


# Callers that could make a kernel write memory it never validated, or end the
# process; each runs in a fresh interpreter and prints what it saw.
HOSTILE = {
    "out resized by an item's __float__": (
        """
        n = 20000; high = np.linspace(10, 20, n); out = np.zeros(n)
        class Low:
            def __init__(s, v, first=False): s.v, s.first = v, first
            def __float__(s):
                if s.first:
                    out.resize(1, refcheck=False)
                    s.junk = [np.full(n, 7.0) for _ in range(3)]
                return s.v
        low = np.array([Low(9.0, True)] + [Low(v) for v in high[1:] - 1], dtype=object)
        ta.adx(high, low, high - 0.5, 3, out=out)
        """,
        "ValueError adx(): out has shape (1,), but the result has shape (20000,)",
    ),
    # Before 3.12 __buffer__ is not part of the buffer protocol: the array's
    # own memory is exported, and written.
    "out whose __buffer__ exports other memory": (
        """
        class Sneaky(np.ndarray):
            def __buffer__(self, flags):
                return memoryview(bytearray(8 * len(self)))
        out = np.zeros(64).view(Sneaky)
        got = ta.garch11_variance(np.full(64, 0.01), 1e-6, 0.1, 0.85, out=out)
        want = tarnwick.native_garch11_variance([0.01] * 64, 1e-6, 0.1, 0.85)
        raise ValueError(f"wrote its own memory: {got is out and out.tolist() == want}")
        """,
        "ValueError garch11_variance(): out must have dtype float64 in native byte order"
        if sys.version_info >= (3, 12)
        else "ValueError wrote its own memory: True",
    ),
    "numpy.empty replaced before the import": (
        """
        real = np.empty
        np.empty = lambda s, *a, **k: real(s, dtype=np.float32)
        del sys.modules["tarnwick_arrays"]; import tarnwick_arrays as ta
        got = ta.garch11_variance(np.full(4096, 0.01), 1e-6, 0.1, 0.85)
        same = got.tolist() == tarnwick.native_garch11_variance([0.01] * 4096, 1e-6, 0.1, 0.85)
        raise ValueError(f"{got.dtype} {same}")
        """,
        "ValueError float64 True",
    ),
    "impossible size": (
        "ta.garch11_variance(np.broadcast_to(0.01, (2**20, 2**20)), 1e-6, 0.1, 0.85)",
        "MemoryError",
    ),
}


@pytest.mark.parametrize("case", list(HOSTILE))
def test_hostile_callers_get_an_exception_and_the_process_lives(case):
    source, expected = HOSTILE[case]
    out = run_fresh(
        f"""
        import sys, numpy as np, tarnwick, tarnwick_arrays as ta
        try:
{textwrap.indent(textwrap.dedent(source), " " * 12)}
        except Exception as e:
            print(type(e).__name__, e)
        """
    )
    assert out.splitlines()[0].startswith(expected), out


def test_the_lock_is_released_while_the_kernel_runs():
    """With forced switches pushed out of reach, the main thread can only get
    the lock while the worker is inside the call if the call lets it go."""
    returns = np.random.default_rng(3).normal(0, 0.01, 4_000_000)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(60.0)
    try:
        for _ in range(5):
            entered, finished = threading.Event(), [False]

            def work(entered=entered, finished=finished):
                entered.set()
                ta.garch11_variance(returns, 1e-6, 0.1, 0.85)
                finished[0] = True

            worker = threading.Thread(target=work)
            worker.start()
            entered.wait()
            inside = not finished[0]
            worker.join()
            if inside:
                break
    finally:
        sys.setswitchinterval(interval)
    assert inside


@pytest.mark.parametrize(
    "missing, expected",
    [
        (
            "numpy",
            "ImportError tarnwick_arrays needs numpy: pip install 'tarnwick[arrays]' "
            "| ModuleNotFoundError",
        ),
        # numpy is there but cannot import: its own error says why.
        ("numpy._core", "ModuleNotFoundError No module named 'numpy._core' | NoneType"),
    ],
)
def test_import_without_numpy_says_what_to_install(missing, expected):
    out = run_fresh(f"""
        class NoNumpy:
            def find_spec(self, name, path=None, target=None):
                if name == "numpy" or name.startswith("numpy."):
                    raise ModuleNotFoundError("No module named {missing!r}", name={missing!r})
        sys.meta_path.insert(0, NoNumpy())
        try:
            import tarnwick_arrays
        except ImportError as e:
            print(type(e).__name__, e, "|", type(e.__cause__).__name__)
        import tarnwick
        print(len(tarnwick.native_adx([1.0], [1.0], [1.0], 1)))
    """)
    assert out.splitlines() == [expected, "1"]


def test_signatures():
    # tarnwick's indicators, those of several values, those added to
    # tarnwick_arrays and tarnwick_stream only, then the fit's functions.
    options = ", *, out=None, axis=-1, nan_policy='propagate', by=None)"
    assert ta.__all__ == [
        "adx",
        "parabolic_sar",
        "garch11_variance",
        "directional_movement",
        "parabolic_sar_trend",
        *(f.name for f in ARRAYS_ONLY),
        "garch11_loglik",
        "garch11_fit",
        "garch11_forecast",
    ]
    assert [getattr(ta, name).__text_signature__ for name in ta.__all__] == [
        "(high, low, close, period, *, out=None, axis=-1, nan_policy='propagate', by=None)",
        "(high, low, af_step, af_max, *, out=None, axis=-1, nan_policy='propagate', by=None)",
        "(returns, omega, alpha, beta, *, out=None, seed=None, axis=-1, "
        "nan_policy='propagate', by=None)",
        "(high, low, close, period, *, axis=-1, nan_policy='propagate', by=None)",
        "(high, low, af_step, af_max, *, axis=-1, nan_policy='propagate', by=None)",
        *(f.signature[:-1] + options for f in ARRAYS_ONLY),
        "(returns, omega, alpha, beta, *, seed=None, axis=-1, nan_policy='propagate')",
        "(returns, *, seed=None, axis=-1, nan_policy='propagate')",
        "(variance, omega, alpha, beta, horizon)",
    ]
    assert ta.DirectionalMovement._fields == ("plus_di", "minus_di", "dx", "adx", "atr")
    assert ta.ParabolicSarTrend._fields == ("sar", "trend", "extreme", "factor")
    assert ta.ParabolicSarTrend.__module__ == "tarnwick_arrays"


@pytest.mark.parametrize("module", ["tarnwick_arrays", "tarnwick_stream"])
def test_version_is_the_package_version(module):
    from importlib import metadata

    assert __import__(module).__version__ == metadata.version("tarnwick")


@pytest.mark.parametrize("function", [getattr(ta, name) for name in ta.__all__])
def test_docstring_example_runs_as_shown(function):
    import doctest

    # Each docstring ends with its example; running it proves the text is true.
    assert "Example:" in function.__doc__
    test = doctest.DocTestParser().get_doctest(function.__doc__, {}, function.__name__, None, 0)
    assert len(test.examples) >= 2
    result = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS).run(test)
    assert result.failed == 0
