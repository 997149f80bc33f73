"""benchmarks/run.py and its parts in benchmarks/suite/ import together and
take the command lines the README and docs give. Skipped where the
benchmarks are not at hand (an installed wheel's test run)."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

BENCHMARKS = Path(__file__).resolve().parent.parent / "benchmarks"

pytestmark = pytest.mark.skipif(
    not (BENCHMARKS / "run.py").exists(), reason="needs the repository's benchmarks"
)


@pytest.mark.parametrize(
    ("script", "options"),
    [
        ("run.py", ("--quick", "--note", "--out", "--stream-only", "--stream-runs", "--frames")),
        ("panels.py", ("--runs", "--shapes", "--against", "--against-root", "--clock", "--lanes")),
    ],
)
def test_benchmark_takes_its_documented_options(script, options):
    shown = subprocess.run(
        [sys.executable, BENCHMARKS / script, "--help"], capture_output=True, text=True
    )
    assert shown.returncode == 0, shown.stderr
    for option in options:
        assert option in shown.stdout


@pytest.mark.parametrize("layout", ["rows", "columns"])
def test_panels_case_runs_on_the_path_asked(layout):
    # One case of a comparison, as panels.py --against runs it in each build.
    done = subprocess.run(
        [sys.executable, BENCHMARKS / "panels.py", "--case", "GARCH", layout, "9x40", "wall", "2"],
        capture_output=True,
        text=True,
        env={**os.environ, "TARNWICK_LANES": "scalar"},
    )
    assert done.returncode == 0, done.stderr
    path, ns = done.stdout.split()
    assert path == "scalar" and float(ns) > 0
