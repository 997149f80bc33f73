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

CHILD = textwrap.dedent(
    """
    import resource
    from support import Seq
    import tarnwick

    def vm_size():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    series = [0.0] * N
    limit = vm_size() + N * 8 // 2
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    # Under the limit, a sequence that claims 2**62 items but yields three
    # still computes: its claim reserves nothing it cannot use.
    print(tarnwick.native_garch11_variance(Seq([1.0, 2.0, 3.0], 2**62), 0.0, 0.0, 1.0), flush=True)
    tarnwick.native_garch11_variance(series, 0.0, 0.0, 1.0)
    print("returned", flush=True)
    """
)


@needs_address_space_limit
def test_failed_reservation_aborts_with_the_byte_count():
    proc = run_fresh(f"N = {N}\n" + CHILD, check=False)
    expected_small = models.garch11_variance([1.0, 2.0, 3.0], 0.0, 0.0, 1.0)
    assert proc.stdout == f"{expected_small!r}\n"
    assert proc.returncode == -signal.SIGABRT, proc.stderr
    assert proc.stderr == f"memory allocation of {N * 8} bytes failed\n"
