"""The kernel-only checkers (reference_vectors.cpp, garch_fit_vectors.cpp),
which CI runs where no Python runs the suite: they pass the recorded files,
report a changed bit as a difference, and refuse a case they do not know
rather than pass it. Skipped without the sources or a C++ compiler."""

import collections
import shutil
import subprocess
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
# Every kernel source, as the library has them: the one-series ADX pass
# divides in the lanes of the path the panel rows' code chooses (rows.cpp).
KERNELS = sorted((HERE.parent / "indicators").glob("*.cpp"))
COMPILER = shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
CHECKERS = ("reference_vectors", "garch_fit_vectors")

pytestmark = pytest.mark.skipif(
    not KERNELS or COMPILER is None, reason="needs the kernel sources and a C++ compiler"
)


@pytest.fixture(scope="module")
def checkers(tmp_path_factory):
    folder = tmp_path_factory.mktemp("checkers")
    flags = ["-std=c++20", "-O1", "-ffp-contract=off", "-fno-fast-math"]
    objects = []
    for source in KERNELS:
        objects.append(folder / (source.stem + ".o"))
        subprocess.run([COMPILER, *flags, "-c", source, "-o", objects[-1]], check=True)
    for name in CHECKERS:
        subprocess.run(
            [COMPILER, *flags, HERE / f"{name}.cpp", *objects, "-o", folder / name], check=True
        )
    return folder


def run(checkers, name, text):
    path = checkers / f"{name}.txt"
    path.write_text(text)
    return subprocess.run([checkers / name, path], capture_output=True, text=True)


def first_expectation(text):
    """The text with the last hex digit of the first expected value changed."""
    at = text.index("\nexpect ") + len("\nexpect ")
    end = text.index(" ", at)
    digit = "1" if text[end - 1] != "1" else "2"
    return text[: end - 1] + digit + text[end:]


@pytest.mark.parametrize("name", CHECKERS)
def test_checker_passes_the_recorded_file_and_reports_a_changed_bit(checkers, name):
    # The first cases of each function: the whole reference file, every case
    # continued from every split, is CI's run of the checker (.ci/platforms).
    head, *cases = (HERE / f"{name}.txt").read_text().split("\ncase ")
    taken = collections.Counter()
    firsts = []
    for case in cases:
        taken[case.split()[0]] += 1
        if taken[case.split()[0]] <= 4:
            firsts.append(case)
    text = "\ncase ".join([head, *firsts])
    passed = run(checkers, name, text)
    assert passed.returncode == 0, passed.stdout + passed.stderr
    assert passed.stdout.splitlines()[-1].endswith("every bit as recorded")
    changed = run(checkers, name, first_expectation(text))
    assert changed.returncode == 1
    assert changed.stdout.startswith("FAIL ")
    assert changed.stdout.splitlines()[-1].endswith("DIFFERENCES")


@pytest.mark.parametrize(
    ("name", "case", "message"),
    [
        ("reference_vectors", "case adx a\nhigh 0\nperiod 2\nexpect 0\n", "names the parameters"),
        ("garch_fit_vectors", "case fit a\nx 0\nexpect 0\n", "is not one of the checks' cases"),
        ("garch_fit_vectors", "case mean a\nx 0\nexpect 0\n", "is not one of the checks' cases"),
        ("garch_fit_vectors", "case log a\nx 0\n", "has no outcome"),
        ("reference_vectors", "x 0\n", "input before the first case"),
    ],
)
def test_checker_refuses_a_case_it_cannot_check(checkers, name, case, message):
    refused = run(checkers, name, case)
    assert refused.returncode == 2
    assert message in refused.stderr
