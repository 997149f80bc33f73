"""Lists, tuples and buffers are read without iterating them; every such
route must give the same values, errors and notes as plain iteration."""

import array
import contextlib
import math
import warnings

import pytest

from exact import bits
from support import numpy_layouts
from tarnwick import native_adx, native_garch11_variance, native_parabolic_sar


class ViaIteration:
    """Wraps a series so that it is read through its own iteration."""

    def __init__(self, series):
        self.series = series

    def __len__(self):
        return len(self.series)

    def __getitem__(self, i):
        return self.series[i]

    def __iter__(self):
        return iter(self.series)


def outcome(make_series):
    """What reading a series gives: the result of a kernel over it, or the
    error type, message and notes."""
    series = make_series()
    try:
        # With alpha 1 and beta 0 each element is max(0, r * r): every value
        # read shows in the result, and the seed shows through the NaNs.
        values = native_garch11_variance(series, 0.0, 1.0, 0.0)
        values += native_parabolic_sar(series, series, 0.0, 0.0)
    except Exception as error:  # the error is the outcome compared
        return type(error), str(error), getattr(error, "__notes__", None)
    return bits(values)


def assert_same_as_iteration(make_series):
    fast = outcome(make_series)
    general = outcome(lambda: ViaIteration(make_series()))
    assert fast == general


@pytest.mark.parametrize(
    "make_series",
    [
        lambda: array.array("d", [1.5, -0.0, math.inf, math.nan, 5e-324]),
        lambda: array.array("f", [1.1, -2.5, 3.4028234663852886e38]),
        lambda: array.array("b", [-128, 0, 127]),
        lambda: array.array("B", [0, 255]),
        lambda: array.array("h", [-32768, 32767]),
        lambda: array.array("H", [65535]),
        lambda: array.array("i", [-(2**31), 2**31 - 1]),
        lambda: array.array("I", [2**32 - 1]),
        lambda: array.array("l", [-(2**63), 2**63 - 1, 2**53 + 1]),
        lambda: array.array("L", [2**64 - 1, 2**63 + 1025]),
        lambda: array.array("q", [-(2**63) + 1, 2**62 + 1]),
        lambda: array.array("Q", [2**64 - 1, 2**53 + 1, 0]),
        lambda: array.array("u", "ab"),
        lambda: memoryview(array.array("d", [1.0, 2.0, 3.0, 4.0]))[::-2],
        lambda: memoryview(bytearray(range(17)))[1:].cast("d"),
        lambda: memoryview(bytearray(range(16))).cast("d", (2,)).cast("B").cast("d", (1, 2)),
        lambda: memoryview(b"\x00\x01\x02").cast("?"),
        lambda: memoryview(b"abc"),
        lambda: memoryview(b"x" * 8).cast("d")[0:0],
        lambda: b"\x00\xff",
        lambda: bytearray(b"\x07\x09"),
    ],
)
def test_stdlib_buffers_read_as_iteration_reads(make_series):
    assert_same_as_iteration(make_series)


def test_released_memoryview():
    def released():
        view = memoryview(b"ab")
        view.release()
        return view

    with pytest.raises(ValueError) as info:
        native_garch11_variance(released(), 0.0, 0.0, 1.0)
    assert str(info.value) == "operation forbidden on released memoryview object"
    assert info.value.__notes__ == ["while processing 'returns'"]


class Mutator:
    """An item whose conversion changes the list being read."""

    def __init__(self, action, value):
        self.action = action
        self.value = value

    def __float__(self):
        self.action()
        return self.value


def mutating_list(kind, factory):
    series = factory()
    actions = {
        "append": lambda: series.append(9.0),
        "clear": series.clear,
        "drop self": lambda: series.pop(1),
        "drop before": lambda: series.pop(0),
        "extend": lambda: series.extend([4.0, 5.0]),
    }
    series.extend([1.0, Mutator(actions[kind], 2.0), 3.0])
    return series


class ListSubclass(list):
    pass


@pytest.mark.parametrize("kind", ["append", "clear", "drop self", "drop before", "extend"])
def test_list_mutated_while_read(kind):
    # An exact list is read by index; a subclass through the list iterator.
    fast = native_garch11_variance(mutating_list(kind, list), 0.0, 1.0, 0.0)
    general = native_garch11_variance(mutating_list(kind, ListSubclass), 0.0, 1.0, 0.0)
    assert bits(fast) == bits(general)


@pytest.mark.parametrize(
    "items",
    [
        [1.0, 2, True, Mutator(lambda: None, 2.5)],
        [1.0, "x"],
        [1.0, None, "x"],
    ],
)
@pytest.mark.parametrize("container", [list, tuple])
def test_list_and_tuple_items_read_as_iteration_reads(items, container):
    assert_same_as_iteration(lambda: container(items))


np = pytest.importorskip("numpy")


@pytest.mark.parametrize("layout", numpy_layouts().values(), ids=list(numpy_layouts()))
def test_numpy_layouts_read_as_iteration_reads(layout):
    with ignoring_warnings():
        assert_same_as_iteration(lambda: layout([1.5, -0.0, np.inf, np.nan, 5e-324, 1e308, 0.25]))


