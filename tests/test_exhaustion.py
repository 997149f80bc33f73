"""Exhausted memory ends the process with the allocation diagnostic.

A child process lowers its address-space limit to just above what it uses,
with room for half of the series' array, and hands over an exact list, whose
full length is reserved before any item is read: that reservation fails.
"""

import os
import signal
import sys
import textwrap

import pytest

import models
from support import run_fresh

needs_address_space_limit = pytest.mark.skipif(
    not sys.platform.startswith("linux") or os.environ.get("TARNWICK_SANITIZED") == "1",
    reason="needs /proc and RLIMIT_AS; the sanitizer runtime reserves its own shadow memory",
)

N = 2**24  # a 128 MiB array of doubles

# Lowers the address-space limit to what is in use, plus half of N doubles.
LIMIT = textwrap.dedent(
    """
    import resource

    def vm_size():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    limit = vm_size() + N * 8 // 2
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    """
)

CHILD = textwrap.dedent(
    """
    from support import Seq
    import tarnwick

    series = [0.0] * N
    exec(LIMIT)
    # Under the limit, a sequence that claims 2**62 items but yields three
    # still computes: its claim reserves nothing it cannot use.
    print(tarnwick.native_garch11_variance(Seq([1.0, 2.0, 3.0], 2**62), 0.0, 0.0, 1.0), flush=True)
    tarnwick.native_garch11_variance(series, 0.0, 0.0, 1.0)
    print("returned", flush=True)
    """
)


@needs_address_space_limit
def test_failed_reservation_aborts_with_the_byte_count():
    proc = run_fresh(f"N = {N}\nLIMIT = {LIMIT!r}\n" + CHILD, check=False)
    expected_small = models.garch11_variance([1.0, 2.0, 3.0], 0.0, 0.0, 1.0)
    assert proc.stdout == f"{expected_small!r}\n"
    assert proc.returncode == -signal.SIGABRT, proc.stderr
    assert proc.stderr == f"memory allocation of {N * 8} bytes failed\n"


REPORTED = f"cannot allocate {N * 8} bytes for the values of a series | while processing 'returns'"


@needs_address_space_limit
@pytest.mark.parametrize(
    "made, call, expected",
    [
        ("[0.0] * N", "tarnwick_arrays.garch11_variance(x, 0.0, 0.0, 1.0)", REPORTED),
        (
            "array.array('f', bytes(4 * N))",
            "tarnwick_arrays.garch11_variance(x, 0, 0, 1)",
            REPORTED,
        ),
        ("[0.0] * N", "stream.extend(x)", REPORTED),
        ("array.array('f', bytes(4 * N))", "stream.extend(x)", REPORTED),
        ("numpy.zeros(N)", "stream.extend(x)", " |"),  # read in place; the result list fails
        ("[0.0] * N", "many.extend(x)", REPORTED),
    ],
    ids=["arrays list", "arrays float32", "stream list", "stream float32", "stream result", "many"],
)
def test_the_array_and_stream_modules_raise_memory_error(made, call, expected):
    # One rule for the modules that report exhausted memory: a MemoryError,
    # and the stream unchanged.
    proc = run_fresh(
        f"""
        import array, numpy, tarnwick_arrays, tarnwick_stream
        N = {N}
        x = {made}
        stream = tarnwick_stream.Garch11Variance(0.0, 0.0, 1.0)
        many = tarnwick_stream.Garch11Variance(0.0, 0.0, 1.0, symbols=1)
        exec({LIMIT!r})
        try:
            {call}
        except MemoryError as e:
            print(e, "|", *getattr(e, "__notes__", []))
        print(stream.bars, many.bars)
        """,
        check=False,
    )
    assert (proc.returncode, proc.stdout) == (0, f"{expected}\n0 [0]\n"), proc.stderr
