"""Threads racing the first use of the cached values, then calling in a loop.

Each run is a fresh interpreter, so the interned names, collections.abc's
Sequence and the note machinery are really made for the first time while 16
threads want them at once. A deadlock shows as the timeout.
"""

import os
import subprocess
import sys
import textwrap

import pytest

import tarnwick

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
THREADS = 16
ROUNDS = 500

RACE = textwrap.dedent(
    """
    import random, struct, sys, threading
    sys.path.insert(0, TESTS_DIR)
    import models

    sys.setswitchinterval(1e-6)
    assert "tarnwick" not in sys.modules

    def data(seed, n):
        rng = random.Random(seed)
        high = [100.0 + rng.random() * 10 for _ in range(n)]
        low = [h - rng.random() * 3 for h in high]
        close = [lo + (h - lo) * rng.random() for h, lo in zip(high, low)]
        returns = [rng.gauss(0.0, 0.01) for _ in range(n)]
        return high, low, close, returns

    def packed(values):
        return struct.pack("<%dd" % len(values), *values)

    jobs = []
    for t in range(THREADS):
        high, low, close, returns = data(t, 250 + t)
        period = 1 + t
        expected = (
            packed(models.adx(high, low, close, period)),
            packed(models.parabolic_sar(high, low, 0.02, 0.2)),
            packed(models.garch11_variance(returns, 1e-6, 0.1, 0.85)),
        )
        jobs.append((high, low, close, returns, period, expected))

    barrier = threading.Barrier(THREADS)
    failures = []
    done = []

    class Boom(Exception):
        pass

    class BadFloat:
        def __float__(self):
            raise Boom()

    def work(t):
        try:
            high, low, close, returns, period, expected = jobs[t]
            barrier.wait()
            import tarnwick
            # First uses, in a different order per thread: the Sequence type
            # and __qualname__ for a non-sequence, add_note for any
            # conversion error.
            firsts = [
                lambda: tarnwick.native_garch11_variance({}, 1.0, 1.0, 1.0),
                lambda: tarnwick.native_adx(high, low, close, -1),
                lambda: tarnwick.native_parabolic_sar(high, [BadFloat()], 0.1, 0.2),
            ]
            random.Random(t).shuffle(firsts)
            for first in firsts:
                try:
                    first()
                except (TypeError, OverflowError, Boom) as exc:
                    assert exc.__notes__ and exc.__notes__[0].startswith("while processing"), exc
                else:
                    raise AssertionError("no error")
            try:
                tarnwick.native_adx(None, low, close, period)
            except TypeError as exc:
                assert str(exc) == "'None' is not an instance of 'Sequence'"
            try:
                tarnwick.native_adx(high, low, close, period, **{"périod": 1})
            except TypeError as exc:
                assert "'périod'" in str(exc)
            for _ in range(ROUNDS):
                got = (
                    packed(tarnwick.native_adx(high, low, close, period)),
                    packed(tarnwick.native_parabolic_sar(high, low, 0.02, 0.2)),
                    packed(tarnwick.native_garch11_variance(returns, 1e-6, 0.1, 0.85)),
                )
                if got != expected:
                    failures.append((t, [g == e for g, e in zip(got, expected)]))
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
    print("ok", len(done), "threads", THREADS * ROUNDS * 3, "calls")
    """
)


def run_fresh(source, timeout):
    return subprocess.run(
        [sys.executable, "-c", source],
        capture_output=True,
        text=True,
        timeout=timeout,
    )


@pytest.mark.parametrize("attempt", range(3))
def test_threads_race_first_use_then_compute_exactly(attempt):
    source = f"TESTS_DIR = {TESTS_DIR!r}\nTHREADS = {THREADS}\nROUNDS = {ROUNDS}\n" + RACE
    proc = run_fresh(source, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == f"ok {THREADS} threads {THREADS * ROUNDS * 3} calls"


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
    import models
    from exact import assert_bits_equal

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
    proc = run_fresh(source, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "[1.0, 1.0]"