@pytest.mark.parametrize(
    "make_series",
    [
        lambda: np.array([1.1, 2.2], dtype=np.float32),
        lambda: np.array([1.5, 2.5], dtype=np.float16),
        lambda: np.array([2**63 - 1, -(2**63)], dtype=np.int64),
        lambda: np.array([2**64 - 1, 2**53 + 1], dtype=np.uint64),
        lambda: np.array([-1, 7], dtype=np.int8),
        lambda: np.array([0, 1, 2], dtype=np.uint8).view(np.bool_),
        lambda: np.array([1 + 2j]),
        lambda: np.array([1.0, None], dtype=object),
        lambda: np.array(3.0),
        lambda: np.arange(6.0).reshape(3, 2),
        lambda: np.arange(3.0).reshape(3, 1),
        lambda: np.zeros((0, 3)),
        lambda: np.zeros(0),
        lambda: np.array(["1.5", "2"]),
        lambda: np.array([(1.0, 2)], dtype=[("a", "f8"), ("b", "i4")]),
        # Read from memory in any byte order and at any alignment.
        lambda: np.array([1.5, np.nan, -0.0, 5e-324], dtype=">f8"),
        lambda: np.array([-(2**31), 7], dtype=">i4"),
        lambda: np.array([2**64 - 1, 3], dtype=">u8"),
        lambda: np.array([1.1, -2.5], dtype="<f4"),
        lambda: np.zeros(3, dtype=[("a", "u1"), ("b", ">f8")])["b"] + 2.5,
        lambda: np.array([1.0, 2.0], dtype=">f16") if np.dtype("g").itemsize == 16 else np.zeros(1),
        # A memoryview iterates only native formats, and so must fail as that does.
        lambda: memoryview(np.array([1.5, 2.0], dtype=">f8")),
        lambda: memoryview(np.frombuffer(bytearray(17), np.float64, offset=1)),
    ],
)
def test_numpy_arrays_read_as_iteration_reads(make_series):
    with ignoring_warnings():
        assert_same_as_iteration(make_series)


@contextlib.contextmanager
def ignoring_warnings():
    # Some conversions (complex, masked, 2-d) warn through numpy; the
    # comparison is about values and errors, whichever warnings each emits.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        yield


def test_masked_array_takes_its_own_iteration():
    data = np.ma.array([1.0, 2.0, 3.0], mask=[False, True, False])
    with ignoring_warnings():
        result = native_garch11_variance(data, 0.0, 1.0, 0.0)
        expected = native_garch11_variance(ViaIteration(data), 0.0, 1.0, 0.0)
    assert bits(result) == bits(expected)
    # The masked element iterates as NaN, which the recursion floors to 0.0,
    # where the buffer holds 2.0.
    assert result[1] == 0.0


def test_subclass_of_ndarray_takes_its_own_iteration():
    class Doubled(np.ndarray):
        def __iter__(self):
            return (2 * float(x) for x in np.asarray(self))

    data = np.array([1.0, 3.0]).view(Doubled)
    # Its iteration gives 2 and 6, mean square 20; its buffer would give 5.
    assert native_garch11_variance(data, 0.0, 0.0, 1.0) == [20.0, 20.0]


class Overwriter:
    """Converts to `value` after writing into a series already converted."""

    def __init__(self, series, value=0.1):
        self.series = series
        self.value = value

    def __float__(self):
        self.series[0] = 99
        return self.value

    def __index__(self):
        self.series[0] = 99
        return 3


class IteratesOverwriting(ViaIteration):
    def __init__(self, series, victim):
        super().__init__(series)
        self.victim = victim

    def __iter__(self):
        self.victim[0] = 99
        return iter(self.series)


SERIES_KINDS = [
    lambda: [0.01, 0.02, 0.04],
    lambda: array.array("d", [0.01, 0.02, 0.04]),
    lambda: bytearray(b"\x01\x02\x04"),
    lambda: np.array([0.01, 0.02, 0.04]),
    lambda: np.array([0.01, 0.0, 0.02, 0.0, 0.04])[::2],
    lambda: np.array([1, 2, 4], dtype=np.int32),
]

# Each call converts `victim` first; a later argument's conversion then writes
# into it. The result must be that of the values as they were converted.
LATER_WRITERS = [
    lambda victim: native_garch11_variance(victim, 1e-6, Overwriter(victim), 0.85),
    lambda victim: native_parabolic_sar(victim, [0.0, Overwriter(victim, 0.0), 0.0], 0.02, 0.2),
    lambda victim: native_parabolic_sar(victim, IteratesOverwriting([0.0] * 3, victim), 0.02, 0.2),
    lambda victim: native_adx(victim, victim, [1.0, 1.0, 1.0], Overwriter(victim)),
]


@pytest.mark.parametrize("make_series", SERIES_KINDS)
@pytest.mark.parametrize("call", LATER_WRITERS)
def test_series_keeps_the_values_it_was_converted_with(make_series, call):
    expected = call(list(make_series()))
    victim = make_series()
    assert bits(call(victim)) == bits(expected)
    assert victim[0] == 99


@pytest.mark.parametrize(
    "call",
    [
        lambda s: native_garch11_variance(s, 1e-6, 0.1, 0.85),
        lambda s: native_adx(s, s, s, 14),
        lambda s: native_adx(s, s, s, 0),
        lambda s: native_parabolic_sar(s, s[:-1], 0.02, 0.2),
        lambda s: native_parabolic_sar(s, s, 0.02, "x"),
        lambda s: native_garch11_variance(s, Overwriter(s), 0.1, "x"),
    ],
)
def test_buffers_are_let_go_on_every_path(call):
    series = array.array("d", [0.01, 0.02, 0.04])
    with contextlib.suppress(TypeError, ValueError):
        call(series)
    series.append(1.0)  # BufferError while the call still holds it
    assert len(series) == 4
