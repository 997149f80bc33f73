"""Threads racing the first use of the cached values, then calling in a loop.

Each run is a fresh interpreter, so the interned names, collections.abc's
Sequence and the note machinery are really made for the first time while 16
threads want them at once. A deadlock shows as the timeout.
"""

import textwrap

import pytest

import models
import tarnwick
from exact import assert_bits_equal
from registry import FUNCTIONS
from support import run_fresh

THREADS = 16
ROUNDS = 500

RACE = textwrap.dedent(
    """
    import random, struct, sys, threading
    import registry
    from support import Boom, price_bars

    sys.setswitchinterval(1e-6)
    assert "tarnwick" not in sys.modules

    def data(seed, n):
        return {k: v.tolist() for k, v in price_bars(n, seed).items()}

    def packed(values):
        return struct.pack("<%dd" % len(values), *values)

    jobs = []
    for t in range(THREADS):
        calls = [(f, f.call_on(data(t, 250 + t))) for f in registry.FUNCTIONS]
        jobs.append([(f, args, packed(f.model(*args))) for f, args in calls])

    barrier = threading.Barrier(THREADS)
    failures = []
    done = []

    class BadFloat:
        def __float__(self):
            raise Boom()

    # The first uses of the cached values: the Sequence type and __qualname__
    # for a non-sequence, the note machinery for any conversion error.
    FIRSTS = [
        (lambda: registry.GARCH11_VARIANCE.native({}, 1.0, 1.0, 1.0),
         TypeError, "'dict' object is not an instance of 'Sequence'", "returns"),
        (lambda: registry.ADX.native([1.0], [1.0], [1.0], -1),
         OverflowError, "can't convert negative int to unsigned", "period"),
        (lambda: registry.PARABOLIC_SAR.native([1.0], [BadFloat()], 0.1, 0.2), Boom, "", "low"),
        (lambda: registry.ADX.native(None, [1.0], [1.0], 1),
         TypeError, "'None' is not an instance of 'Sequence'", "high"),
    ]

    def work(t):
        try:
            barrier.wait()
            import tarnwick
            firsts = list(FIRSTS)
            random.Random(t).shuffle(firsts)
            for call, error, message, parameter in firsts:
                try:
                    call()
                except error as exc:
                    assert str(exc) == message, exc
                    assert exc.__notes__ == [f"while processing '{parameter}'"], exc.__notes__
                else:
                    raise AssertionError("no error")
            try:
                tarnwick.native_adx([1.0], [1.0], [1.0], 1, **{"périod": 1})
            except TypeError as exc:
                assert "'périod'" in str(exc)
            for _ in range(ROUNDS):
                for f, args, expected in jobs[t]:
                    if packed(f.native(*args)) != expected:
                        failures.append((t, f.name))
                        return
            done.append(t)
        except BaseException as exc:
            failures.append((t, repr(exc)))

    threads = [threading.Thread(target=work, args=(t,)) for t in range(THREADS)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert not failures, failures
    assert sorted(done) == list(range(THREADS))
    print("ok", len(done), "threads", THREADS * ROUNDS * len(registry.FUNCTIONS), "calls")
    """
)


@pytest.mark.parametrize("attempt", range(3))
def test_threads_race_first_use_then_compute_exactly(attempt):
    out = run_fresh(f"THREADS = {THREADS}\nROUNDS = {ROUNDS}\n" + RACE)
    assert out.strip() == f"ok {THREADS} threads {THREADS * ROUNDS * len(FUNCTIONS)} calls"


class Reentrant:
    """An element whose conversion calls the module again."""

    def __init__(self, value):
        self.value = value
        self.inner = None

    def __float__(self):
        self.inner = tarnwick.native_garch11_variance([self.value], 0.0, 0.0, 1.0)
        return self.value


def test_conversion_that_calls_the_module_again():
    returns = [Reentrant(0.01), 0.02, Reentrant(-0.03)]
    result = tarnwick.native_garch11_variance(returns, 1e-6, 0.1, 0.85)

    plain = [0.01, 0.02, -0.03]
    assert_bits_equal(result, models.garch11_variance(plain, 1e-6, 0.1, 0.85))
    assert_bits_equal(returns[0].inner, models.garch11_variance([0.01], 0.0, 0.0, 1.0))
    assert_bits_equal(returns[2].inner, models.garch11_variance([-0.03], 0.0, 0.0, 1.0))


def test_reentry_while_an_error_note_is_first_made():
    # A fresh process: the inner call's own first conversion error (and so
    # the first use of add_note) happens inside the outer call's conversion.
    source = textwrap.dedent(
        """
        import tarnwick

        class Inner:
            def __float__(self):
                try:
                    tarnwick.native_adx([1.0], [1.0], [1.0], "x")
                except TypeError as exc:
                    assert exc.__notes__ == ["while processing 'period'"], exc.__notes__
                    try:
                        tarnwick.native_adx(5, [1.0], [1.0], 1)
                    except TypeError as exc2:
                        assert str(exc2) == "'int' object is not an instance of 'Sequence'"
                        return 2.0
                raise AssertionError("no error")

        print(tarnwick.native_parabolic_sar([Inner(), 3.0], [1.0, 1.0], 0.1, 0.2))
        """
    )
    assert run_fresh(source, timeout=60).strip() == "[1.0, 1.0]"


SEQUENCE_ERROR = "TypeError 'dict' object is not an instance of 'Sequence'"


@pytest.mark.parametrize(
    "first_import, imports, outcomes",
    [
        ("passes", 1, {SEQUENCE_ERROR: 8}),
        # A failed import frees the claim: one waiter imports again, the rest wait for it.
        ("fails", 2, {"ImportError refused": 1, SEQUENCE_ERROR: 7}),
    ],
)
def test_a_slow_first_import_runs_once_however_many_threads_race_it(
    first_import, imports, outcomes
):
    out = run_fresh(
        f"""
        import builtins, collections, threading, time, tarnwick
        original, imports = builtins.__import__, []
        def hook(name, *args, **kwargs):
            if name == "collections.abc":
                imports.append(name)
                time.sleep(0.3)  # long enough for every thread to find Sequence missing
                if len(imports) == 1 and {first_import!r} == "fails":
                    raise ImportError("refused")
            return original(name, *args, **kwargs)
        builtins.__import__ = hook
        # A list, not a Counter: `seen[k] += 1` from eight threads can lose updates.
        barrier, seen = threading.Barrier(8), []
        def first_use():
            barrier.wait()
            try:
                tarnwick.native_garch11_variance({{}}, 1, 1, 1)
            except Exception as exc:
                seen.append(f"{{type(exc).__name__}} {{exc}}")
        threads = [threading.Thread(target=first_use) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        print(len(imports), sorted(collections.Counter(seen).items()))
        """,
        timeout=60,
    )
    assert out == f"{imports} {sorted(outcomes.items())}\n"
