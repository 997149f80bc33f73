"""benchmarks/run.py and its parts in benchmarks/suite/ import together and
take the command lines the README and docs give. Skipped where the
benchmarks are not at hand (an installed wheel's test run)."""

import subprocess
import sys
from pathlib import Path

import pytest

BENCHMARKS = Path(__file__).resolve().parent.parent / "benchmarks"

pytestmark = pytest.mark.skipif(
    not (BENCHMARKS / "run.py").exists(), reason="needs the repository's benchmarks"
)


def test_run_takes_its_documented_options():
    shown = subprocess.run(
        [sys.executable, BENCHMARKS / "run.py", "--help"], capture_output=True, text=True
    )
    assert shown.returncode == 0, shown.stderr
    for option in ("--quick", "--note", "--out", "--stream-only", "--stream-runs", "--frames"):
        assert option in shown.stdout
